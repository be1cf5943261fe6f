#!/usr/bin/env bash
# The two mode commands end to end on a simulated card: what the card receives, the state it is
# left in, the boxes, a card that falls silent under the close command, one that rejects it after an
# unsolicited line, the recorded transcripts played back, and closing the window while the close
# command's worker still runs.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_setup

readonly STARTUP_MS=30000
readonly PASS_MS=15000
readonly BOX_MS=20000      # the close command's fixed waits alone are 5 s; a silent card adds its waits
readonly EXIT_MS=15000
READY=("picture=IDB_READY" "enabled:IDC_ENTER_DOWNLOAD=1" "enabled:IDC_EXIT_DOWNLOAD=1")

e2e_start_card MODEM 5 || e2e_finish
e2e_start_card DIAG 6 || e2e_finish
e2e_register_card YARLOusbmdm6k 5 YARLOusbser6k 6
e2e_start_program
e2e_drive wait-state "${READY[@]}" "text:IDC_PORT_LIST=COM 5" "$STARTUP_MS" ||
    { e2e_fail "card not ready"; e2e_finish; }

# ---- close autorun and enter download ----------------------------------------------------------------
if e2e_drive click-wait-box IDC_ENTER_DOWNLOAD Success "$BOX_MS"; then
    e2e_expect text "Close autorun and enter download success!" "close command's box"
    e2e_expect owned 0 "close command's box has no owner"
    e2e_expect layout ltr "close command's box in the user's language"
    e2e_expect button OK "close command's box in the user's language"
    e2e_drive wait-state "picture=IDB_PASS" "enabled:IDC_ENTER_DOWNLOAD=0" "enabled:IDC_EXIT_DOWNLOAD=0" "$PASS_MS" ||
        e2e_fail "PASS ! picture and disabled buttons under the box"
    e2e_drive dismiss-box Success || e2e_fail "dismiss"
else
    e2e_fail "the close command showed no Success box"
fi
e2e_expect_sent MODEM "AT+YCDRUN=E" 1 "close command"
e2e_expect_sent MODEM "AT+YCDRUN=8" 1 "close command"
[ "$(e2e_card_state MODEM)" = "autorun=0 download=1" ] ||
    e2e_fail "card state after close: '$(e2e_card_state MODEM)', wanted 'autorun=0 download=1'"
e2e_drive wait-state "${READY[@]}" "$PASS_MS" || e2e_fail "not ready again after the close command"

# ---- open autorun and exit download on a model that needs the extra switch ----------------------------
e2e_card MODEM "model R2281-Y"
if e2e_drive click-wait-box IDC_EXIT_DOWNLOAD Success "$BOX_MS"; then
    e2e_expect text "Open autorun and exit download success!" "open command's box"
    e2e_drive dismiss-box Success || e2e_fail "dismiss"
else
    e2e_fail "the open command showed no Success box"
fi
e2e_expect_sent MODEM "AT+YCDRUN=F" 1 "open command"
e2e_expect_sent MODEM "AT+YCDRUN=9" 1 "open command"
e2e_expect_sent MODEM "AT+CGMM" 1 "open command"
e2e_expect_sent MODEM "AT+YCDRUN=N" 1 "open command"
# In this order, with nothing of the monitor's in between.
order=$(e2e_transcript MODEM | grep -E '^AT\+(YCDRUN|CGMM)' | tail -n 4 | tr '\n' ' ')
[ "$order" = "AT+YCDRUN=F AT+YCDRUN=9 AT+CGMM AT+YCDRUN=N " ] || e2e_fail "open command's order: $order"
[ "$(e2e_card_state MODEM)" = "autorun=1 download=0" ] ||
    e2e_fail "card state after open: '$(e2e_card_state MODEM)', wanted 'autorun=1 download=0'"
e2e_drive wait-state "${READY[@]}" "$PASS_MS" || e2e_fail "not ready again after the open command"

# ---- the card falls silent while the close command waits to send ------------------------------------
e2e_drive click IDC_ENTER_DOWNLOAD || e2e_fail "click IDC_ENTER_DOWNLOAD"
e2e_card MODEM "fault silent"
if e2e_drive wait-box Error "$BOX_MS"; then
    e2e_expect text "Close autorun and enter download fail!" "silent card's box"
    e2e_expect layout ltr "silent card's box in the user's language"
    e2e_drive count-windows Success && e2e_expect count 0 "Success boxes for a silent card"
    e2e_drive dismiss-box Error || e2e_fail "dismiss"
else
    e2e_fail "a card silent under the close command gave no Error box"
fi
e2e_drive wait-state "picture=IDB_SEARCHING" "enabled:IDC_ENTER_DOWNLOAD=0" "enabled:IDC_EXIT_DOWNLOAD=0" \
    "$STARTUP_MS" ||
    e2e_fail "a silent card shown as ready after the failed command"
e2e_card MODEM "fault none"
e2e_drive wait-state "${READY[@]}" "$STARTUP_MS" || e2e_fail "not ready once the card answers again"

# ---- clicks that another program posts while the close command runs, and on disabled buttons ----------
id_of() { awk -v name="$1" '$1 == "#define" && $2 == name { print $3 }' "$E2E_SOURCE_DIR/res/resource.h"; }
readonly WM_COMMAND=273   # BN_CLICKED is 0: the click's wParam is the control id alone
# What the card gets from the click on is compared without the monitor's "AT" probes, which may
# still come before the command suspends the monitor.
lines_before=$(e2e_transcript MODEM | wc -l)
e2e_drive click IDC_ENTER_DOWNLOAD || e2e_fail "click IDC_ENTER_DOWNLOAD"
e2e_drive wait-state "picture=IDB_RUNNING" "$PASS_MS" || e2e_fail "Running... picture"
for control in IDC_ENTER_DOWNLOAD IDC_EXIT_DOWNLOAD IDC_SIM_STATUS IDC_REVERSE_PORT; do
    e2e_drive post "$WM_COMMAND" "$(id_of "$control")" || e2e_fail "post a click on $control"
done
if e2e_drive wait-box Success "$BOX_MS"; then
    e2e_drive count-windows Success && e2e_expect count 1 "Success boxes with posted clicks"
    during=$(e2e_transcript MODEM | tail -n +$((lines_before + 1)) | tr -d '\r' | grep -vx 'AT' | paste -sd,)
    [ "$during" = "AT+YCDRUN=E,AT+YCDRUN=8" ] || e2e_fail "the card got '$during' during the run"
    e2e_drive dismiss-box Success || e2e_fail "dismiss"
else
    e2e_fail "the close command with posted clicks showed no Success box"
fi
# Right after the box: the buttons are disabled and their posted clicks start nothing.
for control in IDC_ENTER_DOWNLOAD IDC_EXIT_DOWNLOAD; do
    e2e_drive post "$WM_COMMAND" "$(id_of "$control")" || e2e_fail "post a click on $control"
done
e2e_drive wait-state "${READY[@]}" "$STARTUP_MS" || e2e_fail "not ready again after the posted clicks"
after=$(e2e_transcript MODEM | tail -n +$((lines_before + 1)) | tr -d '\r' | grep -vx 'AT' | paste -sd,)
[ "$after" = "AT+YCDRUN=E,AT+YCDRUN=8" ] || e2e_fail "posted clicks on disabled buttons sent '$after'"
e2e_drive count-windows Success && e2e_expect count 0 "boxes from posted clicks on disabled buttons"

# ---- a card that rejects the close command after an unsolicited line: the Error box, not Success ------
# The unsolicited line comes right after every echo; the monitor's probes still see the card answer.
e2e_card MODEM "urc after-echo:+CREG: 1"
e2e_card MODEM "script AT+YCDRUN=E=ERROR:1"
e2e_drive wait-state "${READY[@]}" "$STARTUP_MS" || e2e_fail "not ready with an unsolicited line after each echo"
if e2e_drive click-wait-box IDC_ENTER_DOWNLOAD Error "$BOX_MS"; then
    e2e_expect text "Close autorun and enter download fail!" "ERROR after an unsolicited line: the box"
    e2e_drive count-windows Success && e2e_expect count 0 "Success boxes for a card that answered ERROR"
    e2e_drive dismiss-box Error || e2e_fail "dismiss"
else
    e2e_fail "a card answering ERROR after an unsolicited line gave no Error box"
fi
e2e_card MODEM "urc clear"
e2e_drive wait-state "${READY[@]}" "$STARTUP_MS" || e2e_fail "not ready again after the rejected command"

# ---- the transcripts of tests/replays, played back by the card ------------------------------------------
# The window sends only the mode commands (the command line that recorded them also asked the model
# and the IMEI first); the card answers them as recorded, and the monitor's probes as before. The box:
#   late-echo     Error    =E's ERROR follows the late model answer, which its echo marks as stale
#   late-no-echo  Success  the window asked no AT+CGSN: the first final result after =E is =E's
#   slow          Error    the card pauses 0.7 s between its echo and its answer, and the window takes
#                          a reply once it has been quiet for a poll cycle
#   unsolicited   Success  and the model, read through the unsolicited lines, still sends =N
for case in late-echo:Error late-no-echo:Success slow:Error unsolicited:Success; do
    name=${case%:*} box=${case#*:}
    button=IDC_ENTER_DOWNLOAD
    grep -q '^# command line: vostrel-cli open-autorun' "$E2E_SOURCE_DIR/tests/replays/$name.log" && button=IDC_EXIT_DOWNLOAD
    n_before=$(e2e_sent MODEM "AT+YCDRUN=N")
    e2e_card MODEM "replay $E2E_SOURCE_DIR/tests/replays/$name.log"
    if e2e_drive click "$button" && e2e_drive wait-any-box "$BOX_MS" Success Error; then
        [ "$(e2e_value title)" = "$box" ] || e2e_fail "replay $name: the $(e2e_value title) box, wanted $box"
        e2e_drive dismiss-box "$(e2e_value title)" || e2e_fail "dismiss"
    else
        e2e_fail "replay $name: no box"
    fi
    [ "$case" != unsolicited:Success ] || e2e_expect_sent MODEM "AT+YCDRUN=N" $((n_before + 1)) "replay $name"
    e2e_card MODEM "replay off"
    e2e_drive wait-state "${READY[@]}" "$STARTUP_MS" || e2e_fail "replay $name: not ready again"
done

# ---- closing the window while the close command's worker runs --------------------------------------
sent_before=$(e2e_sent MODEM "AT+YCDRUN=E")
e2e_drive click IDC_ENTER_DOWNLOAD || e2e_fail "click IDC_ENTER_DOWNLOAD"
e2e_drive wait-state "picture=IDB_RUNNING" "enabled:IDC_ENTER_DOWNLOAD=0" "enabled:IDC_EXIT_DOWNLOAD=0" "$PASS_MS" ||
    e2e_fail "Running... picture"
e2e_drive close || e2e_fail "close during the close command"
if e2e_wait_exit "$E2E_PID" "$EXIT_MS"; then
    [ "$E2E_STATUS" = 0 ] || e2e_fail "exit status $E2E_STATUS after closing during the command"
else
    e2e_fail "process still running after its window closed during the close command"
fi
e2e_drive count-windows Success && e2e_expect count 0 "boxes left behind"
e2e_drive count-windows Error && e2e_expect count 0 "boxes left behind"
e2e_log "AT+YCDRUN=E sent $(( $(e2e_sent MODEM "AT+YCDRUN=E") - sent_before )) time(s) by the interrupted command"
[ "$(e2e_exe_processes)" = 0 ] || e2e_fail "Vostrel.exe processes left: $(e2e_exe_processes)"

e2e_finish
