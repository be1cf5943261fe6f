#!/usr/bin/env bash
# Soak run of Vostrel.exe under Wine: a simulated card (modem port COM5, diagnostic port COM6) is
# pulled out and plugged in again every SOAK_TOGGLE_S seconds while its driver entries stay
# registered, and during plugged periods the two mode commands are clicked in turn. A watcher samples
# the window about once a second; at the end every period is judged, the card's probes are counted,
# and the process's handles, threads and memory at the end are compared with the first minute's.
#
# Not part of the default test run. tests/soak/soak.sh builds what it needs into build/native and
# build/windows; to run it on other build trees set E2E_BUILD_DIR to an absolute path and
# VOSTREL_CARDSIM, and it builds nothing. Environment: SOAK_MINUTES
# (default 10), SOAK_TOGGLE_S (7), SOAK_SAMPLE_MS (1000), SOAK_COMMAND_EVERY (2: a command in every
# second plugged period, the others stay quiet so that they are judged by their samples), and those
# of tests/e2e/lib.sh. Records go to $E2E_ARTIFACTS/soak, the summary table to stdout; the judgement
# itself is tested by tests/soak/test_soak_report.py. Exit status 0 only when every check passed.
# With the default build trees, build what the soak runs first (the log is shown when that fails).
if [ -z "${E2E_BUILD_DIR:-}" ]; then
    soak_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
    "$soak_root/scripts/install-deps.sh" >/dev/null || { echo "soak: could not install the dependencies" >&2; exit 1; }
    soak_log=$(mktemp)
    if ! (cd "$soak_root" && cmake --preset native && cmake --build build/native --target cardsim &&
            cmake --preset windows -DVOSTREL_CARDSIM="$soak_root/build/native/cardsim" &&
            cmake --build build/windows --target Vostrel uidriver) >"$soak_log" 2>&1; then
        tail -n 40 "$soak_log"
        echo "soak: the build failed" >&2
        exit 1
    fi
    rm -f "$soak_log"
fi
source "$(dirname "${BASH_SOURCE[0]}")/../e2e/lib.sh"

SOAK_MINUTES=${SOAK_MINUTES:-10}
SOAK_TOGGLE_S=${SOAK_TOGGLE_S:-7}
SOAK_SAMPLE_MS=${SOAK_SAMPLE_MS:-1000}
SOAK_COMMAND_EVERY=${SOAK_COMMAND_EVERY:-2}   # a command in every Nth plugged period; the others stay quiet
readonly RUN_MS=$((SOAK_MINUTES * 60000))
readonly TOGGLE_MS=$((SOAK_TOGGLE_S * 1000))
readonly FIRST_STATS_MS=60000
readonly STARTUP_MS=30000
readonly BOX_MS=30000       # the close command's fixed waits with every try of a dead port reopened
readonly CHANGE_MS=2000     # cardsim carries out a control line
# A monitor pass is at most 200 + 200 + 3 x 500 + 1000 + 1000 ms of fixed waits, plus its exchanges:
# a probe either gets the card's quick answer or fails at once on a port that cannot be opened. A
# change shows in the first pass that starts after it, so within one such pass of the change.
readonly PASS_MS=$((3900 + 1000))
readonly RESUME_MS=1000     # a command resumes the monitor this long after its box is closed
readonly READY=("picture=IDB_READY" "enabled:IDC_ENTER_DOWNLOAD=1" "enabled:IDC_EXIT_DOWNLOAD=1" \
    "text:IDC_PORT_LIST=COM 5")

if [ "$TOGGLE_MS" -le $((PASS_MS + 2 * SOAK_SAMPLE_MS)) ]; then
    echo "soak: SOAK_TOGGLE_S=$SOAK_TOGGLE_S leaves no time to judge a period after one pass ($PASS_MS ms)" >&2
    exit 2
fi

e2e_setup
# The prefix's wineserver goes too (the harness starts it persistent): run the soak alone on its tree.
trap 'e2e_cleanup; rm -rf "$E2E_WORK"; wineserver -k 2>/dev/null' EXIT
SOAK_DIR=$E2E_ARTIFACTS/soak
rm -rf "$SOAK_DIR"
mkdir -p "$SOAK_DIR"
PERIODS=$SOAK_DIR/periods.txt     # index state start_ms transcript_lines
SAMPLES=$SOAK_DIR/samples.txt     # the watcher's output
COMMANDS=$SOAK_DIR/commands.txt   # kind click_ms box_ms dismiss_ms title card_state lines_at_click lines_at_box | text
STATS=$SOAK_DIR/stats.txt         # when figure value source
STOP=$SOAK_DIR/stop

soak_transcript_lines() { wc -l <"$E2E_WORK/MODEM.transcript" 2>/dev/null || echo 0; }
soak_link() { echo "$WINEPREFIX/dosdevices/com$1"; }

# The card's ports go away together, as the USB device does, and come back under the same numbers.
soak_unplug() {
    e2e_card MODEM unplug
    e2e_card DIAG unplug
    e2e_poll "$CHANGE_MS" eval '[ ! -e "$(soak_link 5)" ] && [ ! -e "$(soak_link 6)" ]'
}

soak_replug() {
    e2e_card MODEM replug
    e2e_card DIAG replug
    e2e_poll "$CHANGE_MS" eval '[ -e "$(soak_link 5)" ] && [ -e "$(soak_link 6)" ]'
}

# Background: toggles the card on the schedule and records when each period began.
soak_toggler() {
    local i=1 at state
    while [ ! -e "$STOP" ]; do
        at=$((SOAK_T0 + i * TOGGLE_MS))
        e2e_poll $((TOGGLE_MS * 2)) eval '[ "$(e2e_now_ms)" -ge '"$at"' ] || [ -e "$STOP" ]'
        [ -e "$STOP" ] && break
        if [ $((i % 2)) = 1 ]; then
            state=unplugged
            soak_unplug || e2e_log "card not unplugged in time"
        else
            state=plugged
            soak_replug || e2e_log "card not plugged in again in time"
        fi
        echo "$i $state $(e2e_now_ms) $(soak_transcript_lines)" >>"$PERIODS"
        i=$((i + 1))
    done
}

# The period now running: "index state start_ms".
soak_period() { tail -n 1 "$PERIODS" | cut -d' ' -f1-3; }

# Linux's view of the program's process: threads, resident memory, open descriptors.
soak_linux_figures() {
    local pid=$1
    awk '/^Threads:/ { t = $2 } /^VmRSS:/ { r = $2 * 1024 } END { print t + 0, r + 0 }' "/proc/$pid/status" 2>/dev/null
    ls "/proc/$pid/fd" 2>/dev/null | wc -l
}

# The median of numbers on one line; "unsupported" when any reading was.
soak_median() {
    tr ' ' '\n' | sort -n | awk '!/^[0-9]+$/ { bad = 1 } { v[NR] = $1 } END { print bad ? "unsupported" : v[int((NR + 1) / 2)] }'
}

# Records the process's figures as WHEN (first, end). Taken only while the window shows Ready! and
# no command runs; each figure is the median of three readings, since the monitor closes and reopens
# the ports twice a pass and a single reading may fall between.
soak_stats() {
    local when=$1 src_h src_t src_w src_p k line
    local handles=() threads=() working=() private=() fds=() lthreads=() rss=()
    for k in 1 2 3; do
        if ! e2e_drive process-stats; then
            e2e_fail "process-stats at $when"
            return 1
        fi
        handles+=("$(e2e_value handles)") threads+=("$(e2e_value threads)")
        working+=("$(e2e_value working_set)") private+=("$(e2e_value private_bytes)")
        line=$(soak_linux_figures "$SOAK_PID" | tr '\n' ' ')
        read -r t r f <<<"$line"
        lthreads+=("$t") rss+=("$r") fds+=("$f")
    done
    handles=$(echo "${handles[*]}" | soak_median) threads=$(echo "${threads[*]}" | soak_median)
    working=$(echo "${working[*]}" | soak_median) private=$(echo "${private[*]}" | soak_median)
    src_h="Windows, $(e2e_value handles_source)" src_t="Windows, Toolhelp32"
    src_w="Windows, GetProcessMemoryInfo WorkingSetSize" src_p="Windows, GetProcessMemoryInfo $(e2e_value private_bytes_source)"
    # Where Wine gives no figure, Linux's view of the same process stands in.
    if [ "$handles" = unsupported ]; then
        handles=$(echo "${fds[*]}" | soak_median) src_h="Linux, /proc/PID/fd (no Windows handle count)"
    fi
    [ "$threads" = unsupported ] && threads=$(echo "${lthreads[*]}" | soak_median) src_t="Linux, /proc Threads"
    [ "$working" = unsupported ] && working=$(echo "${rss[*]}" | soak_median) src_w="Linux, /proc VmRSS"
    [ "$private" = unsupported ] && src_p="not reported by Wine"
    {
        echo "$when handles $handles $src_h"
        echo "$when threads $threads $src_t"
        echo "$when working_set $working $src_w"
        echo "$when private_bytes $private $src_p"
        echo "$when vmrss $(echo "${rss[*]}" | soak_median) Linux, /proc VmRSS"
        echo "$when fds $(echo "${fds[*]}" | soak_median) Linux, /proc/PID/fd"
    } >>"$STATS"
    e2e_log "figures at $when: handles=$handles threads=$threads working_set=$working private=$private"
}

soak_card_after() { [ "$1" = close ] && echo "autorun=0,download=1" || echo "autorun=1,download=0"; }

# Clicks one command, waits for its box and dismisses it. A hang (no box) ends the soak.
soak_command() {
    local kind=$1 id title text click box dismissed state lines_click lines_box
    [ "$kind" = close ] && id=IDC_ENTER_DOWNLOAD || id=IDC_EXIT_DOWNLOAD
    click=$(e2e_now_ms) lines_click=$(soak_transcript_lines)
    if ! e2e_drive click "$id"; then
        e2e_log "$kind: button disabled before the click (card pulled meanwhile)"
        return 0
    fi
    if ! e2e_drive wait-any-box "$BOX_MS" Success Error; then
        e2e_fail "$kind command clicked at $click: no box within $BOX_MS ms"
        echo "$kind $click 0 0 none - $lines_click $(soak_transcript_lines) | " >>"$COMMANDS"
        return 1
    fi
    box=$(e2e_now_ms) lines_box=$(soak_transcript_lines) title=$(e2e_value title) text=$(e2e_value text)
    # The card records its state just after it has answered, so give it a moment to agree.
    if [ "$title" = Success ]; then
        e2e_poll "$CHANGE_MS" eval '[ "$(e2e_card_state MODEM | tr " " ",")" = "'"$(soak_card_after "$kind")"'" ]'
    fi
    state=$(e2e_card_state MODEM | tr ' ' ',')
    e2e_drive dismiss-box "$title" || e2e_fail "$kind command: $title box not dismissed"
    dismissed=$(e2e_now_ms)
    echo "$kind $click $box $dismissed $title ${state:--} $lines_click $lines_box | $text" >>"$COMMANDS"
    e2e_log "$kind: $title \"$text\""
}

# ---- start: the card plugged in and answering -----------------------------------------------------------
e2e_start_card MODEM 5 || e2e_finish
e2e_start_card DIAG 6 || e2e_finish
e2e_register_card YARLOusbmdm6k 5 YARLOusbser6k 6
e2e_start_program
SOAK_PID=$E2E_PID
grep -qsF Vostrel "/proc/$SOAK_PID/cmdline" || e2e_log "pid $SOAK_PID does not run Vostrel.exe: Linux figures will be empty"
e2e_drive wait-state "${READY[@]}" "$STARTUP_MS" || { e2e_fail "card never shown ready"; e2e_finish; }

SOAK_T0=$(e2e_now_ms)
echo "0 plugged $SOAK_T0 $(soak_transcript_lines)" >"$PERIODS"
(exec wine "$E2E_UIDRIVER_EXE" watch-state "$SOAK_SAMPLE_MS" $((RUN_MS + 120000)) >"$SAMPLES" 2>/dev/null) &
E2E_PIDS+=("$!")
soak_toggler &
TOGGLER_PID=$!
E2E_PIDS+=("$TOGGLER_PID")
e2e_log "soak for $SOAK_MINUTES min, card toggled every $SOAK_TOGGLE_S s"

# ---- the run: one command per plugged period, once Ready! shows ----------------------------------------
next=close
done_period=-1
plugged_seen=0
hung=0
while [ "$(e2e_now_ms)" -lt $((SOAK_T0 + RUN_MS)) ] && [ "$hung" = 0 ]; do
    e2e_running "$SOAK_PID" || { e2e_fail "Vostrel.exe ended during the soak"; break; }
    read -r index state start <<<"$(soak_period)"
    if [ "$state" != plugged ] || [ "$index" = "$done_period" ]; then
        e2e_poll $((TOGGLE_MS * 2)) eval '[ "$(soak_period | cut -d" " -f1)" != "'"$index"'" ]'
        continue
    fi
    done_period=$index
    plugged_seen=$((plugged_seen + 1))
    left=$((start + TOGGLE_MS - $(e2e_now_ms)))
    [ "$left" -gt 0 ] && e2e_drive wait-state "${READY[@]}" "$left" >/dev/null 2>&1 || continue
    if [ ! -s "$STATS" ] && [ "$(e2e_now_ms)" -ge $((SOAK_T0 + FIRST_STATS_MS)) ]; then
        soak_stats first
    fi
    [ $(((plugged_seen - 1) % SOAK_COMMAND_EVERY)) = 0 ] || continue
    soak_command "$next" || hung=1
    [ "$next" = close ] && next=open || next=close
done

# ---- the end figures, at a plugged period's Ready! with no command running --------------------------------
if [ "$hung" = 0 ] && e2e_running "$SOAK_PID"; then
    ended=0
    for attempt in 1 2 3; do
        read -r index state start <<<"$(soak_period)"
        if [ "$state" = plugged ] && e2e_drive wait-state "${READY[@]}" $((start + TOGGLE_MS - $(e2e_now_ms))) >/dev/null 2>&1; then
            soak_stats end && ended=1
            break
        fi
        e2e_poll $((TOGGLE_MS * 2)) eval '[ "$(soak_period | cut -d" " -f1)" != "'"$index"'" ]'
    done
    [ "$ended" = 1 ] || e2e_fail "no Ready! period for the end figures"
fi
touch "$STOP"
e2e_wait_exit "$TOGGLER_PID" $((CHANGE_MS * 4)) || e2e_fail "the toggler did not stop"
e2e_running "$SOAK_PID" || e2e_fail "Vostrel.exe is not running at the end"
[ "$(e2e_exe_processes)" = 1 ] || e2e_fail "$(e2e_exe_processes) Vostrel.exe processes at the end, wanted 1"
# The record of the last period ends here.
echo "end stopped $(e2e_now_ms) $(soak_transcript_lines)" >>"$PERIODS"
e2e_drive close || e2e_fail "window did not close"
e2e_wait_exit "$SOAK_PID" 15000 || e2e_fail "still running after its window closed"

# The card's records outlive the work directory, for a look at what it received.
cp "$E2E_WORK"/MODEM.transcript "$E2E_WORK"/MODEM.state "$E2E_WORK"/*.out "$SOAK_DIR"/ 2>/dev/null
python3 "$(dirname "${BASH_SOURCE[0]}")/soak_report.py" --dir "$SOAK_DIR" --toggle-ms "$TOGGLE_MS" \
    --pass-ms "$PASS_MS" --resume-ms "$RESUME_MS" --transcript "$SOAK_DIR/MODEM.transcript" \
    --harness-failures "$E2E_FAILURES" || E2E_FAILURES=$((E2E_FAILURES + 1))
e2e_finish
