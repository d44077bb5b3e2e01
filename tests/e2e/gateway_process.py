"""A gateway process on a temporary home, and a raw HTTP client for it that
reads until the gateway closes (bare-line answers would upset an HTTP library)."""

import os
import re
import select
import shutil
import signal
import socket
import stat
import struct
import subprocess
import tempfile
import threading
import time

BINARY = os.environ.get("KORVANE_BINARY", "")
BUILD = os.environ.get("KORVANE_BUILD_DIR", "")
SOURCE = os.environ.get("KORVANE_SOURCE_DIR",
                        os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
ENV = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
NOT_FOUND = b"requested document not found: \r\n"
UNAVAILABLE = b"Program is unavailable or busy. Please try again later.\r\n"
# A date as the gateway writes it in Date and Last-Modified.
DATE = re.compile(rb"(?<=: )(Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9]\d? "
                  rb"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d(?= GMT\r\n)")


def write_file(path, content, executable=False):
    """Writes content (bytes, or text as Latin-1) to path, making its folder."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(content if isinstance(content, bytes) else content.encode("latin-1"))
    if executable:
        os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR | stat.S_IXGRP)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def http_head(length, ctype=b"Text/HTML", modified=False):
    """The head of a 200 answer, its dates written as DATE."""
    return (b"HTTP/1.1 200 OK\r\nDate: DATE GMT\r\nServer: Tarnwick 3.0g\r\nConnection: Close\r\n"
            + (b"Last-Modified: DATE GMT\r\n" if modified else b"")
            + b"Content-Length: %d\r\nContent-Type: %s\r\n\r\n" % (length, ctype))


def split_answer(raw):
    """(head with its dates written as DATE, body)."""
    head, sep, body = raw.partition(b"\r\n\r\n")
    return DATE.sub(b"DATE", head + sep), body


def readme_blocks(heading, language="sh"):
    """The fenced blocks of one section of the README, in one language, as
    printed there."""
    with open(os.path.join(SOURCE, "README.md")) as f:
        readme = f.read()
    section = readme.split("\n## %s\n" % heading, 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```%s\n(.*?)```" % language, section, re.S)


def curl(*args, timeout=60):
    """curl's completed process (output as bytes) for args."""
    return subprocess.run(["curl", "-s", "--max-time", str(timeout), *args], capture_output=True,
                          timeout=timeout + 30)


def in_parallel(function, items, timeout=300):
    """{item: function(item)}, each called at once in a thread of its own."""
    results = {}
    threads = [threading.Thread(target=lambda i=i: results.__setitem__(i, function(i))) for i in items]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout)
    if len(results) != len(threads):
        raise AssertionError("no result for %r" % [i for i in items if i not in results])
    return results


def processes_with(word, where="cmdline"):
    """{pid: argv} of live processes whose cmdline (or environ) holds word."""
    found = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                argv = f.read().split(b"\0")[:-1]
            with open("/proc/%s/%s" % (pid, where), "rb") as f:
                held = word.encode() in f.read()
            with open("/proc/%s/stat" % pid, "rb") as f:
                zombie = f.read().rsplit(b")", 1)[1].split()[0] == b"Z"
        except OSError:
            continue
        if held and not zombie:
            found[int(pid)] = [a.decode("latin-1") for a in argv]
    return found


def read_lines(pipe, count, timeout=10):
    """count lines from a child's pipe, or what came before timeout passed."""
    deadline = time.monotonic() + timeout
    data = b""
    while data.count(b"\n") < count:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([pipe], [], [], left)[0]:
            break
        chunk = os.read(pipe.fileno(), 4096)
        if not chunk:
            break
        data += chunk
    return data.decode("latin-1")


def wait_until(predicate, timeout=15, what="condition"):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


class Answer:
    """What the gateway sent back: a 200 response with head and body, or a bare line."""

    def __init__(self, raw):
        self.raw = raw
        self.head = {}
        self.ok = raw.startswith(b"HTTP/1.1 200 OK\r\n")
        self.body = raw
        if self.ok:
            head, _, self.body = raw.partition(b"\r\n\r\n")
            for line in head.decode("latin-1").split("\r\n")[1:]:
                name, _, value = line.partition(": ")
                self.head[name.lower()] = value

    @property
    def text(self):
        return self.body.decode("latin-1")


class Gateway:
    """korvane on a fresh home with the given korvane.ini. files: {name below
    the home: content or (content, executable)}; copy: a folder copied as the
    home; listen: the words after the options; env: added to its environment;
    test: a TestCase, or its class, that stops it when it is done."""

    def __init__(self, ini_text="", files=None, copy=None, listen=("LISTEN",), options=(),
                 port=None, env=None, bind="127.0.0.1", test=None):
        if not BINARY:
            raise RuntimeError("KORVANE_BINARY is not set")
        self.tmp = tempfile.TemporaryDirectory(prefix="kvgw.")
        self.home = os.path.join(self.tmp.name, "home")
        if copy:
            shutil.copytree(copy, self.home)
        self.drives = os.path.join(self.home, "drives")
        for folder in ("c/temp", "c/export", "c/import"):
            os.makedirs(os.path.join(self.drives, folder), exist_ok=True)
        if ini_text is not None:
            with open(self.path("korvane.ini"), "w", newline="\r\n") as ini:
                ini.write(ini_text)
        for name, content in (files or {}).items():
            self.write(name, *(content if isinstance(content, tuple) else (content,)))
        self.port = port or free_port()
        self.address = bind
        self.lines = []
        self.process = subprocess.Popen(
            [BINARY, *options, "--home", self.home, "--link-dir", self.path("links"),
             "--bind", "%s:%d" % (bind, self.port), *listen],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=dict(ENV, **(env or {})))
        threading.Thread(target=self._read_stdout, daemon=True).start()
        if listen:
            try:
                self.wait_for_line("Listening on Port", 30)
            except AssertionError:
                self.stop()
                raise
        if test:
            (test.addClassCleanup if isinstance(test, type) else test.addCleanup)(self.stop)

    def _read_stdout(self):
        for raw in self.process.stdout:
            self.lines.append(raw.decode("latin-1").rstrip("\r\n"))

    def wait_for_line(self, pattern, timeout=10, since=0):
        """The first stdout line from number since on that matches pattern, once there is one."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        while True:
            for line in self.lines[since:]:
                if regex.search(line):
                    return line
            if time.monotonic() > deadline:
                raise AssertionError("no line matching %r; last lines:\n%s"
                                     % (pattern, "\n".join(self.lines[-30:])))
            time.sleep(0.05)

    def count(self, pattern):
        regex = re.compile(pattern)
        return sum(1 for line in list(self.lines) if regex.search(line))

    def wait_for_count(self, pattern, count, timeout=10):
        """Waits until count stdout lines match pattern."""
        wait_until(lambda: self.count(pattern) >= count, timeout,
                   "%d lines matching %r" % (count, pattern))

    def path(self, name):
        """Host path of a name relative to the home ("drives/c/x.sh")."""
        return os.path.join(self.home, name)

    def write(self, name, content, executable=False):
        write_file(self.path(name), content, executable)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def log_text(self):
        """The whole log: the copies moved aside (oldest first), then korvane.log."""
        folder = self.path("drives/c/temp/log")
        aside = sorted((n for n in os.listdir(folder) if re.fullmatch(r"korvane\.l_\d", n)),
                       key=lambda n: os.stat(os.path.join(folder, n)).st_mtime_ns)
        names = aside + ["korvane.log"]
        return "".join(self.read("drives/c/temp/log/" + n).decode("latin-1") for n in names)

    def temp_files(self, prefix=""):
        """Names ending in .tmp in c:\\temp that start with prefix."""
        return [n for n in os.listdir(os.path.join(self.drives, "c/temp"))
                if n.lower().endswith(".tmp") and n.lower().startswith(prefix)]

    def fd_count(self):
        return len(os.listdir("/proc/%d/fd" % self.process.pid))

    def connect(self):
        return socket.create_connection((self.address, self.port), timeout=30)

    def ask(self, request, timeout=30):
        """The Answer to request (bytes or text), read until the gateway closes."""
        if isinstance(request, str):
            request = request.encode("latin-1")
        with self.connect() as s:
            s.settimeout(timeout)
            s.sendall(request)
            return Answer(read_all(s))

    def get(self, target, headers=(), timeout=30, method="GET"):
        lines = ["%s %s HTTP/1.0" % (method, target)] + list(headers)
        return self.ask("\r\n".join(lines) + "\r\n\r\n", timeout)

    def ctl(self, *words, timeout=30):
        """What `korvane ctl WORDS` prints; exit code and stderr go to ctl_code and ctl_err."""
        result = subprocess.run([BINARY, "--home", self.home, "ctl"] + list(words),
                                capture_output=True, timeout=timeout, env=ENV)
        self.ctl_code = result.returncode
        self.ctl_err = result.stderr.decode("latin-1")
        return result.stdout.decode("latin-1")

    def ctl_failure(self, *words):
        """(exit code, stderr) of a ctl command that must print nothing on stdout."""
        out = self.ctl(*words)
        if out:
            raise AssertionError("ctl %s printed %r" % (words, out))
        return self.ctl_code, self.ctl_err

    def end_started(self, sig=signal.SIGKILL):
        """Ends the programs the gateway started (its home is on their command line)."""
        for pid in processes_with(self.home):
            if pid != self.process.pid:
                os.kill(pid, sig)

    def stop(self):
        """Ends the gateway and removes its home; a sanitizer report on stderr fails."""
        if self.process.stdout.closed:
            return ""  # stopped already
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
        if "ERROR: AddressSanitizer" in stderr or "runtime error:" in stderr:
            raise AssertionError("sanitizer report:\n" + stderr)
        return stderr


def demo_gateway(**kw):
    """The demo home as shipped, its programs found on PATH."""
    path = os.path.join(BUILD, "tools") + ":" + os.environ["PATH"]
    return Gateway(None, copy=os.path.join(SOURCE, "demo"), env={"PATH": path}, **kw)


def abort(sock):
    """Closes with a reset instead of a FIN, as a client that vanishes."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def read_all(s):
    chunks = []
    while True:
        data = s.recv(65536)
        if not data:
            return b"".join(chunks)
        chunks.append(data)
