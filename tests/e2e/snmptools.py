"""net-snmp's command-line tools as the peer of the daemon's SNMP agent and
trap sender. Every tool runs with its configuration and persistent state
under the test's /tmp (never the host's /var/lib/snmp) and prints OIDs
numerically."""
import os
import re
import subprocess
import time

import harness

STATE = "/tmp/snmp-state"
ENV = dict(os.environ, SNMP_PERSISTENT_DIR=STATE + "/persist", SNMPCONFPATH=STATE + "/conf",
           MIBS="", MIBDIRS=STATE + "/mibs")
for d in ("persist", "conf", "mibs"):
    os.makedirs(os.path.join(STATE, d), exist_ok=True)

AUTH, PRIV = "mq530847", "tv817264"   # the factory user "manager"
CONTEXT = "upsctx"                    # the factory "Context Name="


# ---- a minimal BER codec, for messages no tool sends -------------------------

def tlv(tag, body):
    n = len(body)
    if n < 128:
        head = bytes([n])
    elif n < 256:
        head = bytes([0x81, n])
    else:
        head = bytes([0x82, n >> 8, n & 255])
    return bytes([tag]) + head + body


def seq(*parts):
    return tlv(0x30, b"".join(parts))


def octets(b):
    return tlv(0x04, b)


def integer(v, tag=0x02):
    n = 1
    while not -(1 << (8 * n - 1)) <= v < (1 << (8 * n - 1)):
        n += 1
    return tlv(tag, v.to_bytes(n, "big", signed=True))


def oid(arcs):
    """An OBJECT IDENTIFIER from its text ("1.3.6...") or its arcs."""
    if isinstance(arcs, str):
        arcs = [int(a) for a in arcs.strip(".").split(".")]
    body = bytes([40 * arcs[0] + arcs[1]])
    for a in arcs[2:]:
        groups = [a & 0x7F]
        a >>= 7
        while a:
            groups.insert(0, (a & 0x7F) | 0x80)
            a >>= 7
        body += bytes(groups)
    return tlv(0x06, body)


def read(data, pos):
    """(tag, content start, content end) of the item at pos."""
    tag, n = data[pos], data[pos + 1]
    pos += 2
    if n & 0x80:
        k = n & 0x7F
        n = int.from_bytes(data[pos:pos + k], "big")
        pos += k
    return tag, pos, pos + n


def items(data, start, end):
    """(tag, start, end) of each item from start to end."""
    out, pos = [], start
    while pos < end:
        tag, s, e = read(data, pos)
        out.append((tag, s, e))
        pos = e
    return out


def v1(community):
    return ["-v1", "-c", community]


def v3(user="manager", level="authPriv", auth=AUTH, priv=PRIV, context=CONTEXT):
    args = ["-v3", "-l", level, "-u", user, "-n", context]
    if level in ("authNoPriv", "authPriv"):
        args += ["-a", "MD5", "-A", auth]
    if level == "authPriv":
        args += ["-x", "DES", "-X", priv]
    return args


def run(tool, security, target, *args, timeout=1, retries=1):
    """Runs snmpget/snmpgetnext/snmpwalk/snmpset; the CompletedProcess."""
    cmd = [tool, "-On", "-t", str(timeout), "-r", str(retries)] + security + [target] + list(args)
    return subprocess.run(cmd, capture_output=True, text=True, env=ENV, timeout=60)


def values(out):
    """'.1.3.6... = TYPE: value' lines as [(oid, type, value)]."""
    rows = []
    for line in out.splitlines():
        m = re.match(r"^(\.[\d.]+) = (?:(\w[\w ]*): )?(.*)$", line)
        if m and not m.group(3).startswith("No more variables left"):
            rows.append((m.group(1), m.group(2) or "", m.group(3)))
    return rows


def wait_agent(target="udp:127.0.0.1:161", security=None, timeout=20.0):
    """Waits until the agent answers (its sockets open about 5 s after start)."""
    security = security or v3()
    harness.wait_for(lambda: run("snmpget", security, target, ".1.3.6.1.2.1.1.1.0").returncode == 0,
                     timeout, interval=0.5, what="the SNMP agent")


def engine_id():
    """The daemon's engine id: 80 00 7E D9 03 and veth0's MAC."""
    out = subprocess.run(["ip", "-o", "link", "show", "veth0"], capture_output=True, text=True).stdout
    mac = re.search(r"link/ether ([0-9a-f:]{17})", out).group(1)
    return "80007ED903" + mac.replace(":", "").upper()


def set_users(users, context=CONTEXT):
    """users: [(name, security 0..2, auth, priv, permission)], stored with
    plain-text passwords."""
    keys = {"Context Name=": context, "Password Encrypt=": "No", "Number=": len(users)}
    for i, (name, sec, auth, priv, perm) in enumerate(users, 1):
        keys.update({"User%d=" % i: name, "Security%d=" % i: sec, "Auth%d=" % i: auth,
                     "Priv%d=" % i: priv, "Permission%d=" % i: perm})
    harness.config_set({"USM": keys})


def set_access(entries):
    """entries: [(ip, community, permission)]."""
    keys = {"Number=": len(entries)}
    for i, (ip, community, perm) in enumerate(entries, 1):
        keys.update({"IP%d=" % i: ip, "Community%d=" % i: community, "Permission%d=" % i: perm})
    harness.config_set({"SNMP Server": keys})


class TrapReceiver:
    """snmptrapd with its own configuration and persistent directory under
    /tmp, printing one line per notification; with netns it runs in that
    network namespace (harness.PEER_NS: the far end of veth0)."""
    FORMAT = "TRAP|%s|%u|%N|%w|%q|%a|%T|%V;%v\n"

    def __init__(self, listen, users=(), netns=None):
        self.dir = STATE + "/trapd-%d-%s" % (os.getpid(), netns or "host")
        os.makedirs(self.dir + "/persist", exist_ok=True)
        conf = ["disableAuthorization yes", "doNotLogTraps no"]
        for (engine, name, auth, priv) in users:
            line = "createUser -e 0x%s %s MD5 %s" % (engine, name, auth)
            if priv:
                line += " DES %s" % priv
            conf.append(line)
        with open(self.dir + "/snmptrapd.conf", "w") as f:
            f.write("\n".join(conf) + "\n")
        self.out = open(self.dir + "/out.txt", "w")
        env = dict(ENV, SNMP_PERSISTENT_DIR=self.dir + "/persist")
        prefix = ["ip", "netns", "exec", netns] if netns else []
        self.proc = subprocess.Popen(
            prefix + ["snmptrapd", "-f", "-C", "-c", self.dir + "/snmptrapd.conf", "-Lo", "-n", "-On", "-X",
             "-F", self.FORMAT, listen], stdout=self.out, stderr=subprocess.STDOUT, env=env)
        time.sleep(0.5)

    def traps(self):
        text = harness.read(self.dir + "/out.txt") or ""
        rows = []
        for line in text.splitlines():
            if line.startswith("TRAP|"):
                f = line.split("|", 8)
                rows.append({"version": f[1], "security": f[2], "enterprise": f[3], "generic": f[4],
                             "specific": f[5], "agent": f[6], "uptime": f[7], "varbinds": f[8]})
        return rows

    def log(self):
        return harness.read(self.dir + "/out.txt") or ""

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.out.close()
