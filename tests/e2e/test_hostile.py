"""The gateway in a hostile world: paths that try to leave their folders
(".." in every spelling, drive letters, symlinks out of and within the
drives) on every road of HTTP and FTP, FTP bounce and data theft,
concurrent uploads around the body limit, a full disk, idle FTP sessions and
a served program killed mid-request (floods of abusive connections are in
test_robustness.py). Every probe counts its attempts; escapes and losses
must be zero."""

import contextlib
import os
import re
import signal
import socket
import subprocess
import sys
import time
import unittest

import ftp_gateway
from gateway_process import UNAVAILABLE, Gateway, in_parallel, processes_with, read_all, wait_until

SECRET = b"SECRET-OUTSIDE"
SECRET_C = b"SECRET-DRIVE-C"
REAL = b"<p>the real page</p>"

# Ways of saying "go up", as clients could send them.
CLIMBS = ["..", "..\\..", "../..", "\\..", "/..", "x\\..\\..", "x/../..", ".\\..\\..", "..\\..\\..\\..\\..\\..",
          "..%5c..", "%2e%2e", "%2e%2e/%2e%2e", "..\\\\..", "...\\..", "c:\\..", "c:..", "\\\\..\\..",
          "./../.", "x\\..\\..\\..\\x\\..\\.."]
# What lies above: in drive C: (not exported), beside the drives, beyond the home.
TARGETS = ["secret.txt", "..\\outside\\secret.txt", "..\\..\\outside\\secret.txt", "korvane.ini"]


def outside_files(top, skip):
    """name -> (size, mtime) of every file below top outside the folders skip."""
    seen = {}
    for folder, dirs, files in os.walk(top):
        dirs[:] = [d for d in dirs if os.path.join(folder, d) not in skip]
        for name in files:
            st = os.lstat(os.path.join(folder, name))
            seen[os.path.join(folder, name)] = (st.st_size, st.st_mtime_ns)
    return seen


def small_disk(test, folder):
    """Makes folder a 256 KiB tmpfs for the test's duration (skips the test
    where that needs root it does not have)."""
    os.makedirs(folder)
    if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", folder],
                                           capture_output=True).returncode != 0:
        test.skipTest("cannot mount a small tmpfs here (needs root)")
    test.addCleanup(subprocess.run, ["umount", "-l", folder])
    return folder


def plant(gw, export):
    """Secrets outside the export folder and symlinks out of and within the drives."""
    outside = os.path.join(gw.tmp.name, "outside")
    gw.write("../outside/secret.txt", SECRET)
    gw.write("drives/c/secret.txt", SECRET_C)
    gw.write(os.path.join(export, "real.htm"), REAL)
    links = {"outdir": outside, "outfile.htm": os.path.join(outside, "secret.txt"), "etc": "/etc",
             "rootlink": "/", "up.htm": "../../../../outside/secret.txt",
             "abs_in.htm": gw.path(os.path.join(export, "real.htm")), "rel_in.htm": "real.htm",
             "dir/escape": outside}
    os.makedirs(gw.path(os.path.join(export, "dir")))
    for name, target in links.items():
        os.symlink(target, gw.path(os.path.join(export, name)))
    return outside


def assert_nothing_leaked(test, received):
    for secret in (SECRET, SECRET_C, b"root:", b"[Variables]"):
        test.assertNotIn(secret, received)


@unittest.skipUnless(os.path.exists("/proc/self/fd"), "needs /proc")
class HttpHostileTest(unittest.TestCase):
    """One web gateway: hostile paths, uploads around the limit, a full disk
    and a served program killed mid-request."""

    LIMIT = 3000000

    @classmethod
    def setUpClass(cls):
        here = os.path.dirname(os.path.abspath(__file__))
        cls.gw = Gateway("[Variables]\nMaxUsers=80\nExpireSeconds=30\nMaxFileLength=%d\n\n[Topics]\nhold=page\n\n"
                         "[hold]\nEXE=hold.sh\nAutoStart=1\n" % cls.LIMIT, test=cls)
        # A served program the gateway starts; it holds its first request.
        cls.gw.write("hold.sh", "#!/bin/sh\nexec %s %s %s hold page holdfirst %s\n" % (
            sys.executable, os.path.join(here, "link_client.py"), cls.gw.path("links"),
            cls.gw.path("drives/c/temp")), executable=True)
        os.makedirs(cls.gw.path("drives/c/temp/common"))
        cls.outside = plant(cls.gw, "drives/c/export")
        os.symlink(cls.outside, cls.gw.path("drives/c/temp/common/outlink"))
        cls.attempts = {}
        cls.addClassCleanup(cls.gw.end_started)  # before the gateway stops

    def count(self, probe, n=1):
        self.attempts[probe] = self.attempts.get(probe, 0) + n

    def test_hostile_paths_stay_beneath_their_folders(self):
        skip = {self.gw.path("drives/c/temp"), self.gw.path("drives/c/export")}
        before = outside_files(self.gw.tmp.name, skip)
        received = b""
        paths = ["/" + c + "/" + t for c in CLIMBS for t in TARGETS]
        paths += ["/outfile.htm", "/outdir/secret.txt", "/etc/passwd", "/rootlink/etc/passwd", "/up.htm",
                  "/dir/escape/", "/dir/escape/secret.txt", "/c:/secret.txt", "/c:\\secret.txt",
                  "/dir/../../secret.txt", "/DIR/ESCAPE/", "/OUTFILE.HTM"]
        for path in paths:
            for method in ("GET", "HEAD"):
                answer = self.gw.get(path, method=method)
                received += answer.raw
                # A head for a file outside (listings under /dir/ aside, which always have one).
                self.assertFalse(answer.ok and method == "HEAD" and "/dir/" not in path.lower(), path)
                self.count("HTTP GET/HEAD paths")
        # A listing of the folder that holds the symlinks shows none that leads out.
        self.assertNotIn(b"escape", self.gw.get("/dir/").raw)
        for climb in CLIMBS + ["outlink", "outlink\\x"]:
            target = "s/common/%s/pwn.txt" % climb
            raw = self.gw.ask("PUT %s\r\nContent-Length: 5\r\n\r\nPWNED" % target).raw
            self.assertTrue(raw.startswith(b"515 Can't "), (target, raw))
            self.count("HTTP PUT paths")
        assert_nothing_leaked(self, received)
        self.assertEqual(outside_files(self.gw.tmp.name, skip), before)
        self.assertEqual(os.listdir(self.outside), ["secret.txt"])
        # Symlinks that stay inside the drives still work.
        for path in ("/abs_in.htm", "/rel_in.htm"):
            self.assertEqual(self.gw.get(path).body, REAL, path)
        self.assertGreaterEqual(sum(self.attempts.values()), 150)
        print("\nhostile HTTP: %r, escapes 0" % self.attempts, file=sys.stderr)

    def test_concurrent_uploads_are_exact_or_refused(self):
        sizes = [int(1024 * (5 * 1024) ** (i / 49)) for i in range(50)]  # 1 KiB to 5 MiB

        def upload(i):
            data = bytes((j * 7 + i) % 251 for j in range(4096)).replace(b"\n", b"\r\n")[:4096]
            data = (data * (sizes[i] // 4096 + 1))[:sizes[i]]
            with self.gw.connect() as s:
                s.settimeout(120)
                s.sendall(b"PUT s/common/up%02d.bin\r\nContent-Length: %d\r\n\r\n" % (i, sizes[i]))
                if sizes[i] <= self.LIMIT:
                    s.sendall(data)
                return data, read_all(s)

        refused = 0
        for i, (data, reply) in in_parallel(upload, range(50)).items():
            name = "s/common/up%02d.bin" % i
            if sizes[i] <= self.LIMIT:
                self.assertEqual(reply, b"200 OK\r\n", i)
                self.assertTrue(self.gw.read("drives/c/temp/common/up%02d.bin" % i) == b"\r\n" + data,
                                "upload %d is not byte-exact" % i)
            else:
                self.assertEqual(reply, b"515 Can't %s\r\n" % name.encode())
                self.assertFalse(os.path.exists(self.gw.path("drives/c/temp/" + name[2:])))
                refused += 1
        self.gw.wait_for_count(r"body of \d+ bytes refused: MaxFileLength is 3000000", refused)
        self.assertEqual([n for n in os.listdir(self.gw.path("drives/c/temp/common")) if n.endswith(".tmp")], [])
        print("\nuploads: %d accepted byte-exact, %d refused, 0 lost" % (50 - refused, refused), file=sys.stderr)

    def test_full_disk_leaves_the_old_file_or_none(self):
        common = small_disk(self, self.gw.path("drives/c/temp/common/full"))
        self.gw.write("drives/c/temp/common/full/keep.txt", b"old content")
        for name in (b"keep.txt", b"new.txt"):
            raw = self.gw.ask(b"PUT s/common/full/%s\r\nContent-Length: 400000\r\n\r\n" % name
                              + b"x" * 400000).raw
            self.assertEqual(raw, b"515 Can't s/common/full/%s\r\n" % name)
        self.assertEqual(os.listdir(common), ["keep.txt"])
        self.assertEqual(self.gw.read("drives/c/temp/common/full/keep.txt"), b"old content")

    def test_program_killed_mid_request(self):
        marker = self.gw.path("drives/c/temp/.held")
        with self.gw.connect() as s:
            s.settimeout(60)
            s.sendall(b"GET /hold/page?q=1 HTTP/1.0\r\n\r\n")
            wait_until(lambda: os.path.exists(marker), 30, "the program to hold the request")
            programs = [p for p in processes_with("holdfirst") if p != self.gw.process.pid]
            self.assertEqual(len(programs), 1)
            os.kill(programs[0], signal.SIGKILL)
            started = time.monotonic()
            raw = read_all(s)
        self.assertEqual(raw, b"Error: DDE method invoked with no channel open\r\n" + UNAVAILABLE)
        self.assertLess(time.monotonic() - started, 10)  # not the 30 s expiry
        # The next request starts the program again and gets its page.
        self.assertEqual(self.gw.get("/hold/page?q=2", timeout=60).body, b"<p>hold answered 2</p>")
        print("\nkill -9 mid-request: answered in %.1f s, program restarted" % (time.monotonic() - started),
              file=sys.stderr)


class FtpHostileTest(unittest.TestCase):
    """One FTP gateway with short login and idle limits."""

    @staticmethod
    def planted(variables, test):
        """An FTP gateway with the secrets and symlinks planted, and an
        export folder whose import twin is a symlink out of the drives."""
        gw = ftp_gateway.Gateway(variables, test=test)
        outside = plant(gw, "drives/c/export")
        os.makedirs(gw.path("drives/c/export/outlink"))
        os.symlink(outside, gw.path("drives/c/import/outlink"))
        return gw, outside

    @classmethod
    def setUpClass(cls):
        cls.gw, cls.outside = cls.planted({"FtpLoginSeconds": "1", "FtpIdleSeconds": "3", "MaxUsers": "6",
                                           "MaxPerAddress": "4"}, cls)

    def run_data(self, ctl, command, payload=b"PWNED"):
        """Runs a data command over PASV; returns (reply lines, bytes received)."""
        _, _, conn = ctl.pasv()
        with conn:
            first = ctl.cmd(command)
            if not first.startswith("150"):
                return [first], b""
            if command.startswith("STOR"):
                conn.sendall(payload)
                conn.close()
                return [first, ctl.line()], b""
            data = read_all(conn)
        return [first, ctl.line()], data

    def test_hostile_paths_stay_beneath_their_folders(self):
        # ModernClients=1 takes "/" for a folder separator as well.
        modern, outside = self.planted({"ModernClients": "1"}, self)
        for gw, out in ((self.gw, self.outside), (modern, outside)):
            with self.subTest(modern=gw is modern):
                self.check_paths_stay_inside(gw, out, gw is modern)

    def check_paths_stay_inside(self, gw, outside, modern):
        skip = {gw.path("drives/c/temp"), gw.path("drives/c/import")}
        before = outside_files(gw.tmp.name, skip)
        evil = "/tmp/korvane-evil-%d-%d" % (os.getpid(), gw.port)
        attempts, received = 0, b""
        ctl = gw.control()
        cwds = CLIMBS + ["outdir", "etc", "rootlink", "dir\\escape", "\\..\\..\\..", "c:\\", "d:\\", "/etc",
                         "\\\\server\\share"] + (["/"] if modern else [])  # plain FTP takes "/" for a name
        for cwd in cwds:
            reply = ctl.cmd("CWD " + cwd)
            self.assertTrue(reply.startswith("550 ") or reply == '250 "\\" is current directory.', (cwd, reply))
            self.assertEqual(ctl.cmd("PWD"), '257 "\\" is current directory.', cwd)
            data = self.run_data(ctl, "LIST")[1]
            received += data
            self.assertNotIn(b"export\\", data)
            self.assertNotIn(b"secret.txt", data)
        names = [c + "\\" + t for c in CLIMBS for t in TARGETS] + [
            "outfile.htm", "outdir\\secret.txt", "etc\\passwd", "rootlink\\etc\\passwd", "up.htm",
            "dir\\escape\\secret.txt", "c:\\secret.txt", "\\..\\secret.txt", "/etc/passwd",
            "\\korvane.ini", "/proc/self/environ", "d:\\secret.txt"]
        for name in names:
            lines, data = self.run_data(ctl, "RETR " + name)
            self.assertTrue(lines[0].startswith("550 "), (name, lines))
            received += data
        stors = [c + "\\pwn.txt" for c in CLIMBS] + ["outlink\\pwn.txt", "..\\export\\real.htm"]
        for name in stors:
            lines, _ = self.run_data(ctl, "STOR " + name)
            self.assertTrue(lines[-1].startswith("550 "), (name, lines))
        for name in (evil, "d:\\pwn.txt"):  # whatever the reply, nothing lands outside
            self.run_data(ctl, "STOR " + name)
            self.assertEqual(ctl.cmd("PWD"), '257 "\\" is current directory.')
        # From a folder whose import twin is a symlink out of the drives.
        self.assertEqual(ctl.cmd("CWD outlink"), '250 "\\outlink" is current directory.')
        self.assertTrue(self.run_data(ctl, "STOR pwn.txt")[0][-1].startswith("550 "))
        self.assertEqual(ctl.cmd("CWD .."), '250 "\\" is current directory.')
        # Symlinks that stay inside the drives still work.
        for name in ("abs_in.htm", "rel_in.htm"):
            self.assertEqual(self.run_data(ctl, "RETR " + name)[1], REAL)
        ctl.close()
        assert_nothing_leaked(self, received)
        self.assertEqual(outside_files(gw.tmp.name, skip), before)
        self.assertEqual(os.listdir(outside), ["secret.txt"])
        self.assertEqual(gw.read("drives/c/export/real.htm"), REAL)
        self.assertFalse(os.path.exists(evil))
        attempts = len(cwds) + len(names) + len(stors) + 3
        self.assertGreaterEqual(attempts, 120)
        print("\nhostile FTP: %d attempts, escapes 0" % attempts, file=sys.stderr)

    def test_port_bounce_and_pasv_theft(self):
        third = ftp_gateway.listen_below_32768("127.0.0.2", 0.3)
        port = third.getsockname()[1]
        ctl = self.gw.control()
        hosts = ["127,0,0,2", "10,0,0,5", "0,0,0,0", "255,255,255,255", "127,0,0,01x", "localhost,1,2,3"]
        for host in hosts:
            command = "PORT %s,%d,%d" % (host, port // 256, port % 256)
            self.assertEqual(ctl.cmd(command), "500 Command not understood: %s." % command)
        self.gw.wait_for_count(r"PORT refused: ", len(hosts))
        with self.assertRaises(socket.timeout):
            third.accept()
        third.close()
        # A second host that reaches the PASV port first is turned away.
        stolen = b""
        for attempt in range(10):
            m = re.search(r",(\d+),(\d+)\)", ctl.cmd("PASV"))
            pasv_port = int(m.group(1)) * 256 + int(m.group(2))
            thief = socket.create_connection(("127.0.0.1", pasv_port), timeout=5, source_address=("127.0.0.2", 0))
            self.gw.wait_for_count(r"data connection from 127\.0\.0\.2 refused", attempt + 1)
            with socket.create_connection(("127.0.0.1", pasv_port), timeout=30) as mine:
                self.assertTrue(ctl.cmd("RETR real.htm").startswith("150 "))
                self.assertEqual(read_all(mine), REAL)
            self.assertTrue(ctl.line().startswith("226 "))
            with thief, contextlib.suppress(ConnectionResetError):
                stolen += read_all(thief)
        ctl.close()
        self.assertEqual(stolen, b"")
        print("\nFTP bounce: %d PORT attempts, %d PASV thefts, 0 connected" % (len(hosts), 10),
              file=sys.stderr)

    def test_idle_sessions_cannot_lock_the_gateway(self):
        idle = [socket.create_connection(("127.0.0.1", self.gw.port), timeout=10) for _ in range(4)]
        # MaxPerAddress: the fifth session of this address is refused at once.
        with socket.create_connection(("127.0.0.1", self.gw.port), timeout=10) as s:
            self.assertEqual(read_all(s), b"421 Maximum number of users engaged. Try later..\r\n")
        started = time.monotonic()
        for s in idle:
            data = read_all(s)
            self.assertTrue(data.endswith(b"421 Timeout.\r\n"), data)
            s.close()
        self.assertLess(time.monotonic() - started, 5)
        ctl = self.gw.control()  # logged in
        self.assertEqual(ctl.cmd("PWD"), '257 "\\" is current directory.')
        self.assertEqual(ctl.line(), "421 Timeout.")  # after FtpIdleSeconds
        self.assertTrue(ctl.hung_up())
        self.gw.wait_for_line(r"to be detached by ftp_timeout")

    def test_full_disk_stor_leaves_nothing(self):
        folder = small_disk(self, self.gw.path("drives/c/import/full"))
        os.makedirs(self.gw.path("drives/c/export/full"), exist_ok=True)
        ctl = self.gw.control()
        self.assertEqual(ctl.cmd("CWD full"), '250 "\\full" is current directory.')
        lines, _ = self.run_data(ctl, "STOR big.bin", b"y" * 400000)
        self.assertEqual(lines[-1], "550 Access/path error big.bin.")
        ctl.close()
        self.assertEqual(os.listdir(folder), [])
