#!/usr/bin/env python3
"""HTTP documents: the gateway against nginx, same files, same machine, same run.

    bench/http_vs_nginx.py [--binary PATH] [--seconds N] [--rounds N] [--modern]

Both servers serve the same folder: a 1 KiB document and a 50 MiB file.
nginx runs unprivileged in the foreground from its own conf in a temp dir
(keepalive_timeout 0, one worker: the gateway is one thread). wrk loads
both with "Connection: close", so every request is a new connection (the
gateway closes after each answer). A wrk Lua script counts answers that
are not 200 or whose body length is wrong. The 50 MiB case is read by a
client of its own instead (get_large): wrk hands each whole body to Lua as
one string, which made wrk, not the server, the limit of that case and its
figures swing. The 50 MiB body is also fetched once from each server and
compared byte for byte. Gateway settings:
MaxUsers=256, ExpireSeconds=20; its stdout goes to /dev/null.
With --modern a second gateway with ModernClients=1 takes its turn too, and
the table gains its row (the switch should cost nothing).
The 1 KiB cases also load bench/asio_doc_loop.cpp twice, and the 50 MiB
case once, when a C++ compiler and Asio are there: a bare server built the way the gateway is
(one thread, Asio coroutines) that only reads the request and sends the
file. "asio loop, client closes" waits for the client's end after the
answer, as the gateway does; "asio loop, server closes" closes at once, as
nginx does here (the 50 MiB file goes by sendfile, corked). They show
what this way of building a server, and the closing order, allow on this
machine in the same run; the gateway's own work is the distance between it
and the first.
Each case runs --rounds times, the servers taking turns and swapping who
goes first each round, so a slow spell of the shared machine falls on both;
a figure in the table is the median over the rounds, the lowest and highest
beside it, and the ratio is that of the medians.
Installs nginx and wrk with apt-get when missing. The binary is
KORVANE_BINARY, else build-bench/korvane, else build-release/korvane.
"""

import argparse
import hashlib
import os
import re
import shutil
import statistics
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

from admission import c_program

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)

SMALL = "doc1k.txt"
LARGE = "big50m.bin"
SMALL_SIZE = 1024
LARGE_SIZE = 50 * 1024 * 1024

LUA = r"""
local threads = {}
function setup(thread) table.insert(threads, thread) end
function init(args) bad = 0; expected = tonumber(args[1]) end
function response(status, headers, body)
  if status ~= 200 or body == nil or #body ~= expected then bad = bad + 1 end
end
function done(summary, latency, requests)
  local b = 0
  for _, t in ipairs(threads) do b = b + t:get("bad") end
  local e = summary.errors
  io.write(string.format("RESULT requests=%d duration_us=%d bytes=%d bad=%d connect=%d read=%d write=%d status=%d timeout=%d\n",
    summary.requests, summary.duration, summary.bytes, b, e.connect, e.read, e.write, e.status, e.timeout))
end
"""


def ensure(tool, package):
    if shutil.which(tool) is None and not os.path.exists("/usr/sbin/" + tool):
        subprocess.run(["apt-get", "install", "-y", package], check=False,
                       stdout=subprocess.DEVNULL)
        if shutil.which(tool) is None and not os.path.exists("/usr/sbin/" + tool):
            subprocess.run(["apt-get", "update"], check=False, stdout=subprocess.DEVNULL)
            subprocess.run(["apt-get", "install", "-y", package], check=True,
                           stdout=subprocess.DEVNULL)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.1)
    raise RuntimeError("nothing listens on port %d" % port)


def find_binary(arg):
    for candidate in (arg, os.environ.get("KORVANE_BINARY"),
                      os.path.join(TOP, "build-bench", "korvane"),
                      os.path.join(TOP, "build-release", "korvane")):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    sys.exit("no korvane binary: build build-bench or pass --binary")


def run_wrk(url, connections, seconds, expected, lua_path):
    cmd = ["wrk", "-t1", "-c%d" % connections, "-d%ds" % seconds, "--timeout", "30s",
           "-H", "Connection: close", "-s", lua_path, url, "--", str(expected)]
    print("  $", " ".join(cmd), flush=True)
    out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout
    m = re.search(r"RESULT (.*)", out)
    fields = dict(kv.split("=") for kv in m.group(1).split())
    r = {k: int(v) for k, v in fields.items()}
    secs = r["duration_us"] / 1e6
    r["rps"] = r["requests"] / secs
    r["mibps"] = r["bytes"] / secs / 2**20
    r["failed"] = r["bad"] + r["connect"] + r["read"] + r["write"] + r["status"] + r["timeout"]
    return r


def get_large(port, path, seconds, expected):
    """GETs path on new connections, one after the other, for seconds (the
    transfer under way is finished), reading each body into one reused
    buffer and counting it; a figure like run_wrk's."""
    request = ("GET /%s HTTP/1.0\r\nConnection: close\r\n\r\n" % path).encode()
    buf = bytearray(1 << 20)
    view = memoryview(buf)
    r = {"requests": 0, "bytes": 0, "bad": 0, "connect": 0, "read": 0, "write": 0,
         "status": 0, "timeout": 0}
    print("  get_large 127.0.0.1:%d /%s for %d s" % (port, path, seconds), flush=True)
    started = time.monotonic()
    while time.monotonic() - started < seconds:
        with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
            s.sendall(request)
            head = b""
            while b"\r\n\r\n" not in head:
                n = s.recv_into(view)
                if n == 0:
                    break
                head += bytes(view[:n])
            head, _, rest = head.partition(b"\r\n\r\n")
            # Read to the length the head gives and close, as curl and wrk
            # do: the gateway leaves a connection open for a moment after
            # its answer, for the client to close first.
            m = re.search(rb"(?im)^content-length:\s*(\d+)", head)
            length = int(m.group(1)) if m else None
            body = len(rest)
            while length is None or body < length:
                n = s.recv_into(view)
                if n == 0:
                    break
                body += n
        r["requests"] += 1
        r["bytes"] += body
        if not head.split(b" ", 2)[1:2] == [b"200"] or body != expected:
            r["bad"] += 1
    secs = time.monotonic() - started
    r["duration_us"] = int(secs * 1e6)
    r["rps"] = r["requests"] / secs
    r["mibps"] = r["bytes"] / secs / 2**20
    r["failed"] = r["bad"]
    return r


def start_gateway(binary, home, modern, env=None):
    """(port, process): a gateway on home, with the bench's settings."""
    port = free_port()
    with open(os.path.join(home, "korvane.ini"), "w", newline="\r\n") as f:
        f.write("[Variables]\nPort=%d\nMaxUsers=256\nExpireSeconds=20\nModernClients=%d\n\n"
                "[MimeTypes]\ntxt=a|text/plain\nbin=b|application/octet-stream\n" % (port, modern))
    cmd = [binary, "--home", home, "--link-dir", os.path.join(home, "links"),
           "--bind", "127.0.0.1:%d" % port, "LISTEN"]
    print("gateway: $", " ".join(cmd), "> /dev/null")
    return port, subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def start_nginx(nginx, tmp, export):
    """(port, process): nginx serving export from its own conf under tmp."""
    ng_port = free_port()
    ng_dir = os.path.join(tmp, "nginx")
    os.makedirs(ng_dir)
    conf = os.path.join(ng_dir, "nginx.conf")
    with open(conf, "w") as f:
        f.write("""daemon off;
master_process off;
worker_processes 1;
pid %(d)s/nginx.pid;
error_log %(d)s/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 0;
  default_type application/octet-stream;
  client_body_temp_path %(d)s/body;
  proxy_temp_path %(d)s/proxy;
  fastcgi_temp_path %(d)s/fastcgi;
  uwsgi_temp_path %(d)s/uwsgi;
  scgi_temp_path %(d)s/scgi;
  server {
    listen 127.0.0.1:%(p)d;
    root %(r)s;
  }
}
""" % {"d": ng_dir, "p": ng_port, "r": export})
    # nginx started as root would switch its worker to nobody; run it as
    # nobody from the start when we are root, so it needs no privileges.
    ng_cmd = [nginx, "-p", ng_dir, "-c", conf]
    pre = None
    if os.geteuid() == 0:
        import pwd
        nobody = pwd.getpwnam("nobody")
        for root, dirs, files in os.walk(tmp):
            os.chmod(root, 0o755)
            for n in files:
                os.chmod(os.path.join(root, n), 0o644)
        os.chown(ng_dir, nobody.pw_uid, nobody.pw_gid)

        def pre():
            os.setgid(nobody.pw_gid)
            os.setuid(nobody.pw_uid)
    print("nginx: $", " ".join(ng_cmd))
    ng = subprocess.Popen(ng_cmd, preexec_fn=pre, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return ng_port, ng


def start_asio_loops(export):
    """{document: {name: (base url, process)}}: both asio loops on the
    1 KiB document, the one that waits for the client on the 50 MiB file."""
    program = c_program("asio_doc_loop")
    if not program:
        print("asio loop: no C++ compiler or no Asio headers, left out")
        return {}
    loops = {}
    for doc, name, mode in ((SMALL, "asio loop, client closes", []),
                            (SMALL, "asio loop, server closes", ["server-closes"]),
                            (LARGE, "asio loop, client closes", [])):
        port = free_port()
        loops.setdefault(doc, {})[name] = (
            "http://127.0.0.1:%d/" % port,
            subprocess.Popen([program, str(port), os.path.join(export, doc)] + mode))
    return loops


def fetch_sha(url):
    h = hashlib.sha256()
    req = urllib.request.Request(url, headers={"Connection": "close"})
    with urllib.request.urlopen(req, timeout=120) as resp:
        while True:
            chunk = resp.read(1 << 20)
            if not chunk:
                break
            h.update(chunk)
    return h.hexdigest()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--binary")
    ap.add_argument("--seconds", type=int, default=10)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--modern", action="store_true", help="also a gateway with ModernClients=1")
    args = ap.parse_args()
    binary = find_binary(args.binary)
    ensure("wrk", "wrk")
    ensure("nginx", "nginx")
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"

    tmp = tempfile.mkdtemp(prefix="kvbench-http.")
    home = os.path.join(tmp, "home")
    export = os.path.join(home, "drives", "c", "export")
    os.makedirs(export)
    os.makedirs(os.path.join(home, "drives", "c", "temp"))
    small = os.urandom(SMALL_SIZE // 2).hex().encode()
    with open(os.path.join(export, SMALL), "wb") as f:
        f.write(small)
    with open(os.path.join(export, LARGE), "wb") as f:
        for _ in range(LARGE_SIZE // 2**20):
            f.write(os.urandom(2**20))
    large_sha = hashlib.sha256(open(os.path.join(export, LARGE), "rb").read()).hexdigest()
    lua_path = os.path.join(tmp, "check.lua")
    with open(lua_path, "w") as f:
        f.write(LUA)

    gw_port, gw = start_gateway(binary, home, 0)
    gateways = [gw]
    modern_port = None
    if args.modern:
        # A second home on the same drives: the same files, its own log.
        modern_home = os.path.join(tmp, "modern")
        os.makedirs(modern_home)
        os.symlink(os.path.join(home, "drives"), os.path.join(modern_home, "drives"))
        modern_port, modern_gw = start_gateway(binary, modern_home, 1)
        gateways.append(modern_gw)

    ng_port, ng = start_nginx(nginx, tmp, export)

    started = gateways + [ng]
    try:
        wait_port(gw_port)
        wait_port(ng_port)
        servers = {"korvane": "http://127.0.0.1:%d/" % gw_port,
                   "nginx": "http://127.0.0.1:%d/" % ng_port}
        if modern_port:
            wait_port(modern_port)
            servers["korvane ModernClients=1"] = "http://127.0.0.1:%d/" % modern_port
        verify = {}
        for name, base in servers.items():
            verify[name] = fetch_sha(base + LARGE) == large_sha
            print("%s: 50 MiB body identical: %s" % (name, verify[name]))
        loops = start_asio_loops(export)
        for base, process in [v for by_name in loops.values() for v in by_name.values()]:
            started.append(process)
            wait_port(int(base.rstrip("/").rsplit(":", 1)[1]))
        results = {}
        cases = [("1 KiB, 1 conn", SMALL, 1, SMALL_SIZE),
                 ("1 KiB, 32 conns", SMALL, 32, SMALL_SIZE),
                 ("50 MiB, 1 conn", LARGE, 1, LARGE_SIZE)]
        for label, doc, conns, size in cases:
            for r in range(args.rounds):
                order = list(servers.items())
                order += [(name, base) for name, (base, _) in loops.get(doc, {}).items()]
                if r % 2:
                    order.reverse()
                for name, base in order:
                    print("%s / %s, round %d" % (label, name, r + 1), flush=True)
                    if doc == LARGE:
                        port = int(base.rstrip("/").rsplit(":", 1)[1])
                        figure = get_large(port, doc, args.seconds, size)
                    else:
                        figure = run_wrk(base + doc, conns, args.seconds, size, lua_path)
                    results.setdefault((label, name), []).append(figure)
                    time.sleep(1)
        print()
        print("load: %s (2 cores, shared with other builds)" % open("/proc/loadavg").read().strip())
        print("| case | server | median (low-high) | ratio to nginx | failed/wrong |")
        print("|---|---|---|---|---|")
        for label, doc, conns, size in cases:
            key, unit = ("mibps", "MiB/s") if doc == LARGE else ("rps", "req/s")
            nginx_median = statistics.median(x[key] for x in results[(label, "nginx")])
            for name in list(servers) + list(loops.get(doc, {})):
                if (label, name) not in results:
                    continue
                runs = results[(label, name)]
                rates = sorted(x[key] for x in runs)
                median = statistics.median(rates)
                ratio = median / nginx_median if name != "nginx" and nginx_median else None
                print("| %s | %s | %.1f %s (%.0f-%.0f) | %s | %d of %d |" % (
                    label, name, median, unit, rates[0], rates[-1],
                    "%.3f" % ratio if ratio is not None else "",
                    sum(x["failed"] for x in runs), sum(x["requests"] for x in runs)))
        print("large body verified: " + ", ".join("%s %s" % kv for kv in verify.items()))
    finally:
        for p in started:
            p.terminate()
        for p in started:
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
