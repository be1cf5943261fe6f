#!/usr/bin/env bash
# The bench held up over time: rounds of vostrel-cli close-autorun and open-autorun --all --wait, back
# to back, on 32 simulated cards (natively, on a umockdev tree), random cards with a fault each
# round. Every row must match what the bench's event log says happened to its card, no run may hang,
# and the programs' resident memory, open descriptors and threads at the last round must be within
# 5 % of the first round's. Each round is one bench-testbed and one vostrel-cli process; each one's
# peak figures are sampled from /proc while it runs. Prints a table of rounds; exits non-zero on any
# mismatch, hang or drift. Not part of the test run.
#
# usage: scripts/bench-soak.sh [NATIVE-BUILD-DIR]   (default build/native; builds what it needs)
#   BENCH_SOAK_MINUTES=30   how long to keep starting rounds
#   BENCH_SOAK_CARDS=32     cards per round
#   BENCH_SOAK_FAULTS=6     cards given a fault per round
set -euo pipefail
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
native=$(realpath -m "${1:-$src/build/native}")
minutes=${BENCH_SOAK_MINUTES:-30}
cards=${BENCH_SOAK_CARDS:-32}
nfaults=${BENCH_SOAK_FAULTS:-6}
work=$(mktemp -d "${TMPDIR:-/tmp}/bench-soak.XXXXXX")
trap 'rm -rf "$work"' EXIT
if [ ! -x "$native/vostrel-cli" ] || [ ! -x "$native/bench-testbed" ]; then
    cmake --preset native >/dev/null && cmake --build "$native" --target vostrel-cli bench-testbed cardsim >/dev/null
fi

# The peak of VmRSS (kB), threads and open descriptors of process $1 until it ends, into file $2.
sample() {
    set +e +o pipefail   # the process may end between two reads
    local pid=$1 rss=0 threads=0 fds=0 v
    while [ -d "/proc/$pid" ]; do
        v=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)
        [ -n "$v" ] && [ "$v" -gt "$rss" ] && rss=$v
        v=$(awk '/^Threads:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)
        [ -n "$v" ] && [ "$v" -gt "$threads" ] && threads=$v
        v=$(ls "/proc/$pid/fd" 2>/dev/null | wc -l)
        [ "$v" -gt "$fds" ] && fds=$v
        sleep 0.05
    done
    echo "$rss $threads $fds" >"$2"
}

kinds=(stay gone moved newimei blink pull)
end=$((SECONDS + minutes * 60))
round=0 rows_total=0 mismatches=0 hangs=0
first='' last=''
printf '%-5s %-13s %4s %10s %-22s %-22s\n' round command rows mismatches "cli rss/threads/fds" "bench rss/threads/fds"
while [ $SECONDS -lt $end ]; do
    round=$((round + 1))
    command=close-autorun
    [ $((round % 2)) = 0 ] && command=open-autorun
    out=$work/round
    rm -rf "$out"
    mkdir -p "$out"
    faults=()
    for card in $(shuf -i 0-$((cards - 1)) -n "$nfaults"); do
        kind=${kinds[RANDOM % ${#kinds[@]}]}
        # Pulled out during its commands (the second after the listing) or while it is followed.
        [ "$kind" = pull ] && kind=pull@$((900 + RANDOM % 2100))
        faults+=(--fault "$card:$kind")
    done
    printf '%s\n' "${faults[@]}" | paste - - | awk '{ print $2 }' >"$out/faults"
    # The command runs in the background so that it can be sampled; a run that outlives its
    # longest possible wait is a hang. The times are long: with 32 cards re-plugging at once on a
    # busy machine the bench itself can take seconds to bring a card back (it answers in 0.5 s
    # when idle), and a card back after the program's deadline is rightly not back.
    umockdev-wrapper "$native/bench-testbed" --cards "$cards" --return-ms 500 "${faults[@]}" --out "$out" -- \
        bash -c '"$0" "$1" --all --wait --leave-timeout 8 --return-timeout 12 --quiet --report "$2/report.json" \
                 >"$2/run.json" 2>"$2/run.err" & pid=$!; echo $pid >"$2/cli.pid"; wait $pid' \
        "$native/vostrel-cli" "$command" "$out" >/dev/null 2>"$out/bench.err" &
    bench_pid=$!
    sample "$bench_pid" "$out/bench.peak" &
    deadline=$((SECONDS + 60))
    until [ -s "$out/cli.pid" ] || ! kill -0 "$bench_pid" 2>/dev/null; do sleep 0.02; done
    [ -s "$out/cli.pid" ] && sample "$(cat "$out/cli.pid")" "$out/cli.peak" &
    while kill -0 "$bench_pid" 2>/dev/null; do
        if [ $SECONDS -ge $deadline ]; then
            hangs=$((hangs + 1))
            kill "$bench_pid" 2>/dev/null || true
            echo "bench-soak: round $round hung" >&2
            break
        fi
        sleep 0.1
    done
    wait "$bench_pid" 2>/dev/null || true
    wait
    # Each row against the bench's log: what the card did decides the status and phase it must show.
    read -r rows bad < <(python3 - "$out" "$command" <<'PY'
import json, sys
out, command = sys.argv[1], sys.argv[2]
faults = {}
for line in open(out + "/faults"):
    card, kind = line.strip().split(":", 1)
    faults[int(card)] = kind
slots = {}
for line in open(out + "/bench-cards.txt"):
    f = line.split()
    slots[f[2]] = int(f[1])
did = {}
hidden_ms = {}   # how long a blinking card was off the bus, by the log
for line in open(out + "/bench-events.log"):
    f = line.split()
    if len(f) > 4 and f[1] == "card":
        card = int(f[2])
        did.setdefault(card, []).append((f[3], f[4]))
        if f[3] == "hidden":
            hidden_ms[card] = -int(f[0])
        elif f[3] == "shown":
            hidden_ms[card] = hidden_ms.get(card, 0) + int(f[0])
try:
    rows = json.load(open(out + "/report.json"))
except (OSError, ValueError):
    print(0, 1)
    sys.exit()
bad = 0
for r in rows:
    card = slots.get(r["slot"])
    seen = did.get(card, [])
    left = any(w == "left" for w, _ in seen)
    back_home = any(w == "back" and s == r["slot"] for w, s in seen)
    kind = faults.get(card, "")
    reached = [p for p in ("sent", "left", "back", "settled") if r[p] is not None]
    got = (r["status"], reached[-1] if reached else "-")
    if kind.startswith("pull"):
        ok = r["status"] in (0, 4, 5, 6)   # the program cannot tell a card pulled out from one that left
    elif kind == "blink" and hidden_ms.get(card, 0) >= 900:
        # A busy bench can keep a blinking card away for a second or more: then it did leave and
        # come back, and either reading is right.
        ok = got in ((0, "settled"), (6, "sent"))
    elif command == "close-autorun":
        want = (0, "settled") if back_home else (0, "left") if left else (6, "sent")
        ok = got == want
    else:
        if not left:
            want = (0, "settled")          # stayed on the bus, answers at its slot: switched in place
        elif not back_home:
            want = (6, "left")
        elif kind == "newimei":
            want = (6, "back")
        else:
            want = (0, "settled")
        ok = got == want
    if not ok:
        bad += 1
        print(f"round mismatch: card {card} ({kind or 'no fault'}) did {seen}: row {got} {r['message']}", file=sys.stderr)
# A card pulled out before the program listed the cards has no row; every other card has one.
listed = {slots.get(r["slot"]) for r in rows}
for card in set(slots.values()) - listed:
    if not faults.get(card, "").startswith("pull"):
        bad += 1
        print(f"round mismatch: card {card} has no row", file=sys.stderr)
print(len(rows), bad)
PY
    )
    if [ "$bad" != 0 ]; then   # kept for a look: the rows, the bench's log, the cards' transcripts
        cp -r "$out" "${TMPDIR:-/tmp}/bench-soak-round-$round"
        echo "bench-soak: round $round kept in ${TMPDIR:-/tmp}/bench-soak-round-$round" >&2
    fi
    rows_total=$((rows_total + rows))
    mismatches=$((mismatches + bad))
    cli_peak=$(cat "$out/cli.peak" 2>/dev/null || echo "0 0 0")
    bench_peak=$(cat "$out/bench.peak" 2>/dev/null || echo "0 0 0")
    # Peaks grow with the cards in flight: the last round is set against the first of the same
    # command and number of rows.
    [ -n "$first" ] || first="$command $rows $cli_peak $bench_peak"
    [ "$command $rows" = "$(cut -d' ' -f1,2 <<<"$first")" ] && last="$command $rows $cli_peak $bench_peak"
    printf '%-5s %-13s %4s %10s %-22s %-22s\n' "$round" "$command" "$rows" "$bad" "${cli_peak// //}" "${bench_peak// //}"
done

drift=$(python3 - "$first" "$last" <<'PY'
import sys
a, b = [list(map(int, s.split()[2:])) for s in sys.argv[1:3]]
names = ["cli rss", "cli threads", "cli fds", "bench rss", "bench threads", "bench fds"]
out = [f"{n} {x} -> {y} ({(y - x) * 100 / x:+.1f} %)" for n, x, y in zip(names, a, b) if x]
over = [n for n, x, y in zip(names, a, b) if x and abs(y - x) > 0.05 * x]
print("; ".join(out) + ("; over 5 %: " + ", ".join(over) if over else ""))
PY
)
echo "rounds $round, rows $rows_total, mismatches $mismatches, hangs $hangs"
echo "first round to last: $drift"
[ "$mismatches" = 0 ] && [ "$hangs" = 0 ] && [[ $drift != *"over 5 %"* ]]
