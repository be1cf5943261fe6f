#!/usr/bin/env bash
# The bench's figures for vostrel-cli close-autorun --all --wait on simulated cards (natively, on a
# umockdev tree): the wall time on 32 and on 64 cards against one card, and how long after a card
# came back its row showed "back". Prints markdown rows; exits non-zero when a goal is missed.
#
# usage: bench/bench-wait.sh [NATIVE-BUILD-DIR]   (default build/native, built with bench-testbed)
#   BENCH_RUNS=3    runs per card count (the median is taken)
set -euo pipefail
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
native=$(realpath -m "${1:-$src/build/native}")
runs=${BENCH_RUNS:-3}
return_ms=2000
work=$(mktemp -d "${TMPDIR:-/tmp}/bench-wait.XXXXXX")
trap 'rm -rf "$work"' EXIT
for exe in vostrel-cli bench-testbed cardsim; do
    [ -x "$native/$exe" ] || { echo "bench-wait: build $exe first (cmake --build $native --target $exe)" >&2; exit 2; }
done

# One run on N cards: prints "<wall ms> <ms from the command's start to the bench's last card back>
# <back latencies in ms, one per card>".
run_once() {
    local n=$1 out=$work/$1-$2
    mkdir -p "$out"
    umockdev-wrapper "$native/bench-testbed" --cards "$n" --return-ms $return_ms --out "$out" -- \
        bash -c 'start=$(date +%s%N); "$0" close-autorun --all --wait --quiet --log "$1/cli.log" --report "$1/report.json" >/dev/null
                 status=$?; echo $(( ($(date +%s%N) - start) / 1000000 )) >"$1/wall"; exit $status' \
        "$native/vostrel-cli" "$out" || { echo "bench-wait: the run on $n cards failed" >&2; exit 1; }
    python3 - "$out" <<'PY'
import json, re, sys
out = sys.argv[1]
events = [line.split() for line in open(out + "/bench-events.log")]
started = next(int(e[0]) for e in events if e[1:] == ["command", "started"])
back = {e[4]: int(e[0]) for e in events if len(e) > 3 and e[3] == "back"}
# A row's times count from its card's run start, which comes after the program's start by its
# listing and its threads' start (more so the more cards). The transcript's times count from the
# program's start (a few ms after the bench's "command started"): a card's run starts when its
# first line goes out.
first = {}
for line in open(out + "/cli.log"):
    m = re.match(r"(\d+) (\S+) > ", line)
    if m and m.group(2) not in first:
        first[m.group(2)] = int(m.group(1))
rows = json.load(open(out + "/report.json"))
lat = [round(started + min(first[p] for p in r["ports"] if p in first) + r["back"] * 1000 - back[r["slot"]])
       for r in rows if r["back"] is not None and r["slot"] in back]
assert len(lat) == len(rows), "a card did not come back"
print(open(out + "/wall").read().strip(), max(back.values()) - started, *lat)
PY
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# The wall time, and what is left of it beyond the bench's re-enumeration (the command's start to the
# last card back, as the bench logged it: the simulation takes longer to move 32 cards than one).
declare -A wall beyond
lat_all=()
for n in 1 32 64; do
    walls=() rests=()
    for ((r = 1; r <= runs; r++)); do
        read -r -a got < <(run_once "$n" "$r")
        walls+=("${got[0]}")
        rests+=("$(( got[0] - got[1] ))")
        lat_all+=("${got[@]:2}")
    done
    wall[$n]=$(printf '%s\n' "${walls[@]}" | median)
    beyond[$n]=$(printf '%s\n' "${rests[@]}" | median)
done
lat_median=$(printf '%s\n' "${lat_all[@]}" | median)
lat_max=$(printf '%s\n' "${lat_all[@]}" | sort -n | tail -1)
ok_all=yes
# N cards against one: the row, and whether the ratio beyond re-enumeration meets its goal.
scale_row() {
    local n=$1 goal=$2 raw ratio ok
    raw=$(awk -v a="${wall[$n]}" -v b="${wall[1]}" 'BEGIN { printf "%.3f", a / b }')
    ratio=$(awk -v a="${beyond[$n]}" -v b="${beyond[1]}" 'BEGIN { printf "%.3f", a / b }')
    ok=$(awk -v r="$ratio" -v g="$goal" 'BEGIN { print (r <= g) ? "yes" : "no" }')
    [ "$ok" = yes ] || ok_all=no
    echo "| \`vostrel-cli close-autorun --all --wait\`, $n cards against one: wall time, and beyond the bench's re-enumeration | native | ${wall[$n]} ms / ${wall[1]} ms (ratio $raw); ${beyond[$n]} ms / ${beyond[1]} ms beyond | $runs | | $ratio | <= $goal | $ok |"
}
scale_row 32 1.10
scale_row 64 1.15
ok_lat=$([ "$lat_max" -le 300 ] && echo yes || echo no)
[ "$ok_lat" = yes ] || ok_all=no
echo "| a card's return to its row showing \"back\" | native | median $lat_median ms, max $lat_max ms | ${#lat_all[@]} | | | <= 300 ms | $ok_lat |"
[ "$ok_all" = yes ]
