"""A korvane gateway in FTP mode as a child process, and small FTP clients.

The gateway is started from KORVANE_BINARY on a fresh home folder with
`--bind 127.0.0.1:PORT LISTEN 21`: the port box says "21" (FTP mode) while
the listener sits on a free unprivileged port.
"""
import ftplib
import os
import random
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time

TIMEOUT = 30


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listen_below_32768():
    """A listening socket on a loopback port the gateway accepts in PORT."""
    for _ in range(200):
        s = socket.socket()
        try:
            s.bind(("127.0.0.1", random.randint(20000, 32000)))
            s.listen(1)
            s.settimeout(TIMEOUT)
            return s
        except OSError:
            s.close()
    raise RuntimeError("no free port below 32768")


class Gateway:
    """The gateway process on its own home: drives/c/export and drives/c/import."""

    def __init__(self, variables=None):
        binary = os.environ.get("KORVANE_BINARY")
        if not binary:
            raise RuntimeError("KORVANE_BINARY is not set")
        self.home = tempfile.mkdtemp(prefix="korvane-ftp-")
        self.drives = os.path.join(self.home, "drives")
        self.export = os.path.join(self.drives, "c", "export")
        self.import_ = os.path.join(self.drives, "c", "import")
        os.makedirs(self.export)
        os.makedirs(self.import_)
        lines = ["[Variables]", "FTPExportDir=c:\\export", "FTPImportDir=c:\\import", "Port=80"]
        lines += ["%s=%s" % kv for kv in (variables or {}).items()]
        with open(os.path.join(self.home, "korvane.ini"), "w", newline="") as f:
            f.write("\r\n".join(lines) + "\r\n")
        self.port = free_port()
        self.output = []
        self._listening = threading.Event()
        self.proc = subprocess.Popen(
            [binary, "--home", self.home, "--bind", "127.0.0.1:%d" % self.port, "LISTEN", "21"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        threading.Thread(target=self._read, daemon=True).start()
        if not self._listening.wait(TIMEOUT):
            self.stop()
            raise RuntimeError("gateway did not start listening")

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode("latin-1").rstrip("\r\n")
            self.output.append(line)
            if "Listening on Port" in line:
                self._listening.set()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        shutil.rmtree(self.home, ignore_errors=True)

    def alive(self):
        return self.proc.poll() is None

    def fd_count(self):
        return len(os.listdir("/proc/%d/fd" % self.proc.pid))

    def temp_files(self):
        temp = os.path.join(self.drives, "c", "temp")
        return [n for n in os.listdir(temp) if n.lower().endswith(".tmp")] if os.path.isdir(temp) else []

    def put_export(self, relative, data):
        path = os.path.join(self.export, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def read_import(self, relative):
        with open(os.path.join(self.import_, relative), "rb") as f:
            return f.read()

    def ftp(self):
        f = RecordingFTP()
        f.connect("127.0.0.1", self.port, timeout=TIMEOUT)
        return f

    def control(self):
        return Control(self.port)

    def wait_for(self, predicate, limit=15.0):
        end = time.monotonic() + limit
        while time.monotonic() < end:
            if predicate():
                return True
            time.sleep(0.05)
        return predicate()


class RecordingFTP(ftplib.FTP):
    """ftplib's client, keeping every reply line it read."""

    def __init__(self):
        super().__init__()
        self.replies = []

    def getmultiline(self):
        line = super().getmultiline()
        self.replies.append(line)
        return line


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

    def pasv(self):
        """PASV and a data connection to the port it names."""
        reply = self.cmd("PASV")
        m = re.search(r"\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)", reply)
        host = ".".join(m.group(i) for i in range(1, 5))
        port = int(m.group(5)) * 256 + int(m.group(6))
        return reply, port, socket.create_connection((host, port), timeout=TIMEOUT)

    def close(self):
        self.sock.close()

    def abort(self):
        abort(self.sock)


def abort(sock):
    """Closes with a reset, as a client that vanishes."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def read_all(sock):
    data = bytearray()
    while True:
        chunk = sock.recv(1 << 16)
        if not chunk:
            return bytes(data)
        data += chunk
