#!/usr/bin/env bash
# vostrel-cli natively against simulated cards on pseudo-terminals: each subcommand on a named port,
# the card's transcript against what the window sends, the exit statuses from real causes, and the
# transcript file. usage: cli-native.sh VOSTREL_CLI CARDSIM
set -u
cli_exe=$1
cardsim=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/vostrel-cli-native.XXXXXX")
export OUTFILE=$work/pipe.out
pids=()
failures=0
cleanup() {
    stop_pids
    rm -rf "$work"
}
trap cleanup EXIT

. "$(dirname "${BASH_SOURCE[0]}")/card-lib.sh"

# The card's command lines since mark NAME, comma separated.
mark() { marked=$(wc -l <"$work/$1.transcript"); }
sent() { tail -n +$((marked + 1)) "$work/$1.transcript" | sed 's/^[0-9]* //' | tr -d '\r' | paste -sd,; }

start_card CARD || exit 1
cli probe --port "$work/CARD"
expect 0 ': probe: ok$' "probe"
mark CARD
cli close-autorun --port "$work/CARD" --log "$work/cli.log"
expect 0 ': close-autorun: ok$' "close-autorun"
[ "$(sent CARD)" = "AT+CGMM,AT+CGSN,AT+YCDRUN=E,AT+YCDRUN=8" ] || fail "close-autorun sent $(sent CARD)"
grep -qE '^[0-9]+ .*/CARD > AT\+YCDRUN=E\\r$' "$work/cli.log" || fail "transcript: no command line"
grep -qE '^# outcome .*close-autorun: ok$' "$work/cli.log" || fail "transcript: no outcome"
mark CARD
cli open-autorun --port "$work/CARD" --json
expect 0 '"ok": true' "open-autorun --json"
[ "$(sent CARD)" = "AT+CGMM,AT+CGSN,AT+YCDRUN=F,AT+YCDRUN=9,AT+CGMM,AT+YCDRUN=N" ] || fail "open-autorun sent $(sent CARD)"
python3 -c 'import json, sys; r = json.load(open(sys.argv[1]))["results"][0]; i = r["identity"]
assert (i["model"], i["imei"], r["exchanges"][0]["command"]) == ("R2280-Y", "356938035643809", "AT+YCDRUN=F"), r' "$work/out" ||
    fail "open-autorun --json: the identity is not apart from the command's exchanges"
cli sim-status --port "$work/CARD"
expect 0 ': sim-status: detect sim card$' "sim-status"

start_card SILENT --fault silent || exit 1
mark SILENT
cli probe --port "$work/SILENT"
expect 5 'silent' "a silent card"
[ "$(sent SILENT)" = "AT+CGMM,AT,AT" ] || fail "a silent card was asked $(sent SILENT)"
start_card REJECTS --fault error || exit 1
cli close-autorun --port "$work/REJECTS"
expect 1 'model unknown \(the card answered ERROR\), imei unknown \(the card answered ERROR\)\): close-autorun: failed \(1\): .*rejected AT\+YCDRUN=E' "a card answering ERROR"
start_card ODD --imei 123 --model 'E1750' || exit 1
cli probe --port "$work/ODD"
expect 0 '\(model E1750, imei unknown \(the answer names none\)\): probe: ok$' "an IMEI that is not 14 to 17 digits"
cli probe --port "$work/nothing-here"
expect 4 'nothing-here: probe: failed \(4\): open: no such device' "a port that is not there"
cli --version
expect 0 '^vostrel-cli [0-9]+\.[0-9]+\.[0-9]+' "--version"

# Cards that pause between echo and answer are read right, every answer its own command's.
for pause in 250 700; do
    start_card "SLOW$pause" --reply-delay "$pause" || exit 1
    cli probe --port "$work/SLOW$pause"
    expect 0 ': probe: ok$' "probe, answer $pause ms after the echo"
    cli sim-status --port "$work/SLOW$pause"
    expect 0 ': sim-status: detect sim card$' "sim-status, answer $pause ms after the echo"
    mark "SLOW$pause"
    cli open-autorun --port "$work/SLOW$pause"
    expect 0 ': open-autorun: ok$' "open-autorun, answer $pause ms after the echo"
    [ "$(sent "SLOW$pause")" = "AT+CGMM,AT+CGSN,AT+YCDRUN=F,AT+YCDRUN=9,AT+CGMM,AT+YCDRUN=N" ] ||
        fail "open-autorun, answer $pause ms after the echo, sent $(sent "SLOW$pause")"
    cli close-autorun --port "$work/SLOW$pause"
    expect 0 ': close-autorun: ok$' "close-autorun, answer $pause ms after the echo"
done

# Unsolicited lines at every position (before the echo, after it, before the final result, after
# it, alone between commands) are never an answer: statuses and sequences as with a quiet card, the
# model step still sends =N for R2280-Y, and the lines are shown on their exchanges.
urcs=(--urc 'before-echo:+CREG: 1' --urc 'after-echo:RING' --urc 'before-result:+CMTI: "SM",3'
      --urc 'after-result:^RSSI:17' --urc 'later:^MODE:3,2')
start_card URC "${urcs[@]}" || exit 1
cli probe --port "$work/URC"
expect 0 ': probe: ok$' "probe, unsolicited lines everywhere"
mark URC
cli close-autorun --port "$work/URC"
expect 0 '\(model R2280-Y, imei 356938035643809\): close-autorun: ok$' "close-autorun, unsolicited lines everywhere"
[ "$(sent URC)" = "AT+CGMM,AT+CGSN,AT+YCDRUN=E,AT+YCDRUN=8" ] || fail "close-autorun, unsolicited lines, sent $(sent URC)"
mark URC
cli open-autorun --port "$work/URC" --json
expect 0 '"ok": true' "open-autorun, unsolicited lines everywhere"
[ "$(sent URC)" = "AT+CGMM,AT+CGSN,AT+YCDRUN=F,AT+YCDRUN=9,AT+CGMM,AT+YCDRUN=N" ] ||
    fail "open-autorun, unsolicited lines, sent $(sent URC)"
python3 -c 'import json, sys; r = json.load(open(sys.argv[1]))["results"][0]; x = r["exchanges"]
assert [e["answer"] for e in x] == ["OK", "OK", "R2280-Y", "OK"], x
assert all("RING" in e["unsolicited"] and "+CREG: 1" in e["unsolicited"] for e in x), x
assert all(e["result"] == "OK" and e["attempt"] == 1 for e in x), x' "$work/out" ||
    fail "open-autorun --json: the exchanges' answers and unsolicited lines: $(cat "$work/out")"
cli sim-status --port "$work/URC"
expect 0 ': sim-status: detect sim card$' "sim-status, unsolicited lines everywhere"
start_card URCREJECTS --urc 'after-echo:+CREG: 1' --script 'AT+YCDRUN=E=ERROR' || exit 1
cli close-autorun --port "$work/URCREJECTS"
expect 1 'close-autorun: failed \(1\): the card rejected AT\+YCDRUN=E \(ERROR\)$' "ERROR after an unsolicited line"
cli probe --port "$work/URCREJECTS"
expect 0 ': probe: ok$' "probe, OK after an unsolicited line"

# A card that answers a question after the attempt's 1.2 s, echoing or not, then rejects =E: the late
# answer is stale, never =E's, and =E's ERROR gives status 1.
start_card LATE --late 'AT+CGMM=1300:1' --script 'AT+YCDRUN=E=ERROR' || exit 1
mark LATE
cli close-autorun --port "$work/LATE" --json
expect 1 '"message": "the card rejected AT\+YCDRUN=E \(ERROR\)"' "a late answer with echo, then ERROR"
[ "$(sent LATE)" = "AT+CGMM,AT+YCDRUN=E,AT+YCDRUN=8" ] || fail "a late answer with echo: sent $(sent LATE)"
python3 -c 'import json, sys; x = json.load(open(sys.argv[1]))["results"][0]["exchanges"][0]
assert (x["answer"], x["stale"].startswith("AT+CGMM\r")) == ("ERROR", True), x' "$work/out" ||
    fail "a late answer with echo: the stale bytes are not shown apart: $(cat "$work/out")"
start_card LATENOECHO --no-echo --late 'AT+CGSN=1300:1' --script 'AT+YCDRUN=E=ERROR' || exit 1
cli close-autorun --port "$work/LATENOECHO"
expect 1 '\(model R2280-Y, imei unknown \(no answer\)\): close-autorun: failed \(1\): the card rejected AT\+YCDRUN=E \(ERROR\)$' \
    "a late answer without echo, then ERROR"
start_card LATEOK --no-echo --late 'AT+CGSN=1300:1' || exit 1
mark LATEOK
cli close-autorun --port "$work/LATEOK"
expect 0 ': close-autorun: ok$' "a late answer without echo, then OK"
[ "$(sent LATEOK)" = "AT+CGMM,AT+CGSN,AT+YCDRUN=E,AT+YCDRUN=8" ] || fail "a late answer without echo: sent $(sent LATEOK)"
# Every answer 1.3 s late: no answer is taken for another command's, and each resend is shown.
start_card LATEALL --late '*=1300' || exit 1
cli open-autorun --port "$work/LATEALL" --json
python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); x = d["results"][0]["exchanges"]
assert all(e["answer"] in (None, "OK", "R2280-Y") for e in x), x
assert all(e["answer"] != "R2280-Y" or e["command"] == "AT+CGMM" for e in x), x
assert any(e["attempt"] == 2 for e in x), x' "$work/out" ||
    fail "every answer late: $(cat "$work/out")"

# The transcripts in tests/replays, played back by the simulated card: the program sends what it sent
# when the transcript was recorded, and ends as it ended then.
for replay in "$(dirname "$0")"/../replays/*.log; do
    name=$(basename "$replay" .log)
    command=$(sed -n 's/^# command line: vostrel-cli \([a-z-]*\) .*/\1/p' "$replay")
    outcome=$(sed -n 's|^# outcome /dev/ttyUSB2||p' "$replay")
    start_card "REPLAY-$name" --replay "$replay" || exit 1
    mark "REPLAY-$name"
    cli "$command" --port "$work/REPLAY-$name"
    [ "$(head -n 1 "$work/out")" = "$work/REPLAY-$name$outcome" ] ||
        fail "replay $name: '$(head -n 1 "$work/out")' (status $STATUS), recorded '$outcome'"
    recorded=$(sed -n 's|^[0-9]* /dev/ttyUSB2 > \(.*\)\\r$|\1|p' "$replay" | paste -sd,)
    [ "$(sent "REPLAY-$name")" = "$recorded" ] || fail "replay $name: sent $(sent "REPLAY-$name"), recorded $recorded"
    ! grep -q 'not answered' "$work/REPLAY-$name.out" || fail "replay $name: $(cat "$work/REPLAY-$name.out")"
done
start_card REPLAYMISS --replay "$(dirname "$0")/../replays/slow.log" || exit 1
cli sim-status --port "$work/REPLAYMISS"
expect 5 'no answer to AT\+ysec\?: the card is silent' "a command the replayed transcript does not hold"
grep -q 'cardsim: replay: received "AT+ysec?", which .*slow.log does not hold' "$work/REPLAYMISS.out" ||
    fail "replay: a command it does not hold is not named: $(cat "$work/REPLAYMISS.out")"

# A port is shown as the device that was opened, its control bytes visible. (What the options
# accept is tested with the option table, in tests/unit/CliOptionsTest.cpp.)
cli probe --slot 9-9 --quiet
expect 3 'no card in slot 9-9 \(vostrel-cli list' "an unknown slot"
cli probe --port 5
expect 4 '^/dev/ttyS4: probe: failed \(4\): open: ' "a port number on Linux"
cli probe --port "$work/two
lines"
expect 4 'two\\nlines: probe: failed \(4\)' "a port name with a newline"

# Causes, not "silent".
python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$work/socket"
cli probe --port "$work/socket"
expect 4 'socket: probe: failed \(4\): open: not a serial device' "a socket as --port"
cli probe --port "$work/CARD" --log "$work/socket"
expect 4 'cannot open the transcript .*socket: open: a socket, not a file' "--log to a socket"
start_card GARBAGE --fault garbage || exit 1
cli probe --port "$work/GARBAGE"
expect 1 'the card sent [0-9]+ bytes but no answer line to AT' "a card sending garbage"

# One JSON document, whatever ends the run.
json_status() { python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); print(d["status"], len(d["results"]), "message" in d)' "$work/out"; }
for args in "prob" "probe --card nope" "probe --port $work/CARD --log $work" "probe --port $work/nothing-here"; do
    # shellcheck disable=SC2086
    cli $args --json
    [ "$(json_status 2>&1)" = "$STATUS $([ "$STATUS" = 4 ] && [ "${args#*nothing}" != "$args" ] && echo 1 || echo 0) True" ] ||
        fail "--json $args: status $STATUS, document: $(cat "$work/out")"
done

# Nothing lost in silence: a transcript that cannot be opened stops the run before it starts; one
# that cannot be written fails it; so does standard output.
mkfifo "$work/fifo"
mark CARD
for log in "$work/fifo:a pipe that nobody reads" "$work:is a directory"; do
    cli probe --port "$work/CARD" --log "${log%%:*}"
    expect 4 "cannot open the transcript .*: open: ${log#*:}" "--log ${log%%:*}"
done
[ -z "$(sent CARD)" ] || fail "a run started without its transcript: $(sent CARD)"
# A device other than a terminal or /dev/null is no transcript; the descriptor /dev/fd/N names is,
# whatever it is.
cli probe --port "$work/CARD" --log /dev/full
expect 4 'cannot open the transcript /dev/full: not a regular file, a pipe, a terminal or /dev/null' "--log /dev/full"
cli probe --port "$work/CARD" --log /dev/fd/3 3>/dev/full
expect 4 'the transcript /dev/fd/3 is incomplete: write: no space left on device' "--log /dev/fd/3 on /dev/full"
"$cli_exe" probe --port "$work/CARD" --quiet >/dev/full 2>"$work/err"
STATUS=$?
OUT=$(cat "$work/err")
expect 4 'standard output: write: no space left on device' "standard output on a full disk"

# Nothing is sent when the run could not end as asked: --wait on a port whose slot is unknown (a
# pty is no listed card), a --report that cannot be written.
mark CARD
cli close-autorun --port "$work/CARD" --wait
expect 2 'slot of .*CARD is unknown' "--wait on a port of no listed card"
cli close-autorun --port "$work/CARD" --report "$work/no-such-folder/bench.csv"
expect 2 'report .*bench.csv: cannot be written' "--report into a missing folder"
[ -z "$(sent CARD)" ] || fail "a run that could not end as asked sent $(sent CARD)"

# Ctrl-C, or any other signal that would end the program (the terminal closed, kill, a timer), between
# the two commands: the result, the JSON and the transcript's outcome still come, nothing more is
# sent, the status is 128 + the signal's number, and the port is handed back as it was found.
settings=$(stty -g <"$work/CARD")
for signal in INT HUP TERM USR1 ALRM; do
    number=$(kill -l "$signal")
    mark CARD
    "$cli_exe" close-autorun --port "$work/CARD" --json --log "$work/int.log" >"$work/out" 2>"$work/err" </dev/null &
    run=$!
    deadline=$((SECONDS + 10))
    until [ "$(sent CARD)" = "AT+CGMM,AT+CGSN,AT+YCDRUN=E" ] || [ $SECONDS -ge $deadline ]; do sleep 0.01; done
    kill -"$signal" "$run"
    wait "$run"
    STATUS=$?
    OUT=$(cat "$work/out" "$work/err")
    expect $((128 + number)) '"message": "interrupted after AT\+YCDRUN=E"' "SIG$signal between the commands"
    grep -q "^# outcome .*close-autorun: failed ($((128 + number))): interrupted after AT+YCDRUN=E\$" "$work/int.log" ||
        fail "SIG$signal: no interrupted outcome in the transcript: $(cat "$work/int.log")"
    [ "$(sent CARD)" = "AT+CGMM,AT+CGSN,AT+YCDRUN=E" ] || fail "SIG$signal: the card got $(sent CARD)"
    [ "$(stty -g <"$work/CARD")" = "$settings" ] || fail "SIG$signal: the line settings were not restored"
    cli probe --port "$work/CARD"
    expect 0 ': probe: ok$' "the port after SIG$signal"
done
# Progress into a pipe whose reader has left: SIGPIPE stops the run the same way, the JSON on
# standard output still comes.
mark CARD
python3 -c 'import os, subprocess, sys
r, w = os.pipe(); os.close(r)
sys.exit(subprocess.run(sys.argv[1:], stderr=w, stdout=open(os.environ["OUTFILE"], "w"), stdin=subprocess.DEVNULL).returncode)' \
    "$cli_exe" close-autorun --port "$work/CARD" --json
STATUS=$?
[ "$STATUS" = 141 ] || fail "progress into a closed pipe: exit status $STATUS, wanted 141"
python3 -c 'import json, sys; assert json.load(open(sys.argv[1]))["status"] == 141' "$OUTFILE" ||
    fail "progress into a closed pipe: no JSON document: $(cat "$OUTFILE")"
case $(sent CARD) in *AT+YCDRUN=8*) fail "progress into a closed pipe: the card got $(sent CARD)";; esac
cli probe --port "$work/CARD"
expect 0 ': probe: ok$' "the port after SIGPIPE"
# Results into a pipe whose reader has left: the cards' run is over, the failure is said.
python3 -c 'import os, subprocess, sys
r, w = os.pipe(); os.close(r)
sys.exit(subprocess.run(sys.argv[1:], stdout=w, stderr=open(os.environ["OUTFILE"], "w"), stdin=subprocess.DEVNULL).returncode)' \
    "$cli_exe" probe --port "$work/CARD" --quiet
STATUS=$?
OUT=$(cat "$OUTFILE")
expect 141 'standard output: write: broken pipe' "results into a closed pipe"

# A shared bench, from the attacker's side: another user plants links where root's transcript and
# report go, in a folder anyone may write to and in a folder of their own. Nothing is written through
# them, and the card is sent nothing.
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
    as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups -- "$@"; }
    chmod 711 "$work"
    mkdir -m 1777 "$work/shared"
    mkdir "$work/theirs" && chown 65534:65534 "$work/theirs"
    printf 'secret\n' >"$work/secret" && chmod 600 "$work/secret"
    for planted in shared/bench.log theirs/bench.log shared/bench.csv; do
        as_nobody ln -s "$work/secret" "$work/$planted" || fail "nobody could not plant $planted"
    done
    for attack in "4 --log shared/bench.log" "4 --log theirs/bench.log" "2 --report shared/bench.csv"; do
        read -r status option file <<<"$attack"
        mark CARD
        cli probe --port "$work/CARD" "$option" "$work/$file"
        expect "$status" 'is a link in a folder' "$option $file planted by another user"
        [ -z "$(sent CARD)" ] || fail "$option $file planted by another user: the card got $(sent CARD)"
    done
    [ "$(cat "$work/secret")" = secret ] || fail "a planted link's target was written: $(cat "$work/secret")"
    chmod 700 "$work"
fi

# Answers that attack what reads them: a NUL costs its own line only; a model that is a shell line
# reaches the transcript with every byte a shell acts on escaped; a right-to-left override is shown
# escaped and kept as a JSON escape.
hostile() {   # hostile NAME MODEL-LINE-AS-TRANSCRIPT-TEXT
    printf '%s\n' "# vostrel-cli 1.0.0 linux" "1 /dev/ttyUSB2 > AT+CGMM\\r" \
        "2 /dev/ttyUSB2 < AT+CGMM\\r\\r\\n$2\\r\\n\\r\\nOK\\r\\n" "3 /dev/ttyUSB2 > AT+CGSN\\r" \
        "4 /dev/ttyUSB2 < AT+CGSN\\r\\r\\n356938035643809\\r\\n\\r\\nOK\\r\\n" "5 /dev/ttyUSB2 > AT\\r" \
        "6 /dev/ttyUSB2 < AT\\r\\r\\nOK\\r\\n" >"$work/$1.replay"
    start_card "$1" --replay "$work/$1.replay"
}
hostile NUL 'AB\x00CD\r\n\r\nR2280-Y' || exit 1
cli probe --port "$work/NUL" --json
python3 -c 'import json, sys; i = json.load(open(sys.argv[1]))["results"][0]["identity"]
assert (i["model"], i["imei"]) == ("R2280-Y", "356938035643809"), i' "$work/out" || fail "a NUL in a line: $OUT"
hostile SHELL 'x;touch PWNED|id&`id`$(id)>x<y#\xE2\x80\xAE' || exit 1
cli probe --port "$work/SHELL" --log "$work/shell.log"
expect 0 'model x;touch PWNED\|id&`id`\$\(id\)>x<y#\\xE2\\x80\\xAE, imei 356938035643809\): probe: ok$' "a model that is a shell line"
sed -nE 's/^[0-9]+ [^ ]+ [<>] //p' "$work/shell.log" | grep -q "[;|&\`\$()<>#'\"]" &&
    fail "shell bytes in the transcript: $(cat "$work/shell.log")"
grep -qF '< AT+CGMM\r\r\nx\x3Btouch PWNED\x7Cid\x26' "$work/shell.log" || fail "the model's line is not in the transcript: $(cat "$work/shell.log")"
[ "$(wc -l <"$work/SHELL.transcript")" = 3 ] || fail "a model that is a shell line: the card got $(cat "$work/SHELL.transcript")"
hostile BIDI 'R2280\xE2\x80\xAEY-\xC2\x9B2J' || exit 1
cli probe --port "$work/BIDI" --json
grep -qF '"model": "R2280\u202eY-\u009b2J"' "$work/out" || fail "a bidi override in the JSON: $OUT"

# A card that floods its line, with bytes or with unsolicited lines, instead of answering: status 1,
# "sent N bytes but no answer line", and no line is shown that the card never sent.
for flood in 'BYTES:0123456789abcdef' 'LINES:+CREG: 1\r\n'; do
    name=FLOOD${flood%%:*}
    python3 -c 'import sys; reply = sys.argv[1] * 2000
print("# vostrel-cli 1.0.0 linux")
for n, command in enumerate(["AT+CGMM", "AT", "AT"]):
    print(f"{2 * n} /dev/ttyUSB2 > {command}\\r\n{2 * n + 1} /dev/ttyUSB2 < {reply}")' "${flood#*:}" >"$work/$name.replay"
    start_card "$name" --replay "$work/$name.replay" || exit 1
    cli probe --port "$work/$name" --json
    python3 -c 'import json, sys; r = json.load(open(sys.argv[1]))
assert r["status"] == 1 and "bytes but no answer line to AT" in r["message"], r["message"]
lines = [u for x in r["results"][0]["exchanges"] for u in x["unsolicited"]]
assert all(u == "+CREG: 1" for u in lines), set(lines)' "$work/out" || fail "a card flooding with $flood"
done

# The program's own terminal as the port, from a background process group on a pseudo-terminal, and
# the system console: refused before anything is sent, and the run ends at once.
python3 - "$cli_exe" <<'PY' || fail "a background run on its own terminal"
import os, pty, select, sys, time
pid, fd = pty.fork()
if pid == 0:
    run = os.fork()
    if run == 0:
        os.setpgid(0, 0)   # a background group of the terminal's session
        os.execv(sys.argv[1], [sys.argv[1], "probe", "--port", "/dev/tty"])
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        done, status = os.waitpid(run, os.WNOHANG | os.WUNTRACED)
        if done:
            os._exit(os.waitstatus_to_exitcode(status) if not os.WIFSTOPPED(status) else 99)
        time.sleep(0.01)
    os.kill(run, 9)
    os._exit(98)
out = b""
while True:
    ready, _, _ = select.select([fd], [], [], 15)
    if not ready:
        break
    try:
        chunk = os.read(fd, 4096)
    except OSError:
        break
    if not chunk:
        break
    out += chunk
_, status = os.waitpid(pid, 0)
code = os.waitstatus_to_exitcode(status)
if code != 4 or b"controlling terminal or the system console" not in out:
    sys.exit(f"exit {code} (98: still running after 10 s, 99: stopped): {out!r}")
PY
cli probe --port /dev/console
expect 4 '/dev/console: probe: failed \(4\): refused: this is the controlling terminal or the system console' "--port /dev/console"
# Another program with the card's port open: one that polls it as ModemManager does, one that only
# reads. Every card subcommand refuses before it sends anything and names the program; one that
# opens the port while the commands run turns the outcome into "shared port", never ok.
holding() {   # holding PID PORT: the process has the port open
    local dev
    dev=$(readlink -f "$2")
    for fd in /proc/"$1"/fd/*; do [ "$(readlink "$fd")" = "$dev" ] && return 0; done
    return 1
}
# start_holder KIND PORT [GO]: HOLDER is its pid once it has the port open; with GO, a poller that
# is already running opens the port once the file GO exists.
start_holder() {
    case $1 in
        poll) python3 -c 'import os, sys, time
while len(sys.argv) > 2 and not os.path.exists(sys.argv[2]): time.sleep(0.005)
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
while True:
    os.write(fd, b"AT+CSQ\r"); time.sleep(0.2)
    try: os.read(fd, 4096)
    except BlockingIOError: pass' "$2" ${3:+"$3"} 2>/dev/null & ;;
        read) cat "$2" >/dev/null 2>&1 & ;;
    esac
    HOLDER=$!
    pids+=("$HOLDER")
    [ -n "${3:-}" ] && return 0
    local deadline=$((SECONDS + 10))
    until holding "$HOLDER" "$2"; do
        [ $SECONDS -lt $deadline ] || { fail "holder $1 did not open $2"; return 1; }
        sleep 0.02
    done
}
start_card HELD || exit 1
for kind in poll read; do
    start_holder "$kind" "$work/HELD" || break
    name=$(cat /proc/"$HOLDER"/comm)
    for command in probe close-autorun open-autorun sim-status; do
        mark HELD
        cli "$command" --port "$work/HELD"
        expect 4 "HELD is open in $name \\(pid $HOLDER\\): nothing was sent" "$command beside a holder that does $kind"
        [ -z "$(sent HELD | tr ',' '\n' | grep -v '^AT+CSQ$' | paste -sd,)" ] ||
            fail "$command beside a holder that does $kind sent $(sent HELD)"
    done
    cli probe --port "$work/HELD" --json --no-inhibit
    python3 -c 'import json, sys; r = json.load(open(sys.argv[1]))["results"][0]
assert r["holders"] == [{"pid": int(sys.argv[2]), "name": sys.argv[3], "port": sys.argv[4]}] and r["status"] == 4, r' \
        "$work/out" "$HOLDER" "$name" "$work/HELD" || fail "probe --json beside a holder that does $kind: $(cat "$work/out")"
    kill "$HOLDER"; wait "$HOLDER" 2>/dev/null
done
# The card answers 700 ms late, so the program that opens the port after the first mode command
# (root passes the exclusive open; flock is only advice) has it open before the run ends.
mark SLOW700
start_holder poll "$work/SLOW700" "$work/go"
"$cli_exe" close-autorun --port "$work/SLOW700" >"$work/out" 2>"$work/err" </dev/null &
run=$!
deadline=$((SECONDS + 20))
until sent SLOW700 | grep -q 'AT+YCDRUN=E'; do
    [ $SECONDS -lt $deadline ] || { fail "close-autorun sent no AT+YCDRUN=E"; break; }
    sleep 0.02
done
touch "$work/go"
wait "$run"
STATUS=$?
OUT=$(cat "$work/out" "$work/err")
expect 7 "close-autorun: failed \\(7\\): shared port: .*SLOW700 is open in python3 \\(pid $HOLDER\\)" \
    "a port opened while the commands ran"
kill "$HOLDER"; wait "$HOLDER" 2>/dev/null

# An answering card, start of process to exit (the figure's goal is 50 ms).
started=$(date +%s%N)
cli probe --port "$work/CARD" --quiet
took=$(( ($(date +%s%N) - started) / 1000000 ))
expect 0 ': probe: ok$' "timed probe"
echo "probe of an answering card: $took ms"

[ "$failures" -eq 0 ] && echo "cli-native: all checks passed"
[ "$failures" -eq 0 ]
