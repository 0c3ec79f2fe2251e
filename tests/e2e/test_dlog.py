"""End-to-end: the data log of the installed daemon polling the simulated
UPS on a pseudo-terminal. Nothing is shortened for the test: the minute
file is written at the first minute boundary at which the UPS's readings
are known, and the periodic CSV line ("Export Period=1") once a minute, so
the test waits for real minute boundaries (up to about two minutes each).

The simulated UPS (online) reports, in the units of the UPS record: battery
81.6 V, 1.2 A, 27 C, 100 %; input 50.0 Hz, 230.1 V, 3.1 A, 690 W; output
50.0 Hz, 230.0 V, 3.0 A, 675 W, 25 %; bypass 50.0 Hz, 230.2 V."""
import glob
import os
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
import harness  # noqa: E402
import upssim  # noqa: E402

INSTALL = harness.INSTALL
CSV = "/tmp/UPS.csv"
RECORD = 472
NO_MIN, NO_MAX = 1000000, -1

# Channels of the data log (index into the UPS record's measurements).
CHANNELS = [32, 33, 34, 35, 37, 38, 39, 40, 41, 42, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54,
            55, 56, 57, 58, 59, 61, 63, 64, 65, 66, 67, 68, 69, 70, 71, 72, 73, 74, 75, 76,
            77, 78, 79, 80, 81, 83, 84, 85, 86, 87, 88, 89, 90, 91, 92, 93, 94, 95]
EXPECTED = {32: 816, 33: 12, 34: 27, 35: 100, 45: 500, 46: 2301, 47: 31, 48: 690,
            61: 500, 63: 2300, 64: 30, 65: 675, 66: 25, 81: 500, 83: 2302, 84: 0, 85: 0}


def records(suffix):
    """[(path, [record])] of every data file of one resolution; a record is
    (month, day, year, hour, minute, second, mins, maxs). The file must begin
    with the magic 2012 and hold whole records."""
    out = []
    for path in sorted(glob.glob("%s/[0-9][0-9][0-9][0-9]/*_%s.DAT" % (INSTALL, suffix))):
        data = harness.read(path, "rb") or b""
        if len(data) < 4:
            continue
        assert struct.unpack("<i", data[:4])[0] == 2012, path
        assert (len(data) - 4) % RECORD == 0, "%s: %d bytes" % (path, len(data))
        recs = []
        for at in range(4, len(data), RECORD):
            head = data[at:at + 8]
            mins = struct.unpack("<58i", data[at + 8:at + 240])
            maxs = struct.unpack("<58i", data[at + 240:at + 472])
            recs.append(tuple(head[:6]) + (mins, maxs))
        out.append((path, recs))
    return out


def csv_lines():
    return (harness.read(CSV) or "").splitlines()


def data_lines():
    """The CSV lines that carry the simulated UPS's readings."""
    return [line for line in csv_lines()[2:] if ", 81.6,1.2,100,27,80,50.0,230.0," in line]


class DataLog(harness.DaemonTest):
    def setUp(self):
        super().setUp()
        self.sim = upssim.UpsSim(checksum=True, log_path="/tmp/upssim.log").start()
        self.addCleanup(self.sim.stop)
        harness.ensure_config()

    def test_minute_file_and_periodic_csv(self):
        self.assertFalse(os.path.exists(CSV))
        harness.config_set({"COM": {"COM Port=": 2, "COM Path=": self.sim.slave_path},
                            "Data Log": {"Maximum Storage=": 12, "Export Period=": 1, "Export Path=": "/tmp/"}})
        self.start_daemon()
        harness.wait_for(lambda: sum(f["mnemonic"] == "STB" for f in self.sim.frames()) >= 2, 30,
                         what="the UPS link")
        started = time.time()

        def known_minutes():
            return [(p, r) for p, recs in records("1MM") for r in recs if r[7][0] == 816]
        found = harness.wait_for(known_minutes, 150, interval=1, what="a minute record with the UPS's readings")
        path, rec = found[0]
        month, day, year, hour, minute, second, mins, maxs = rec
        # The file is the month's file of the record's own date, in its year's directory.
        self.assertEqual(path, "%s/%d/%d_1MM.DAT" % (INSTALL, 2000 + year, month))
        self.assertEqual(oct(os.stat(os.path.dirname(path)).st_mode & 0o777), "0o755")
        stamp = time.mktime((2000 + year, month, day, hour, minute, second, 0, 0, -1))
        self.assertLess(abs(stamp - time.time()), 180)
        for c, index in enumerate(CHANNELS):
            if index in EXPECTED:
                self.assertEqual((mins[c], maxs[c]), (EXPECTED[index], EXPECTED[index]), "value %d" % index)
        # Measurements the simulated UPS does not report stay without a value.
        for index in (37, 38, 39, 40):
            c = CHANNELS.index(index)
            self.assertEqual((mins[c], maxs[c]), (NO_MIN, NO_MAX), "value %d" % index)
        # The ten minutes in progress are kept as the last record of their file.
        tens = [r for _, recs in records("10MM") for r in recs]
        self.assertTrue(tens)
        self.assertEqual(tens[-1][7][0], 816)

        # The periodic CSV: model and header once, then a line each minute.
        harness.wait_for(lambda: len(data_lines()) >= 2, 150, interval=1, what="two CSV lines with readings")
        lines = csv_lines()
        # No line before the UPS's first answers: the model heads the file.
        self.assertEqual(lines[0], "Model: SIMUPS 3000", lines[:4])
        self.assertTrue(lines[1].startswith("Date (MM/DD/YYYY), Time(hh:mm:ss), Batt Volt(V), "), lines[1])
        self.assertTrue(lines[1].endswith(", By Pwr3(W)"), lines[1])
        self.assertEqual(sum(line.startswith("Model: ") for line in lines), 1)
        first, second_line = data_lines()[:2]
        self.assertEqual(first.split(", ", 2)[2],
                         "81.6,1.2,100,27,80,50.0,230.0,,,3.0,,,675,,,25,,,50.0,,,230.1,,,,,,3.1,,,690,,,"
                         "50.0,230.2,,,0.0,,,0,,,")
        times = [time.mktime(time.strptime(" ".join(line.split(", ")[:2]), "%m/%d/%Y %H:%M:%S"))
                 for line in (first, second_line)]
        self.assertAlmostEqual(times[1] - times[0], 60, delta=2)
        self.assertLess(abs(times[1] - time.time()), 120)
        self.assertLess(time.time() - started, 300)


if __name__ == "__main__":
    harness.main()
