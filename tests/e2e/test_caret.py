"""End-to-end: the installed daemon finds a simulated caret UPS (9600 baud)
on a pseudo-terminal ("COM Port=" 2, "COM Path=" the slave path): the tilde
probe at 2400 baud goes unanswered, the caret probe on the reopened port at
9600 baud is answered, and the identification and the poll cycle follow; a
power failure switches a load-bank outlet off after its delay and the
return of the power switches it on again.
What the daemon did is read from the simulator's frame log."""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
import harness  # noqa: E402
import upssim  # noqa: E402

IDENT = ["MOD", "VER", "AP1", "AP2", "NOM", "LET", "UID"]
# The periodic items this UPS offers: bypass readings (AP1 25), test (AP2
# 88), ARB setting (AP1 17) and two outlets (LET).
CYCLE = ["ST1", "ST2", "ST3", "ST4", "ST5", "STR", "ATR", "NOM", "SOL1", "SOL2"]
TILDE_PROBE = "~00P003MOD" + upssim.sum8(b"~00P003MOD").decode()
CARET_PROBE = "^P003MOD"
EVENT_LOG = harness.INSTALL + "/_FILE_LOG.TXT"
# Input failure and discharging: began 102 and 174, ended 103 and 175.
ON_BATTERY, ON_LINE = (102, 174), (103, 175)


def logged_codes():
    return [int(line.split(" ", 1)[0]) for line in (harness.read(EVENT_LOG) or "").splitlines() if line]


def received(sim, since=0.0):
    return [f for f in sim.frames() if f["t"] >= since]


def queries(sim, since=0.0):
    return [f for f in received(sim, since) if f["type"] == "P"]


class CaretLink(harness.DaemonTest):
    def start_with_sim(self, com_port=2, ups=None):
        self.sim = upssim.UpsSim(protocol="caret", log_path="/tmp/upssim.log").start()
        self.addCleanup(self.sim.stop)
        harness.ensure_config()
        harness.config_set({"COM": {"COM Port=": com_port, "COM Path=": self.sim.slave_path}, "UPS": ups or {}})
        self.daemon = self.start_daemon()
        self.started = time.time()

    def wait_mnemonic(self, mnemonic, since=0.0, timeout=15.0, count=1):
        return harness.wait_for(
            lambda: len([f for f in queries(self.sim, since) if f["mnemonic"] == mnemonic]) >= count,
            timeout, what="%d %s queries" % (count, mnemonic))

    def probes(self, since=0.0, timeout=20.0):
        """(tilde probe, caret probe) of the first detection after since."""
        def pair():
            frames = received(self.sim, since)
            tilde = next((i for i, f in enumerate(frames) if f["type"] == "noise" and TILDE_PROBE in f["raw"]), None)
            if tilde is None:
                return None
            caret = next((f for f in frames[tilde:] if f["raw"] == CARET_PROBE), None)
            return caret and (frames[tilde], caret)
        return harness.wait_for(pair, timeout, what="a tilde probe, then a caret probe")

    def test_found_after_the_tilde_probe_and_polled(self):
        self.start_with_sim()
        self.wait_mnemonic("ST1", count=2, timeout=25)
        tilde, caret = self.probes()
        # The same pass: the tilde probe at 2400 baud is noise to this UPS; a
        # second later the port is reopened at 9600 and the caret probe is answered.
        self.assertEqual(tilde["baud"], 2400, tilde)
        self.assertLess(tilde["t"] - self.started, 7.0, "probe within the first detection pass")
        self.assertEqual(caret["baud"], 9600, caret)
        self.assertNotIn("speed_mismatch", caret)
        self.assertGreater(caret["t"] - tilde["t"], 0.9)
        self.assertLess(caret["t"] - tilde["t"], 2.0)

        frames = queries(self.sim, caret["t"])
        names = [f["mnemonic"] for f in frames]
        first = names.index("ST1")
        self.assertEqual(names[1:first], IDENT)
        second = names.index("ST1", first + 1)
        self.assertEqual(names[first:second], CYCLE)
        self.assertEqual(frames[names.index("SOL1")]["raw"], "^P004SOL1")
        for f in frames:
            self.assertEqual(f["baud"], 9600, f)
            self.assertNotIn("speed_mismatch", f)
        self.assertLess(frames[1]["t"] - caret["t"], 2.0, "identification right after the probe")
        # Every query was answered with data (this UPS refuses nothing).
        replies = [e for e in upssim.read_log("/tmp/upssim.log") if e.get("dir") == "tx" and e["t"] >= caret["t"]]
        self.assertTrue(all(r["raw"].startswith("^D") for r in replies), replies[:5])
        # The unanswered tilde probe of the same pass is no lost link.
        self.assertNotIn(192, logged_codes())
        self.assertNotIn(193, logged_codes())
        self.assertTrue(self.daemon.running())

    def test_power_failure_then_silence_then_detected_anew(self):
        self.start_with_sim()
        self.wait_mnemonic("ST1", count=2, timeout=25)
        t0 = time.time()
        self.sim.set_state("powerfail")
        self.wait_mnemonic("ST5", since=t0, count=2, timeout=10)
        replies = [e for e in upssim.read_log("/tmp/upssim.log") if e.get("dir") == "tx" and e["t"] >= t0]
        self.assertTrue(any(r["raw"].startswith("^D0310,1,") for r in replies), replies[-5:])

        # Silence: five queries go unanswered about a second apart, the link
        # is given up and the next detection pass tries tilde, then caret.
        t1 = time.time()
        self.sim.set_state("silent")
        tilde, caret = self.probes(t1)
        unanswered = [f for f in queries(self.sim, t1) if f["t"] < tilde["t"]]
        self.assertEqual(len(unanswered), 5, [f["mnemonic"] for f in unanswered])
        for a, b in zip(unanswered, unanswered[1:]):
            self.assertGreater(b["t"] - a["t"], 0.9)
            self.assertLess(b["t"] - a["t"], 1.6)
        self.assertLess(tilde["t"] - unanswered[-1]["t"], 7.0)
        self.assertEqual((tilde["baud"], caret["baud"]), (2400, 9600))

        # The UPS answers again: a new link starts over with identification.
        t2 = time.time()
        self.sim.set_state("online")
        self.wait_mnemonic("UID", since=t2, timeout=15)
        names = [f["mnemonic"] for f in queries(self.sim, t2)]
        self.assertEqual(names[names.index("VER") - 1:names.index("UID") + 1], IDENT)
        self.assertTrue(self.daemon.running())

    def test_power_failure_switches_the_load_bank_outlet_off_and_on(self):
        delay = 4
        self.start_with_sim(ups={"Load Bank PF Enable1=": "Yes", "Load Bank PF Delay1=": delay,
                                 "Load Bank PF Enable2=": "No"})
        self.wait_mnemonic("ST1", count=2, timeout=25)

        def sets(mnemonic, since):
            return [f for f in received(self.sim, since) if f["type"] == "S" and f["mnemonic"] == mnemonic]

        def seen_at(codes, every):
            """Polls the event log; the time at which all (every) or any of codes were in it."""
            which = all if every else any
            harness.wait_for(lambda: which(c in logged_codes() for c in codes), 20, 0.05,
                             what="events %s (log has %s)" % (codes, logged_codes()))
            return time.time()

        t0 = time.time()
        self.sim.set_state("powerfail")
        failed = seen_at(ON_BATTERY, every=True)
        off = harness.wait_for(lambda: sets("ROF", t0), delay + 5, what="the outlet-off frame")
        self.assertEqual([(f["raw"], f["baud"]) for f in off], [("^S006ROF1,1", 9600)])
        # Posted when both conditions were live, then held for its delay.
        self.assertGreater(off[0]["t"] - failed, delay - 1.2)
        self.assertLess(off[0]["t"] - failed, delay + 2.0)
        self.assertFalse(self.sim.model.outlets[0])
        self.assertTrue(self.sim.model.outlets[1])
        answers = [e for e in upssim.read_log("/tmp/upssim.log") if e.get("dir") == "tx" and e["t"] >= off[0]["t"]]
        self.assertEqual(answers[0]["raw"], "^1")

        t1 = time.time()
        self.sim.set_state("online")
        back = seen_at(ON_LINE, every=False)
        on = harness.wait_for(lambda: sets("RON", t1), 5, what="the outlet-on frame")
        self.assertEqual([(f["raw"], f["baud"]) for f in on], [("^S006RON1,1", 9600)])
        self.assertLess(on[0]["t"] - back, 2.0)
        time.sleep(2)  # the other edge of the return adds no second frame
        self.assertEqual(len(sets("RON", t1)), 1)
        self.assertEqual(sets("ROF", t1), [])
        self.assertTrue(self.sim.model.outlets[0])
        self.assertTrue(self.daemon.running())

    def test_automatic_search_does_not_store_a_caret_port(self):
        if not os.path.exists("/dev/ttyS0"):
            self.skipTest("the automatic search reaches serial ports only when /dev/ttyS0 exists")
        self.start_with_sim(com_port=0)
        self.wait_mnemonic("ST1", count=2, timeout=30)
        self.assertEqual(harness.config_get("COM", "COM Port="), "0")


if __name__ == "__main__":
    harness.main()
