"""Documents, listings and templates from a running gateway, fetched by real
clients: a raw socket where bytes matter (heads, bare lines), curl and
http.client for bodies."""

import functools
import http.client
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest

BINARY = os.environ.get("KORVANE_BINARY", "")

DATE = r"(Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9]\d? (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d"

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


@functools.lru_cache(maxsize=None)
def binary_bytes(n):
    return bytes((i * 31 + i // 251) % 256 for i in range(n))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Gateway:
    """korvane on a temporary copy of a test home."""

    def __init__(self, home_files, port=None):
        self.tmp = tempfile.TemporaryDirectory(prefix="kvdocs.")
        self.home = self.tmp.name
        for name, content in home_files.items():
            self.write(name, content)
        self.port = port or free_port()
        self.lines = []
        self.listening = threading.Event()
        env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
        self.process = subprocess.Popen(
            [BINARY, "--home", self.home, "--link-dir", os.path.join(self.home, "links"),
             "--bind", "127.0.0.1:%d" % self.port, "LISTEN"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
        threading.Thread(target=self._read, daemon=True).start()
        if not self.listening.wait(30):
            self.stop()
            raise RuntimeError("gateway did not listen:\n" + "\n".join(self.lines))

    def _read(self):
        for raw in self.process.stdout:
            line = raw.decode("latin-1").rstrip("\r\n")
            self.lines.append(line)
            if "Listening on Port" in line:
                self.listening.set()

    def path(self, name):
        return os.path.join(self.home, *name.split("/"))

    def write(self, name, content):
        p = self.path(name)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(content if isinstance(content, bytes) else content.encode("latin-1"))

    def logged(self, text):
        return any(text in line for line in self.lines)

    def raw(self, request):
        """Sends request bytes and returns everything until the gateway closes."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=30) as s:
            s.sendall(request)
            chunks = []
            while True:
                b = s.recv(65536)
                if not b:
                    return b"".join(chunks)
                chunks.append(b)

    def get(self, path, method="GET"):
        return self.raw(("%s %s HTTP/1.0\r\nUser-Agent: test\r\n\r\n" % (method, path)).encode("latin-1"))

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
        self.tmp.cleanup()


def split(raw):
    head, _, body = raw.partition(b"\r\n\r\n")
    return head.decode("latin-1") + "\r\n", body


def expected_head(length, ctype, last_modified=True):
    lines = ["HTTP/1.1 200 OK", "Date: <date> GMT", "Server: Tarnwick 3.0g", "Connection: Close"]
    if last_modified:
        lines.append("Last-Modified: <date> GMT")
    lines += ["Content-Length: %d" % length, "Content-Type: %s" % ctype]
    return "".join(l + "\r\n" for l in lines)


def without_dates(head):
    return re.sub(DATE, "<date>", head)


HOME = {
    "korvane.ini": INI,
    "drives/c/export/.htm": "<html>home</html>",
    "drives/c/export/docs/page.htm": "<p>the page</p>",
    "drives/c/export/greet.htm": "<h1>Hello, $who from $town!</h1>[$end]",
    "drives/c/export/empty.htm": "",
    "drives/c/export/one.bin": binary_bytes(1),
    "drives/c/export/block.bin": binary_bytes(4096),
    "drives/c/export/block1.bin": binary_bytes(4097),
    "drives/c/export/big.bin": binary_bytes(5 << 20),
    "drives/c/export/report.doc": "the old report",
    "drives/c/export/notes.doc": "notes, newest",
    "drives/c/export/notes.txt": "notes, older text",
    "drives/c/export/dir/readme.txt": "read me",
    "drives/c/export/dir/Sub/inner.htm": "<p>inner</p>",
    "drives/c/export/dir/Sub/deeper/x.bin": binary_bytes(10),
    "drives/c/temp/korvane/parked.htm": "<p>kept by a program run</p>",
    "drives/c/temp/korvane/empty.htm": "<p>the fallback copy</p>",
    "drives/c/outside.htm": "outside the export folder",
}


class Documents(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not BINARY:
            raise unittest.SkipTest("KORVANE_BINARY is not set")
        cls.gw = Gateway(HOME)
        # report.txt is newer than report.doc; notes.txt is older than notes.doc.
        cls.gw.write("drives/c/export/report.txt", "the new report")
        old = time.time() - 3600
        os.utime(cls.gw.path("drives/c/export/notes.txt"), (old, old))

    @classmethod
    def tearDownClass(cls):
        cls.gw.stop()

    def curl(self, path, *options):
        return subprocess.run(["curl", "-s", "--max-time", "60", *options,
                               "http://127.0.0.1:%d%s" % (self.gw.port, path)],
                              capture_output=True, check=True).stdout

    # Heads and bodies.

    def test_home_page_head_and_body_are_byte_exact(self):
        head, body = split(self.gw.get("/"))
        self.assertEqual(without_dates(head), expected_head(17, "Text/HTML"))
        self.assertEqual(body, b"<html>home</html>")

    def test_head_requests_get_the_whole_head_and_no_body(self):
        raw = self.gw.get("/docs/page.htm", "HEAD")
        head, body = split(raw)
        self.assertEqual(without_dates(head), expected_head(15, "Text/HTML"))
        self.assertEqual(body, b"")
        # A HEAD request is never split at "?" nor filled as a template.
        head, body = split(self.gw.get("/greet.htm?x=1&who=Ada", "HEAD"))
        self.assertEqual(without_dates(head), expected_head(len(HOME["drives/c/export/greet.htm"]), "Text/HTML"))
        self.assertEqual(body, b"")

    def test_dates_have_the_fixed_form_and_last_modified_is_the_files(self):
        head, _ = split(self.gw.get("/docs/page.htm"))
        mtime = os.path.getmtime(self.gw.path("drives/c/export/docs/page.htm"))
        want = time.strftime("%a, ", time.gmtime(mtime)) + str(time.gmtime(mtime).tm_mday) + \
            time.strftime(" %b %Y %H:%M:%S", time.gmtime(mtime))
        self.assertIn("\r\nLast-Modified: %s GMT\r\n" % want, head)
        self.assertRegex(head, r"\r\nDate: %s GMT\r\n" % DATE)

    def test_binary_bodies_arrive_whole_at_block_boundaries(self):
        for name, size in (("one", 1), ("block", 4096), ("block1", 4097), ("big", 5 << 20)):
            with self.subTest(name=name):
                head, body = split(self.gw.get("/%s.bin" % name))
                self.assertEqual(without_dates(head), expected_head(size, "application/octet-stream"))
                self.assertEqual(body, binary_bytes(size))

    def test_curl_and_http_client_read_the_same_bytes(self):
        big = binary_bytes(5 << 20)
        self.assertEqual(self.curl("/big.bin"), big)
        conn = http.client.HTTPConnection("127.0.0.1", self.gw.port, timeout=60)
        conn.request("GET", "/block1.bin")
        resp = conn.getresponse()
        self.assertEqual(resp.status, 200)
        self.assertEqual(resp.getheader("Content-Type"), "application/octet-stream")
        self.assertEqual(resp.getheader("Content-Length"), "4097")
        self.assertEqual(resp.read(), binary_bytes(4097))
        conn.close()

    def test_several_clients_at_once_each_get_their_file(self):
        results = {}

        def fetch(name):
            results[name] = split(self.gw.get("/%s.bin" % name))[1]

        threads = [threading.Thread(target=fetch, args=(n,)) for n in ("big", "block", "one")]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        self.assertEqual(results["big"], binary_bytes(5 << 20))
        self.assertEqual(results["block"], binary_bytes(4096))
        self.assertEqual(results["one"], binary_bytes(1))

    # Not found.

    def test_missing_parent_and_outside_paths_get_the_bare_line(self):
        for path in ("/missing.htm", "/x/../docs/page.htm", "/..", "/dir/../../outside.htm",
                     "/..%5coutside.htm", "/docs"):
            with self.subTest(path=path):
                self.assertEqual(self.gw.get(path), b"requested document not found: \r\n")

    def test_zero_length_document_is_not_found_unless_parked(self):
        # empty.htm is empty in the export folder; its fallback copy is sent.
        head, body = split(self.gw.get("/empty.htm"))
        self.assertEqual(body, b"<p>the fallback copy</p>")
        self.gw.write("drives/c/export/hollow.htm", "")
        self.assertEqual(self.gw.get("/hollow.htm"),
                         b"requested document not found: C:\\temp\\korvane\\hollow.htm\r\n")

    def test_fallback_folder_serves_documents_below_dir(self):
        # A "\dir\" path is not checked by the router; a document missing
        # there comes from the folder where program runs park their outputs.
        head, body = split(self.gw.get("/dir/parked.htm"))
        self.assertEqual(without_dates(head), expected_head(28, "Text/HTML"))
        self.assertEqual(body, b"<p>kept by a program run</p>")

    # Look-up rules and configuration.

    def test_lookup_ignores_case_and_adds_htm(self):
        for path in ("/Docs/Page", "/DOCS/PAGE.HTM", "/docs/Page.html"):
            with self.subTest(path=path):
                self.assertEqual(split(self.gw.get(path))[1], b"<p>the page</p>")

    def test_newer_superseding_file_is_sent_with_its_own_type(self):
        head, body = split(self.gw.get("/report.doc"))
        self.assertEqual(body, b"the new report")
        self.assertIn("\r\nContent-Type: text/plain\r\n", head)
        head, body = split(self.gw.get("/notes.doc"))
        self.assertEqual(body, b"notes, newest")
        self.assertIn("\r\nContent-Type: Text/HTML\r\n", head)

    def test_documents_are_not_copied_to_the_recent_page(self):
        self.gw.get("/docs/page.htm")
        self.assertFalse(os.path.exists(self.gw.path("drives/c/temp/recent.htm")))

    # Listings.

    def listing_links(self, text):
        base = re.search(r"<base href='([^']*)'", text).group(1)
        links = re.findall(r"<br><a href='([^']*)'>", text)
        return base, links

    def follow(self, base, link):
        """The path a browser would request for link on a page with base."""
        url = link if link.startswith("http://") else base.rsplit("/", 1)[0] + "/" + link
        self.assertTrue(url.startswith("http://127.0.0.1/"), url)
        return url[len("http://127.0.0.1"):]

    def test_listing_links_lead_to_listings_and_documents(self):
        head, body = split(self.gw.get("/dir/"))
        self.assertEqual(without_dates(head), expected_head(len(body), "Text/HTML"))
        text = body.decode("latin-1")
        self.assertEqual(text,
                         "<html><head><base href='http://127.0.0.1/dir/.'</base></head>\r\n"
                         "<h3>Directory of /dir/*.*</h3><pre>\r\n"
                         "<br><a href='http://127.0.0.1/dir/sub/'>http://127.0.0.1/dir/sub/</a>\r\n"
                         "<br><a href='readme.txt'>readme.txt</a>\r\n"
                         "</html>\r\n")
        base, links = self.listing_links(text)
        self.assertEqual(split(self.gw.get(self.follow(base, links[1])))[1], b"read me")

        sub = split(self.gw.get(self.follow(base, links[0])))[1].decode("latin-1")
        self.assertIn("<h3>Directory of /dir/sub/*.*</h3><pre>\r\n"
                      "<br><a href='http://127.0.0.1/dir/'>Up one level</a>\r\n", sub)
        base, links = self.listing_links(sub)
        self.assertEqual(links, ["http://127.0.0.1/dir/", "http://127.0.0.1/dir/sub/deeper/", "inner.htm"])
        self.assertEqual(split(self.gw.get(self.follow(base, "inner.htm")))[1], b"<p>inner</p>")
        deeper = split(self.gw.get(self.follow(base, links[1])))[1].decode("latin-1")
        base, links = self.listing_links(deeper)
        self.assertEqual(split(self.gw.get(self.follow(base, links[-1])))[1], binary_bytes(10))

    def test_listing_by_pattern_and_of_a_missing_folder(self):
        text = split(self.gw.get("/dir/sub/IN*"))[1].decode("latin-1")
        self.assertIn("<h3>Directory of /dir/sub/in*</h3>", text)
        self.assertEqual(self.listing_links(text)[1], ["http://127.0.0.1/dir/", "inner.htm"])
        # A pattern with an extension names a document, not a listing.
        self.assertEqual(self.gw.get("/dir/sub/*.htm"),
                         b"requested document not found: C:\\temp\\korvane\\*.htm\r\n")
        self.assertEqual(self.gw.get("/dir/nothing/"),
                         b"requested document not found: c:\\export\\dir\\nothing\\\r\n")

    # Templates.

    def test_template_is_filled_from_the_query(self):
        raw = self.gw.raw(b"GET /greet.htm?form=1&who=Ada&town=Leeds+Town&end=1 HTTP/1.0\r\n\r\n")
        head, body = split(raw)
        # The last field keeps the rest of the request line; values stay raw.
        want = b"<h1>Hello, Ada from Leeds+Town!</h1>[1 HTTP/1.0\r\n]"
        self.assertEqual(without_dates(head), expected_head(len(want), "Text/HTML"))
        self.assertEqual(body, want)
        # The template itself is unchanged, and the filled copy is gone.
        with open(self.gw.path("drives/c/export/greet.htm"), "rb") as f:
            self.assertEqual(f.read(), b"<h1>Hello, $who from $town!</h1>[$end]")

    def test_template_of_a_missing_page_is_not_found(self):
        raw = self.gw.get("/nopage.htm?x=1&who=Ada")
        self.assertTrue(raw.startswith(b"requested document not found: C:\\temp\\korvane\\~dd"), raw)

    def test_no_temporary_files_are_left_behind(self):
        self.gw.get("/greet.htm?x=1&who=Bo")
        self.gw.get("/dir/")
        time.sleep(0.3)
        leftovers = [n for n in os.listdir(self.gw.path("drives/c/temp")) if n.endswith(".tmp")]
        self.assertEqual(leftovers, [])


if __name__ == "__main__":
    unittest.main()
