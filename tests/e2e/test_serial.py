"""End-to-end: the installed daemon finds the simulated UPS on a
pseudo-terminal ("COM Port=" 2, "COM Path=" the slave path), runs the
identification and the poll cycle, and probes again after the UPS falls
silent. A link that cannot be made (a device path that does not exist, a
UPS that answers only with replies the receiver rejects, the link moved by
the port form to a missing device) is a lost link: UPS event 192 once, and
the pages show the link lost and no readings. What the daemon did is read
from the simulator's frame log and the event log; the pages are read with
curl after the device-page tests' login."""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
import harness  # noqa: E402
import test_webdev  # noqa: E402
import upssim  # noqa: E402
from test_caret import logged_codes  # noqa: E402
from test_webdev import HTTP, cell, wait_listening  # noqa: E402

IDENT = ["MOD", "AVL", "CPU", "AL1", "AL2", "AL3", "RAT", "VER", "LET", "SER"]
PROBE = "~00P003MOD" + upssim.sum8(b"~00P003MOD").decode()
LOST, RESTORED = 192, 193  # UPS events of status bit 46
MISSING = "/dev/ttyNOSUCH0"
WEB = {"HTTP Port=": HTTP, "Force HTTPS=": "No", "Password Encrypt=": "No", "Password0=": "admin-pass",
       "Enable Login Lock=": "Disable"}


def queries(sim, since=0.0):
    return [f for f in sim.frames() if f["type"] == "P" and f["t"] >= since]


class SerialLink(harness.DaemonTest):
    login = test_webdev.DevicePages.login
    get = test_webdev.DevicePages.get
    post = test_webdev.DevicePages.post
    token = test_webdev.DevicePages.token

    def start_with_sim(self, checksum=True, com_port=2, rejected=(), path=None, web=False):
        self.sim = upssim.UpsSim(checksum=checksum, log_path="/tmp/upssim.log", rejected=rejected).start()
        self.addCleanup(self.sim.stop)
        harness.ensure_config()
        harness.config_set({"COM": {"COM Port=": com_port, "COM Path=": path or self.sim.slave_path},
                            "Web": WEB if web else {}})
        self.daemon = self.start_daemon()
        self.started = time.time()
        if web:
            wait_listening(HTTP)
            self.cookie = self.login()

    def wait_lost(self, since, within):
        """Waits for UPS event 192 and returns how long after since it was logged."""
        harness.wait_for(lambda: LOST in logged_codes(), within + 5, 0.1, what="event 192")
        return time.time() - since

    def assert_pages_show_a_lost_link(self):
        home = self.get("/home.asp")
        self.assertEqual(cell(home, "comm"), "1")  # "Lost" once the page script maps it
        self.assertIn('class="critical" data-map="0:Normal|1:Lost"', home)
        measure = self.get("/en/device/ups_measure.asp")
        for ident in ("battvolt", "battlevel"):
            self.assertEqual(cell(measure, ident), "-1", ident)  # shown as n/a
        for reading in (">230.1</td>", ">230.0</td>", ">50.0</td>"):
            self.assertNotIn(reading, measure)

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

    def test_missing_device_path_is_a_lost_link(self):
        self.start_with_sim(path=MISSING, web=True)
        self.assertLess(self.wait_lost(self.started, 15), 15.0, "event 192 within 15 s of the start")
        self.assert_pages_show_a_lost_link()
        # Every later pass fails too; the event stays logged once.
        time.sleep(11)
        self.assertEqual(logged_codes().count(LOST), 1, logged_codes())
        self.assertNotIn(RESTORED, logged_codes())
        self.assertEqual(self.sim.frames(), [])

    def test_rejected_replies_end_the_link(self):
        self.start_with_sim(checksum=True)
        self.first_cycle()
        self.assertNotIn(LOST, logged_codes())
        # Replies with a wrong checksum: five in a row end the link, and the
        # next detection pass probes again.
        t0 = time.time()
        self.sim.set_state("badsum")
        self.assertLess(self.wait_lost(t0, 15), 15.0, "event 192 within 15 s of the first bad reply")
        probe = harness.wait_for(lambda: next((f for f in queries(self.sim, t0) if f["raw"] == PROBE), None), 10,
                                 what="a new probe")
        rejected = [f["mnemonic"] for f in queries(self.sim, t0) if f["t"] < probe["t"]]
        self.assertEqual(len(rejected), 5, rejected)
        # The probe's reply carries a wrong checksum too: the UPS answered, so
        # the new link goes without checksums and its data replies are taken.
        harness.wait_for(lambda: RESTORED in logged_codes(), 15, 0.1, what="event 193")
        self.wait_mnemonic("STB", since=probe["t"])
        self.assertEqual([f["checksum"] for f in queries(self.sim, probe["t"]) if f["mnemonic"] == "STB"][0], "none")

        # Bytes that are no frame at all: lost again after five replies, and
        # no probe finds a UPS.
        t1 = time.time()
        self.sim.set_state("garbage")
        harness.wait_for(lambda: logged_codes().count(LOST) == 2, 20, 0.1, what="event 192 again")
        self.assertLess(time.time() - t1, 15.0, "event 192 within 15 s of the garbage")
        time.sleep(11)
        polled = [f["mnemonic"] for f in queries(self.sim, t1) if f["raw"] != PROBE]
        self.assertEqual(len(polled), 5, polled)
        self.assertEqual(logged_codes().count(LOST), 2)
        self.assertEqual(logged_codes().count(RESTORED), 1)
        self.assertTrue(self.daemon.running())

    def test_port_form_moving_the_link_to_a_missing_device(self):
        self.start_with_sim(checksum=True, web=True)
        harness.wait_for(lambda: cell(self.get("/en/device/ups_measure.asp"), "battlevel") == "100", 40, 0.5,
                         what="the readings on the measurement page")
        self.assertEqual(cell(self.get("/home.asp"), "comm"), "0")
        t0 = time.time()
        self.assertEqual(self.post("mgnt_comport", {"SYS_UCTOKEN": self.token("/en/device/mgnt_comport.asp"),
                                                    "ACT_COM_PORT": "2", "ACT_COM_PATH": MISSING}),
                         ("Information", "Updated successfully."))
        self.assertEqual(harness.config_get("COM", "COM Path="), MISSING)
        self.assertLess(self.wait_lost(t0, 12), 12.0, "event 192 within one detection pass and a second")
        # The alarm processing takes the bit into the shown word within a second.
        harness.wait_for(lambda: cell(self.get("/home.asp"), "comm") == "1", 3, 0.2, what="the summary's lost link")
        self.assert_pages_show_a_lost_link()
        self.assertEqual(logged_codes().count(LOST), 1)
        self.assertEqual(queries(self.sim, t0 + 1), [])

    def test_automatic_search_stores_the_found_port(self):
        if not os.path.exists("/dev/ttyS0"):
            self.skipTest("the automatic search reaches serial ports only when /dev/ttyS0 exists")
        self.start_with_sim(checksum=True, com_port=0)
        self.wait_mnemonic("SER", timeout=20)
        harness.wait_for(lambda: harness.config_get("COM", "COM Port=") == "2", 5,
                         what='"COM Port=" 2 in config.ini')


if __name__ == "__main__":
    harness.main()
