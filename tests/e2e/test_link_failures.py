"""Served programs that fail, misbehave or are put under load, end to end:
the gateway binary on a temporary home, served programs as real processes
on Unix sockets (a small Python program written here from
docs/link-protocol.md, the sample program korvane-calc and the adapter
korvane-link-adapter) and real HTTP clients over loopback TCP."""

import os
import re
import socket
import sys
import tempfile
import threading
import unittest

from gateway_process import Gateway, read_all
from link_client import ServedProcess, tool_path

UNAVAILABLE = b"Program is unavailable or busy. Please try again later.\r\n"
EXPIRED = rb"\AProgram is unavailable at this time\. Please try again in 4 seconds\.\r\n\Z"
HEAD = (b"HTTP/1.1 200 OK\r\nDate: DATE GMT\r\nServer: Tarnwick 3.0g\r\n"
        b"Connection: Close\r\nContent-Length: %d\r\nContent-Type: Text/HTML\r\n\r\n")
DATE = re.compile(rb"(?<=\r\nDate: )[A-Z][a-z]{2}, \d{1,2} [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d(?= GMT\r\n)")

# A served program in a few lines, following docs/link-protocol.md. Its
# mode decides what it does with a web request ("<n>,<text>"):
#   good   acknowledges it and answers through the notify item at once;
#   silent never acknowledges it (and never answers);
#   crash  acknowledges it and then dies by SIGKILL;
#   junk   acknowledges it and then writes junk on every conversation.
# Every other message is served normally in every mode.
SERVED_PROGRAM = r'''
import os, signal, socket, sys, threading

link_dir, app, topic, mode, answers = sys.argv[1:6]
path = os.path.join(link_dir, app)
items, watchers, lock = {}, [], threading.Lock()
OK = b"OK\n"
NOT_SERVED = b"ERR 282 No foreign application responded to a DDE conversation\n"
REFUSED = b"ERR 285 Foreign application won't perform DDE method or operation\n"
JUNK = (b"\x00\xff\xfe not a message\r\nDATA -7\nDATA x\nOK\nERR\nCHANGED\n"
        + b"\x1a" * 70000 + b"\n" + b"DATA 99999999999999999999\n" + b"\x01" * 300)


def set_item(item, value):
    with lock:
        items[item.lower()] = value
        for conn, names in watchers:
            if item.lower() in names:
                try:
                    conn.sendall(b"CHANGED " + names[item.lower()].encode() + b"\n")
                except OSError:
                    pass


def answer(n, text):
    fields = dict(p.split("=", 1) for p in text.strip().split("&") if "=" in p)
    ident = "%.15G" % float(fields["ID"])
    page = os.path.join(answers, "%s-%s.htm" % (app, n))
    with open(page, "w") as out:
        out.write("<p>%s answered %s</p>" % (app, fields.get("q", "")))
    set_item("lnkWWW(%s)" % n, ("%s,%s" % (page, ident)).encode())


def serve(conn):
    f = conn.makefile("rb")
    names = {}
    with lock:
        watchers.append((conn, names))
    while True:
        line = f.readline()
        if not line.endswith(b"\n"):
            break
        word, _, arg = line[:-1].rstrip(b"\r").decode("latin-1").partition(" ")
        if word == "CONNECT":
            conn.sendall(OK if arg.lower() == topic else NOT_SERVED)
        elif word == "EXECUTE":
            command = f.read(int(arg)).decode("latin-1")
            n, comma, text = command.partition(",")
            if not (comma and n.isdigit()):
                conn.sendall(OK)
            elif mode == "silent":
                pass
            elif mode == "crash":
                conn.sendall(OK)
                os.kill(os.getpid(), signal.SIGKILL)
            elif mode == "junk":
                conn.sendall(OK)
                with lock:
                    for c, _ in watchers:
                        try:
                            c.sendall(JUNK)
                        except OSError:
                            pass
            else:
                conn.sendall(OK)
                answer(n, text)
        elif word == "ADVISE":
            names[arg.lower()] = arg
            conn.sendall(OK)
        elif word == "UNADVISE":
            names.pop(arg.lower(), None)
            conn.sendall(OK)
        elif word == "REQUEST":
            with lock:
                value = items.get(arg.lower(), b"")
            conn.sendall(b"DATA %d\n" % len(value) + value)
        elif word == "BYE":
            break
        else:
            conn.sendall(REFUSED)
    conn.close()


os.makedirs(link_dir, mode=0o700, exist_ok=True)
if os.path.exists(path):
    os.unlink(path)
server = socket.socket(socket.AF_UNIX)
server.bind(path)
server.listen(64)
while True:
    threading.Thread(target=serve, args=(server.accept()[0],), daemon=True).start()
'''


def split_answer(raw):
    head, sep, body = raw.partition(b"\r\n\r\n")
    return DATE.sub(b"DATE", head + sep), body


class FailingProgramTest(unittest.TestCase):
    """The gateway relays link hold|page to the small program above."""

    INI = ("[Variables]\nMaxUsers=4\nExpireSeconds=2\n\n[Topics]\nhold=page\nother=t\n\n"
           "[hold]\nEXE=unused\nAutoStart=0\n")

    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory(prefix="kvfail.")
        self.script = os.path.join(self.scratch.name, "served.py")
        with open(self.script, "w") as f:
            f.write(SERVED_PROGRAM)
        self.gw = Gateway(self.INI)
        self.links = os.path.join(self.gw.home, "links")
        self.answers = self.gw.path("drives/c/temp")
        self.served = []

    def tearDown(self):
        for program in self.served:
            program.stop()
        stderr = self.gw.stop()
        self.scratch.cleanup()
        self.assertNotIn("ERROR: AddressSanitizer", stderr)

    def start(self, mode):
        # A program that died leaves its socket file; the new one replaces
        # it, and is awaited by its socket.
        if os.path.exists(os.path.join(self.links, "hold")):
            os.unlink(os.path.join(self.links, "hold"))
        program = ServedProcess(
            [sys.executable, self.script, self.links, "hold", "page", mode, self.answers],
            os.path.join(self.links, "hold"))
        self.served.append(program)
        return program

    def assert_gateway_still_serves(self, query="again"):
        """A fresh, well-behaved program on the same link gets its answer
        through the same gateway process."""
        self.assertIsNone(self.gw.process.poll(), "the gateway has ended")
        self.start("good")
        answer = self.gw.get("/hold/page?q=%s" % query, timeout=60)
        head, body = split_answer(answer.raw)
        self.assertEqual(body, b"<p>hold answered %s</p>" % query.encode(),
                         "%r\n%s" % (answer.raw, "\n".join(self.gw.lines[-25:])))
        self.assertEqual(head, HEAD % len(body))

    def test_program_that_never_acknowledges_gives_the_timeout_reply(self):
        self.start("silent")
        answer = self.gw.get("/hold/page?q=1", timeout=60)
        self.assertEqual(answer.raw, b"Error: Timeout while waiting for DDE response\r\n"
                                     + UNAVAILABLE)
        self.gw.wait_for_line(r"#1 ierror 286 Timeout while waiting for DDE response$")
        self.gw.wait_for_line(r"#1 to be detached by WWW_DDE_Request_error286$")

    def test_program_that_crashes_mid_request_leaves_the_gateway_serving(self):
        crashing = self.start("crash")
        with self.gw.connect() as s:
            s.settimeout(60)
            s.sendall(b"GET /hold/page?q=1 HTTP/1.0\r\n\r\n")
            self.assertRegex(read_all(s), EXPIRED)
        crashing.proc.wait(timeout=20)
        self.assertEqual(crashing.proc.returncode, -9)
        self.gw.wait_for_line(r"#-?1 to be detached by checkexpiration$")
        self.served.remove(crashing)
        self.assert_gateway_still_serves()

    def test_program_writing_junk_on_its_socket_leaves_the_gateway_serving(self):
        junk = self.start("junk")
        with self.gw.connect() as s:
            s.settimeout(60)
            s.sendall(b"GET /hold/page?q=1 HTTP/1.0\r\n\r\n")
            self.assertRegex(read_all(s), EXPIRED)
        self.gw.wait_for_line(r"#-?1 to be detached by checkexpiration$")
        junk.stop()
        self.served.remove(junk)
        self.assert_gateway_still_serves()


class LinksTheRouterKeepsAwayTest(unittest.TestCase):
    """Links that are not listed exactly never reach a served program: the
    router sends them down the document road, so the relay's own refusals
    ("invalid topic", "of the form 'program|topic'") are not seen from a
    browser."""

    INI = ("[Variables]\nMaxUsers=4\nExpireSeconds=60\n\n[Topics]\nCalc=Sheet\nother=t\n\n"
           "[calc]\nEXE=unused\nAutoStart=1\n")

    def setUp(self):
        self.gw = Gateway(self.INI)
        links = os.path.join(self.gw.home, "links")
        os.makedirs(links, exist_ok=True)
        self.accepted = []
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.server.bind(os.path.join(links, "calc"))
        self.server.listen(8)
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.server.accept()
            except OSError:
                return
            self.accepted.append(conn)

    def tearDown(self):
        self.server.close()
        for conn in self.accepted:
            conn.close()
        self.gw.stop()

    def assert_no_link_used(self):
        self.assertEqual(self.accepted, [])
        for line in list(self.gw.lines):
            self.assertNotIn("invalid topic", line)
            self.assertNotIn("ierror", line)
            self.assertNotIn("must be of the form", line)
            self.assertNotIn(" Start ", line)

    def test_link_differing_in_case_from_the_listed_one(self):
        # The link of a request is lower-cased; the list keeps "Calc|Sheet".
        for target in ("/calc/sheet?a=1", "/Calc/Sheet?a=1"):
            answer = self.gw.get(target)
            self.assertFalse(answer.ok)
            self.assertTrue(answer.raw.startswith(b"requested document not found: "), answer.raw)
        self.assert_no_link_used()

    def test_request_naming_no_link_with_two_topics_listed(self):
        # Two entries leave "  " in the list, which an empty link would match.
        answer = self.gw.get("/?a=1")
        self.assertTrue(answer.raw.startswith(b"requested document not found: "), answer.raw)
        self.assert_no_link_used()


class AdapterThroughGatewayTest(unittest.TestCase):
    """korvane-link-adapter serves a shell one-liner; a browser asks the
    gateway and gets the one-liner's output as the page."""

    INI = ("[Variables]\nMaxUsers=4\nExpireSeconds=60\n\n[Topics]\nshell=run\n\n"
           "[shell]\nEXE=unused\nAutoStart=0\n")

    def setUp(self):
        self.gw = Gateway(self.INI)
        links = os.path.join(self.gw.home, "links")
        self.adapter = ServedProcess(
            [tool_path("korvane-link-adapter"), "--app", "shell", "--topic", "run",
             "--link-dir", links, "--answers", self.gw.path("drives/c/temp"), "--",
             "sh", "-c", 'printf "<p>hello %s from slot %s</p>" "$KORVANE_FIELD_name" "$KORVANE_SLOT"'],
            os.path.join(links, "shell"))

    def tearDown(self):
        self.adapter.stop()
        self.gw.stop()

    def test_shell_one_liner_answers_the_browser(self):
        answer = self.gw.get("/shell/run?name=world", timeout=60)
        head, body = split_answer(answer.raw)
        self.assertEqual(body, b"<p>hello world from slot 1</p>")
        self.assertEqual(head, HEAD % len(body))
        self.gw.wait_for_line(r"#1 to be detached by linkNotify www_send_file$")


class LoadTest(unittest.TestCase):
    """200 browsers at once, each asking korvane-calc its own sum."""

    CLIENTS = 200
    INI = ("[Variables]\nMaxUsers=256\nExpireSeconds=300\n\n[Topics]\ncalc=sheet\n\n"
           "[calc]\nEXE=unused\nAutoStart=0\n")

    def setUp(self):
        self.gw = Gateway(self.INI)
        links = os.path.join(self.gw.home, "links")
        answers = self.gw.path("drives/c/temp/answers")
        os.makedirs(answers, exist_ok=True)
        self.calc = ServedProcess(
            [tool_path("korvane-calc"), "--link-dir", links, "--answers", answers],
            os.path.join(links, "calc"))

    def tearDown(self):
        self.calc.stop()
        stderr = self.gw.stop()
        self.assertNotIn("ERROR: AddressSanitizer", stderr)

    def test_concurrent_clients_each_get_their_own_answer_and_free_their_slot(self):
        answers = {}
        go = threading.Event()

        def ask(i):
            go.wait()
            try:
                with socket.create_connection(("127.0.0.1", self.gw.port), timeout=240) as s:
                    s.settimeout(240)
                    s.sendall(b"GET /calc/sheet?a=%d&b=%d HTTP/1.0\r\n\r\n" % (i, 1000 * i))
                    answers[i] = read_all(s)
            except OSError as e:
                answers[i] = repr(e).encode()

        threads = [threading.Thread(target=ask, args=(i,)) for i in range(1, self.CLIENTS + 1)]
        for t in threads:
            t.start()
        go.set()
        for t in threads:
            t.join(timeout=300)

        self.assertEqual(sorted(answers), list(range(1, self.CLIENTS + 1)))
        for i, raw in sorted(answers.items()):
            head, body = split_answer(raw)
            self.assertEqual(head, HEAD % len(body), "client %d got %r" % (i, raw[:200]))
            self.assertIn(b"<th>a</th><td>%d</td>" % i, body, "client %d" % i)
            self.assertIn(b"<th>b</th><td>%d</td>" % (1000 * i), body, "client %d" % i)
            self.assertIn(b"<th>a+b</th><td>%d</td>" % (1001 * i), body, "client %d" % i)

        # Every slot that was taken was given back, each by its answer.
        self.gw.wait_for_count(r"to be detached by ", self.CLIENTS, timeout=60)
        accepted = [int(m.group(1)) for m in
                    (re.search(r" accept (\d+) ", line) for line in list(self.gw.lines)) if m]
        detached = [int(m.group(1)) for m in
                    (re.search(r" #(-?\d+) to be detached by (.*)$", line)
                     for line in list(self.gw.lines)) if m]
        self.assertEqual(len(accepted), self.CLIENTS)
        self.assertEqual(sorted(accepted), sorted(abs(k) for k in detached))
        reasons = [line for line in list(self.gw.lines) if " to be detached by " in line]
        self.assertTrue(all(r.endswith(" to be detached by linkNotify www_send_file")
                            for r in reasons), reasons[:5])
        # And the gateway takes new browsers afterwards.
        again = self.gw.get("/calc/sheet?a=7&b=8", timeout=60)
        self.assertIn(b"<th>a+b</th><td>15</td>", again.body)


if __name__ == "__main__":
    unittest.main()
