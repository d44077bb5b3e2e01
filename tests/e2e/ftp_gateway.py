"""A korvane gateway in FTP mode, and small FTP clients.

The gateway is started with `--bind 127.0.0.1:PORT LISTEN 21`: the port box
says "21" (FTP mode) while the listener sits on a free unprivileged port.
"""
import ftplib
import os
import random
import re
import socket

import gateway_process

TIMEOUT = 30


def listen_below_32768(address="127.0.0.1", timeout=TIMEOUT):
    """A listening socket on a port the gateway accepts in PORT."""
    for _ in range(200):
        try:
            s = socket.create_server((address, random.randint(20000, 32000)), backlog=4)
        except OSError:
            continue
        s.settimeout(timeout)
        return s
    raise RuntimeError("no free port below 32768")


class Gateway(gateway_process.Gateway):
    """The gateway on its own home: clients see drives/c/export and upload
    into drives/c/import."""

    def __init__(self, variables=None, users=None, test=None):
        lines = ["[Variables]", "FTPExportDir=c:\\export", "FTPImportDir=c:\\import", "Port=80"]
        lines += ["%s=%s" % kv for kv in (variables or {}).items()]
        if users is not None:  # {} writes an empty [FtpUsers] section
            lines += ["[FtpUsers]"] + ["%s=%s" % kv for kv in users.items()]
        super().__init__("\n".join(lines) + "\n", listen=("LISTEN", "21"), test=test)
        self.export = os.path.join(self.drives, "c", "export")
        self.import_ = os.path.join(self.drives, "c", "import")

    def put_export(self, relative, data):
        self.write(os.path.join("drives/c/export", relative), data)

    def read_import(self, relative):
        return self.read(os.path.join("drives/c/import", relative))

    def ftp(self, user=None):
        f = ftplib.FTP()
        f.connect("127.0.0.1", self.port, timeout=TIMEOUT)
        if user:
            f.login(user, "secret")
        return f

    def control(self, login=True):
        ctl = Control(self.port)
        if login:
            ctl.login()
        return ctl


class Control:
    """A raw control connection: exact reply lines, and the hang-up test."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        self.buf = b""
        self.greeting = self.line()

    def line(self):
        while b"\r\n" not in self.buf:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise EOFError("control connection closed")
            self.buf += chunk
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line.decode("latin-1")

    def send(self, text):
        self.sock.sendall(text.encode("latin-1") + b"\r\n")

    def cmd(self, text):
        self.send(text)
        return self.line()

    def login(self, user="tester", password="secret"):
        self.cmd("USER " + user)
        return self.cmd("PASS " + password)

    def hung_up(self, limit=10.0):
        """True when the gateway closed the connection (after any pending lines)."""
        self.sock.settimeout(limit)
        try:
            while True:
                chunk = self.sock.recv(4096)
                if not chunk:
                    return True
        except (socket.timeout, ConnectionResetError):
            return False
        finally:
            self.sock.settimeout(TIMEOUT)

    def pasv(self, rcvbuf=None):
        """PASV, which must name a port on the command connection's address,
        and a data connection to that port. rcvbuf: the data connection's
        receive buffer, set before it connects: shrunk after the window was
        offered, it can hold the sender back for seconds."""
        reply = self.cmd("PASV")
        m = re.fullmatch(r"227 Entering Passive Mode \(127,0,0,1,(\d+),(\d+)\)\.", reply)
        if not m:
            raise AssertionError("PASV answered " + reply)
        port = int(m.group(1)) * 256 + int(m.group(2))
        conn = socket.socket()
        conn.settimeout(TIMEOUT)
        if rcvbuf:
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        conn.connect(("127.0.0.1", port))
        return reply, port, conn

    def port(self, listener):
        port = listener.getsockname()[1]
        return self.cmd("PORT 127,0,0,1,%d,%d" % (port // 256, port % 256))

    def close(self):
        self.sock.close()
