"""End-to-end: the installation on a disk that fills while the daemon runs.
The installed files are moved onto a small tmpfs of their own inside the
test's namespace, which the test fills; the UPS simulator gives the power
failures, net-snmp's tools are the manager. The event log must hold whole
records only, say how many events it could not take once space is back,
and an SNMP SET or a web form (curl as the browser) that cannot be saved
must be refused and leave the value in force as it was, and nothing that
would follow from the change may happen: the agent keeps answering on
its port, the shutdown clients keep their countdowns (net-snmp's snmpd as
the client in the peer namespace), the event texts are not read again and
the data log is not cleared."""
import errno
import os
import re
import shutil
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import snmptools as st  # noqa: E402
from test_webaccess import ACCOUNTS, BASE, Session  # noqa: E402

INSTALL = harness.INSTALL
EVENT_LOG = INSTALL + "/_FILE_LOG.TXT"
FILLER = INSTALL + "/filler"
PAGE = 4096
V4 = "udp:127.0.0.1:161"
PF_DELAY = ".1.3.6.1.4.1.32473.2.210.2.3.0"
COUNTDOWN = ".1.3.6.1.4.1.32473.2.210.1.4.0"  # remaining seconds, -1 when none runs
SYS_DESCR = ".1.3.6.1.2.1.1.1.0"
LANGUAGE_FILE = INSTALL + "/language/English/event-ups.ini"
NOT_SAVED = ("Error", "The settings could not be saved.")
UPDATED = ("Information", "Updated successfully.")
SIGINT_EVENT = 36

# A record as the daemon writes it, and its head (what a record appended to
# one cut short shows in the middle of the line).
RECORD = re.compile(r"^(-1|0|[1-9]\d{0,2}) (\d{1,3}) \d\d/\d\d/\d{4} \d\d:\d\d:\d\d (.*)$")
HEAD = re.compile(r"(-1|\d{1,3}) \d{1,3} \d\d/\d\d/\d{4} \d\d:\d\d:\d\d ")
UNWRITTEN = re.compile(r"^(\d+) events? not written to the event log since \d\d/\d\d/\d{4} \d\d:\d\d:\d\d: (.*)$")


def log_text():
    return harness.read(EVENT_LOG) or ""


def whole_records(text):
    """(records, lines that are no whole record) of the log text."""
    records, broken = [], []
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    elif lines:
        broken.append(lines.pop())  # no line feed at the end
    for line in lines:
        m = RECORD.match(line)
        if m and not HEAD.search(m.group(3)):
            records.append((int(m.group(1)), int(m.group(2)), m.group(3)))
        else:
            broken.append(line)
    return records, broken


class FullDisk(harness.DaemonTest):
    def setUp(self):
        super().setUp()
        self.sim = harness.serial_ups(self)
        harness.config_set({"Shutdown": {"Power Fail Enable=": "Yes", "Power Fail Delay=": 600},
                            "Reaction": {"Notify Message Enable=": "No"}})
        st.set_access([("0.0.0.0", "tambor", 1), ("127.0.0.1", "local", 2)])
        self.small_disk()

    def small_disk(self):
        """Moves the installation onto a tmpfs of its own, a few MiB larger
        than what it holds."""
        stage = "/usr/local/brisvane.stage"
        os.rename(INSTALL, stage)
        os.mkdir(INSTALL)
        used = int(subprocess.run(["du", "-sk", stage], capture_output=True, text=True, check=True).stdout.split()[0])
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dk,mode=0755" % (used + 4096), "tmpfs", INSTALL],
                       check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", INSTALL])
        subprocess.run(["cp", "-a", stage + "/.", INSTALL], check=True)
        shutil.rmtree(stage)

    def fill(self):
        """Fills the installation's disk; then, in the log's own last page,
        leaves fewer bytes than a record needs, so the next append is cut
        short (as on a disk that fills between two records)."""
        fd = os.open(FILLER, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        try:
            for chunk in (1 << 20, PAGE, 1):
                block = bytes(chunk)
                while True:
                    try:
                        os.write(fd, block)
                    except OSError as e:
                        self.assertEqual(e.errno, errno.ENOSPC)
                        break
        finally:
            os.close(fd)
        for _ in range(10):
            size = os.path.getsize(EVENT_LOG)
            room = -size % PAGE
            if room < 45:  # less than any record of the daemon's takes
                return room
            # A record of the test's own, whole, takes all of the page but 10 bytes.
            pad = "-1 0 01/01/2000 00:00:00 padding "
            pad += "x" * (room - 10 - len(pad) - 1) + "\n"
            with open(EVENT_LOG, "a") as f:
                f.write(pad)
        self.fail("the log's last page did not fill")

    def free(self):
        os.unlink(FILLER)

    def start_linked(self):
        self.daemon = self.start_daemon()
        harness.wait_for(lambda: sum(f["mnemonic"] == "STB" for f in self.sim.frames()) >= 2, 30,
                         what="the UPS link")
        st.wait_agent()

        # The listeners' records come with the first 5-second pass, which
        # also drops the mail spools of the events so far (there are no
        # receivers): then no file of the installation changes for one whole
        # pass while nothing happens, and a full disk stays full.
        def files():
            out = {}
            for root, _, names in os.walk(INSTALL):
                for name in names:
                    path = os.path.join(root, name)
                    out[path] = os.lstat(path).st_size
            return out

        def quiet():
            before = files()
            time.sleep(5.5)
            return "SNMP: OK" in log_text() and files() == before
        harness.wait_for(quiet, 40, 0, what="an installation where nothing changes")

    def start_with_web(self):
        """start_linked with the administrator's account on HTTP: its session."""
        harness.config_set({"Web": {"HTTP Port=": 8080, "Force HTTPS=": "No", "Password Encrypt=": "No",
                                    "Password0=": ACCOUNTS[0][1], "Enable Login Lock=": "Disable"}})
        self.start_linked()
        return Session(0)

    def countdown(self):
        r = st.run("snmpget", st.v3(), V4, COUNTDOWN)
        rows = st.values(r.stdout)
        return int(rows[0][2]) if rows else None

    def set_state(self, state):
        """Changes the UPS's state and waits until the daemon has read every
        status query three times since (past each bit's debounce) and its
        alarm processing has run: every event of the change is raised."""
        since = time.time()
        self.sim.set_state(state)
        for mnemonic in ("STA", "STB", "STI", "STO"):
            harness.wait_for(lambda: sum(f["type"] == "P" and f["mnemonic"] == mnemonic and f["t"] >= since
                                         for f in self.sim.frames()) >= 3, 30, what="three %s queries" % mnemonic)
        time.sleep(1.5)

    def power_failure_and_return(self):
        self.set_state("powerfail")
        self.assertGreaterEqual(self.countdown(), 0)  # the power-failure countdown runs
        self.set_state("online")
        self.assertEqual(self.countdown(), -1)

    def test_event_log_through_power_failures_on_a_full_disk(self):
        self.start_linked()
        self.fill()
        before = log_text()
        self.power_failure_and_return()
        self.power_failure_and_return()
        during = log_text()
        self.free()
        # The first record once there is room again: the "stop" command's SIGINT.
        self.assertEqual(harness.run_upsd("stop").returncode, 0)
        harness.wait_for(lambda: "Signal SIGINT received\n" in log_text(), 10, what="the SIGINT record")
        after_full = log_text()
        # One more power failure with room: the records such a failure gives.
        start = len(whole_records(after_full)[0])
        self.power_failure_and_return()
        records, broken = whole_records(log_text())
        one_failure = records[start:]

        self.assertEqual(broken, [], "lines that are no whole record")
        self.assertEqual(during, before, "the log changed while the disk was full")
        new = whole_records(after_full)[0][len(whole_records(before)[0]):]
        counts = [UNWRITTEN.match(r[2]) for r in new if r[0] == -1 and r[1] == 2]
        counts = [m for m in counts if m]
        self.assertEqual(len(counts), 1, new)
        self.assertEqual(counts[0].group(2), "No space left on device")
        self.assertGreaterEqual(len(one_failure), 4, one_failure)
        self.assertEqual(int(counts[0].group(1)), 2 * len(one_failure), (new, one_failure))
        # The count record comes first, then the record that found room.
        self.assertEqual([r[0] for r in new], [-1, SIGINT_EVENT])

    def test_set_that_cannot_be_saved_is_refused(self):
        self.start_linked()
        saved = harness.read(harness.CONFIG)
        self.assertIn("Power Fail Delay=600\n", saved)

        def full():
            self.fill()
            return self.free

        def mount_point():
            # config.ini cannot be replaced: the rename of the saved copy fails.
            subprocess.run(["mount", "--bind", harness.CONFIG, harness.CONFIG], check=True)
            return lambda: subprocess.run(["umount", harness.CONFIG], check=True)

        for what, make in (("a full disk", full), ("config.ini that cannot be replaced", mount_point)):
            for version, security, error in (("v3", st.v3(), "commitFailed"), ("v1", st.v1("local"), "genError")):
                with self.subTest(what, version=version):
                    undo = make()
                    try:
                        logged = len(log_text())
                        r = st.run("snmpset", security, V4, PF_DELAY, "i", "45")
                        out = r.stdout + r.stderr
                        self.assertNotEqual(r.returncode, 0, out)
                        self.assertIn(error, out)
                        r = st.run("snmpget", st.v3(), V4, PF_DELAY)
                        self.assertEqual(st.values(r.stdout), [(PF_DELAY, "INTEGER", "600")])
                        self.assertEqual(harness.read(harness.CONFIG), saved)
                    finally:
                        undo()
                    if what != "a full disk":
                        # Logged where the log has room.
                        text = log_text()[logged:]
                        self.assertIn("SNMP SET not saved", text)
        # The countdown takes the value config.ini holds.
        self.set_state("powerfail")
        self.assertGreater(self.countdown(), 590)
        self.set_state("online")
        # With room the same SET is stored.
        r = st.run("snmpset", st.v3(), V4, PF_DELAY, "i", "45")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(harness.config_get("Shutdown", "Power Fail Delay="), "45")

    def test_form_that_cannot_be_saved_is_undone(self):
        admin = self.start_with_web()
        saved = harness.read(harness.CONFIG)
        self.assertIn("Power Fail Delay=600\n", saved)
        page = "/en/device/mgnt_reaction.asp"
        form = [("SUB_SHUTDOWN", "1"), ("ACT_PF_EN", "on"), ("ACT_OSD_PF", "45")]

        def delay_on_page():
            m = re.search(r'name="ACT_OSD_PF" value="([^"]*)"', admin.get(page))
            return m and m.group(1)

        def delay_by_snmp():
            return st.values(st.run("snmpget", st.v3(), V4, PF_DELAY).stdout)

        self.assertEqual(delay_on_page(), "600")
        token = admin.token(page)
        self.fill()
        try:
            reply = admin.post("mgnt_reaction", form, token=token)
            self.assertIn("Location: %s/message.asp" % BASE, reply)
            self.assertEqual(admin.message()[:2], NOT_SAVED)
            self.assertEqual(delay_on_page(), "600")
            self.assertEqual(delay_by_snmp(), [(PF_DELAY, "INTEGER", "600")])
            self.assertEqual(harness.read(harness.CONFIG), saved)
        finally:
            self.free()
        # The countdown takes the value config.ini holds.
        self.set_state("powerfail")
        self.assertGreater(self.countdown(), 590)
        self.set_state("online")
        # With room the same post is stored and in force.
        reply = admin.post("mgnt_reaction", form)
        self.assertIn("Location: %s/message.asp" % BASE, reply)
        self.assertEqual(admin.message()[:2], UPDATED)
        self.assertEqual(harness.config_get("Shutdown", "Power Fail Delay="), "45")
        self.assertEqual(delay_by_snmp(), [(PF_DELAY, "INTEGER", "45")])

    def test_agent_port_that_cannot_be_saved_leaves_the_agent_answering(self):
        admin = self.start_with_web()
        saved = harness.read(harness.CONFIG)
        page = "/en/net_snmpaccess.asp"
        port = [("SUB_PORT", "1"), ("ACT_SNMP_PORT", "1161")]

        # A manager asks every 0.2 s, whether its earlier questions were
        # answered or not; each question has 2 s to be answered.
        answers = []  # (monotonic time asked, answered)
        stop = threading.Event()

        def question():
            t = time.monotonic()
            r = st.run("snmpget", st.v1("tambor"), V4, SYS_DESCR, timeout=1, retries=1)
            answers.append((t, r.returncode == 0))

        def ask():
            asked = []
            while not stop.wait(0.2):
                asked.append(threading.Thread(target=question))
                asked[-1].start()
            for q in asked:
                q.join()
        manager = threading.Thread(target=ask)

        token = admin.token(page)
        self.fill()
        try:
            manager.start()
            harness.wait_for(lambda: len(answers) >= 5, 30, what="five answers before the post")
            admin.post("dev_snmpv1", port, token=token)
            posted = time.monotonic()
            self.assertEqual(admin.message()[:2], NOT_SAVED)
            # Closed sockets are opened again by the 5-second pass: the
            # manager asks on for two of them after the post.
            harness.wait_for(lambda: max(t for t, _ in answers) > posted + 11, 60,
                             what="questions for 11 s after the post")
        finally:
            stop.set()
            manager.join()
            self.free()
        self.assertGreaterEqual(len([t for t, _ in answers if t >= posted]), 40)
        self.assertEqual(sorted(round(t - posted, 1) for t, ok in answers if not ok), [],
                         "questions the agent did not answer (seconds after the post)")
        self.assertIn('value="161"', re.search(r'<input[^>]*name="ACT_SNMP_PORT"[^>]*>', admin.get(page)).group(0))
        self.assertEqual(harness.read(harness.CONFIG), saved)
        self.assertNotEqual(st.run("snmpget", st.v1("tambor"), "udp:127.0.0.1:1161", SYS_DESCR).returncode, 0)

        # Saved, the agent moves to its new port with the next pass.
        admin.post("dev_snmpv1", port)
        self.assertEqual(admin.message()[:2], UPDATED)
        self.assertEqual(harness.config_get("SNMP Server", "Listen Port="), "1161")
        st.wait_agent("udp:127.0.0.1:1161", st.v1("tambor"))
        self.assertNotEqual(st.run("snmpget", st.v1("tambor"), V4, SYS_DESCR).returncode, 0)

    def test_data_log_clear_that_cannot_be_saved_clears_nothing(self):
        """"Clear data log" posts "Months kept" with it: a changed value is
        saved with the clear or, on a full disk, neither happens."""
        harness.ensure_config()
        harness.config_set({"Data Log": {"Maximum Storage=": 24}})
        # A month of last year's data log, which 24 months keep and a clear deletes.
        last_year = "%s/%d" % (INSTALL, time.localtime().tm_year - 1)
        os.makedirs(last_year, exist_ok=True)
        month_file = last_year + "/5_1MM.DAT"
        harness.write(month_file, "\xdc\x07\x00\x00")
        admin = self.start_with_web()
        saved = harness.read(harness.CONFIG)
        page = "/en/hist_config.asp"

        def months_on_page():
            return re.search(r'name="HCG_MAX_DATANUM" value="([^"]*)"', admin.get(page)).group(1)

        def clear(months, token=None):
            admin.post("hist_config", [("HCG_MAX_DATANUM", months), ("CLEAR_DATA", "1")], token=token)
            return admin.message()[:2]

        self.assertEqual(months_on_page(), "24")
        token = admin.token(page)
        self.fill()
        try:
            self.assertEqual(clear("3", token), NOT_SAVED)
            self.assertTrue(os.path.exists(month_file), "the data log was cleared")
            self.assertEqual(months_on_page(), "24")
            self.assertEqual(harness.read(harness.CONFIG), saved)
        finally:
            self.free()
        # An unrelated save later writes the months in force, not the posted ones.
        admin.post("sys_info", [("INF_LOCATION", "rack 4")])
        self.assertEqual(admin.message()[:2], UPDATED)
        self.assertEqual(harness.config_get("System", "Location="), "rack 4")
        self.assertEqual(harness.config_get("Data Log", "Maximum Storage="), "24")
        self.assertTrue(os.path.exists(month_file))

        # With room the posted months are saved with the clear.
        self.assertEqual(clear("3"), UPDATED)
        self.assertFalse(os.path.exists(month_file))
        self.assertEqual(harness.config_get("Data Log", "Maximum Storage="), "3")
        self.assertEqual(months_on_page(), "3")
        # The months unchanged, the clear needs no save: it frees a full disk too.
        harness.write(month_file, "\xdc\x07\x00\x00")
        token = admin.token(page)
        self.fill()
        try:
            self.assertEqual(clear("3", token), UPDATED)
            self.assertFalse(os.path.exists(month_file))
        finally:
            self.free()

    def test_forms_that_cannot_be_saved_have_no_other_effect(self):
        import test_snmppoll
        harness.ensure_config()
        test_snmppoll.set_clients([harness.PEER_V4])
        client = test_snmppoll.Client()  # reports a countdown of 120 s
        client.start()
        self.addCleanup(client.stop)
        admin = self.start_with_web()
        saved = harness.read(harness.CONFIG)
        traps = "/en/device/net_snmptrap.asp"

        def client_countdowns():
            text = re.search(r'<template id="clients-data">(.*?)</template>', admin.get(traps), re.S).group(1)
            return [int(v) for v in re.findall(r"<NCS_NC_COUNTDOWN>(-?\d+)</NCS_NC_COUNTDOWN>", text)]
        harness.wait_for(lambda: (client_countdowns() or [-1])[0] > 100, 40, 0.2, what="the client's countdown")

        # The event texts as the daemon read them, and a new text on disk
        # that a reload of the language would show.
        events = "/en/device/dev_event.asp"
        self.assertIn("Utility power failure", admin.get(events))
        text = harness.read(LANGUAGE_FILE)
        harness.write(LANGUAGE_FILE, text.replace("name3=Utility power failure", "name3=Mains gone"))

        edit_client = [("TRAP_EDIT1", "1"), ("TRAP_NMS", harness.PEER_V4), ("TRAP_COMM", "nc"),
                       ("TRAP_PORT", "16299"), ("TRAP_MIB", "0"), ("TRAP_TYPE", "0"), ("TRAP_LEVEL", "4"),
                       ("TRAP_USER", ""), ("TRAP_NCP", "161"), ("TRAP_TWICE", "0")]
        language = [("LANG", "1")]
        schedule = "/en/device/mgnt_wschedule.asp"
        # Hours away, so that the entry cannot come due while the test runs.
        at = "%02d:00" % ((time.localtime().tm_hour + 12) % 24)
        weekly = [("WSH_ACT1", "1"), ("WSH_SUN1", "1"), ("WSH_MON1", "1"), ("WSH_TUE1", "1"), ("WSH_WED1", "1"),
                  ("WSH_THR1", "1"), ("WSH_FRI1", "1"), ("WSH_SAT1", "1"), ("WSH_TM1", at)]

        def weekly_entry():
            page = admin.get(schedule)
            return (re.search(r'<input[^>]*name="WSH_TM1"[^>]*>', page).group(0),
                    re.search(r'id="next-off"[^>]*>([^<]*)<', page).group(1))
        entry = weekly_entry()
        self.fill()
        try:
            with self.subTest("trap receivers"):
                admin.post("trap_iconfig", edit_client)
                # A reset would show -1 until the client's next answer; the
                # seconds only count down to 0.
                self.assertGreaterEqual(client_countdowns()[0], 0, "the client's countdown was reset")
                self.assertEqual(admin.message()[:2], NOT_SAVED)
            with self.subTest("language"):
                admin.post("language", language)
                self.assertEqual(admin.message()[:2], NOT_SAVED)
                # A reload would come 0.1 s after the post: none within 2 s.
                time.sleep(2)
                page = admin.get(events)
                self.assertIn("Utility power failure", page)
                self.assertNotIn("Mains gone", page)
            with self.subTest("weekly schedule"):
                admin.post("mgnt_wschedule", weekly)
                self.assertEqual(admin.message()[:2], NOT_SAVED)
                self.assertEqual(weekly_entry(), entry)
            self.assertEqual(harness.read(harness.CONFIG), saved)
        finally:
            self.free()
        # Saved, each form does what follows from it.
        self.assertIn("Location: %s/en/device/index.asp" % BASE, admin.post("language", [("LANG", "0")]))
        harness.wait_for(lambda: "Mains gone" in admin.get(events), 10, 0.2, what="the texts read again")
        admin.post("mgnt_wschedule", weekly)
        self.assertEqual(admin.message()[:2], UPDATED)
        self.assertNotEqual(weekly_entry()[1], entry[1])


if __name__ == "__main__":
    harness.main()
