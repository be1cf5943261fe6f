#!/usr/bin/env bash
# vostrel-cli beside ModemManager, on a private system bus: a manager and one modem made with
# python3-dbusmock (its InhibitDevice asks polkit, dbusmock's polkitd template, and then stops the real
# second process that holds the card's pty, as the daemon closes its ports), and a simulated card.
# Allowed: the manager lets go, the run goes ahead, and gets the card back when the program ends.
# Refused by polkit, or --no-inhibit: status 4, the holder named, nothing sent.
# usage: modem-manager.sh VOSTREL_CLI CARDSIM
set -u
cli_exe=$1
cardsim=$2
py=/usr/bin/python3   # Debian's, which has dbusmock
work=$(mktemp -d "${TMPDIR:-/tmp}/vostrel-mm.XXXXXX")
pids=()
failures=0
cleanup() {
    stop_pids
    rm -rf "$work"
}
trap cleanup EXIT
. "$(dirname "${BASH_SOURCE[0]}")/card-lib.sh"
poll() {   # poll WHAT COMMAND...: until the command succeeds, at most 20 s
    local what=$1 deadline=$((SECONDS + 20))
    shift
    until "$@"; do
        [ $SECONDS -lt $deadline ] || { fail "$what"; return 1; }
        sleep 0.02
    done
}

dbus-daemon --session --nofork --print-address=3 3>"$work/bus" >"$work/bus.log" 2>&1 &
pids+=($!)
poll "the private bus did not start" grep -q unix: "$work/bus" || exit 1
DBUS_SYSTEM_BUS_ADDRESS=$(head -n 1 "$work/bus")
export DBUS_SYSTEM_BUS_ADDRESS
call() {   # call NAME PATH INTERFACE.METHOD ARGS...
    local name=$1 path=$2 method=$3
    shift 3
    gdbus call --system -d "$name" -o "$path" -m "$method" "$@" >/dev/null
}
has_name() { gdbus call --system -d org.freedesktop.DBus -o /org/freedesktop/DBus -m org.freedesktop.DBus.NameHasOwner "$1" 2>/dev/null | grep -q true; }

"$py" -m dbusmock --system -t polkitd >"$work/polkit.log" 2>&1 &
pids+=($!)
poll "polkit did not start" has_name org.freedesktop.PolicyKit1 || exit 1
"$py" -m dbusmock --system -m -l "$work/mm.calls" org.freedesktop.ModemManager1 /org/freedesktop/ModemManager1 \
    org.freedesktop.ModemManager1 >"$work/mm.log" 2>&1 &
pids+=($!)
poll "the manager did not start" has_name org.freedesktop.ModemManager1 || exit 1

"$cardsim" --link "$work/card" --transcript "$work/card.transcript" >"$work/card.out" 2>&1 &
pids+=($!)
poll "the card did not start" grep -q '^cardsim: listening on ' "$work/card.out" || exit 1
pts=$(readlink -f "$work/card")

# The modem: its USB device and its port, as ModemManager shows them. InhibitDevice asks polkit
# (the caller is root: the subject is the daemon's own process, as it checks the caller's), then
# makes the holder close the port; the holder's pid is in $work/holder.pid.
call org.freedesktop.ModemManager1 /org/freedesktop/ModemManager1 org.freedesktop.DBus.Mock.AddObject \
    /org/freedesktop/ModemManager1/Modem/0 org.freedesktop.ModemManager1.Modem \
    "{'Device': <'/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4.2'>, 'Ports': <[('${pts#/dev/}', uint32 3)]>}" \
    "@a(ssss) []" || exit 1
read -r -d '' inhibit <<PYTHON
import os, signal
if args[1]:
    pk = dbus.Interface(dbus.SystemBus().get_object('org.freedesktop.PolicyKit1', '/org/freedesktop/PolicyKit1/Authority'),
                        'org.freedesktop.PolicyKit1.Authority')
    subject = ('unix-process', {'pid': dbus.UInt32(os.getpid()), 'start-time': dbus.UInt64(0)})
    if not pk.CheckAuthorization(subject, 'org.freedesktop.ModemManager1.Control', {}, 0, '')[0]:
        raise dbus.exceptions.DBusException('PolicyKit authorization failed: not authorized',
                                            name='org.freedesktop.ModemManager1.Error.Core.Unauthorized')
    os.kill(int(open('$work/holder.pid').read()), signal.SIGTERM)
PYTHON
call org.freedesktop.ModemManager1 /org/freedesktop/ModemManager1 org.freedesktop.DBus.Mock.AddMethod \
    org.freedesktop.ModemManager1 InhibitDevice sb "" "$inhibit" || exit 1

# The daemon's hold on the port: a real second process that polls the card as ModemManager does,
# under its name (start_holder NAME: another program's).
start_holder() {
    "$py" -c 'import os, sys, time
open("/proc/self/comm", "w").write(sys.argv[3])
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
open(sys.argv[2] + ".tmp", "w").write(str(os.getpid())); os.rename(sys.argv[2] + ".tmp", sys.argv[2])
while True:
    os.write(fd, b"AT+CSQ\r"); time.sleep(0.2)
    try: os.read(fd, 4096)
    except BlockingIOError: pass' "$pts" "$work/holder.pid" "${1:-ModemManager}" &
    HOLDER=$!
    pids+=("$HOLDER")
    poll "the holder did not start" test -s "$work/holder.pid"
}
inhibits() { grep -c "InhibitDevice \"/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4.2\" $1" "$work/mm.calls" 2>/dev/null; }
mode_commands() { grep -c 'AT+YCDRUN' "$work/card.transcript"; }
run() {
    "$cli_exe" "$@" >"$work/out" 2>"$work/err" </dev/null
    STATUS=$?
    OUT=$(cat "$work/out" "$work/err")
}

# Refused by polkit (its default): status 4 with the reason, the holder named, nothing sent.
rm -f "$work/holder.pid"
start_holder
run close-autorun --port "$work/card"
[ "$STATUS" = 4 ] || fail "refused by polkit: status $STATUS: $OUT"
grep -q "would not let go of the card: PolicyKit authorization failed: not authorized; .*card is open in ModemManager (pid $HOLDER)" \
    <<<"$OUT" || fail "refused by polkit: no reason or holder: $OUT"
[ "$(mode_commands)" = 0 ] || fail "refused by polkit: the card got a mode command"

# --no-inhibit: ModemManager is not asked, and refused like any other holder.
run probe --port "$work/card" --no-inhibit
[ "$STATUS" = 4 ] && grep -q "card is open in ModemManager (pid $HOLDER): nothing was sent" <<<"$OUT" ||
    fail "--no-inhibit: status $STATUS: $OUT"
[ "$(inhibits True)" = 1 ] || fail "--no-inhibit asked ModemManager: $(cat "$work/mm.calls")"

# Another program on the port: refused, and ModemManager is not asked.
kill "$HOLDER"; wait "$HOLDER" 2>/dev/null
rm -f "$work/holder.pid"
start_holder minicom
calls=$(wc -l <"$work/mm.calls")
run probe --port "$work/card"
[ "$STATUS" = 4 ] && grep -q "card is open in minicom (pid $HOLDER): nothing was sent" <<<"$OUT" ||
    fail "another program: status $STATUS: $OUT"
[ "$(wc -l <"$work/mm.calls")" = "$calls" ] || fail "another program: ModemManager was asked: $(cat "$work/mm.calls")"
kill "$HOLDER"; wait "$HOLDER" 2>/dev/null
rm -f "$work/holder.pid"
start_holder

# Allowed: inhibited on the card, the holder gone, the run goes ahead; the card back afterwards.
call org.freedesktop.PolicyKit1 /org/freedesktop/PolicyKit1/Authority org.freedesktop.DBus.Mock.AllowUnknown true
run close-autorun --port "$work/card" --json
[ "$STATUS" = 0 ] || fail "allowed: status $STATUS: $OUT"
grep -q "ModemManager inhibited on $work/card" <<<"$OUT" || fail "allowed: no progress line: $OUT"
"$py" -c 'import json, sys; r = json.load(open(sys.argv[1]))["results"][0]
assert r["modem_manager_inhibited"] and r["holders"] == [] and r["ok"], r' "$work/out" || fail "allowed: JSON $(cat "$work/out")"
[ "$(mode_commands)" = 2 ] || fail "allowed: the card got $(mode_commands) mode commands"
[ "$(inhibits True)" = 2 ] && [ "$(inhibits False)" = 1 ] || fail "allowed: not inhibited and released once: $(cat "$work/mm.calls")"

# hold, as scripts/run.sh keeps the card for the window: held until a signal (SIGTERM: 143), then released.
rm -f "$work/holder.pid"
start_holder
"$cli_exe" hold "$work/card" >"$work/out" 2>"$work/err" </dev/null &
hold=$!
pids+=("$hold")
poll "hold: never held: $(cat "$work/err")" grep -q "^held: $work/card" "$work/err"
kill -TERM "$hold"
wait "$hold"
STATUS=$?
[ "$STATUS" = 143 ] && [ "$(inhibits False)" = 2 ] || fail "hold: status $STATUS, released $(inhibits False) times: $(cat "$work/err")"

[ "$failures" -eq 0 ] && echo "modem-manager: all checks passed"
[ "$failures" -eq 0 ]
