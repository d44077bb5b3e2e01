"""ModernClients=1 on the web side, judged by the clients people use: every
short answer a complete HTTP response with its status code (byte for byte,
dates aside), listing links that work off port 80, half-closed clients
answered on every road, a binary upload by curl -T."""

import os
import re
import socket
import unittest

from gateway_process import DATE, curl, demo_gateway, read_all, write_file
from test_links import LinkTestCase

UNAVAILABLE = "Program is unavailable or busy. Please try again later."


def answer(code, reason, text, retry_after=None):
    """A short answer as ModernClients sends it, its date written as DATE."""
    body = text.encode("latin-1") + b"\r\n"
    return (b"HTTP/1.0 %d %s\r\nDate: DATE GMT\r\nServer: Tarnwick 3.0g\r\n" % (code, reason.encode())
            + (b"Retry-After: %d\r\n" % retry_after if retry_after else b"")
            + b"Content-Type: text/plain; charset=utf-8\r\nContent-Length: %d\r\n" % len(body)
            + b"Connection: close\r\n\r\n" + body)


def dated(raw):
    return DATE.sub(b"DATE", raw)


def exchange(port, request, half_close=False):
    """Sends request; with half_close the sending side is shut at once, as
    nc -N does. Returns what arrives until the gateway closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
        s.sendall(request)
        if half_close:
            s.shutdown(socket.SHUT_WR)
        return read_all(s)


def body_of(raw):
    """The body of a response, checked against its Content-Length."""
    head, _, body = raw.partition(b"\r\n\r\n")
    length = re.search(rb"\r\nContent-Length: (\d+)\r\n", head + b"\r\n")
    if not head.startswith(b"HTTP/1.") or not length or int(length.group(1)) != len(body):
        return None
    return body


class StatusAnswersTest(LinkTestCase):
    """The status table (README, "Answers for today's clients")."""

    INI = ("[Variables]\nMaxUsers=2\nExpireSeconds=2\nModernClients=1\nMaxFileLength=100\n\n"
           "[Topics]\nhold=page\nother=t\n\n[hold]\nEXE=unused\nAutoStart=0\n")

    def ask(self, request):
        return dated(exchange(self.gw.port, request.encode()))

    def test_every_short_answer_carries_its_status(self):
        cases = [
            ("GET /nosuch.htm HTTP/1.0\r\n\r\n", answer(404, "Not Found", "requested document not found: ")),
            ("GET /favicon.ico HTTP/1.1\r\nHost: x\r\n\r\n",
             answer(404, "Not Found", "requested document not found: ")),
            ("GET /other/t?q=1 HTTP/1.0\r\n\r\n",
             answer(502, "Bad Gateway", "Error: No foreign application responded to a DDE conversation\r\n"
                    + UNAVAILABLE)),
            ("PUT /s/common/new.txt HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\n\r\nline one",
             answer(201, "Created", "200 OK")),
            ("PUT /s/common/empty.txt HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
             answer(201, "Created", "200 OK")),
            ("PUT /s/common/big.txt HTTP/1.1\r\nContent-Length: 101\r\n\r\n",
             answer(413, "Payload Too Large", "515 Can't s/common/big.txt")),
            ("PUT s/elsewhere.txt HTTP/1.0\r\n\r\n",
             answer(403, "Forbidden", "515 Can't PUT s/elsewhere.txt HTTP/1.0\r\n")),
        ]
        os.makedirs(self.gw.path("drives/c/temp/common"))
        for request, expected in cases:
            with self.subTest(request=request.split("\r\n")[0]):
                self.assertEqual(self.ask(request), expected, "\n".join(self.gw.lines[-15:]))
        self.gw.wait_for_line(r"#\d+ requested document not found:$")  # a miss keeps its log line
        # Exactly the body: the head's blank line is not stored in front.
        self.assertEqual(self.gw.read("drives/c/temp/common/new.txt"), b"\r\nline one")
        self.assertEqual(self.gw.read("drives/c/temp/common/empty.txt"), b"")
        self.assertFalse(os.path.exists(self.gw.path("drives/c/temp/common/big.txt")))

    def test_program_failures_and_waits(self):
        for mode, code, reason, number, text in (
                ("refuse", 502, "Bad Gateway", 285, "Foreign application won't perform DDE method or operation"),
                ("silent", 504, "Gateway Timeout", 286, "Timeout while waiting for DDE response")):
            with self.subTest(mode=mode):
                since = len(self.gw.lines)
                program = self.serve("hold", "page", mode)
                self.assertEqual(self.ask("GET /hold/page?q=1 HTTP/1.0\r\n\r\n"),
                                 answer(code, reason, "Error: %s\r\n%s" % (text, UNAVAILABLE)))
                self.gw.wait_for_line(r"#\d+ ierror %d %s$" % (number, text), since=since)
                self.gw.wait_for_line(r"#\d+ to be detached by WWW_DDE_Request_error%d$" % number, since=since)
                program.stop()
        self.serve("hold", "page", "hold")
        expired = answer(503, "Service Unavailable",
                         "Program is unavailable at this time. Please try again in 4 seconds.", 4)
        self.assertEqual(self.ask("GET /hold/page?q=2 HTTP/1.0\r\n\r\n"), expired)

    def test_a_full_house_is_503_with_retry_after(self):
        with self.gw.connect(), self.gw.connect():
            self.gw.wait_for_count(r"#2 ", 1)
            refused = dated(exchange(self.gw.port, b"GET / HTTP/1.0\r\n\r\n"))
        self.assertEqual(refused, answer(503, "Service Unavailable",
                                         "421 Maximum number of users engaged. Try later.", 2))

    def test_curl_uploads_with_put(self):
        os.makedirs(self.gw.path("drives/c/temp/common"))
        data = b"\r\n\x00\xff\n\r" * 15  # binary, under MaxFileLength
        source = os.path.join(self.scratch.name, "up.bin")
        write_file(source, data)
        result = curl("-Sf", "-T", source, "http://127.0.0.1:%d/s/common/" % self.gw.port)
        self.assertEqual((result.returncode, result.stdout), (0, b"200 OK\r\n"), result.stderr)
        self.assertEqual(self.gw.read("drives/c/temp/common/up.bin"), data)


class DemoTest(unittest.TestCase):
    """The demo home as shipped (ModernClients=1) with its served programs."""

    @classmethod
    def setUpClass(cls):
        cls.gw = demo_gateway(test=cls)

    def test_the_adapter_section(self):
        self.assertIn(b"<p>Hello, &lt;Ada&gt;!</p>", self.gw.get("/hello/page?name=%3CAda%3E", timeout=60).body)
        self.assertIn("<p>The program ended with exit status 3.</p><pre>hello.sh: asked to fail</pre>",
                      self.gw.get("/hello/page?name=fail", timeout=60).text)

    def get(self, target, headers="", half_close=False):
        request = "GET %s HTTP/1.0\r\n%s\r\n" % (target, headers)
        return exchange(self.gw.port, request.encode(), half_close)

    def test_half_closed_clients_get_the_whole_answer_on_every_road(self):
        roads = [
            ("document", "/greeting.htm", b"</html>"),
            ("listing", "/dir/", b"readme.txt"),
            ("template", "/greeting.htm?form=greeting&who=Ada&town=Leeds&end=", b"Hello, Ada from Leeds!"),
            ("program run", "/run?form=programs&TOPIC=wordstats&text=one+two+two", b"two"),
            ("link answer", "/calc/sheet?a=1&b=2", b"<th>a+b</th><td>3</td>"),
        ]
        for road, target, marker in roads:
            with self.subTest(road=road):
                whole = 0
                for _ in range(20):
                    body = body_of(self.get(target, half_close=True))
                    whole += body is not None and marker in body
                # A slot left held would soon refuse the next (MaxPerAddress=8).
                self.assertEqual(whole, 20, "\n".join(self.gw.lines[-20:]))

    def test_listing_links_use_the_host_the_client_asked_for(self):
        origin = "http://127.0.0.1:%d" % self.gw.port
        for host, expected in (("Host: example.test:8123\r\n", "http://example.test:8123"),
                               ("", origin),
                               ("Host: x'><script>\r\n", origin)):
            with self.subTest(host=host):
                page = body_of(self.get("/dir/", host)).decode("latin-1")
                self.assertIn("<base href='%s/dir/.'></head>" % expected, page)
                self.assertIn("<a href='%s/dir/notes/'>" % expected, page)
                self.assertNotIn("<script>", page)
