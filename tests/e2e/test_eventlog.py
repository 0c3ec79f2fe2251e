"""End-to-end: the service's own events in the installed daemon's event log:
the start, the listeners' states (free text, level 0), the "stop" command's
SIGINT (logged, the service goes on) and the stop on SIGTERM; and the
trim of a full log at start, which removes exactly its oldest records
whatever their date form or text."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

EVENT_LOG = harness.INSTALL + "/_FILE_LOG.TXT"
BOUND, TRIMMED = 10000, 2500  # records the log holds at most; the oldest that go past it


def full_log():
    """BOUND records, one a minute: year/month/day dates (as older logs and
    hand-kept ones have them) for 1500 records past the TRIMMED oldest, and
    texts that quote a record head (an SMTP reply, a shutdown client's
    name, an event text) on both sides of the cut."""
    quoting = [
        "-1 2 {d} {t} Mail of level 2 (Warning) refused by 127.0.0.1: 554 5.7.1 102 2 01/05/2026 09:59:58 "
        "Utility power failure; its 1 event is not mailed",
        "28 2 {d} {t} Network shutdown client db1 100 1 01/01/2026 08:00:00 x does not answer",
        "36 3 {d} {t} Signal SIGINT received 1 0 12/31/2025 23:59:59 Monitoring service stopped",
    ]
    lines = []
    for k in range(BOUND):
        day, minute = divmod(k, 1440)
        month, mday = 1 + day // 28, 1 + day % 28
        stamp = "%02d:%02d:00" % divmod(minute, 60)
        ymd = TRIMMED + 500 <= k < TRIMMED + 2000
        date = "2025/%02d/%02d" % (month, mday) if ymd else "%02d/%02d/2025" % (month, mday)
        if k % 97 == 0:
            lines.append(quoting[(k // 97) % len(quoting)].format(d=date, t=stamp))
        else:
            lines.append("100 1 %s %s event %d" % (date, stamp, k))
    return lines


def records(free_text=False):
    """(code, level, text) of every record; free-text records only when asked."""
    out = []
    for line in (harness.read(EVENT_LOG) or "").splitlines():
        parts = line.split(" ", 4)
        if free_text or parts[0] != "-1":
            out.append((int(parts[0]), int(parts[1]), parts[4]))
    return out


class ServiceEvents(harness.DaemonTest):
    def test_start_sigint_and_stop_are_logged(self):
        d = self.start_daemon()
        harness.wait_for(lambda: records(), what="the start-up record")
        self.assertEqual(records(), [(0, 1, "Monitoring service started")])
        line = harness.read(EVENT_LOG).splitlines()[0]
        self.assertRegex(line, r"^0 1 \d\d/\d\d/\d{4} \d\d:\d\d:\d\d Monitoring service started$")

        # The listeners open with the first 5-second message and say so.
        def listener_texts():
            return [r[2] for r in records(True) if r[0] == -1 and r[1] == 0]
        harness.wait_for(lambda: any("HTTP: OK" in t for t in listener_texts())
                         and any("SNMP: OK" in t for t in listener_texts()), 15,
                         what="the listener states (%s)" % listener_texts())

        self.assertEqual(harness.run_upsd("stop").returncode, 0)
        harness.wait_for(lambda: len(records()) == 2, what="the SIGINT record")
        self.assertEqual(records()[1][0], 36)
        self.assertIn("SIGINT", records()[1][2])
        self.assertTrue(d.running())

        self.assertEqual(d.stop(), 0)
        self.assertEqual([r[0] for r in records()], [0, 36, 1])
        self.assertEqual(records()[2][2], "Monitoring service stopped")

        # The next start counts the records already there and adds its own.
        d = self.start_daemon()
        harness.wait_for(lambda: len(records()) == 4, what="the second start-up record")
        self.assertEqual(d.stop(), 0)
        self.assertEqual([r[0] for r in records()], [0, 36, 1, 0, 1])

    def test_the_trim_at_start_removes_only_the_oldest_records(self):
        before = full_log()
        harness.write(EVENT_LOG, "\n".join(before) + "\n")
        d = self.start_daemon()
        # The start-up record is the 10001st: the oldest 2500 go with it.
        harness.wait_for(lambda: "Monitoring service started" in (harness.read(EVENT_LOG) or "")[-2000:],
                         what="the start-up record")
        self.assertEqual(d.stop(), 0)
        after = harness.read(EVENT_LOG).splitlines()
        present = set(after)
        lost = [line for line in before[TRIMMED:] if line not in present]
        self.assertEqual(len(lost), 0, "%d records past the oldest %d were removed, the first: %s"
                         % (len(lost), TRIMMED, lost[:3]))
        self.assertEqual(after[:BOUND - TRIMMED], before[TRIMMED:])
        new = [line.split(" ", 4) for line in after[BOUND - TRIMMED:]]
        self.assertEqual(new[0][0], "0")
        self.assertEqual(new[-1][0], "1")


if __name__ == "__main__":
    harness.main()
