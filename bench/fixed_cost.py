#!/usr/bin/env python3
"""What the fixed behaviours of a document request cost: the 1 KiB document
at one wrk connection, served by nginx, by the bare Asio loop, and by one
measurement build of the gateway (bench/fixed_off.patch applied) three
ways: as it is, with KV_FIXED_OFF=1, and with KV_FIXED_OFF_MORE=1 too.
The servers take turns, the order swapped each round; the table gives the
median requests/s with low-high, the server's CPU per request (utime +
stime from /proc) and the ratio to nginx.

    bench/fixed_cost.py BINARY [ROUNDS [SECONDS]]     (default 7 rounds of 5 s)
"""
import os, sys, subprocess, tempfile, statistics, pwd, time
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import http_vs_nginx as hv
BIN = sys.argv[1]
rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 7
secs = int(sys.argv[3]) if len(sys.argv) > 3 else 5
hv.ensure("wrk", "wrk")
tmp = tempfile.mkdtemp(prefix="kvcmp.")
drives = os.path.join(tmp, "drives"); export = os.path.join(drives, "c", "export")
os.makedirs(export); os.makedirs(os.path.join(drives, "c", "temp"))
open(os.path.join(export, "doc1k.txt"), "wb").write(os.urandom(512).hex().encode())
lua = os.path.join(tmp, "check.lua"); open(lua, "w").write(hv.LUA)
procs, urls = [], {}
def gateway(name, env):
    home = os.path.join(tmp, name.replace(" ", "_")); os.makedirs(home)
    os.symlink(drives, os.path.join(home, "drives"))
    port = hv.free_port()
    open(os.path.join(home, "korvane.ini"), "w", newline="\r\n").write(
        "[Variables]\nPort=%d\nMaxUsers=256\nExpireSeconds=20\nModernClients=0\n\n[MimeTypes]\ntxt=a|text/plain\nbin=b|application/octet-stream\n" % port)
    p = subprocess.Popen([BIN, "--home", home, "--link-dir", home + "/links", "--bind", "127.0.0.1:%d" % port, "LISTEN"],
                         env=dict(os.environ, **env), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    procs.append(p); urls[name] = ("http://127.0.0.1:%d/doc1k.txt" % port, p); hv.wait_port(port)
gateway("gateway", {})
gateway("fixed off", {"KV_FIXED_OFF": "1"})
gateway("fixed off, more", {"KV_FIXED_OFF": "1", "KV_FIXED_OFF_MORE": "1"})
# nginx
ng = os.path.join(tmp, "nginx"); os.makedirs(ng); port = hv.free_port()
open(ng + "/nginx.conf", "w").write("""daemon off; master_process off; worker_processes 1; pid %(d)s/nginx.pid; error_log %(d)s/error.log;
events { worker_connections 1024; }
http { access_log off; sendfile on; tcp_nopush on; keepalive_timeout 0; default_type application/octet-stream;
client_body_temp_path %(d)s/body; proxy_temp_path %(d)s/proxy; fastcgi_temp_path %(d)s/fastcgi; uwsgi_temp_path %(d)s/uwsgi; scgi_temp_path %(d)s/scgi;
server { listen 127.0.0.1:%(p)d; root %(r)s; } }
""" % {"d": ng, "p": port, "r": export})
nobody = pwd.getpwnam("nobody")
for root, dirs, files in os.walk(tmp):
    os.chmod(root, 0o755)
    for n in files: os.chmod(os.path.join(root, n), 0o644)
os.chown(ng, nobody.pw_uid, nobody.pw_gid)
def pre(): os.setgid(nobody.pw_gid); os.setuid(nobody.pw_uid)
p = subprocess.Popen(["/usr/sbin/nginx", "-p", ng, "-c", ng + "/nginx.conf"], preexec_fn=pre, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
procs.append(p); urls["nginx"] = ("http://127.0.0.1:%d/doc1k.txt" % port, p); hv.wait_port(port)
loops = hv.start_asio_loops(export)
for doc, by_name in loops.items():
    for name, (base, lp) in by_name.items():
        procs.append(lp)
        if doc == hv.SMALL and "client closes" in name: urls[name] = (base + hv.SMALL, lp)
time.sleep(1)
names = list(urls)
res = {n: [] for n in names}; cpu = {n: [] for n in names}
try:
    for r in range(rounds):
        order = names if r % 2 == 0 else names[::-1]
        for n in order:
            url, proc = urls[n]
            t0 = os.times()
            stat0 = open("/proc/%d/stat" % proc.pid).read().split()
            w = hv.run_wrk(url, 1, secs, 1024, lua)
            stat1 = open("/proc/%d/stat" % proc.pid).read().split()
            ticks = (int(stat1[13]) + int(stat1[14])) - (int(stat0[13]) + int(stat0[14]))
            assert w["failed"] == 0, (n, w)
            res[n].append(w["rps"]); cpu[n].append(ticks / os.sysconf("SC_CLK_TCK") / w["requests"] * 1e6)
finally:
    for p in procs: p.terminate()
    for p in procs: p.wait(timeout=30)
ng_med = statistics.median(res["nginx"])
print("| | requests/s (low-high) | CPU per request | against nginx |")
print("|---|---|---|---|")
for n in names:
    m = statistics.median(res[n])
    print("| %s | %.0f (%.0f-%.0f) | %.0f µs | %.2f× |" % (n, m, min(res[n]), max(res[n]), statistics.median(cpu[n]), m / ng_med))
