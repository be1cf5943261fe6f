#!/usr/bin/env bash
# Runs Vostrel.exe under Wine with a data card: the built-in simulated card, or a real one named by
# its Linux serial devices. See --help.
set -uo pipefail

usage() {
    cat <<'EOF'
usage: scripts/run.sh [--modem DEVICE --diag DEVICE] [--headless] [--out DIR]

Builds the tool, registers a data card in the tool's own Wine prefix and runs Vostrel.exe on it.

  (no card named)        start the simulated card: its modem port as COM5, its diagnostic port as
                         COM6; what the card receives is written to OUT/transcript.txt and its mode
                         to OUT/card-state.txt
  --modem DEVICE         use a real card: its modem (AT) port, e.g. /dev/ttyUSB2, as COM5 ...
  --diag DEVICE          ... and its diagnostic port, e.g. /dev/ttyUSB0, as COM6 (both are needed)
  --headless             do not show the window even when a display answers: run one session on a
                         private X server and report (this is what happens without a display)
  --out DIR              where results go (default: out/ in the source tree)
  --help                 show this text

With a display ($DISPLAY answering) the window appears and you work with it; the script waits for
the program to end. Without one, a scripted session runs: wait for Ready!, "Close autorun & Enter
download", "Open autorun & Exit download", close; screenshots (OUT/*.png) and a summary of every
step with its time; the exit status is non-zero when a step failed.

The Wine prefix is $VOSTREL_WINEPREFIX, or ${XDG_DATA_HOME:-~/.local/share}/vostrel/wineprefix.
Ctrl-C stops everything the script started.
EOF
}

modem_dev=
diag_dev=
headless=0
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/out

while [ $# -gt 0 ]; do
    case $1 in
        --help|-h) usage; exit 0 ;;
        --modem) [ $# -ge 2 ] || { echo "run: --modem needs a device" >&2; exit 2; }; modem_dev=$2; shift 2 ;;
        --diag) [ $# -ge 2 ] || { echo "run: --diag needs a device" >&2; exit 2; }; diag_dev=$2; shift 2 ;;
        --headless) headless=1; shift ;;
        --out) [ $# -ge 2 ] || { echo "run: --out needs a directory" >&2; exit 2; }; out=$2; shift 2 ;;
        *) echo "run: unknown option: $1 (see --help)" >&2; exit 2 ;;
    esac
done

if [ -n "$modem_dev$diag_dev" ] && { [ -z "$modem_dev" ] || [ -z "$diag_dev" ]; }; then
    echo "run: --modem and --diag go together: the tool finds the card only when both ports are listed" >&2
    exit 2
fi
for dev in $modem_dev $diag_dev; do
    if [ ! -c "$dev" ]; then
        echo "run: $dev is not a serial device here (is the card plugged in? see ls /dev/ttyUSB*)" >&2
        exit 2
    fi
    if [ ! -r "$dev" ] || [ ! -w "$dev" ]; then
        echo "run: no read and write access to $dev (add yourself to its group: $(stat -c %G "$dev"))" >&2
        exit 2
    fi
done

mkdir -p "$out" || exit 2
out=$(cd "$out" && pwd)
cd "$root" || exit 2

# ---- build ---------------------------------------------------------------------------------------------
log=$out/build.log
: >"$log"
quiet() { "$@" >>"$log" 2>&1 || { echo "run: failed: $* (see $log)" >&2; tail -n 20 "$log" >&2; exit 1; }; }
echo "building (log: $log) ..."
quiet scripts/install-deps.sh
quiet cmake --preset native
quiet cmake --build build/native --target cardsim vostrel-cli
quiet cmake --preset windows -DVOSTREL_CARDSIM="$root/build/native/cardsim"
quiet cmake --build build/windows --target Vostrel vostrel-cli uidriver

export WINEPREFIX=${VOSTREL_WINEPREFIX:-${XDG_DATA_HOME:-$HOME/.local/share}/vostrel/wineprefix}
export E2E_BUILD_DIR=$root/build/windows E2E_ARTIFACTS=$out E2E_DISPLAY=${VOSTREL_DISPLAY:-60}
# The driver and the display helpers of the end-to-end harness.
source "$root/tests/e2e/lib.sh"
set +u   # lib.sh turns it on; this script checks its own variables
exe=$E2E_VOSTREL_EXE
cli=$root/build/windows/vostrel-cli.exe
cardsim=$root/build/native/cardsim

# ---- stop everything we started, however the script ends --------------------------------------------
card_pids=()
program_pid=
hold_pid=
links=()
cleanup() {
    trap - EXIT INT TERM
    local pid
    [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null && wait "$program_pid" 2>/dev/null
    [ -n "$hold_pid" ] && kill "$hold_pid" 2>/dev/null && wait "$hold_pid" 2>/dev/null
    for pid in "${card_pids[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${card_pids[@]}"; do wait "$pid" 2>/dev/null; done
    wineserver -k >/dev/null 2>&1
    if [ -n "$E2E_XVFB_PID" ]; then
        kill "$E2E_XVFB_PID" 2>/dev/null && wait "$E2E_XVFB_PID" 2>/dev/null
    fi
    local link
    for link in "${links[@]}"; do [ -L "$link" ] && rm -f "$link"; done
}
trap cleanup EXIT
trap 'echo; echo "run: stopped"; exit 130' INT TERM

show_window=0
if [ "$headless" = 0 ] && [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    show_window=1
fi

# Without a display, the private X server comes before any Wine process: a Wine desktop started
# without a display keeps none for as long as it lives, and the window would never appear.
if [ "$show_window" = 0 ]; then
    e2e_start_xvfb 2>/dev/null || { echo "run: could not start Xvfb" >&2; exit 1; }
fi
echo "wine prefix: $WINEPREFIX"
quiet scripts/wine-prefix.sh "$WINEPREFIX"
mkdir -p "$WINEPREFIX/dosdevices"

# ---- the card: simulated, or the user's devices --------------------------------------------------------
start_card() {   # COM transcript-or-empty [options]
    local com=$1 transcript=$2 log=$out/cardsim-com$1.log
    shift 2
    local args=(--link "$WINEPREFIX/dosdevices/com$com")
    [ -n "$transcript" ] && args+=(--transcript "$transcript" --state "$out/card-state.txt")
    rm -f "$WINEPREFIX/dosdevices/com$com"
    "$cardsim" "${args[@]}" "$@" >"$log" 2>&1 &
    card_pids+=($!)
    if ! e2e_poll 10000 grep -q '^cardsim: listening on' "$log"; then
        echo "run: the simulated card did not start:" >&2
        cat "$log" >&2
        exit 1
    fi
}

if [ -z "$modem_dev" ]; then
    rm -f "$out/transcript.txt" "$out/card-state.txt"
    start_card 5 "$out/transcript.txt"
    start_card 6 ""
    echo "card: simulated (modem port COM5, diagnostic port COM6)"
else
    # The card's ports for the window alone while it runs: the command line's own check (nobody else
    # has them open; ModemManager asked to let go of them), held until cleanup ends it.
    "$root/build/native/vostrel-cli" hold "$modem_dev" "$diag_dev" </dev/null >"$out/hold.log" 2>&1 &
    hold_pid=$!
    if ! e2e_poll 30000 eval 'grep -q "^held: " "$out/hold.log" || ! kill -0 "$hold_pid" 2>/dev/null' ||
        ! grep -q '^held: ' "$out/hold.log"; then
        echo "run: no window: the card's ports are not free:" >&2
        grep -v '^held: ' "$out/hold.log" >&2
        exit 1
    fi
    grep -v '^held: ' "$out/hold.log"
    for pair in "5 $modem_dev" "6 $diag_dev"; do
        set -- $pair
        rm -f "$WINEPREFIX/dosdevices/com$1"
        ln -s "$(readlink -f "$2")" "$WINEPREFIX/dosdevices/com$1" || exit 1
        links+=("$WINEPREFIX/dosdevices/com$1")
    done
    echo "card: $modem_dev as COM5 (modem), $diag_dev as COM6 (diagnostic)"
fi

# The driver entries the card's modem and diagnostic interfaces leave, as Windows writes them for
# one composite USB device (scripts/card-entries.sh), in one regedit call. Without a window manager
# (the private X server) Wine must draw the window's frame itself; with the user's display it must not.
reg=$out/card.reg
{
    vostrel_card_reg 0 YARLOusbmdm6k 5 0 YARLOusbser6k 6
    echo
    echo "[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]"
    if [ "$show_window" = 1 ]; then echo '"Managed"=-'; else echo '"Managed"="N"'; fi
} >"$reg"
quiet wine regedit /S "$(winepath -w "$reg")"

start_program() {
    (cd "$out" && exec wine "$exe" >>"$out/wine.log" 2>&1) &
    program_pid=$!
}

# ---- with a display: the user works with the window -------------------------------------------------------
if [ "$show_window" = 1 ]; then
    echo "starting Vostrel.exe on $DISPLAY; close its window to end"
    start_program
    wait "$program_pid"
    status=$?
    program_pid=
    echo "Vostrel.exe ended (status $status)"
    [ -f "$out/transcript.txt" ] && echo "card transcript: $out/transcript.txt"
    exit 0
fi

# ---- without one: a scripted session on a private X server ---------------------------------------------------
echo "no display: running one session on Xvfb $DISPLAY"

summary=()
failed=0
# Runs one step: step "what" COMMAND... ; records ok/FAILED with its time. Later steps are skipped
# once one has failed.
step() {
    local what=$1 t0 ms result
    shift
    if [ "$failed" -ne 0 ]; then
        summary+=("$(printf '  %-52s %s' "$what" "skipped")")
        return 1
    fi
    t0=$(date +%s%3N)
    if "$@"; then result=ok; else result=FAILED; failed=1; fi
    ms=$(( $(date +%s%3N) - t0 ))
    summary+=("$(printf '  %-52s %-6s %6d ms' "$what" "$result" "$ms")")
    printf '%-54s %s\n' "$what" "$result"
    [ "$result" = ok ]
}

ready() { e2e_drive wait-state picture=IDB_READY enabled:IDC_ENTER_DOWNLOAD=1 enabled:IDC_EXIT_DOWNLOAD=1 \
    "text:IDC_PORT_LIST=COM 5" 30000 2>/dev/null; }
# Clicks BUTTON and waits for the command's box; saves the window with the box open as
# NAME-success.png or NAME-error.png; succeeds on the Success box with TEXT. box BUTTON NAME TEXT
box() {
    e2e_drive click "$1" 2>/dev/null && e2e_drive wait-any-box 30000 Success Error 2>/dev/null || return 1
    local title text
    title=$(e2e_value title) text=$(e2e_value text)
    if [ "$title" = Error ]; then
        shot "$2-error" Error
        echo "  the Error box says: $text (screenshot $2-error.png)" >&2
        e2e_drive dismiss-box Error 2>/dev/null
        return 1
    fi
    shot "$2-success" Success || return 1
    [ "$text" = "$3" ] || { echo "  the Success box says: $text" >&2; return 1; }
}
shot() { e2e_screenshot "$@" 2>/dev/null; }
dismiss() { e2e_drive dismiss-box Success 2>/dev/null; }
# vostrel-cli.exe's listing, as a user running it in this prefix would see it: one card, its modem
# port and its diagnostic port with their interface numbers.
listing() {
    wine "$cli" list </dev/null 2>&1 | tr -d '\r' >"$out/cli-list.txt" || return 1
    [ "$(grep -c '^card ' "$out/cli-list.txt")" = 1 ] &&
        grep -q '^  COM5  modem  interface 2  ' "$out/cli-list.txt" &&
        grep -q '^  COM6  diagnostic  interface 0  ' "$out/cli-list.txt"
}
closed() {
    e2e_drive close 2>/dev/null || return 1
    e2e_poll 15000 eval '! kill -0 "$program_pid" 2>/dev/null' || return 1
    wait "$program_pid" 2>/dev/null
    program_pid=
}
transcript_has() {
    local line
    for line in "AT+YCDRUN=E" "AT+YCDRUN=8" "AT+YCDRUN=F" "AT+YCDRUN=9" "AT+CGMM"; do
        grep -q " $line\$" "$out/transcript.txt" || { echo "  transcript lacks $line" >&2; return 1; }
    done
}

step "vostrel-cli.exe list: one card, COM5 and COM6" listing
sed 's/^/    /' "$out/cli-list.txt"
start_program
step "start: the window appears" e2e_drive wait-window Kavender 60000
step "Ready! on COM 5, both buttons enabled" ready
step "screenshot ready.png" shot ready
step "Close autorun & Enter download: Success box" box IDC_ENTER_DOWNLOAD close "Close autorun and enter download success!"
step "dismiss the box" dismiss
step "Ready! again" ready
step "Open autorun & Exit download: Success box" box IDC_EXIT_DOWNLOAD open "Open autorun and exit download success!"
step "dismiss the box" dismiss
step "Ready! again" ready
step "close the window: the program ends" closed
if [ -z "$modem_dev" ]; then
    step "transcript: E, 8, F, 9 and AT+CGMM sent" transcript_has
fi

echo
echo "summary:"
printf '%s\n' "${summary[@]}"
files="screenshots *.png"
[ -z "$modem_dev" ] && files="$files, transcript.txt, card-state.txt"
echo "results in $out ($files)"
[ "$failed" -eq 0 ] && echo "session ok" || echo "session FAILED"
exit "$failed"
