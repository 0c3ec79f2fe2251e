"""config.ini as the installed daemon meets it: passwords an operator wrote
in clear under the factory "Advanced" encoding (for the web accounts and
for an SNMPv3 user, with curl and net-snmp's tools as the peers), a file
that exists and cannot be read at start (a directory named config.ini, a
symlink loop), and an uploaded configuration whose save fails."""
import hashlib
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import snmptools as st  # noqa: E402
from test_lifecycle import free_text, start_upsd  # noqa: E402
from test_webdev import BASE, HTTP, cell, curl, wait_listening  # noqa: E402

V4 = "udp:127.0.0.1:161"
SYS_DESCR = ".1.3.6.1.2.1.1.1.0"
PF_ENABLE = ".1.3.6.1.4.1.32473.2.210.2.2.0"
PF_DELAY = ".1.3.6.1.4.1.32473.2.210.2.3.0"


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
                st.wait_agent(security=st.v1("tambor"))
                for name, want in ((PF_ENABLE, "1"), (PF_DELAY, "300")):
                    r = st.run("snmpget", st.v1("tambor"), V4, name)
                    self.assertEqual(st.values(r.stdout), [(name, "INTEGER", want)])
                severe = [t for t in free_text(3) if config in t]
                self.assertEqual(len(severe), 1, free_text())
                self.assertIn(reason, severe[0])
                time.sleep(1)
                self.assertTrue(untouched())
                # A setting changed through SNMP is saved where the file can be replaced.
                r = st.run("snmpset", st.v3(), V4, PF_DELAY, "i", "250")
                self.assertEqual(r.returncode, 0, r.stderr)
                if replaceable:
                    self.assertEqual(harness.config_get("Shutdown", "Power Fail Delay="), "250")
                    self.assertEqual(harness.config_get("Shutdown", "Power Fail Enable="), "Yes")
                else:
                    self.assertTrue(untouched())
                os.kill(pid, 15)
                self.assertEqual(harness.reap(pid), 0)

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
