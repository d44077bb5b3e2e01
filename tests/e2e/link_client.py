"""A link client written from docs/link-protocol.md alone, and helpers to
run served programs for the end-to-end tests."""

import os
import socket
import subprocess
import time


def tool_path(name):
    build = os.environ.get("KORVANE_BUILD_DIR")
    if not build:
        raise RuntimeError("KORVANE_BUILD_DIR must name the build folder")
    path = os.path.join(build, "tools", name)
    if not os.access(path, os.X_OK):
        raise RuntimeError(path + " is not built")
    return path


class LinkClient:
    """One conversation: CONNECT on construction, then one message at a time.
    CHANGED lines that arrive while waiting for an answer are kept."""

    def __init__(self, socket_path, topic, timeout=10):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        self.sock.connect(socket_path)
        self.stream = self.sock.makefile("rb")
        self.changes = []
        self.connect_answer = self.ask(b"CONNECT " + topic.encode() + b"\n")

    def close(self):
        self.stream.close()
        self.sock.close()

    def _line(self):
        line = self.stream.readline()
        if not line.endswith(b"\n"):
            raise ConnectionError("connection closed")
        return line[:-1].decode("latin-1")

    def ask(self, message):
        self.sock.sendall(message)
        while True:
            line = self._line()
            word, _, arg = line.partition(" ")
            if word == "CHANGED":
                self.changes.append(arg)
                continue
            if word == "DATA":
                return "DATA", self.stream.read(int(arg))
            return word, arg

    def execute(self, command):
        return self.ask(b"EXECUTE %d\n" % len(command) + command)

    def request(self, item):
        return self.ask(b"REQUEST " + item.encode() + b"\n")

    def wait_change(self):
        """Next CHANGED item name, whether already received or still to come."""
        if self.changes:
            return self.changes.pop(0)
        word, _, arg = self._line().partition(" ")
        if word != "CHANGED":
            raise AssertionError("unexpected " + word)
        return arg


class ServedProcess:
    """A served program started for a test; its socket is awaited."""

    def __init__(self, args, socket_path, env=None):
        self.socket_path = socket_path
        self.proc = subprocess.Popen(args, env=env)
        deadline = time.monotonic() + 20
        while not os.path.exists(socket_path):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("served program did not come up: %r" % (args,))
            time.sleep(0.02)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        self.proc.wait(timeout=20)
