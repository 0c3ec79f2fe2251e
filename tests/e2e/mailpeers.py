"""Mail peers for the end-to-end tests and the benchmarks, all inside the
test's namespace: Debian's aiosmtpd with an inbox, a server that accepts and
never answers, a server that waits before every reply, an address whose SYNs
vanish, and a resolver that never answers."""
import socket
import subprocess
import threading
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


class Inbox:
    """aiosmtpd handler: keeps every message with its session's facts.
    Recipients in refuse are answered "550 5.1.1 no such user"; a message
    whose content holds the text of refuse_content = (text, reply) is
    answered reply after its data. attempts keeps every message offered,
    taken or not."""

    def __init__(self, account=None, password=None, refuse=(), refuse_content=None):
        self.lock = threading.Lock()
        self.messages = []
        self.attempts = []
        self.logins = []
        self.refused = []
        self.account, self.password = account, password
        self.refuse = set(refuse)
        self.refuse_content = refuse_content

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address in self.refuse:
            with self.lock:
                self.refused.append(address)
            return "550 5.1.1 no such user"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        message = {"from": envelope.mail_from, "to": list(envelope.rcpt_tos),
                   "content": envelope.content.decode("utf-8", "replace"),
                   "tls": session.ssl is not None, "authenticated": session.authenticated,
                   "peer": session.peer[0], "t": time.time()}
        with self.lock:
            self.attempts.append(message)
            if self.refuse_content and self.refuse_content[0] in message["content"]:
                return self.refuse_content[1]
            self.messages.append(message)
        return "250 OK queued"

    def authenticate(self, server, session, envelope, mechanism, auth_data):
        ok = (mechanism == "LOGIN" and isinstance(auth_data, LoginPassword)
              and auth_data.login == self.account.encode() and auth_data.password == self.password.encode())
        with self.lock:
            self.logins.append((mechanism, ok))
        return AuthResult(success=ok)

    def snapshot(self):
        with self.lock:
            return list(self.messages)

    def find(self, text):
        """The first message whose content holds text, or None."""
        for m in self.snapshot():
            if text in m["content"]:
                return m
        return None


def start_aiosmtpd(inbox, host, port, **kw):
    """aiosmtpd on host:port with the inbox as handler; stop() it."""
    server = Controller(inbox, hostname=host, port=port, **kw)
    server.start()
    return server


class SilentServer:
    """Accepts every connection and holds it without a word."""

    def __init__(self, host="127.0.0.1", port=0):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((host, port))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.sessions = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            self.sessions.append((time.time(), conn))

    def stop(self):
        """Closes the listener and every held connection (the daemon sees them end)."""
        try:
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.listener.close()
        for _, conn in self.sessions:
            conn.close()


class SlowServer:
    """A plain SMTP server that waits `pause` seconds before every reply
    (the greeting included) and takes every message."""

    def __init__(self, pause, host="127.0.0.1"):
        self.pause = pause
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((host, 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.messages = []
        self.running = True
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while self.running:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _reply(self, conn, text):
        time.sleep(self.pause)
        conn.sendall(text.encode() + b"\r\n")

    def _serve(self, conn):
        with conn:
            f = conn.makefile("rb")
            try:
                self._reply(conn, "220 slow ESMTP")
                while True:
                    line = f.readline()
                    if not line:
                        return
                    verb = line[:4].upper()
                    if verb == b"DATA":
                        self._reply(conn, "354 go ahead")
                        body = b""
                        while not body.endswith(b"\r\n.\r\n"):
                            chunk = f.readline()
                            if not chunk:
                                return
                            body += chunk
                        self.messages.append((time.time(), body))
                        self._reply(conn, "250 queued")
                    elif verb == b"QUIT":
                        self._reply(conn, "221 bye")
                        return
                    else:
                        self._reply(conn, "250 OK")
            except OSError:
                return

    def stop(self):
        self.running = False
        self.listener.close()


# An address whose SYNs vanish: routed through the peer namespace, which does
# not forward and drops them without a word.
BLACKHOLE = "198.51.100.7"


def route_blackhole():
    subprocess.run(["ip", "route", "replace", BLACKHOLE + "/32", "via", "192.0.2.2", "dev", "veth0"], check=True)


class SilentResolver:
    """Points the namespace's resolv.conf at 127.0.0.1, where a UDP socket on
    port 53 takes every query and answers none. Only inside nsrun: the bind
    mount is private to its mount namespace."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 53))
        self.queries = 0
        threading.Thread(target=self._swallow, daemon=True).start()
        with open("/tmp/resolv.silent", "w") as f:
            f.write("nameserver 127.0.0.1\noptions timeout:5 attempts:2\n")
        subprocess.run(["mount", "--bind", "/tmp/resolv.silent", "/etc/resolv.conf"], check=True)

    def _swallow(self):
        while True:
            try:
                self.sock.recvfrom(2048)
            except OSError:
                return
            self.queries += 1

    def stop(self):
        subprocess.run(["umount", "/etc/resolv.conf"], check=False)
        self.sock.close()
