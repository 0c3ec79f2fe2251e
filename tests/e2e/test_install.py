"""Installing over an installation, as `sudo ./run.sh` does on an update:
the files an operator edits (the host scripts and the user command under
command/, the event texts and levels of language/*/event-*.ini) keep the
operator's copy, the shipped version goes beside an edited one as
NAME.dist and the install names each such file in one line; a protected
file that is missing is installed, one that was not edited is left as it
is; the program, the pages and the MIB are replaced."""
import filecmp
import glob
import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

INSTALL = harness.INSTALL


def shipped(path):
    """The source of an installed file."""
    return os.path.join(harness.SRC, "install", os.path.relpath(path, INSTALL))


def install():
    r = subprocess.run(["cmake", "--install", harness.BUILD], capture_output=True, text=True)
    assert r.returncode == 0, r.stdout + r.stderr
    return r.stdout


class Install(unittest.TestCase):
    def setUp(self):
        # A clean installation, without the host-script stubs of the daemon
        # tests: nothing here starts the daemon.
        harness.reinstall()

    def test_operator_files_survive_an_install(self):
        protected = sorted(glob.glob(INSTALL + "/command/*") + glob.glob(INSTALL + "/language/*/event-*.ini"))
        names = {os.path.basename(p) for p in protected}
        self.assertTrue({"command.shutdown", "command.ESX5", "command.wall", "event-ups.ini",
                         "event-common.ini"} <= names, names)
        kept = INSTALL + "/language/Polish/event-common.ini"   # left as shipped
        missing = INSTALL + "/command/command.hibernate"       # removed by the operator
        edited = [p for p in protected if p not in (kept, missing)]
        for path in edited:
            with open(path, "a") as f:
                f.write("# site edit of %s\n" % path)
        os.unlink(missing)
        replaced = [harness.UPSD, INSTALL + "/httpd/htdocs/home.asp", INSTALL + "/mibs/BRISVANE-MIB.txt"]
        for path in replaced:
            harness.write(path, "stale\n", 0o755)

        out = install()
        for path in edited:
            with self.subTest(path=path):
                self.assertTrue(harness.read(path).endswith("# site edit of %s\n" % path))
                self.assertTrue(filecmp.cmp(path + ".dist", shipped(path), shallow=False))
                lines = [line for line in out.splitlines() if path in line]
                self.assertEqual(lines, ["-- Kept %s; the shipped version is %s.dist" % (path, path)])
        for path in (kept, missing):
            with self.subTest(path=path):
                self.assertTrue(filecmp.cmp(path, shipped(path), shallow=False))
                self.assertFalse(os.path.exists(path + ".dist"))
                self.assertNotIn("Kept " + path, out)
        self.assertTrue(os.access(missing, os.X_OK))
        for path in replaced:
            with self.subTest(path=path):
                self.assertNotEqual(harness.read(path, "rb"), b"stale\n")
        self.assertTrue(filecmp.cmp(harness.UPSD, os.path.join(harness.BUILD, "upsd"), shallow=False))

        # The operator takes the shipped version of one file: the next
        # install finds nothing to keep there and leaves no .dist behind.
        taken = edited[0]
        shutil.copyfile(taken + ".dist", taken)
        out = install()
        self.assertNotIn(taken, out)
        self.assertFalse(os.path.exists(taken + ".dist"))
        self.assertIn("Kept %s;" % edited[1], out)

        # The operator deletes an edited file to get the shipped one back:
        # the install puts it back and the .dist beside it goes.
        deleted = edited[1]
        self.assertTrue(os.path.exists(deleted + ".dist"))
        os.unlink(deleted)
        out = install()
        self.assertNotIn("Kept " + deleted, out)
        self.assertTrue(filecmp.cmp(deleted, shipped(deleted), shallow=False))
        self.assertFalse(os.path.exists(deleted + ".dist"))
        self.assertIn("Kept %s;" % edited[2], out)


if __name__ == "__main__":
    harness.main()
