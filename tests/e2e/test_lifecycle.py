"""Life cycle of the installed daemon: daemonising, the pid file, "stop",
the stop on SIGTERM, one daemon at a time, and the start-up problems it
reports (listeners that cannot bind, ports that are no port)."""
import os
import signal
import socket
import subprocess
import time

import harness
import snmptools as st

EVENT_LOG = harness.INSTALL + "/_FILE_LOG.TXT"


def upsd_pids():
    """Every live upsd process in the namespace."""
    pids = []
    for name in os.listdir("/proc"):
        if name.isdigit() and (harness.read("/proc/%s/comm" % name) or "").strip() == "upsd":
            if harness.pid_alive(int(name)):
                pids.append(int(name))
    return pids


def start_upsd(*args):
    """Runs upsd as an operator would, its output to a file (a daemon that
    does start keeps the descriptors it was given); (status, output)."""
    with open("/tmp/start.out", "w") as out:
        status = subprocess.run([harness.UPSD] + list(args), stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT, timeout=30).returncode
    return status, harness.read("/tmp/start.out")


def free_text(level=None):
    """Texts of the free-text records of the event log (of one level)."""
    out = []
    for line in (harness.read(EVENT_LOG) or "").splitlines():
        parts = line.split(" ", 4)
        if len(parts) == 5 and parts[0] == "-1" and (level is None or parts[1] == str(level)):
            out.append(parts[4])
    return out


class LifeCycle(harness.DaemonTest):
    def test_parent_exits_zero_and_pidfile_names_the_child(self):
        d = self.start_daemon()
        self.assertEqual(d.parent_status, 0)
        self.assertTrue(d.running())
        # The pid file holds the detached child, without a line end.
        self.assertEqual(harness.read(harness.PIDFILE), str(d.pid))
        # The child leads its own session.
        self.assertEqual(os.getsid(d.pid), d.pid)

    def test_pidfile_is_written_before_the_parent_exits(self):
        # A service manager reads the pid file as soon as the starting
        # process has exited: it must be there by then, every time.
        for _ in range(10):
            if os.path.exists(harness.PIDFILE):
                os.unlink(harness.PIDFILE)
            status = subprocess.run([harness.UPSD], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL, timeout=10).returncode
            text = harness.read(harness.PIDFILE)
            self.assertEqual(status, 0)
            self.assertTrue(text and text.isdigit(), "no pid file when the parent had exited")
            pid = int(text)
            os.kill(pid, signal.SIGTERM)
            harness.reap(pid)

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

    def test_one_daemon_at_a_time(self):
        d = self.start_daemon()
        self.addCleanup(lambda: [os.kill(p, signal.SIGKILL) for p in upsd_pids() if p != d.pid])
        for args in ([], ["--help"], ["start"]):
            with self.subTest(args=args):
                status, out = start_upsd(*args)
                self.assertNotEqual(status, 0)
                self.assertIn("already running", out)
                self.assertIn(str(d.pid), out)
                time.sleep(0.5)
                self.assertEqual(upsd_pids(), [d.pid])
                self.assertEqual(harness.read(harness.PIDFILE), str(d.pid))
        self.assertEqual(d.stop(), 0)
        self.assertFalse(os.path.exists(harness.PIDFILE))

    def test_stale_pid_file_naming_another_process(self):
        # After a power cut the pid file may name whatever now runs under that pid.
        other = subprocess.Popen(["sleep", "120"])
        self.addCleanup(other.kill)
        harness.write(harness.PIDFILE, str(other.pid))
        r = harness.run_upsd("stop")
        self.assertEqual((r.returncode, r.stdout), (0, "Kill pid = -1\n"))
        time.sleep(0.5)
        self.assertIsNone(other.poll())  # not interrupted
        # The stale file does not keep the service from starting.
        status, out = start_upsd()
        self.assertEqual((status, out), (0, ""))
        pid = harness.wait_for(lambda: harness.read(harness.PIDFILE) != str(other.pid) and upsd_pids(), 10,
                               what="the new daemon")[0]
        self.assertEqual(harness.read(harness.PIDFILE), str(pid))
        self.assertIsNone(other.poll())
        os.kill(pid, signal.SIGTERM)
        self.assertEqual(harness.reap(pid), 0)

    def test_listeners_that_cannot_bind_are_logged_with_port_and_reason(self):
        harness.ensure_config()
        harness.config_set({"Web": {"HTTP Port=": 8080, "HTTPS Port=": 8443}})
        tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        tcp.bind(("0.0.0.0", 8080))
        tcp.listen(1)
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        udp.bind(("0.0.0.0", 161))
        self.addCleanup(tcp.close)
        self.addCleanup(udp.close)
        self.start_daemon()
        want = ["IPv4-HTTP: cannot listen on port 8080: Address already in use",
                "IPv4-SNMP: cannot bind port 161: Address already in use"]
        harness.wait_for(lambda: all(w in free_text() for w in want), 20, 0.2,
                         what="the bind failures in the event log")
        texts = free_text()
        # The status texts stay as they are; the reason follows them.
        http = texts.index("IPv4-HTTP: NOK IPv6-HTTP: OK IPv4-HTTPS: OK IPv6-HTTPS: OK")
        self.assertEqual(texts[http + 1], want[0])
        snmp = texts.index(" IPv4-SNMP: NOK IPv6-SNMP: OK")
        self.assertEqual(texts[snmp + 1], want[1])
        # Each failure once, not at every retry.
        time.sleep(6)
        self.assertEqual(sorted(t for t in free_text() if "cannot" in t), sorted(want))
        # Freed, the ports are taken at the next attempt.
        tcp.close()
        udp.close()
        st.wait_agent(target="udp:127.0.0.1:161", security=st.v1("tambor"))

    def test_port_setting_that_is_no_port_keeps_the_factory_port(self):
        harness.ensure_config()
        harness.config_set({"Web": {"HTTP Port=": "eighty", "HTTPS Port=": "70000"},
                            "SNMP Server": {"Listen Port=": "0"}})
        self.start_daemon()
        harness.wait_for(lambda: harness.config_get("Web", "HTTP Port=") == "80", 10, what="the rewrite")
        self.assertEqual(harness.config_get("Web", "HTTPS Port="), "443")
        self.assertEqual(harness.config_get("SNMP Server", "Listen Port="), "161")
        for text in ('config.ini: "HTTP Port=eighty" is no port number; port 80 is used',
                     'config.ini: "HTTPS Port=70000" is no port number; port 443 is used',
                     'config.ini: "Listen Port=0" is no port number; port 161 is used'):
            self.assertEqual(free_text(2).count(text), 1, free_text())
        st.wait_agent(target="udp:127.0.0.1:161", security=st.v1("tambor"))
        harness.wait_for(lambda: "IPv4-HTTP: OK" in " ".join(free_text()), 10, what="the web listeners")
        with socket.create_connection(("127.0.0.1", 80), timeout=5):
            pass

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
