"""Uploads sent to the gateway process by real clients: a browser-style form
post, PUT bodies over a raw socket and a multipart upload made by curl."""

import glob
import os
import re
import socket
import subprocess
import tempfile
import unittest

from gateway_process import Gateway, read_all, which

INFO_LINE_LENGTH = 53  # "Content-Info:", 38 blanks, CR LF


class UploadTestCase(unittest.TestCase):
    def setUp(self):
        self.gw = Gateway("[Variables]\r\nExpireSeconds=30\r\n")
        os.makedirs(self.common(), exist_ok=True)

    def tearDown(self):
        stderr = self.gw.stop()
        self.assertNotIn("AddressSanitizer", stderr)
        self.assertNotIn("runtime error", stderr)

    def common(self, name=""):
        return os.path.join(self.gw.drives, "c/temp/common", name)

    def temp_files_left(self):
        return glob.glob(os.path.join(self.gw.drives, "c/temp/~dd*.tmp"))

    def send_keeping_open(self, data):
        """Sends data without closing the sending side, as a browser waits
        for its answer; returns what the gateway sent before closing."""
        with self.gw.connect() as s:
            s.settimeout(15)
            s.sendall(data)
            return read_all(s)

    def put(self, target, body):
        head = b"PUT %s\r\nContent-Length: %d\r\n\r\n" % (target, len(body))
        return self.send_keeping_open(head + body)


class FormPostTest(UploadTestCase):
    def test_body_without_final_line_end_completes_once(self):
        answer = self.send_keeping_open(
            b"POST /a HTTP/1.0\r\nContent-Length: 7\r\n\r\nx=1&y=2")
        self.assertNotEqual(answer, b"")
        self.assertNotIn(b"Program is unavailable", answer)
        self.gw.wait_for_line(r"#1 of \d+ detached")
        self.assertEqual(
            sum("to be detached by WWW_Process_Request_sendfile" in l for l in self.gw.lines), 1)
        # The router saw the form body joined to the request line.
        self.assertIn("&POST /a HTTP/1.0\r\n?\r\nx=1&y=2\r\n", self.gw.log_text())


class PutTest(UploadTestCase):
    def test_put_stores_the_body_behind_the_heads_blank_line(self):
        body = bytes(range(256)) * 64 + b"\r\nend of upload"
        self.assertEqual(self.put(b"s/common/Photo.RAW", body), b"200 OK\r\n")
        with open(self.common("photo.raw"), "rb") as f:
            self.assertEqual(f.read(), b"\r\n" + body)
        self.gw.wait_for_line(r"#1 to be detached by WWW_PutFIle")
        self.gw.wait_for_line(r"#1 of \d+ detached")
        self.assertEqual(self.temp_files_left(), [])

    def test_second_put_replaces_the_first(self):
        self.assertEqual(self.put(b"s/common/note.txt", b"a longer first text"), b"200 OK\r\n")
        self.assertEqual(self.put(b"s/common/note.txt", b"second"), b"200 OK\r\n")
        with open(self.common("note.txt"), "rb") as f:
            self.assertEqual(f.read(), b"\r\nsecond")

    def test_put_outside_common_is_refused_and_ends_the_session(self):
        answer = self.send_keeping_open(b"PUT /etc/passwd HTTP/1.0\r\nContent-Length: 4\r\n\r\nroot")
        self.assertEqual(answer, b"515 Can't PUT /etc/passwd HTTP/1.0\r\n\r\n")
        self.gw.wait_for_line(r"#1 to be detached by put")
        self.gw.wait_for_line(r"#1 of \d+ detached")
        self.assertEqual(self.temp_files_left(), [])

    def test_dot_dot_stays_inside_the_drive(self):
        name = "escape-%d.txt" % os.getpid()
        up = b"../" * 12
        self.assertEqual(self.put(b"s/common/" + up + name.encode(), b"xyz"), b"200 OK\r\n")
        # Climbing stops at the root of drive C:.
        with open(os.path.join(self.gw.drives, "c", name), "rb") as f:
            self.assertEqual(f.read(), b"\r\nxyz")
        for folder in (self.gw.home, os.path.dirname(self.gw.home), "/"):
            self.assertFalse(os.path.exists(os.path.join(folder, name)))

    def test_missing_folder_gets_the_failure_line(self):
        self.assertEqual(self.put(b"s/common/none/x.txt", b"abc"), b"515 Can't s/common/none/x.txt\r\n")
        self.gw.wait_for_line(r"#1 of \d+ detached")
        self.assertEqual(self.temp_files_left(), [])


@unittest.skipUnless(which("curl"), "curl is not installed")
class MultipartTest(UploadTestCase):
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
        line = self.gw.wait_for_line(r"^\?&note=a%26b&file=data\.bin&FILEPT=", 30)
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
        self.gw.wait_for_line(r"#1 of \d+ detached", 30)
        self.assertEqual(self.temp_files_left(), [])


if __name__ == "__main__":
    unittest.main()
