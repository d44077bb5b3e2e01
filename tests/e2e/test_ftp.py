"""FTP mode end to end: real clients (ftplib, raw sockets) against the
gateway process."""
import ftplib
import io
import os
import select
import signal
import socket
import time
import unittest

from ftp_gateway import Gateway, listen_below_32768
from gateway_process import abort, read_all, wait_until

SIZES = [0, 1, 4096, 4097, 20 * 1024 * 1024]
ROOT_LISTING = ["docs\\", "f0.bin", "f1.bin", "f20971520.bin", "f4096.bin", "f4097.bin", "readme.txt"]


def payload(size):
    # Every byte value, CR LF and lone LF included: any text conversion shows.
    pattern = bytes(range(256)) + b"\r\n\n\r"
    return (pattern * (size // len(pattern) + 1))[:size]


class FtpClientTests(unittest.TestCase):
    """What an ordinary client sees: login, moving about, listings, transfers."""

    @classmethod
    def setUpClass(cls):
        cls.gw = Gateway(test=cls)
        for name, data in [("Docs/Inner/leaf.txt", b"leaf"), ("Docs/note.txt", b"note"),
                           ("README.TXT", b"read me\r\n"), (".hidden", b"x"), (".git/config", b"x")]:
            cls.gw.put_export(name, data)
        for size in SIZES:
            cls.gw.put_export("f%d.bin" % size, payload(size))

    def setUp(self):
        self.ftp = self.gw.ftp()
        self.ftp.login("anyone", "whatever")

    def tearDown(self):
        self.ftp.close()

    def test_listing_lines(self):
        self.ftp.cwd("docs")
        lines = []
        self.assertEqual(self.ftp.retrlines("LIST", lines.append), "226 Current directory is \\docs.")
        self.assertEqual(sorted(lines), ["inner\\", "note.txt"])

    def test_sizes_byte_exact_both_ways_and_stor_replacing(self):
        self.gw.write("drives/c/import/up.bin", b"old content that is longer than some uploads")
        for size in SIZES:
            with self.subTest(size=size):
                name, out = "f%d.bin" % size, io.BytesIO()
                self.assertEqual(self.ftp.retrbinary("RETR " + name, out.write),
                                 "226 File transfer successful (%d bytes)." % size)
                self.assertTrue(out.getvalue() == payload(size), "bytes differ")
                self.assertEqual(self.ftp.storbinary("STOR up.bin", io.BytesIO(payload(size))),
                                 "226 File store successful (%d bytes)." % size)
                self.assertTrue(self.gw.read_import("up.bin") == payload(size), "bytes differ")
        self.assertEqual(self.gw.temp_files(), [])

    def test_refused_retrievals(self):
        for name in ("..\\README.TXT", "docs\\..\\README.TXT", "missing.txt", "docs", ".hidden"):
            with self.subTest(name=name):
                with self.assertRaises(ftplib.error_perm) as caught:
                    self.ftp.retrbinary("RETR " + name, lambda _: None)
                self.assertEqual(str(caught.exception), "550 %s does not exist." % name)
        self.assertEqual(self.ftp.pwd(), "\\")  # the session goes on

    def test_active_mode_with_a_port_below_32768(self):
        ctl = self.gw.control()
        port = self.gw.port
        for command, sent, replies in [
                ("LIST", None, ("150 OK, sending dir list.", "226 Current directory is .")),
                ("RETR f4097.bin", None, ("150 OK, sending f4097.bin (127.0.0.1,%d) (4097 bytes)." % port,
                                          "226 File transfer successful (4097 bytes).")),
                ("STOR active.bin", payload(5000), ("150 OK, receiving active.bin (127.0.0.1,%d)." % port,
                                                    "226 File store successful (5000 bytes)."))]:
            with self.subTest(command=command):
                listener = listen_below_32768()
                self.assertEqual(ctl.port(listener), "200 OK.")
                ctl.send(command)
                started = ctl.line()
                conn, _ = listener.accept()
                listener.close()
                if sent:
                    conn.sendall(sent)
                else:
                    received = read_all(conn)
                conn.close()
                self.assertEqual((started, ctl.line()), replies)
                if command == "LIST":
                    # Each listing line ends in CR LF on the wire; dot-names stay hidden.
                    self.assertEqual(sorted(received.split(b"\r\n")), [b""] + [n.encode() for n in ROOT_LISTING])
                elif sent:
                    self.assertTrue(self.gw.read_import("active.bin") == sent)
                else:
                    self.assertTrue(received == payload(4097))
        ctl.close()


class FtpReplyTests(unittest.TestCase):
    """Exact replies of the interpreter and when it hangs up; an empty
    [FtpUsers] section changes none of them."""

    @classmethod
    def setUpClass(cls):
        cls.gw = Gateway(users={}, test=cls)
        cls.gw.put_export("Sub/file.txt", b"x")
        cls.gw.put_export(".dot/x.txt", b"x")
        cls.locked = os.path.join(cls.gw.export, "Locked")
        os.makedirs(cls.locked)
        os.chmod(cls.locked, 0o555)
        cls.addClassCleanup(os.chmod, cls.locked, 0o755)  # runs first, so the home can go

    def test_login_rules(self):
        # Before USER every command is refused and the session stays; lower
        # case is no verb.
        ctl = self.gw.control(login=False)
        for command in ("PWD", "PASS x", "LIST", "QUIT", "user x"):
            self.assertEqual(ctl.cmd(command), "530 Not logged in.")
        self.assertEqual(ctl.login("late one", ""), "230 late one logged in, proceed.")  # any name, any password
        ctl.close()
        # After USER without PASS the session ends.
        ctl = self.gw.control(login=False)
        self.assertEqual(ctl.cmd("USER bob"), "331 Password required for bob.")
        self.assertEqual(ctl.cmd("PWD"), "530 Not logged in.")
        self.assertTrue(ctl.hung_up())
        ctl.close()
        self.gw.wait_for_line("to be detached by process_FTP_request")

    def test_fixed_replies_cwd_and_quit(self):
        ctl = self.gw.control()
        for command, reply in [("HELP", "214 Marlbeck FTP server mimic."),
                               ("SYST", "500 Command not understood: SYST."),
                               ("TYPE I", "200 Type set to BINARY."),
                               ("TYPE a", "200 Type set to ASCII."),
                               ("TYPE L 8", "500 Command not understood: TYPE L 8."),
                               ("TYPE", "500 Command not understood: TYPE."),
                               ("CDUP", "502 Command not implemented: CDUP."),
                               ("NOOP", "502 Command not implemented: NOOP."),
                               ("pwd", "502 Command not implemented: pwd."),
                               ("Quit", "502 Command not implemented: Quit."),
                               ("CWD", "500 Command not understood: CWD."),
                               ("PORT 127,0,0,1,127,255", "200 OK."),
                               ("USER again", "331 Password required for again."),
                               ("PWD", '257 "\\" is current directory.'),
                               # CWD takes plain directories only.
                               ("CWD locked", "550 \\locked is not a valid directory."),
                               ("CWD sub\\file.txt", "550 \\sub\\file.txt is not a valid directory."),
                               ("CWD .dot", "550 \\.dot is not a valid directory."),
                               ("CWD SUB", '250 "\\SUB" is current directory.'),
                               ("CWD \\Sub\\", '250 "\\Sub" is current directory.'),
                               ("CWD .", '250 "\\Sub" is current directory.'),
                               ("QUIT", "221 Service closing control connection.")]:
            with self.subTest(command=command):
                self.assertEqual(ctl.cmd(command), reply)
        self.assertTrue(ctl.hung_up())
        ctl.close()


# (password, crypt(3) hash): openssl passwd -6 -salt saltsaltsalt hunter2,
# and a yescrypt hash as mkpasswd -m yescrypt makes.
SHA512 = ("hunter2", "$6$saltsaltsalt$/YcSJBZ1GwOaYU2XCNxvWBX3MbYsX7qkf0.0L28t35vap3Pr7yS0JA8iUjaUrIKpD1vbB841OQkrlcX47Jjuy/")
YESCRYPT = ("s3cret", "$y$j9T$F5Jx5fExrKuPp53xLKQ..1$8c0O2L8gFA3jUVvwMFdXpZKM78kTwpdGJswaLb6IRr/")


class FtpAccountTests(unittest.TestCase):
    """[FtpUsers]: only listed names log in, with their password; a refusal
    comes late, says nothing of which part was wrong, and the session stays."""

    @classmethod
    def setUpClass(cls):
        # carol's value is a password written where its hash belongs.
        cls.gw = Gateway(users={"alice": SHA512[1], "bob": YESCRYPT[1], "carol": "plainpass"}, test=cls)

    def test_refusals_look_alike_and_the_session_stays(self):
        # Wrong password, unknown name, a listed name without a usable hash,
        # another's password: each on its own session, refused at once.
        cases = [("alice", "wrong"), ("nobody", SHA512[0]), ("carol", "plainpass"), ("bob", SHA512[0])]
        ctls = [self.gw.control(login=False) for _ in cases]
        for ctl, (user, password) in zip(ctls, cases):
            self.assertEqual(ctl.cmd("RETR readme.txt"), "530 Not logged in.")
            self.assertEqual(ctl.cmd("USER " + user), "331 Password required for %s." % user)
        start = time.monotonic()
        for ctl, (user, password) in zip(ctls, cases):
            ctl.send("PASS " + password)
        waited, pending = {}, {ctl.sock: ctl for ctl in ctls}
        while pending:  # when each reply comes, whatever the order
            ready, _, _ = select.select(list(pending), [], [], 10)
            self.assertTrue(ready, "no reply to PASS")
            for sock in ready:
                waited[pending.pop(sock)] = time.monotonic() - start
        for ctl, case in zip(ctls, cases):
            with self.subTest(case=case):
                self.assertEqual(ctl.line(), "530 Not logged in.")
                self.assertGreater(waited[ctl], 0.9)
                self.assertEqual(ctl.cmd("RETR readme.txt"), "530 Not logged in.")
                self.assertEqual(ctl.cmd("PASS " + SHA512[0]), "530 Not logged in.")  # USER comes first
        self.assertEqual(ctls[0].login("alice", SHA512[0]), "230 alice logged in, proceed.")
        self.assertEqual(ctls[3].login("BOB", YESCRYPT[0]), "230 BOB logged in, proceed.")
        self.assertEqual(ctls[0].cmd("PWD"), '257 "\\" is current directory.')
        for ctl in ctls:
            ctl.close()
        log = self.gw.log_text() + "\n".join(self.gw.lines)
        for secret in ("wrong", SHA512[0], "plainpass", SHA512[1]):
            self.assertFalse(secret in log, "%r is logged" % secret)
        self.assertIn("[FtpUsers] carol=(hidden) is not a crypt(3) hash", log)

    def test_each_refusal_waits_longer_while_others_go_on(self):
        ctl = self.gw.control(login=False)
        took = []
        for password in ("wrong", "wrong again"):
            ctl.cmd("USER alice")
            start = time.monotonic()
            ctl.send("PASS " + password)
            if took:  # while this session waits, another logs in
                other = self.gw.control(login=False)
                self.assertEqual(other.login("alice", SHA512[0]), "230 alice logged in, proceed.")
                self.assertLess(time.monotonic() - start, 0.9)
                other.close()
            self.assertEqual(ctl.line(), "530 Not logged in.")
            took.append(time.monotonic() - start)
        self.assertGreater(took[0], 0.9)
        self.assertGreater(took[1], took[0] + 0.7)
        ctl.close()


class FtpAccountReloadTests(unittest.TestCase):
    def test_sighup_reads_the_accounts_again(self):
        gw = Gateway(test=self)
        ctl = gw.control(login=False)
        self.assertEqual(ctl.login("anyone", "anything"), "230 anyone logged in, proceed.")
        ctl.close()
        gw.write("korvane.ini", gw.read("korvane.ini") + b"[FtpUsers]\r\nalice=%s\r\n" % SHA512[1].encode())
        gw.process.send_signal(signal.SIGHUP)
        gw.wait_for_count("Listening on Port", 2)
        ctl = gw.control(login=False)
        self.assertEqual(ctl.login("anyone", "anything"), "530 Not logged in.")
        self.assertEqual(ctl.login("alice", SHA512[0]), "230 alice logged in, proceed.")
        ctl.close()


class FtpLimitTests(unittest.TestCase):
    """Waits end at their limits (1 s here) and the control session stays
    usable; clients that vanish mid-transfer leave nothing open or behind."""

    @classmethod
    def setUpClass(cls):
        cls.gw = Gateway({"FTPConnectLimit": "1", "FTPIdleLimit": "1"}, test=cls)
        cls.gw.put_export("big.bin", payload(20 * 1024 * 1024))
        cls.gw.put_export("small.txt", b"still served")

    def test_a_data_connection_that_never_comes(self):
        ctl = self.gw.control()
        # Nobody connects to the port PASV names.
        for command, started, ended in [("LIST", "150 OK, sending dir list.", "425 Can't open data connection."),
                                        ("RETR big.bin", "150 ", "550 big.bin does not exist."),
                                        ("STOR never.bin", "150 ", "550 Access/path error never.bin.")]:
            self.assertEqual(ctl.cmd("PASV")[:4], "227 ")
            self.assertTrue(ctl.cmd(command).startswith(started), command)
            self.assertEqual(ctl.line(), ended)
        self.assertEqual(ctl.cmd("PWD"), '257 "\\" is current directory.')
        self.gw.wait_for_line("data connection timed out after 1 s")
        self.assertEqual(self.gw.temp_files(), [])
        ctl.close()

    def test_transfers_without_progress(self):
        # A client that stops reading a RETR, and one that never closes
        # after a STOR: the upload leaves no file.
        for command, ended, logged in [("RETR big.bin", "550 big.bin does not exist.", "RETR send timed out"),
                                       ("STOR open.bin", "550 Access/path error open.bin.", None)]:
            with self.subTest(command=command):
                ctl = self.gw.control()
                _, _, conn = ctl.pasv(rcvbuf=4096)
                self.assertTrue(ctl.cmd(command).startswith("150 "))
                if command.startswith("STOR"):
                    conn.sendall(payload(100000))
                self.assertEqual(ctl.line(), ended)
                self.assertEqual(ctl.cmd("PWD"), '257 "\\" is current directory.')
                if logged:
                    self.gw.wait_for_line(logged)
                conn.close()
                ctl.close()
        self.assertFalse(os.path.exists(os.path.join(self.gw.import_, "open.bin")))
        self.assertEqual(self.gw.temp_files(), [])

    def test_a_file_that_shrinks_mid_retr_ends_its_transfer(self):
        self.gw.put_export("shrinks.bin", payload(20 * 1024 * 1024))
        since = len(self.gw.lines)
        ctl = self.gw.control()
        _, _, conn = ctl.pasv(rcvbuf=4096)
        conn.settimeout(10)
        self.assertTrue(ctl.cmd("RETR shrinks.bin").startswith("150 "))
        received = len(conn.recv(4096))
        os.truncate(os.path.join(self.gw.export, "shrinks.bin"), 0)
        # What was sent before drains; then the data connection ends, at once.
        try:
            while chunk := conn.recv(65536):
                received += len(chunk)
        except ConnectionResetError:
            pass
        self.assertLess(received, 20 * 1024 * 1024)
        self.assertEqual(ctl.line(), "550 shrinks.bin does not exist.")
        # Ended by the short file, not by the idle limit after a wait for room.
        self.gw.wait_for_line(r"550 shrinks\.bin does not exist$", since=since)
        self.assertFalse([line for line in self.gw.lines[since:] if "RETR send timed out" in line])
        conn.close()
        ctl.close()

    def test_vanishing_mid_retr_and_mid_stor(self):
        gw = self.gw
        # One whole session first, so that everything made once is made.
        ctl = gw.control()
        ctl.cmd("QUIT")
        ctl.hung_up()
        ctl.close()
        time.sleep(2.5)  # closing sockets drain for up to 2 s
        baseline = gw.fd_count()
        for verb in ("RETR", "STOR"):
            for how, close in (("reset", abort), ("closed", socket.socket.close)):
                with self.subTest(verb=verb, how=how):
                    ctl = gw.control()
                    _, _, conn = ctl.pasv()
                    if verb == "RETR":
                        ctl.cmd("RETR big.bin")
                        got = 0
                        while got < 1 << 20:
                            got += len(conn.recv(1 << 16))
                    else:
                        ctl.cmd("STOR gone.bin")
                        conn.sendall(payload(3 * 1024 * 1024))
                    close(conn)
                    close(ctl.sock)
                    wait_until(lambda: gw.fd_count() <= baseline, 15,
                               "descriptors back at %d" % baseline)
                    self.assertEqual(gw.temp_files(), [])
                    self.assertFalse(os.path.exists(os.path.join(gw.import_, "gone.bin")))
                    ftp = gw.ftp("next")
                    out = io.BytesIO()
                    ftp.retrbinary("RETR small.txt", out.write)
                    self.assertEqual(out.getvalue(), b"still served")
                    ftp.quit()
