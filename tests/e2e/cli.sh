#!/usr/bin/env bash
# vostrel-cli.exe under Wine against simulated cards: the listing of one card and of sixteen, the
# mode commands and the SIM query with the card's own transcript to show what it got, --all, each
# exit status reached by a real cause, and the refusal while the window runs.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_setup

E2E_CLI_EXE=${E2E_CLI_EXE:-$E2E_BUILD_DIR/vostrel-cli.exe}
CLI_CARDS=0

# Runs the program; CLI_STATUS, CLI_OUT and CLI_ERR hold what it did.
cli() {
    wine "$E2E_CLI_EXE" "$@" >"$E2E_WORK/cli.out" 2>"$E2E_WORK/cli.err" </dev/null
    CLI_STATUS=$?
    CLI_OUT=$(tr -d '\r' <"$E2E_WORK/cli.out")
    CLI_ERR=$(tr -d '\r' <"$E2E_WORK/cli.err")
}

# Checks the last run's exit status. cli_expect_status N WHAT
cli_expect_status() {
    [ "$CLI_STATUS" = "$1" ] && return 0
    e2e_fail "$2: exit status $CLI_STATUS, wanted $1"
    printf '%s\n' "$CLI_OUT" "$CLI_ERR" | sed 's/^/    /' >&2
}

# Checks that the last run printed a line matching the extended regular expression. cli_expect_line RE WHAT
cli_expect_line() {
    printf '%s\n' "$CLI_OUT" "$CLI_ERR" | grep -qE "$1" && return 0
    e2e_fail "$2: no line matches /$1/"
    printf '%s\n' "$CLI_OUT" "$CLI_ERR" | sed 's/^/    /' >&2
}

# Driver entries for N cards, card k with its modem port COM<base+2k> and its diagnostic port
# COM<base+2k+1>, both interfaces of one USB device (parent prefix 7&Ck&0).
cli_register_cards() {
    local n=$1 base=$2 reg="$E2E_WORK/cards.reg" k ports=()
    for ((k = 0; k < n; k++)); do
        ports+=("$k" YARLOusbmdm6k $((base + 2 * k)) "$k" YARLOusbser6k $((base + 2 * k + 1)))
    done
    vostrel_card_reg "${ports[@]}" >"$reg"
    wine regedit /S "$(winepath -w "$reg" 2>/dev/null)" >/dev/null 2>&1
    CLI_CARDS=$n
}

cli_unregister_cards() {
    local reg="$E2E_WORK/remove.reg"
    vostrel_card_unreg YARLOusbmdm6k YARLOusbser6k >"$reg"
    wine regedit /S "$(winepath -w "$reg" 2>/dev/null)" >/dev/null 2>&1
    CLI_CARDS=0
}
trap 'cli_unregister_cards; e2e_cleanup; rm -rf "$E2E_WORK"' EXIT

[ -f "$E2E_CLI_EXE" ] || { e2e_log "missing $E2E_CLI_EXE (build the vostrel-cli target)"; exit 1; }

# ---- no entries: no card -------------------------------------------------------------------------------
cli_unregister_cards
cli list
cli_expect_status 3 "list without driver entries"
cli probe
cli_expect_status 3 "probe without driver entries"

# ---- one card ------------------------------------------------------------------------------------------
e2e_start_card MODEM 5 || e2e_finish
e2e_start_card DIAG 6 || e2e_finish
cli_register_cards 1 5
cli list
cli_expect_status 0 "list of one card"
cli_expect_line "^card 7&C0&0  slot 0:14.0-1.1  usb $VOSTREL_CARD_USB_ID  serial VOSTREL0000\$" "the card's line"
cli_expect_line '^  COM5  modem  interface 2  YARLOusbmdm6k  ' "the modem port"
cli_expect_line '^  COM6  diagnostic  interface 0  YARLOusbser6k  ' "the diagnostic port"
cli list --json
cli_expect_status 0 "list --json"
roles=$(printf '%s' "$CLI_OUT" | python3 -c 'import json,sys; d=json.load(sys.stdin); print(len(d["cards"]), *[p["device"]+"="+p["role"] for p in d["cards"][0]["ports"]])')
[ "$roles" = "1 COM5=modem COM6=diagnostic" ] || e2e_fail "list --json: $roles"

started=$(e2e_now_ms)
cli probe --port COM5 --quiet
e2e_log "probe of an answering card, start to exit: $(( $(e2e_now_ms) - started )) ms"
cli probe
cli_expect_status 0 "probe of the window's choice"
identity='model R2280-Y, imei 356938035643809'
cli_expect_line "^COM5 \\(slot 0:14.0-1.1, $identity\\): probe: ok\$" "probe result"

# The card's command lines since cli_mark, comma separated.
cli_mark() { CLI_MARK=$(e2e_transcript MODEM | wc -l); }
cli_sent() { e2e_transcript MODEM | tail -n +$((CLI_MARK + 1)) | tr -d '\r' | paste -sd,; }

cli_mark
cli close-autorun --log "$E2E_WORK/cli.log"
cli_expect_status 0 "close-autorun"
[ "$(cli_sent)" = "AT+CGMM,AT+CGSN,AT+YCDRUN=E,AT+YCDRUN=8" ] || e2e_fail "close-autorun: the card got $(cli_sent)"
grep -q '^# vostrel-cli [0-9.]' "$E2E_WORK/cli.log" || e2e_fail "the transcript has no header"
grep -qE '^[0-9]+ COM5 > AT\+YCDRUN=E\\r$' "$E2E_WORK/cli.log" || e2e_fail "the transcript lacks the command written"
grep -qE '^[0-9]+ COM5 < .*OK\\r\\n' "$E2E_WORK/cli.log" || e2e_fail "the transcript lacks the answer read"
grep -q "^# outcome COM5 (slot 0:14.0-1.1, $identity): close-autorun: ok\$" "$E2E_WORK/cli.log" || e2e_fail "the transcript lacks the outcome"

# Ctrl-C between the two commands: Wine turns SIGINT into the console's CTRL_C_EVENT. The card gets
# nothing more, the JSON and the transcript's outcome still come, and the status is 130.
cli_mark
wine "$E2E_CLI_EXE" close-autorun --json --log "$E2E_WORK/int.log" >"$E2E_WORK/cli.out" 2>"$E2E_WORK/cli.err" </dev/null &
run=$!
deadline=$(( $(e2e_now_ms) + 10000 ))
until [ "$(cli_sent)" = "AT+CGMM,AT+CGSN,AT+YCDRUN=E" ] || [ "$(e2e_now_ms)" -ge $deadline ]; do sleep 0.01; done
kill -INT "$run"
wait "$run"
CLI_STATUS=$?
CLI_OUT=$(tr -d '\r' <"$E2E_WORK/cli.out")
CLI_ERR=$(tr -d '\r' <"$E2E_WORK/cli.err")
cli_expect_status 130 "Ctrl-C between the commands"
cli_expect_line '"message": "interrupted after AT\+YCDRUN=E"' "the interrupted card's result"
grep -q "^# outcome COM5 (slot 0:14.0-1.1, $identity): close-autorun: failed (130): interrupted after AT+YCDRUN=E" "$E2E_WORK/int.log" ||
    e2e_fail "Ctrl-C: the transcript lacks the interrupted outcome"
[ "$(cli_sent)" = "AT+CGMM,AT+CGSN,AT+YCDRUN=E" ] || e2e_fail "Ctrl-C: the card got $(cli_sent)"

cli_mark
cli open-autorun --port 5
cli_expect_status 0 "open-autorun"
[ "$(cli_sent)" = "AT+CGMM,AT+CGSN,AT+YCDRUN=F,AT+YCDRUN=9,AT+CGMM,AT+YCDRUN=N" ] || e2e_fail "open-autorun: the card got $(cli_sent)"
cli sim-status --slot 0:14.0-1.1
cli_expect_status 0 "sim-status"
cli_expect_line ': sim-status: detect sim card$' "the SIM status in the window's words"
[ -s "$E2E_WORK/DIAG.transcript" ] && e2e_fail "something was sent to the diagnostic port"

# ---- each failure status from a real cause ----------------------------------------------------------
ln -sfn "$E2E_WORK/nothing-here" "$WINEPREFIX/dosdevices/com7" && E2E_LINKS+=("$WINEPREFIX/dosdevices/com7")
cli probe --port COM7
cli_expect_status 4 "a port linked to nothing"
cli_expect_line '^COM7: probe: failed \(4\): CreateFileA: ' "the failing call named"
e2e_start_card SILENT 8 --fault silent || e2e_finish
cli probe --port COM8
cli_expect_status 5 "a silent card"
e2e_start_card REJECTS 9 --fault error || e2e_finish
cli close-autorun --port COM9
cli_expect_status 1 "a card answering ERROR"
cli --card 'no-such-card' probe
cli_expect_status 3 "an unknown card id"

# ---- the window runs: commands refuse, the listing still works ------------------------------------------
e2e_start_program
e2e_drive wait-state "picture=IDB_READY" 30000 || e2e_fail "the window did not find the card"
cli probe --port COM5
cli_expect_status 4 "probe while the window runs"
cli_expect_line 'window is running' "the refusal says why"
cli list
cli_expect_status 0 "list while the window runs"
e2e_drive close >/dev/null 2>&1 || true
e2e_wait_exit "$E2E_PID" 20000 || e2e_fail "the window did not close"

# ---- sixteen cards, all at once ------------------------------------------------------------------------
for ((k = 0; k < 16; k++)); do
    e2e_start_card "M$k" $((20 + 2 * k)) || e2e_finish
    e2e_start_card "D$k" $((21 + 2 * k)) || e2e_finish
done
cli_unregister_cards
cli_register_cards 16 20
started=$(e2e_now_ms)
cli list --json
e2e_log "list of sixteen cards: $(( $(e2e_now_ms) - started )) ms"
cli_expect_status 0 "list of sixteen cards"
n=$(printf '%s' "$CLI_OUT" | python3 -c 'import json,sys; print(len(json.load(sys.stdin)["cards"]))')
[ "$n" = 16 ] || e2e_fail "list --json shows $n cards, wanted 16"
started=$(e2e_now_ms)
cli close-autorun --card '7&C3&0' --quiet
one=$(( $(e2e_now_ms) - started ))
cli_expect_status 0 "close-autorun on one of sixteen"
started=$(e2e_now_ms)
cli close-autorun --all --quiet --log "$E2E_WORK/all.log"
all=$(( $(e2e_now_ms) - started ))
cli_expect_status 0 "close-autorun --all"
cli_expect_line '^16 cards: 16 ok, 0 failed$' "the summary line"
for ((k = 0; k < 16; k++)); do
    [ "$(e2e_sent "M$k" AT+YCDRUN=8)" -ge 1 ] || e2e_fail "card $k did not get AT+YCDRUN=8"
done
grep -vE '^(# .*|[0-9]+ COM[0-9]+ [<>] .*)$' "$E2E_WORK/all.log" | head -n 3 | grep -q . &&
    e2e_fail "the --all transcript has malformed lines"
e2e_log "close-autorun: one card $one ms, sixteen with --all $all ms (ratio $(awk -v a="$all" -v o="$one" 'BEGIN { printf "%.2f", a / o }'))"

e2e_finish
