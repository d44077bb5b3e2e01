#!/usr/bin/env python3
"""Every benchmark in one go, one table, and docs/performance.md.

    bench/all.py [--quick] [--binary PATH] [--qt-binary PATH] [--fixed-off PATH] [--doc PATH] [--logs DIR]

Runs the project's bench scripts one after the other (each lets its servers
take turns and swaps their order every round), reads the Markdown tables
they print, and adds two cases of its own: two gateways behind nginx (TCP
stream upstream) against one gateway at 32 connections, and the idle
resident memory of the headless binary (and of a binary built with Qt, run
headless, with --qt-binary or build-qt/korvane when there is one). Given
a build with bench/fixed_off.patch (--fixed-off, or build-fo/korvane) it
also runs bench/fixed_cost.py and notes on the 1 KiB one-connection row
the most a gateway that keeps the fixed behaviours could reach. It
prints one table of medians with the lowest and highest, the ratio to the
reference and the bar each case is held to, and rewrites the generated part of
docs/performance.md (between its two markers; the text around them is kept)
with that table, the machine, the date and a chart, docs/performance.png,
of the ratios against the 1.0 line (matplotlib: Debian python3-matplotlib).

The full run takes 5 rounds of every noisy case (9 of the 200 MiB FTP
transfers, whose single rounds swing by half on this machine), about 12
minutes on two cores; --quick takes one or two short rounds and under 3 minutes. Each
script's whole output is kept in --logs (default: a temp folder) for the
details (latencies, CPU per request, failed answers). The binary is
--binary, else KORVANE_BINARY, else build-bench/korvane: a Release build
without tests (cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release
-DKORVANE_TESTS=OFF -DKORVANE_QT=OFF).
"""

import argparse
import datetime
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, HERE)

from admission import QuietGateway, find_binary  # noqa: E402
import http_vs_nginx  # noqa: E402

BEGIN = "<!-- bench/all.py writes from here -->"
END = "<!-- bench/all.py writes up to here -->"
NUMBER = r"([\d.]+)"


class Row:
    """One line of the table: what was measured on each side, the ratio
    and the bar it is held to. value and reference are (median, low, high)."""

    def __init__(self, case, value, unit, reference=None, ref_name="", bar="", ratio=None,
                 met=None, why=""):
        self.case, self.value, self.unit, self.why = case, value, unit, why
        self.ceiling = None  # the fixed-behaviour case's: see note_floors
        self.reference, self.ref_name, self.bar = reference, ref_name, bar
        if ratio is None and reference and reference[0]:
            ratio = value[0] / reference[0]
        self.ratio, self.met = ratio, met

    def cells(self):
        def figure(v):
            if v is None:
                return "-"
            return "%s %s (%s-%s)" % (fmt(v[0]), self.unit, fmt(v[1]), fmt(v[2]))
        return [self.case, figure(self.value),
                ("%s: %s" % (self.ref_name, figure(self.reference))) if self.reference else "-",
                "%.2f" % self.ratio if self.ratio is not None else "-", self.bar,
                {None: "-", True: "yes", False: "**no**"}[self.met] + (": " + self.why if self.why else "")]


def fmt(x):
    return "%.0f" % x if x >= 100 else "%.1f" % x if x >= 10 else "%.2f" % x


def run_script(logs, name, args):
    """Runs bench/NAME with args, keeps its output in logs, returns it."""
    cmd = [sys.executable, os.path.join(HERE, name)] + args
    print("$ " + " ".join(cmd[1:]), flush=True)
    started = time.monotonic()
    result = subprocess.run(cmd, capture_output=True, text=True)
    with open(os.path.join(logs, name.replace(".py", ".log")), "w") as f:
        f.write(result.stdout + result.stderr)
    print("  %.0f s, exit %d" % (time.monotonic() - started, result.returncode), flush=True)
    if result.returncode:
        print(result.stderr[-2000:])
    return result.stdout


def table_row(out, *first_cells):
    """The cells of the Markdown table row that starts with first_cells."""
    n = len(first_cells)
    for line in out.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if tuple(cells[:n]) == first_cells:
            return cells
    return None


def spread(cell):
    """(median, low, high) from "1234.5 req/s (1200-1300)" or "1234 | 1200-1300"."""
    m = re.match(NUMBER + r"[^(]*\(" + NUMBER + "-" + NUMBER + r"\)", cell)
    return tuple(float(x) for x in m.groups()) if m else None


def http_cases(logs, binary, quick):
    out = run_script(logs, "http_vs_nginx.py", ["--binary", binary, "--seconds", "2" if quick else "5",
                                                "--rounds", "1" if quick else "5"])
    rows = []
    for label, case, bar in (("1 KiB, 1 conn", "1 KiB document, 1 connection", 1.0),
                             ("1 KiB, 32 conns", "1 KiB document, 32 connections", 0.9),
                             ("50 MiB, 1 conn", "50 MiB document", 1.0)):
        mine, theirs = table_row(out, label, "korvane"), table_row(out, label, "nginx")
        if not mine or not theirs:
            continue
        k, n = spread(mine[2]), spread(theirs[2])
        unit = "MiB/s" if "MiB/s" in mine[2] else "req/s"
        met = k[0] / n[0] >= bar
        bar_text = "≥ %.1f×" % bar
        # The bare Asio coroutine server that waits for the client's end,
        # as the gateway must: what this way of serving allows here (the
        # large file by sendfile, as nginx and the gateway send it).
        loop = table_row(out, label, "asio loop, client closes")
        if loop:
            bar_text += " (Asio loop, client closes: %.2f×)" % (spread(loop[2])[0] / n[0])
        if label.startswith("50"):
            within = max(k[0] - k[1], k[2] - k[0]) <= 0.15 * k[0]
            met = met and within
            bar_text += ", spread ±15 %"
        rows.append(Row(case, k, unit, n, "nginx", bar_text, met=met))
    return rows


FIXED_OFF_CASE = "1 KiB document, 1 connection, every fixed behaviour off"


def fixed_cost_case(logs, fixed_binary, quick):
    """The 1 KiB document at one connection once more, with the measurement
    build of bench/fixed_off.patch: with every fixed behaviour of the road
    switched off, and the most a gateway that keeps them could reach (the
    bare loop's wall time per request plus theirs), which note_floors puts
    on the case's own row."""
    if not fixed_binary:
        print("fixed behaviours case skipped: no build with bench/fixed_off.patch (--fixed-off)")
        return []
    out = run_script(logs, "fixed_cost.py", [fixed_binary] + (["1", "2"] if quick else ["7", "5"]))
    off, nginx = table_row(out, "fixed off, more"), table_row(out, "nginx")
    ceiling = re.search(r"need ([\d.]+) µs: at most ([\d.]+)× nginx", out)
    if not off or not nginx or not ceiling:
        return []
    row = Row(FIXED_OFF_CASE, spread(off[1]), "req/s", spread(nginx[1]), "nginx",
              "report (bench/fixed_off.patch)", met=None)
    row.ceiling = float(ceiling.group(2))
    return [row]


def note_floors(rows):
    """A bar that a bare loop of the same kind, measured in the same
    rounds, does not reach is out of any server's reach here: the row says
    so (docs/performance.md has the profiles behind each case). For the
    1 KiB document at one connection the ceiling is the bare loop carrying
    the fixed behaviours, measured by fixed_cost_case."""
    ceiling = next((r.ceiling for r in rows if r.case == FIXED_OFF_CASE), None)
    for r in rows:
        if r.case == "1 KiB document, 1 connection" and r.met is False and ceiling and ceiling < 1.0:
            r.why = "the fixed behaviours cap it at %.2f× (bare loop plus their time)" % ceiling
        if r.met is not False or r.why:
            continue
        bar = re.match(r"≥ ([\d.]+)×", r.bar)
        loop = re.search(r"loop[^:(]*: ([\d.]+)×", r.bar)
        if bar and loop and float(loop.group(1)) < float(bar.group(1)):
            r.why = "a bare loop of the same kind reaches %s×" % loop.group(1)
        elif r.bar.startswith("≥ 25k/s") and r.reference and r.reference[0] < 25000 and (r.ratio or 0) >= 0.8:
            r.why = "the bare C loop itself reaches %.0f/s" % r.reference[0]


def link_cases(logs, binary, quick):
    out = run_script(logs, "link_roundtrip.py", ["--binary", binary, "--closed-only",
                                                 "--seconds", "1" if quick else "2",
                                                 "--rounds", "1" if quick else "5"])
    road = {}
    for line in out.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) > 4 and cells[0] in ("gateway", "reference") and cells[1] == "32":
            road[cells[0]] = (float(cells[2]),) + tuple(float(x) for x in cells[3].split("-"))
    if len(road) < 2:
        return []
    ratio = road["gateway"][0] / road["reference"][0]
    return [Row("link round trip, 32 clients closed loop", road["gateway"], "req/s",
                road["reference"], "program asked directly", "≥ 0.8×", met=ratio >= 0.8)]


def webhook_cases(logs, binary, quick):
    out = run_script(logs, "programs_vs_webhook.py", ["--binary", binary,
                                                      "--seconds", "1" if quick else "2",
                                                      "--rounds", "1" if quick else "5"])
    figures = {}
    for line in out.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) > 4 and cells[0] in ("korvane", "webhook") and cells[1] in ("1", "16"):
            figures[(cells[0], cells[1])] = (float(cells[2]),) + tuple(
                float(x) for x in cells[3].split("-"))
    # What bare spawn loops, running the program and nothing else, reach
    # against webhook: no server can start the program per request faster.
    ceiling = {}
    after = out.split("spawn loop runs/s", 1)[1] if "spawn loop runs/s" in out else ""
    for line in after.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) == 3 and cells[0].isdigit():
            ceiling[cells[0]] = float(cells[2])
    rows = []
    for clients in ("1", "16"):
        if ("korvane", clients) in figures and ("webhook", clients) in figures:
            k, w = figures[("korvane", clients)], figures[("webhook", clients)]
            bar = "≥ 1.5×" + (" (bare spawn loop: %.2f×)" % ceiling[clients] if clients in ceiling else "")
            rows.append(Row("program run per request, %s client%s" % (clients, "s" * (clients != "1")),
                            k, "req/s", w, "webhook", bar, met=k[0] / w[0] >= 1.5))
    return rows


def ftp_cases(logs, binary, quick):
    out = run_script(logs, "ftp_vs_vsftpd.py", ["--binary", binary, "--rounds", "1" if quick else "5",
                                                "--transfer-rounds", "1" if quick else "9"])
    rows = []
    # A client near 100 % busy sets the pace for both servers.
    busy = table_row(out, "RETR client CPU busy")
    retr_note = " (client busy: %s / %s)" % (busy[1], busy[2]) if busy else ""
    # RETR twice: with ftplib, which checks every byte but sets the pace
    # itself, and with curl, which keeps up with either server.
    for label, shown, note in (("RETR 200 MiB", "FTP RETR 200 MiB, ftplib", retr_note),
                               ("RETR 200 MiB, curl", "FTP RETR 200 MiB, curl", ""),
                               ("STOR 200 MiB", "FTP STOR 200 MiB", "")):
        cells = table_row(out, label)
        if cells:
            k, v = spread(cells[1]), spread(cells[2])
            rows.append(Row(shown, k, "MiB/s", v, "vsftpd", "≥ 1.0×" + note,
                            met=k[0] / v[0] >= 1.0 and cells[4] == "True"))
    cells = table_row(out, "32 clients x 1 MiB")
    if cells:
        k, v = float(cells[1].split()[0]), float(cells[2].split()[0])
        rows.append(Row("FTP 32 clients × 1 MiB", (k, k, k), "files/s", (v, v, v), "vsftpd",
                        "≥ 1.4×", met=k / v >= 1.4))
    return rows


def admission_cases(logs, binary, quick):
    out = run_script(logs, "admission.py", ["--binary", binary, "--seconds", "2" if quick else "3",
                                            "--rounds", "1" if quick else "5",
                                            "--sessions", "100" if quick else "500"])
    rows = []
    references = {}
    for line in out.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) > 5 and cells[0].startswith("reference") and cells[1] == "32":
            references[cells[0]] = (float(cells[2]),) + tuple(float(x) for x in cells[3].split("-"))
    # A greeting is read against the bare loop whose client closes first, as
    # an FTP client does; a refusal against the loop that closes first.
    floors = {"greeting": ("reference (C loop, client closes first)", "C loop, client closes"),
              "refusal": ("reference (C loop, closes first)", "C accept loop")}
    for line in out.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        kind = cells[0].split()[0] if cells and cells[0] else ""
        if len(cells) > 5 and cells[1] == "32" and kind in floors:
            value = (float(cells[2]),) + tuple(float(x) for x in cells[3].split("-"))
            reference = references.get(floors[kind][0])
            ratio = value[0] / reference[0] if reference else None
            rows.append(Row("admissions/s at 32 clients, %s" % kind, value, "/s",
                            reference, floors[kind][1], "≥ 25k/s and ≥ 0.8×",
                            ratio=ratio, met=value[0] >= 25000 and (ratio or 0) >= 0.8))
    m = re.search(r"idle, freshly listening\s+(\d+) KiB", out)
    if m:
        rss = int(m.group(1)) / 1024
        rows.append(Row("idle RSS, headless, without Qt", (rss, rss, rss), "MiB", bar="< 4 MiB",
                        met=rss < 4))
    return rows


def qt_rss_case(qt_binary):
    if not qt_binary:
        return []
    samples = []
    for _ in range(3):
        gw = QuietGateway(qt_binary, "[Variables]\nMaxUsers=64\n", "21")
        try:
            time.sleep(0.3)
            samples.append(gw.rss_kib() / 1024)
        finally:
            gw.stop()
    samples.sort()
    return [Row("idle RSS, headless, built with Qt", (statistics.median(samples), samples[0],
                                                      samples[-1]), "MiB", bar="< 6 MiB",
                met=statistics.median(samples) < 6)]


STREAM_MODULE = "/usr/lib/nginx/modules/ngx_stream_module.so"


def balancer_conf(directory, port, upstream_ports):
    """nginx in front of the gateways: a TCP stream upstream, round robin,
    as the README's scaling-out section sets it up."""
    load = "load_module %s;\n" % STREAM_MODULE if os.path.exists(STREAM_MODULE) else ""
    servers = "".join("    server 127.0.0.1:%d;\n" % p for p in upstream_ports)
    return ("daemon off;\nmaster_process off;\nworker_processes 1;\n%s"
            "pid %s/nginx.pid;\nerror_log %s/error.log;\n"
            "events { worker_connections 1024; }\n"
            "stream {\n  upstream korvane {\n%s  }\n"
            "  server {\n    listen 127.0.0.1:%d;\n    proxy_pass korvane;\n  }\n}\n"
            % (load, directory, directory, servers, port))


def balancer_case(binary, quick):
    """2 gateways behind nginx against 1 gateway alone: the 1 KiB document
    at 32 connections, wrk with Connection: close, turns swapped each round."""
    http_vs_nginx.ensure("wrk", "wrk")
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    if not os.access(nginx, os.X_OK):
        print("balancer case skipped: no nginx")
        return []
    tmp = tempfile.mkdtemp(prefix="kvbench-lb.")
    shared = os.path.join(tmp, "drives")
    os.makedirs(os.path.join(shared, "e", "export"))
    with open(os.path.join(shared, "e", "export", "doc1k.txt"), "wb") as f:
        f.write(os.urandom(512).hex().encode())
    lua = os.path.join(tmp, "check.lua")
    with open(lua, "w") as f:
        f.write(http_vs_nginx.LUA)
    ini = ("[Variables]\nMaxUsers=256\nExpireSeconds=20\nNetExportDir=e:\\export\n"
           "LocalExportDir=e:\\export\n\n[Drives]\nE=%s/e\n\n[MimeTypes]\ntxt=a|text/plain\n"
           % shared)
    gateways = [QuietGateway(binary, ini) for _ in range(3)]
    conf = os.path.join(tmp, "nginx.conf")
    port = http_vs_nginx.free_port()
    with open(conf, "w") as f:
        f.write(balancer_conf(tmp, port, [g.port for g in gateways[1:]]))
    ng = subprocess.Popen([nginx, "-p", tmp, "-e", "stderr", "-c", conf],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    seconds, rounds = (2, 1) if quick else (5, 5)
    runs = {"one": [], "two": []}
    try:
        http_vs_nginx.wait_port(port)
        roads = [("one", gateways[0].port), ("two", port)]
        for n in range(rounds):
            for name, p in (roads if n % 2 == 0 else roads[::-1]):
                r = http_vs_nginx.run_wrk("http://127.0.0.1:%d/doc1k.txt" % p, 32, seconds, 1024, lua)
                if r["failed"]:
                    print("  %s: %d failed or wrong" % (name, r["failed"]))
                runs[name].append(r["rps"] if not r["failed"] else 0.0)
                time.sleep(1)
    finally:
        ng.terminate()
        ng.wait(10)
        for g in gateways:
            g.stop()
        shutil.rmtree(tmp, ignore_errors=True)
    two, one = sorted(runs["two"]), sorted(runs["one"])
    value = (statistics.median(two), two[0], two[-1])
    reference = (statistics.median(one), one[0], one[-1])
    return [Row("2 gateways behind nginx, 1 KiB, 32 connections", value, "req/s", reference,
                "1 gateway", "report", met=None)]


def machine():
    model = ""
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem = int(f.readline().split()[1]) / 2**20
    return "%s, %d cores, %.0f GiB, Linux %s, load average at the start %s" % (
        model, os.cpu_count() or 0, mem, platform.release(),
        " ".join(open("/proc/loadavg").read().split()[:3]))


def markdown(rows):
    lines = ["| case | korvane: median (low-high) | reference: median (low-high) | ratio | bar | met |",
             "|---|---|---|---|---|---|"]
    lines += ["| " + " | ".join(r.cells()) + " |" for r in rows]
    return "\n".join(lines)


def chart(rows, path):
    """The ratios as bars against the 1.0 line. Debian's matplotlib is for
    Debian's Python: another python3 first on PATH hands the drawing to it."""
    shown = [(r.case, r.ratio, r.bar, r.met, r.why) for r in rows if r.ratio is not None]
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        system = "/usr/bin/python3"
        if os.path.realpath(sys.executable) != os.path.realpath(system) and os.access(system, os.X_OK):
            return subprocess.run([system, os.path.abspath(__file__), "--chart", path,
                                   json.dumps(shown)]).returncode == 0
        print("no matplotlib (Debian: python3-matplotlib): no chart")
        return False
    draw(shown, path)
    return True


def draw(shown, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    shown = [Row(case, (0, 0, 0), "", bar=bar, ratio=ratio, met=met, why=why)
             for case, ratio, bar, met, why in shown]
    fig, ax = plt.subplots(figsize=(9, 0.45 * len(shown) + 1.4))
    names = [r.case for r in shown][::-1]
    ratios = [r.ratio for r in shown][::-1]
    # Orange: below the bar, with the reason on the table's row (a bare
    # loop of the same kind, or the fixed behaviours, stays below it too).
    colours = [{True: "#3a7d44", False: "#e08a1e" if r.why else "#c0392b", None: "#777777"}[r.met]
               for r in shown][::-1]
    ax.barh(names, ratios, color=colours)
    for y, r in enumerate(shown[::-1]):
        m = re.search(r"([\d.]+)×", r.bar)
        if m:
            ax.plot([float(m.group(1))] * 2, [y - 0.4, y + 0.4], color="black", linewidth=2)
        # What a bare loop of the same kind reached in the same run.
        loop = re.search(r"loop[^:(]*: ([\d.]+)×", r.bar)
        text_at = r.ratio + 0.02
        if loop:
            at = float(loop.group(1))
            ax.plot([at], [y], marker="D", color="#555555", markersize=6)
            if abs(at - r.ratio) < 0.1:  # the figure goes past the diamond
                text_at = max(r.ratio, at) + 0.04
        ax.text(text_at, y, "%.2f" % r.ratio, va="center", fontsize=8)
    ax.axvline(1.0, color="black", linestyle="--", linewidth=1)
    ax.set_xlabel("korvane / reference\n(black tick: the bar; grey diamond: a bare loop of the same kind)\n"
                  "green: met; orange: not met and out of reach (why: the table); red: not met")
    ax.set_title("korvane against its references, medians")
    ax.tick_params(axis="y", labelsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def write_doc(doc, rows, started, quick, chart_name, machine_text):
    generated = "\n".join([
        BEGIN,
        "",
        "Measured %s UTC with `bench/all.py%s` (%s).  " % (
            started.strftime("%Y-%m-%d %H:%M"), " --quick" if quick else "",
            "one or two short rounds per case" if quick else "5 rounds per noisy case"),
        "Machine: %s." % machine_text,
        "",
        markdown(rows),
        "",
        "![ratios against the 1.0 line](%s)" % chart_name if chart_name else "(no chart: matplotlib missing)",
        "",
        END,
    ])
    text = ""
    if os.path.exists(doc):
        text = open(doc).read()
    if BEGIN in text and END in text:
        text = text[:text.index(BEGIN)] + generated + text[text.index(END) + len(END):]
    else:
        text = "# Performance\n\n" + generated + "\n" + text
    with open(doc, "w") as f:
        f.write(text)


def main():
    if sys.argv[1:2] == ["--chart"]:  # the drawing alone, in Debian's Python
        draw(json.loads(sys.argv[3]), sys.argv[2])
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="short rounds, under 3 minutes")
    parser.add_argument("--binary")
    parser.add_argument("--qt-binary", help="a build with the Qt window, for its idle memory "
                                            "(default: build-qt/korvane when it exists)")
    parser.add_argument("--doc", default=os.path.join(TOP, "docs", "performance.md"))
    parser.add_argument("--logs", help="folder for each script's output (default: a temp folder)")
    parser.add_argument("--only", help="comma-separated: http,fixed,link,webhook,ftp,admission,balancer")
    parser.add_argument("--fixed-off", help="a build with bench/fixed_off.patch applied "
                                            "(default: build-fo/korvane when it exists)")
    args = parser.parse_args()
    binary = os.path.abspath(find_binary(args.binary))
    qt_binary = args.qt_binary or (os.path.join(TOP, "build-qt", "korvane")
                                   if os.access(os.path.join(TOP, "build-qt", "korvane"), os.X_OK)
                                   else None)
    fixed_binary = args.fixed_off or (os.path.join(TOP, "build-fo", "korvane")
                                      if os.access(os.path.join(TOP, "build-fo", "korvane"), os.X_OK)
                                      else None)
    logs = args.logs or tempfile.mkdtemp(prefix="kvbench-all.")
    os.makedirs(logs, exist_ok=True)
    started = datetime.datetime.utcnow()
    t0 = time.monotonic()
    machine_text = machine()
    print("binary: %s\nlogs: %s\nmachine: %s" % (binary, logs, machine_text), flush=True)
    parts = [("http", lambda: http_cases(logs, binary, args.quick)),
             ("fixed", lambda: fixed_cost_case(logs, fixed_binary, args.quick)),
             ("link", lambda: link_cases(logs, binary, args.quick)),
             ("webhook", lambda: webhook_cases(logs, binary, args.quick)),
             ("ftp", lambda: ftp_cases(logs, binary, args.quick)),
             ("admission", lambda: admission_cases(logs, binary, args.quick) + qt_rss_case(qt_binary)),
             ("balancer", lambda: balancer_case(binary, args.quick))]
    wanted = set(args.only.split(",")) if args.only else None
    rows = []
    for name, part in parts:
        if wanted is None or name in wanted:
            rows += part()
    note_floors(rows)
    print()
    print(markdown(rows))
    print("\n%.0f s in all; each script's output in %s" % (time.monotonic() - t0, logs))
    if wanted is None:
        os.makedirs(os.path.dirname(os.path.abspath(args.doc)), exist_ok=True)
        png = os.path.splitext(args.doc)[0] + ".png"
        made = chart(rows, png)
        write_doc(args.doc, rows, started, args.quick, os.path.basename(png) if made else None,
                  machine_text)
        print("wrote %s%s" % (args.doc, " and " + png if made else ""))


if __name__ == "__main__":
    main()
