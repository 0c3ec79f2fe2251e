"""Life cycle of the installed daemon: daemonising, the pid file, "stop",
and the stop on SIGTERM."""
import os
import signal
import time

import harness


class LifeCycle(harness.DaemonTest):
    def test_parent_exits_zero_and_pidfile_names_the_child(self):
        d = self.start_daemon()
        self.assertEqual(d.parent_status, 0)
        self.assertTrue(d.running())
        # The pid file holds the detached child, without a line end.
        self.assertEqual(harness.read(harness.PIDFILE), str(d.pid))
        # The child leads its own session.
        self.assertEqual(os.getsid(d.pid), d.pid)

    def test_stop_prints_pid_and_service_keeps_running(self):
        d = self.start_daemon()
        r = harness.run_upsd("stop")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout, "Kill pid = %d\n" % d.pid)
        time.sleep(0.5)  # SIGINT is only a notice
        self.assertTrue(d.running())
        self.assertTrue(os.path.exists(harness.PIDFILE))

    def test_sigterm_removes_pidfile_and_exits_zero(self):
        for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT):
            with self.subTest(signal=sig):
                d = self.start_daemon()
                d.signal(sig)
                self.assertEqual(harness.reap(d.pid), 0)
                d.pid = None
                self.assertFalse(os.path.exists(harness.PIDFILE))

    def test_stop_without_service(self):
        cases = [("no pid file", None), ("empty pid file", "")]
        for name, content in cases:
            with self.subTest(name):
                if os.path.exists(harness.PIDFILE):
                    os.unlink(harness.PIDFILE)
                if content is not None:
                    harness.write(harness.PIDFILE, content)
                r = harness.run_upsd("stop")
                self.assertEqual(r.returncode, 0)
                self.assertEqual(r.stdout, "Kill pid = -1\n")
                self.assertEqual(r.stderr, "")

    def test_other_command_lines_start_the_service(self):
        for args in (["stop", "now"], ["stopped"], ["start"]):
            with self.subTest(args=args):
                d = self.start_daemon(*args)
                self.assertEqual(d.parent_status, 0)
                self.assertTrue(d.running())
                self.assertEqual(d.stop(), 0)

    def test_config_written_at_first_start_and_rewritten(self):
        d = self.start_daemon()
        harness.wait_for(lambda: os.path.exists(harness.CONFIG), what="config.ini")
        st = os.stat(harness.CONFIG)
        self.assertEqual(st.st_mode & 0o777, 0o600)
        self.assertEqual(harness.config_get("Format", "Version="), "5")
        self.assertEqual(harness.config_get("Web", "HTTP Port="), "80")
        self.assertTrue(harness.read(harness.CONFIG).rstrip().endswith("[End]"))
        self.assertEqual(d.stop(), 0)
        # An existing file is read without defaults and written back.
        harness.config_set({"Web": {"HTTP Port=": "8080"}, "Comment": {}})
        d = self.start_daemon()
        harness.wait_for(lambda: harness.config_get("Web", "HTTP Port=") == "8080"
                         and "[Comment]" not in harness.read(harness.CONFIG), what="rewrite")
        self.assertEqual(d.stop(), 0)

    def test_no_world_writable_files(self):
        d = self.start_daemon()
        time.sleep(1.5)
        for root, dirs, files in os.walk(harness.INSTALL):
            for name in dirs + files:
                path = os.path.join(root, name)
                if os.path.islink(path):
                    continue
                self.assertFalse(os.stat(path).st_mode & 0o002, path)
        d.stop()


if __name__ == "__main__":
    harness.main()
