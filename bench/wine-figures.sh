#!/usr/bin/env bash
# The Wine half of the benchmark table: Vostrel.exe under Wine on a private Xvfb display against
# simulated cards (modem COM5, diagnostic COM6), and the exchange benchmark on the Win32 port.
# Prints one tab-separated line per figure for bench/run.sh:
#   figure <key> Wine <measured> <runs> <ideal ms or -> <unexpected runs> [<more>]
# Progress goes to stderr.
#
# Environment: the e2e harness's (tests/e2e/lib.sh: E2E_BUILD_DIR, E2E_DISPLAY, VOSTREL_CARDSIM, ...),
# and BENCH_RUNS (default 3), BENCH_CPU_S (default 60), BENCH_EXCHANGE_EXE (bench_exchange_win.exe).
source "$(dirname "${BASH_SOURCE[0]}")/../tests/e2e/lib.sh"
e2e_setup

readonly RUNS=${BENCH_RUNS:-3}
readonly CPU_S=${BENCH_CPU_S:-60}
readonly EXCHANGE_MS=300        # two 150 ms poll cycles
readonly FIRST_PASS_MS=1900     # 200 + 200 + 500 + 1000 before the first Ready!, then two probes
readonly PASS_WAITS_MS=2900     # a connected pass: 200 + 200 + 500 + 1000 + 1000, and two probes
readonly CLOSE_WAITS_MS=5000    # click to box: 2000 (window) + 2000 (worker) + 1000 between the two
readonly OPEN_WAITS_MS=2000     # click to box: 1000 before each of the two switches
READY=("picture=IDB_READY" "enabled:IDC_ENTER_DOWNLOAD=1" "enabled:IDC_EXIT_DOWNLOAD=1")

figure() {   # KEY MEASURED RUNS IDEAL UNEXPECTED [MORE]
    local key=$1
    shift
    printf 'figure\t%s\tWine' "$key"
    printf '\t%s' "$@"
    printf '\n'
}

# The median of the numbers given.
median() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
        if (NR == 0) { print 0; exit }
        if (NR % 2) printf "%.1f\n", v[(NR + 1) / 2]; else printf "%.1f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# ---- the exchange benchmark on the Win32 port -----------------------------------------------------------
exchange_figures() {
    local exe=${BENCH_EXCHANGE_EXE:-$E2E_BUILD_DIR/bench_exchange_win.exe}
    e2e_log "exchange benchmark ($RUNS answered exchanges, $RUNS silent probes)"
    local out status=0
    out=$(set -o pipefail; "$E2E_SOURCE_DIR/scripts/with-cardsim.sh" --card ECHO "" --card SILENT "--fault silent" -- \
        "$exe" "$RUNS" "$RUNS" | tr -d '\r') || status=$?
    printf '%s\n' "$out" | grep -v '^figure' >&2
    printf '%s\n' "$out" | grep '^figure'
    [ "$status" -eq 0 ] || e2e_fail "exchange benchmark (status $status)"
}

# ---- start to window shown, start to Ready! -------------------------------------------------------------
# A driver that samples the window every 25 ms is running before the program starts, so neither
# figure carries a driver's own start-up under Wine. Times are epoch ms on both sides.
start_run() {   # sets START_WINDOW_MS and START_READY_MS, from launch
    local samples="$E2E_WORK/watch.$1" watcher t0 window ready
    wine "$E2E_UIDRIVER_EXE" watch-state 25 60000 >"$samples" 2>/dev/null &
    watcher=$!
    E2E_PIDS+=("$watcher")
    e2e_poll 30000 grep -q '^sample' "$samples" || { e2e_fail "window watcher did not start"; return 1; }
    t0=$(e2e_now_ms)
    e2e_start_program
    e2e_poll 30000 grep -q $'\tpicture=IDB_READY\tenabled:IDC_ENTER_DOWNLOAD=1\tenabled:IDC_EXIT_DOWNLOAD=1' "$samples"
    kill "$watcher" 2>/dev/null
    wait "$watcher" 2>/dev/null
    window=$(tr -d '\r' <"$samples" | awk -F'\t' '$3 == "main=1" { print $2; exit }')
    ready=$(tr -d '\r' <"$samples" | awk -F'\t' '$4 == "picture=IDB_READY" && $5 == "enabled:IDC_ENTER_DOWNLOAD=1" &&
        $6 == "enabled:IDC_EXIT_DOWNLOAD=1" { print $2; exit }')
    if [ -z "$window" ] || [ -z "$ready" ]; then
        e2e_fail "start run $1: window ${window:-never shown}, Ready! ${ready:-never shown}"
        return 1
    fi
    START_WINDOW_MS=$((window - t0))
    START_READY_MS=$((ready - t0))
}

start_figures() {
    local run windows=() readies=() failed=0
    for run in $(seq "$RUNS"); do
        if start_run "$run"; then
            windows+=("$START_WINDOW_MS")
            readies+=("$START_READY_MS")
            e2e_log "start run $run: window after $START_WINDOW_MS ms, Ready! after $START_READY_MS ms"
        else
            failed=$((failed + 1))
        fi
        # The last copy stays for the figures of a running program.
        if [ "$run" -lt "$RUNS" ]; then
            e2e_drive close
            e2e_wait_exit "$E2E_PID" 15000 || e2e_fail "program did not end"
        fi
    done
    local window_ms
    window_ms=$(median "${windows[@]}")
    figure start-window "$window_ms" "${#windows[@]}" - "$failed"
    figure start-ready "$(median "${readies[@]}")" "${#readies[@]}" \
        "$(awk -v w="$window_ms" -v f=$FIRST_PASS_MS -v e=$EXCHANGE_MS 'BEGIN { printf "%.0f", w + f + 2 * e }')" "$failed"
}

# ---- a running program: CPU, resident memory, monitor passes ----------------------------------------
# The Linux process that runs Vostrel.exe: Wine's loader becomes the program's process.
vostrel_pid() {
    if grep -qi 'vostrel' "/proc/$E2E_PID/cmdline" 2>/dev/null; then
        echo "$E2E_PID"
        return
    fi
    local f
    for f in /proc/[0-9]*/cmdline; do
        if tr '\0' ' ' <"$f" 2>/dev/null | grep -qi 'vostrel\.exe'; then
            f=${f%/cmdline}
            echo "${f#/proc/}"
            return
        fi
    done
}

# Pass periods (ms) from the card's transcript lines FIRST.. : a pass starts with an "AT" that comes
# more than 1800 ms after the one before it (probes of one pass are 800 ms apart, passes 2400 ms).
pass_periods() {
    awk -v first="$1" '{ sub(/\r$/, "") } $2 == "AT" && NF == 2 {
        start = (n == 0 || $1 - last > 1800); last = $1; n++
        if (start && NR >= first) { if (have) print $1 - prev; prev = $1; have = 1 } }' "$E2E_WORK/MODEM.transcript"
}

# User and system time of a whole process (every thread), in clock ticks; 0 for no process.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/${1:-0}/stat" 2>/dev/null || echo 0; }

# The wineserver of this prefix (it serves every Wine process of the prefix).
prefix_wineserver_pid() {
    local p
    for p in $(pgrep wineserver); do
        tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && { echo "$p"; return; }
    done
}

running_figures() {
    local pid server hz c0 c1 s0 s1 t0 t1 first rss periods
    pid=$(vostrel_pid)
    if [ -z "$pid" ]; then
        e2e_fail "no process runs Vostrel.exe"
        return
    fi
    e2e_drive wait-state "${READY[@]}" 30000 || e2e_fail "not ready before the CPU figure"
    server=$(prefix_wineserver_pid)
    e2e_log "monitoring for $CPU_S s: pid $pid ($(tr '\0' ' ' <"/proc/$pid/cmdline")), wineserver pid ${server:-?}"
    hz=$(getconf CLK_TCK)
    first=$(( $(wc -l <"$E2E_WORK/MODEM.transcript") + 1 ))
    c0=$(cpu_ticks "$pid")
    s0=$(cpu_ticks "$server")
    t0=$(e2e_now_ms)
    e2e_poll $((CPU_S * 1000)) false
    c1=$(cpu_ticks "$pid")
    s1=$(cpu_ticks "$server")
    t1=$(e2e_now_ms)
    share() { awk -v c="$1" -v hz="$hz" -v ms=$((t1 - t0)) 'BEGIN { printf "%.3f", 100 * c / hz / (ms / 1000) }'; }
    # The program's own threads; the wineserver's share (its serial and wait requests) beside it.
    figure cpu "$(share $((c1 - c0)))" 1 - 0 "$(share $((s1 - s0)))"
    rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")
    figure rss "${rss:-0}" 1 - 0
    mapfile -t periods < <(pass_periods "$first")
    figure pass "$(median "${periods[@]}")" "${#periods[@]}" $((PASS_WAITS_MS + 2 * EXCHANGE_MS)) \
        $(( ${#periods[@]} > 0 ? 0 : 1 ))
}

# ---- click to box of both commands ------------------------------------------------------------------------
# The ideal of one run: the command's fixed waits and one exchange per command line the card received
# from the click to the box (the monitor is suspended meanwhile).
command_run() {   # BUTTON WAITS_MS; sets COMMAND_MS and COMMAND_IDEAL_MS
    local before after
    e2e_drive wait-state "${READY[@]}" 30000 || { e2e_fail "not ready before button $1"; return 1; }
    before=$(wc -l <"$E2E_WORK/MODEM.transcript")
    e2e_drive click-wait-box "$1" Success 30000 || { e2e_fail "button $1: no success box"; return 1; }
    COMMAND_MS=$(e2e_value elapsed_ms)
    after=$(wc -l <"$E2E_WORK/MODEM.transcript")
    COMMAND_IDEAL_MS=$(($2 + (after - before) * EXCHANGE_MS))
    # Where the time went: the card's own span from the command's first line to its last.
    e2e_log "button $1: click to box $COMMAND_MS ms (ideal $COMMAND_IDEAL_MS ms); the card got $((after - before))" \
        "lines over $(awk -v b="$before" 'NR > b { t[++n] = $1 } END { print t[n] - t[1] }' "$E2E_WORK/MODEM.transcript") ms"
    e2e_drive dismiss-box Success
}

command_figures() {
    local run close=() close_ideal=() open=() open_ideal=() close_failed=0 open_failed=0
    for run in $(seq "$RUNS"); do
        if command_run IDC_ENTER_DOWNLOAD $CLOSE_WAITS_MS; then
            close+=("$COMMAND_MS"); close_ideal+=("$COMMAND_IDEAL_MS")
        else
            close_failed=$((close_failed + 1))
        fi
        if command_run IDC_EXIT_DOWNLOAD $OPEN_WAITS_MS; then
            open+=("$COMMAND_MS"); open_ideal+=("$COMMAND_IDEAL_MS")
        else
            open_failed=$((open_failed + 1))
        fi
        e2e_log "command run $run: close ${close[-1]:-?} ms, open ${open[-1]:-?} ms"
    done
    figure close "$(median "${close[@]}")" "${#close[@]}" "$(median "${close_ideal[@]}")" "$close_failed"
    figure open "$(median "${open[@]}")" "${#open[@]}" "$(median "${open_ideal[@]}")" "$open_failed"
}

exchange_figures
e2e_start_card MODEM 5 || e2e_finish
e2e_start_card DIAG 6 || e2e_finish
e2e_register_card YARLOusbmdm6k 5 YARLOusbser6k 6
start_figures
running_figures
command_figures
e2e_drive close
e2e_wait_exit "$E2E_PID" 15000
e2e_finish >&2
