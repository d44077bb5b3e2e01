#!/usr/bin/env python3
"""Connection admission rate and resident memory of one gateway.

    bench/admission.py [--binary PATH] [--seconds N] [--rounds N] [--sessions N]

Admission: each client connects, reads the first line the gateway sends and
closes, over and over. Two cases:

- greeting: FTP mode (port text 21, listening elsewhere with --bind), so the
  220 greeting comes at once;
- 421: web mode with MaxUsers=0, so every client lands on the slot limit and
  gets "421 Maximum number of users engaged" at once.

Each case runs with 1 and with 32 concurrent clients, --rounds times, the
servers taking turns and swapping order each round; figures are medians
with the lowest and highest beside them. Beside the gateway the same client
loads bench/accept_loop.c, a bare server in C, in the same rounds, twice: one
that closes at once after its line (as the gateway closes after a refusal)
and one that waits for the client to close (as after an FTP greeting, where
the client leaves first). "ratio to the C loop" is the gateway's rate over
the loop that closes in the same order: the side that closes first holds
the connection in TIME_WAIT, and a client that does so pays for it in every
later connect. The client is
bench/admit_load.c (one thread, epoll), compiled with cc on the first run,
so the two cores are mostly the gateway's; without a C compiler a Python
client is used (the 32 spread over a few processes), which takes a good part
of the machine itself and so gives lower figures.

Memory: VmRSS of the FTP-mode gateway when idle, and with --sessions open
sessions (MaxUsers as large; FTP sessions do not expire).

The gateway's stdout (every log line) goes to /dev/null. The binary is
KORVANE_BINARY, else build-bench/korvane, else build-release/korvane, else
build/korvane. Use a release build: a sanitizer build measures the
sanitizers. The client runs on the same machine and shares its cores, so the
per-second figures are a lower bound of what the gateway can do on its own;
"per gateway CPU s" divides the admissions by the CPU time the gateway itself
used in the run (what one core given wholly to it would do).
"""

import argparse
import multiprocessing
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)

TARGET_IDLE_KIB = 8 * 1024
TARGET_SESSION_KIB = 16
TARGET_RATE_32 = 10000
REFERENCE_CLOSES = "reference (C loop, closes first)"
REFERENCE_CLIENT_CLOSES = "reference (C loop, client closes first)"


def find_binary(given):
    for candidate in (given, os.environ.get("KORVANE_BINARY"),
                      os.path.join(TOP, "build-bench", "korvane"),
                      os.path.join(TOP, "build-release", "korvane"),
                      os.path.join(TOP, "build", "korvane")):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    sys.exit("no korvane binary found; build one or pass --binary")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class QuietGateway:
    """korvane on a temporary home, stdout to /dev/null; ready once its log
    file says it listens."""

    def __init__(self, binary, ini_text, port_text=None):
        self.tmp = tempfile.TemporaryDirectory(prefix="kvbench.")
        home = self.tmp.name
        for folder in ("c/temp/log", "c/export", "c/import"):
            os.makedirs(os.path.join(home, "drives", folder), exist_ok=True)
        with open(os.path.join(home, "korvane.ini"), "w") as ini:
            ini.write(ini_text)
        self.port = free_port()
        args = [binary, "--headless", "--home", home, "--link-dir", os.path.join(home, "links"),
                "--bind", "127.0.0.1:%d" % self.port, "LISTEN"]
        if port_text:
            args.append(port_text)
        env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                        env=env)
        log = os.path.join(home, "drives", "c", "temp", "log", "korvane.log")
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                sys.exit("gateway ended: " + self.process.stderr.read().decode("latin-1"))
            try:
                with open(log, "rb") as f:
                    if b"Listening on Port" in f.read():
                        return
            except OSError:
                pass
            time.sleep(0.05)
        self.stop()
        sys.exit("gateway did not start listening")

    def rss_kib(self):
        with open("/proc/%d/status" % self.process.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def cpu_seconds(self):
        """User plus system time the gateway has used so far."""
        with open("/proc/%d/stat" % self.process.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stderr.close()
        self.tmp.cleanup()


def first_line(s):
    data = b""
    while b"\n" not in data:
        chunk = s.recv(4096)
        if not chunk:
            break
        data += chunk
    return data


def admit_loop(port, stop_at, counts, lock):
    """One client: connect, read the first line, close; tallies by the
    line's first three bytes."""
    local = {}
    while time.monotonic() < stop_at:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
                code = first_line(s)[:3].decode("latin-1") or "eof"
        except OSError as e:
            code = type(e).__name__
        local[code] = local.get(code, 0) + 1
    with lock:
        for code, n in local.items():
            counts[code] = counts.get(code, 0) + n


def client_process(port, threads, start_at, stop_at, queue):
    counts, lock = {}, threading.Lock()
    while time.monotonic() < start_at:
        time.sleep(0.001)
    workers = [threading.Thread(target=admit_loop, args=(port, stop_at, counts, lock))
               for _ in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    queue.put(counts)


def c_client():
    """The compiled admission client, or None without a C compiler."""
    return c_program("admit_load")


def admissions_c(client, gateway, clients, seconds):
    cpu_before = gateway.cpu_seconds()
    started = time.monotonic()
    words = subprocess.run([client, str(gateway.port), str(clients), str(seconds)],
                           capture_output=True, text=True, check=True).stdout.split()
    elapsed = time.monotonic() - started
    cpu = gateway.cpu_seconds() - cpu_before
    count = int(words[0])
    tally = {code: int(n) for code, n in (word.split("=") for word in words[1:])}
    return count / elapsed, (count / cpu if cpu > 0 else float("nan")), tally


def admissions(gateway, clients, seconds):
    client = c_client()
    if client:
        return admissions_c(client, gateway, clients, seconds)
    """Admissions per second with clients concurrent clients, admissions per
    second of the gateway's own CPU time, and the tally of first lines."""
    port = gateway.port
    cpu_before = gateway.cpu_seconds()
    processes = min(clients, max(1, os.cpu_count() or 1) * 2)
    per = [clients // processes + (1 if i < clients % processes else 0) for i in range(processes)]
    queue = multiprocessing.Queue()
    start_at = time.monotonic() + 0.5
    stop_at = start_at + seconds
    procs = [multiprocessing.Process(target=client_process,
                                     args=(port, n, start_at, stop_at, queue)) for n in per]
    for p in procs:
        p.start()
    total = {}
    for _ in procs:
        for code, n in queue.get().items():
            total[code] = total.get(code, 0) + n
    for p in procs:
        p.join()
    elapsed = time.monotonic() - start_at
    cpu = gateway.cpu_seconds() - cpu_before
    count = sum(total.values())
    return count / elapsed, (count / cpu if cpu > 0 else float("nan")), total


def open_sessions(port, count):
    sockets = []
    for _ in range(count):
        s = socket.create_connection(("127.0.0.1", port), timeout=30)
        line = first_line(s)
        if not line.startswith(b"220 "):
            raise SystemExit("session %d not admitted: %r" % (len(sockets) + 1, line))
        sockets.append(s)
    return sockets


def c_program(name):
    """bench/NAME.c compiled with cc (or bench/NAME.cpp with c++, as C++20)
    into the temp folder, or None without the compiler or when it fails."""
    cpp = os.path.exists(os.path.join(HERE, name + ".cpp"))
    compiler = (shutil.which("c++") or shutil.which("g++")) if cpp else (shutil.which("cc") or shutil.which("gcc"))
    if not compiler:
        return None
    out = os.path.join(tempfile.gettempdir(), "korvane-" + name.replace("_", "-"))
    source = os.path.join(HERE, name + (".cpp" if cpp else ".c"))
    flags = ["-std=c++20", "-DNDEBUG"] if cpp else []
    if not os.path.exists(out) or os.path.getmtime(out) < os.path.getmtime(source):
        if subprocess.run([compiler, "-O2"] + flags + ["-o", out, source]).returncode != 0:
            return None
    return out


class ReferenceServer:
    """bench/accept_loop.c: accept, send a line, close (or, with mode
    "client-closes", wait for the client to close), as fast as it goes."""

    def __init__(self, program, mode=None):
        self.port = free_port()
        self.process = subprocess.Popen([program, str(self.port)] + ([mode] if mode else []))
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                if time.monotonic() > deadline:
                    self.stop()
                    sys.exit("accept_loop does not listen")
                time.sleep(0.05)

    cpu_seconds = QuietGateway.cpu_seconds

    def stop(self):
        self.process.kill()
        self.process.wait()


def median(values):
    values = sorted(values)
    middle = len(values) // 2
    return values[middle] if len(values) % 2 else (values[middle - 1] + values[middle]) / 2


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--binary")
    parser.add_argument("--seconds", type=float, default=5)
    parser.add_argument("--rounds", type=int, default=1,
                        help="rounds per case, the servers taking turns (default 1)")
    parser.add_argument("--sessions", type=int, default=500)
    args = parser.parse_args()
    binary = find_binary(args.binary)
    print("binary: %s" % binary)
    print("cpus: %d, load average: %s" % (os.cpu_count() or 0,
                                          " ".join(open("/proc/loadavg").read().split()[:3])))

    ftp = QuietGateway(binary, "[Variables]\nMaxUsers=%d\n" % max(args.sessions, 64), "21")
    web = QuietGateway(binary, "[Variables]\nMaxUsers=0\nExpireSeconds=20\n")
    loop = c_program("accept_loop") if c_client() else None
    servers = [("greeting (FTP 220)", ftp), ("refusal (web 421)", web)]
    # Each gateway case is read against the bare loop that closes in the same order.
    floors = {"greeting (FTP 220)": REFERENCE_CLIENT_CLOSES, "refusal (web 421)": REFERENCE_CLOSES}
    if loop:
        servers.append((REFERENCE_CLOSES, ReferenceServer(loop)))
        servers.append((REFERENCE_CLIENT_CLOSES, ReferenceServer(loop, "client-closes")))
    runs = {}
    try:
        idle = ftp.rss_kib()
        for clients in (1, 32):
            for n in range(args.rounds):
                for name, server in (servers if n % 2 == 0 else servers[::-1]):
                    runs.setdefault((name, clients), []).append(
                        admissions(server, clients, args.seconds))
        time.sleep(0.5)
        before = ftp.rss_kib()
        held = open_sessions(ftp.port, args.sessions)
        time.sleep(0.5)
        loaded = ftp.rss_kib()
        for s in held:
            s.close()
    finally:
        for _, server in servers:
            server.stop()

    print()
    print("| admission | clients | per second | (low-high) | per server CPU s | ratio to the C loop "
          "| first lines |")
    print("|---|---|---|---|---|---|---|")
    best32 = 0
    for clients in (1, 32):
        for name, _ in servers:
            floor = median([r[0] for r in runs.get((floors.get(name, name), clients), [(0,)])])
            got = runs[(name, clients)]
            rate = median([r[0] for r in got])
            tally = {}
            for r in got:
                for code, count in r[2].items():
                    tally[code] = tally.get(code, 0) + count
            if not name.startswith("reference"):
                best32 = max(best32, rate) if clients == 32 else best32
            print("| %s | %d | %.0f | %.0f-%.0f | %.0f | %s | %s |" % (
                name, clients, rate, min(r[0] for r in got), max(r[0] for r in got),
                median([r[1] for r in got]), "%.2f" % (rate / floor) if floor else "-",
                ", ".join("%s=%d" % kv for kv in sorted(tally.items()))))
    per_session = (loaded - before) / args.sessions
    print()
    print("%-36s %10s %10s" % ("memory (VmRSS)", "measured", "target"))
    print("%-36s %7d KiB %6d KiB" % ("idle, freshly listening", idle, TARGET_IDLE_KIB))
    print("%-36s %7d KiB" % ("after the admission runs", before))
    print("%-36s %7d KiB" % ("with %d open sessions" % args.sessions, loaded))
    print("%-36s %7.1f KiB %6d KiB" % ("per open session", per_session, TARGET_SESSION_KIB))
    print()
    print("targets: idle RSS < 8 MiB: %s; < 16 KiB per session: %s; >= %d admissions/s at 32 "
          "clients: %s" % ("met" if idle < TARGET_IDLE_KIB else "NOT met",
                           "met" if per_session < TARGET_SESSION_KIB else "NOT met",
                           TARGET_RATE_32, "met" if best32 >= TARGET_RATE_32 else "NOT met"))


if __name__ == "__main__":
    main()
