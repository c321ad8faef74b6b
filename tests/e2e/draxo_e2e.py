#!/usr/bin/env python3
"""End-to-end tests: draxo + libdraxo.so + rexsim on a pseudo-terminal.

Run by CTest as `draxo_e2e.py --bin BUILD/bin [TestClass ...]`.
"""
import json
import os
import subprocess
import sys
import tempfile
import time
import unittest

BIN = None


def draxo(*args, cwd=None, timeout=60):
    """Runs draxo; returns (exit status, stdout, stderr)."""
    p = subprocess.run([os.path.join(BIN, "draxo"), *args], capture_output=True, text=True,
                       cwd=cwd, timeout=timeout)
    return p.returncode, p.stdout, p.stderr


def jsonl(text):
    return [json.loads(line) for line in text.splitlines() if line.strip()]


class Sim:
    """rexsim on a pty, with its trace on a file and, on request, a journal."""

    def __init__(self, *args, journal=False):
        self.dir = tempfile.TemporaryDirectory(prefix="draxo-e2e-")
        self.trace_path = os.path.join(self.dir.name, "trace.txt")
        self.journal_path = os.path.join(self.dir.name, "journal.jsonl") if journal else None
        cmd = [os.path.join(BIN, "rexsim"), "--trace", "--exit-after", "300", *args]
        if journal:
            cmd += ["--journal", self.journal_path]
        self.trace_file = open(self.trace_path, "w")
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=self.trace_file,
                                     text=True)
        path = self.proc.stdout.readline().strip()
        if not path:
            raise RuntimeError("rexsim printed no pty path")
        # The driver takes names of at most 11 characters.
        self.port = path if len(path) <= 11 else path[len("/dev/"):]

    def trace(self):
        with open(self.trace_path) as f:
            return f.read()

    def trace_of(self, fn):
        """Runs fn() and returns (its result, the trace lines it caused)."""
        before = len(self.trace())
        result = fn()
        time.sleep(0.05)
        return result, self.trace()[before:].splitlines()

    def journal(self):
        with open(self.journal_path) as f:
            return [json.loads(line) for line in f if line.strip()]

    def close(self):
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self.trace_file.close()
        self.dir.cleanup()


def hhmmss(text):
    """A controller's value text as the driver stores it."""
    if len(text) >= 6 and text[2] == "." and text[5] == ".":
        h, m, s = text.split(".")[:3]
        return float(int(h) * 10000 + int(m) * 100 + int(s))
    return float(text)


class PrefixGroups(unittest.TestCase):
    """Writes and reads of every prefix group reach the controller with the
    selectors of the segment gates in front, and read back what was written."""

    # (selects, gate, value written, value read back, request text)
    CASES = [
        ([], "01S1", "150", 150.0, "S1"),
        ([], "02S1", "80", 80.0, "S1"),
        ([], "01TR", "01:30:00", 13000.0, "TR"),
        (["0125=3"], "01RR", "12", 12.0, "PN03RR"),
        (["0125=4"], "01PE", "5", 5.0, "PN04PE"),
        (["0125=3", "0130=7"], "01LE", "200", 200.0, "PN03SN07LE"),
        (["0125=3", "0130=7"], "01TM", "01:30:00", 13000.0, "PN03SN07TM"),
        (["0125=2", "0135=5"], "01RE", "3", 3.0, "PN02TN05RE"),
        (["0125=2", "0135=16"], "01TF", "001030", 1030.0, "PN02TN16TF"),
        (["0141=2"], "01P1", "45", 45.0, "PO02P1"),
        (["0141=16"], "01OL", "5", 5.0, "PO16OL"),
        (["0149=1"], "01A1", "300", 300.0, "AN01A1"),
        (["0149=0"], "01A3", "40", 40.0, "AN00A3"),
    ]

    @classmethod
    def setUpClass(cls):
        cls.sim = Sim("--stations", "1,2", "--frozen")

    @classmethod
    def tearDownClass(cls):
        cls.sim.close()

    def test_write_then_read_back(self):
        for selects, gate, value, expected, request in self.CASES:
            with self.subTest(gate=gate, selects=selects):
                sel = [a for s in selects for a in ("--select", s)]
                line = ["--port", self.sim.port, "--stations", "1,2", *sel]
                (rc, out, err), trace = self.sim.trace_of(
                    lambda: draxo("write", *line, f"{gate}={value}", "--format", "jsonl"))
                self.assertEqual(rc, 0, out + err)
                addr = gate[:2]
                self.assertTrue(any(f"> EOT {addr} STX {request}" in t for t in trace), trace)

                (rc, out, err), trace = self.sim.trace_of(
                    lambda: draxo("read", *line, gate, "--format", "jsonl"))
                self.assertEqual(rc, 0, out + err)
                self.assertIn(f"> EOT {addr} {request} ENQ", trace)
                [sample] = jsonl(out)
                self.assertEqual(sample["result"], 0)
                self.assertEqual(sample["value"], expected)


class SegmentSelection(unittest.TestCase):
    """A segment gate written in one run changes the requests that follow."""

    @classmethod
    def setUpClass(cls):
        cls.sim = Sim("--stations", "1", "--frozen")

    @classmethod
    def tearDownClass(cls):
        cls.sim.close()

    def test_selectors_choose_the_request(self):
        for selects, request in [
            ([], "PN00SN00TM"),
            (["0130=2"], "PN00SN02TM"),
            (["0125=1", "0130=2"], "PN01SN02TM"),
            (["0130=16", "0125=9"], "PN09SN16TM"),
        ]:
            with self.subTest(selects=selects):
                sel = [a for s in selects for a in ("--select", s)]
                (rc, out, err), trace = self.sim.trace_of(
                    lambda: draxo("read", "--port", self.sim.port, *sel, "01TM", "0125", "0130"))
                self.assertEqual(rc, 0, out + err)
                reads = [t for t in trace if t.startswith("> EOT 01 ") and t.endswith("ENQ")]
                # The segment gates themselves never reach the line.
                self.assertEqual(reads, [f"> EOT 01 {request} ENQ"])

    def test_segment_write_in_a_write_list(self):
        (rc, out, err), trace = self.sim.trace_of(
            lambda: draxo("write", "--port", self.sim.port, "0125=4", "01RR=7", "0125=5",
                          "01RR=8"))
        self.assertEqual(rc, 0, out + err)
        writes = [t.split(" ETX")[0] for t in trace if " STX " in t and t.startswith(">")]
        self.assertEqual(writes, ["> EOT 01 STX PN04RR000007", "> EOT 01 STX PN05RR000008"])

    def test_segment_value_above_16_is_refused(self):
        (rc, out, err), trace = self.sim.trace_of(
            lambda: draxo("write", "--port", self.sim.port, "0130=17", "--format", "jsonl"))
        self.assertEqual(rc, 1)
        [sample] = jsonl(out)
        self.assertEqual(sample["result"], 1)
        self.assertIn("> 16", sample["detail"])
        self.assertEqual([t for t in trace if t.startswith(">")], [])


class DeadStation(unittest.TestCase):
    """A declared station that the simulator does not answer for."""

    @classmethod
    def setUpClass(cls):
        cls.sim = Sim("--stations", "1")

    @classmethod
    def tearDownClass(cls):
        cls.sim.close()

    def test_read_gives_no_answer_after_four_attempts(self):
        start = time.monotonic()
        (rc, out, err), trace = self.sim.trace_of(
            lambda: draxo("read", "--port", self.sim.port, "--stations", "1,5", "--timeout", "30",
                          "05M1", "01M1", "--format", "jsonl"))
        elapsed = time.monotonic() - start
        self.assertEqual(rc, 1, out + err)
        dead, alive = jsonl(out)
        self.assertEqual((dead["gate"], dead["result"], dead["status"]),
                         ("05M1", 2, "2 no answer"))
        self.assertIsNone(dead["value"])
        self.assertEqual(alive["result"], 0)
        self.assertEqual(len([t for t in trace if t.startswith("> EOT 05 M1 ENQ")]), 4)
        self.assertLess(elapsed, 10)

    def test_poll_demotes_the_dead_station_and_keeps_the_live_one(self):
        rc, out, err = draxo("poll", "--port", self.sim.port, "--stations", "1,5", "--timeout",
                             "20", "--interval", "20", "--count", "30", "01M1", "05M1",
                             "--format", "jsonl")
        self.assertEqual(rc, 1, err)
        samples = jsonl(out)
        live = [s for s in samples if s["gate"] == "01M1"]
        dead = [s for s in samples if s["gate"] == "05M1"]
        self.assertEqual(len(live), 30)
        self.assertTrue(all(s["result"] == 0 for s in live))
        self.assertTrue(all(s["result"] == 2 for s in dead))
        # Three silent rounds, then probes every 10th and 20th round.
        self.assertLess(len(dead), 8)
        self.assertEqual(err.count("station 05 offline"), 1, err)


class FaultInjection(unittest.TestCase):
    """On a line with faults every value the tool reports as good is one
    the simulator sent for that gate."""

    def test_good_reads_carry_sent_values(self):
        # Late answers come within the reply time-out here. An answer later
        # than the time-out can land in the wait for the next request, and a
        # reply names no station: "S1 0080.0" from station 2 then reads as
        # station 1's S1. No host can tell; that case is left out on purpose.
        sim = Sim("--stations", "1,2", "--frozen", "--seed", "11", "--faults", "0.03",
                  "--late-ms", "40", journal=True)
        try:
            # Distinct values, so that a reply taken for the wrong gate shows.
            rc, out, err = draxo("write", "--port", sim.port, "01S1=150", "02S1=80", "01A1=300")
            self.assertEqual(rc, 0, out + err)
            gates = {"01M1": (1, "M1"), "01S1": (1, "S1"), "02S1": (2, "S1"),
                     "01TM": (1, "PN00SN00TM"), "01A1": (1, "AN00A1")}
            rc, out, err = draxo("poll", "--port", sim.port, "--timeout", "60", "--interval",
                                 "0", "--count", "60", *gates, "--format", "jsonl", timeout=240)
            samples = jsonl(out)
            journal = sim.journal()
        finally:
            sim.close()
        sent = {}
        for rec in journal:
            if rec.get("value") is not None:
                sent.setdefault((rec["addr"], rec["text"]), set()).add(hhmmss(rec["value"]))
        self.assertEqual(len(sent[(1, "S1")] & sent[(2, "S1")]), 0)
        good = [s for s in samples if s["result"] == 0]
        failed = [s for s in samples if s["result"] != 0]
        self.assertEqual(len(samples), 60 * len(gates))
        self.assertGreater(len(good), len(samples) // 2)
        for s in good:
            self.assertIn(s["value"], sent.get(gates[s["gate"]], set()), s)
        # Faults were drawn, and never reported as values.
        self.assertTrue(any(r.get("fault") for r in journal))
        self.assertEqual(rc, 1 if failed else 0)


class InitFileAndScan(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.sim = Sim("--stations", "1,2", "--frozen")

    @classmethod
    def tearDownClass(cls):
        cls.sim.close()

    def test_user_init_files_are_left_alone(self):
        with tempfile.TemporaryDirectory() as cwd:
            mine = os.path.join(cwd, "DRAXO01.INT")
            with open(mine, "w") as f:
                f.write("9 = P200\n")
            rc, out, err = draxo("read", "--port", self.sim.port, "--stations", "1", "01M1",
                                 cwd=cwd)
            self.assertEqual(rc, 0, out + err)
            self.assertEqual(os.listdir(cwd), ["DRAXO01.INT"])
            with open(mine) as f:
                self.assertEqual(f.read(), "9 = P200\n")

    def test_init_file_option(self):
        with tempfile.TemporaryDirectory() as d:
            init = os.path.join(d, "plant.int")
            with open(init, "w") as f:
                f.write("IFG = 5\n2 = P200\n")
            rc, out, err = draxo("read", "--port", self.sim.port, "--init", init, "02M1", "01M1",
                                 "--format", "jsonl")
            self.assertEqual(rc, 1)
            good, undeclared = jsonl(out)
            self.assertEqual(good["result"], 0)
            self.assertEqual(undeclared["status"], "refused")
            self.assertIn("not defined", undeclared["detail"])

    def test_scan_finds_the_stations_and_writes_an_init_file(self):
        with tempfile.TemporaryDirectory() as d:
            target = os.path.join(d, "DRAXO.INT")
            rc, out, err = draxo("scan", "--port", self.sim.port, "--timeout", "20",
                                 "--write-init", target, "--format", "jsonl")
            self.assertEqual(rc, 0, err)
            answering = [s["gate"] for s in jsonl(out) if s["result"] == 0]
            self.assertEqual(answering, ["01M1", "02M1"])
            with open(target) as f:
                lines = [l for l in f.read().splitlines() if not l.startswith(";")]
            self.assertEqual(lines, ["1 = P200", "2 = P200"])


class UsageAndStartup(unittest.TestCase):
    """Mistakes end with status 2 and a message, before anything is sent."""

    CASES = [
        (["read", "--port", "/dev/pts/123456", "01M1"], "at most 11"),
        (["read", "01M1"], "--port"),
        (["read", "--port", "pts/0", "--parity", "weird", "01M1"], "parity"),
        (["read", "--port", "pts/0", "--baud", "115200", "01M1"], "65535"),
        (["read", "--port", "pts/0", "--timeout", "0", "01M1"], "time-out"),
        (["read", "--port", "pts/0", "--stations", "1,16", "01M1"], "0..15"),
        (["read", "--port", "no/such/tty", "01M1"], "cannot open port"),
        (["write", "--port", "pts/0", "01S1"], "GATE=VALUE"),
        (["read", "--port", "pts/0", "--driver", "/nonexistent/libdraxo.so", "01M1"],
         "cannot load"),
        (["frobnicate"], ""),
    ]

    def test_usage_errors(self):
        for args, message in self.CASES:
            with self.subTest(args=args):
                rc, out, err = draxo(*args)
                self.assertEqual(rc, 2, out + err)
                self.assertIn(message, err)

    def test_bad_values_stop_every_write(self):
        sim = Sim("--stations", "1", "--frozen")
        try:
            for value in ["abc", "nan", "inf", "1e", "01:61:00"]:
                with self.subTest(value=value):
                    (rc, out, err), trace = sim.trace_of(
                        lambda: draxo("write", "--port", sim.port, "01S1=100",
                                      f"01TR={value}"))
                    self.assertEqual(rc, 2, out + err)
                    # Not even the good first write went out.
                    self.assertEqual([t for t in trace if t.startswith(">")], [])
        finally:
            sim.close()


class Demo(unittest.TestCase):

    def test_demo_runs_and_stops_its_simulator(self):
        with tempfile.TemporaryDirectory() as d:
            # The simulator behind a wrapper that notes its process id.
            pidfile = os.path.join(d, "pid")
            wrapper = os.path.join(d, "rexsim")
            with open(wrapper, "w") as f:
                f.write(f"#!/bin/sh\necho $$ > {pidfile}\nexec {os.path.join(BIN, 'rexsim')} \"$@\"\n")
            os.chmod(wrapper, 0o755)
            rc, out, err = draxo("demo", "--seconds", "1", "--rexsim", wrapper, timeout=60)
            self.assertEqual(rc, 0, out + err)
            self.assertIn("PN01SN02TM", out)
            self.assertIn("Done.", out)
            with open(pidfile) as f:
                pid = int(f.read())
            self.assertFalse(os.path.exists(f"/proc/{pid}"), "the simulator is still running")


if __name__ == "__main__":
    args = sys.argv[1:]
    if len(args) < 2 or args[0] != "--bin":
        sys.exit("usage: draxo_e2e.py --bin BUILD/bin [TestClass ...]")
    BIN = args[1]
    unittest.main(argv=[sys.argv[0], "-v", *args[2:]])
