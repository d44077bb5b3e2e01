"""Uploads sent to the gateway process by real clients: a browser-style form
post, PUT bodies over a raw socket and a multipart upload made by curl. The
client never closes its sending side, as a browser waits for its answer."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

from gateway_process import Gateway

INFO_LINE_LENGTH = 53  # "Content-Info:", 38 blanks, CR LF


class UploadTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.gw = Gateway("[Variables]\r\nExpireSeconds=30\r\n")
        os.makedirs(cls.gw.path("drives/c/temp/common"))

    @classmethod
    def tearDownClass(cls):
        cls.gw.stop()

    def setUp(self):
        self.since = len(self.gw.lines)

    def wait_for_the_end(self, reason=None):
        """Waits until the session was given back (ended for reason), and
        checks that it left no temporary file."""
        if reason:
            self.gw.wait_for_line(r"#1 to be detached by " + reason, since=self.since)
        self.gw.wait_for_line(r"#1 of \d+ detached", 30, self.since)
        self.assertEqual(self.gw.temp_files("~dd"), [])

    def test_form_body_without_final_line_end_completes_once(self):
        answer = self.gw.ask(b"POST /a HTTP/1.0\r\nContent-Length: 7\r\n\r\nx=1&y=2").raw
        self.assertNotEqual(answer, b"")
        self.assertNotIn(b"Program is unavailable", answer)
        self.wait_for_the_end()
        self.assertEqual(
            sum("to be detached by WWW_Process_Request_sendfile" in l for l in self.gw.lines[self.since:]), 1)
        # The router saw the form body joined to the request line.
        self.assertIn("&POST /a HTTP/1.0\r\n?\r\nx=1&y=2\r\n", self.gw.log_text())

    def test_put(self):
        body = bytes(range(256)) * 64 + b"\r\nend of upload"
        escape = "escape-%d.txt" % os.getpid()
        for target, data, reply, stored, reason in [
                (b"s/common/Photo.RAW", body, b"200 OK\r\n", "c/temp/common/photo.raw", "WWW_PutFIle"),
                # A name that climbs is refused.
                (b"s/common/" + b"../" * 12 + escape.encode(), b"xyz",
                 b"515 Can't PUT s/common/" + b"../" * 12 + escape.encode() + b"\r\n\r\n", None, "put"),
                (b"s/common/none/x.txt", b"abc", b"515 Can't s/common/none/x.txt\r\n", None, None),
                (b"/etc/passwd HTTP/1.0", b"root", b"515 Can't PUT /etc/passwd HTTP/1.0\r\n\r\n", None, "put")]:
            with self.subTest(target=target):
                self.since = len(self.gw.lines)
                head = b"PUT %s\r\nContent-Length: %d\r\n\r\n" % (target, len(data))
                self.assertEqual(self.gw.ask(head + data).raw, reply)
                if stored:
                    # The stored file starts at the head's blank line.
                    self.assertEqual(self.gw.read("drives/" + stored), b"\r\n" + data)
                self.wait_for_the_end(reason)
        for folder in (self.gw.home, os.path.dirname(self.gw.home), "/", self.gw.path("drives/c")):
            self.assertFalse(os.path.exists(os.path.join(folder, escape)))

    @unittest.skipUnless(shutil.which("curl"), "curl is not installed")
    def test_curl_file_upload_is_located_by_filept_and_nbytes(self):
        data = os.urandom(1 << 20)
        with tempfile.NamedTemporaryFile(suffix=".bin") as f:
            f.write(data)
            f.flush()
            subprocess.run(
                ["curl", "-s", "-o", "/dev/null", "--max-time", "60", "-H", "Expect:",
                 "-F", "note=a&b", "-F", "file=@%s;filename=data.bin" % f.name,
                 "http://127.0.0.1:%d/upload" % self.gw.port],
                check=False, timeout=90)
        # The router's query line carries the request string; it is printed
        # split at its line ends, so its second half is a line of its own.
        line = self.gw.wait_for_line(r"^\?&note=a%26b&file=data\.bin&FILEPT=", 30, self.since)
        m = re.fullmatch(
            r"\?&note=a%26b&file=data\.bin&FILEPT=(\d+)&NBYTES=(\d+)"
            r"&TEMPFILE=C:\\temp\\~dd[0-9A-F]+\.tmp"
            r"&CONTENTTYPE=multipart/form-data; boundary=(\S+)", line)
        self.assertIsNotNone(m, line)
        filept, nbytes, boundary = int(m.group(1)), int(m.group(2)), m.group(3).encode()
        self.assertEqual(nbytes, len(data))
        # The data starts after what curl sends before it, plus the blank
        # line that ended the head and the info line.
        before = (b"\r\n--" + boundary + b"\r\n"
                  b"Content-Disposition: form-data; name=\"note\"\r\n\r\na&b\r\n"
                  b"--" + boundary + b"\r\n"
                  b"Content-Disposition: form-data; name=\"file\"; filename=\"data.bin\"\r\n"
                  b"Content-Type: application/octet-stream\r\n\r\n")
        self.assertEqual(filept, len(before) + INFO_LINE_LENGTH + 1)
        self.wait_for_the_end()


if __name__ == "__main__":
    unittest.main()
