"""Web requests relayed to served programs, end to end: the gateway binary on
a temporary home, real served programs on Unix sockets (the sample program
the gateway starts itself, the adapter, and the program of link_client.py,
run in this process where the test decides when it answers or started by the
gateway as a process of its own) and real HTTP clients over loopback TCP."""

import os
import re
import signal
import socket
import sys
import tempfile
import unittest

from gateway_process import (UNAVAILABLE, Gateway, curl, http_head, in_parallel, processes_with, read_all,
                             split_answer, wait_until)
from link_client import ServedProcess, ServedProgram, tool_path


def curl_page(port, target):
    """The raw bytes curl receives (head and body) for an HTTP/1.0 GET."""
    return curl("-i", "--http1.0", "http://127.0.0.1:%d%s" % (port, target)).stdout


class LinkTestCase(unittest.TestCase):
    """A gateway per test; programs the gateway started are known by the
    record file on their command line."""

    INI = ""

    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory(prefix="kvlink.")
        self.record = os.path.join(self.scratch.name, "record")
        self.gw = Gateway(self.INI.format(record=self.record))
        self.links = self.gw.path("links")
        self.programs = []

    def tearDown(self):
        for program in self.programs:
            program.stop()
        for pid in processes_with(self.record):
            os.kill(pid, signal.SIGTERM)
        self.gw.stop()
        self.scratch.cleanup()

    def serve(self, app, topic, mode="answer"):
        program = ServedProgram(self.links, app, topic, mode, self.gw.path("drives/c/temp"))
        self.programs.append(program)
        return program

    def assert_page(self, raw, body):
        self.assertEqual(split_answer(raw), (http_head(len(body)), body),
                         "\n".join(self.gw.lines[-25:]))


class LinkRoadsTest(LinkTestCase):
    INI = ("[Variables]\nMaxUsers=256\nExpireSeconds=300\n\n"
           "[Topics]\ncalc=sheet\nCased=Topic\n\n"
           "[calc]\nEXE=korvane-calc --record {record} --answers drives/c/temp/answers\nAutoStart=1\n\n"
           "[cased]\nEXE=unused\nAutoStart=1\n")

    def setUp(self):
        super().setUp()
        os.symlink(tool_path("korvane-calc"), self.gw.path("korvane-calc"))

    def test_first_request_starts_the_program_and_gets_its_page(self):
        raw = curl_page(self.gw.port, "/calc/sheet?a=1&b=2")
        with open(self.record, "rb") as f:
            commands = f.read().split(b"\0")[:-1]
        self.assertEqual(commands[:2], [b"initialize lnkWWW", b"-1,"])
        self.assertEqual(len(commands), 3)
        self.assertRegex(commands[2], rb"\A1,&MYIP=\d+\.\d+\.\d+\.\d+&ID=\d+\.\d\d"
                                      rb"&__=calc/sheet&a=1&b=2&HTTP/1\.0\r\n\Z")

        page = self.gw.read("drives/c/temp/answers/calc-1.htm")
        self.assert_page(raw, page)
        self.assertIn(b"<th>a+b</th><td>3</td>", page)

    def test_links_not_listed_exactly_reach_no_program(self):
        # The router sends them down the document road (a template, as they
        # carry a query), so the relay's own refusals ("invalid topic", "of
        # the form 'program|topic'") are not seen from a browser. A request's link is lower-cased while the
        # list keeps "Cased|Topic"; several entries leave "  " in the list,
        # which an empty link would match.
        cased = self.serve("cased", "topic")
        for target in ("/calc/other?a=1", "/cased/topic?a=1", "/Cased/Topic?a=1", "/?a=1"):
            with self.subTest(target=target):
                self.assertRegex(self.gw.get(target).raw, rb"\Arequested document not found: "
                                                          rb"C:\\temp\\korvane\\~dd[0-9A-F]+\.tmp\r\n\Z")
        self.assertEqual(cased.connections, [])
        self.assertFalse(os.path.exists(self.record))
        for line in list(self.gw.lines):
            for word in ("invalid topic", "ierror", "must be of the form", " Start "):
                self.assertNotIn(word, line)

    def test_200_clients_at_once_each_get_their_own_answer_and_free_their_slot(self):
        # The program runs already (started by hand: a gateway that starts
        # programs records no coverage).
        answers_dir = self.gw.path("drives/c/temp/answers")
        os.makedirs(answers_dir)
        self.programs.append(ServedProcess(
            [tool_path("korvane-calc"), "--link-dir", self.links, "--answers", answers_dir],
            os.path.join(self.links, "calc")))
        clients = 200

        def ask(i):
            try:
                with socket.create_connection(("127.0.0.1", self.gw.port), timeout=240) as s:
                    s.sendall(b"GET /calc/sheet?a=%d&b=%d HTTP/1.0\r\n\r\n" % (i, 1000 * i))
                    return read_all(s)
            except OSError as e:
                return repr(e).encode()

        answers = in_parallel(ask, range(1, clients + 1))
        self.assertEqual(sorted(answers), list(range(1, clients + 1)))
        for i, raw in sorted(answers.items()):
            head, body = split_answer(raw)
            self.assertEqual(head, http_head(len(body)), "client %d got %r" % (i, raw[:200]))
            for cell in (b"<th>a</th><td>%d</td>" % i, b"<th>b</th><td>%d</td>" % (1000 * i),
                         b"<th>a+b</th><td>%d</td>" % (1001 * i)):
                self.assertIn(cell, body, "client %d" % i)
        self.assertEqual(processes_with(self.record), {})  # none started beside the running one

        # Every slot that was taken was given back, each by its answer.
        self.gw.wait_for_count(r"to be detached by ", clients, timeout=60)
        lines = list(self.gw.lines)
        accepted = [int(m.group(1)) for m in (re.search(r" accept (\d+) ", l) for l in lines) if m]
        detached = [m.groups() for m in (re.search(r" #(-?\d+) to be detached by (.*)$", l) for l in lines) if m]
        self.assertEqual(len(accepted), clients)
        self.assertEqual(sorted(accepted), sorted(abs(int(k)) for k, _ in detached))
        self.assertEqual({reason for _, reason in detached}, {"linkNotify www_send_file"})
        # And the gateway takes new browsers afterwards.
        self.assertIn(b"<th>a+b</th><td>15</td>", self.gw.get("/calc/sheet?a=7&b=8", timeout=60).body)


class ProgramStartTest(unittest.TestCase):
    """Programs the gateway starts for a link: how the EXE entry is found,
    and how long they live. Started programs are known by the scratch
    folder on their command line."""

    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix="kvstart.")
        self.addCleanup(scratch.cleanup)
        self.scratch = scratch.name
        self.addCleanup(self.end_started)

    def end_started(self):
        for pid in processes_with(self.scratch):
            os.kill(pid, signal.SIGKILL)

    def gateway(self, section, files=None, path=None, topics="calc=sheet"):
        ini = ("[Variables]\nExpireSeconds=60\n\n[Topics]\n%s\n\n%s\nAutoStart=1\n"
               % (topics, section.format(scratch=self.scratch)))
        gw = Gateway(ini, files=files, env={"PATH": path + ":" + os.environ["PATH"]} if path else None, test=self)
        self.addCleanup(self.end_started)  # first: a program left running holds the gateway's pipes
        return gw

    def started(self):
        return {pid: argv for pid, argv in processes_with(self.scratch).items()
                if not argv[0].endswith("korvane")}

    def test_exe_is_found_as_a_shell_would_and_its_program_ends_with_the_gateway_unless_kept(self):
        calc = tool_path("korvane-calc")
        with open(calc, "rb") as f:
            copy = (f.read(), True)
        for case, exe, files, path, argv0, keep in (
                ("folder below the home", "bin\\korvane-calc", {"bin/korvane-calc": copy}, None,
                 "{home}/bin/korvane-calc", 0),
                ("bare name on PATH", "korvane-calc", None, os.path.dirname(calc), calc, 0),
                ("KeepRunning=1", calc, None, None, calc, 1)):
            with self.subTest(case):
                gw = self.gateway("[calc]\nEXE=%s --record {scratch}/record\nKeepRunning=%d" % (exe, keep),
                                  files, path)
                self.assertIn(b"<th>a+b</th><td>5</td>", gw.get("/calc/sheet?a=2&b=3", timeout=60).body,
                              "\n".join(gw.lines[-20:]))
                self.assertEqual(list(self.started().values()),
                                 [[argv0.format(home=gw.home), "--record", self.scratch + "/record", "DDE"]])
                gw.process.send_signal(signal.SIGTERM)
                gw.process.wait(timeout=15)
                self.assertEqual(len(self.started()), keep)
                self.end_started()

    def test_missing_exe_names_what_was_tried(self):
        gw = self.gateway("[calc]\nEXE=nosuch-program --x", path="/nonexistent/bin")
        self.assertTrue(gw.get("/calc/sheet?a=1", timeout=60).raw.endswith(UNAVAILABLE))
        tried = [gw.home] + [d for d in ("/nonexistent/bin:" + os.environ["PATH"]).split(":")
                             if d.startswith("/")]
        gw.wait_for_line(r" nosuch-program not found; tried %s$"
                         % re.escape(", ".join(d + "/nosuch-program" for d in tried)))
        gw.wait_for_line(r" No such file or directory trying to start \.\\nosuch-program --x$")
        self.assertRegex(gw.stop(), r"(?m)^beep")  # headless, the start's beeps are logged

    def test_hung_program_is_ended_and_started_again(self):
        client = os.path.join(os.path.dirname(os.path.abspath(__file__)), "link_client.py")
        gw = self.gateway("[hold]\nEXE=%s %s - hold page hold {scratch}\nRestartAfter=2"
                          % (sys.executable, client), topics="hold=page")
        with gw.connect() as s:
            s.sendall(b"GET /hold/page?q=1 HTTP/1.0\r\n\r\n")
            gw.wait_for_line(r" Start ")
            first = set(self.started())
            self.assertEqual(len(first), 1)
            gw.wait_for_line(r" Restart .*link_client\.py - hold page hold .*: no answer for 2 seconds$", 20)
            gw.wait_for_count(r" Start ", 2)
            wait_until(lambda: self.started() and not set(self.started()) & first, 10, "a new program")


class MisbehavingProgramTest(LinkTestCase):
    """The program of link_client.py serves link hold|page and misbehaves
    (a refusal and silence: test_modern_http.py)."""

    INI = ("[Variables]\nMaxUsers=4\nExpireSeconds=2\n\n[Topics]\nhold=page\nother=t\n\n"
           "[hold]\nEXE=unused\nAutoStart=0\n")

    def test_program_writing_junk_on_its_socket(self):
        """A program that acknowledges the request and then writes junk on its
        socket: the link it held ends, so the session gets the error answer at
        once (not at its expiry), and a well-behaved program on the same link
        gets its answer through the same gateway."""
        program = self.serve("hold", "page", "junk")
        with self.gw.connect() as s:
            s.settimeout(60)
            s.sendall(b"GET /hold/page?q=1 HTTP/1.0\r\n\r\n")
            self.assertEqual(read_all(s), b"Error: DDE method invoked with no channel open\r\n" + UNAVAILABLE)
        self.gw.wait_for_line(r"#1 to be detached by WWW_DDE_Request_error293$")
        program.stop()
        self.assertIsNone(self.gw.process.poll(), "the gateway has ended")
        self.serve("hold", "page")
        self.assert_page(self.gw.get("/hold/page?q=again", timeout=60).raw,
                         b"<p>hold answered again</p>")
