"""The set-up script takes the archive of Debian's non-free section from the
machine's own apt sources: on a machine whose apt goes through a mirror or
a proxy, the source it adds for the non-free packages names that same
archive, never a fixed host. Shown in this namespace with a sources file of
its own that points apt at a mirror on loopback (an HTTP server of the
test's that records what apt asks it for), and the non-free package made to
look missing; nothing here reaches past loopback."""
import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

NONFREE_PACKAGE = "snmp-mibs-downloader"
NONFREE_SOURCE = "/var/lib/upsd-deps/sources/non-free.sources"


def codename():
    with open("/etc/os-release") as f:
        for line in f:
            if line.startswith("VERSION_CODENAME="):
                return line.split("=", 1)[1].strip().strip('"')
    return ""


class Mirror(http.server.ThreadingHTTPServer):
    """Answers every request with 404 and keeps the paths asked for."""

    def __init__(self):
        self.paths = []
        mirror = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                mirror.paths.append(self.path)
                self.send_error(404)

            do_HEAD = do_GET

            def log_message(self, *args):
                pass

        super().__init__(("127.0.0.1", 0), Handler)


def mount(*args):
    subprocess.run(["mount", *args], check=True)


class NonFreeSource(unittest.TestCase):
    def setUp(self):
        harness.require_namespace()
        self.work = tempfile.mkdtemp(prefix="deps-", dir="/tmp")
        # The machine's apt sources, as this test sets them: one file, bound
        # over the directory that apt reads (this mount namespace only).
        self.sources = os.path.join(self.work, "sources.list.d")
        os.mkdir(self.sources)
        mount("--bind", self.sources, "/etc/apt/sources.list.d")
        if os.path.exists("/etc/apt/sources.list"):
            empty = os.path.join(self.work, "sources.list")
            open(empty, "w").close()
            mount("--bind", empty, "/etc/apt/sources.list")
        # What the script writes goes to tmpfs: its own state directory, and
        # /usr/sbin (where it puts a policy-rc.d for the time of an install)
        # under an overlay.
        os.makedirs("/var/lib/upsd-deps", exist_ok=True)
        mount("-t", "tmpfs", "tmpfs", "/var/lib/upsd-deps")
        for d in ("up", "work"):
            os.mkdir(os.path.join(self.work, d))
        mount("-t", "overlay", "overlay", "-o",
              "lowerdir=/usr/sbin,upperdir=%s/up,workdir=%s/work" % (self.work, self.work), "/usr/sbin")
        # The non-free package looks missing; every other question goes to
        # dpkg as it is.
        self.bin = os.path.join(self.work, "bin")
        os.mkdir(self.bin)
        stub = os.path.join(self.bin, "dpkg-query")
        with open(stub, "w") as f:
            f.write('#!/bin/sh\nfor a in "$@"; do [ "$a" = %s ] && exit 1; done\nexec /usr/bin/dpkg-query "$@"\n'
                    % NONFREE_PACKAGE)
        os.chmod(stub, 0o755)
        self.mirror = Mirror()
        threading.Thread(target=self.mirror.serve_forever, daemon=True).start()

    def tearDown(self):
        self.mirror.shutdown()
        self.mirror.server_close()

    def deps(self):
        env = dict(os.environ, PATH=self.bin + ":" + os.environ.get("PATH", "/usr/bin:/bin"))
        return subprocess.run([os.path.join(harness.SRC, "scripts", "deps.sh"), "test"], env=env,
                              capture_output=True, text=True, timeout=600)

    def write_sources(self, uri, suites, components):
        with open(os.path.join(self.sources, "site.sources"), "w") as f:
            f.write("Types: deb\nURIs: %s\nSuites: %s\nComponents: %s\n"
                    "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n" % (uri, suites, components))

    def test_the_non_free_source_names_the_machines_own_archive(self):
        release = codename()
        self.assertTrue(release)
        archive = "http://127.0.0.1:%d/mirror/debian" % self.mirror.server_address[1]
        self.write_sources(archive, "%s %s-updates" % (release, release), "main")
        r = self.deps()
        out = r.stdout + r.stderr
        self.assertIn("Non-free packages from %s (%s)" % (archive, release), out)
        source = harness.read(NONFREE_SOURCE)
        self.assertIn("URIs: %s\n" % archive, source)
        self.assertIn("Suites: %s\n" % release, source)
        self.assertIn("Components: main non-free\n", source)
        self.assertNotIn("deb.debian.org", source)
        # apt asked the mirror for the release, and nothing else answered it
        # (the mirror answers 404, so the install itself fails here).
        self.assertIn("/mirror/debian/dists/%s/InRelease" % release, self.mirror.paths)
        self.assertNotEqual(r.returncode, 0, out)

    def test_no_debian_main_source_is_said_and_nothing_is_fetched(self):
        archive = "http://127.0.0.1:%d/other" % self.mirror.server_address[1]
        self.write_sources(archive, "nodistro", "main")
        r = self.deps()
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("no apt source of this machine serves Debian's main component", r.stderr)
        self.assertFalse(os.path.exists(NONFREE_SOURCE))
        self.assertEqual(self.mirror.paths, [])


if __name__ == "__main__":
    harness.main()
