#!/usr/bin/env python3
"""A program run per request: the gateway's program topic against webhook
running the same program per request, same machine, same run.

    bench/programs_vs_webhook.py [--binary PATH] [--seconds N] [--rounds N] [--procs N]

The program is a tiny shell script (shell built-ins only, no other process):
it reads the first line of its input file, writes the small page
"<html><body>LINE</body></html>" beside the input as <input name up to its
first "."> + ".HTM", and prints the same page on its standard output.

- gateway: a program topic, [reply] topic=v, EXE=c:\\reply.sh,
  OutFileType=HTM, DeleteFile=1, asked with "GET /run?&TOPIC=reply&v=VALUE":
  the gateway writes VALUE to an input file, runs the script on it, and
  sends the page file back (the script's stdout is the gateway's, here
  /dev/null);
- webhook: one hook running the very same script file; pass-file-to-command
  writes the url field v to a temporary input file named in KV_INPUT, and
  include-command-output-in-response sends the script's output back, asked
  with "GET /hooks/reply?v=VALUE". webhook keeps the page files the script
  writes (the gateway deletes its own); they are removed with the temp dir.

Each case runs --rounds times for --seconds, the two servers taking turns,
so a slow spell of the shared machine falls on both; a figure in the table
is the median over the rounds, with the lowest and highest requests/s
beside it.

Every client asks one request after the other on a new HTTP/1.0 connection
with a value of its own that changes with every request; an answer counts
only when it is a 200 whose body is the page for that value, otherwise it is
failed. Latency is per request from before connect to the last body byte.
Clients are Python threads in --procs forked processes (a program run costs
milliseconds, so the Python client is not the limit). Gateway settings:
MaxUsers=64, ExpireSeconds=60, stdout to /dev/null; webhook runs without
-verbose, output to /dev/null. Installs webhook with apt-get when missing.
The binary is --binary, else KORVANE_BINARY, else build-bench/korvane, else
build-release/korvane. Use a release build.
"""

import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import time

from admission import QuietGateway, c_program
from client_load import (WrongAnswer, add_load_options, find_binary, free_port, http_get,
                         load_average, print_cases, print_reasons, run_cases)

CLIENT_COUNTS = (1, 16)

# Built-ins only: the program costs one exec of /bin/sh on both roads.
SCRIPT = r"""#!/bin/sh
in=${1:-$KV_INPUT}
dir=${in%/*}
base=${in##*/}
IFS= read -r line < "$in"
printf '<html><body>%s</body></html>\n' "$line" > "$dir/${base%%.*}.HTM"
printf '<html><body>%s</body></html>\n' "$line"
"""

INI = r"""[Variables]
MaxUsers=64
ExpireSeconds=60

[reply]
topic=v
EXE=c:\reply.sh
OutFileType=HTM
DeleteFile=1
"""


def ensure_webhook():
    if shutil.which("webhook") is None:
        subprocess.run(["apt-get", "install", "-y", "webhook"], check=False,
                       stdout=subprocess.DEVNULL)
        if shutil.which("webhook") is None:
            subprocess.run(["apt-get", "update"], check=False, stdout=subprocess.DEVNULL)
            subprocess.run(["apt-get", "install", "-y", "webhook"], check=True,
                           stdout=subprocess.DEVNULL)
    return shutil.which("webhook")


def page(value):
    return b"<html><body>%s</body></html>\n" % value.encode()


class Client:
    """Requests with a value of the client's own, new every request."""

    def __init__(self, port, target, status, k):
        self.port, self.target, self.status = port, target, status
        self.k, self.n = k, 0

    def ask(self):
        self.n += 1
        value = "c%dr%d" % (self.k, self.n)
        status, body = http_get(self.port, self.target % value)
        if status != self.status:
            raise WrongAnswer("status not 200", status[:80].decode("latin-1"))
        if body != page(value):
            raise WrongAnswer("not the page of its value", repr(body[:120]))

    def close(self):
        pass


def wait_port(port, process, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process.poll() is not None:
            sys.exit("webhook ended at start")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    sys.exit("webhook does not listen on port %d" % port)


def spawn_ceiling(script, folder, clients, seconds):
    """Runs of the script per second by clients bare spawn loops side by side
    (bench/spawn_loop.c), each on an input file of its own; None without cc."""
    loop = c_program("spawn_loop")
    if not loop:
        return None
    procs = []
    for k in range(clients):
        path = os.path.join(folder, "spawn%d.txt" % k)
        with open(path, "w") as f:
            f.write("value %d\n" % k)
        procs.append(subprocess.Popen([loop, str(seconds), script, path], stdout=subprocess.PIPE,
                                      text=True))
    return sum(int(p.communicate()[0].split()[0]) for p in procs) / seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_load_options(parser, procs=4)
    args = parser.parse_args()
    load_before = load_average()
    binary = find_binary(args.binary)
    webhook = ensure_webhook()
    print("binary: %s\nwebhook: %s" % (binary, webhook))

    gw = QuietGateway(binary, INI)
    wh = None
    try:
        home = gw.tmp.name
        script = os.path.join(home, "drives", "c", "reply.sh")
        with open(script, "w") as f:
            f.write(SCRIPT)
        os.chmod(script, 0o755)
        # webhook runs the same script file, in a folder of its own.
        wh_dir = os.path.join(home, "webhook")
        os.makedirs(os.path.join(wh_dir, "work"))
        hooks = os.path.join(wh_dir, "hooks.json")
        with open(hooks, "w") as f:
            json.dump([{
                "id": "reply",
                "execute-command": script,
                "command-working-directory": os.path.join(wh_dir, "work"),
                "include-command-output-in-response": True,
                "pass-file-to-command": [{"source": "url", "name": "v", "envname": "KV_INPUT"}],
            }], f, indent=2)
        wh_port = free_port()
        wh_cmd = [webhook, "-hooks", hooks, "-ip", "127.0.0.1", "-port", str(wh_port)]
        print("webhook: $", " ".join(wh_cmd), "> /dev/null")
        wh = subprocess.Popen(wh_cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_port(wh_port, wh)
        ceiling = {clients: spawn_ceiling(script, os.path.join(home, "drives", "c", "temp"), clients,
                                          args.seconds) for clients in CLIENT_COUNTS}
        rows = run_cases([
            ("korvane", lambda k: Client(gw.port, "/run?&TOPIC=reply&v=%s", b"HTTP/1.1 200 OK", k),
             {"server": gw.process.pid}),
            ("webhook", lambda k: Client(wh_port, "/hooks/reply?v=%s", b"HTTP/1.0 200 OK", k),
             {"server": wh.pid}),
        ], CLIENT_COUNTS, args.rounds, args.procs, args.seconds)
    finally:
        if wh is not None and wh.poll() is None:
            wh.terminate()
            try:
                wh.wait(timeout=10)
            except subprocess.TimeoutExpired:
                wh.kill()
                wh.wait()
        gw.stop()

    print_cases(rows, ("server", "clients"), load_before, args,
                "program: sh script, built-ins only; server CPU is without the program's")
    print()
    print("| clients | requests/s korvane/webhook | p50 korvane/webhook | p99 korvane/webhook | "
          "at least as fast |")
    print("|---|---|---|---|---|")
    by = {(name, clients): r for name, clients, r in rows}
    verdicts = []
    for clients in CLIENT_COUNTS:
        k, w = by[("korvane", clients)], by[("webhook", clients)]
        ratio = k["rps"] / w["rps"] if w["rps"] else 0.0
        verdicts.append(ratio >= 1.0)
        print("| %d | %.2f | %.2f | %.2f | %s |" % (clients, ratio, k["p50"] / w["p50"],
                                                    k["p99"] / w["p99"],
                                                    "yes" if ratio >= 1.0 else "no"))
    print_reasons(rows)
    print()
    print("The ceiling: bare spawn loops (bench/spawn_loop.c) running the script and nothing else.")
    print("| clients | spawn loop runs/s | spawn loop/webhook |")
    print("|---|---|---|")
    for clients in CLIENT_COUNTS:
        w = by[("webhook", clients)]
        if ceiling.get(clients):
            print("| %d | %.0f | %.2f |" % (clients, ceiling[clients],
                                           ceiling[clients] / w["rps"] if w["rps"] else 0.0))
    print()
    print("target: at least as fast as webhook (requests/s) at %s clients: %s" % (
        " and ".join(str(c) for c in CLIENT_COUNTS), "met" if all(verdicts) else "NOT met"))
    print("failed responses: korvane %d, webhook %d" % (
        sum(r["failed"] for n, _, r in rows if n == "korvane"),
        sum(r["failed"] for n, _, r in rows if n == "webhook")))


if __name__ == "__main__":
    main()
