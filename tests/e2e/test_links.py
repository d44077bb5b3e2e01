"""Web requests relayed to served programs, end to end: the gateway binary
on a temporary home, real served programs on Unix sockets (the sample
program the gateway starts itself, or a program run by the test so that the
test decides when it answers) and real HTTP clients over loopback TCP."""

import os
import re
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from gateway_process import Gateway, read_all
from link_client import tool_path

REFUSED = b"ERR 285 Foreign application won't perform DDE method or operation\n"
UNAVAILABLE = b"Program is unavailable or busy. Please try again later.\r\n"
HEAD = (b"HTTP/1.1 200 OK\r\nDate: DATE GMT\r\nServer: Tarnwick 3.0g\r\n"
        b"Connection: Close\r\nContent-Length: %d\r\nContent-Type: Text/HTML\r\n\r\n")
DATE = re.compile(rb"(?<=\r\nDate: )[A-Z][a-z]{2}, \d{1,2} [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d(?= GMT\r\n)")


def curl(port, target):
    """The raw bytes curl receives (head and body) for an HTTP/1.0 GET."""
    result = subprocess.run(
        ["curl", "-s", "-i", "--http1.0", "--max-time", "60",
         "http://127.0.0.1:%d%s" % (port, target)],
        capture_output=True, timeout=90)
    return result.stdout


def split_answer(raw):
    head, sep, body = raw.partition(b"\r\n\r\n")
    return DATE.sub(b"DATE", head + sep), body


def processes_with(word):
    """argv of every process whose command line holds word."""
    found = {}
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                argv = f.read().split(b"\0")[:-1]
        except OSError:
            continue
        if any(word.encode() in a for a in argv):
            found[int(pid)] = [a.decode() for a in argv]
    return found


def stop_processes_with(word):
    for pid in processes_with(word):
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass


def wait_until(predicate, timeout=20, what="condition"):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


class TestProgram:
    """A served program run inside the test: it records every execute
    command, refuses requests when told to, and sets a session's notify item
    only when the test calls answer()."""

    def __init__(self, link_dir, app, topic, refuse_requests=False):
        os.makedirs(link_dir, exist_ok=True)
        self.topic = topic.lower()
        self.refuse_requests = refuse_requests
        self.commands = []
        self.items = {}
        self.advised = []  # (connection, {lower-case item: item as spelled})
        self.lock = threading.Lock()
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.server.bind(os.path.join(link_dir, app))
        self.server.listen(16)
        self.connections = []
        threading.Thread(target=self._accept, daemon=True).start()

    def close(self):
        self.server.close()
        for conn in self.connections:
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
        names = {}
        with self.lock:
            self.advised.append((conn, names))
        try:
            while True:
                line = stream.readline()
                if not line.endswith(b"\n"):
                    return
                word, _, arg = line[:-1].decode("latin-1").partition(" ")
                conn.sendall(self._answer(word, arg, stream, names))
        except OSError:
            return

    def _answer(self, word, arg, stream, names):
        if word == "CONNECT":
            return b"OK\n" if arg.lower() == self.topic else \
                b"ERR 282 No foreign application responded to a DDE conversation\n"
        if word == "EXECUTE":
            command = stream.read(int(arg))
            with self.lock:
                self.commands.append(command)
            is_request = re.match(rb"\d+,", command) is not None
            return REFUSED if is_request and self.refuse_requests else b"OK\n"
        if word == "ADVISE":
            names[arg.lower()] = arg
            return b"OK\n"
        if word == "REQUEST":
            value = self.items.get(arg.lower(), b"")
            return b"DATA %d\n" % len(value) + value
        return REFUSED

    def answer(self, slot, value):
        item = "lnkwww(%d)" % slot
        with self.lock:
            self.items[item] = value
            for conn, names in self.advised:
                if item in names:
                    try:
                        conn.sendall(b"CHANGED " + names[item].encode() + b"\n")
                    except OSError:
                        pass  # a conversation the gateway has closed

    def requests(self):
        with self.lock:
            return [c for c in self.commands if re.match(rb"\d+,", c)]

    def wait_requests(self, count):
        wait_until(lambda: len(self.requests()) >= count, what="%d requests" % count)
        return self.requests()


def request_id(command):
    """The request id as the gateway compares it: ID in general-number form."""
    text = re.search(rb"&ID=([0-9.]+)&", command).group(1).decode()
    return ("%.15G" % float(text)).encode()


class LinkGatewayTest(unittest.TestCase):
    INI = ""

    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory(prefix="kvdde.")
        self.record = os.path.join(self.scratch.name, "record")
        self.gw = Gateway(self.INI.format(record=self.record))
        self.links = os.path.join(self.gw.home, "links")
        self.programs = []

    def tearDown(self):
        for program in self.programs:
            program.close()
        stop_processes_with(self.record)
        self.gw.stop()
        self.scratch.cleanup()

    def serve_program(self, app, topic, **options):
        program = TestProgram(self.links, app, topic, **options)
        self.programs.append(program)
        return program

    def recorded(self):
        with open(self.record, "rb") as f:
            return f.read().split(b"\0")[:-1]


class SampleProgramTest(LinkGatewayTest):
    """The sample program, started by the gateway from its EXE entry in the
    program folder, as the demo runs it."""

    INI = ("[Variables]\nMaxUsers=4\nExpireSeconds=60\n\n[Topics]\ncalc=sheet\n\n"
           "[calc]\nEXE=korvane-calc --record {record} --answers drives/c/temp/answers\n"
           "AutoStart=1\n")

    def setUp(self):
        super().setUp()
        os.symlink(tool_path("korvane-calc"), self.gw.path("korvane-calc"))

    def test_first_request_starts_the_program_and_gets_its_page(self):
        raw = curl(self.gw.port, "/calc/sheet?a=1&b=2")

        argv = list(processes_with(self.record).values())
        self.assertEqual(argv, [[self.gw.path("korvane-calc"), "--record", self.record,
                                 "--answers", "drives/c/temp/answers", "DDE"]])
        commands = self.recorded()
        self.assertEqual(commands[:2], [b"initialize lnkWWW", b"-1,"])
        self.assertEqual(len(commands), 3)
        self.assertRegex(commands[2], rb"\A1,&MYIP=\d+\.\d+\.\d+\.\d+&ID=\d+\.\d\d"
                                      rb"&__=calc/sheet&a=1&b=2&HTTP/1\.0\r\n\Z")

        page = self.gw.read("drives/c/temp/answers/calc-1.htm")
        head, body = split_answer(raw)
        self.assertEqual(head, HEAD % len(page))
        self.assertEqual(body, page)
        self.assertIn(b"<th>a+b</th><td>3</td>", body)
        self.gw.wait_for_line(r" Start \.\\korvane-calc --record ")
        self.gw.wait_for_line(r"calc\|sheet:initialize lnkWWW$")
        self.gw.wait_for_line(r"#1 to be detached by linkNotify www_send_file$")

    def test_concurrent_requests_each_get_their_own_answer(self):
        answers = {}

        def ask(a, b):
            answers[(a, b)] = curl(self.gw.port, "/calc/sheet?a=%d&b=%d" % (a, b))

        threads = [threading.Thread(target=ask, args=pair) for pair in ((1, 2), (30, 40))]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=90)

        for (a, b), raw in answers.items():
            head, body = split_answer(raw)
            self.assertEqual(head, HEAD % len(body))
            self.assertIn(b"<th>a</th><td>%d</td>" % a, body)
            self.assertIn(b"<th>a+b</th><td>%d</td>" % (a + b), body)
        requests = [c for c in self.recorded() if re.match(rb"\d+,", c)]
        self.assertEqual(sorted(c[:2] for c in requests), [b"1,", b"2,"])

    def test_link_not_in_topics_reaches_no_program(self):
        answer = self.gw.get("/calc/other?a=1")
        self.assertFalse(answer.ok)
        self.assertTrue(answer.raw.startswith(b"requested document not found: "), answer.raw)
        self.assertFalse(os.path.exists(self.record))
        self.assertEqual(processes_with(self.record), {})


class NotStartedProgramTest(LinkGatewayTest):
    INI = ("[Variables]\nMaxUsers=4\nExpireSeconds=60\n\n[Topics]\ncalc=sheet\n\n"
           "[calc]\nEXE=korvane-calc --record {record}\nAutoStart=0\n")

    def test_program_that_may_not_be_started_gives_the_error_reply(self):
        answer = self.gw.get("/calc/sheet?a=1&b=2")
        self.assertEqual(answer.raw, b"Error: No foreign application responded to a DDE "
                                     b"conversation\r\n" + UNAVAILABLE)
        self.gw.wait_for_line(r"#1 calc\|sheet cannot be started automatically$")
        self.gw.wait_for_line(r"#1 ierror 282 No foreign application responded")
        self.assertEqual(processes_with(self.record), {})


class HeldAnswerTest(LinkGatewayTest):
    """A program the test runs: it answers only when the test says so."""

    INI = ("[Variables]\nMaxUsers=4\nExpireSeconds=2\n\n[Topics]\nhold=page\n\n"
           "[hold]\nEXE=unused\nAutoStart=0\n")

    def test_refused_request_gives_the_error_reply(self):
        self.serve_program("hold", "page", refuse_requests=True)
        answer = self.gw.get("/hold/page?x=1")
        self.assertEqual(answer.raw, b"Error: Foreign application won't perform DDE method or "
                                     b"operation\r\n" + UNAVAILABLE)
        self.gw.wait_for_line(r"#1 ierror 285 Foreign application won't perform")
        self.gw.wait_for_line(r"WWW_DDE_Request_error285")

    def test_unanswered_request_expires_and_its_late_answer_reaches_no_one(self):
        program = self.serve_program("hold", "page")
        late = self.gw.path("drives/c/temp/late.htm")
        self.gw.write("drives/c/temp/late.htm", "LATE ANSWER")
        self.gw.write("drives/c/temp/fresh.htm", "FRESH ANSWER")

        with self.gw.connect() as first:
            first.settimeout(60)
            first.sendall(b"GET /hold/page?x=1 HTTP/1.0\r\n\r\n")
            old = program.wait_requests(1)[0]
            self.assertRegex(read_all(first),
                             rb"\AProgram is unavailable at this time\. Please try again in "
                             rb".+ seconds\.\r\n\Z")

        with self.gw.connect() as second:
            second.settimeout(60)
            second.sendall(b"GET /hold/page?x=2 HTTP/1.0\r\n")  # not complete yet
            self.gw.wait_for_count(r"#1 .*GET /hold/page\?x=2", 1)
            program.answer(1, late.encode() + b"," + request_id(old))
            time.sleep(1)  # room for a wrongly delivered answer to arrive
            second.sendall(b"\r\n")
            new = program.wait_requests(2)[1]
            self.assertTrue(new.startswith(b"1,"))
            program.answer(1, b"C:\\temp\\fresh.htm," + request_id(new))
            head, body = split_answer(read_all(second))
        self.assertEqual(head, HEAD % len(b"FRESH ANSWER"))
        self.assertEqual(body, b"FRESH ANSWER")


if __name__ == "__main__":
    unittest.main()
