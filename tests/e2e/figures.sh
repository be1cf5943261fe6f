#!/usr/bin/env bash
# Prints the program's timing and load figures under Wine on a simulated card (not a pass/fail test):
#   start to Ready!            against discovery + 1900 ms of fixed waits + two probes
#   CPU share while monitoring  of one core, over FIGURES_CPU_S seconds (default 60)
#   click to box per command    against the command's fixed waits + its exchanges
# usage: tests/e2e/figures.sh   (same environment as the scenarios; FIGURES_RUNS=3 repetitions)
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_setup

readonly RUNS=${FIGURES_RUNS:-3}
readonly CPU_S=${FIGURES_CPU_S:-60}
READY=("picture=130" "enabled1012=1" "enabled1017=1")

e2e_start_card MODEM 5 || e2e_finish
e2e_start_card DIAG 6 || e2e_finish
e2e_register_card YARLOusbmdm6k 5 YARLOusbser6k 6

# ---- start to Ready! --------------------------------------------------------------------------------
for run in $(seq "$RUNS"); do
    t0=$(e2e_now_ms)
    e2e_start_program
    e2e_drive wait-window Kavender 30000 || { e2e_fail "no window"; e2e_finish; }
    window_ms=$(( $(e2e_now_ms) - t0 ))
    e2e_drive wait-state "${READY[@]}" 30000 || { e2e_fail "not ready"; e2e_finish; }
    ready_ms=$(( $(e2e_now_ms) - t0 ))
    echo "start to Ready! run $run: ${ready_ms} ms from launch (window after ${window_ms} ms," \
        "Ready! $((ready_ms - window_ms)) ms after the window)"
    [ "$run" -lt "$RUNS" ] && { e2e_drive close; e2e_wait_exit "$E2E_PID" 15000; }
done

# ---- CPU while monitoring a connected card -------------------------------------------------------------
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
grep -qi 'vostrel' "/proc/$E2E_PID/cmdline" || e2e_log "warning: pid $E2E_PID does not look like Vostrel.exe"
hz=$(getconf CLK_TCK)
c0=$(cpu_ticks "$E2E_PID")
p0=$(e2e_sent MODEM AT)
t0=$(e2e_now_ms)
e2e_poll $((CPU_S * 1000)) false
c1=$(cpu_ticks "$E2E_PID")
t1=$(e2e_now_ms)
probes=$(( $(e2e_sent MODEM AT) - p0 ))
awk -v c=$((c1 - c0)) -v hz="$hz" -v ms=$((t1 - t0)) -v p="$probes" 'BEGIN {
    printf "CPU while monitoring: %.2f s of CPU in %.1f s = %.3f%% of one core (%d probes)\n",
        c / hz, ms / 1000, 100 * c / hz / (ms / 1000), p }'

# ---- click to box ----------------------------------------------------------------------------------------
# One exchange with an answering card, from the card's own clock: the gap between two commands that
# follow each other with no wait ("AT+YCDRUN=9", "AT+CGMM", "AT+YCDRUN=N").
exchange_ms() {
    awk '{ t[NR] = $1; c[NR] = $2 } END {
        for (i = 2; i <= NR; i++)
            if ((c[i-1] == "AT+YCDRUN=9" && c[i] == "AT+CGMM") || (c[i-1] == "AT+CGMM" && c[i] == "AT+YCDRUN=N")) { s += t[i] - t[i-1]; n++ }
        if (n) printf "%d", s / n }' "$E2E_WORK/MODEM.transcript"
}
close_ms=()
open_ms=()
for run in $(seq "$RUNS"); do
    e2e_drive click-wait-box 1012 Success 30000 || { e2e_fail "close command"; break; }
    close_ms+=("$(e2e_value elapsed_ms)")
    e2e_drive dismiss-box Success
    e2e_drive wait-state "${READY[@]}" 30000 || { e2e_fail "not ready"; break; }
    e2e_drive click-wait-box 1017 Success 30000 || { e2e_fail "open command"; break; }
    open_ms+=("$(e2e_value elapsed_ms)")
    e2e_drive dismiss-box Success
    e2e_drive wait-state "${READY[@]}" 30000 || { e2e_fail "not ready"; break; }
done
exch=$(exchange_ms)
echo "one exchange (card answering at once): ${exch:-?} ms"
# The default card model takes the extra switch: F, 9, AT+CGMM and AT+YCDRUN=N.
report() {   # name fixed-ms exchanges measured...
    local name=$1 fixed=$2 n=$3
    shift 3
    local expected=$((fixed + n * ${exch:-0})) m
    for m in "$@"; do
        awk -v m="$m" -v e="$expected" -v name="$name" -v f="$fixed" -v n="$n" 'BEGIN {
            printf "%s: click to box %d ms, fixed waits %d ms + %d exchanges = %d ms, ratio %.3f\n", name, m, f, n, e, m / e }'
    done
}
report "close autorun && enter download" 5000 2 "${close_ms[@]}"
report "open autorun && exit download" 2000 4 "${open_ms[@]}"

e2e_drive close
e2e_wait_exit "$E2E_PID" 15000
e2e_finish
