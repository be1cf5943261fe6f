#!/usr/bin/env bash
# The main window on its own, with no card: its state right after start, its fonts, the port list, the
# single-instance guard, minimise and restore, and that closing the window ends the process.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_setup

readonly STARTUP_MS=30000   # the first Wine process of a run starts the prefix's services
readonly STATE_MS=5000
readonly EXIT_MS=15000
readonly GUARD_TEXT="UI is running, Please close it and re-run this program!"

# ---- start: the window and its state before the monitor's first show step ----------------------
e2e_start_program
first=$E2E_PID
e2e_drive wait-window Kavender "$STARTUP_MS" || { e2e_fail "no window titled Kavender"; e2e_finish; }

# The monitor shows nothing until a pass has found a card, and there is none: this is the state
# the dialog's initialisation wrote.
e2e_drive wait-state "index:IDC_PORT_LIST=0" "text:IDC_PORT_LIST=NULL" "enabled:IDC_PORT_LIST=0" \
    "text:IDC_PORT_LABEL=Modem port:" "text:IDC_STATUS_LINE=Searching..." "picture=IDB_SEARCHING" \
    "enabled:IDC_ENTER_DOWNLOAD=0" "enabled:IDC_EXIT_DOWNLOAD=0" \
    "text:IDC_ENTER_DOWNLOAD=Close autorun && Enter download" "text:IDC_EXIT_DOWNLOAD=Open autorun && Exit download" \
    "font:IDC_STATUS_LINE=Arial" "weight:IDC_STATUS_LINE=700" "$STATE_MS" ||
    e2e_fail "initial state"
e2e_screenshot initial || e2e_fail "screenshot of the initial window"
# Drawn in its own fonts, not in fallbacks: Tahoma (the template's), bold Tahoma (the caption) and
# Marlett (the caption buttons) are the prefix's, and the dialog has its template's size in Tahoma.
e2e_drive check-fonts || e2e_fail "the window is not drawn in its fonts (the prefix's fonts: scripts/wine-prefix.sh)"

# ---- the port list: index is the Port number; one space below 100, none from 100 -----------------
while read -r index entry; do
    e2e_drive list-entry "$index" || { e2e_fail "list entry $index"; continue; }
    e2e_expect entry "$entry" "list entry $index"
    e2e_expect count 257 "list size"
done <<'EOF'
0 NULL
1 COM 1
5 COM 5
99 COM 99
100 COM100
256 COM256
EOF
e2e_drive list-entry 257 && e2e_fail "list entry 257 exists"

# A refresh request with no card connected shows the searching picture and the list at NULL again.
e2e_drive post WM_STATUS_REFRESH || e2e_fail "post WM_STATUS_REFRESH"
e2e_drive wait-state "picture=IDB_SEARCHING" "index:IDC_PORT_LIST=0" "enabled:IDC_ENTER_DOWNLOAD=0" "$STATE_MS" || \
    e2e_fail "state after WM_STATUS_REFRESH"

# ---- single instance: a second start shows one box and ends with 0; the first keeps running ------
e2e_start_program
second=$E2E_PID
if e2e_drive wait-box Error "$STARTUP_MS"; then
    e2e_expect text "$GUARD_TEXT" "second instance's message"
    e2e_expect owned 1 "second instance's box owned by its dialog"
    e2e_drive count-windows Error && e2e_expect count 1 "boxes titled Error"
    e2e_drive count-windows Kavender && e2e_expect count 1 "windows titled Kavender while the box is up"
    e2e_drive dismiss-box Error || e2e_fail "dismiss the Error box"
else
    e2e_fail "the second start showed no Error box"
fi
if e2e_wait_exit "$second" "$EXIT_MS"; then
    [ "$E2E_STATUS" = 0 ] || e2e_fail "second instance exited with $E2E_STATUS, wanted 0"
else
    e2e_fail "second instance still running after its box was dismissed"
fi
e2e_running "$first" || e2e_fail "first instance ended when the second started"
e2e_drive wait-state "picture=IDB_SEARCHING" "text:IDC_STATUS_LINE=Searching..." "enabled:IDC_ENTER_DOWNLOAD=0" \
    "$STATE_MS" ||
    e2e_fail "first instance's window changed by the second start"

# ---- minimise and restore ---------------------------------------------------------------------
e2e_drive minimize || e2e_fail "minimise"
e2e_drive is-minimized || e2e_fail "not minimised after minimise"
e2e_drive restore || e2e_fail "restore"
e2e_drive is-minimized && e2e_fail "still minimised after restore"
e2e_drive wait-state "minimized=0" "picture=IDB_SEARCHING" "font:IDC_STATUS_LINE=Arial" "$STATE_MS" ||
    e2e_fail "window after restore"

# ---- closing the window ends the process; afterwards a new start succeeds -----------------------
e2e_drive close || e2e_fail "close"
if e2e_wait_exit "$first" "$EXIT_MS"; then
    [ "$E2E_STATUS" = 0 ] || e2e_fail "first instance exited with $E2E_STATUS, wanted 0"
else
    e2e_fail "first instance still running after its window closed"
fi

e2e_start_program
third=$E2E_PID
e2e_drive wait-window Kavender "$STARTUP_MS" || e2e_fail "no window after the first instance ended"
e2e_drive count-windows Error && e2e_expect count 0 "boxes titled Error after a clean restart"
e2e_drive wait-state "picture=IDB_SEARCHING" "text:IDC_PORT_LABEL=Modem port:" "$STATE_MS" ||
    e2e_fail "restarted window's state"
e2e_drive close || e2e_fail "close the restarted window"
e2e_wait_exit "$third" "$EXIT_MS" || e2e_fail "restarted instance still running after close"

e2e_finish
