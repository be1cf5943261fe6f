#!/usr/bin/env bash
# Runs every vostrel-cli subcommand against the built-in simulated card: natively on a
# pseudo-terminal, and as vostrel-cli.exe under Wine with the card registered as COM5 (modem) and
# COM6 (diagnostic). usage: scripts/cli-demo.sh [native] [wine]   (both when none is named)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${VOSTREL_OUT:-$root/out}
usage() {
    cat <<'EOT'
usage: scripts/cli-demo.sh [native] [wine]

Runs every vostrel-cli subcommand against the built-in simulated card and shows what each printed:
  native   the Linux program, the card on a pseudo-terminal (reached with --port)
  wine     vostrel-cli.exe under Wine, the card registered as COM5 (modem) and COM6 (diagnostic)
Both when none is named. It builds what it needs first; output and logs go to $VOSTREL_OUT (out/).
EOT
}
modes=("$@")
[ ${#modes[@]} -eq 0 ] && modes=(native wine)
for mode in "${modes[@]}"; do
    case $mode in
        native|wine) ;;
        -h|--help) usage; exit 0 ;;
        *) echo "cli-demo: unknown mode $mode (native or wine; --help for more)" >&2; exit 2 ;;
    esac
done
mkdir -p "$out" && cd "$root" || exit 2

log=$out/cli-build.log
: >"$log"
quiet() { "$@" >>"$log" 2>&1 || { echo "cli-demo: failed: $* (see $log)" >&2; tail -n 20 "$log" >&2; exit 1; }; }
echo "building (log: $log) ..."
quiet scripts/install-deps.sh
quiet cmake --preset native
quiet cmake --build build/native --target cardsim vostrel-cli
cardsim=$root/build/native/cardsim
# The card's driver entries as run.sh and the tests write them.
source "$root/scripts/card-entries.sh"

pids=()
work=$(mktemp -d "${TMPDIR:-/tmp}/vostrel-cli-demo.XXXXXX")
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    [ -n "${WINEPREFIX:-}" ] && rm -f "$WINEPREFIX/dosdevices/com5" "$WINEPREFIX/dosdevices/com6"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_card() {   # LINK NAME
    "$cardsim" --link "$1" --transcript "$out/cli-$2.transcript" >"$work/$2.out" 2>&1 &
    pids+=($!)
    local deadline=$((SECONDS + 10))
    until grep -q '^cardsim: listening on' "$work/$2.out" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || { echo "cli-demo: the simulated card did not start" >&2; exit 1; }
        sleep 0.05
    done
}

failed=0
# Shows a command and what it printed, then its exit status.
show() {
    echo
    echo "\$ $*"
    "$@" </dev/null 2>&1 | tr -d '\r'
    local status=${PIPESTATUS[0]}
    echo "(exit status $status)"
    return 0
}
expect_ok() { "$@" </dev/null >/dev/null 2>&1 || { echo "cli-demo: FAILED: $*" >&2; failed=1; }; }

if [[ " ${modes[*]} " == *" native "* ]]; then
    echo; echo "==== natively, the card on a pseudo-terminal ($work/card)"
    start_card "$work/card" native-card
    cli=$root/build/native/vostrel-cli
    show "$cli" list
    for sub in probe close-autorun open-autorun sim-status; do
        show "$cli" "$sub" --port "$work/card" --log "$out/cli-native.log"
        expect_ok "$cli" "$sub" --port "$work/card" --quiet
    done
fi

if [[ " ${modes[*]} " == *" wine "* ]]; then
    echo; echo "==== under Wine, the card registered as COM5 and COM6"
    quiet cmake --preset windows
    quiet cmake --build build/windows --target vostrel-cli
    export WINEPREFIX=${VOSTREL_WINEPREFIX:-${XDG_DATA_HOME:-$HOME/.local/share}/vostrel/wineprefix}
    export WINEDEBUG=-all
    quiet scripts/wine-prefix.sh "$WINEPREFIX"
    mkdir -p "$WINEPREFIX/dosdevices"
    rm -f "$WINEPREFIX/dosdevices/com5" "$WINEPREFIX/dosdevices/com6"
    start_card "$WINEPREFIX/dosdevices/com5" wine-modem
    start_card "$WINEPREFIX/dosdevices/com6" wine-diag
    reg=$work/card.reg
    vostrel_card_reg 0 YARLOusbmdm6k 5 0 YARLOusbser6k 6 >"$reg"
    quiet wine regedit /S "$(winepath -w "$reg")"
    cli=$root/build/windows/vostrel-cli.exe
    show wine "$cli" list
    show wine "$cli" list --json --probe
    for sub in probe close-autorun open-autorun sim-status; do
        show wine "$cli" "$sub" --log "$(winepath -w "$out/cli-wine.log")"
        expect_ok wine "$cli" "$sub" --quiet
    done
    show wine "$cli" close-autorun --all
fi

echo
echo "transcripts: $out/cli-*.log; what the card received: $out/cli-*.transcript"
[ "$failed" -eq 0 ] && echo "demo ok" || echo "demo FAILED"
[ "$failed" -eq 0 ]
