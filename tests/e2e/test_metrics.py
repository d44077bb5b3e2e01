"""Health at a glance: `korvane ctl status --json` and the metrics page,
read from a real gateway after real requests on each road (a document, a
missing one, a program run, a link to the sample served program, PUTs)."""

import json
import os
import re
import socket
import unittest

import ftp_gateway
from gateway_process import NOT_FOUND, Gateway, wait_until
from link_client import tool_path
from test_links import LinkTestCase, curl_page

ECHO = "#!/bin/sh\nbase=$(basename \"$1\")\ncat \"$1\" > \"$(dirname \"$1\")/${base%%.*}.HTM\"\n"
PAGE_HEAD = re.compile(rb"\AHTTP/1\.0 200 OK\r\nDate: [^\r\n]+ GMT\r\nServer: Tarnwick 3\.0g\r\n"
                       rb"Content-Type: text/plain; version=0\.0\.4; charset=utf-8\r\n"
                       rb"Content-Length: (\d+)\r\nConnection: close\r\n\r\n")
# One line of the text format: a comment naming a family, or a sample.
PAGE_LINE = re.compile(r"# (HELP|TYPE) (korvane_[a-z_]+) .+|"
                       r"(korvane_[a-z_]+)(\{[a-z]+=\"[^\"]+\"\})? (NaN|\d+(\.\d+)?)")


def page_samples(test, raw):
    """{'name{labels}': value} of a metrics page, after checking its head,
    its length and that every line is in the text format."""
    head = PAGE_HEAD.match(raw)
    test.assertIsNotNone(head, raw[:300])
    body = raw[head.end():]
    test.assertEqual(len(body), int(head.group(1)))
    samples, typed = {}, set()
    for line in body.decode().split("\n")[:-1]:
        match = PAGE_LINE.fullmatch(line)
        test.assertIsNotNone(match, line)
        if match.group(1) == "TYPE":
            typed.add(match.group(2))
        elif match.group(3):
            family = re.sub(r"_(sum|count)$", "", match.group(3))
            test.assertIn(family, typed, "sample before its TYPE: " + line)
            samples[match.group(3) + (match.group(4) or "")] = float(match.group(5))
    test.assertTrue(body.endswith(b"\n"))
    return samples


def own_address():
    """An address of this machine other than loopback, or None."""
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.connect(("192.0.2.1", 9))  # picks the route; nothing is sent
            address = s.getsockname()[0]
    except OSError:
        return None
    return None if address.startswith("127.") else address


class HealthAtAGlance(LinkTestCase):
    INI = ("[Variables]\nMaxUsers=20\nExpireSeconds=60\nMetricsPath=/metrics\n\n"
           "[Topics]\ncalc=sheet\nabsent=page\n\n"
           "[calc]\nEXE=korvane-calc --record {record} --answers drives/c/temp/answers\nAutoStart=1\n\n"
           "[absent]\nEXE=korvane-calc --record {record}\nAutoStart=0\n\n"
           "[echo]\ntopic=v\nEXE=c:\\echo.sh\nOutFileType=HTM\n")

    def setUp(self):
        super().setUp()
        os.symlink(tool_path("korvane-calc"), self.gw.path("korvane-calc"))
        self.gw.write("drives/c/echo.sh", ECHO, True)
        self.gw.write("drives/c/export/doc.htm", "<p>static</p>")
        os.makedirs(self.gw.path("drives/c/temp/common"))

    def status(self):
        out = self.gw.ctl("status", "--json")
        self.assertEqual(self.gw.ctl_code, 0, self.gw.ctl_err)
        return json.loads(out)

    def test_counts_by_road_and_answer_in_status_and_page(self):
        gw = self.gw
        none = {"count": 0, "p50": None, "p90": None, "p99": None}
        fresh = self.status()
        self.assertEqual((fresh["link_roundtrip_ms"], fresh["program_run_ms"]), (none, none))
        self.assertEqual(set(fresh["requests"].values()) | set(fresh["answers"].values()), {0})

        self.assertTrue(gw.get("/doc.htm").ok)
        self.assertTrue(gw.get("/missing.htm").raw.startswith(b"requested document not found: "))
        self.assertIn(b"hi", gw.get("/p?&TOPIC=echo&v=hi").raw)
        self.assertIn(b"<th>a+b</th><td>3</td>", curl_page(gw.port, "/calc/sheet?a=1&b=2"))
        self.assertTrue(gw.get("/absent/page?a=1").raw.startswith(b"Error: No foreign application"))
        self.assertEqual(gw.ask("PUT s/common/up.txt\r\nContent-Length: 2\r\n\r\nhi").raw, b"200 OK\r\n")
        self.assertTrue(gw.ask("PUT /etc/x HTTP/1.0\r\nContent-Length: 2\r\n\r\nhi").raw.startswith(b"515 "))
        # Only the path itself, asked for with GET, is the page.
        for target in ("/metrics?x=1", "/metrics/", "/METRICS"):
            with self.subTest(target=target):
                self.assertTrue(gw.get(target).raw.startswith(b"requested document not found: "))
        with gw.connect():  # a session that stays open meanwhile
            wait_until(lambda: self.status()["slots_in_use"] == 1, what="one slot in use")
            status = self.status()
            page = page_samples(self, gw.get("/metrics").raw)

        requests = {"document": 5, "link": 2, "program": 1, "put": 2, "ftp": 0}
        answers = {"ok": 3, "not_found": 4, "full": 0, "unavailable": 0, "link_error": 1,
                   "program_error": 0, "upload_stored": 1, "upload_refused": 1}
        self.assertEqual((status["requests"], status["answers"]), (requests, answers))
        self.assertEqual((status["max_users"], status["slots_in_use"]), (20, 1))
        self.assertGreaterEqual(status["uptime_seconds"], 0)
        for timing in ("link_roundtrip_ms", "program_run_ms"):
            self.assertEqual(status[timing]["count"], 1)
            p50, p90, p99 = (status[timing][p] for p in ("p50", "p90", "p99"))
            self.assertTrue(0 < p50 == p90 == p99 < 60000, status[timing])

        # The page says the same (the page's own request counts on no road).
        self.assertEqual({road: page['korvane_requests_total{road="%s"}' % road] for road in requests}, requests)
        self.assertEqual({kind: page['korvane_answers_total{kind="%s"}' % kind] for kind in answers}, answers)
        # The page's own request holds a slot too.
        self.assertEqual((page["korvane_slots_in_use"], page["korvane_max_users"]), (2, 20))
        self.assertGreaterEqual(page["korvane_uptime_seconds"], status["uptime_seconds"])
        seconds = status["link_roundtrip_ms"]["p50"] / 1000
        self.assertAlmostEqual(page['korvane_link_roundtrip_seconds{quantile="0.99"}'], seconds, places=5)
        self.assertEqual(page["korvane_program_run_seconds_count"], 1)


class MetricsPageAccess(unittest.TestCase):
    def test_without_the_key_the_path_is_a_document_and_ftp_commands_count_on_their_road(self):
        gw, ftp = Gateway("[Variables]\nMaxUsers=5\n", test=self), ftp_gateway.Gateway(test=self)
        self.assertEqual(gw.get("/metrics").raw, NOT_FOUND)
        self.assertEqual(gw.ctl("status", "--json").count('"document":1,'), 1)
        control = ftp.control(login=False)
        control.cmd("HELP")
        control.cmd("NOOP")
        control.close()
        self.assertEqual(json.loads(ftp.ctl("status", "--json"))["requests"],
                         {"document": 0, "link": 0, "program": 0, "put": 0, "ftp": 2})

    @unittest.skipUnless(own_address(), "no address besides loopback")
    def test_other_peers_read_it_only_when_listed(self):
        address = own_address()
        for listed, page in (("", False), ("10.9.8.7, " + address, True)):
            with self.subTest(listed=listed):
                gw = Gateway("[Variables]\nMetricsPath=/metrics\nMetricsFrom=%s\n" % listed, bind=address, test=self)
                raw = gw.get("/metrics").raw
                if page:
                    self.assertTrue(PAGE_HEAD.match(raw), raw[:200])
                else:
                    self.assertEqual(raw, NOT_FOUND)
