"""A gateway process on a temporary home, and a raw HTTP client for it.

The client reads the whole answer until the gateway closes the connection:
several answers are bare lines without a status line, which an HTTP library
would refuse."""

import os
import queue
import re
import shutil
import socket
import stat
import subprocess
import tempfile
import threading
import time

BINARY = os.environ.get("KORVANE_BINARY", "")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Answer:
    """What the gateway sent back: a 200 response with head and body, or a
    bare line."""

    def __init__(self, raw):
        self.raw = raw
        self.head = {}
        if raw.startswith(b"HTTP/1.1 200 OK\r\n"):
            head, _, self.body = raw.partition(b"\r\n\r\n")
            for line in head.decode("latin-1").split("\r\n")[1:]:
                name, _, value = line.partition(": ")
                self.head[name.lower()] = value
            self.ok = True
        else:
            self.body = raw
            self.ok = False

    @property
    def text(self):
        return self.body.decode("latin-1")


class Gateway:
    """korvane started on a fresh home folder with the given korvane.ini."""

    def __init__(self, ini_text, files=None):
        if not BINARY:
            raise RuntimeError("KORVANE_BINARY is not set")
        self.tmp = tempfile.TemporaryDirectory(prefix="kvprog.")
        self.home = self.tmp.name
        self.drives = os.path.join(self.home, "drives")
        for folder in ("c/temp", "c/export"):
            os.makedirs(os.path.join(self.drives, folder), exist_ok=True)
        with open(os.path.join(self.home, "korvane.ini"), "w", newline="\r\n") as ini:
            ini.write(ini_text)
        for name, (content, executable) in (files or {}).items():
            self.write(name, content, executable)
        self.port = free_port()
        self.lines = []
        self._new_lines = queue.Queue()
        env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
        self.process = subprocess.Popen(
            [BINARY, "--home", self.home, "--link-dir", os.path.join(self.home, "links"),
             "--bind", "127.0.0.1:%d" % self.port, "LISTEN"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        threading.Thread(target=self._read_stdout, daemon=True).start()
        self.wait_for_line("Listening on Port", 30)

    def _read_stdout(self):
        for raw in self.process.stdout:
            line = raw.decode("latin-1").rstrip("\r\n")
            self.lines.append(line)
            self._new_lines.put(line)

    def wait_for_line(self, pattern, timeout=10):
        """Waits until a stdout line matches pattern (a regex); returns it."""
        regex = re.compile(pattern)
        for line in list(self.lines):
            if regex.search(line):
                return line
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("no line matching %r; last lines:\n%s"
                                     % (pattern, "\n".join(self.lines[-30:])))
            try:
                line = self._new_lines.get(timeout=left)
            except queue.Empty:
                continue
            if regex.search(line):
                return line

    def wait_for_count(self, pattern, count, timeout=10):
        """Waits until count stdout lines match pattern."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        while sum(1 for line in list(self.lines) if regex.search(line)) < count:
            if time.monotonic() > deadline:
                raise AssertionError("fewer than %d lines matching %r" % (count, pattern))
            time.sleep(0.05)

    def path(self, name):
        """Host path of a name relative to the home ("drives/c/x.sh")."""
        return os.path.join(self.home, name)

    def write(self, name, content, executable=False):
        path = self.path(name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        mode = "wb" if isinstance(content, bytes) else "w"
        with open(path, mode) as f:
            f.write(content)
        if executable:
            os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR | stat.S_IXGRP)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def log_text(self):
        with open(os.path.join(self.drives, "c/temp/log/korvane.log"), "rb") as f:
            return f.read().decode("latin-1")

    def connect(self):
        return socket.create_connection(("127.0.0.1", self.port), timeout=30)

    def ask(self, request, timeout=30):
        """Sends request (bytes or text) and returns the Answer read until
        the gateway closes the connection."""
        if isinstance(request, str):
            request = request.encode("latin-1")
        with self.connect() as s:
            s.settimeout(timeout)
            s.sendall(request)
            return Answer(read_all(s))

    def get(self, target, headers=(), timeout=30):
        lines = ["GET %s HTTP/1.0" % target] + list(headers)
        return self.ask("\r\n".join(lines) + "\r\n\r\n", timeout)

    def ctl(self, *words, timeout=30):
        result = subprocess.run([BINARY, "--home", self.home, "ctl"] + list(words),
                                capture_output=True, timeout=timeout,
                                env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
        return result.stdout.decode("latin-1").strip()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
        stderr = self.process.stderr.read().decode("latin-1")
        self.process.stderr.close()
        self.tmp.cleanup()
        return stderr


def read_all(s):
    chunks = []
    while True:
        data = s.recv(65536)
        if not data:
            return b"".join(chunks)
        chunks.append(data)


def which(program):
    return shutil.which(program) is not None
