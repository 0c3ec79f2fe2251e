"""End-to-end: the end of a shutdown countdown in its order, with the
installed daemon, the UPS simulator on a pseudo-terminal and stub host
scripts that record when they start and end. The UPS must have the
delayed-shutdown command before the host script starts; a user command
still running at zero is waited for; the loop keeps running while a host
script or a broadcast runs (the agent and the web server answer, a stop
signal is acted on at once, a broadcast script that hangs is ended and the
next notice goes out);
cancel and resume from the web control page reach the consoles.
The end lasts only while it applies: a host that resumed from hibernation
gets no delayed-shutdown command kept for a lost link and no second
hibernation; a cancelled wait at zero ends when the power returns; the host
script starts however many user commands run; the agent refuses a cancel
that cannot take effect; a SIGCHLD ignored by whoever started the daemon
does not hide a failing script.

Peers: the UPS simulator (its frame log), net-snmp's snmpget and snmpset
(SNMPv1 and v3), curl."""
import hashlib
import os
import re
import signal
import subprocess
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import snmptools  # noqa: E402
from test_power import codes, events  # noqa: E402

INSTALL = harness.INSTALL
MARKS = harness.MARKS
USER_COMMAND = INSTALL + "/command/command.ESX5"
HTTP = 8080
BASE = "http://127.0.0.1:%d" % HTTP
WEB = {"Web": {"HTTP Port=": HTTP, "Force HTTPS=": "No", "Password Encrypt=": "No", "Password0=": "admin-pass",
               "Enable Login Lock=": "Disable"}}
CANCEL = ".1.3.6.1.4.1.32473.2.210.3.1.0"     # the agent's countdown cancel flag
REMAINING = ".1.3.6.1.4.1.32473.2.210.1.4.0"  # the agent's countdown seconds
SNMP_V1 = {"SNMP Server": {"Number=": 1, "IP1=": "127.0.0.1", "Community1=": "local", "Permission1=": 2}}


def stub(name, seconds):
    """A host script that records "start <time> <pid>" and, after sleeping,
    "end <time>" in /tmp/marks/<name>."""
    harness.write("%s/command/%s" % (INSTALL, name),
                  "#!/bin/sh\necho start $(date +%%s.%%N) $$ >> %s/%s\nsleep %s\n"
                  "echo end $(date +%%s.%%N) >> %s/%s\n" % (MARKS, name, seconds, MARKS, name), 0o755)


def stamps(name, what):
    """The times of the start or end lines of a stub, in order."""
    lines = (harness.read(os.path.join(MARKS, name)) or "").splitlines()
    return [float(line.split()[1]) for line in lines if line.startswith(what + " ")]


def stub_pids(name):
    lines = (harness.read(os.path.join(MARKS, name)) or "").splitlines()
    return [int(line.split()[2]) for line in lines if line.startswith("start ")]


def curl(*args):
    r = subprocess.run(["curl", "-sS", "--max-time", "10"] + list(args), capture_output=True, timeout=30)
    assert r.returncode == 0, r.stderr.decode()
    return r.stdout.decode("utf-8", "replace")


class ShutdownOrder(harness.DaemonTest):
    def setUp(self):
        super().setUp()
        self.sim = harness.serial_ups(self)
        self.addCleanup(self.kill_stubs)

    def kill_stubs(self):
        """Ends the stubs still running, with what they started."""
        for name in os.listdir(MARKS) if os.path.isdir(MARKS) else []:
            for pid in stub_pids(name):
                for end in (os.killpg, os.kill):
                    try:
                        end(pid, signal.SIGKILL)
                        break
                    except OSError:
                        pass

    def configure(self, delay, command_before=None, extra=None):
        changes = {
            "Shutdown": {"Type=": 0, "UPS Delay=": 30, "Power Fail Enable=": "Yes", "Power Fail Delay=": delay,
                         "Battery Low Enable=": "No", "Overload Enable=": "No", "Bypass Enable=": "No",
                         "Schedule Shutdown Enable=": "No"},
            "Reaction": {"Notify Message Enable=": "Yes", "Notify Message Period=": 0,
                         "Execute Command Enable=": "No" if command_before is None else "Yes",
                         "Execute Command Before=": command_before or 10, "Execute Command File=": USER_COMMAND,
                         "Send Smart Shutdown Trap Enable=": "No"},
        }
        for section, keys in (extra or {}).items():
            changes.setdefault(section, {}).update(keys)
        harness.config_set(changes)

    def start_linked(self):
        """Starts the daemon and waits until it polls the UPS."""
        before = len(self.sim.frames())
        self.daemon = self.start_daemon()
        harness.wait_for(lambda: sum(f["mnemonic"] == "STB" for f in self.sim.frames()[before:]) >= 2, 30,
                         what="the UPS link")

    def frames_at_ups(self, mnemonic):
        return [f["t"] for f in self.sim.frames() if f["type"] == "S" and f["mnemonic"] == mnemonic]

    def test_the_ups_has_the_shutdown_command_before_the_script_starts(self):
        stub("command.shutdown", 15)
        self.configure(delay=6, extra=WEB)
        self.start_linked()
        snmptools.wait_agent()
        harness.wait_for(lambda: harness.listening(HTTP), 15, what="the web server")
        self.sim.set_state("powerfail")
        start = harness.wait_for(lambda: stamps("command.shutdown", "start"), 40, what="the shutdown script")[0]
        sda = self.frames_at_ups("SDA")
        self.assertTrue(sda and sda[0] < start, "SDA at the UPS %s, script started %.3f" % (sda, start))
        self.assertIn(8, codes())
        # While the script runs the loop goes on: the agent and the web
        # server answer at once and the UPS is still polled.
        t = time.time()
        r = snmptools.run("snmpget", snmptools.v3(), "udp:127.0.0.1:161", ".1.3.6.1.2.1.1.3.0")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn('id="challenge"', curl(BASE + "/login.asp"))
        self.assertLess(time.time() - t, 2)
        polls = len(self.sim.frames())
        time.sleep(2)
        self.assertGreater(len(self.sim.frames()), polls + 5)
        self.assertEqual(stamps("command.shutdown", "end"), [])  # still running
        self.assertEqual(len(stamps("command.shutdown", "start")), 1)

    def test_the_shutdown_waits_for_the_user_command(self):
        stub("command.ESX5", 40)
        self.configure(delay=20, command_before=10)
        self.start_linked()
        self.sim.set_state("powerfail")
        harness.wait_for(lambda: 8 in codes(), 40, what="the countdown's zero")
        self.assertEqual(len(stamps("command.ESX5", "start")), 1)
        self.assertEqual(stamps("command.ESX5", "end"), [])  # still at work at zero
        script = harness.wait_for(lambda: harness.marks("command.shutdown"), 90, what="the shutdown script")[0]
        cmd_end = stamps("command.ESX5", "end")
        self.assertTrue(cmd_end, "the shutdown script ran while the user command still worked")
        self.assertGreater(script, cmd_end[0])
        sda = self.frames_at_ups("SDA")
        self.assertTrue(sda and cmd_end[0] < sda[0] < script, (cmd_end, sda, script))
        waits = [e for e in events() if e[0] == -1 and e[1] == 2 and USER_COMMAND in e[2]]
        self.assertEqual(len(waits), 1, events())
        self.assertIn("Waiting", waits[0][2])

    def test_stop_signals_are_acted_on_while_the_shutdown_script_runs(self):
        stub("command.shutdown", 20)
        self.configure(delay=5)
        for sig in (signal.SIGTERM, signal.SIGQUIT, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                self.sim.set_state("online")
                subprocess.run(["rm", "-f", MARKS + "/command.shutdown"], check=True)
                self.start_linked()
                self.sim.set_state("powerfail")
                start = harness.wait_for(lambda: stamps("command.shutdown", "start"), 40,
                                         what="the shutdown script")[0]
                time.sleep(max(0, start + 3 - time.time()))
                t = time.time()
                self.daemon.signal(sig)
                status = harness.reap(self.daemon.pid, 25)
                took = time.time() - t
                self.daemon.pid = None
                self.assertEqual(status, 0)
                self.assertLess(took, 1.0, "%s acted on after %.1f s" % (sig.name, took))
                self.assertFalse(os.path.exists(harness.PIDFILE))
                self.kill_stubs()

    def test_a_broadcast_script_that_does_not_end_is_stopped(self):
        # The first broadcast hangs; later ones show their notice.
        harness.write(INSTALL + "/command/command.wall",
                      "#!/bin/sh\ncat %s/TMP_BROAD.DAT >> %s/wall\n"
                      "if [ ! -e %s/hung ]; then echo start 0 $$ > %s/hung; sleep 1000; fi\n"
                      % (harness.PRIVATE, MARKS, MARKS, MARKS), 0o755)
        self.configure(delay=600)
        self.start_linked()
        self.sim.set_state("powerfail")
        harness.wait_for(lambda: os.path.exists(MARKS + "/hung"), 20, what="the first broadcast")
        t_hung = time.time()
        lines = lambda: (harness.read(MARKS + "/wall") or "").splitlines()  # noqa: E731
        self.assertEqual(len(lines()), 1)
        harness.wait_for(lambda: len(lines()) >= 2, 45, what="the next notice")
        late = time.time() - t_hung
        self.assertGreater(late, 25)
        self.assertLess(late, 40)
        self.assertTrue(any("command.wall" in e[2] for e in events() if e[0] == -1 and e[1] == 2), events())
        self.assertFalse(harness.pid_alive(int(harness.read(MARKS + "/hung").split()[2])))

    def login(self):
        page = curl(BASE + "/login.asp")
        challenge = re.search(r'id="challenge" value="([^"]*)"', page).group(1)
        response = hashlib.md5(("admin" + "admin-pass" + challenge).encode()).hexdigest()
        reply = curl("-i", BASE + "/varno/login", "-d", "Username=admin&Response=" + response)
        return re.search(r"QuenchRelayer=([^;]*);", reply).group(1)

    def press(self, cookie, action):
        """Presses the control page's shutdown button; the answer's text."""
        page = curl("-b", "QuenchRelayer=" + cookie, BASE + "/en/device/mgnt_control.asp")
        token = re.search(r'name="SYS_UCTOKEN" value="([^"]*)"', page).group(1)
        curl("-b", "QuenchRelayer=" + cookie, BASE + "/en/device/mgnt_control",
             "-d", urllib.parse.urlencode({"SYS_UCTOKEN": token, "SHUT_CANCEL": action}))
        message = curl("-b", "QuenchRelayer=" + cookie, BASE + "/message.asp")
        body = re.search(r'<div id="message" class="message">(.*?)</div>', message, re.S).group(1)
        return re.sub(r"<[^>]*>", "", body).strip()

    def test_cancel_and_resume_reach_the_consoles(self):
        self.configure(delay=300, extra=WEB)
        self.start_linked()
        harness.wait_for(lambda: harness.listening(HTTP), 15, what="the web server")
        cookie = self.login()
        press = lambda action: self.press(cookie, action)  # noqa: E731

        def remaining():
            out = snmptools.run("snmpget", snmptools.v3(), "udp:127.0.0.1:161", REMAINING).stdout
            return int(snmptools.values(out)[0][2])
        walls = lambda: (harness.read(MARKS + "/wall") or "")  # noqa: E731

        self.sim.set_state("powerfail")
        harness.wait_for(lambda: "System will shut down in" in walls(), 20, what="the announcement")
        press("cancel")
        harness.wait_for(lambda: 4 in codes(), 10, what="the cancel")
        harness.wait_for(lambda: "<Brisvane>: Shutdown countdown cancelled from the web" in walls(), 10,
                         what="the cancel broadcast")
        frozen = remaining()
        time.sleep(2)  # the frozen countdown does not move
        self.assertEqual(remaining(), frozen)
        press("resume")
        harness.wait_for(lambda: 5 in codes(), 10, what="the resume")
        harness.wait_for(lambda: "<Brisvane>: Shutdown countdown resumed from the web" in walls(), 10,
                         what="the resume broadcast")
        # The resumed countdown goes on from where it stood, announced once.
        harness.wait_for(lambda: remaining() < frozen - 1, 10, what="the countdown running again")
        self.assertGreater(remaining(), frozen - 10)
        self.assertEqual(codes().count(6), 1)
        self.assertEqual(walls().count("System will shut down in"), 1)

    # ---- the end only while it applies ---------------------------------

    def polls_after(self, t, cycles=3):
        """Waits until the UPS has been polled through `cycles` whole poll
        cycles after t: a command kept for the link would have gone out
        with the first free frame."""
        harness.wait_for(lambda: sum(f.get("mnemonic") == "STB" and f["t"] > t for f in self.sim.frames()) >= cycles,
                         40, what="%d poll cycles" % cycles)

    def test_a_host_that_resumed_gets_no_kept_shutdown_command(self):
        stub("command.hibernate", 10)
        self.configure(delay=25, extra={"Shutdown": {"Type=": 2, "UPS Delay=": 60}})
        self.start_linked()
        self.sim.set_state("powerfail")
        harness.wait_for(lambda: 6 in codes(), 20, what="the announcement")
        self.sim.set_state("silent")
        harness.wait_for(lambda: 192 in codes(), 20, what="the lost link")
        self.assertNotIn(8, codes())  # lost before zero
        harness.wait_for(lambda: stamps("command.hibernate", "start"), 40, what="the hibernation")
        self.assertIn(8, codes())
        harness.wait_for(lambda: stamps("command.hibernate", "end"), 30, what="the resume")
        # The power and the link come back with the host running.
        self.sim.set_state("online")
        harness.wait_for(lambda: 193 in codes(), 30, what="the link's return")
        self.polls_after(time.time())
        self.assertEqual(self.frames_at_ups("SDA"), [], "the resumed host is switched off")
        dropped = [e for e in events() if e[0] == -1 and e[1] == 2 and e[2].startswith("The host has resumed")]
        self.assertEqual([e[2] for e in dropped],
                         ["The host has resumed from hibernation: the delayed shutdown (60 s) not sent to the UPS"])
        self.assertEqual(len(stamps("command.hibernate", "start")), 1)

    def test_battery_low_during_the_hibernation_script(self):
        stub("command.hibernate", 40)
        self.configure(delay=12, extra={"Shutdown": {"Type=": 2, "Battery Low Enable=": "Yes",
                                                     "Battery Low Delay=": 20}})
        self.start_linked()
        self.sim.set_state("powerfail")
        harness.wait_for(lambda: stamps("command.hibernate", "start"), 40, what="the hibernation")
        self.sim.set_state("lowbatt")
        harness.wait_for(lambda: 156 in codes(), 20, what="the battery low while the script runs")
        harness.wait_for(lambda: stamps("command.hibernate", "end"), 60, what="the resume")
        announced = codes().count(6)
        # Still on battery and low after the resume: judged afresh, a new
        # countdown with its delay (nothing of the earlier end is replayed).
        harness.wait_for(lambda: len(stamps("command.hibernate", "start")) > 1 or codes().count(6) > announced, 10,
                         what="a countdown after the resume")
        self.assertEqual(len(stamps("command.hibernate", "start")), 1, "hibernated again after the resume")
        # The power returns before its end.
        self.sim.set_state("online")
        harness.wait_for(lambda: 7 in codes(), 30, what="the countdown's end without shutdown")
        self.polls_after(time.time())
        self.assertEqual(len(stamps("command.hibernate", "start")), 1)
        self.assertEqual(len(self.frames_at_ups("SDA")), 1)
        self.assertEqual(codes().count(8), 1)

    def test_a_cancel_during_the_wait_at_zero_ends_when_the_power_returns(self):
        stub("command.ESX5", 45)
        self.configure(delay=15, command_before=10, extra=WEB)
        self.start_linked()
        harness.wait_for(lambda: harness.listening(HTTP), 15, what="the web server")
        snmptools.wait_agent()
        cookie = self.login()
        self.sim.set_state("powerfail")
        harness.wait_for(lambda: [e for e in events() if e[0] == -1 and e[2].startswith("Waiting")], 40,
                         what="the wait for the user command at zero")
        self.assertEqual(self.press(cookie, "cancel"), "The shutdown countdown is cancelled.")
        self.sim.set_state("online")
        harness.wait_for(lambda: 7 in codes(), 20, what="the shutdown called off")
        out = snmptools.run("snmpget", snmptools.v3(), "udp:127.0.0.1:161", REMAINING, CANCEL).stdout
        self.assertEqual([v[2] for v in snmptools.values(out)], ["-1", "2"])
        order = codes()
        self.assertLess(order.index(8), order.index(4))
        self.assertLess(order.index(4), order.index(7))
        # A resume afterwards changes nothing and says so; nor does the
        # user command's end.
        self.assertEqual(self.press(cookie, "resume"), "No shutdown countdown is running; nothing was changed.")
        ended = harness.wait_for(lambda: stamps("command.ESX5", "end"), 60, what="the user command's end")[0]
        self.polls_after(ended)
        self.assertEqual(self.frames_at_ups("SDA"), [])
        self.assertEqual(harness.marks("command.shutdown"), [])
        self.assertNotIn(5, codes())

    def test_the_host_script_starts_however_many_user_commands_run(self):
        stub("command.ESX5", 1000)
        stub("command.shutdown", 1)
        # No broadcasts: the user commands alone fill the script slots.
        self.configure(delay=60, command_before=60, extra={"Shutdown": {"Battery Low Enable=": "Yes",
                                                                         "Battery Low Delay=": 5},
                                                            "Reaction": {"Notify Message Enable=": "No"}})
        self.start_linked()
        refused = lambda: [e for e in events() if e[0] == -1 and e[2].startswith("Can't run the user command")]  # noqa
        for i in range(16):
            # The countdown's first second announces it and starts the user command.
            announced, ended = codes().count(6), codes().count(7)
            self.sim.set_state("powerfail")
            harness.wait_for(lambda: codes().count(6) > announced, 30, what="countdown %d" % (i + 1))
            self.sim.set_state("online")
            harness.wait_for(lambda: codes().count(7) > ended, 30, what="the end of countdown %d" % (i + 1))
        self.sim.set_state("lowbatt")
        harness.wait_for(lambda: stamps("command.shutdown", "start"), 60, what="the shutdown script")
        self.assertNotIn("Can't run the command.shutdown!", [e[2] for e in events()])
        # The user commands are bounded (14); each one refused is logged with the reason.
        self.assertEqual(len(stamps("command.ESX5", "start")), 14)
        self.assertEqual([e[1:] for e in refused()], [
            (3, "Can't run the user command (14 user commands still run): " + USER_COMMAND)] * 3)
        self.assertEqual(len(self.frames_at_ups("SDA")), 1)

    def test_an_snmp_cancel_that_cannot_take_effect_is_refused(self):
        stub("command.shutdown", 30)
        self.configure(delay=20, extra=SNMP_V1)
        self.start_linked()
        snmptools.wait_agent()
        target = "udp:127.0.0.1:161"
        self.sim.set_state("powerfail")
        harness.wait_for(lambda: 6 in codes(), 20, what="the announcement")
        # While the countdown runs the agent cancels and resumes it.
        for value in ("1", "2"):
            r = snmptools.run("snmpset", snmptools.v1("local"), target, CANCEL, "i", value)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        harness.wait_for(lambda: 8 in codes(), 30, what="the countdown's zero")
        for version, security, error in (("v1", snmptools.v1("local"), "badValue"),
                                         ("v3", snmptools.v3(), "inconsistentValue")):
            with self.subTest(version=version):
                r = snmptools.run("snmpset", security, target, CANCEL, "i", "1")
                out = r.stdout + r.stderr
                self.assertNotEqual(r.returncode, 0, out)
                self.assertIn(error, out)
                r = snmptools.run("snmpget", snmptools.v3(), target, CANCEL)
                self.assertEqual(snmptools.values(r.stdout), [(CANCEL, "INTEGER", "2")])
        harness.wait_for(lambda: stamps("command.shutdown", "start"), 20, what="the shutdown script")
        self.assertEqual(len(self.frames_at_ups("SDA")), 1)
        # The agent's cancel and resume are logged as its own, once each.
        texts = [e[2] for e in events() if e[0] == -1 and "through SNMP" in e[2]]
        self.assertEqual(texts, ["Shutdown countdown cancelled through SNMP", "Shutdown countdown resumed through SNMP"])
        self.assertEqual(codes().count(4) + codes().count(5), 0)

    def test_a_sigchld_ignored_by_the_starter_hides_no_failing_script(self):
        self.configure(delay=8, command_before=8)
        # Neither stub can be executed.
        for name in ("command.shutdown", "command.ESX5"):
            os.chmod("%s/command/%s" % (INSTALL, name), 0o644)
        parent = subprocess.Popen([harness.UPSD], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL,
                                  preexec_fn=lambda: signal.signal(signal.SIGCHLD, signal.SIG_IGN))
        self.assertEqual(parent.wait(10), 0)
        pid = harness.wait_for(lambda: int(harness.read(harness.PIDFILE) or 0), 10, what="the pid file")
        daemon = harness.Daemon()
        daemon.pid = pid
        self.daemons.append(daemon)
        status = harness.read("/proc/%d/status" % pid)
        ignored = int(re.search(r"^SigIgn:\s*([0-9a-f]+)$", status, re.M).group(1), 16)
        self.assertFalse(ignored & (1 << (signal.SIGCHLD - 1)), "SIGCHLD still ignored: SigIgn %x" % ignored)
        harness.wait_for(lambda: sum(f["mnemonic"] == "STB" for f in self.sim.frames()) >= 2, 30,
                         what="the UPS link")
        self.sim.set_state("powerfail")
        harness.wait_for(lambda: "Can't run the command.shutdown!" in [e[2] for e in events()], 40,
                         what="the failing shutdown script reported")
        failures = [e[1:] for e in events() if e[0] == -1 and e[1] == 3]
        self.assertIn((3, "Can't run the user command (exit status 126: not executable): " + USER_COMMAND), failures)


if __name__ == "__main__":
    harness.main()
