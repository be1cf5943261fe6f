#!/usr/bin/env bash
# vostrel-cli's history against a simulated card and a real PostgreSQL server that this test starts
# as a plain user (initdb and pg_ctl in a temporary folder, a Unix socket): what a run records and
# how `history` shows it, a named store that cannot take records, and a server that stops while
# benches run and comes back, whose records then arrive once. usage: history-cli.sh VOSTREL_CLI CARDSIM
set -u
cli_exe=$1
cardsim=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/vostrel-history-cli.XXXXXX")
chmod 755 "$work"
pids=()
failures=0
pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
pg_user=()
[ "$(id -u)" -eq 0 ] && pg_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
cleanup() {
    [ -d "$work/pg" ] && "${pg_user[@]}" "$pg_bin/pg_ctl" -D "$work/pg" -m immediate stop >/dev/null 2>&1
    stop_pids
    rm -rf "$work"
}
trap cleanup EXIT

. "$(dirname "${BASH_SOURCE[0]}")/card-lib.sh"

# A field of the JSON document on standard output: json EXPRESSION (d is the document).
json() { python3 -c "import json, sys; d = json.load(open(sys.argv[1])); print($1)" "$work/out"; }

export VOSTREL_HISTORY=$work/history.db
start_card CARD || exit 1
start_card SILENT --fault silent || exit 1

cli probe --port "$work/CARD" --station bench-7 --operator ana
expect 0 ': probe: ok$' "probe"
cli probe --port "$work/SILENT" --station bench-7
expect 5 'silent' "a silent card"
cli history --json
expect 0 '"records"' "history --json"
[ "$(json 'len(d["records"]), d["command"], d["status"]')" = "2 history 0" ] || fail "history --json: $OUT"
[ "$(json '[(r["command"], r["outcome"], r["status"], r["station"], r["operator"], r["imei"]) for r in d["records"]]')" = \
  "[('probe', 'silent', 5, 'bench-7', None, None), ('probe', 'ok', 0, 'bench-7', 'ana', '356938035643809')]" ] ||
    fail "history --json: the records are not the runs', newest first: $OUT"
json 'all(len(r["record_id"]) == 36 and r["started"] <= r["ended"] and r["started"].endswith("Z") and r["version"] for r in d["records"])' |
    grep -qx True || fail "history --json: a record lacks its id, times or version: $OUT"
imei=$(json 'd["records"][1]["imei"]')
cli history --imei "$imei" --result ok --csv
expect 0 '^slot,label,ports,model,imei,command,status,seconds,sent,left,back,settled,message,transcript,modem_manager,record_id,started,ended,station,operator,version,outcome' \
    "history --csv header"
[ "$(grep -c ',probe,0,' "$work/out")" = 1 ] || fail "--csv: one probe: $OUT"
cli history --result failed --limit 5
expect 0 'bench-7 .* probe  silent ' "history's table"
cli history --summary --json
[ "$(json '[(s["station"], s["ok"], s["failed"]) for s in d["summary"]]')" = "[('bench-7', 1, 1)]" ] || fail "--summary: $OUT"

# A named store that cannot take records stops the run before the card is sent anything; a file
# that is no store is refused and left as it is.
lines=$(wc -l <"$work/CARD.transcript")
cli probe --port "$work/CARD" --history "$work/no-such-folder/h.db"
expect 2 'no-such-folder/h.db' "an unwritable store"
printf 'slot,label\n' >"$work/notes.db"
cli probe --port "$work/CARD" --history "$work/notes.db"
expect 2 'not a history store' "a file that is no store"
[ "$(cat "$work/notes.db")" = "slot,label" ] || fail "a file that is no store was changed"
[ "$(wc -l <"$work/CARD.transcript")" = "$lines" ] || fail "the card was sent something although no store could be written"
# The default store: under XDG_DATA_HOME, and a warning only where there is none.
VOSTREL_HISTORY= XDG_DATA_HOME=$work/xdg "$cli_exe" probe --port "$work/CARD" >/dev/null 2>&1 ||
    fail "a probe with the default store"
[ -s "$work/xdg/vostrel/history.db" ] || fail "no default store under XDG_DATA_HOME"

# Export, then import twice: the records are kept once.
cli history export
cp "$work/out" "$work/export.jsonl"
[ "$(wc -l <"$work/export.jsonl")" = 2 ] || fail "history export: $OUT"
for n in 1 2; do
    cli history import "$work/export.jsonl" --history "$work/copy.db"
    expect 0 '2 records read' "history import ($n)"
done
cli history --history "$work/copy.db" --json
[ "$(json 'len(d["records"])')" = 2 ] || fail "an import made twice recorded twice: $OUT"
printf '{"no": "id"}\n' >"$work/bad.jsonl"
cli history import "$work/bad.jsonl" --history "$work/copy.db"
expect 2 'line 1 of .* is not a history record' "an import of something else"

# The fleet: a server of its own, reached through its socket.
mkdir "$work/pg" "$work/run" && chmod 700 "$work/pg"
[ ${#pg_user[@]} -eq 0 ] || chown nobody:nogroup "$work/pg" "$work/run"
"${pg_user[@]}" "$pg_bin/initdb" -D "$work/pg" -U vostrel --auth=trust -E UTF8 >"$work/initdb.log" 2>&1 ||
    { cat "$work/initdb.log" >&2; fail "initdb"; exit 1; }
start_server() {
    "${pg_user[@]}" "$pg_bin/pg_ctl" -D "$work/pg" -l "$work/run/pg.log" -w -t 60 \
        -o "-k $work/run -c listen_addresses= -c fsync=off" start >/dev/null || { cat "$work/run/pg.log" >&2; fail "pg_ctl start"; }
}
stop_server() { "${pg_user[@]}" "$pg_bin/pg_ctl" -D "$work/pg" -m fast -w stop >/dev/null || fail "pg_ctl stop"; }
start_server
server="postgresql://vostrel:pass-not-shown@/postgres?host=$work/run"
count() { "$pg_bin/psql" -h "$work/run" -U vostrel -d postgres -Atc "select count(*), count(distinct record_id) from vostrel_records"; }
export XDG_DATA_HOME=$work/bench
cli probe --port "$work/CARD" --history "$server" --log "$work/run.log"
expect 0 ': probe: ok$' "probe with a server"
[ "$(count)" = "1|1" ] || fail "the server has $(count) records after one run"
grep -q pass-not-shown "$work/run.log" "$work/err" "$work/out" && fail "the password was shown"
stop_server
for n in 1 2; do
    cli probe --port "$work/CARD" --history "$server" --json
    expect 0 'wait in .*bench/vostrel/history.db for the next push' "a run while the server is down ($n)"
    [ "$(json 'd["status"]')" = 0 ] || fail "a server that is down changed the run: $OUT"
done
start_server
cli history push --history "$server"
expect 0 '2 records sent' "history push"
cli history push --history "$server"
expect 0 '0 records sent' "a second push"
[ "$(count)" = "3|3" ] || fail "the server has $(count) records, wanted 3 once each"
cli history --history "$server" --json --limit 2
[ "$(json 'len(d["records"])')" = 2 ] || fail "history from the server: $OUT"

[ "$failures" -eq 0 ] && echo "history-cli: all passed" || echo "history-cli: $failures failed"
[ "$failures" -eq 0 ]
