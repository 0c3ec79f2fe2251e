"""End-to-end: the installed daemon finds the simulated UPS on a
pseudo-terminal ("COM Port=" 2, "COM Path=" the slave path), runs the
identification and the poll cycle, and probes again after the UPS falls
silent. What the daemon did is read from the simulator's frame log."""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
import harness  # noqa: E402
import upssim  # noqa: E402

IDENT = ["MOD", "AVL", "CPU", "AL1", "AL2", "AL3", "RAT", "VER", "LET", "SER"]
PROBE = "~00P003MOD" + upssim.sum8(b"~00P003MOD").decode()


def queries(sim, since=0.0):
    return [f for f in sim.frames() if f["type"] == "P" and f["t"] >= since]


class SerialLink(harness.DaemonTest):
    def start_with_sim(self, checksum=True, com_port=2, rejected=()):
        self.sim = upssim.UpsSim(checksum=checksum, log_path="/tmp/upssim.log", rejected=rejected).start()
        self.addCleanup(self.sim.stop)
        harness.ensure_config()
        harness.config_set({"COM": {"COM Port=": com_port, "COM Path=": self.sim.slave_path}})
        self.daemon = self.start_daemon()
        self.started = time.time()

    def wait_mnemonic(self, mnemonic, since=0.0, timeout=15.0, count=1):
        return harness.wait_for(
            lambda: len([f for f in queries(self.sim, since) if f["mnemonic"] == mnemonic]) >= count,
            timeout, what="%d %s queries" % (count, mnemonic))

    def first_cycle(self):
        """Mnemonics from the probe to the second STB: identification and
        one full periodic cycle."""
        self.wait_mnemonic("STB", count=2, timeout=25)
        names = [f["mnemonic"] for f in queries(self.sim)]
        second = [i for i, n in enumerate(names) if n == "STB"][1]
        return queries(self.sim)[:second]

    def test_found_in_one_pass_and_identified(self):
        self.start_with_sim(checksum=True)
        frames = self.first_cycle()
        names = [f["mnemonic"] for f in frames]
        # The probe, then the identification items once, in order.
        self.assertEqual(frames[0]["raw"], PROBE)
        self.assertLess(frames[0]["t"] - self.started, 7.0, "probe within the first detection pass")
        self.assertEqual(names[1:11], IDENT)
        self.assertLess(frames[1]["t"] - frames[0]["t"], 2.0, "identification right after the probe")
        for f in frames:
            self.assertEqual(f["checksum"], "ok", f)  # the UPS sums, so the link does
        # The periodic items this UPS offers, chosen from its AVL, AL1 and LET
        # replies: VSN, TXV, ARB (availability), SOL1-SOL2 (two outlets).
        cycle = names[11:]
        self.assertEqual(cycle[:5], ["STB", "STI", "STO", "STP", "STA"])
        for item in ("TSR", "VSN", "ARB", "TXV", "BTV", "BRD", "TME", "SOL1", "SOL2"):
            self.assertIn(item, cycle)
        for item in ("ATT", "UBD", "SOL3", "BMI", "PMA", "EVT", "ELS"):
            self.assertNotIn(item, cycle)
        self.assertEqual(cycle.index("SOL1") + 1, cycle.index("SOL2"))

    def test_without_checksum_and_with_a_refused_item(self):
        self.start_with_sim(checksum=False, rejected=["STP"])
        self.wait_mnemonic("STB", count=3, timeout=30)
        frames = queries(self.sim)
        names = [f["mnemonic"] for f in frames]
        self.assertEqual(names[1:11], IDENT)
        for f in frames[:11]:
            self.assertEqual(f["checksum"], "ok", f)  # identification queries always carry it
        for f in frames[11:]:
            self.assertEqual(f["checksum"], "none", f)
        # STP refused once: its capability is gone, so it is not asked again.
        self.assertEqual(names.count("STP"), 1)

    def test_power_failure_and_silence(self):
        self.start_with_sim(checksum=True)
        self.first_cycle()
        t0 = time.time()
        self.sim.set_state("powerfail")
        # The poll cycle carries the failure's replies (STA and STO report it).
        self.wait_mnemonic("STA", since=t0, count=2, timeout=10)
        replies = [e for e in upssim.read_log("/tmp/upssim.log") if e.get("dir") == "tx" and e["t"] >= t0]
        self.assertTrue(any(r["raw"].startswith("~00D0650;1;") for r in replies), replies[-5:])

        # Silence: five queries go unanswered, then the link is given up and
        # the next detection pass probes again.
        t1 = time.time()
        self.sim.set_state("silent")
        probe = harness.wait_for(
            lambda: next((f for f in queries(self.sim, t1) if f["raw"] == PROBE and f["mnemonic"] == "MOD"), None),
            timeout=20, what="a new probe")
        unanswered = [f for f in queries(self.sim, t1) if f["t"] < probe["t"]]
        self.assertEqual(len(unanswered), 5, [f["mnemonic"] for f in unanswered])
        gaps = [b["t"] - a["t"] for a, b in zip(unanswered, unanswered[1:])]
        for g in gaps:
            self.assertGreater(g, 0.9)  # one second of waiting each
            self.assertLess(g, 1.6)
        self.assertLess(probe["t"] - unanswered[-1]["t"], 7.0)

        # The UPS answers again: a new link starts over with identification.
        t2 = time.time()
        self.sim.set_state("online")
        self.wait_mnemonic("SER", since=t2, timeout=15)
        names = [f["mnemonic"] for f in queries(self.sim, t2)]
        self.assertEqual(names[names.index("AVL") - 1:names.index("SER") + 1], IDENT)
        self.assertTrue(self.daemon.running())

    def test_automatic_search_stores_the_found_port(self):
        if not os.path.exists("/dev/ttyS0"):
            self.skipTest("the automatic search reaches serial ports only when /dev/ttyS0 exists")
        self.start_with_sim(checksum=True, com_port=0)
        self.wait_mnemonic("SER", timeout=20)
        harness.wait_for(lambda: harness.config_get("COM", "COM Port=") == "2", 5,
                         what='"COM Port=" 2 in config.ini')


if __name__ == "__main__":
    harness.main()
