#!/usr/bin/env python3
"""The soak run's judgement on made-up records: python3 tests/soak/test_soak_report.py"""
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import soak_report  # noqa: E402

READY = ("main=1\tpicture=IDB_READY\tenabled:IDC_ENTER_DOWNLOAD=1\tenabled:IDC_EXIT_DOWNLOAD=1\tindex:IDC_PORT_LIST=5"
         "\ttext:IDC_PORT_LIST=COM 5\ttext:IDC_STATUS_LINE=Setting using Modem port.\tbox=none")
SEARCHING = ("main=1\tpicture=IDB_SEARCHING\tenabled:IDC_ENTER_DOWNLOAD=0\tenabled:IDC_EXIT_DOWNLOAD=0\tindex:IDC_PORT_LIST=5"
             "\ttext:IDC_PORT_LIST=COM 5\ttext:IDC_STATUS_LINE=Searching...\tbox=none")
STATS_OK = {"handles": (64, 64), "threads": (2, 2), "working_set": (1000, 1000), "private_bytes": (500, 500),
            "vmrss": (1000, 1000), "fds": (21, 21)}


def run_report(periods, samples, commands=(), stats=None, transcript=("0 AT", "1 AT", "2 AT", "3 AT")):
    with tempfile.TemporaryDirectory() as directory:
        def write(name, lines):
            with open(os.path.join(directory, name), "w") as f:
                f.write("".join(line + "\n" for line in lines))
        write("periods.txt", periods)
        write("samples.txt", [f"sample\t{ms}\t{fields}\r" for ms, fields in samples])
        write("commands.txt", commands)
        write("stats.txt", [f"{when} {figure} {values[i]} source" for figure, values in (stats or STATS_OK).items()
                            for i, when in enumerate(("first", "end"))])
        write("MODEM.transcript", transcript)
        result = subprocess.run([sys.executable, soak_report.__file__, "--dir", directory, "--toggle-ms", "7000",
                                 "--pass-ms", "4900", "--resume-ms", "1000", "--transcript",
                                 os.path.join(directory, "MODEM.transcript")], capture_output=True, text=True)
        return result.returncode, result.stdout


def failures(out):
    return [line for line in out.splitlines() if line.startswith("FAIL: ")]


class CVerdict(unittest.TestCase):
    # A failing case must fail for exactly one reason, so that it fails for the one it is about.
    def assertVerdict(self, result, status):
        self.assertEqual(result[0], status, result[1])
        self.assertEqual(len(failures(result[1])), status, result[1])


# Two whole periods (plugged 0-7 s with probes in lines 0-2, unplugged 7-14 s) and a cut-short third.
PERIODS = ["0 plugged 0 0", "1 unplugged 7000 2", "2 plugged 14000 2", "end stopped 15000 4"]


class PeriodJudgement(CVerdict):
    # Each period must show its state at least once between one pass after the change and the next.
    def test_periods(self):
        cases = [
            ("both shown late in their periods", [(6000, READY), (13000, SEARCHING)], 0),
            ("Ready! only within the first pass does not count", [(4000, READY), (6000, SEARCHING),
                                                                   (13000, SEARCHING)], 1),
            ("stale Ready! through the unplugged period", [(6000, READY), (12000, READY), (13500, READY)], 1),
            ("no sample in a later part", [(6000, READY)], 1),
            ("the cut-short last period is not judged", [(6000, READY), (13000, SEARCHING), (14500, SEARCHING)], 0),
        ]
        for name, samples, status in cases:
            with self.subTest(name):
                self.assertVerdict(run_report(PERIODS, samples), status)

    # A plugged period in which the card saw no "AT" fails even when the window looks right.
    def test_plugged_period_needs_probes(self):
        status, out = run_report(PERIODS, [(6000, READY), (13000, SEARCHING)], transcript=("0 AT+CGMM", "1 X"))
        self.assertEqual(status, 1)
        self.assertIn("the card saw no probe", out)


class CommandJudgement(CVerdict):
    # A command held the window: the period goes by the command's box, which must fit the card.
    def test_commands(self):
        samples = [(13000, SEARCHING)]
        cases = [
            ("success with the card switched", "close 1000 6000 6200 Success autorun=0,download=1 0 2", 0),
            ("success with the card unchanged", "close 1000 6000 6200 Success autorun=1,download=0 0 2", 1),
            ("error while the card stayed plugged", "close 1000 6000 6200 Error autorun=1,download=0 0 2", 1),
            ("error when the card went away", "close 5000 8000 8200 Error autorun=1,download=0 0 2", 0),
            ("cut-short success after the first command", "close 5000 8000 8200 Success autorun=0,download=0 0 4", 0),
            ("cut-short success without it", "open 5000 8000 8200 Success autorun=0,download=0 0 2", 1),
            ("no box at all", "open 1000 0 0 none - 0 2", 1),
        ]
        transcript = ("0 AT", "1 AT", "2 AT+YCDRUN=E", "3 AT")
        for name, command, status in cases:
            text = soak_report.BOX_TEXTS.get((command.split()[0], command.split()[4]), "")
            with self.subTest(name):
                self.assertVerdict(run_report(PERIODS, samples, [f"{command} | {text}"], transcript=transcript), status)


class FigureJudgement(CVerdict):
    # Within 5% of the first minute's figure; counts may also differ by 2.
    def test_figures(self):
        cases = [
            ("steady", {}, 0),
            ("handles within 5%", {"handles": (64, 67)}, 0),
            ("handles beyond 5%", {"handles": (64, 68)}, 1),
            ("a thread more is within the slack", {"threads": (2, 4)}, 0),
            ("three threads more", {"threads": (2, 5)}, 1),
            ("memory grown 6%", {"private_bytes": (500, 530)}, 1),
            ("a figure Wine does not give", {"private_bytes": ("unsupported", "unsupported")}, 0),
        ]
        for name, change, status in cases:
            with self.subTest(name):
                stats = dict(STATS_OK, **change)
                self.assertVerdict(run_report(PERIODS, [(6000, READY), (13000, SEARCHING)], stats=stats), status)


if __name__ == "__main__":
    unittest.main()
