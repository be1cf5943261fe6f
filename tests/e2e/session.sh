#!/usr/bin/env bash
# One whole session as a user has it: the tool starts before the card is plugged in, finds it,
# refuses a second copy, runs the close command, follows the card to a new COM number, answers the
# hidden SIM and Reverse Port notifications, and survives the card being pulled mid-command.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_setup

readonly STARTUP_MS=30000
readonly PASS_MS=15000
readonly BOX_MS=30000       # fixed waits of the close command, plus reopens when the card is gone
readonly EXIT_MS=15000
readonly QUIET_MS=8000      # two monitor passes
readonly GUARD_TEXT="UI is running, Please close it and re-run this program!"
READY=("picture=IDB_READY" "enabled:IDC_ENTER_DOWNLOAD=1" "enabled:IDC_EXIT_DOWNLOAD=1")

e2e_start_card MODEM 5 || e2e_finish
e2e_start_card DIAG 6 || e2e_finish

# ---- 1. started before the card's drivers list it: the initial window ----------------------------------
e2e_start_program
first=$E2E_PID
e2e_drive wait-state "index:IDC_PORT_LIST=0" "text:IDC_PORT_LIST=NULL" "text:IDC_PORT_LABEL=Modem port:" \
    "text:IDC_STATUS_LINE=Searching..." "picture=IDB_SEARCHING" "enabled:IDC_ENTER_DOWNLOAD=0" \
    "enabled:IDC_EXIT_DOWNLOAD=0" "$STARTUP_MS" || e2e_fail "initial state"
[ "$(e2e_sent MODEM AT)" = 0 ] || e2e_fail "the card was probed before any driver listed it"

# ---- 2-4. the card is plugged in: entries appear while the program runs -------------------------------
e2e_register_card YARLOusbmdm6k 5 YARLOusbser6k 6
e2e_drive wait-state "${READY[@]}" "text:IDC_PORT_LIST=COM 5" "text:IDC_PORT_LABEL=Modem port:" \
    "text:IDC_STATUS_LINE=Setting using Modem port." "$PASS_MS" ||
    e2e_fail "the card plugged in after start was not found"
e2e_screenshot session-ready || e2e_fail "screenshot"

# ---- a second copy: one Error box, exit 0, the first untouched -------------------------------------------
e2e_start_program
second=$E2E_PID
if e2e_drive wait-box Error "$STARTUP_MS"; then
    e2e_expect text "$GUARD_TEXT" "second copy's message"
    e2e_drive count-windows Error && e2e_expect count 1 "Error boxes"
    [ "$(e2e_exe_processes)" = 2 ] || e2e_fail "$(e2e_exe_processes) copies running while the box is up, wanted 2"
    e2e_drive dismiss-box Error || e2e_fail "dismiss"
else
    e2e_fail "the second copy showed no Error box"
fi
if e2e_wait_exit "$second" "$EXIT_MS"; then
    [ "$E2E_STATUS" = 0 ] || e2e_fail "second copy exited with $E2E_STATUS"
else
    e2e_fail "second copy still running"
fi
e2e_running "$first" || e2e_fail "first copy ended"
e2e_drive wait-state "${READY[@]}" "text:IDC_PORT_LIST=COM 5" "$PASS_MS" ||
    e2e_fail "first copy disturbed by the second"

# ---- 5-6. close autorun and enter download ---------------------------------------------------------------
e2e_drive click IDC_ENTER_DOWNLOAD || e2e_fail "click IDC_ENTER_DOWNLOAD"
e2e_drive wait-state "picture=IDB_RUNNING" "enabled:IDC_ENTER_DOWNLOAD=0" "enabled:IDC_EXIT_DOWNLOAD=0" "$PASS_MS" ||
    e2e_fail "Running... state"
if e2e_drive wait-box Success "$BOX_MS"; then
    e2e_expect text "Close autorun and enter download success!" "close command's box"
    e2e_drive wait-state "picture=IDB_PASS" "enabled:IDC_ENTER_DOWNLOAD=0" "enabled:IDC_EXIT_DOWNLOAD=0" "$PASS_MS" ||
        e2e_fail "PASS ! state"
    e2e_drive dismiss-box Success || e2e_fail "dismiss"
else
    e2e_fail "no Success box"
fi
e2e_drive wait-state "${READY[@]}" "$PASS_MS" || e2e_fail "not ready again after the command"
e2e_expect_sent MODEM "AT+YCDRUN=E" 1 "close command"
e2e_expect_sent MODEM "AT+YCDRUN=8" 1 "close command"

# ---- the card comes back as COM7 ---------------------------------------------------------------------------
e2e_relink MODEM 7
rm -f "$WINEPREFIX/dosdevices/com5"
e2e_register_card YARLOusbmdm6k 7 YARLOusbser6k 6
e2e_drive wait-state "${READY[@]}" "index:IDC_PORT_LIST=7" "text:IDC_PORT_LIST=COM 7" "$PASS_MS" ||
    e2e_fail "list did not follow to COM 7"

# ---- hidden SIM status: its click notification reaches it ------------------------------------------------
e2e_drive notify IDC_SIM_STATUS || e2e_fail "notify IDC_SIM_STATUS"
if e2e_drive wait-box Vostrel "$PASS_MS"; then
    e2e_expect text "detect sim card" "SIM status"
    e2e_expect owned 1 "SIM status box owned by the window"
    e2e_drive dismiss-box Vostrel || e2e_fail "dismiss"
else
    e2e_fail "no SIM status box"
fi
e2e_expect_sent MODEM "AT+ysec?" 1 "SIM status"
e2e_drive wait-state "${READY[@]}" "$PASS_MS" || e2e_fail "monitor not back after the SIM status"

# ---- the card is pulled out during the close command --------------------------------------------------------
e2e_drive click IDC_ENTER_DOWNLOAD || e2e_fail "click IDC_ENTER_DOWNLOAD"
e2e_card MODEM unplug
if e2e_drive wait-box Error "$BOX_MS"; then
    e2e_expect text "Close autorun and enter download fail!" "unplugged card's box"
    e2e_screenshot session-error Error || e2e_fail "screenshot with the Error box"
    e2e_drive dismiss-box Error || e2e_fail "dismiss"
else
    e2e_fail "an unplugged card gave no Error box"
fi
e2e_running "$first" || e2e_fail "the program ended when the card was pulled"
e2e_drive wait-state "picture=IDB_SEARCHING" "enabled:IDC_ENTER_DOWNLOAD=0" "enabled:IDC_EXIT_DOWNLOAD=0" \
    "text:IDC_STATUS_LINE=Searching..." "$STARTUP_MS" ||
    e2e_fail "a pulled card still shown as ready"
e2e_card MODEM replug
e2e_poll 5000 eval '[ "$(grep -c "^cardsim: listening on" "$E2E_WORK/MODEM.out")" -ge 2 ]' || e2e_fail "replug"
e2e_relink MODEM 7
e2e_drive wait-state "${READY[@]}" "text:IDC_PORT_LIST=COM 7" "$STARTUP_MS" ||
    e2e_fail "not ready after the card came back"

# ---- hidden Reverse Port: always fails, and leaves the monitor stopped --------------------------------------
e2e_drive notify IDC_REVERSE_PORT || e2e_fail "notify IDC_REVERSE_PORT"
if e2e_drive wait-box Error "$PASS_MS"; then
    e2e_expect text "Reverse port fail" "Reverse Port"
    e2e_drive dismiss-box Error || e2e_fail "dismiss"
else
    e2e_fail "no Reverse Port box"
fi
probes=$(e2e_sent MODEM AT)
e2e_card MODEM "fault silent"
# A running monitor would probe within one pass and show the silent card as searching.
e2e_poll "$QUIET_MS" eval '[ "$(e2e_sent MODEM AT)" != "$probes" ]' && e2e_fail "monitor still probing after Reverse Port"
e2e_drive wait-state "picture=IDB_READY" "text:IDC_PORT_LIST=COM 7" "1000" ||
    e2e_fail "window changed after Reverse Port"

e2e_drive close || e2e_fail "close"
if e2e_wait_exit "$first" "$EXIT_MS"; then
    [ "$E2E_STATUS" = 0 ] || e2e_fail "exit status $E2E_STATUS"
else
    e2e_fail "still running after close"
fi
[ "$(e2e_exe_processes)" = 0 ] || e2e_fail "Vostrel.exe processes left: $(e2e_exe_processes)"
e2e_finish
