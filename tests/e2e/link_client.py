"""A link client and a served program written from docs/link-protocol.md
alone, and helpers to run served programs for the end-to-end tests.

Run as a script (LINK_DIR APP TOPIC MODE ANSWERS), this file is the served
program as a process of its own; LINK_DIR "-" is $KORVANE_LINK_DIR."""

import os
import socket
import subprocess
import sys
import threading
import time


OK = b"OK\n"
NOT_SERVED = b"ERR 282 No foreign application responded to a DDE conversation\n"
REFUSED = b"ERR 285 Foreign application won't perform DDE method or operation\n"
JUNK = (b"\x00\xff\xfe not a message\r\nDATA -7\nDATA x\nOK\nERR\nCHANGED\n"
        + b"\x1a" * 70000 + b"\n" + b"DATA 99999999999999999999\n" + b"\x01" * 300)


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

    def __init__(self, args, socket_path, env=None, stderr=None):
        self.socket_path = socket_path
        self.proc = subprocess.Popen(args, env=env, stderr=stderr)
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


class ServedProgram:
    """A served program: it serves topic under the name app in link_dir and
    does with a web request ("<n>,<text>") what its mode says:
      answer  acknowledges it and at once sets the session's notify item to a
              page "<p>APP answered Q</p>" written in answers (Q: field q);
      hold    acknowledges it and leaves it unanswered;
      refuse  refuses it with 285;
      silent  never acknowledges it;
      junk    acknowledges it, then writes junk on every conversation;
      holdfirst  holds the first request (marked by the file .held in
              answers) and answers every later one, even after a restart.
    Every other message is served normally in every mode."""

    def __init__(self, link_dir, app, topic, mode="answer", answers=None):
        os.makedirs(link_dir, mode=0o700, exist_ok=True)
        self.socket_path = os.path.join(link_dir, app)
        if os.path.exists(self.socket_path):
            os.unlink(self.socket_path)  # left by a program that died
        self.app, self.topic, self.mode, self.answers = app, topic.lower(), mode, answers
        self.items, self.watchers = {}, []
        self.lock = threading.Lock()
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.server.bind(self.socket_path)
        self.server.listen(64)
        self.connections = []
        threading.Thread(target=self._accept, daemon=True).start()

    def stop(self):
        self.server.close()
        for conn in self.connections:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            conn.close()

    def _accept(self):
        while True:
            try:
                conn, _ = self.server.accept()
            except OSError:
                return
            self.connections.append(conn)
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        stream = conn.makefile("rb")
        names = {}  # lower-case item: item as the client spelled it
        with self.lock:
            self.watchers.append((conn, names))
        try:
            while True:
                line = stream.readline()
                if not line.endswith(b"\n"):
                    return
                word, _, arg = line[:-1].rstrip(b"\r").decode("latin-1").partition(" ")
                if word == "CONNECT":
                    conn.sendall(OK if arg.lower() == self.topic else NOT_SERVED)
                elif word == "EXECUTE":
                    self._execute(conn, stream.read(int(arg)))
                elif word == "ADVISE":
                    names[arg.lower()] = arg
                    conn.sendall(OK)
                elif word == "REQUEST":
                    with self.lock:
                        value = self.items.get(arg.lower(), b"")
                    conn.sendall(b"DATA %d\n" % len(value) + value)
                elif word == "BYE":
                    return
                else:
                    conn.sendall(REFUSED)
        except OSError:
            return
        finally:
            with self.lock:
                self.watchers.remove((conn, names))

    def _execute(self, conn, command):
        n, comma, text = command.decode("latin-1").partition(",")
        if not (comma and n.isdigit()):  # not a web request
            conn.sendall(OK)
            return
        if self.mode == "holdfirst":
            marker = os.path.join(self.answers, ".held")
            if not os.path.exists(marker):
                conn.sendall(OK)
                open(marker, "w").close()
                return
            self.mode = "answer"
        if self.mode != "silent":
            conn.sendall(REFUSED if self.mode == "refuse" else OK)
        if self.mode == "junk":
            with self.lock:
                for c, _ in self.watchers:
                    try:
                        c.sendall(JUNK)
                    except OSError:
                        pass
        elif self.mode == "answer":
            fields = dict(p.split("=", 1) for p in text.strip().split("&") if "=" in p)
            page = os.path.join(self.answers, "%s-%s.htm" % (self.app, n))
            with open(page, "w") as out:
                out.write("<p>%s answered %s</p>" % (self.app, fields.get("q", "")))
            self.set_item("lnkWWW(%s)" % n, ("%s,%.15G" % (page, float(fields["ID"]))).encode())

    def set_item(self, item, value):
        """Sets an item and announces the change to every conversation
        that advises it."""
        with self.lock:
            self.items[item.lower()] = value
            for conn, names in self.watchers:
                if item.lower() in names:
                    try:
                        conn.sendall(b"CHANGED " + names[item.lower()].encode() + b"\n")
                    except OSError:
                        pass  # a conversation the gateway has closed


if __name__ == "__main__":
    # A link folder "-" is the one the gateway that started it names.
    ServedProgram(os.environ["KORVANE_LINK_DIR"] if sys.argv[1] == "-" else sys.argv[1], *sys.argv[2:6])
    threading.Event().wait()
