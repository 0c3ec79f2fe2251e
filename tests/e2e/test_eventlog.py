"""End-to-end: the service's own events in the installed daemon's event log:
the start, the listeners' states (free text, level 0), the "stop" command's
SIGINT (logged, the service goes on) and the stop on SIGTERM."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

EVENT_LOG = harness.INSTALL + "/_FILE_LOG.TXT"


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


if __name__ == "__main__":
    harness.main()
