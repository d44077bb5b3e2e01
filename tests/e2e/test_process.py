"""The gateway as a process: one per home folder, the journal on standard
output, failures on standard error, the operator's commands through
`korvane ctl` against a running headless instance, and the ways it ends;
the command lines of korvane and its tools."""

import os
import signal
import socket
import stat
import subprocess
import tempfile
import unittest

import ftp_gateway
from gateway_process import BINARY, ENV, NOT_FOUND, Gateway, read_lines, wait_until, write_file
from link_client import tool_path


class GatewayProcess(unittest.TestCase):
    def test_one_gateway_per_home_its_journal_and_sigterm(self):
        gw = Gateway("[Variables]\nExpireSeconds=20\n", test=self)
        self.assertEqual(gw.get("/x.htm").raw, NOT_FOUND)
        gw.wait_for_line(r" #1 to be detached by ")
        # What the lists show is on stdout, in order, and also in the log file.
        log = gw.log_text().split("\r\n")
        for message in ("Listening on Port 80", "#1 socket loaded", "accept 1 127.0.0.1"):
            printed = [l for l in gw.lines if l.endswith(" " + message)]
            self.assertEqual(len(printed), 1, message)
            self.assertIn(printed[0], log)

        second = subprocess.run([BINARY, "--home", gw.home, "LISTEN"], capture_output=True,
                                timeout=30, env=ENV)
        self.assertEqual((second.returncode, second.stderr.decode()),
                         (1, "Tarnwick Version 3.0g is already running\n"))
        self.assertEqual(gw.get("/nothing-here.htm").raw, NOT_FOUND)  # the first still serves

        gw.process.send_signal(signal.SIGTERM)
        self.assertEqual(gw.process.wait(timeout=10), 0)
        with self.assertRaises(OSError):
            gw.connect().close()

    def test_port_in_use_is_reported_on_stderr_and_in_the_log(self):
        with socket.socket() as busy, tempfile.TemporaryDirectory() as home:
            busy.bind(("127.0.0.1", 0))
            busy.listen()
            port = busy.getsockname()[1]
            p = subprocess.Popen([BINARY, "--home", home, "--bind", "127.0.0.1:%d" % port, "LISTEN"],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)
            try:
                out = read_lines(p.stdout, 2)
            finally:
                p.terminate()
                _, err = p.communicate(timeout=10)
        expected = "listen error: port %d 98 Address already in use" % port
        self.assertIn(expected, err.decode())
        self.assertIn(expected, out)
        self.assertIn("Listening on Port 80", out)


class CommandLine(unittest.TestCase):
    def run_korvane(self, *args):
        result = subprocess.run([BINARY, *args], capture_output=True, timeout=15, env=ENV)
        return result.returncode, result.stdout.decode(), result.stderr.decode()

    def test_help_version_and_usage_errors(self):
        """korvane, then korvane-calc and korvane-link-adapter."""
        with tempfile.TemporaryDirectory() as home:
            h = ("--home", home)
            usage = "\nusage: korvane "
            cases = [  # arguments, exit code, standard output, standard error (starts)
                (("--help",), 0, "usage: korvane ", ""),
                (("-h",), 0, "usage: korvane ", ""),
                (("--version",), 0, "korvane 1.0.0\n", ""),
                (("--frobnicate",), 2, "", "korvane: unknown option: --frobnicate" + usage),
                (("-x", "LISTEN"), 2, "", "korvane: unknown option: -x" + usage),
                (("--home",), 2, "", "korvane: option needs a value: --home" + usage),
                (h + ("LISTEN", "80a"), 2, "", "korvane: unexpected word: 80a" + usage),
                (h + ("listen", "8080"), 2, "", "korvane: unexpected word: listen" + usage),
                (h + ("LISTEN", "8080", "now"), 2, "", "korvane: unexpected word: now" + usage),
                (h + ("--bind", "127.0.0.1:x"), 2, "", "korvane: not ADDRESS[:PORT]: --bind 127.0.0.1:x"),
                (h + ("--check-config", "LISTEN"), 2, "", "korvane: --check-config takes no command"),
                (h + ("ctl",), 2, "", "korvane: ctl needs a COMMAND" + usage),
                (h + ("ctl", "status", "1"), 3, "", "no korvane is running for %s\n" % home),
            ]
            cases = [((BINARY,) + args, code, out, err) for args, code, out, err in cases]
            for tool in ("korvane-calc", "korvane-link-adapter"):
                path = tool_path(tool)
                cases += [((path, "--help"), 0, "usage: " + tool, ""),
                          ((path, "--version"), 0, tool + " 1.0.0\n", ""),
                          ((path, "--frob"), 2, "", tool + ": unknown option --frob\nusage: " + tool),
                          ((path, "stray"), 2, "", tool + ": stray word stray\nusage: " + tool),
                          ((path, "--link-dir"), 2, "", tool + ": --link-dir needs a value\nusage: ")]
            for args, code, out, err in cases:
                with self.subTest(args=args):
                    got = subprocess.run(args, capture_output=True, text=True, timeout=20, env=ENV)
                    self.assertEqual(got.returncode, code)
                    self.assertTrue(got.stdout.startswith(out) if out else got.stdout == "", got.stdout)
                    self.assertTrue(got.stderr.startswith(err) if err else got.stderr == "", got.stderr)
            self.assertIn("--check-config", self.run_korvane("--help")[1])

    def test_check_config_prints_every_problem(self):
        with tempfile.TemporaryDirectory() as home:
            ini = os.path.join(home, "korvane.ini")
            self.assertEqual(self.run_korvane("--home", home, "--check-config"),
                             (1, "%s: no configuration file\n" % ini, ""))
            write_file(ini, "; test\n[Variables]\nPort=abc\nMaxUsers=5\nModernClients=yes\n[Drives]\nEF=/srv\n")
            self.assertEqual(self.run_korvane("--home", home, "--check-config"), (1, "".join(
                "%s line %s; using %s\n" % (ini, p, u) for p, u in (
                    ("3: [Variables] Port=abc is not a port number from 1 to 65535", "0"),
                    ("5: [Variables] ModernClients=yes is neither 0 nor 1", "0"),
                    ("7: [Drives] EF=/srv is not a drive letter", "nothing (ignored)"))), ""))
            write_file(ini, "[Variables]\nPort=8080\n")
            # (The example the package installs passes: test_install.py.)
            self.assertEqual(self.run_korvane("--home", home, "--check-config"),
                             (0, "%s: no problems\n" % ini, ""))


class ExplainedStartAndSecrets(unittest.TestCase):
    def test_start_names_bad_values_and_the_address_bound(self):
        gw = Gateway("[Variables]\nPort=abc\n", options=("--headless",), test=self)
        gw.wait_for_line(r" warning: %s line 2: \[Variables\] Port=abc is not a port number from 1 to "
                         r"65535; using 0$" % gw.path("korvane.ini"))
        gw.wait_for_line(r" bound to 127\.0\.0\.1:%d$" % gw.port)
        self.assertIn("bound=127.0.0.1:%d\n" % gw.port, gw.ctl("settings"))

    def test_sighup_reinitializes(self):
        gw = Gateway("[Variables]\nMaxUsers=2\n", test=self)
        client = gw.connect()
        self.addCleanup(client.close)
        gw.wait_for_line("accept 1 127.0.0.1")
        gw.process.send_signal(signal.SIGHUP)
        gw.wait_for_line(r" #1 to be detached by mnuClose_click$")
        gw.wait_for_line(r" Port 80 closed$")
        gw.wait_for_count(r" Listening on Port 80$", 2)
        gw.process.send_signal(signal.SIGHUP)  # and again
        gw.wait_for_count(r" Listening on Port 80$", 3)
        self.assertIsNone(gw.process.poll())

    def test_credentials_are_hidden_and_the_log_is_private(self):
        secrets = ("Basic c2VjcmV0LWE=", "Bearer secret-b", "session=secret-c", "secret-d")
        for clear in (False, True):
            gw = Gateway("[Variables]\nLogSecrets=%d\n" % clear, test=self)
            gw.get("/a.htm", ["Authorization: " + secrets[0], "Proxy-Authorization: " + secrets[1],
                              "Cookie: " + secrets[2]])
            gw.wait_for_line(r" #1 of \d+ detached$")
            ftp = ftp_gateway.Gateway({"LogSecrets": int(clear)}, test=self)
            client = ftp.ftp()
            client.login("anonymous", secrets[3])
            client.quit()
            ftp.wait_for_line(r" #1 PASS ")
            # In the log file, and on standard output (the event list's lines).
            for g, sent in ((gw, secrets[:3]), (ftp, secrets[3:])):
                for secret in sent:
                    self.assertEqual(secret in g.log_text(), clear, secret)
                    self.assertFalse(not clear and secret in "\n".join(g.lines), secret)
            self.assertEqual(secrets[3] in "\n".join(ftp.lines), clear)
            if not clear:
                for name in ("Authorization", "Proxy-Authorization", "Cookie"):
                    self.assertRegex(gw.log_text(), r" #1 unresolved: \d+ %s: \*\*\*\r\n" % name)
                self.assertEqual(ftp.count(r" #1 PASS \*\*\*$"), 1)
            log_path = gw.path("drives/c/temp/log/korvane.log")
            self.assertEqual(stat.S_IMODE(os.stat(log_path).st_mode), 0o640)
            self.assertEqual(stat.S_IMODE(os.stat(os.path.dirname(log_path)).st_mode), 0o750)


def disconnected(s, timeout=10):
    """True when the peer closed the connection without sending anything."""
    s.settimeout(timeout)
    try:
        return s.recv(100) == b""
    except ConnectionResetError:
        return True


class OperatorCommands(unittest.TestCase):
    def setUp(self):
        self.gw = Gateway(None, listen=(), options=("--headless",), test=self)
        # The control socket answers once start-up is over.
        wait_until(lambda: self.gw.ctl("settings") and self.gw.ctl_code == 0, 15, "the control socket")

    def test_listen_status_close_reinit_and_exit(self):
        gw = self.gw
        self.assertEqual(gw.ctl("listen"), "Listening on Port 80\n")
        self.assertEqual(gw.ctl_failure("listen"), (1, "korvane ctl: already listening on port 80\n"))
        clients = [gw.connect() for _ in range(3)]
        for c in clients:
            self.addCleanup(c.close)
        gw.wait_for_line("accept 3 127.0.0.1")

        lines = gw.ctl("status", "2").split("\r\n")
        # Twelve lines, each ended by CR LF.
        self.assertEqual((gw.ctl_code, len(lines), lines[0], lines[9], lines[12]),
                         (0, 13, "2:127.0.0.1", "loggedin=-1", ""))
        self.assertTrue(lines[2].startswith("entered="))

        self.assertEqual(gw.ctl("close"), "Port 80 closed\n")
        for k in range(4):
            gw.wait_for_line("#%d to be detached by mnuClose_click" % k)
        for c in clients:
            self.assertTrue(disconnected(c))
        self.assertEqual(gw.ctl_failure("close"), (1, "korvane ctl: port 80 is not open\n"))
        with self.assertRaises(OSError):
            gw.connect().close()

        # With the port closed the settings can be edited; Reinitialize
        # normalises them and listens again.
        self.assertEqual(gw.ctl("set", "maxusers", "2x"), "maxusers=2x\n")
        self.assertEqual(gw.ctl("reinit"), "Listening on Port 80\n")
        self.assertIn("maxusers=2 (locked)\n", gw.ctl("settings"))
        since = len(gw.lines)
        a, b = gw.connect(), gw.connect()
        gw.wait_for_line("accept 2 127.0.0.1", since=since)
        refused = gw.connect()
        refused.settimeout(10)
        self.assertEqual(refused.recv(100), b"421 Maximum number of users engaged. Try later.\r\n")
        for s in (a, b, refused):
            s.close()

        self.assertEqual(gw.ctl("exit"), "exiting\n")
        self.assertEqual(gw.process.wait(timeout=15), 0)
        self.assertEqual(gw.ctl_failure("status", "1"),
                         (3, "no korvane is running for %s\n" % gw.home), "nothing answers once it ended")

    def test_switches_menus_and_the_clipboard(self):
        gw = self.gw
        self.assertEqual(gw.ctl("beep"), "beep off\n")
        self.assertEqual(gw.ctl("beep"), "beep on\n")
        self.assertEqual(gw.ctl_failure("timer"), (1, "korvane ctl: not available now: Disable Timer\n"))
        menus = gw.ctl("menus")
        self.assertIn("  mnuReinit  &Reinitialize  Ctrl+R\n", menus)
        self.assertIn("  mnuClose  &Close Port 80  Ctrl+C  (hidden)\n", menus)
        self.assertIn("\nmnuSaveConfig  &Save Configuration\nmnuTest  &test\n", menus)
        for words, failure in ((("bogus",), (2, "unknown command: bogus")),
                               (("set", "nosuch", "1"), (2, "no such box: nosuch")),
                               (("set",), (2, "usage: set BOX TEXT"))):
            code, err = gw.ctl_failure(*words)
            self.assertEqual((code, err), (failure[0], "korvane ctl: %s\n" % failure[1]), words)
        # The peer look-up reads the gateway's clipboard and writes the name there.
        gw.ctl("clipboard", "127.0.0.1")
        address, name = gw.ctl("gethost", "clip").split()
        self.assertEqual((gw.ctl_code, address), (0, "127.0.0.1"))
        self.assertEqual(gw.ctl("clipboard"), name + "\n")
