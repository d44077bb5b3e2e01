"""Documents, listings and templates from a running gateway, fetched by real
clients: a raw socket where bytes matter (heads, bare lines), curl and
http.client for bodies."""

import functools
import http.client
import os
import re
import time
import unittest

from gateway_process import Gateway, curl, http_head, in_parallel, split_answer

INI = """[Variables]
MaxUsers=4
ExpireSeconds=60

[MimeTypes]
bin=b|application/octet-stream
txt=a|text/plain
png=b|image/png

[supercededby]
doc=txt
"""

BIN = b"application/octet-stream"
GREETING = "<h1>Hello, $who from $town!</h1>$form[$end]"


@functools.lru_cache(maxsize=None)
def binary_bytes(n):
    return bytes((i * 31 + i // 251) % 256 for i in range(n))


HOME = {
    "drives/c/export/.htm": "<html>home</html>",
    "drives/c/export/docs/page.htm": "<p>the page</p>",
    "drives/c/export/Guide/START.Htm": "<p>stored in mixed case</p>",
    "drives/c/export/greet.htm": GREETING,
    "drives/c/export/empty.htm": "",
    "drives/c/export/hollow.htm": "",
    "drives/c/export/one.bin": binary_bytes(1),
    "drives/c/export/block.bin": binary_bytes(4096),
    "drives/c/export/block1.bin": binary_bytes(4097),
    "drives/c/export/big.bin": binary_bytes(5 << 20),
    "drives/c/export/report.doc": "the old report",
    "drives/c/export/notes.doc": "notes, newest",
    "drives/c/export/notes.txt": "notes, older text",
    "drives/c/export/dir/ReadMe.txt": "read me",  # listed in lower case
    "drives/c/export/dir/.hidden": "not listed",
    "drives/c/export/dir/Sub/inner.htm": "<p>inner</p>",
    "drives/c/export/dir/Sub/deeper/x.bin": binary_bytes(10),
    "drives/c/temp/korvane/parked.htm": "<p>kept by a program run</p>",
    "drives/c/temp/korvane/empty.htm": "<p>the fallback copy</p>",
    "drives/c/outside.htm": "outside the export folder",
}


class Documents(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.gw = Gateway(INI, HOME, test=cls)
        # report.txt is newer than report.doc; notes.txt is older than notes.doc.
        cls.gw.write("drives/c/export/report.txt", "the new report")
        old = time.time() - 3600
        os.utime(cls.gw.path("drives/c/export/notes.txt"), (old, old))

    def fetch(self, path, method="GET"):
        return split_answer(self.gw.get(path, method=method).raw)

    def test_heads_and_bodies_are_byte_exact(self):
        for method, path, ctype, body in [
                ("GET", "/", b"Text/HTML", b"<html>home</html>"),
                ("HEAD", "/docs/page.htm", b"Text/HTML", b"<p>the page</p>"),
                # A HEAD request is never split at "?" nor filled as a template.
                ("HEAD", "/greet.htm?x=1&who=Ada", b"Text/HTML", GREETING.encode()),
                ("GET", "/one.bin", BIN, binary_bytes(1)),
                ("GET", "/block.bin", BIN, binary_bytes(4096)),
                ("GET", "/block1.bin", BIN, binary_bytes(4097)),
                ("GET", "/big.bin", BIN, binary_bytes(5 << 20))]:
            with self.subTest(method=method, path=path):
                head, got = self.fetch(path, method)
                self.assertEqual(head, http_head(len(body), ctype, modified=True))
                self.assertTrue(got == (body if method == "GET" else b""), "bodies differ")
        # Last-Modified is the file's; documents are not copied to the recent page.
        mtime = time.gmtime(os.path.getmtime(self.gw.path("drives/c/export/docs/page.htm")))
        want = time.strftime("%a, ", mtime) + str(mtime.tm_mday) + time.strftime(" %b %Y %H:%M:%S", mtime)
        self.assertIn(b"\r\nLast-Modified: %s GMT\r\n" % want.encode(), self.gw.get("/docs/page.htm").raw)
        self.assertFalse(os.path.exists(self.gw.path("drives/c/temp/recent.htm")))

    def test_curl_http_client_and_a_raw_socket_at_once_each_get_their_file(self):
        def http_client(path):
            conn = http.client.HTTPConnection("127.0.0.1", self.gw.port, timeout=60)
            conn.request("GET", path)
            resp = conn.getresponse()
            got = (resp.status, resp.getheader("Content-Type"), resp.getheader("Content-Length")), resp.read()
            conn.close()
            return got

        clients = {"curl": lambda: curl("http://127.0.0.1:%d/big.bin" % self.gw.port).stdout,
                   "http.client": lambda: http_client("/block1.bin"),
                   "socket": lambda: self.fetch("/one.bin")[1]}
        got = in_parallel(lambda name: clients[name](), clients, 120)
        self.assertTrue(got["curl"] == binary_bytes(5 << 20))
        self.assertEqual(got["http.client"], ((200, "application/octet-stream", "4097"), binary_bytes(4097)))
        self.assertEqual(got["socket"], binary_bytes(1))

    def test_not_found_lines(self):
        for path, shown in [("/missing.htm", b""), ("/x/../docs/page.htm", b""), ("/..", b""),
                            ("/dir/../../outside.htm", b""), ("/..%5coutside.htm", b""), ("/docs", b""),
                            # Zero length is missing, also in the fallback folder.
                            ("/hollow.htm", b"C:\\temp\\korvane\\hollow.htm"),
                            # A pattern with an extension names a document, not a listing.
                            ("/dir/sub/*.htm", b"C:\\temp\\korvane\\*.htm"),
                            ("/dir/nothing/", b"c:\\export\\dir\\nothing\\")]:
            with self.subTest(path=path):
                self.assertEqual(self.gw.get(path).raw, b"requested document not found: %s\r\n" % shown)
        self.assertRegex(self.gw.get("/nopage.htm?x=1&who=Ada").raw,
                         rb"\Arequested document not found: C:\\temp\\korvane\\~dd[0-9A-F]+\.tmp\r\n\Z")

    def test_documents_found_by_another_name_or_in_another_folder(self):
        # A "\dir\" path is not checked by the router; a document missing
        # there comes from the folder where program runs park their outputs,
        # as does a copy of an empty document. A newer superseding file is
        # sent with its own type.
        for path, ctype, body in [("/Docs/Page", b"Text/HTML", b"<p>the page</p>"),
                                  ("/DOCS/PAGE.HTM", b"Text/HTML", b"<p>the page</p>"),
                                  ("/docs/Page.html", b"Text/HTML", b"<p>the page</p>"),
                                  ("/guide/start.htm", b"Text/HTML", b"<p>stored in mixed case</p>"),
                                  ("/dir/parked.htm", b"Text/HTML", b"<p>kept by a program run</p>"),
                                  ("/empty.htm", b"Text/HTML", b"<p>the fallback copy</p>"),
                                  ("/report.doc", b"text/plain", b"the new report"),
                                  ("/notes.doc", b"Text/HTML", b"notes, newest")]:
            with self.subTest(path=path):
                self.assertEqual(self.fetch(path), (http_head(len(body), ctype, True), body))

    def listing(self, url):
        """(text, base, links) of the listing a browser gets for url."""
        self.assertTrue(url.startswith("http://127.0.0.1/"), url)
        head, body = self.fetch(url[len("http://127.0.0.1"):])
        self.assertEqual(head, http_head(len(body), modified=True))
        text = body.decode("latin-1")
        return text, re.search(r"<base href='([^']*)'", text).group(1), re.findall(r"<br><a href='([^']*)'>", text)

    def follow(self, base, name):
        """The document a browser gets for a relative link on a page with base."""
        return self.fetch((base.rsplit("/", 1)[0] + "/" + name)[len("http://127.0.0.1"):])[1]

    def test_listing_links_lead_to_listings_and_documents(self):
        text, base, links = self.listing("http://127.0.0.1/dir/")
        self.assertEqual(text,
                         "<html><head><base href='http://127.0.0.1/dir/.'</base></head>\r\n"
                         "<h3>Directory of /dir/*.*</h3><pre>\r\n"
                         "<br><a href='http://127.0.0.1/dir/sub/'>http://127.0.0.1/dir/sub/</a>\r\n"
                         "<br><a href='readme.txt'>readme.txt</a>\r\n"
                         "</html>\r\n")
        self.assertEqual(self.follow(base, links[1]), b"read me")

        text, base, links = self.listing(links[0])
        self.assertIn("<h3>Directory of /dir/sub/*.*</h3><pre>\r\n"
                      "<br><a href='http://127.0.0.1/dir/'>Up one level</a>\r\n", text)
        self.assertEqual(links, ["http://127.0.0.1/dir/", "http://127.0.0.1/dir/sub/deeper/", "inner.htm"])
        self.assertEqual(self.follow(base, "inner.htm"), b"<p>inner</p>")
        _, base, links = self.listing(links[1])
        self.assertEqual(self.follow(base, links[-1]), binary_bytes(10))

        text, _, links = self.listing("http://127.0.0.1/dir/sub/IN*")
        self.assertIn("<h3>Directory of /dir/sub/in*</h3>", text)
        self.assertEqual(links, ["http://127.0.0.1/dir/", "inner.htm"])

    def test_template_is_filled_from_the_query_and_leaves_nothing_behind(self):
        raw = self.gw.ask(b"GET /greet.htm?form=1&who=Ada&town=Leeds+Town&end=1 HTTP/1.0\r\n\r\n").raw
        # The first item is never a field; the last keeps the rest of the request line; values stay raw.
        want = b"<h1>Hello, Ada from Leeds+Town!</h1>$form[1 HTTP/1.0\r\n]"
        self.assertEqual(split_answer(raw), (http_head(len(want), modified=True), want))
        self.assertEqual(self.gw.read("drives/c/export/greet.htm"), GREETING.encode())
        self.gw.get("/dir/")
        time.sleep(0.3)
        self.assertEqual(self.gw.temp_files(), [])
