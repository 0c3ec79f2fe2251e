"""End-to-end: the road of a power failure with the installed daemon and
the simulated UPS on a pseudo-terminal. The host scripts are replaced by
stubs that only leave a marker line with their time; the UPS commands are
read from the simulator's frame log; Wake-on-LAN packets are captured in
the peer namespace; a countdown is cancelled through the SNMP agent's
cancel object (net-snmp's snmpset). Delays in config.ini are short.

Events in the log (English texts): 102 input failure began, 103 ended,
174 discharging began, 175 ended, 156 battery low began, 6 countdown
announced, 7 countdown ended without shutdown, 8 countdown reached zero,
12 scheduled shutdown due, 18 restore time sent."""
import os
import select
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
import harness  # noqa: E402
import snmptools  # noqa: E402
import upssim  # noqa: E402

INSTALL = harness.INSTALL
EVENT_LOG = INSTALL + "/_FILE_LOG.TXT"
MARKS = harness.MARKS
STUBS = harness.HOST_SCRIPTS
WOL_MAC = bytes.fromhex("001B21ABCDEF")
COUNTDOWN = ".1.3.6.1.4.1.32473.2.210.1.4.0"  # the agent's countdown seconds
CANCEL = ".1.3.6.1.4.1.32473.2.210.3.1.0"     # the agent's countdown cancel flag

# Receives Wake-on-LAN packets on every address of the peer end and prints
# each one as "<time> <hex>".
WOL_LISTENER = r"""
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("", 23240))
print("ready", flush=True)
while True:
    data, _ = s.recvfrom(2048)
    print("%.3f %s" % (time.time(), data.hex()), flush=True)
"""


marks = harness.marks


def events():
    """(code, level, text) of every record of the event log."""
    out = []
    for line in (harness.read(EVENT_LOG) or "").splitlines():
        parts = line.split(" ", 4)
        if len(parts) == 5:
            out.append((int(parts[0]), int(parts[1]), parts[4]))
    return out


def codes():
    return [e[0] for e in events()]


class PowerRoad(harness.DaemonTest):
    def setUp(self):
        super().setUp()  # every host script is a stub
        self.sim = upssim.UpsSim(checksum=True, log_path="/tmp/upssim.log").start()
        self.addCleanup(self.sim.stop)
        harness.ensure_config()
        for name in STUBS:  # the first start must not have run any of them
            self.assertEqual(marks(name), [])

    def configure(self, shutdown=None, reaction=None, ups=None, extra=None):
        changes = {
            "COM": {"COM Port=": 2, "COM Path=": self.sim.slave_path},
            "Shutdown": {"Type=": 0, "UPS Delay=": 30, "Power Fail Enable=": "Yes", "Power Fail Delay=": 20,
                         "Battery Low Enable=": "Yes", "Battery Low Delay=": 8, "Overload Enable=": "No",
                         "Bypass Enable=": "No", "Schedule Shutdown Enable=": "Yes",
                         "Schedule Shutdown Delay=": 20},
            "Reaction": {"Notify Message Enable=": "Yes", "Notify Message Period=": 0,
                         "Execute Command Enable=": "Yes", "Execute Command Before=": 10,
                         "Execute Command File=": INSTALL + "/command/command.ESX5",
                         "Send Smart Shutdown Trap Enable=": "No"},
            "UPS": {"Load Bank PF Enable1=": "Yes", "Load Bank PF Delay1=": 3},
        }
        for section, keys in (("Shutdown", shutdown), ("Reaction", reaction), ("UPS", ups)):
            changes[section].update(keys or {})
        changes.update(extra or {})
        harness.config_set(changes)

    def start_linked(self):
        """Starts the daemon and waits until it polls the UPS."""
        self.daemon = self.start_daemon()
        harness.wait_for(lambda: sum(f["mnemonic"] == "STB" for f in self.sim.frames()) >= 2, 30,
                         what="the UPS link")

    def commands(self, mnemonic):
        """(time, data) of the set frames the UPS received with this mnemonic."""
        return [(f["t"], f["data"]) for f in self.sim.frames() if f["type"] == "S" and f["mnemonic"] == mnemonic]

    def wait_codes(self, *wanted, timeout=30):
        harness.wait_for(lambda: all(c in codes() for c in wanted), timeout,
                         what="events %s (log has %s)" % (wanted, codes()))

    def wall_lines(self):
        return (harness.read(MARKS + "/wall") or "").splitlines()

    def test_power_fails_and_stays_failed(self):
        self.configure()
        self.start_linked()
        t0 = time.time()
        self.sim.set_state("powerfail")
        self.wait_codes(102, 174)
        harness.wait_for(lambda: [e for e in events() if e[0] == 6], 10, what="the announcement")
        announced = [e for e in events() if e[0] == 6]
        self.assertEqual(len(announced), 1)
        self.assertIn(announced[0][2], ("System will shut down in 19", "System will shut down in 18"))
        harness.wait_for(lambda: any("<Brisvane>: System will shut down in " in line for line in self.wall_lines()),
                         5, what="the announcement broadcast")
        self.assertTrue(any("<Brisvane>: Utility power failure" in line for line in self.wall_lines()))

        # The load-bank outlet goes off after its 3 seconds.
        harness.wait_for(lambda: self.commands("ROF"), 15, what="the outlet off command")
        rof_time, rof_data = self.commands("ROF")[0]
        self.assertEqual(rof_data, "1;1")

        # The countdown runs out: user command first, then the UPS shutdown
        # with "UPS Delay=", then the shutdown script.
        harness.wait_for(lambda: marks("command.shutdown"), 40, what="the shutdown script")
        time.sleep(3)  # nothing more follows
        self.assertEqual(len(marks("command.shutdown")), 1)
        self.assertEqual(len(marks("command.ESX5")), 1)
        self.assertGreater(marks("command.shutdown")[0] - marks("command.ESX5")[0], 7)
        self.assertEqual([d for _, d in self.commands("SDA")], ["30"])
        self.assertEqual(self.commands("SDR"), [])  # no scheduled restore pending
        self.assertLess(rof_time, marks("command.shutdown")[0])
        self.assertLess(rof_time - t0, 15)
        self.assertIn(8, codes())
        self.assertNotIn(7, codes())
        self.assertEqual(marks("command.poweroff") + marks("command.hibernate"), [])
        self.assertTrue(self.daemon.running())

    def test_power_returns_before_zero(self):
        self.configure(shutdown={"Power Fail Delay=": 60},
                       extra={"WOL": {"WOL Num=": 1, "MAC1=": "00-1B-21-AB-CD-EF", "Delay1=": 0,
                                      "Power Restore1=": "Yes", "Sys Startup1=": "No", "Title1=": "backup"}})
        listener = subprocess.Popen(["ip", "netns", "exec", harness.PEER_NS, "/usr/bin/python3", "-u", "-c",
                                     WOL_LISTENER], stdout=subprocess.PIPE, text=True)
        self.addCleanup(listener.stdout.close)
        self.addCleanup(listener.wait)
        self.addCleanup(listener.kill)
        self.assertEqual(listener.stdout.readline().strip(), "ready")
        packets = []

        def read_packets(timeout):
            end = time.time() + timeout
            while time.time() < end:
                r, _, _ = select.select([listener.stdout], [], [], 0.2)
                if r:
                    packets.append(listener.stdout.readline().split())
            return packets

        self.start_linked()
        self.sim.set_state("powerfail")
        self.wait_codes(102, 174, 6)
        harness.wait_for(lambda: self.commands("ROF"), 15, what="the outlet off command")
        read_packets(1)
        self.assertEqual(packets, [], "no wake-up before the power returns")

        t1 = time.time()
        self.sim.set_state("online")
        self.wait_codes(103, 175, 7)
        self.assertEqual([e for e in events() if e[0] == 7][0][2], "Shutdown countdown ended without shutdown")
        harness.wait_for(lambda: any("<Brisvane>: Shutdown countdown ended without shutdown" in line
                                     for line in self.wall_lines()), 5, what="the end notice broadcast")
        harness.wait_for(lambda: self.commands("RON"), 10, what="the outlet on command")
        self.assertEqual([d for _, d in self.commands("RON")], ["1;1"])

        # The host marked for power restore is woken (delay 0: within about
        # a second), once, with the magic packet.
        read_packets(8)
        self.assertEqual(len(packets), 1, packets)
        stamp, data = float(packets[0][0]), bytes.fromhex(packets[0][1])
        self.assertEqual(data, b"\xff" * 6 + WOL_MAC * 16)
        self.assertLess(stamp - t1, 15)

        self.assertEqual(marks("command.shutdown"), [])
        self.assertEqual(self.commands("SDA"), [])
        self.assertNotIn(8, codes())

    def test_battery_low_shortens_the_countdown(self):
        self.configure(shutdown={"Power Fail Delay=": 300, "Battery Low Delay=": 8},
                       reaction={"Execute Command Enable=": "No"})
        self.start_linked()
        self.sim.set_state("powerfail")
        self.wait_codes(102, 174, 6)
        self.assertEqual([e[2] for e in events() if e[0] == 6][0][-5:-3], "04")  # about 300 s announced
        t1 = time.time()
        self.sim.set_state("lowbatt")
        self.wait_codes(156)
        harness.wait_for(lambda: marks("command.shutdown"), 30, what="the shutdown script")
        self.assertLess(marks("command.shutdown")[0] - t1, 25)
        # The shorter countdown that took over was announced, in the log and
        # on the consoles, as the first one was.
        announced = [e[2] for e in events() if e[0] == 6]
        self.assertEqual(len(announced), 2, announced)
        self.assertIn(announced[1], ["System will shut down in %02d" % s for s in range(3, 8)])
        harness.wait_for(lambda: any(line.endswith("<Brisvane>: " + announced[1]) for line in self.wall_lines()),
                         5, what="the second announcement's broadcast")
        # A serial command goes out with the next free frame of the poll cycle.
        harness.wait_for(lambda: self.commands("SDA"), 5, what="the delayed shutdown command")
        self.assertEqual([d for _, d in self.commands("SDA")], ["30"])
        self.assertEqual(marks("command.ESX5"), [])

    def schedule_now_and_next_minute(self, delay, restore=True, extra=None):
        """Weekly shutdowns for the current and the next minute (with a
        restore 90 minutes after the first), started early in the minute."""
        while time.localtime().tm_sec > 12:  # leave room in the minute for the start-up
            time.sleep(1)
        now = time.localtime()
        nxt = time.localtime(time.time() + 60)
        back = time.localtime(time.time() + 90 * 60)

        def weekday(t):
            return "".join("1" if i == (t.tm_wday + 1) % 7 else "0" for i in range(7))
        entries = {
            "Weekday1=": weekday(now), "Time1=": "%d:%d" % (now.tm_hour, now.tm_min), "Action1=": 1,
            "Weekday2=": weekday(nxt), "Time2=": "%d:%d" % (nxt.tm_hour, nxt.tm_min), "Action2=": 1,
        }
        if restore:
            entries.update({"Weekday3=": "1111111", "Time3=": "%d:%d" % (back.tm_hour, back.tm_min),
                            "Action3=": 2})
        changes = {"Weekly Schedule": entries}
        changes.update(extra or {})
        self.configure(shutdown={"Power Fail Enable=": "No", "Schedule Shutdown Delay=": delay},
                       reaction={"Execute Command Enable=": "No"}, extra=changes)

    def test_weekly_schedule_for_the_current_minute(self):
        self.schedule_now_and_next_minute(25)
        self.start_linked()
        self.wait_codes(12, 6)
        harness.wait_for(lambda: marks("command.shutdown"), 40, what="the scheduled shutdown")
        harness.wait_for(lambda: self.commands("SDA"), 5, what="the delayed shutdown command")
        self.assertEqual([d for _, d in self.commands("SDR")][:1], ["90"])
        self.assertEqual([d for _, d in self.commands("SDA")][:1], ["30"])
        sdr, sda = self.commands("SDR")[0][0], self.commands("SDA")[0][0]
        # The restore time reaches the UPS, then, after its 2-s pause, the
        # shutdown command; both before the shutdown script starts.
        self.assertGreaterEqual(sda - sdr, 2)
        self.assertLess(sda, marks("command.shutdown")[0])
        first = codes()
        self.assertLess(first.index(8), first.index(18))

        # The first schedule's trigger is still set (the host did not go
        # down): the next minute's entry starts a countdown all the same.
        harness.wait_for(lambda: len(marks("command.shutdown")) >= 2, 100, what="the second scheduled shutdown")
        harness.wait_for(lambda: len(self.commands("SDA")) >= 2, 5, what="the second delayed shutdown command")
        self.assertEqual(codes().count(12), 2)
        self.assertEqual(len(self.commands("SDA")), 2)
        self.assertEqual([d for _, d in self.commands("SDR")], ["90", "89"])

    def test_a_cancelled_scheduled_countdown_does_not_block_the_next(self):
        self.schedule_now_and_next_minute(40, restore=False, extra={
            "SNMP Server": {"Number=": 1, "IP1=": "127.0.0.1", "Community1=": "local", "Permission1=": 2}})
        self.start_linked()
        self.wait_codes(12, 6)
        snmp = snmptools.v1("local")
        harness.wait_for(lambda: snmptools.run("snmpset", snmp, "udp:127.0.0.1:161", CANCEL, "i", "1")
                         .returncode == 0, 10, interval=0.5, what="the cancel SET")

        def remaining():
            out = snmptools.run("snmpget", snmp, "udp:127.0.0.1:161", COUNTDOWN).stdout
            return int(snmptools.values(out)[0][2])
        frozen = remaining()
        time.sleep(3)
        self.assertEqual(remaining(), frozen)
        self.assertGreater(frozen, 0)

        # The next minute's shutdown is due while the first one is frozen:
        # it starts afresh and runs to its end.
        harness.wait_for(lambda: codes().count(12) == 2, 75, what="the second scheduled shutdown")
        self.assertEqual(marks("command.shutdown"), [])
        harness.wait_for(lambda: marks("command.shutdown"), 50, what="the shutdown script")
        harness.wait_for(lambda: self.commands("SDA"), 5, what="the delayed shutdown command")
        self.assertEqual(len(marks("command.shutdown")), 1)
        self.assertEqual(self.commands("SDR"), [])


if __name__ == "__main__":
    harness.main()
