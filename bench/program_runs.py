#!/usr/bin/env python3
"""Requests per second of a program topic against a static document of the
same size, measured in one run of one gateway.

    bench/program_runs.py [--binary PATH] [--seconds N] [--clients N]

The program topic runs a trivial shell script that copies its input to its
output, so the figure is the cost of a program run itself: the input file,
starting and waiting for a process, and sending the output. The binary is
KORVANE_BINARY, else build-release/korvane, else build/korvane. Use a
release build: a sanitizer build measures the sanitizers.
"""

import argparse
import os
import socket
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))

import gateway_process  # noqa: E402

# Shell built-ins and one exec: the program's own cost stays small.
COPY = r"""#!/bin/sh
dir=${1%/*}
base=${1##*/}
exec cat "$1" > "$dir/${base%%.*}.HTM"
"""

INI = r"""[Variables]
MaxUsers=250
ExpireSeconds=60

[copy]
topic=v
EXE=c:\copy.sh
OutFileType=HTM
DeleteFile=1
"""


def find_binary(given):
    for candidate in (given, os.environ.get("KORVANE_BINARY"),
                      os.path.join(TOP, "build-release", "korvane"),
                      os.path.join(TOP, "build", "korvane")):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    sys.exit("no korvane binary found; build one or pass --binary")


def fetch(port, target):
    """One request, read as a browser reads it: the head, then as many body
    bytes as Content-Length says (not until the gateway closes)."""
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        s.sendall(("GET %s HTTP/1.0\r\n\r\n" % target).encode())
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = s.recv(65536)
            if not chunk:
                return data
            data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        length = int(dict(line.split(b": ", 1) for line in head.split(b"\r\n")[1:])
                     .get(b"Content-Length", b"0"))
        while len(body) < length:
            chunk = s.recv(65536)
            if not chunk:
                break
            body += chunk
        return body


def measure(gw, target, expected, seconds, clients):
    """Requests per second over `seconds`, with `clients` clients asking
    one request after the other."""
    counts = [0] * clients
    failures = []
    stop_at = time.monotonic() + seconds

    def client(k):
        while time.monotonic() < stop_at:
            body = fetch(gw.port, target)
            if body != expected:
                failures.append(body[:200])
                return
            counts[k] += 1

    start = time.monotonic()
    threads = [threading.Thread(target=client, args=(k,)) for k in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    elapsed = time.monotonic() - start
    if failures:
        sys.exit("wrong answer for %s: %r" % (target, failures[0]))
    return sum(counts) / elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary")
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--clients", type=int, default=4)
    args = parser.parse_args()
    gateway_process.BINARY = find_binary(args.binary)

    value = "x" * 64
    page = value.encode()  # the program's output is its input: the field
    gw = gateway_process.Gateway(INI, {
        "drives/c/copy.sh": (COPY, True),
        "drives/c/export/same.htm": (page, False),
    })
    try:
        program_target = "/run?&TOPIC=copy&v=" + value
        static_target = "/same.htm"
        # Warm up both roads (page cache, first process start).
        for _ in range(3):
            gw.get(program_target)
            gw.get(static_target)
        program = measure(gw, program_target, page, args.seconds, args.clients)
        static = measure(gw, static_target, page, args.seconds, args.clients)
    finally:
        gw.stop()

    print("binary: %s" % gateway_process.BINARY)
    print("clients: %d, %.0f s per road, %d-byte answers" % (args.clients, args.seconds, len(page)))
    print("program topic:   %8.1f requests/s" % program)
    print("static document: %8.1f requests/s" % static)
    print("ratio program/static: %.2f (a program run costs %.1f ms more than a document)"
          % (program / static, 1000 * args.clients * (1 / program - 1 / static)))


if __name__ == "__main__":
    main()
