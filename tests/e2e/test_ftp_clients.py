"""FTP mode with ModernClients=1: today's clients (ftplib, curl, lftp) in
active and passive mode, ls -l listings, CDUP, and the passive port range
and announced address for firewalls and NAT."""
import filecmp
import io
import os
import random
import re
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from ftp_gateway import Gateway
from gateway_process import read_all, write_file
from test_ftp import payload

# A three-level tree with names in mixed case, an empty file and files that
# span several 4096-byte blocks.
TREE = {"Top.bin": 70001, "empty.dat": 0, "Docs/Note.txt": 5, "Docs/Inner/deep.bin": 4097,
        "Docs/Inner/Leaf/last.bin": 300000, "Other/x.bin": 1}
LONG_LINE = re.compile(r"^([d-])[r-][w-][x-][r-]-[x-][r-]-[x-] 1 owner group (\d+) "
                       r"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d\d (\d\d:\d\d| \d{4}) (.+)$")


def tool(name):
    path = shutil.which(name)
    if not path:
        raise unittest.SkipTest(name + " is not installed")
    return path


class ModernFtpClientTests(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.gw = Gateway({"ModernClients": "1"}, test=cls)
        for name, size in TREE.items():
            cls.gw.put_export(name, payload(size) if size else b"")
        cls.gw.put_export(".hidden", b"x")
        old = os.path.join(cls.gw.export, "Other", "x.bin")
        os.utime(old, (1699963200, 1699963200))  # noon of Nov 14 2023 (UTC): shown with its year

    def url(self, path=""):
        return "ftp://127.0.0.1:%d/%s" % (self.gw.port, path)

    def mode_used(self, passive):
        """A check, to run after a client's transfers, that the gateway has
        logged one more PASV (or PORT) command than it had by now."""
        pattern = r"#\d+ PASV$" if passive else r"#\d+ PORT 127,0,0,1,"
        before = self.gw.count(pattern)
        return lambda: self.gw.wait_for_count(pattern, before + 1)

    def test_ftplib_moves_up_and_transfers_in_both_modes(self):
        ftp = self.gw.ftp("modern")
        self.assertEqual(ftp.cwd("Docs"), '250 "\\Docs" is current directory.')
        self.assertEqual(ftp.cwd("Inner"), '250 "\\Docs\\Inner" is current directory.')
        # ftplib sends CDUP for "..": answered as CWD .. is.
        self.assertEqual(ftp.cwd(".."), '250 "\\Docs" is current directory.')
        self.gw.wait_for_line(r"#\d+ CDUP$")
        self.assertEqual(ftp.cwd(".."), '250 "\\" is current directory.')
        self.assertEqual(ftp.cwd(".."), '250 "\\" is current directory.')
        for passive in (True, False):  # active: ftplib's data port is above 32767
            with self.subTest(passive=passive):
                ftp.set_pasv(passive)
                mode_used = self.mode_used(passive)
                out = io.BytesIO()
                ftp.retrbinary("RETR Docs\\Inner\\Leaf\\last.bin", out.write)
                self.assertTrue(out.getvalue() == payload(300000), "bytes differ")
                name = "up-%s.bin" % passive
                self.assertEqual(ftp.storbinary("STOR " + name, io.BytesIO(payload(9000))),
                                 "226 File store successful (9000 bytes).")
                self.assertTrue(self.gw.read_import(name) == payload(9000), "bytes differ")
                # NLST keeps the names-only form.
                self.assertEqual(ftp.nlst(), ["docs\\", "empty.dat", "other\\", "top.bin"])
                mode_used()
        ftp.quit()

    def test_port_numbers_and_addresses(self):
        ctl = self.gw.control()
        third = socket.create_server(("127.0.0.2", 0))  # a port above 32767: only the address decides
        third.settimeout(0.5)
        port = third.getsockname()[1]
        for argument, reply in [("127,0,0,1,128,0", "200 OK."),
                                ("127,0,0,1,255,255", "200 OK."),
                                ("127,0,0,1,256,0", "501 Port number is out of range."),
                                ("127,0,0,1,0,0", "501 Port number is out of range."),
                                ("10,0,0,5,200,1", "504 PORT refused: data connections go only to 127.0.0.1."),
                                ("127,0,0,2,%d,%d" % (port // 256, port % 256),
                                 "504 PORT refused: data connections go only to 127.0.0.1.")]:
            with self.subTest(argument=argument):
                self.assertEqual(ctl.cmd("PORT " + argument), reply)
        # The refused PORT left no data address behind: LIST connects to
        # the client's own port 20 (refused) and never to 127.0.0.2.
        self.assertEqual(ctl.cmd("LIST"), "150 OK, sending dir list.")
        self.assertEqual(ctl.line(), "425 Can't open data connection.")
        with self.assertRaises(socket.timeout):
            third.accept()
        third.close()
        self.assertEqual(ctl.cmd("PWD"), '257 "\\" is current directory.')
        ctl.close()

    def test_listing_is_ls_long_form(self):
        ctl = self.gw.control()
        listings = []
        for folder, ended in (("\\", "226 Current directory is ."), ("Other", "226 Current directory is \\Other.")):
            ctl.cmd("CWD " + folder)
            _, _, conn = ctl.pasv()
            with conn:
                self.assertEqual(ctl.cmd("LIST"), "150 OK, sending dir list.")
                listings.append(read_all(conn))
            self.assertEqual(ctl.line(), ended)
        ctl.close()
        lines = listings[0].decode("latin-1").split("\r\n")
        self.assertEqual(lines[-1], "")
        parsed = [LONG_LINE.match(line) for line in lines[:-1]]
        self.assertTrue(all(parsed), lines)
        self.assertEqual([(m.group(1), m.group(2), m.group(5)) for m in parsed],
                         [("d", "0", "Docs"), ("d", "0", "Other"), ("-", "70001", "Top.bin"),
                          ("-", "0", "empty.dat")])
        recent = time.localtime(os.stat(os.path.join(self.gw.export, "Top.bin")).st_mtime)
        self.assertIn("-rw-r--r-- 1 owner group 70001 %s Top.bin" % time.strftime("%b %d %H:%M", recent), lines)
        self.assertEqual(listings[1], b"-rw-r--r-- 1 owner group 1 Nov 14  2023 x.bin\r\n")

    def test_curl_lists_downloads_and_uploads_active_and_passive(self):
        curl = tool("curl")
        upload = os.path.join(self.gw.tmp.name, "curl-up.bin")
        write_file(upload, payload(100000))
        for mode in ([], ["-P", "-"]):
            with self.subTest(mode=mode):
                mode_used = self.mode_used(not mode)
                run = lambda *args: subprocess.run([curl, "-sS", "--max-time", "30", *mode, *args],
                                                   capture_output=True)
                got, listing, put = (run(self.url("Docs/Inner/deep.bin")), run(self.url("Docs/")),
                                     run("-T", upload, self.url()))
                for done in (got, listing, put):
                    self.assertEqual(done.returncode, 0, done.stderr)
                self.assertTrue(got.stdout == payload(4097), "bytes differ")
                self.assertRegex(listing.stdout.decode(), r"^drwxr-xr-x 1 owner group 0 .* Inner\r?\n"
                                                          r"-rw-r--r-- 1 owner group 5 .* Note.txt\r?\n$")
                self.assertTrue(self.gw.read_import("curl-up.bin") == payload(100000))
                os.remove(os.path.join(self.gw.import_, "curl-up.bin"))
                mode_used()

    def test_lftp_mirrors_the_tree_byte_for_byte(self):
        lftp = tool("lftp")
        for passive in ("on", "off"):
            with self.subTest(passive=passive), tempfile.TemporaryDirectory() as out:
                mode_used = self.mode_used(passive == "on")
                script = ("set net:max-retries 1; set net:timeout 10; set ftp:passive-mode %s; "
                          "mirror --no-perms / %s/tree; quit" % (passive, out))
                done = subprocess.run([lftp, "-u", "mirror,secret", "-e", script,
                                       "ftp://127.0.0.1:%d" % self.gw.port],
                                      capture_output=True, timeout=60)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assert_same_tree(self.gw.export, out + "/tree")
                mode_used()

    def assert_same_tree(self, source, copy):
        def files(top):
            found = {}
            for folder, dirs, names in os.walk(top):
                dirs[:] = [d for d in dirs if not d.startswith(".")]
                for name in names:
                    if not name.startswith("."):
                        found[os.path.relpath(os.path.join(folder, name), top)] = os.path.join(folder, name)
            return found
        want, got = files(source), files(copy)
        self.assertEqual(sorted(got), sorted(want))
        self.assertEqual(sorted(want), sorted(TREE))
        for name in want:
            self.assertTrue(filecmp.cmp(want[name], got[name], shallow=False), name)


class PassivePortTests(unittest.TestCase):
    """PassivePorts and PassiveAddress, as a gateway behind a firewall and NAT."""

    def test_range_and_announced_address(self):
        low = free_pair()
        gw = Gateway({"ModernClients": "1", "PassivePorts": "%d-%d" % (low, low + 1),
                      "PassiveAddress": "203.0.113.7"}, test=self)
        gw.put_export("a.txt", b"through the range")
        controls, seen = [gw.control() for _ in range(2)], set()
        for ctl in controls:
            reply = ctl.cmd("PASV")
            m = re.fullmatch(r"227 Entering Passive Mode \(203,0,113,7,(\d+),(\d+)\)\.", reply)
            self.assertTrue(m, reply)
            seen.add(int(m.group(1)) * 256 + int(m.group(2)))
        self.assertEqual(seen, {low, low + 1})
        # Both ports are taken: a third session hears so at once.
        third = gw.control()
        self.assertEqual(third.cmd("PASV"), "425 No free passive port in PassivePorts %d-%d." % (low, low + 1))
        self.assertEqual(third.cmd("LIST"), "150 OK, sending dir list.")
        self.assertEqual(third.line(), "425 Can't open data connection.")
        third.close()
        # The announced address is the outside one; the port is the real one.
        ctl = controls[0]
        m = re.search(r"(\d+),(\d+)\)", ctl.cmd("PASV"))
        port = int(m.group(1)) * 256 + int(m.group(2))
        self.assertIn(port, seen)
        conn = socket.create_connection(("127.0.0.1", port), timeout=30)
        self.assertTrue(ctl.cmd("RETR a.txt").startswith("150 "))
        self.assertEqual(read_all(conn), b"through the range")
        conn.close()
        self.assertTrue(ctl.line().startswith("226 "))
        for ctl in controls:
            ctl.close()


def free_pair():
    """The lower of two consecutive free loopback ports. They are looked for
    below the range the system picks ports from for connections: there, the
    odd ports were often still waiting after the connections of a suite run
    just before."""
    for _ in range(200):
        low = random.randint(20000, 32000)
        try:
            with socket.socket() as a, socket.socket() as b:
                a.bind(("127.0.0.1", low))
                b.bind(("127.0.0.1", low + 1))
            return low
        except OSError:
            continue
    raise RuntimeError("no two consecutive free ports")
