#!/usr/bin/env bash
# vostrel-cli.exe --all --wait under Wine on the simulated bench: a switched card's driver entries
# go and come back at its slot as Windows would write them, and each card's fault ends its row in
# its own phase. (The live table is not drawn under Wine: its console prints the sequences as text.)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
: "${E2E_CLI_EXE:?}" "${VOSTREL_CARDSIM:?}" "${E2E_ARTIFACTS:?}"
export VOSTREL_BENCH_TESTBED=${VOSTREL_BENCH_TESTBED:-$(dirname "$VOSTREL_CARDSIM")/bench-testbed}
# A change shows once regedit has written it, up to a second or more on a busy machine.
export BENCH_WAIT_TIMES="--leave-timeout 8 --return-timeout 12"
out=$E2E_ARTIFACTS/bench
rm -rf "$out"

bench() {   # SCENARIO BENCH-OPTIONS...
    local scenario=$1
    shift
    bash "$root/tests/support/bench-wine.sh" --return-ms 500 "$@" --out "$out/$scenario" -- \
        "$root/tests/cli/bench-wait.sh" "$scenario" "$E2E_CLI_EXE"
}
bench close --cards 3 --fault 1:stay --fault 2:gone
# Card 1's entries leave the drivers' lists in one regedit run and come back in the next.
bench blink --cards 2 --fault 1:blink
bench open --cards 5 --fault 1:gone --fault 2:moved --fault 3:newimei --fault 4:pull@1500
