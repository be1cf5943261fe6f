#!/usr/bin/env bash
# A card that the drivers' entries point at: the window shows it ready within seconds, follows it
# when it falls silent and when it answers again, repaints on WM_STATUS_REFRESH, and takes the AT port
# when only the AT driver lists the card.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_setup

readonly READY_MS=8000      # discovery, 1900 ms of fixed waits and two probes, with room for Wine
readonly STARTUP_MS=30000
readonly SILENT_PASS_MS=30000   # the pass under way ends, then one whose four probes go unanswered
readonly PASS_MS=15000
readonly BOX_MS=15000
READY=("picture=IDB_READY" "enabled:IDC_ENTER_DOWNLOAD=1" "enabled:IDC_EXIT_DOWNLOAD=1")

e2e_start_card MODEM 5 || e2e_finish
e2e_start_card DIAG 6 || e2e_finish
e2e_register_card YARLOusbmdm6k 5 YARLOusbser6k 6

# ---- found and answering: ready within seconds of start --------------------------------------------
started=$(e2e_now_ms)
e2e_start_program
if e2e_drive wait-state "${READY[@]}" "index:IDC_PORT_LIST=5" "text:IDC_PORT_LIST=COM 5" \
        "text:IDC_PORT_LABEL=Modem port:" "text:IDC_STATUS_LINE=Setting using Modem port." "$STARTUP_MS"; then
    took=$(( $(e2e_now_ms) - started ))
    e2e_log "ready ${took} ms after start"
    [ "$took" -le "$READY_MS" ] || e2e_fail "ready after $took ms, wanted at most $READY_MS"
else
    e2e_fail "the card on COM5 was not shown as ready"
    e2e_finish
fi
[ "$(e2e_sent MODEM AT)" -ge 2 ] || e2e_fail "the card was not probed with AT twice before ready"
[ -s "$E2E_WORK/DIAG.transcript" ] && e2e_fail "something was sent to the diagnostic port"

# ---- the card falls silent, then answers again -------------------------------------------------------
e2e_card MODEM "fault silent"
e2e_drive wait-state "picture=IDB_SEARCHING" "text:IDC_STATUS_LINE=Searching..." "text:IDC_PORT_LABEL=Modem port:" \
    "index:IDC_PORT_LIST=5" "enabled:IDC_ENTER_DOWNLOAD=0" "enabled:IDC_EXIT_DOWNLOAD=0" "$SILENT_PASS_MS" ||
    e2e_fail "a silent card still shown as ready"
e2e_card MODEM "fault none"
e2e_drive wait-state "${READY[@]}" "text:IDC_STATUS_LINE=Setting using Modem port." "$PASS_MS" ||
    e2e_fail "the card answering again was not shown as ready"

# ---- WM_STATUS_REFRESH from outside re-applies the connected picture ----------------------------------
# While the open command's box is up the picture shows PASS ! and the monitor is suspended, so only
# the refresh handler can bring Ready! back.
e2e_card MODEM "model R2281-Y"
if e2e_drive click-wait-box IDC_EXIT_DOWNLOAD Success "$BOX_MS"; then
    e2e_drive wait-state "picture=IDB_PASS" "$PASS_MS" || e2e_fail "no PASS ! picture under the Success box"
    e2e_drive post WM_STATUS_REFRESH || e2e_fail "post WM_STATUS_REFRESH"
    e2e_drive wait-state "picture=IDB_READY" "index:IDC_PORT_LIST=5" "enabled:IDC_ENTER_DOWNLOAD=0" \
        "enabled:IDC_EXIT_DOWNLOAD=0" "$PASS_MS" ||
        e2e_fail "WM_STATUS_REFRESH did not re-apply Ready! (buttons must stay as the command left them)"
    e2e_drive dismiss-box Success || e2e_fail "dismiss the Success box"
else
    e2e_fail "the open command showed no Success box"
fi
e2e_drive wait-state "${READY[@]}" "$PASS_MS" || e2e_fail "not ready again after the open command"

# ---- only the AT driver lists the card -----------------------------------------------------------------
e2e_unregister_cards
e2e_register_card YARLOusbnmea 5
e2e_drive wait-state "${READY[@]}" "text:IDC_PORT_LIST=COM 5" "text:IDC_PORT_LABEL=AT port:" \
    "text:IDC_STATUS_LINE=Setting using AT port." "$PASS_MS" || e2e_fail "the AT driver's port was not taken"
e2e_screenshot found-at-port || e2e_fail "screenshot"

e2e_drive close || e2e_fail "close"
e2e_wait_exit "$E2E_PID" 15000 || e2e_fail "still running after close"
e2e_finish
