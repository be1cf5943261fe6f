#!/usr/bin/env bash
# Runs a command with simulated cards that Windows programs under Wine reach as COM ports.
#
# usage: with-cardsim.sh [--card NAME "CARDSIM OPTIONS"]... -- COMMAND [ARGS...]
#
# Needs WINEPREFIX and VOSTREL_CARDSIM (the native cardsim). Each card gets the next COM number from
# VOSTREL_FIRST_COM (default 40) up, linked as $WINEPREFIX/dosdevices/com<N>. The command sees
# VOSTREL_CARD_<NAME>=<N> and VOSTREL_CARD_<NAME>_TRANSCRIPT=<unix path of the card's transcript>.
# A COMMAND ending in .exe runs under wine. Every card is stopped when the command ends; the exit
# status is the command's.
set -euo pipefail

: "${WINEPREFIX:?WINEPREFIX must name the Wine prefix}"
: "${VOSTREL_CARDSIM:?VOSTREL_CARDSIM must name the cardsim executable}"
[ -x "$VOSTREL_CARDSIM" ] || { echo "with-cardsim: not executable: $VOSTREL_CARDSIM" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/with-cardsim.XXXXXX")
pids=()
links=()

stop_cards() {
    local pid
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    for link in "${links[@]}"; do [ -L "$link" ] && rm -f "$link"; done
    rm -rf "$work"
}
trap stop_cards EXIT
trap 'exit 130' INT TERM

# Waits (at most 10 s) for cardsim's "listening on" line; false when it died or never said it.
wait_listening() {
    local out=$1 pid=$2 deadline=$((SECONDS + 10))
    while [ $SECONDS -lt $deadline ]; do
        grep -q '^cardsim: listening on ' "$out" 2>/dev/null && return 0
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.05
    done
    return 1
}

start_card() {
    local name=$1 options=$2 com=$3
    local link="$WINEPREFIX/dosdevices/com$com"
    local transcript="$work/$name.transcript"
    mkdir -p "$WINEPREFIX/dosdevices"
    # shellcheck disable=SC2086 # the options are a word list on purpose
    "$VOSTREL_CARDSIM" --link "$link" --transcript "$transcript" $options >"$work/$name.out" 2>&1 &
    local pid=$!
    pids+=("$pid")
    links+=("$link")
    if ! wait_listening "$work/$name.out" "$pid"; then
        echo "with-cardsim: card $name did not start:" >&2
        cat "$work/$name.out" >&2
        exit 2
    fi
    export "VOSTREL_CARD_${name}=$com"
    export "VOSTREL_CARD_${name}_TRANSCRIPT=$transcript"
}

com=${VOSTREL_FIRST_COM:-40}
while [ $# -gt 0 ]; do
    case $1 in
        --card)
            [ $# -ge 3 ] || { echo "with-cardsim: --card needs NAME and OPTIONS" >&2; exit 2; }
            start_card "$2" "$3" "$com"
            com=$((com + 1))
            shift 3 ;;
        --) shift; break ;;
        *) echo "with-cardsim: unknown argument: $1" >&2; exit 2 ;;
    esac
done
[ $# -gt 0 ] || { echo "with-cardsim: no command given" >&2; exit 2; }

status=0
case $1 in
    *.exe)
        # Wine starts its services on first use and they keep the standard handles they inherit;
        # given ctest's pipe, they would hold it open and ctest would wait for ever. So the program
        # writes to a file, shown when it ends.
        wine "$@" >"$work/run.out" 2>&1 </dev/null || status=$?
        cat "$work/run.out" ;;
    *) "$@" || status=$? ;;
esac
exit $status
