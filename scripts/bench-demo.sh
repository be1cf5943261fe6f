#!/usr/bin/env bash
# A simulated service bench of 8 data cards and vostrel-cli run on it in this terminal: natively on a
# umockdev device tree, or as vostrel-cli.exe under Wine. A card switched into or out of download
# mode leaves the bus and comes back at its slot, as a real card does.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${VOSTREL_OUT:-$root/out}
usage() {
    cat <<'EOT'
usage: scripts/bench-demo.sh [native|wine] [-- VOSTREL-CLI ARGS...]

Starts a simulated bench of 8 cards (slots A1..A4 behind one hub, B1..B4 behind the other) and runs
vostrel-cli on it in this terminal:
  native   (the default) the Linux program on a umockdev device tree
  wine     vostrel-cli.exe under Wine, the cards as COM40..COM55 with their driver entries
Without arguments it runs
  close-autorun --all --wait --slots out/bench-slots.txt --report out/bench.csv
A switched card leaves 0.4 s after its last command and is back 2 s later. It builds what it needs
first; the bench's event log (a line per card that left or came back) is out/bench/bench-events.log,
the cards' transcripts are out/bench/cards/. Environment: VOSTREL_OUT (out/), VOSTREL_WINEPREFIX.
EOT
}
mode=native
case ${1:-} in
    native|wine) mode=$1; shift ;;
    -h|--help) usage; exit 0 ;;
    ''|--) ;;
    *) echo "bench-demo: unknown mode $1 (native or wine; --help for more)" >&2; exit 2 ;;
esac
[ "${1:-}" = -- ] && shift
mkdir -p "$out" && cd "$root" || exit 2

log=$out/bench-build.log
: >"$log"
quiet() { "$@" >>"$log" 2>&1 || { echo "bench-demo: failed: $* (see $log)" >&2; tail -n 20 "$log" >&2; exit 1; }; }
echo "building (log: $log) ..."
quiet scripts/install-deps.sh
quiet cmake --preset native
quiet cmake --build build/native --target bench-testbed cardsim vostrel-cli

# The labels of the slots, as the bench lays them out: the first hub's cards A1..A4, the second's B1..B4.
slots=$out/bench-slots.txt
if [ "$mode" = native ]; then
    for k in 1 2 3 4; do echo "A$k 1-1.$k"; done >"$slots"
    for k in 1 2 3 4; do echo "B$k 1-2.$k"; done >>"$slots"
else
    # Under Wine the slot comes from the entries' LocationInformation: PCI 0:14.0, root port 1, hub port n+1.
    for n in 0 1 2 3 4 5 6 7; do
        printf '%s%d 0:14.0-1.%d\n' "$( [ $n -lt 4 ] && echo A || echo B)" $((n % 4 + 1)) $((n + 1))
    done >"$slots"
fi
args=("$@")
[ ${#args[@]} -gt 0 ] || args=(close-autorun --all --wait --slots "$slots" --report "$out/bench.csv")

echo "a bench of 8 simulated cards ($mode); vostrel-cli ${args[*]}"
if [ "$mode" = native ]; then
    exec umockdev-wrapper build/native/bench-testbed --cards 8 --out "$out/bench" -- build/native/vostrel-cli "${args[@]}"
fi
quiet cmake --preset windows
quiet cmake --build build/windows --target vostrel-cli
export WINEPREFIX=${VOSTREL_WINEPREFIX:-${XDG_DATA_HOME:-$HOME/.local/share}/vostrel/wineprefix}
quiet scripts/wine-prefix.sh "$WINEPREFIX"
exec tests/support/bench-wine.sh --cards 8 --out "$out/bench" -- build/windows/vostrel-cli.exe "${args[@]}"
