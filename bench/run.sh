#!/usr/bin/env bash
# Builds what the benchmarks need, runs them natively and under Wine, and prints one markdown table:
# a row per figure with where it was measured, the median of N runs, the ideal (the fixed waits and
# exchanges alone), their ratio, the goal and whether it was met. Exits non-zero, saying why, when a
# goal is missed or a figure could not be measured.
#
# usage: bench/run.sh
#   BENCH_RUNS=3        runs per timing figure
#   BENCH_CPU_S=60      seconds of watching the CPU of a running Vostrel.exe
#   E2E_DISPLAY=101     first X display number to try for the Wine part
#   BENCH_NATIVE_DIR, BENCH_WINDOWS_DIR   build trees (default build/bench-native, build/bench-windows)
set -uo pipefail

src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Absolute: Wine takes WINEPREFIX only as an absolute path, and the Wine part runs elsewhere.
native=$(realpath -m "${BENCH_NATIVE_DIR:-$src/build/bench-native}")
windows=$(realpath -m "${BENCH_WINDOWS_DIR:-$src/build/bench-windows}")
export BENCH_RUNS=${BENCH_RUNS:-3}
export BENCH_CPU_S=${BENCH_CPU_S:-60}
readonly RATIO_GOAL=1.05 CPU_GOAL=0.5 SIZE_GOAL=2000000
for setting in BENCH_RUNS BENCH_CPU_S; do
    if ! [[ ${!setting} =~ ^[1-9][0-9]{0,5}$ ]]; then
        echo "bench/run.sh: $setting must be a whole number from 1 up, not '${!setting}'" >&2
        exit 2
    fi
done

logs="$native/bench-logs"
mkdir -p "$logs"
figures="$logs/figures.tsv"
: >"$figures"
problems=()

say() { printf '[bench %s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }

# The Wine prefix's server is ours alone; stop it whatever happens.
stop_wineserver() { WINEPREFIX="$windows/wineprefix" wineserver -k >/dev/null 2>&1 || true; }
trap stop_wineserver EXIT
trap 'exit 130' INT TERM

build() {   # NAME LOG CONFIGURE-ARGS... -- TARGETS...
    local name=$1 log=$2
    shift 2
    local configure=()
    while [ "$1" != "--" ]; do configure+=("$1"); shift; done
    shift
    say "building $name ($*)"
    if ! { cmake "${configure[@]}" && cmake --build "${configure[3]}" -j2 --target "$@"; } >"$log" 2>&1; then
        say "build $name failed; see $log"
        tail -n 20 "$log" >&2
        exit 2
    fi
}

build native "$logs/build-native.log" --preset native -B "$native" -- bench_exchange bench_dialog cardsim
build windows "$logs/build-windows.log" --preset windows -B "$windows" "-DVOSTREL_CARDSIM=$native/cardsim" -- \
    Vostrel uidriver bench_exchange_win

run_native() {   # NAME COMMAND...
    local name=$1
    shift
    say "native: $name"
    if ! "$@" >"$logs/$name.out" 2>&1; then
        problems+=("native $name ended with an error (see $logs/$name.out)")
    fi
    grep -v '^figure' "$logs/$name.out" >&2
    grep '^figure' "$logs/$name.out" >>"$figures"
}
run_native exchange "$native/bench_exchange" "$BENCH_RUNS" "$BENCH_RUNS"
run_native dialog "$native/bench_dialog" "$BENCH_RUNS"

say "Wine: exchange, start, monitoring ($BENCH_CPU_S s), commands"
if ! E2E_BUILD_DIR="$windows" E2E_DISPLAY=${E2E_DISPLAY:-101} VOSTREL_CARDSIM="$native/cardsim" \
    E2E_VOSTREL_EXE="$windows/Vostrel.exe" E2E_UIDRIVER_EXE="$windows/uidriver.exe" \
    E2E_ARTIFACTS="$logs/artifacts" WINEPREFIX="$windows/wineprefix" \
    bash "$src/bench/wine-figures.sh" >"$logs/wine.out" 2>"$logs/wine.err"; then
    problems+=("the Wine figures reported failed checks (see $logs/wine.err)")
fi
cat "$logs/wine.err" >&2
grep '^figure' "$logs/wine.out" >>"$figures"

size=$(stat -c %s "$windows/Vostrel.exe")
stripped=$size
if x86_64-w64-mingw32-strip -o "$logs/Vostrel-stripped.exe" "$windows/Vostrel.exe" 2>/dev/null; then
    stripped=$(stat -c %s "$logs/Vostrel-stripped.exe")
fi
printf 'figure\tsize\t-\t%s\t1\t-\t0\t%s\n' "$size" "$stripped" >>"$figures"

# ---- the table ----------------------------------------------------------------------------------------
# Rows in a fixed order; a row whose figure is missing is shown as such and fails.
table=$(awk -F'\t' -v ratio_goal=$RATIO_GOAL -v cpu_goal=$CPU_GOAL -v size_goal=$SIZE_GOAL '
    BEGIN {
        n = split("exchange/native exchange/Wine silent-probe/native silent-probe/Wine pass/native pass/Wine " \
                  "close/native close/Wine open/native open/Wine start-window/Wine start-ready/Wine cpu/Wine size/- rss/Wine", order, " ")
        name["exchange"] = "answered exchange (\"AT\", card answers at once)"
        name["silent-probe"] = "silent-card probe (1000 ms, 2 attempts)"
        name["pass"] = "connected monitor pass (first probe to first probe)"
        name["close"] = "close autorun && enter download: click to box"
        name["open"] = "open autorun && exit download: click to box"
        name["start-window"] = "start to window shown"
        name["start-ready"] = "start to Ready! (ideal: window shown + first pass)"
        name["cpu"] = "CPU while monitoring a connected card"
        name["size"] = "Vostrel.exe size"
        name["rss"] = "resident memory (VmRSS of the Linux process running Vostrel.exe under Wine)"
    }
    $1 == "figure" { key = $2 "/" $3; measured[key] = $4; runs[key] = $5; ideal[key] = $6; bad[key] = $7; extra[key] = $8 }
    function mb(bytes) { return sprintf("%.2f MB", bytes / 1000000) }
    END {
        print "| figure | where | measured (median) | N | ideal | ratio | goal | met |"
        print "|---|---|---|---|---|---|---|---|"
        for (i = 1; i <= n; i++) {
            key = order[i]; split(key, part, "/"); what = part[1]; where = part[2] == "-" ? "file" : part[2]
            if (!(key in measured)) {
                printf "| %s | %s | missing | 0 | | | | no |\n", name[what], where
                failed[++nf] = name[what] " (" where "): not measured"
                continue
            }
            m = measured[key]; N = runs[key]
            if (what == "cpu") {
                ok = m < cpu_goal && bad[key] == 0
                server = extra[key] != "" ? sprintf(" (wineserver: %.3f %%)", extra[key]) : ""
                printf "| %s | %s | %.3f %% of one core%s | %s (%d s) | | | < %s %% | %s |\n", name[what], where, m, server, N, ENVIRON["BENCH_CPU_S"], cpu_goal, ok ? "yes" : "no"
                if (!ok) failed[++nf] = sprintf("CPU %.3f %% of one core, goal < %s %%", m, cpu_goal)
            } else if (what == "size") {
                ok = m < size_goal
                shown = mb(m) (extra[key] != m ? sprintf(" (stripped %s)", mb(extra[key])) : "")
                printf "| %s | %s | %s | | | | < 2 MB | %s |\n", name[what], where, shown, ok ? "yes" : "no"
                if (!ok) failed[++nf] = sprintf("Vostrel.exe is %s, goal < 2 MB", mb(m))
            } else if (what == "rss") {
                printf "| %s | %s | %.1f MiB | %s | | | | |\n", name[what], where, m / 1024, N
            } else if (ideal[key] == "-") {
                printf "| %s | %s | %.0f ms | %s | | | | |\n", name[what], where, m, N
            } else {
                r = m / ideal[key]
                ok = r <= ratio_goal && bad[key] == 0 && N > 0
                note = bad[key] > 0 ? sprintf(" (%d run(s) unexpected)", bad[key]) : ""
                printf "| %s | %s | %.1f ms | %s | %.0f ms | %.3f | <= %s | %s%s |\n", name[what], where, m, N, ideal[key], r, ratio_goal, ok ? "yes" : "no", note
                if (!ok) failed[++nf] = sprintf("%s (%s): %.1f ms against %.0f ms, ratio %.3f%s", name[what], where, m, ideal[key], r, note)
            }
        }
        for (i = 1; i <= nf; i++) print "MISSED\t" failed[i]
    }' "$figures")

printf '%s\n' "$table" | grep -v '^MISSED'
while IFS=$'\t' read -r _ why; do problems+=("goal missed: $why"); done < <(printf '%s\n' "$table" | grep '^MISSED')

echo
echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(uname -srm), $(nproc) cores, $(wine --version 2>/dev/null);" \
    "BENCH_RUNS=$BENCH_RUNS, BENCH_CPU_S=$BENCH_CPU_S."
if [ ${#problems[@]} -gt 0 ]; then
    printf '%s\n' "${problems[@]}" | sed 's/^/FAILED: /' >&2
    exit 1
fi
