#!/usr/bin/env python3
"""What the fixed behaviours of a document request cost: the 1 KiB document
at one wrk connection, served by nginx, by the bare Asio loop, and by one
measurement build of the gateway (bench/fixed_off.patch applied) three
ways: as it is, with KV_FIXED_OFF=1, and with KV_FIXED_OFF_MORE=1 too.
The servers take turns, the order swapped each round; the table gives the
median requests/s with low-high, the server's CPU per request (utime +
stime from /proc) and the ratio to nginx; a last line adds the bare loop's
wall time per request to what the fixed behaviours take of it: the most a
gateway that keeps them could reach against nginx here.

    bench/fixed_cost.py BINARY [ROUNDS [SECONDS]]     (default 7 rounds of 5 s)
"""
import os, shutil, statistics, sys, tempfile, time
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
for name, env in (("gateway", {}), ("fixed off", {"KV_FIXED_OFF": "1"}),
                  ("fixed off, more", {"KV_FIXED_OFF": "1", "KV_FIXED_OFF_MORE": "1"})):
    home = os.path.join(tmp, name.replace(" ", "_").replace(",", ""))
    os.makedirs(home)
    os.symlink(drives, os.path.join(home, "drives"))  # the same files, each its own log
    port, p = hv.start_gateway(BIN, home, 0, dict(os.environ, **env))
    procs.append(p); urls[name] = ("http://127.0.0.1:%d/doc1k.txt" % port, p)
port, p = hv.start_nginx(shutil.which("nginx") or "/usr/sbin/nginx", tmp, export)
procs.append(p); urls["nginx"] = ("http://127.0.0.1:%d/doc1k.txt" % port, p)
for url, _ in urls.values():
    hv.wait_port(int(url.split(":")[2].split("/")[0]))
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

# At one connection the requests follow one another, so the wall time of
# each (1/rate) adds up along the road. What the fixed behaviours take of
# it is the gateway's time less the time with all of them off; the bare
# loop's time is the least this way of serving needs. A server that did
# nothing but the loop's work and the fixed behaviours would need their
# sum: the most any gateway that keeps them could reach against nginx.
wall = {n: 1e6 / statistics.median(res[n]) for n in names}
loop = next((n for n in names if n.startswith("asio loop")), None)
if loop:
    fixed = wall["gateway"] - wall["fixed off, more"]
    best = wall[loop] + fixed
    print("\nWall time per request: gateway %.1f µs, with every fixed behaviour off %.1f µs, so they take "
          "%.1f µs of it; the bare loop %.1f µs, nginx %.1f µs. The loop carrying the fixed behaviours would "
          "need %.1f µs: at most %.2f× nginx." % (wall["gateway"], wall["fixed off, more"], fixed, wall[loop],
                                                   wall["nginx"], best, wall["nginx"] / best))
