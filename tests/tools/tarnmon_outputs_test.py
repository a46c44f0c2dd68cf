#!/usr/bin/python3
"""tarnmon's outputs read by the tools people feed them to, with a TARN server (tarnsim) in a second
process whose instance names need escaping: Prometheus and OpenMetrics through promtool and the Python
client's parsers, a file rewritten under a reader that polls it, typeperf's CSV layout with its time
zone, and --list.

    tarnmon_outputs_test.py --runner <wine-run.sh> --tarnmon <exe> --tarnsim <exe> --provider <dll>"""
import argparse
import csv
import datetime
import io
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest
import zoneinfo

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_exposition  # noqa: E402

from prometheus_client.openmetrics.parser import text_string_to_metric_families as parse_openmetrics  # noqa: E402

ARGS = None
SERVICE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\TARN"
FIRST_COUNTER = 7000
OBJECT = "www.brindle.example:TARN"
# A quote and backslashes, letters beyond ASCII, a line break: each at most 25 characters.
NAMES = ['say "hi" \\ back\\slash', "Zürich Ωμέγα 東京", "two\nlines"]
# Zones as Windows names them (standard, daylight), with the zone database's name.
ZONES = {"Asia/Kolkata": ("India Standard Time", "India Daylight Time"),
         "America/St_Johns": ("Newfoundland Standard Time", "Newfoundland Daylight Time")}


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run(*args, env=None):
    """Runs a program to its end. Its output goes through files, not pipes: a Wine service that the
    program happens to start inherits its handles and would hold a pipe open long after it ended."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        process = subprocess.Popen([ARGS.runner, *args], stdout=out, stderr=err, stdin=subprocess.DEVNULL, env=env)
        try:
            process.wait(120)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            out.seek(0)
            raise RuntimeError(f"{args} did not end within 120 s; it wrote: {out.read()[-2000:]!r}")
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(args, process.returncode, out.read(), err.read())


def tarnmon(*args, env=None):
    return run(ARGS.tarnmon, *args, env=env)


def reg(*args):
    return run("reg", *args)


class TarnMonOutputs(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        reg("delete", SERVICE_KEY, "/f")
        key = SERVICE_KEY + r"\Performance"
        for name, kind, data in (("Library", "REG_SZ", windows_path(ARGS.provider)), ("Open", "REG_SZ", "PerfData_Open"),
                                 ("Collect", "REG_SZ", "PerfData_Collect"), ("Close", "REG_SZ", "PerfData_Close"),
                                 ("First Counter", "REG_DWORD", str(FIRST_COUNTER))):
            if reg("add", key, "/v", name, "/t", kind, "/d", data, "/f").returncode != 0:
                raise RuntimeError(f"could not register the provider ({name})")
        cls.idle = {fmt: tarnmon("--format", fmt) for fmt in ("prometheus", "openmetrics")}
        cls.idle_list = tarnmon("--list")
        cls.folder = tempfile.TemporaryDirectory()
        cls.sim_log = open(os.path.join(cls.folder.name, "tarnsim.log"), "w+b")
        cls.sim = subprocess.Popen([ARGS.runner, ARGS.tarnsim, "--seconds", "300", *NAMES],
                                   stdout=cls.sim_log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while True:
            cls.sim_log.seek(0)
            said = cls.sim_log.read()
            if b"serving" in said:
                break
            if cls.sim.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("tarnsim did not start: " + said.decode("utf-8", "replace"))
            time.sleep(0.1)

    @classmethod
    def tearDownClass(cls):
        cls.sim.terminate()
        cls.sim.wait(30)
        cls.sim_log.close()
        cls.folder.cleanup()
        reg("delete", SERVICE_KEY, "/f")

    def assertRan(self, result):
        self.assertEqual(0, result.returncode, result.stderr.decode("utf-8", "replace"))
        return result.stdout.decode("utf-8")

    def test_expositions_pass_the_checkers_with_a_server(self):
        for fmt in ("prometheus", "openmetrics"):
            with self.subTest(fmt):
                families = {f.name: f for f in check_exposition.parse(self.assertRan(tarnmon("--format", fmt)), fmt)}
                if fmt == "prometheus":
                    check_exposition.promtool(self.assertRan(tarnmon("--format", fmt)))
                self.assertEqual([1], [s.value for s in families.pop("tarn_up").samples])
                self.assertIn("tarn_received_bytes", families)
                for family in families.values():
                    self.assertEqual(sorted(NAMES), sorted(s.labels["server"] for s in family.samples), family.name)
                    for sample in family.samples:
                        self.assertEqual(["server"], list(sample.labels))
                        self.assertEqual(family.type == "counter", sample.name.endswith("_total"), sample.name)
                        self.assertTrue(family.documentation, family.name)

    def test_a_server_that_is_not_running_is_a_value(self):
        for fmt, result in self.idle.items():
            with self.subTest(fmt):
                text = self.assertRan(result)
                if fmt == "prometheus":
                    check_exposition.promtool(text)
                families = check_exposition.parse(text, fmt)
                self.assertEqual([("tarn_up", 0)], [(f.name, s.value) for f in families for s in f.samples])
        listing = self.assertRan(self.idle_list)
        self.assertIn("Instances (0): none, the TARN server is not running", listing)

    def test_output_file_is_always_whole_under_a_polling_reader(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "tarn.prom")
            said = tempfile.TemporaryFile()
            self.addCleanup(said.close)
            writer = subprocess.Popen([ARGS.runner, ARGS.tarnmon, "--format", "openmetrics", "--output",
                                       windows_path(path), "--interval", "1", "--samples", "6"],
                                      stdout=said, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
            reads, contents = 0, set()
            deadline = time.monotonic() + 120
            while writer.poll() is None and time.monotonic() < deadline:
                try:
                    with open(path, "rb") as file:
                        data = file.read()
                except FileNotFoundError:
                    continue
                reads += 1
                contents.add(data)
                self.assertTrue(data.endswith(b"\n# EOF\n"), data[-200:])
                self.assertFalse(data.startswith(b"\xef\xbb\xbf") or b"\r" in data)
                parse_openmetrics(data.decode("utf-8"))
            said.seek(0)
            self.assertEqual(0, writer.wait(60), said.read())
            self.assertGreater(reads, 20)
            self.assertGreater(len(contents), 2, "the file was rewritten with new values")
            self.assertEqual(["tarn.prom"], os.listdir(folder), "no temporary file is left behind")

    def test_csv_has_typeperfs_layout_and_time_zone(self):
        for zone, (standard, daylight) in ZONES.items():
            with self.subTest(zone), tempfile.TemporaryDirectory() as folder:
                path = os.path.join(folder, "tarn.csv")
                result = tarnmon("--format", "csv", "--counter", "Connections Active", "--samples", "2",
                                 "--interval", "1", "--output", windows_path(path), env=dict(os.environ, TZ=zone))
                self.assertRan(result)
                now = datetime.datetime.now(zoneinfo.ZoneInfo(zone))
                with open(path, "rb") as file:
                    data = file.read()
                self.assertNotIn(b"\r\n", data)
                header, *rows = list(csv.reader(io.StringIO(data.decode("utf-8"), newline="")))
                bias = -int(now.utcoffset().total_seconds() // 60)
                name = daylight if now.dst() else standard
                self.assertEqual(f"(PDH-CSV 4.0) ({name})({bias})", header[0])
                paths = [re.fullmatch(r"\\\\([^\\]+)\\" + re.escape(OBJECT) + r"\((.*)\)\\Connections Active",
                                      cell, re.S) for cell in header[1:]]
                self.assertTrue(all(paths), header)
                self.assertEqual(NAMES, [match.group(2) for match in paths])
                self.assertEqual(2, len(rows))
                for row in rows:
                    self.assertEqual(len(header), len(row))
                    stamp = datetime.datetime.strptime(row[0], "%m/%d/%Y %H:%M:%S.%f")
                    self.assertRegex(row[0], r"^\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3}$")
                    self.assertLess(abs((now.replace(tzinfo=None) - stamp).total_seconds()), 60)
                    for value in row[1:]:
                        self.assertRegex(value, r"^\d+\.\d{6}$")
                quoted = data.split(b"\n")[2].split(b",")
                self.assertTrue(all(cell.startswith(b'"') and cell.endswith(b'"') for cell in quoted), quoted)

    def test_list_shows_counters_and_present_instances(self):
        listing = self.assertRan(tarnmon("--list")).replace("\r\n", "\n")
        self.assertTrue(listing.startswith(f'Object "{OBJECT}"\n'), listing[:200])
        self.assertIn("Counters (26):\n", listing)
        self.assertIn("  Bytes In/sec\n    type PERF_COUNTER_BULK_COUNT (0x10410500, rate per second of a 64-bit "
                      "count), default scale 10^-4\n    The number of bytes into the server per second\n", listing)
        instances = listing.split("\nInstances (3):\n", 1)[1]
        self.assertEqual("".join(f'  "{name}"\n' for name in NAMES), instances)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for option in ("--runner", "--tarnmon", "--tarnsim", "--provider"):
        parser.add_argument(option, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
