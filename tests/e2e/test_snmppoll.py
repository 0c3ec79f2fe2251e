"""The network shutdown client poller with net-snmp's snmpd as the client,
in the peer namespace at 192.0.2.2 and 2001:db8::2: the daemon discovers
its engine (a 17-byte engine id), polls it with authPriv GetRequests as the
fixed user "manager" and logs the client's countdown flag as it changes
(with the host name it reported), the client's silence in the 31st second
after its last answer and its return. tcpdump in the peer namespace dates
the client's answers."""
import os
import re
import signal
import subprocess
import time

import harness
import snmptools as st

EVENT_LOG = harness.INSTALL + "/_FILE_LOG.TXT"
DIR = "/tmp/snmppoll"
CLIENT = ".1.3.6.1.4.1.32473.2.200"
FLAG = CLIENT + ".1.3.0"
ADDRESSES = (harness.PEER_V4, harness.PEER_V6)


def records():
    """(code, text) of every logged record of a system event."""
    out = []
    for line in (harness.read(EVENT_LOG) or "").splitlines():
        parts = line.split(" ", 4)
        if len(parts) == 5 and parts[0] != "-1":
            out.append((int(parts[0]), parts[4]))
    return out


def client_events():
    """[(code, text)] of the client events 28 to 33, in log order."""
    return [r for r in records() if 28 <= r[0] <= 33]


class Client:
    """snmpd in the peer namespace with its own configuration and persistent
    directory; the objects the poller asks for have fixed values, and the
    countdown flag can be SET. With another authentication password it
    answers the poller's requests with Reports."""

    def __init__(self, auth=st.AUTH):
        os.makedirs(DIR + "/persist", exist_ok=True)
        os.makedirs(DIR + "/empty", exist_ok=True)
        self.auth = auth
        conf = [
            "createUser manager MD5 %s DES %s" % (auth, st.PRIV),
            "rwuser manager priv",
            'override %s.1.1.0 octet_str "Linux peer 6.1"' % CLIENT,
            'override %s.1.2.0 octet_str "col2"' % CLIENT,
            "override -rw %s integer 1" % FLAG,
            "override %s.1.4.0 integer 120" % CLIENT,
            "override %s.1.5.0 integer 2" % CLIENT,
            'override %s.1.6.0 octet_str "peerhost"' % CLIENT,
            'override %s.3.1.0 octet_str "x"' % CLIENT,
        ]
        harness.write(DIR + "/snmpd.conf", "\n".join(conf) + "\n")
        self.env = dict(os.environ, SNMP_PERSISTENT_DIR=DIR + "/persist", SNMPCONFPATH=DIR + "/empty",
                        MIBS="", MIBDIRS=DIR + "/empty")
        self.proc = None

    def start(self):
        self.log = open(DIR + "/snmpd.log", "a")
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", harness.PEER_NS, "snmpd", "-f", "-C", "-c", DIR + "/snmpd.conf", "-Lo",
             "-p", DIR + "/pid", "udp:%s:161,udp6:[%s]:161" % ADDRESSES],
            env=self.env, stdout=self.log, stderr=subprocess.STDOUT)
        harness.wait_for(lambda: self.get(FLAG), 10, 0.2, what="snmpd")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
            self.proc.wait(10)
            self.log.close()
        self.proc = None

    def run(self, tool, *args):
        cmd = ["ip", "netns", "exec", harness.PEER_NS, tool, "-On", "-t", "1", "-r", "1"] + \
            st.v3(auth=self.auth, context="")
        return subprocess.run(cmd + ["udp:%s:161" % harness.PEER_V4] + list(args), capture_output=True,
                              text=True, env=self.env, timeout=30)

    def get(self, oid):
        r = self.run("snmpget", oid)
        return r.returncode == 0 and r.stdout

    def set_flag(self, value):
        r = self.run("snmpset", FLAG, "i", str(value))
        assert r.returncode == 0, r.stdout + r.stderr


class Capture:
    """The client's answers on veth1: [(time, source address, UDP length)]."""

    LINE = re.compile(r"^(\d+\.\d+) IP6? (\S+)\.161 > \S+: UDP, length (\d+)")

    def __init__(self):
        self.out = open(DIR + "/tcpdump.txt", "w")
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", harness.PEER_NS, "tcpdump", "-i", "veth1", "-n", "-q", "-tt", "-l", "-U",
             "udp src port 161"], stdout=self.out, stderr=subprocess.DEVNULL)
        time.sleep(1)

    def answers(self):
        rows = []
        for line in (harness.read(DIR + "/tcpdump.txt") or "").splitlines():
            m = self.LINE.match(line)
            if m:
                rows.append((float(m.group(1)), m.group(2), int(m.group(3))))
        return rows

    def responses(self, address):
        """Times of the encrypted Responses (the discovery's Reports are short)."""
        return [t for (t, a, n) in self.answers() if a == address and n > 150]

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)
        self.out.close()


def set_clients(addresses):
    keys = {"Number=": len(addresses)}
    for i, ip in enumerate(addresses, 1):
        keys.update({"IP%d=" % i: ip, "Port%d=" % i: 16299, "Community%d=" % i: "nc", "Type%d=" % i: 0,
                     "MIB%d=" % i: 0, "Level%d=" % i: 4, "User%d=" % i: "", "NCPort%d=" % i: 161,
                     "Twice%d=" % i: "No"})
    harness.config_set({"SNMP Trap": keys})


class ShutdownClientPoller(harness.DaemonTest):
    def test_a_client_that_answers_with_reports_gets_one_request_a_round(self):
        harness.ensure_config()
        set_clients([harness.PEER_V4])
        client = Client(auth="otherpass1")  # refuses the poller's digest
        client.start()
        self.addCleanup(client.stop)
        sent = open(DIR + "/sent.txt", "w")
        dump = subprocess.Popen(["ip", "netns", "exec", harness.PEER_NS, "tcpdump", "-i", "veth1", "-n", "-q",
                                 "-l", "-U", "udp dst port 161 and src host %s" % harness.HOST_V4],
                                stdout=sent, stderr=subprocess.DEVNULL)
        self.addCleanup(dump.wait, 10)
        self.addCleanup(dump.terminate)
        time.sleep(1)
        self.start_daemon()
        harness.wait_for(lambda: "UDP" in (harness.read(DIR + "/sent.txt") or ""), 15, 0.2, what="the first poll")
        first = time.monotonic()
        time.sleep(20)
        lines = [l for l in (harness.read(DIR + "/sent.txt") or "").splitlines() if "UDP" in l]
        # One client: a round every 5 seconds, each a discovery and the one
        # request its Report leads to, however the client answers.
        rounds = (time.monotonic() - first) / 5 + 1
        self.assertGreaterEqual(len(lines), 4)
        self.assertLessEqual(len(lines), 2 * (int(rounds) + 1), lines)
        self.assertFalse([c for (c, t) in client_events() if c in (29, 30)])  # never taken as an answer

    def test_client_polled_flag_changes_silence_and_return_are_logged(self):
        harness.ensure_config()
        set_clients(ADDRESSES)
        client = Client()
        client.start()
        self.addCleanup(client.stop)
        capture = Capture()
        self.addCleanup(capture.stop)
        engine = re.search(r"Hex-STRING: ([0-9A-F ]+)", client.get(".1.3.6.1.6.3.10.2.1.1.0").replace("\n", " "))
        self.assertEqual(len(engine.group(1).split()), 17)  # longer than the 16 bytes a short field would keep

        self.start_daemon()

        def logged(code, address):
            return [t for (c, t) in client_events() if c == code and "client %s " % address in t]

        # Both clients are discovered and polled in turn (half of them every
        # 5 seconds); the stored flag and host name reach the log.
        harness.wait_for(lambda: all(logged(30, a) for a in ADDRESSES), 30, 0.2,
                         what="event 30 for both clients (%s)" % client_events())
        for a in ADDRESSES:
            self.assertEqual(logged(30, a), ["Shutdown client %s (peerhost) started its shutdown countdown" % a])
        self.assertEqual([c for (c, t) in client_events()], [30, 30])

        client.set_flag(0)
        harness.wait_for(lambda: all(logged(31, a) for a in ADDRESSES), 30, 0.2, what="event 31")
        self.assertEqual(logged(31, harness.PEER_V4),
                         ["Shutdown client %s (peerhost) ended its shutdown countdown" % harness.PEER_V4])

        # The client stops right after answering the IPv4 poll: event 28 comes
        # in the 31st second after that answer.
        before = len(capture.responses(harness.PEER_V4))
        harness.wait_for(lambda: len(capture.responses(harness.PEER_V4)) > before, 15, 0.02,
                         what="the next IPv4 answer")
        client.stop()
        last = capture.responses(harness.PEER_V4)[-1]
        seen = harness.wait_for(lambda: logged(28, harness.PEER_V4) and time.time(), 40, 0.02, what="event 28")
        self.assertEqual(capture.responses(harness.PEER_V4)[-1], last)
        self.assertTrue(30.0 <= seen - last <= 31.6, seen - last)
        self.assertEqual(logged(28, harness.PEER_V4),
                         ["Shutdown client %s (peerhost) is not responding" % harness.PEER_V4])
        harness.wait_for(lambda: logged(28, harness.PEER_V6), 15, 0.2, what="event 28 for IPv6")

        # Back: the next answer raises event 29 within a second. The restarted
        # client reports its configured flag (1) again: event 30 follows in
        # the same second.
        client.start()
        back = harness.wait_for(lambda: logged(29, harness.PEER_V4) and time.time(), 30, 0.02, what="event 29")
        harness.wait_for(lambda: logged(29, harness.PEER_V6), 15, 0.2, what="event 29 for IPv6")
        answered = [t for t in capture.responses(harness.PEER_V4) if t > last][0]
        self.assertLess(back - answered, 1.5)
        self.assertEqual(logged(29, harness.PEER_V4),
                         ["Shutdown client %s (peerhost) is responding again" % harness.PEER_V4])
        harness.wait_for(lambda: len(logged(30, harness.PEER_V6)) == 2, 5, 0.2, what="event 30 again")
        self.assertEqual([c for (c, t) in client_events()], [30, 30, 31, 31, 28, 28, 29, 30, 29, 30])


if __name__ == "__main__":
    harness.main()
