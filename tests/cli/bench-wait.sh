#!/usr/bin/env bash
# vostrel-cli --all --wait on a simulated bench (run by bench-testbed, which gives each card a fault
# as the scenario asks): each card's row ends in the phase its fault leaves it in, and a card that
# fails fails only its own row.
#
# usage: bench-wait.sh close|blink|open|table VOSTREL-CLI
#   close   3 cards: 0 switches, 1 never leaves, 2 never comes back
#   blink   2 cards: 0 switches, 1 never leaves but drops off the bus for a moment (one look misses it)
#   open    5 cards: 0 switches, 1 never comes back, 2 comes back at another slot, 3 comes back
#           with another IMEI, 4 is pulled out during the run
#   table   8 cards, card 5 never leaves: the live table's last frame in a terminal (tmux)
set -euo pipefail
scenario=${1:?usage: bench-wait.sh close|blink|open|table VOSTREL-CLI}
cli=${2:?usage: bench-wait.sh close|blink|open|table VOSTREL-CLI}
: "${VOSTREL_BENCH_OUT:?run this under bench-testbed}"
out=$VOSTREL_BENCH_OUT
fail() { echo "bench-wait $scenario: FAIL: $*" >&2; exit 1; }
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# Card n's slot is labelled Cn, from the slots the bench gave its cards (they differ by platform).
while read -r _ n slot _; do echo "C$n $slot"; done <"$out/bench-cards.txt" >"$out/slots.txt"
# Under Wine a change shows once regedit has written it: the times there are longer.
read -r -a times <<<"${BENCH_WAIT_TIMES:---leave-timeout 3 --return-timeout 4}"
run=("$cli")
[[ $cli == *.exe ]] && run=(wine "$cli")

# Each row of the report as "<label> <status> <phase reached>", in slot order.
rows() {
    python3 - "$1" <<'PY'
import json, sys
rows = sorted(json.load(open(sys.argv[1])), key=lambda r: r["label"] or "")
for r in rows:
    reached = [p for p in ("sent", "left", "back", "settled") if r[p] is not None]
    print(r["label"], r["status"], reached[-1] if reached else "-")
PY
}

check_rows() {   # EXPECTED-ROWS (one "<label> <status> <phase>" per line; "*" matches any status)
    local got
    got=$(rows "$out/report.json")
    python3 - "$1" "$got" <<'PY' || fail "rows: expected
$1
got
$got
$(cat "$out/run.json")"
import sys
want, got = sys.argv[1].split("\n"), sys.argv[2].split("\n")
ok = len(want) == len(got) and all(all(w == "*" or w == g for w, g in zip(a.split(), b.split())) for a, b in zip(want, got))
sys.exit(0 if ok else 1)
PY
}

run_cli() {   # STATUS ARGS...: runs the program, which must end with STATUS
    local want=$1 status=0
    shift
    "${run[@]}" "$@" --all --wait "${times[@]}" --slots "$out/slots.txt" --report "$out/report.json" --json >"$out/run.json" \
        2>"$out/run.err" || status=$?
    [ "$status" = "$want" ] || fail "exit status $status, not $want: $(cat "$out/run.err")"
}

case $scenario in
close)
    run_cli 6 close-autorun
    check_rows "C0 0 settled
C1 6 sent
C2 0 left"
    grep -q '"message": "stalled in sent: the card.s ports are still listed after [0-9.]* s"' "$out/run.json" ||
        fail "no stalled message: $(cat "$out/run.json")"
    ;;
blink)
    # Whether card 1 "left" depends on how long its blink really kept it off the drivers' lists (a
    # busy machine writes the change late) and on when the program happened to look. So the expected
    # reading comes from what happened: the bench's log of the blink, and the transcript's log of
    # each look at the slot.
    status=0
    rm -f "$out/cli.log"
    "${run[@]}" close-autorun --all --wait "${times[@]}" --slots "$out/slots.txt" --report "$out/report.json" \
        --log "$out/cli.log" --json >"$out/run.json" 2>"$out/run.err" || status=$?
    grep -q '^[0-9]* card 1 shown ' "$out/bench-events.log" || fail "card 1 never blinked: $(cat "$out/bench-events.log")"
    reading=$(python3 "$here/blink-reading.py" "$out/bench-events.log" "$out/cli.log" 1 \
        "$(python3 -c 'import json, sys; print(next(r["slot"] for r in json.load(open(sys.argv[1])) if r["label"] == "C1"))' \
            "$out/report.json")") || fail "no reading of the blink: $reading"
    echo "bench-wait blink: $reading"
    case $reading in
        stays*) want_status=6 want_c1="C1 6 sent" ;;
        left*) want_status=0 want_c1="C1 0 settled" ;;
        *) want_status=$status want_c1="C1 * *"
           [[ $status =~ ^(0|6)$ ]] || fail "exit status $status: $(cat "$out/run.err")"
           rows "$out/report.json" | grep -qxE 'C1 (6 sent|0 settled)' || fail "C1: $(rows "$out/report.json")" ;;
    esac
    [ "$status" = "$want_status" ] || fail "exit status $status, not $want_status ($reading): $(cat "$out/run.err")"
    check_rows "C0 0 settled
$want_c1"
    ;;
open)
    run_cli 6 open-autorun
    # Card 4 is pulled while its commands run or while it is followed: status 4, 5 or 6.
    check_rows "C0 0 settled
C1 6 left
C2 6 left
C3 6 back
C4 * *"
    grep -q 'another card answers at slot .*: IMEI' "$out/run.json" || fail "no IMEI message: $(cat "$out/run.json")"
    case $(rows "$out/report.json" | awk '$1 == "C4" { print $2 }') in 4|5|6) ;; *) fail "the pulled card's status";; esac
    ;;
table)
    command -v tmux >/dev/null || { echo "bench-wait table: SKIPPED: tmux is not installed"; exit 0; }
    rm -f "$out/status"
    socket=vostrel-bench-$$
    trap 'tmux -L "$socket" kill-server 2>/dev/null || true' EXIT
    tmux -L "$socket" -f /dev/null new-session -d -x 150 -y 40 \
        "'$cli' close-autorun --all --wait ${times[*]} --slots '$out/slots.txt' >'$out/run.out' 2>/dev/tty; echo \$? >'$out/status'; sleep 30"
    deadline=$((SECONDS + 40))
    until [ -s "$out/status" ]; do
        [ $SECONDS -lt $deadline ] || fail "the program did not end"
        sleep 0.1
    done
    screen=$(tmux -L "$socket" capture-pane -p -S -)
    [ "$(cat "$out/status")" = 6 ] || fail "exit status $(cat "$out/status")"
    # Drawn in place: one header, one row per card, one summary, whatever the number of redraws.
    [ "$(grep -c 'label' <<<"$screen")" = 1 ] || fail "the header is shown more than once:
$screen"
    for label in C0 C1 C2 C3 C4 C5 C6 C7; do
        [ "$(grep -c "^$label " <<<"$screen")" = 1 ] || fail "row $label is not shown exactly once:
$screen"
    done
    grep -q '^C5 .*sent .*failed (6): stalled in sent' <<<"$screen" || fail "C5 does not show its failure:
$screen"
    grep -q '^8 cards: 7 done, 1 failed' <<<"$screen" || fail "no final summary:
$screen"
    ;;
*) fail "unknown scenario" ;;
esac
echo "bench-wait $scenario: passed"
