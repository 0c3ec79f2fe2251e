"""config.ini as the installed daemon meets it: passwords an operator wrote
in clear under the factory "Advanced" encoding (for the web accounts and
for an SNMPv3 user, with curl and net-snmp's tools as the peers), a file
that exists and cannot be read at start (a directory named config.ini, a
symlink loop), an uploaded configuration whose save fails, and the reload
at every lost UPS link (the UPS simulator falls silent): a hand edit (of
[USM], [Shutdown] and [UPS], in force after the lost link and kept by the
next SET), a file that cannot be read and a file that is gone."""
import hashlib
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
import harness  # noqa: E402
import snmptools as st  # noqa: E402
import upssim  # noqa: E402
from test_lifecycle import free_text, start_upsd  # noqa: E402
from test_webdev import BASE, HTTP, cell, curl, wait_listening  # noqa: E402

V4 = "udp:127.0.0.1:161"
SYS_DESCR = ".1.3.6.1.2.1.1.1.0"
PF_ENABLE = ".1.3.6.1.4.1.32473.2.210.2.2.0"
PF_DELAY = ".1.3.6.1.4.1.32473.2.210.2.3.0"
EVENT_LOG = harness.INSTALL + "/_FILE_LOG.TXT"
LOST = 192  # UPS event: communication lost


def login(account, password):
    """The session cookie of a login with curl, or None when refused."""
    page = curl(BASE + "/login.asp")
    challenge = re.search(r'id="challenge" value="([^"]*)"', page).group(1)
    response = hashlib.md5((account + password + challenge).encode()).hexdigest()
    reply = curl("-i", BASE + "/varno/login", "-d", "Username=%s&Response=%s" % (account, response))
    m = re.search(r"QuenchRelayer=([^;]*);", reply)
    return m.group(1) if m else None


def zero_keys(user="manager"):
    """net-snmp with all-zero localised keys, as an empty password gives them."""
    zero = "0x" + "00" * 16
    return ["-v3", "-l", "authPriv", "-u", user, "-n", st.CONTEXT, "-a", "MD5", "-3k", zero, "-x", "DES",
            "-3K", zero]


def snmp_error(security):
    r = st.run("snmpget", security, V4, SYS_DESCR, timeout=2)
    return None if r.returncode == 0 else (r.stdout + r.stderr).lower()


def snmp_value(security, name):
    r = st.run("snmpget", security, V4, name, timeout=2)
    rows = st.values(r.stdout)
    return rows[0][2] if r.returncode == 0 and rows else (r.stdout + r.stderr).strip()


def logged_codes():
    out = []
    for line in (harness.read(EVENT_LOG) or "").splitlines():
        code = line.split(" ", 1)[0]
        if code.lstrip("-").isdigit():
            out.append(int(code))
    return out


def wait_linked(sim, since=0.0):
    harness.wait_for(lambda: sum(f["type"] == "P" and f["mnemonic"] == "STB" and f["t"] >= since
                                 for f in sim.frames()) >= 2, 30, what="the UPS link")


def lose_link(sim):
    """The UPS falls silent until the daemon gives the link up (and reads
    config.ini again), then answers again and is linked anew."""
    lost = logged_codes().count(LOST)
    sim.set_state("silent")
    harness.wait_for(lambda: logged_codes().count(LOST) > lost, 30, 0.2, what="the lost link")
    since = time.time()
    sim.set_state("online")
    wait_linked(sim, since)


class ConfigFile(harness.DaemonTest):
    def test_passwords_written_in_clear_are_taken_and_stored_encoded(self):
        harness.ensure_config()
        self.assertEqual(harness.config_get("Web", "Password Encrypt="), "Advanced")
        self.assertEqual(harness.config_get("USM", "Password Encrypt="), "Advanced")
        # What an operator who forgot the passwords writes while the daemon is stopped.
        harness.config_set({"Web": {"HTTP Port=": HTTP, "Force HTTPS=": "No", "Password0=": "opensesame"},
                            "USM": {"Auth1=": "newauthpass", "Priv1=": "newprivpass"}})
        for start in ("first start", "restart"):
            with self.subTest(start):
                d = self.start_daemon()
                wait_listening(HTTP)
                st.wait_agent(security=st.v3(auth="newauthpass", priv="newprivpass"))
                self.assertIsNone(login("admin", ""))
                self.assertIsNotNone(login("admin", "opensesame"))
                self.assertIn("authentication failure", snmp_error(zero_keys()))
                self.assertIn("authentication failure", snmp_error(st.v3()))  # the factory passwords are gone
                # Written back encoded: neither empty nor in clear.
                self.assertNotIn(harness.config_get("Web", "Password0="), ("", "opensesame"))
                self.assertNotIn(harness.config_get("USM", "Auth1="), ("", "newauthpass"))
                self.assertNotIn(harness.config_get("USM", "Priv1="), ("", "newprivpass"))
                self.assertEqual(d.stop(), 0)
        # A user whose level needs a password it has not got is unknown.
        harness.config_set({"USM": {"Auth1=": ""}})
        self.start_daemon()
        st.wait_agent(security=st.v1("tambor"))
        self.assertIn("unknown user name", snmp_error(zero_keys()))
        self.assertIn("unknown user name", snmp_error(st.v3(auth="newauthpass", priv="newprivpass")))

    def test_unreadable_config_is_left_alone_and_the_shutdown_stays_armed(self):
        config = harness.CONFIG

        def directory():
            os.mkdir(config)
            harness.write(config + "/kept", "mine\n")
            return lambda: harness.read(config + "/kept") == "mine\n"

        def loop():
            os.symlink(config, config)
            return lambda: os.path.islink(config) and os.readlink(config) == config

        cases = [("a directory named config.ini", directory, "Is a directory", False),
                 ("a symlink loop", loop, "Too many levels of symbolic links", True)]
        for what, make, reason, replaceable in cases:
            with self.subTest(what):
                subprocess.run(["rm", "-rf", config, harness.INSTALL + "/_FILE_LOG.TXT"], check=True)
                untouched = make()
                status, out = start_upsd()
                self.assertEqual(status, 0)  # the service runs, on the factory defaults
                self.assertIn("upsd: Cannot read %s: %s; running on the factory defaults" % (config, reason), out)
                pid = harness.wait_for(lambda: (harness.read(harness.PIDFILE) or "").isdigit() and
                                       int(harness.read(harness.PIDFILE)), 10, what="the pid file")
                try:
                    st.wait_agent(security=st.v1("tambor"))
                    for name, want in ((PF_ENABLE, "1"), (PF_DELAY, "300")):
                        r = st.run("snmpget", st.v1("tambor"), V4, name)
                        self.assertEqual(st.values(r.stdout), [(name, "INTEGER", want)])
                    severe = [t for t in free_text(3) if config in t]
                    self.assertEqual(len(severe), 1, free_text())
                    self.assertIn(reason, severe[0])
                    time.sleep(1)
                    self.assertTrue(untouched())
                    # A setting changed through SNMP is saved where the file can
                    # be replaced; where it cannot, the SET is refused and undone.
                    r = st.run("snmpset", st.v3(), V4, PF_DELAY, "i", "250")
                    if replaceable:
                        self.assertEqual(r.returncode, 0, r.stderr)
                        self.assertEqual(harness.config_get("Shutdown", "Power Fail Delay="), "250")
                        self.assertEqual(harness.config_get("Shutdown", "Power Fail Enable="), "Yes")
                    else:
                        self.assertIn("commitFailed", r.stdout + r.stderr)
                        self.assertEqual(snmp_value(st.v1("tambor"), PF_DELAY), "300")
                        self.assertTrue(untouched())
                finally:
                    os.kill(pid, 15)
                    status = harness.reap(pid)
                self.assertEqual(status, 0)

    def test_reload_at_a_lost_link(self):
        sim = harness.serial_ups(self)
        sim.model.dates = ("20240115", "20270115")  # the battery dates the UPS reports
        st.set_users([("manager", 2, "firstauth1", "firstpriv1", 2)])
        harness.config_set({"Shutdown": {"Power Fail Delay=": 450},
                            "Web": {"HTTP Port=": HTTP, "Force HTTPS=": "No", "Password Encrypt=": "No",
                                    "Password0=": "admin-pass", "Enable Login Lock=": "Disable"}})
        first, second = st.v3(auth="firstauth1", priv="firstpriv1"), st.v3(auth="secondauth1", priv="secondpriv1")
        self.start_daemon()
        wait_linked(sim)
        st.wait_agent(security=first)
        wait_listening(HTTP)
        cookie = login("admin", "admin-pass")

        def battery_low_level():
            """The battery-low level in force, as the UPS settings page shows it."""
            page = curl("-b", "QuenchRelayer=" + cookie, BASE + "/en/device/ups_config.asp")
            return re.search(r'name="CFG_BL" value="([^"]*)"', page).group(1)
        self.assertEqual(battery_low_level(), "30")

        # A hand edit while the daemon runs is read at the next lost link, in
        # [UPS] as in the other sections, and the SNMPv3 keys follow the new
        # passwords at once.
        harness.config_set({"USM": {"Auth1=": "secondauth1", "Priv1=": "secondpriv1"},
                            "Shutdown": {"Power Fail Delay=": 460}, "UPS": {"Battery Low Level=": 55}})
        self.assertEqual((snmp_value(first, PF_DELAY), battery_low_level()), ("450", "30"))
        lose_link(sim)
        self.assertEqual(snmp_value(second, PF_DELAY), "460")
        self.assertIn("authentication failure", snmp_error(first))
        self.assertEqual(battery_low_level(), "55")
        # A later SET saves the file from the settings in force: the edit stays.
        r = st.run("snmpset", second, V4, PF_DELAY, "i", "465")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(harness.config_get("UPS", "Battery Low Level="), "55")
        self.assertEqual(harness.config_get("Shutdown", "Power Fail Delay="), "465")
        self.assertEqual(battery_low_level(), "55")

        # A config.ini that cannot be read at a lost link: the settings in use stay.
        os.unlink(harness.CONFIG)
        os.mkdir(harness.CONFIG)
        lose_link(sim)
        self.assertEqual(snmp_value(second, PF_DELAY), "465")
        self.assertTrue(os.path.isdir(harness.CONFIG))

        # config.ini gone at a lost link: written back from the settings in
        # use, not from the factory defaults.
        os.rmdir(harness.CONFIG)
        lose_link(sim)
        text = harness.read(harness.CONFIG)
        self.assertIsNotNone(text)
        for section, key, want in (("Shutdown", "Power Fail Delay=", "465"), ("USM", "Password Encrypt=", "No"),
                                   ("UPS", "Battery Low Level=", "55"),
                                   ("USM", "Auth1=", "secondauth1"), ("USM", "Priv1=", "secondpriv1"),
                                   ("Web", "Password0=", "admin-pass"),
                                   ("UPS", "Last Battery Replace=", "20240115"),
                                   ("UPS", "Next Battery Replace=", "20270115"),
                                   ("COM", "COM Path=", sim.slave_path)):
            self.assertEqual(harness.config_get(section, key, text), want, key)
        self.assertEqual(snmp_value(second, PF_DELAY), "465")

    def test_unreadable_at_start_then_a_lost_link(self):
        if not os.path.exists("/dev/ttyS0"):
            self.skipTest("the factory port search reaches the simulator only through /dev/ttyS0")
        sim = upssim.UpsSim(checksum=True, log_path="/tmp/upssim.log").start()
        self.addCleanup(sim.stop)
        # The factory port search finds the simulator at the first serial port.
        subprocess.run(["mount", "--bind", sim.slave_path, "/dev/ttyS0"], check=True)
        self.addCleanup(subprocess.run, ["umount", "/dev/ttyS0"])
        subprocess.run(["rm", "-rf", harness.CONFIG], check=True)
        os.mkdir(harness.CONFIG)
        self.start_daemon()
        wait_linked(sim)
        st.wait_agent()
        self.assertEqual(snmp_value(st.v3(), PF_DELAY), "300")  # the factory defaults
        lose_link(sim)
        # The reload keeps the settings in use (not the factory defaults set
        # again): the SNMPv3 user's keys still work.
        self.assertIsNone(snmp_error(st.v3()))
        self.assertEqual(snmp_value(st.v3(), PF_DELAY), "300")
        self.assertTrue(os.path.isdir(harness.CONFIG))
        self.assertEqual(len([t for t in free_text(3) if harness.CONFIG in t]), 1, free_text())

    def test_failed_save_of_an_upload_answers_the_error(self):
        harness.ensure_config()
        harness.config_set({"Web": {"HTTP Port=": HTTP, "Force HTTPS=": "No", "Password Encrypt=": "No",
                                    "Password0=": "admin-pass", "Enable Login Lock=": "Disable"}})
        self.start_daemon()
        wait_listening(HTTP)
        cookie = login("admin", "admin-pass")
        self.assertIsNotNone(cookie)
        harness.write("/tmp/upload.ini", harness.read(harness.CONFIG).replace("Power Fail Delay=300\n",
                                                                              "Power Fail Delay=77\n"))

        def upload():
            page = curl("-b", "QuenchRelayer=" + cookie, BASE + "/en/sys_batch.asp")
            token = re.search(r'name="SYS_UCTOKEN" value="([^"]*)"', page).group(1)
            reply = curl("-i", "-b", "QuenchRelayer=" + cookie, BASE + "/en/sys_batch", "--form-string",
                         "SYS_UCTOKEN=" + token, "-F", "UL_F_SYSTEM=@/tmp/upload.ini;filename=config.ini",
                         "--form-string", "UL_SYSTEM=Upload")
            self.assertIn("\r\nLocation: %s/message.asp" % BASE, reply)
            msg = curl("-b", "QuenchRelayer=" + cookie, BASE + "/message.asp")
            return cell(msg, "title"), cell(msg, "message")

        # config.ini cannot be replaced (a mount point: the rename of the
        # saved copy over it fails): the upload is not reported as saved.
        before = harness.read(harness.CONFIG)
        subprocess.run(["mount", "--bind", harness.CONFIG, harness.CONFIG], check=True)
        try:
            self.assertEqual(upload(), ("Error", "The settings could not be saved."))
        finally:
            subprocess.run(["umount", harness.CONFIG], check=True)
        self.assertEqual(harness.read(harness.CONFIG), before)
        self.assertEqual(upload(), ("Information", "Upload successfully."))
        self.assertEqual(harness.config_get("Shutdown", "Power Fail Delay="), "77")


if __name__ == "__main__":
    harness.main()
