#!/usr/bin/env python3
"""What vostrel-cli --wait may read of a card that blinked: dropped off the drivers' lists for a moment
and came back unchanged, without a switch.

A followed card has left only when two looks at its slot, the second begun at least LEFT_CONFIRM_MS
after the first was done, both missed it. Which looks fell inside the blink is known only afterwards:
the bench logs when the blink was asked for ("hiding", "showing") and when each change had been
written ("hidden", "shown"); the transcript logs each look ("# look at SLOT B..D ms: missing").
Both tie their times to the wall clock.

Prints "left: ..." when two such looks fell wholly inside the time the card was surely away,
"stays: ..." when no two such looks even touched the time it may have been away, and
"either: ..." in between.

usage: blink-reading.py BENCH-EVENTS TRANSCRIPT CARD SLOT
"""
import datetime
import re
import sys

LEFT_CONFIRM_MS = 1000   # cli/SwitchWatch.cpp, kLeftConfirmMs
SLACK_MS = 50            # the two programs' clocks and the tick count's resolution under Wine


def bench_times(path, card):
    epoch, events = None, {}
    for line in open(path):
        f = line.split()
        if f[1:3] == ["bench", "clock"]:
            epoch = int(f[3])
        elif len(f) > 3 and f[1] == "card" and f[2] == card and f[3] in ("hiding", "hidden", "showing", "shown"):
            events.setdefault(f[3], epoch + int(f[0]))
    return events


def looks(path, slot):
    started, found = None, []
    for line in open(path):
        m = re.match(r"# started (\S+)Z;", line)
        if m:
            started = datetime.datetime.fromisoformat(m.group(1)).replace(tzinfo=datetime.timezone.utc)
            started = int(started.timestamp() * 1000)
        m = re.match(r"# look at (\S+) (-?\d+)\.\.(-?\d+) ms: (listed|missing)", line)
        if m and m.group(1) == slot:
            found.append((started + int(m.group(2)), started + int(m.group(3)), m.group(4)))
    return found


def pair_apart(candidates):
    return any(b2[0] - b1[1] >= LEFT_CONFIRM_MS + SLACK_MS
               for i, b1 in enumerate(candidates) for b2 in candidates[i + 1:])


def main():
    events_path, transcript, card, slot = sys.argv[1:5]
    ev = bench_times(events_path, card)
    if len(ev) != 4:
        print(f"the bench's log lacks the blink's events: {ev}")
        return 1
    seen = looks(transcript, slot)
    if not seen:
        print("the transcript notes no look at slot " + slot)
        return 1
    surely = (ev["hidden"], ev["showing"])    # written away, and not yet asked back
    maybe = (ev["hiding"], ev["shown"])       # asked away, until written back
    inside = [l for l in seen if surely[0] + SLACK_MS <= l[0] and l[1] <= surely[1] - SLACK_MS]
    touching = [l for l in seen if l[0] - SLACK_MS <= maybe[1] and l[1] + SLACK_MS >= maybe[0]]
    away = f"away {maybe[1] - maybe[0]} ms at most, {max(0, surely[1] - surely[0])} ms surely; {len(seen)} looks"
    if pair_apart(inside):
        print(f"left: two looks {LEFT_CONFIRM_MS} ms apart inside the blink ({away})")
    elif not any(b2[0] - b1[1] >= LEFT_CONFIRM_MS - SLACK_MS
                 for i, b1 in enumerate(touching) for b2 in touching[i + 1:]):
        print(f"stays: no two looks {LEFT_CONFIRM_MS} ms apart could both miss it ({away})")
    else:
        print(f"either: ({away})")
    return 0


sys.exit(main())
