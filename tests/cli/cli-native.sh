#!/usr/bin/env bash
# vostrel-cli natively against simulated cards on pseudo-terminals: each subcommand on a named port,
# the card's transcript against what the window sends, the exit statuses from real causes, and the
# transcript file. usage: cli-native.sh VOSTREL_CLI CARDSIM
set -u
cli_exe=$1
cardsim=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/vostrel-cli-native.XXXXXX")
pids=()
failures=0
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }

# Starts a card whose port is $work/NAME. start_card NAME [CARDSIM OPTIONS...]
start_card() {
    local name=$1 deadline=$((SECONDS + 10))
    shift
    "$cardsim" --link "$work/$name" --transcript "$work/$name.transcript" "$@" >"$work/$name.out" 2>&1 &
    pids+=($!)
    until grep -q '^cardsim: listening on ' "$work/$name.out" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || { fail "card $name did not start"; return 1; }
        sleep 0.02
    done
}

# Runs the program; STATUS and OUT hold what it did.
cli() {
    "$cli_exe" "$@" >"$work/out" 2>"$work/err" </dev/null
    STATUS=$?
    OUT=$(cat "$work/out" "$work/err")
}

expect() {   # expect STATUS REGEX WHAT
    [ "$STATUS" = "$1" ] || fail "$3: exit status $STATUS, wanted $1: $OUT"
    printf '%s\n' "$OUT" | grep -qE "$2" || fail "$3: no line matches /$2/: $OUT"
}

# The card's command lines since mark NAME, comma separated.
mark() { marked=$(wc -l <"$work/$1.transcript"); }
sent() { tail -n +$((marked + 1)) "$work/$1.transcript" | sed 's/^[0-9]* //' | tr -d '\r' | paste -sd,; }

start_card CARD || exit 1
cli probe --port "$work/CARD"
expect 0 ': probe: ok$' "probe"
mark CARD
cli close-autorun --port "$work/CARD" --log "$work/cli.log"
expect 0 ': close-autorun: ok$' "close-autorun"
[ "$(sent CARD)" = "AT+YCDRUN=E,AT+YCDRUN=8" ] || fail "close-autorun sent $(sent CARD)"
grep -qE '^[0-9]+ .*/CARD > AT\+YCDRUN=E\\r$' "$work/cli.log" || fail "transcript: no command line"
grep -qE '^# outcome .*close-autorun: ok$' "$work/cli.log" || fail "transcript: no outcome"
mark CARD
cli open-autorun --port "$work/CARD" --json
expect 0 '"ok": true' "open-autorun --json"
[ "$(sent CARD)" = "AT+YCDRUN=F,AT+YCDRUN=9,AT+CGMM,AT+YCDRUN=N" ] || fail "open-autorun sent $(sent CARD)"
cli sim-status --port "$work/CARD"
expect 0 ': sim-status: detect sim card$' "sim-status"

start_card SILENT --fault silent || exit 1
cli probe --port "$work/SILENT"
expect 5 'silent' "a silent card"
start_card REJECTS --fault error || exit 1
cli close-autorun --port "$work/REJECTS"
expect 1 'rejected AT\+YCDRUN=E' "a card answering ERROR"
cli probe --port "$work/nothing-here"
expect 4 'nothing-here: open: no such device' "a port that is not there"
cli probe --port "$work/CARD" --card x
expect 2 'excludes' "--port with --card"
cli frobnicate
expect 2 '' "an unknown subcommand"
cli --version
expect 0 '^vostrel-cli [0-9]+\.[0-9]+\.[0-9]+' "--version"

# An answering card, start of process to exit (the figure's goal is 50 ms).
started=$(date +%s%N)
cli probe --port "$work/CARD" --quiet
took=$(( ($(date +%s%N) - started) / 1000000 ))
expect 0 ': probe: ok$' "timed probe"
echo "probe of an answering card: $took ms"

[ "$failures" -eq 0 ] && echo "cli-native: all checks passed"
[ "$failures" -eq 0 ]
