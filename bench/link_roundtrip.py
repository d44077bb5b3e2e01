#!/usr/bin/env python3
"""Round trip of link requests through the gateway against the same served
program asked directly over its link socket, same program, same run.

    bench/link_roundtrip.py [--binary PATH] [--calc PATH] [--seconds N] [--rounds N] [--procs N]
                            [--paced-rate N] [--closed-only]

The served program is the sample korvane-calc (application "calc", topic
"sheet"), configured as the demo configures it: EXE=korvane-calc in the
program folder, AutoStart=1, so the gateway starts it on the first request.
Both roads then ask that one running program:

- gateway: a TCP client sends "GET /calc/sheet?a=A&b=B HTTP/1.0" on a new
  connection (the gateway closes after each answer) and reads the head and
  Content-Length bytes of body;
- reference: a link client written here from docs/link-protocol.md keeps
  one conversation per client (CONNECT sheet and ADVISE lnkWWW(n) once),
  and per request sends EXECUTE "n,&MYIP=..&ID=..&__=calc/sheet&a=A&b=B
  &HTTP/1.0", waits for OK and for CHANGED lnkWWW(n), REQUESTs the item and
  reads the answer file it names. Its sessions n start at 1001, above the
  gateway's slots, so none of the gateway's conversations advises the items
  it sets.

Every answer is checked: the HTTP status and the whole body against the calc
page for that request's own a and b (b changes with every request, a is the
client's), and on the reference road the request id coming back in
general-number form. A request that errs, times out or gets anything else
counts as failed/wrong and is left out of the latencies. Latency is taken
per request from before connect (gateway) or before EXECUTE (reference) to
the last body byte.

Four cases: 1 client and 32 clients asking closed (each client asks again
as soon as it has its answer), and 32 clients paced: together they ask at a
fixed rate (--paced-rate, by default a quarter and a half of what the
gateway road answered closed at 32 clients in this run), each client on
its own evenly spread schedule, and a request's latency runs from the
moment it was due. The
closed cases show how much each road carries; at 32 clients their latencies
are almost all queueing, because the clients, the gateway and calc share
the machine's cores, so the difference there is the difference in what the
roads carry (32 clients over the requests/s of each), not time the gateway
spends on a request. A paced case gives both roads the same work, below
what either carries, so the difference in its latencies is what the gateway
adds to a request at that load; the two rates show how that grows with the
load.

Each case runs --rounds times for --seconds, the two roads taking turns
(reference, gateway, reference, ...), so a slow spell of the shared machine
falls on both; a figure in the table is the median over the rounds, with the
lowest and highest requests/s beside it.

Clients are Python threads with blocking sockets (the kernel's 30-second
time-out, so no poll before each read) in --procs forked processes, the
same client code style on both roads, so the Python cost sits on both sides
of the difference; the paced cases run one process per client, so that no
client waits for another's turn at the interpreter lock. A case starts once
every client is set up (connected, for the reference road), and its first
half second is not counted. "CPU us/req" is
the CPU time the gateway, calc and the clients used in the case per
answered request, which shows where the time goes and whether the client is
the limit: at 32 clients closed the reference road is partly held back by
the Python clients themselves (more --procs, more requests/s). The
gateway's stdout (every log line) goes to /dev/null; its log file is
written as usual.

The binary is --binary, else KORVANE_BINARY, else build-bench/korvane, else
build-release/korvane; korvane-calc is --calc, else tools/korvane-calc
beside the binary, else korvane-calc beside it. Use a release build.
"""

import argparse
import os
import socket
import sys
import time

from admission import QuietGateway
from client_load import (WrongAnswer, add_load_options, client_socket, clients_cell, find_binary,
                         http_get, load_average, load_text, print_cases, print_reasons, run_cases,
                         stop_pid)

# The gateway may add at most this much to the direct round trip, at 32 clients.
TARGET_ADDED_P50_MS = 1.0
TARGET_ADDED_P99_MS = 5.0
CLIENT_COUNTS = (1, 32)
# The paced cases ask at these shares of what the gateway road carried closed.
PACED_SHARES = (0.25, 0.5)
REFERENCE_FIRST_SESSION = 1001
MAX_USERS = 64

INI = """[Variables]
MaxUsers=%(users)d
ExpireSeconds=20

[Topics]
calc=sheet

[calc]
EXE=korvane-calc --answers drives/c/temp/answers
AutoStart=1
"""


def find_calc(given, binary):
    here = os.path.dirname(binary)
    for candidate in (given, os.path.join(here, "tools", "korvane-calc"),
                      os.path.join(here, "korvane-calc")):
        if candidate and os.access(candidate, os.X_OK):
            return os.path.abspath(candidate)
    sys.exit("no korvane-calc beside %s: pass --calc" % binary)


def calc_page(a, b):
    """The page korvane-calc writes for integer fields a and b."""
    rows = "".join("<tr><th>%s</th><td>%d</td></tr>\r\n" % kv
                   for kv in (("a", a), ("b", b), ("a+b", a + b), ("a*b", a * b)))
    return ("<html><head><title>calc</title></head><body>\r\n<h1>calc</h1>\r\n<table>\r\n"
            + rows + "</table>\r\n</body></html>\r\n").encode()


def request_id():
    """Seconds since local midnight with two decimals, as the gateway sends it."""
    now = time.time()
    t = time.localtime(now)
    return "%.2f" % (t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec + now % 1)


def child_running(parent, program):
    """The pid of a child of parent that runs program, or None."""
    for tid in os.listdir("/proc/%d/task" % parent):
        with open("/proc/%d/task/%s/children" % (parent, tid)) as f:
            for child in f.read().split():
                try:
                    if os.path.realpath("/proc/%s/exe" % child) == os.path.realpath(program):
                        return int(child)
                except OSError:
                    continue
    return None


class GatewayClient:
    """Browser requests for the calc page, a new connection each."""

    def __init__(self, port, k):
        self.port = port
        self.a, self.b = k + 1, 0

    def ask(self):
        self.b += 1
        status, body = http_get(self.port, "/calc/sheet?a=%d&b=%d" % (self.a, self.b))
        if status != b"HTTP/1.1 200 OK":
            raise WrongAnswer("status not 200", status[:80].decode("latin-1"))
        if body != calc_page(self.a, self.b):
            raise WrongAnswer("not the calc page of its a and b", repr(body[:120]))

    def close(self):
        pass


class LinkConversation:
    """One conversation with the served program on topic sheet, advising
    the notify item of session n."""

    def __init__(self, socket_path, n):
        self.item = "lnkWWW(%d)" % n
        self.sock = client_socket(socket.AF_UNIX)
        self.sock.connect(socket_path)
        self.stream = self.sock.makefile("rb")
        self.changed = 0
        for message in (b"CONNECT sheet\n", b"ADVISE %s\n" % self.item.encode()):
            self.sock.sendall(message)
            answer = self.answer()
            if answer != ("OK", ""):
                self.close()
                raise WrongAnswer("conversation refused", "%r answered %r" % (message, answer))

    def close(self):
        try:
            self.sock.sendall(b"BYE\n")
        except OSError:
            pass
        self.stream.close()
        self.sock.close()

    def line(self):
        line = self.stream.readline()
        if not line.endswith(b"\n"):
            raise ConnectionError("link closed")
        return line[:-1].rstrip(b"\r").decode("latin-1")

    def answer(self):
        """The answer to the last message; CHANGED lines before it are counted."""
        while True:
            word, _, arg = self.line().partition(" ")
            if word == "CHANGED":
                if arg != self.item:
                    raise WrongAnswer("CHANGED of another item", arg)
                self.changed += 1
                continue
            if word == "DATA":
                return word, self.stream.read(int(arg))
            return word, arg

    def execute(self, command):
        """Sends one execute command and waits for its OK and for the
        notify item to change; returns the item's value."""
        self.changed = 0
        self.sock.sendall(b"EXECUTE %d\n" % len(command) + command)
        answer = self.answer()
        if answer != ("OK", ""):
            raise WrongAnswer("EXECUTE refused", repr(answer))
        if not self.changed:
            word, _, arg = self.line().partition(" ")
            if (word, arg) != ("CHANGED", self.item):
                raise WrongAnswer("no CHANGED after EXECUTE", "%s %s" % (word, arg))
        self.sock.sendall(b"REQUEST %s\n" % self.item.encode())
        word, value = self.answer()
        if word != "DATA":
            raise WrongAnswer("REQUEST refused", "%s %s" % (word, value))
        return value.decode("latin-1")


class ReferenceClient:
    """The calc page asked for over the link, without the gateway; the
    conversation is opened again after a broken one."""

    def __init__(self, socket_path, home, k):
        self.socket_path, self.home = socket_path, home
        self.n = REFERENCE_FIRST_SESSION + k
        self.a, self.b = k + 1, 0
        self.conversation = LinkConversation(socket_path, self.n)

    def ask(self):
        self.b += 1
        ident = request_id()
        command = b"%d,&MYIP=127.0.0.1&ID=%s&__=calc/sheet&a=%d&b=%d&HTTP/1.0\r\n" % (
            self.n, ident.encode(), self.a, self.b)
        try:
            if self.conversation is None:
                self.conversation = LinkConversation(self.socket_path, self.n)
            value = self.conversation.execute(command)
        except OSError:
            if self.conversation is not None:
                self.conversation.close()
                self.conversation = None
            raise
        fields = value.split(",")
        if len(fields) < 2 or fields[1] != "%.15G" % float(ident):
            raise WrongAnswer("answer of another request id", "item %r for id %s" % (value, ident))
        with open(os.path.join(self.home, fields[0]), "rb") as f:
            body = f.read()
        if body != calc_page(self.a, self.b):
            raise WrongAnswer("not the calc page of its a and b", repr(body[:120]))

    def close(self):
        if self.conversation is not None:
            self.conversation.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_load_options(parser, procs=8)
    parser.add_argument("--calc", help="korvane-calc (default: beside the binary)")
    parser.add_argument("--paced-rate", type=float, action="append",
                        help="requests/s of a paced case; may be given more than once (default: "
                             "a quarter and a half of what the gateway road answered closed at "
                             "%d clients)" % max(CLIENT_COUNTS))
    parser.add_argument("--closed-only", action="store_true",
                        help="only the closed cases, no paced ones")
    args = parser.parse_args()
    load_before = load_average()
    binary = find_binary(args.binary)
    calc = find_calc(args.calc, binary)
    print("binary: %s\ncalc: %s" % (binary, calc))

    gw = QuietGateway(binary, INI % {"users": MAX_USERS})
    home = gw.tmp.name
    calc_pid = None
    try:
        # The program folder holds korvane-calc, as in the demo.
        os.symlink(calc, os.path.join(home, "korvane-calc"))
        # The first request starts the program (the gateway then gives it a
        # few seconds to come up).
        started = time.monotonic()
        GatewayClient(gw.port, 0).ask()
        print("first request, which starts korvane-calc: %.0f ms"
              % (1000 * (time.monotonic() - started)))
        calc_pid = child_running(gw.process.pid, calc)
        if not calc_pid:
            sys.exit("no korvane-calc process under the gateway")
        watched = {"gateway": gw.process.pid, "calc": calc_pid}
        socket_path = os.path.join(home, "links", "calc")
        roads = [
            ("reference", lambda k: ReferenceClient(socket_path, home, k), watched),
            ("gateway", lambda k: GatewayClient(gw.port, k), watched),
        ]
        rows = run_cases(roads, CLIENT_COUNTS, args.rounds, args.procs, args.seconds)
        most = max(CLIENT_COUNTS)
        carried = next(r["rps"] for road, n, r in rows if (road, n) == ("gateway", most))
        rates = [] if args.closed_only else args.paced_rate or [round(share * carried, -1) for share in PACED_SHARES]
        # One client process per client: threads of one process would wait
        # for each other's turn at Python's interpreter lock (up to 5 ms),
        # which is no part of either road's latency.
        for rate in rates:
            rows += run_cases(roads, (most,), args.rounds, most, args.seconds, rate)
    finally:
        # The program the gateway started outlives it; it is ended by its pid.
        if calc_pid:
            stop_pid(calc_pid)
        gw.stop()

    print_cases(rows, ("gateway", "calc", "clients"), load_before, args,
                "served program korvane-calc")
    print()
    print("| clients | added p50 ms | added p99 ms | requests/s gateway/reference |")
    print("|---|---|---|---|")
    by = {(road, clients, r["rate"]): r for road, clients, r in rows}
    added = {}
    for road, clients, r in rows:
        if road != "gateway":
            continue
        ref = by[("reference", clients, r["rate"])]
        added[(clients, r["rate"])] = (r["p50"] - ref["p50"], r["p99"] - ref["p99"])
        print("| %s | %.3f | %.3f | %.2f |" % (
            clients_cell(clients, r["rate"]), r["p50"] - ref["p50"], r["p99"] - ref["p99"],
            r["rps"] / ref["rps"] if ref["rps"] else 0.0))
    print_reasons(rows)
    print()
    for (clients, rate), (added50, added99) in added.items():
        if clients != most:
            continue
        print("target at %s: gateway adds < %g ms at p50: %s (%.3f ms); < %g ms at p99: %s "
              "(%.3f ms)" % (load_text(clients, rate), TARGET_ADDED_P50_MS,
                             "met" if added50 < TARGET_ADDED_P50_MS else "NOT met", added50,
                             TARGET_ADDED_P99_MS,
                             "met" if added99 < TARGET_ADDED_P99_MS else "NOT met", added99))
    print("failed or wrong answers: %d" % sum(r["failed"] for _, _, r in rows))


if __name__ == "__main__":
    main()
