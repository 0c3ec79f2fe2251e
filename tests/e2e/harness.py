"""End-to-end harness: drives the installed daemon inside the namespace that
tests/e2e/nsrun creates. Every test file runs in a fresh namespace of its own
(tmpfs over /usr/local and /tmp, loopback plus veth0/veth1), so tests may
start, stop and reconfigure the daemon freely.

Typical use:

    import harness
    class T(harness.DaemonTest):
        def test_x(self):
            harness.config_set({"SNMP Server": {"Listen Port=": "1161"}})
            d = self.start_daemon()
            ...
    if __name__ == "__main__":
        harness.main()
"""
import errno
import os
import re
import signal
import socket
import subprocess
import sys
import time
import unittest

INSTALL = "/usr/local/brisvane"
UPSD = INSTALL + "/upsd"
PIDFILE = INSTALL + "/service.pid"
CONFIG = INSTALL + "/config.ini"
# The daemon's private directory of temporary files (mail spools, traces,
# downloads, generated pages), served as /tempage/.
PRIVATE = INSTALL + "/httpd/htdocs/tempage"
SRC = os.environ.get("UPSD_SRC", "")
BUILD = os.environ.get("UPSD_BUILD", "")
PEER_NS = "peer"            # network namespace of veth1
HOST_V4, PEER_V4 = "192.0.2.1", "192.0.2.2"
HOST_V6, PEER_V6 = "2001:db8::1", "2001:db8::2"


def in_namespace():
    """True only inside nsrun: /usr/local and /tmp are private tmpfs mounts."""
    if os.environ.get("UPSD_E2E_NS") != "1":
        return False
    mounts = {}
    with open("/proc/self/mountinfo") as f:
        for line in f:
            parts = line.split()
            sep = parts.index("-")
            mounts[parts[4]] = parts[sep + 1]
    return mounts.get("/usr/local") == "tmpfs" and mounts.get("/tmp") == "tmpfs"


def require_namespace():
    if not in_namespace():
        sys.stderr.write("refusing to run: not inside tests/e2e/nsrun\n")
        sys.exit(2)


def wait_for(predicate, timeout=10.0, interval=0.05, what="condition"):
    """Polls predicate until it returns a true value; returns that value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out after %.1fs waiting for %s" % (timeout, what))
        time.sleep(interval)


def read(path, mode="r"):
    try:
        with open(path, mode) as f:
            return f.read()
    except FileNotFoundError:
        return None


def write(path, text, mode=0o644):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def pid_alive(pid):
    try:
        os.kill(pid, 0)
    except OSError as e:
        return e.errno == errno.EPERM
    # A zombie is not alive.
    stat = read("/proc/%d/stat" % pid)
    return bool(stat) and stat.rsplit(")", 1)[1].split()[0] != "Z"


def reap(pid, timeout=10.0, interval=0.05):
    """Waits for pid (re-parented to us, pid 1 of the namespace) and returns
    its exit status as os.waitstatus_to_exitcode gives it."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            got, status = os.waitpid(pid, os.WNOHANG)
        except ChildProcessError:
            return None
        if got == pid:
            return os.waitstatus_to_exitcode(status)
        time.sleep(interval)
    raise AssertionError("process %d did not exit" % pid)


# ---- config.ini ------------------------------------------------------------

def config_parse(text):
    """[(section, [lines])] in file order; lines keep their text."""
    out, current = [], None
    for line in text.splitlines():
        m = re.match(r"^\[(.*)\]$", line)
        if m:
            current = (m.group(1), [])
            out.append(current)
        elif current is not None:
            current[1].append(line)
    return out


def config_get(section, key, text=None):
    """Value of key (its text including '=') in section, or None."""
    text = read(CONFIG) if text is None else text
    for name, lines in config_parse(text or ""):
        if name == section:
            for line in lines:
                if line.startswith(key):
                    return line[len(key):]
    return None


def config_set(changes, path=CONFIG):
    """changes: {section: {key: value}}; keys end in '=' ("HTTP Port=").
    Replaces the first line of the section that starts with the key, or
    adds the line at the end of the section. The file must exist (run the
    daemon once, or call ensure_config())."""
    text = read(path)
    assert text is not None, "config.ini does not exist yet"
    sections = config_parse(text)
    for section, keys in changes.items():
        entry = next((s for s in sections if s[0] == section), None)
        if entry is None:
            entry = (section, [])
            end = next((i for i, s in enumerate(sections) if s[0] == "End"), len(sections))
            sections.insert(end, entry)
        for key, value in keys.items():
            for i, line in enumerate(entry[1]):
                if line.startswith(key):
                    entry[1][i] = key + str(value)
                    break
            else:
                entry[1].append(key + str(value))
    out = []
    for name, lines in sections:
        out.append("[%s]" % name)
        out.extend(lines)
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")
    os.chmod(path, 0o600)


# ---- the daemon ------------------------------------------------------------

MARKS = "/tmp/marks"
HOST_SCRIPTS = ("command.shutdown", "command.poweroff", "command.hibernate", "command.ESX5")


def stub_host_scripts():
    """Replaces every host script of the installation with a stub that only
    appends its time to /tmp/marks/<script> (command.wall also appends the
    broadcast text to /tmp/marks/wall). No test may run the real ones."""
    subprocess.run(["rm", "-rf", MARKS], check=True)
    os.makedirs(MARKS)
    for name in HOST_SCRIPTS:
        write("%s/command/%s" % (INSTALL, name),
              '#!/bin/sh\ndate +%%s.%%N >> %s/%s\n' % (MARKS, name), 0o755)
    write(INSTALL + "/command/command.wall",
          "#!/bin/sh\ncat %s/TMP_BROAD.DAT >> %s/wall\n" % (PRIVATE, MARKS), 0o755)
    for name in HOST_SCRIPTS + ("command.wall",):
        assert MARKS in read("%s/command/%s" % (INSTALL, name)), name


def marks(name):
    """Times at which a stubbed host script ran, in order."""
    text = read(os.path.join(MARKS, name)) or ""
    return [float(t) for t in text.split()]



class Daemon:
    """One start of the installed daemon. start() returns once the parent
    has exited and the pid file names a live process."""

    def __init__(self, args=(), env=None):
        self.args = list(args)
        self.env = env  # the daemon's environment; None: the test's own
        self.pid = None
        self.parent_status = None

    def start(self, timeout=10.0):
        # The daemon never runs here with the real host scripts.
        if MARKS not in (read(INSTALL + "/command/command.shutdown") or ""):
            stub_host_scripts()
        if os.path.exists(PIDFILE):
            os.unlink(PIDFILE)
        with open("/tmp/upsd.out", "ab") as out:
            parent = subprocess.Popen([UPSD] + self.args, stdout=out, stderr=out,
                                      stdin=subprocess.DEVNULL, env=self.env)
            self.parent_status = parent.wait(timeout)

        def child():
            text = read(PIDFILE)
            if text and text.strip().isdigit() and pid_alive(int(text)):
                return int(text)
            return None
        self.pid = wait_for(child, timeout, what="the daemon's pid file")
        return self

    def running(self):
        return self.pid is not None and pid_alive(self.pid)

    def signal(self, sig):
        os.kill(self.pid, sig)

    def stop(self, timeout=10.0):
        """SIGTERM, then the exit status (0 is a clean stop)."""
        if not self.running():
            return None
        self.signal(signal.SIGTERM)
        status = reap(self.pid, timeout)
        self.pid = None
        return status

    def kill(self):
        if self.running():
            os.kill(self.pid, signal.SIGKILL)
            reap(self.pid)
        self.pid = None


def run_upsd(*args, timeout=10.0):
    """Runs upsd in the foreground of the test (the "stop" command)."""
    return subprocess.run([UPSD] + list(args), capture_output=True, text=True, timeout=timeout)


def ensure_config(timeout=10.0):
    """Makes the daemon write its factory config.ini once (start, stop)."""
    if os.path.exists(CONFIG):
        return
    d = Daemon().start()
    wait_for(lambda: os.path.exists(CONFIG), timeout, what="config.ini")
    d.stop()


def serial_ups(test, **options):
    """Starts the UPS simulator (tilde protocol with checksums unless options
    say otherwise, its frames logged to /tmp/upssim.log) for the test, and
    makes it the daemon's UPS port in config.ini (written once if missing)."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim"))
    import upssim
    options.setdefault("checksum", True)
    sim = upssim.UpsSim(log_path="/tmp/upssim.log", **options).start()
    test.addCleanup(sim.stop)
    ensure_config()
    config_set({"COM": {"COM Port=": 2, "COM Path=": sim.slave_path}})
    return sim


def peer(*cmd, **kw):
    """Runs a command in the peer namespace (the far end of veth0)."""
    return subprocess.run(["ip", "netns", "exec", PEER_NS] + list(cmd), **kw)


def free_port(family=socket.AF_INET, kind=socket.SOCK_STREAM):
    with socket.socket(family, kind) as s:
        s.bind(("127.0.0.1" if family == socket.AF_INET else "::1", 0))
        return s.getsockname()[1]


def reinstall():
    """A clean installation of the build: nothing left of an earlier test."""
    subprocess.run(["rm", "-rf", INSTALL], check=True)
    subprocess.run(["cmake", "--install", BUILD], check=True, stdout=subprocess.DEVNULL)


def listening(port, family=socket.AF_INET):
    """True when something accepts TCP connections on the loopback port."""
    host = "127.0.0.1" if family == socket.AF_INET else "::1"
    try:
        with socket.create_connection((host, port), timeout=0.5):
            return True
    except OSError:
        return False


class DaemonTest(unittest.TestCase):
    """Base class: starts from a clean installation for every test, with the
    host scripts replaced by stubs, and kills whatever daemon a test leaves
    running."""

    def setUp(self):
        self.daemons = []
        reinstall()
        stub_host_scripts()

    def tearDown(self):
        for d in self.daemons:
            d.kill()

    def start_daemon(self, *args, env=None):
        d = Daemon(args, env).start()
        self.daemons.append(d)
        return d


def main():
    require_namespace()
    unittest.main(verbosity=2)
