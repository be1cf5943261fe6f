#!/usr/bin/env bash
# The history's figures: vostrel-cli close-autorun --all --wait on 64 simulated cards (natively, on a
# umockdev tree) with its records kept in an SQLite store against --no-history, the runs of the two
# taken in turn; then bench_history's (`history --imei` on 1,000,000 records, one record's write).
# Prints markdown rows; exits non-zero when a goal is missed.
#
# usage: bench/bench-history.sh [NATIVE-BUILD-DIR]   (default build/native, with bench-testbed and bench_history)
#   BENCH_RUNS=5    runs of each (the median is taken)
set -euo pipefail
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
native=$(realpath -m "${1:-$src/build/native}")
runs=${BENCH_RUNS:-5}
cards=64
work=$(mktemp -d "${TMPDIR:-/tmp}/bench-history.XXXXXX")
trap 'rm -rf "$work"' EXIT
for exe in vostrel-cli bench-testbed cardsim bench_history; do
    [ -x "$native/$exe" ] || { echo "bench-history: build $exe first (cmake --build $native --target $exe)" >&2; exit 2; }
done

# One run: prints its wall time in ms. run_once on|off N
run_once() {
    local out=$work/$1-$2 history=(--no-history)
    mkdir -p "$out"
    [ "$1" = on ] && history=(--history "$work/history.db")
    umockdev-wrapper "$native/bench-testbed" --cards $cards --return-ms 2000 --out "$out" -- \
        bash -c 'start=$(date +%s%N); "$0" close-autorun --all --wait --quiet "${@:2}" >/dev/null
                 status=$?; echo $(( ($(date +%s%N) - start) / 1000000 )) >"$1/wall"; exit $status' \
        "$native/vostrel-cli" "$out" "${history[@]}" || { echo "bench-history: a run with history $1 failed" >&2; exit 1; }
    cat "$out/wall"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
on=() off=()
for ((r = 1; r <= runs; r++)); do
    off+=("$(run_once off "$r")")
    on+=("$(run_once on "$r")")
done
on_ms=$(printf '%s\n' "${on[@]}" | median)
off_ms=$(printf '%s\n' "${off[@]}" | median)
ratio=$(awk -v a="$on_ms" -v b="$off_ms" 'BEGIN { printf "%.3f", a / b }')
ok=$(awk -v r="$ratio" 'BEGIN { print (r <= 1.02) ? "yes" : "no" }')
echo "| \`close-autorun --all --wait\` on $cards cards, history kept against --no-history | native | $on_ms ms / $off_ms ms | $runs | | $ratio | <= 1.02 | $ok |"
figures_ok=yes
"$native/bench_history" || figures_ok=no   # its store of a million records is made once, in /tmp
[ "$ok" = yes ] && [ "$figures_ok" = yes ]
