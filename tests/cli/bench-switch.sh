#!/usr/bin/env bash
# Run by bench-testbed (two cards, a short return delay): card 0 is sent into download mode and must
# leave its slot and come back there as a one-port download device, product 0002; card 1, not
# switched, stays listed throughout. Every wait polls with a deadline.
#
# The returning device is checked in the udev tree itself (what libudev reads): the listing shows
# only USB devices with two or more serial interfaces, so a one-port download device is not a card
# there; it must at least not be listed as the card it was.
#
# usage: bench-switch.sh VOSTREL-CLI
set -euo pipefail
cli=${1:?usage: bench-switch.sh VOSTREL-CLI}
: "${VOSTREL_BENCH_OUT:?run this under bench-testbed}"

fail() { echo "bench-switch: FAIL: $*" >&2; exit 1; }

read -r _ _ slot0 ports0 _ < <(grep '^card 0 ' "$VOSTREL_BENCH_OUT/bench-cards.txt")
read -r _ _ slot1 _ < <(grep '^card 1 ' "$VOSTREL_BENCH_OUT/bench-cards.txt")

# "<vid:pid> <port count>" of the card listed at slot $1, or "absent".
listed_at() {
    "$cli" list --json | python3 -c '
import json, sys
cards = [c for c in json.load(sys.stdin)["cards"] if c["id"] == sys.argv[1]]
print("absent" if not cards else "%s:%s %d" % (cards[0]["vendor_id"], cards[0]["product_id"], len(cards[0]["ports"])))' "$1"
}

# "<vid:pid> <tty count>" of the USB device at slot $1 in the udev tree, or "absent".
on_bus_at() {
    local dev=$UMOCKDEV_DIR/sys/bus/usb/devices/$1 id ttys
    id=$(cat "$dev/idVendor" 2>/dev/null):$(cat "$dev/idProduct" 2>/dev/null)
    [ "$id" != ":" ] || { echo absent; return; }
    ttys=("$dev"/*/*/tty/tty*)       # interface / usb-serial port / tty
    [ -e "${ttys[0]}" ] || ttys=()
    echo "$id ${#ttys[@]}"
}

# Polls until $1 says $3 for slot $2, for at most $4 ms.
wait_for() {
    local deadline=$(( $(date +%s%3N) + $4 )) now
    until now=$("$1" "$2") && [ "$now" = "$3" ]; do
        [ "$(date +%s%3N)" -lt "$deadline" ] || fail "$1 $2: '$now', not '$3'"
        sleep 0.05
    done
}

[ "$(listed_at "$slot0")" = "1209:0001 2" ] || fail "card 0 is not listed at $slot0 at the start"
"$cli" close-autorun --port "${ports0%%,*}" --quiet || fail "close-autorun on card 0 ended with $?"
wait_for on_bus_at "$slot0" "1209:0002 1" 5000
case $(listed_at "$slot0") in absent|"1209:0002 1") ;; *) fail "card 0 still listed as a card";; esac
[ "$(listed_at "$slot1")" = "1209:0001 2" ] || fail "card 1 left $slot1"
grep -q "card 1 " "$VOSTREL_BENCH_EVENTS" && fail "card 1 moved: $(cat "$VOSTREL_BENCH_EVENTS")"
grep -q " card 0 left $slot0 1209:0001 " "$VOSTREL_BENCH_EVENTS" || fail "no 'left' in the event log"
grep -q " card 0 back $slot0 1209:0002 " "$VOSTREL_BENCH_EVENTS" || fail "no 'back' in the event log"
echo "bench-switch: card 0 left $slot0 and came back as a download device; card 1 stayed"
