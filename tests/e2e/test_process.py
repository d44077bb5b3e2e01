"""The gateway as a process: one per home folder, the journal on standard
output, failures on standard error, the operator's commands through
`korvane ctl` against a running headless instance, and the ways it ends."""

import signal
import socket
import subprocess
import tempfile
import unittest

from gateway_process import BINARY, ENV, NOT_FOUND, Gateway, wait_until


class GatewayProcess(unittest.TestCase):
    def test_one_gateway_per_home_its_journal_and_sigterm(self):
        gw = Gateway("[Variables]\nExpireSeconds=20\n")
        self.addCleanup(gw.stop)
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
                out = p.stdout.readline().decode() + p.stdout.readline().decode()
            finally:
                p.terminate()
                _, err = p.communicate(timeout=10)
        expected = "listen error: port %d 98 Address already in use" % port
        self.assertIn(expected, err.decode())
        self.assertIn(expected, out)
        self.assertIn("Listening on Port 80", out)


def disconnected(s, timeout=10):
    """True when the peer closed the connection without sending anything."""
    s.settimeout(timeout)
    try:
        return s.recv(100) == b""
    except ConnectionResetError:
        return True


class OperatorCommands(unittest.TestCase):
    def setUp(self):
        self.gw = Gateway(None, listen=(), options=("--headless",))
        self.addCleanup(self.gw.stop)
        # The control socket answers once start-up is over.
        wait_until(lambda: self.gw.ctl("settings") and self.gw.ctl_code == 0, 15, "the control socket")

    def test_listen_status_close_reinit_and_exit(self):
        gw = self.gw
        self.assertEqual(gw.ctl("listen"), "Listening on Port 80\n")
        self.assertEqual(gw.ctl("listen"), "already listening on port 80\n")
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
        self.assertEqual(gw.ctl("close"), "port 80 is not open\n")
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
        gw.ctl("status", "1")
        self.assertEqual(gw.ctl_code, 1, "nothing answers once the gateway ended")

    def test_switches_menus_and_the_clipboard(self):
        gw = self.gw
        self.assertEqual(gw.ctl("beep"), "beep off\n")
        self.assertEqual(gw.ctl("beep"), "beep on\n")
        self.assertEqual(gw.ctl("timer"), "not available now: Disable Timer\n")
        menus = gw.ctl("menus")
        self.assertIn("  mnuReinit  &Reinitialize  Ctrl+R\n", menus)
        self.assertIn("  mnuClose  &Close Port 80  Ctrl+C  (hidden)\n", menus)
        self.assertIn("\nmnuSaveConfig  &Save Configuration\nmnuTest  &test\n", menus)
        self.assertEqual(gw.ctl("bogus"), "unknown command: bogus\n")
        # The peer look-up reads the gateway's clipboard and writes the name there.
        gw.ctl("clipboard", "127.0.0.1")
        address, name = gw.ctl("gethost", "clip").split()
        self.assertEqual((gw.ctl_code, address), (0, "127.0.0.1"))
        self.assertEqual(gw.ctl("clipboard"), name + "\n")


if __name__ == "__main__":
    unittest.main()
