"""The private directory of the installed daemon when it is not the
daemon's own (a mount owned by another user, which cannot be moved aside):
no export, page or download is written into it or served from it, while
the pages still work; and the web interface with the installation's disk
full (a small tmpfs over the installation, filled): the login page, the
summary and the message page of a save that failed are answered."""
import ctypes
import os
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from test_webaccess import ACCOUNTS, Session, curl  # noqa: E402

HTTP = 8080
BASE = "http://127.0.0.1:%d" % HTTP
PRIVATE = harness.PRIVATE
OTHER_UID = 65534


class Created:
    """Names created in (or moved into) a directory from now on, seen
    through inotify: a file that lives only a moment is caught too."""
    IN_CREATE, IN_MOVED_TO = 0x100, 0x80

    def __init__(self, path):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        assert self.fd >= 0
        assert self.libc.inotify_add_watch(self.fd, path.encode(), self.IN_CREATE | self.IN_MOVED_TO) >= 0

    def names(self):
        out = []
        while True:
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                return out
            at = 0
            while at < len(data):
                _, _, _, length = struct.unpack_from("iIII", data, at)
                out.append(data[at + 16:at + 16 + length].rstrip(b"\0").decode())
                at += 16 + length

    def close(self):
        os.close(self.fd)


def web_config(extra=None):
    harness.ensure_config()
    changes = {"Web": {"HTTP Port=": HTTP, "Force HTTPS=": "No", "Password Encrypt=": "No",
                       "Password0=": ACCOUNTS[0][1], "Enable Login Lock=": "Disable"}}
    changes.update(extra or {})
    harness.config_set(changes)


class ForeignDirectory(harness.DaemonTest):
    def test_nothing_is_written_into_or_served_from_it(self):
        web_config()
        os.makedirs(PRIVATE, exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m,mode=0755,uid=%d,gid=%d" % (OTHER_UID, OTHER_UID),
                        "tmpfs", PRIVATE], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", PRIVATE])
        planted = {"iframe_log.htm": "PLANTED LOG", "iframe_data.htm": "PLANTED DATA",
                   "event_log.csv": "PLANTED CSV", "hist_data.csv": "PLANTED HIST", "config.ini": "PLANTED INI"}
        for name, text in planted.items():
            harness.write(os.path.join(PRIVATE, name), text)
            os.chown(os.path.join(PRIVATE, name), OTHER_UID, OTHER_UID)
        self.start_daemon()
        harness.wait_for(lambda: harness.listening(HTTP), 15, 0.1, what="port %d" % HTTP)
        self.assertEqual(os.stat(PRIVATE).st_uid, OTHER_UID)  # it could not be moved aside
        created = Created(PRIVATE)
        self.addCleanup(created.close)
        admin = Session(0)
        # The pages themselves, the viewers that export their tables, the
        # downloads the viewers' forms make, the trace and the configuration copy.
        self.assertIn('id="home"', admin.get("/home.asp"))
        self.assertIn('id="log-form"', admin.get("/en/hist_log.asp"))
        self.assertIn('id="data-form"', admin.get("/en/hist_data.asp"))
        admin.post("hist_log", [("DLLOG_BUT", "1")])
        admin.post("hist_data", [("DATA_FROM", "01/01/2020"), ("DATA_TO", "12/31/2030"), ("DATA_BUT", "1")])
        admin.post("debug", [("DBG_STARTLOG", "1")])
        admin.post("sys_batch", [("DL_SYSTEM", "1")])
        for name, text in planted.items():
            with self.subTest(name):
                self.assertNotIn("PLANTED", admin.get("/tempage/" + name))
                self.assertEqual(harness.read(os.path.join(PRIVATE, name)), text)
        self.assertEqual(created.names(), [])
        self.assertEqual([n for n in os.listdir(PRIVATE) if os.stat(os.path.join(PRIVATE, n)).st_uid != OTHER_UID],
                         [])
        # Nothing went anywhere else instead (the daemon's working directory).
        self.assertFalse(os.path.exists("/tmp/.tmp"))


class FullDisk(harness.DaemonTest):
    def fill(self):
        """Fills the installation's file system to the last byte."""
        with open(harness.INSTALL + "/filler", "wb", buffering=0) as f:
            for size in (1 << 20, 4096, 1):
                try:
                    while True:
                        f.write(b"\0" * size)
                except OSError:
                    pass
        with self.assertRaises(OSError):
            with open(harness.INSTALL + "/probe", "wb", buffering=0) as f:
                f.write(b"x" * 4096)

    def test_pages_are_answered_with_the_disk_full(self):
        web_config()
        # The installation on a tmpfs of its own, a little larger than it.
        copy = "/tmp/installation"
        shutil.copytree(harness.INSTALL, copy, symlinks=True)
        used = int(subprocess.run(["du", "-sk", copy], capture_output=True, text=True).stdout.split()[0])
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dk,mode=0755" % (used + 2048), "tmpfs", harness.INSTALL],
                       check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", harness.INSTALL])
        subprocess.run(["cp", "-a", copy + "/.", harness.INSTALL], check=True)
        self.start_daemon()
        harness.wait_for(lambda: harness.listening(HTTP), 15, 0.1, what="port %d" % HTTP)
        admin = Session(0)
        token = admin.token("/en/sys_info.asp")
        self.fill()
        # The login page and a login.
        page = curl("-i", BASE + "/login.asp")
        self.assertIn("HTTP/1.1 200 OK", page)
        self.assertRegex(page, r'id="challenge" value="[^"]{8}"')
        again = Session(0)
        # The summary.
        home = again.get("/home.asp")
        self.assertIn('id="home"', home)
        self.assertNotIn("<%", home)
        # A save that fails, and the message page that says so.
        before = harness.read(harness.CONFIG)
        reply = admin.post("sys_info", [("INF_LOCATION", "nowhere to write")], token=token)
        self.assertIn("Location: %s/message.asp" % BASE, reply)
        self.assertEqual(admin.message()[:2], ("Error", "The settings could not be saved."))
        self.assertEqual(harness.read(harness.CONFIG), before)


if __name__ == "__main__":
    harness.main()
