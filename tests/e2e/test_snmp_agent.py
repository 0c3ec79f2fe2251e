"""The SNMP agent with net-snmp's tools as the manager: SNMPv1 communities
and the source access list, SNMPv3 users at every security level, over
IPv4 and IPv6 loopback; walks, SETs that reach config.ini, and the errors
net-snmp reports for bad credentials. Crafted datagrams (Reports,
Responses and Traps sent to the agent, messages cut short or asking for no
Report, spoofed sources) with the datagrams counted by tcpdump, against
this daemon and against a second installation in the peer namespace."""
import os
import shutil
import socket
import struct
import subprocess
import time

import harness
import snmptools as st

V4, V6 = "udp:127.0.0.1:161", "udp6:[::1]:161"
SYS_DESCR = ".1.3.6.1.2.1.1.1.0"
PRIV = ".1.3.6.1.4.1.32473.2.210"
PF_DELAY = PRIV + ".2.3.0"

USERS = [("manager", 2, st.AUTH, st.PRIV, 2),
         ("signer", 1, "signerpass", "", 2),
         ("viewer", 0, "", "", 1)]


class SnmpAgent(harness.DaemonTest):
    def setUp(self):
        super().setUp()
        harness.ensure_config()
        st.set_users(USERS)
        st.set_access([("0.0.0.0", "tambor", 1), ("::", "six", 2), ("127.0.0.1", "local", 2),
                       ("127.0.0.9", "other", 2)])
        self.start_daemon()
        st.wait_agent()

    def get(self, security, target=V4, oid=SYS_DESCR):
        return st.run("snmpget", security, target, oid)

    def test_v1_community_and_source_access(self):
        cases = [
            # community, target, tool args, answered, expected output or error text
            ("tambor", V4, ("snmpget", SYS_DESCR), True, 'STRING: "Brisvane"'),
            ("tambor", V6, ("snmpget", SYS_DESCR), False, "Timeout"),       # 0.0.0.0 is IPv4 only
            ("six", V6, ("snmpget", SYS_DESCR), True, 'STRING: "Brisvane"'),
            ("six", V4, ("snmpget", SYS_DESCR), False, "Timeout"),
            ("local", V4, ("snmpget", SYS_DESCR), True, 'STRING: "Brisvane"'),
            ("other", V4, ("snmpget", SYS_DESCR), False, "Timeout"),        # listed for another source
            ("wrong", V4, ("snmpget", SYS_DESCR), False, "Timeout"),
            ("tambor", V4, ("snmpset", PF_DELAY, "i", "250"), True, "genError"),  # read-only entry
            ("tambor", V4, ("snmpgetnext", ".1.3.6.1.2.1.1.7.0"), True, PRIV + ".1.1.0 = STRING"),
            ("tambor", V4, ("snmpget", ".1.3.6.1.2.1.1.99.0"), True, "noSuchName"),
        ]
        for community, target, (tool, *args), answered, expect in cases:
            with self.subTest(community=community, target=target, tool=tool):
                r = st.run(tool, st.v1(community), target, *args)
                out = r.stdout + r.stderr
                self.assertIn(expect, out)
                self.assertEqual("Timeout" in out, not answered, out)
        self.assertEqual(harness.config_get("Shutdown", "Power Fail Delay="), "300")

    def test_full_walk_in_order_and_ends(self):
        walks = {}
        for name, security, target in [("v1", st.v1("tambor"), V4), ("v1-v6", st.v1("six"), V6),
                                       ("v3", st.v3(), V4), ("v3-v6", st.v3(), V6)]:
            with self.subTest(name):
                r = st.run("snmpwalk", security, target, ".1", timeout=2)
                self.assertEqual(r.returncode, 0, r.stderr)
                rows = st.values(r.stdout)
                oids = [tuple(int(x) for x in oid.strip(".").split(".")) for oid, _, _ in rows]
                self.assertEqual(len(oids), 25, r.stdout)
                self.assertEqual(oids, sorted(oids))
                self.assertEqual(len(set(oids)), 25)
                self.assertEqual(oids[0], (1, 3, 6, 1, 2, 1, 1, 1, 0))
                self.assertEqual(oids[-1], (1, 3, 6, 1, 4, 1, 32473, 2, 210, 3, 1, 0))
                self.assertNotIn("Timeout", r.stderr)
                # SNMPv1 ends with noSuchName, SNMPv3 with endOfMibView.
                self.assertIn("End of MIB" if name.startswith("v1") else "No more variables left", r.stdout)
                walks[name] = [(o, t) for o, t, _ in rows]
        self.assertEqual(walks["v1"], walks["v3"])
        self.assertEqual(walks["v1-v6"], walks["v3-v6"])

    def test_v3_security_levels(self):
        for target in (V4, V6):
            for user, level, auth, priv in [("manager", "authPriv", st.AUTH, st.PRIV),
                                            ("signer", "authNoPriv", "signerpass", ""),
                                            ("viewer", "noAuthNoPriv", "", "")]:
                with self.subTest(target=target, user=user):
                    r = self.get(st.v3(user, level, auth, priv), target)
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.assertEqual(st.values(r.stdout), [(SYS_DESCR, "STRING", '"Brisvane"')])

    def test_v3_errors_are_reported_not_timed_out(self):
        cases = [
            ("wrong password", st.v3(auth="wrongpass1"), "Authentication failure"),
            ("unknown user", st.v3(user="nobody"), "Unknown user name"),
            ("wrong privacy password", st.v3(priv="wrongpriv1"), "Decryption error"),
            ("below the user's level", st.v3(level="authNoPriv"), "Unsupported security level"),
            ("no privacy for this user", st.v3("signer", "authPriv", "signerpass", "signerpass"),
             "Unsupported security level"),
            ("unknown context", st.v3(context="nothere"), "context"),
            ("read-only user writes", st.v3("viewer", "noAuthNoPriv", "", ""), "genError"),
        ]
        for name, security, expect in cases:
            with self.subTest(name):
                start = time.monotonic()
                if name == "read-only user writes":
                    r = st.run("snmpset", security, V4, PF_DELAY, "i", "200", timeout=3)
                else:
                    r = st.run("snmpget", security, V4, SYS_DESCR, timeout=3)
                self.assertNotEqual(r.returncode, 0)
                self.assertIn(expect.lower(), (r.stdout + r.stderr).lower())
                self.assertNotIn("Timeout", r.stderr)
                self.assertLess(time.monotonic() - start, 2.5)  # an answer, not the 3 s timeout

    def test_set_shutdown_delay_changes_config(self):
        cases = [
            # security, target, value, accepted, error text
            (st.v3(), V4, "240", True, None),
            (st.v1("local"), V4, "180", True, None),
            (st.v1("six"), V6, "120", True, None),
            (st.v3(), V6, "100000", False, "wrongValue"),
            (st.v3(), V4, "-5", False, "wrongValue"),
            (st.v1("local"), V4, "-5", False, "badValue"),
        ]
        stored = None
        for security, target, value, accepted, error in cases:
            with self.subTest(value=value, target=target):
                before = harness.read(harness.CONFIG)
                r = st.run("snmpset", security, target, PF_DELAY, "i", value)
                if accepted:
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.assertEqual(st.values(r.stdout), [(PF_DELAY, "INTEGER", value)])
                    stored = value
                    self.assertEqual(harness.config_get("Shutdown", "Power Fail Delay="), value)
                else:
                    self.assertIn(error, r.stdout + r.stderr)
                    self.assertEqual(harness.read(harness.CONFIG), before)
                r = self.get(st.v3(), V4, PF_DELAY)
                self.assertEqual(st.values(r.stdout), [(PF_DELAY, "INTEGER", stored)])
        # A SET with a refused second varbind applies neither.
        r = st.run("snmpset", st.v3(), V4, PRIV + ".2.5.0", "i", "77", PRIV + ".2.1.0", "i", "9")
        self.assertIn("wrongValue", r.stdout + r.stderr)
        self.assertNotEqual(harness.config_get("Shutdown", "Battery Low Delay="), "77")
        # Texts: stored and kept, refused when too long.
        r = st.run("snmpset", st.v3(), V4, ".1.3.6.1.2.1.1.6.0", "s", "rack 7, room 2")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(harness.config_get("System", "Location="), "rack 7, room 2")
        r = st.run("snmpset", st.v3(), V4, ".1.3.6.1.2.1.1.4.0", "s", "x" * 40)
        self.assertIn("wrongLength", r.stdout + r.stderr)
        # The stored delay survives a restart; SNMPv3 keeps working across it
        # with the raised engine boots.
        boots = int(harness.read(os.path.join(harness.INSTALL, "snmpboots")))
        self.assertGreaterEqual(boots, 1)
        self.assertEqual(self.daemons[-1].stop(), 0)
        self.start_daemon()
        st.wait_agent()
        self.assertEqual(int(harness.read(os.path.join(harness.INSTALL, "snmpboots"))), boots + 1)
        r = self.get(st.v3(), V4, PF_DELAY)
        self.assertEqual(st.values(r.stdout), [(PF_DELAY, "INTEGER", stored)])


# ---- crafted datagrams -------------------------------------------------------
# Messages no manager would send: Reports, Responses and Traps addressed to
# the agent, messages cut short, and messages that ask for no Report.

tlv, seq, octets, integer, oid = st.tlv, st.seq, st.octets, st.integer, st.oid


def pdu(tag, request_id=4711, varbinds=((SYS_DESCR, b"\x05\x00"),)):
    vbs = b"".join(seq(oid(name), value) for name, value in varbinds)
    return tlv(tag, integer(request_id) + integer(0) + integer(0) + seq(vbs))


def v3(flags, engine=b"", user=b"", auth=b"", priv=b"", data=None, boots=0, time_=0, msg_id=99):
    """An SNMPv3 message; data is the scoped PDU (or the encrypted one), None
    for a message that ends after its security parameters."""
    header = seq(integer(msg_id), integer(65507), octets(bytes([flags])), integer(3))
    sp = octets(seq(octets(engine), integer(boots), integer(time_), octets(user), octets(auth), octets(priv)))
    return seq(integer(3), header, sp, data if data is not None else b"")


def scoped(the_pdu, engine=b"", context=b""):
    return seq(octets(engine), octets(context), the_pdu)


def v1(community, the_pdu):
    return seq(integer(0), octets(community), the_pdu)


def pdu_tag(reply):
    """The PDU tag of a plain SNMPv3 reply and the PDU's bytes."""
    _, s, e = st.read(reply, 0)
    scoped_pdu = st.items(reply, s, e)[3]        # after version, header, security parameters
    tag, s, e = st.items(reply, scoped_pdu[1], scoped_pdu[2])[2]  # after both context fields
    return tag, reply[s:e]


def exchange(datagram, target=("127.0.0.1", 161), wait=1.5):
    """Every datagram the agent sends back to our socket within wait seconds."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(0.2)
        s.sendto(datagram, target)
        got, deadline = [], time.monotonic() + wait
        while time.monotonic() < deadline:
            try:
                got.append(s.recv(65535))
            except socket.timeout:
                pass
        return got


def udp_ip(src, dst, payload):
    """An IPv4 packet carrying one UDP datagram from src to dst ((address, port)),
    for a raw socket: the source is whatever the test says it is."""
    udp = struct.pack("!HHHH", src[1], dst[1], 8 + len(payload), 0) + payload
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, 17, 0,
                     socket.inet_aton(src[0]), socket.inet_aton(dst[0]))
    return ip + udp


SPOOF = ("import socket,sys; s=socket.socket(socket.AF_INET,socket.SOCK_RAW,socket.IPPROTO_RAW); "
         "s.sendto(bytes.fromhex(sys.argv[1]),(sys.argv[2],0))")


def spoof(src, dst, payload, netns=None):
    """Sends payload to dst with the source address and port src, from the
    test's namespace or from netns."""
    prefix = ["ip", "netns", "exec", netns] if netns else []
    subprocess.run(prefix + ["/usr/bin/python3", "-c", SPOOF, udp_ip(src, dst, payload).hex(), dst[0]],
                   check=True, timeout=30)


class Capture:
    """tcpdump counting the UDP datagrams of port 161 on one interface."""

    def __init__(self, interface, netns=None):
        self.path = "/tmp/capture-%s-%s.txt" % (netns or "host", interface)
        self.out = open(self.path, "w")
        prefix = ["ip", "netns", "exec", netns] if netns else []
        self.err = open(self.path + ".err", "w")
        self.proc = subprocess.Popen(prefix + ["tcpdump", "-i", interface, "-n", "-q", "-l", "-U", "-c", "5000",
                                               "udp port 161"], stdout=self.out, stderr=self.err)
        harness.wait_for(lambda: "listening on" in (harness.read(self.path + ".err") or ""), 10,
                         what="tcpdump")

    def lines(self):
        return [l for l in (harness.read(self.path) or "").splitlines() if " UDP" in l]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)
        self.out.close()
        self.err.close()


class PeerDaemon:
    """A second installation of the same build: its own /usr/local and /tmp
    in a mount namespace of its own, in the peer network namespace, so it
    answers at 192.0.2.2 as this test's daemon answers at 192.0.2.1."""
    STAGE = "/tmp/peer-install"

    def __init__(self):
        self.pid = None

    def start(self):
        shutil.rmtree(self.STAGE, ignore_errors=True)
        # Without this daemon's pid file, which names no process of the copy.
        shutil.copytree(harness.INSTALL, self.STAGE + "/brisvane", symlinks=True,
                        ignore=lambda d, names: ["service.pid"] if d == harness.INSTALL else [])
        script = ("mount -t tmpfs -o mode=0755 tmpfs /usr/local && cp -a %s/brisvane /usr/local/ && "
                  "mount -t tmpfs -o mode=1777 tmpfs /tmp && exec /usr/local/brisvane/upsd") % self.STAGE
        subprocess.run(["ip", "netns", "exec", harness.PEER_NS, "unshare", "--mount", "--propagation", "private",
                        "/bin/sh", "-c", script], check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        self.pid = harness.wait_for(self.find, 10, what="the peer daemon")
        target = "udp:%s:161" % harness.PEER_V4
        harness.wait_for(lambda: st.run("snmpget", st.v1("tambor"), target, SYS_DESCR).returncode == 0, 20,
                         0.5, what="the peer daemon's agent")
        return self

    def find(self):
        out = subprocess.run(["ip", "netns", "pids", harness.PEER_NS], capture_output=True, text=True).stdout
        for pid in out.split():
            if (harness.read("/proc/%s/comm" % pid) or "").strip() == "upsd":
                return int(pid)
        return None

    def kill(self):
        if self.pid and harness.pid_alive(self.pid):
            os.kill(self.pid, 9)
            harness.reap(self.pid)
        self.pid = None


UNKNOWN_ENGINES = "1.3.6.1.6.3.15.1.1.4.0"
UNKNOWN_USERS = "1.3.6.1.6.3.15.1.1.3.0"
WRONG_DIGESTS = "1.3.6.1.6.3.15.1.1.5.0"


def discovery(flags=0x04):
    return v3(flags, data=scoped(pdu(0xA0, request_id=555, varbinds=())))


def report_as_sent(engine):
    """The Report the agent itself sends for an unknown engine id."""
    counter = ((UNKNOWN_ENGINES, tlv(0x41, b"\x01")),)
    return v3(0x00, engine, data=scoped(pdu(0xA8, request_id=555, varbinds=counter), engine))


class AnswersOnlyWhatItMust(harness.DaemonTest):
    """The factory configuration; messages that must get nothing, beside the
    requests that must still get their Report."""

    def setUp(self):
        super().setUp()
        self.daemon = self.start_daemon()
        st.wait_agent()
        self.engine = bytes.fromhex(st.engine_id())

    def test_reports_go_only_to_whole_reportable_requests(self):
        e = self.engine
        trap_v1 = tlv(0xA4, oid("1.3.6.1.4.1.32473") + tlv(0x40, bytes(4)) + integer(0) + integer(0) +
                      tlv(0x43, b"\x00") + seq())
        bogus_digest, salt, sealed = bytes(range(1, 13)), bytes(8), octets(bytes(16))
        rows = [
            # what, datagram, the Report counter it gets (None: nothing comes back)
            ("Report in", v3(0x00, e, data=scoped(pdu(0xA8), e)), None),
            ("Report in, reportable set", v3(0x04, e, data=scoped(pdu(0xA8), e)), None),
            ("Report in, unknown engine", v3(0x04, data=scoped(pdu(0xA8))), None),
            ("Response in", v3(0x04, data=scoped(pdu(0xA2))), None),
            ("SNMPv2-Trap in", v3(0x04, data=scoped(pdu(0xA7))), None),
            ("SNMPv1 Trap-PDU in", v1(b"tambor", trap_v1), None),
            ("SNMPv2-Trap in an SNMPv1 message", v1(b"tambor", pdu(0xA7)), None),
            ("Response in an SNMPv1 message", v1(b"tambor", pdu(0xA2)), None),
            ("msgFlags 00 with an unknown engine", discovery(0x00), None),
            ("no scoped PDU in the discovery", v3(0x04), None),
            ("scoped PDU without its PDU", v3(0x04, data=seq(octets(b""), octets(b""))), None),
            ("a PDU of no known kind", v3(0x04, data=scoped(tlv(0x30, integer(1)))), None),
            ("unknown user, not reportable", v3(0x00, e, b"nobody", data=scoped(pdu(0xA0), e, b"upsctx")), None),
            ("wrong digest, not reportable", v3(0x03, e, b"manager", bogus_digest, salt, sealed), None),
            ("discovery", discovery(), UNKNOWN_ENGINES),
            ("unknown user", v3(0x04, e, b"nobody", data=scoped(pdu(0xA0), e, b"upsctx")), UNKNOWN_USERS),
            ("wrong digest", v3(0x07, e, b"manager", bogus_digest, salt, sealed), WRONG_DIGESTS),
        ]
        for what, datagram, report in rows:
            with self.subTest(what):
                replies = exchange(datagram)
                if report is None:
                    self.assertEqual(replies, [])
                    continue
                self.assertEqual(len(replies), 1)
                tag, varbinds = pdu_tag(replies[0])
                self.assertEqual(tag, 0xA8)
                self.assertIn(oid(report), varbinds)
        # net-snmp's own requests are still answered, errors included.
        self.assertEqual(st.run("snmpget", st.v3(), V4, SYS_DESCR).returncode, 0)
        r = st.run("snmpget", st.v3(user="nobody"), V4, SYS_DESCR)
        self.assertIn("unknown user name", (r.stdout + r.stderr).lower())

    def test_spoofed_report_from_its_own_address_starts_nothing(self):
        capture = Capture("lo")
        self.addCleanup(capture.stop)
        me = ("127.0.0.1", 161)
        spoof(me, me, report_as_sent(self.engine))
        time.sleep(2)
        self.assertEqual(len(capture.lines()), 1, capture.lines()[:5])  # the spoofed Report alone
        # A discovery "from itself" gets its one Report, which the agent
        # then receives as a Report and leaves unanswered.
        spoof(me, me, discovery())
        time.sleep(2)
        self.assertEqual(len(capture.lines()), 3, capture.lines()[:5])
        self.assertTrue(self.daemon.running())

    def test_two_daemons_cannot_be_set_against_each_other(self):
        other = PeerDaemon()
        self.addCleanup(other.kill)
        other.start()
        capture = Capture("veth1", harness.PEER_NS)
        self.addCleanup(capture.stop)
        here, there = (harness.HOST_V4, 161), (harness.PEER_V4, 161)
        seen = 0
        steps = [
            # what, spoofed source, destination, sent from, datagrams on the link
            ("this daemon's kind of Report, as if from the other agent", there, here, harness.PEER_NS,
             report_as_sent(self.engine), 1),
            ("a discovery as if from the other agent: one Report, left unanswered", there, here, harness.PEER_NS,
             discovery(), 2),
            ("a discovery as if from this agent, to the other one", here, there, None, discovery(), 2),
        ]
        for what, src, dst, netns, datagram, count in steps:
            with self.subTest(what):
                spoof(src, dst, datagram, netns)
                time.sleep(2)
                seen += count
                self.assertEqual(len(capture.lines()), seen, capture.lines()[:6])
        self.assertTrue(self.daemon.running())
        self.assertTrue(harness.pid_alive(other.pid))


if __name__ == "__main__":
    harness.main()
