"""Sequential SNMP GET round trips of sysDescr.0 against the daemon's agent
and against net-snmp's snmpd on another loopback port, in the same run:
SNMPv1 and SNMPv3 authPriv (HMAC-MD5-96, CBC-DES). One small client does
every request the same way for both agents; prints the median and p99
latency of each and their ratio."""
import hashlib
import hmac
import os
import socket
import struct
import subprocess
import sys
import time
import warnings

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

sys.path.insert(0, os.path.join(os.environ["UPSD_SRC"], "tests", "e2e"))
import harness  # noqa: E402
import snmptools as st  # noqa: E402

warnings.filterwarnings("ignore")  # single DES through the TripleDES primitive

SYS_DESCR = (1, 3, 6, 1, 2, 1, 1, 1, 0)
USER, AUTH, PRIV = "manager", st.AUTH, st.PRIV
SNMPD_PORT = 16161


# ---- the BER codec of the end-to-end tests ----------------------------------

tlv, integer, octets, oid, seq, read, items = st.tlv, st.integer, st.octets, st.oid, st.seq, st.read, st.items


def get_pdu(request_id):
    return tlv(0xA0, integer(request_id) + integer(0) + integer(0) + seq(seq(oid(SYS_DESCR), b"\x05\x00")))


# ---- USM --------------------------------------------------------------------

def password_to_key(password, engine_id):
    pw = password.encode()
    buf = (pw * (1048576 // len(pw) + 1))[:1048576]
    ku = hashlib.md5(buf).digest()
    return hashlib.md5(ku + engine_id + ku).digest()


def des_cbc(key, iv, data, encrypt):
    c = Cipher(algorithms.TripleDES(key[:8]), modes.CBC(iv))
    op = c.encryptor() if encrypt else c.decryptor()
    return op.update(data) + op.finalize()


class V3Client:
    def __init__(self, sock, address, context):
        self.sock, self.address, self.context = sock, address, context
        self.msg_id = 1000
        self.salt = 0
        # Discovery: the agent's engine id, boots and time from its Report.
        self.engine, self.boots, self.time = b"", 0, 0
        self.exchange(get_pdu(1), secure=False)
        self.kauth = password_to_key(AUTH, self.engine)
        self.kpriv = password_to_key(PRIV, self.engine)
        self.t0 = time.monotonic()

    def message(self, pdu, secure):
        self.msg_id += 1
        scoped = seq(octets(self.engine), octets(self.context), pdu)
        if secure:
            self.salt += 1
            salt = struct.pack(">II", self.boots, self.salt)
            iv = bytes(a ^ b for a, b in zip(salt, self.kpriv[8:]))
            scoped = scoped + bytes(-len(scoped) % 8)
            scoped = octets(des_cbc(self.kpriv, iv, scoped, True))
            flags, auth, priv = b"\x07", bytes(12), salt
            now = self.time + int(time.monotonic() - self.t0)
        else:
            flags, auth, priv, now = b"\x04", b"", b"", 0
        sp = seq(octets(self.engine), integer(self.boots if secure else 0), integer(now),
                 octets(USER.encode() if secure else b""), octets(auth), octets(priv))
        msg = seq(integer(3), seq(integer(self.msg_id), integer(65507), octets(flags), integer(3)),
                  octets(sp), scoped)
        if secure:
            mac = hmac.new(self.kauth, msg, hashlib.md5).digest()[:12]
            at = msg.find(octets(USER.encode()) + b"\x04\x0c") + len(USER) + 4
            msg = msg[:at] + mac + msg[at + 12:]
        return msg

    def exchange(self, pdu, secure=True):
        self.sock.sendto(self.message(pdu, secure), self.address)
        data = self.sock.recv(4096)
        _, s, e = read(data, 0)
        parts = items(data, s, e)
        spo = parts[2]
        _, ss, se = read(data, spo[1])
        sp = items(data, ss, se)
        if not secure:
            self.engine = data[sp[0][1]:sp[0][2]]
            self.boots = int.from_bytes(data[sp[1][1]:sp[1][2]], "big")
            self.time = int.from_bytes(data[sp[2][1]:sp[2][2]], "big")
            return None
        salt = data[sp[5][1]:sp[5][2]]
        iv = bytes(a ^ b for a, b in zip(salt, self.kpriv[8:]))
        enc = parts[3]
        plain = des_cbc(self.kpriv, iv, data[enc[1]:enc[2]], False)
        return plain


class V1Client:
    def __init__(self, sock, address, community):
        self.sock, self.address, self.community = sock, address, community

    def exchange(self, pdu):
        self.sock.sendto(seq(integer(0), octets(self.community), pdu), self.address)
        return self.sock.recv(4096)


# ---- the run ----------------------------------------------------------------

def measure(client, count):
    lat = []
    for i in range(count):
        t = time.perf_counter()
        reply = client.exchange(get_pdu(10000 + i))
        lat.append(time.perf_counter() - t)
        if b"Brisvane" not in reply:
            raise SystemExit("unexpected reply: %r" % reply)
    lat.sort()
    return lat[len(lat) // 2], lat[min(len(lat) - 1, int(len(lat) * 0.99))]


def start_snmpd():
    d = st.STATE + "/snmpd"
    os.makedirs(d + "/persist", exist_ok=True)
    with open(d + "/snmpd.conf", "w") as f:
        f.write("agentAddress udp:127.0.0.1:%d\n" % SNMPD_PORT)
        f.write("rocommunity tambor 127.0.0.1\n")
        f.write("createUser %s MD5 %s DES %s\n" % (USER, AUTH, PRIV))
        f.write("rouser %s priv\n" % USER)
        f.write("sysDescr Brisvane\n")
    env = dict(st.ENV, SNMP_PERSISTENT_DIR=d + "/persist")
    proc = subprocess.Popen(["snmpd", "-f", "-C", "-c", d + "/snmpd.conf", "-Lf", d + "/log", "-p", d + "/pid"],
                            env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    st.wait_agent("udp:127.0.0.1:%d" % SNMPD_PORT, st.v1("tambor"))
    return proc


def main():
    harness.require_namespace()
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    harness.reinstall()
    daemon = harness.Daemon().start()
    st.wait_agent()
    snmpd = start_snmpd()
    try:
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.settimeout(2)
        ours, theirs = ("127.0.0.1", 161), ("127.0.0.1", SNMPD_PORT)
        runs = [
            ("SNMPv1", V1Client(sock, ours, b"tambor"), V1Client(sock, theirs, b"tambor")),
            ("SNMPv3 authPriv", V3Client(sock, ours, st.CONTEXT.encode()), V3Client(sock, theirs, b"")),
        ]
        print("sequential GET sysDescr.0, %d round trips each, loopback" % count)
        for name, a, b in runs:
            measure(a, 50), measure(b, 50)  # warm-up
            med_a, p99_a = measure(a, count)
            med_b, p99_b = measure(b, count)
            print("%-16s daemon median %7.1f us  p99 %7.1f us | snmpd median %7.1f us  p99 %7.1f us"
                  " | ratio median %.2f  p99 %.2f"
                  % (name, med_a * 1e6, p99_a * 1e6, med_b * 1e6, p99_b * 1e6, med_a / med_b, p99_a / p99_b))
    finally:
        snmpd.terminate()
        snmpd.wait()
        daemon.stop()


if __name__ == "__main__":
    main()
