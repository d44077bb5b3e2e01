"""A multipart upload made by curl, a real client, to the gateway process:
its file data, which holds a line that only starts like the boundary, is
found where the request's FILEPT and NBYTES say, and an empty file part gets
its own counts. (PUT and the upload limits are checked in process by
http_head_test.cpp, form bodies by test_programs.py, and PUT paths that
climb by test_hostile.py.)"""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

from gateway_process import Gateway

INFO_LINE_LENGTH = 53  # "Content-Info:", 38 blanks, CR LF


class UploadTest(unittest.TestCase):
    @unittest.skipUnless(shutil.which("curl"), "curl is not installed")
    def test_curl_file_upload_is_located_by_filept_and_nbytes(self):
        gw = Gateway("[Variables]\r\nExpireSeconds=30\r\n", test=self)
        data = os.urandom(1 << 20) + b"\r\n--not the boundary\r\n"
        # An empty file rather than /dev/null: curl may send a file of unknown
        # size in chunks, and the gateway reads a multipart body by its length.
        with tempfile.NamedTemporaryFile(suffix=".bin") as f, tempfile.NamedTemporaryFile(suffix=".txt") as empty:
            f.write(data)
            f.flush()
            subprocess.run(
                ["curl", "-s", "-o", "/dev/null", "--max-time", "60", "-H", "Expect:",
                 "-F", "note=a&b", "-F", "file=@%s;filename=data.bin" % f.name,
                 "-F", "empty=@%s;filename=e.txt" % empty.name,
                 "http://127.0.0.1:%d/upload" % gw.port],
                check=False, timeout=90)
        # The router's query line carries the request string; it is printed
        # split at its line ends, so its second half is a line of its own.
        line = gw.wait_for_line(r"^\?&note=a%26b&file=data\.bin&FILEPT=", 30)
        m = re.fullmatch(
            r"\?&note=a%26b&file=data\.bin&FILEPT=(\d+)&NBYTES=(\d+)"
            r"&empty=e\.txt&FILEPT=\d+&NBYTES=0"
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
        # The session is given back and leaves no temporary file.
        gw.wait_for_line(r"#1 of \d+ detached", 30)
        self.assertEqual(gw.temp_files("~dd"), [])
