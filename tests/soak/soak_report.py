#!/usr/bin/env python3
"""Judges a soak run's records (see soak.sh) and prints its summary table; exit 0 when all passed.

A period is judged on the samples in its later part: from one monitor pass after the card changed to
the next change. Samples taken while a command could still hold the window (from its click to one
pass after the monitor resumed) do not count; a period left with none of its own is judged by the
command's outcome instead.
"""
import argparse
import sys

# The driver's sample fields name controls and bitmaps as res/resource.h does.
READY = {"picture": "IDB_READY", "enabled:IDC_ENTER_DOWNLOAD": "1", "enabled:IDC_EXIT_DOWNLOAD": "1",
         "text:IDC_PORT_LIST": "COM 5"}
SEARCHING = {"picture": "IDB_SEARCHING", "enabled:IDC_ENTER_DOWNLOAD": "0", "enabled:IDC_EXIT_DOWNLOAD": "0",
             "text:IDC_STATUS_LINE": "Searching..."}
BOX_TEXTS = {
    ("close", "Success"): "Close autorun and enter download success!",
    ("close", "Error"): "Close autorun and enter download fail!",
    ("open", "Success"): "Open autorun and exit download success!",
    ("open", "Error"): "Open autorun and exit download fail!",
}
CARD_AFTER = {"close": "autorun=0,download=1", "open": "autorun=1,download=0"}
FIRST_COMMAND = {"close": "AT+YCDRUN=E", "open": "AT+YCDRUN=F"}
# Handles and threads may differ by this many at the moment of sampling (a port between its close
# and reopen); a leak of one per cycle or per command is far beyond it.
COUNT_SLACK = 2
TOLERANCE = 0.05


def read_lines(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return [line.rstrip("\r\n") for line in f]
    except OSError:
        return []


def read_periods(path):
    rows = [line.split() for line in read_lines(path) if line.strip()]
    periods = []
    for row, following in zip(rows, rows[1:]):
        if following[1] == "stopped":
            break   # cut short by the end of the run: too short to judge
        periods.append({"index": int(row[0]), "state": row[1], "start": int(row[2]), "end": int(following[2]),
                        "lines": (int(row[3]), int(following[3]))})
    return periods


def read_samples(path):
    samples = []
    for line in read_lines(path):
        fields = line.rstrip("\r").split("\t")
        if len(fields) < 2 or fields[0] != "sample":
            continue
        sample = {"ms": int(fields[1])}
        for field in fields[2:]:
            key, _, value = field.partition("=")
            sample[key] = value
        samples.append(sample)
    return samples


def read_commands(path):
    commands = []
    for line in read_lines(path):
        head, _, text = line.partition(" | ")
        kind, click, box, dismissed, title, state, lines_click, lines_box = head.split()
        commands.append({"kind": kind, "click": int(click), "box": int(box), "dismissed": int(dismissed),
                         "title": title, "state": state, "lines": (int(lines_click), int(lines_box)),
                         "text": text.strip()})
    return commands


def read_stats(path):
    stats = {}
    for line in read_lines(path):
        parts = line.split(" ", 3)
        if len(parts) == 4:
            stats[(parts[0], parts[1])] = (parts[2], parts[3])
    return stats


def matches(sample, wanted):
    return all(sample.get(key) == value for key, value in wanted.items())


# A command cut short by the card going away may still report success once the card has answered its
# first command: the later ones may go unanswered by a card that is already switching modes, which
# the program cannot tell from a card pulled out. With the card plugged in throughout, a success must
# leave the card in the command's state.
def judge_commands(commands, periods, received, failures):
    counts = {"run": len(commands), "Success": 0, "Error": 0, "hung": 0, "cut_success": 0}
    toggles = [p["end"] for p in periods]
    for c in commands:
        if c["title"] == "none":
            counts["hung"] += 1
            failures.append(f"{c['kind']} command at {c['click']}: no box")
            continue
        counts[c["title"]] += 1
        wanted = BOX_TEXTS.get((c["kind"], c["title"]))
        if c["text"] != wanted:
            failures.append(f"{c['kind']} command at {c['click']}: {c['title']} box says '{c['text']}'")
        cut = any(c["click"] <= t <= c["box"] for t in toggles)
        first, last = c["lines"]
        if c["title"] == "Success" and cut:
            counts["cut_success"] += 1
            if FIRST_COMMAND[c["kind"]] not in received[first:last]:
                failures.append(f"{c['kind']} command at {c['click']}: Success, but the card never got "
                                f"{FIRST_COMMAND[c['kind']]}")
        elif c["title"] == "Success" and c["state"] != CARD_AFTER[c["kind"]]:
            failures.append(f"{c['kind']} command at {c['click']}: Success, but the card is left {c['state']}")
        if c["title"] == "Error" and not cut:
            failures.append(f"{c['kind']} command at {c['click']}: Error although the card stayed plugged in")
    return counts


def judge_periods(periods, samples, commands, received, args, failures):
    influence = [(c["click"], (c["dismissed"] or c["click"] + 30000) + args.resume_ms + args.pass_ms)
                 for c in commands]
    result = {"periods": len(periods), "judged": 0, "by_command": 0, "mismatches": 0, "no_probes": 0,
              "stray": 0}
    for p in periods:
        if p["state"] not in ("plugged", "unplugged"):
            continue
        wanted, other = (READY, SEARCHING) if p["state"] == "plugged" else (SEARCHING, READY)
        lo, hi = p["start"] + args.pass_ms, p["end"]
        held = [(a, b) for a, b in influence if a < hi and b > p["start"]]
        own = [s for s in samples if lo <= s["ms"] < hi and not any(a <= s["ms"] <= b for a, b in held)]
        if p["state"] == "plugged":
            first, last = p["lines"]
            probes = sum(1 for line in received[first:last] if line == "AT")
            if probes == 0 and not held:
                result["no_probes"] += 1
                failures.append(f"period {p['index']} (plugged): the card saw no probe")
        if own:
            result["judged"] += 1
            result["stray"] += sum(1 for s in own if matches(s, other))
            if not any(matches(s, wanted) for s in own):
                result["mismatches"] += 1
                seen = ", ".join(f"{s.get('picture')}/{s.get('enabled:IDC_ENTER_DOWNLOAD')}"
                                 f"{s.get('enabled:IDC_EXIT_DOWNLOAD')}/{s.get('text:IDC_PORT_LIST')}/"
                                 f"{s.get('text:IDC_STATUS_LINE')}" for s in own)
                failures.append(f"period {p['index']} ({p['state']}, {len(own)} samples): never showed the "
                                f"{'Ready!' if wanted is READY else 'Searching...'} state; saw {seen}")
        elif held:
            result["by_command"] += 1   # its command's own checks decide it
        else:
            result["mismatches"] += 1
            failures.append(f"period {p['index']} ({p['state']}): no sample in its later part")
    return result


def judge_stats(stats, failures):
    rows = []
    for figure in ("handles", "threads", "working_set", "private_bytes", "vmrss", "fds"):
        first, end = stats.get(("first", figure)), stats.get(("end", figure))
        if not first or not end:
            failures.append(f"{figure}: not measured at both moments")
            rows.append((figure, "-", "-", "-", "missing", ""))
            continue
        source = first[1]
        if not first[0].isdigit() or not end[0].isdigit():
            rows.append((figure, first[0], end[0], "-", "n/a", source))
            continue
        a, b = int(first[0]), int(end[0])
        allowed = a * TOLERANCE
        if figure in ("handles", "threads", "fds"):
            allowed = max(allowed, COUNT_SLACK)
        ok = abs(b - a) <= allowed
        change = f"{(b - a) * 100.0 / a:+.1f}%" if a else "-"
        if not ok:
            failures.append(f"{figure}: {a} after the first minute, {b} at the end ({change})")
        rows.append((figure, str(a), str(b), change, "ok" if ok else "FAIL", source))
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--toggle-ms", type=int, required=True)
    parser.add_argument("--pass-ms", type=int, required=True)
    parser.add_argument("--resume-ms", type=int, required=True)
    parser.add_argument("--transcript", required=True)
    parser.add_argument("--harness-failures", type=int, default=0)
    args = parser.parse_args()

    periods = read_periods(f"{args.dir}/periods.txt")
    samples = read_samples(f"{args.dir}/samples.txt")
    commands = read_commands(f"{args.dir}/commands.txt")
    stats = read_stats(f"{args.dir}/stats.txt")
    # The card's command lines, without their times.
    received = [line.split(" ", 1)[1].strip() if " " in line else "" for line in read_lines(args.transcript)]
    failures = []

    counts = judge_commands(commands, periods, received, failures)
    judged = judge_periods(periods, samples, commands, received, args, failures)
    rows = judge_stats(stats, failures)

    print(f"{'figure':<14} {'first minute':>14} {'end':>14} {'change':>8}  verdict  source")
    for figure, a, b, change, verdict, source in rows:
        print(f"{figure:<14} {a:>14} {b:>14} {change:>8}  {verdict:<7}  {source}")
    plugged = sum(1 for p in periods if p["state"] == "plugged")
    unplugged = sum(1 for p in periods if p["state"] == "unplugged")
    print(f"cycles (plugged/unplugged periods): {min(plugged, unplugged)} ({plugged}/{unplugged}), "
          f"samples: {len(samples)}")
    print(f"commands run: {counts['run']}, Success: {counts['Success']}, Error: {counts['Error']}, "
          f"no box (hang): {counts['hung']}; cut short by the card going away yet Success: "
          f"{counts['cut_success']}")
    print(f"periods judged by samples: {judged['judged']}, by command outcome: {judged['by_command']}, "
          f"state mismatches: {judged['mismatches']}, plugged periods without probes: {judged['no_probes']}, "
          f"samples showing the other state in a judged part: {judged['stray']}")
    print(f"harness check failures: {args.harness_failures}")
    for failure in failures:
        print(f"FAIL: {failure}")
    ok = not failures and args.harness_failures == 0
    print("soak: PASS" if ok else "soak: FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
