"""The operator's commands without a window: `korvane ctl ...` against a
running headless gateway drives listen, close, reinit, status and exit."""

import os
import socket
import subprocess
import tempfile
import threading
import time
import unittest

BINARY = os.environ.get("KORVANE_BINARY", "")
ENV = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class HeadlessGateway:
    """korvane --headless on a fresh home; its stdout (the event log) is kept."""

    def __init__(self, *words):
        self.tmp = tempfile.TemporaryDirectory(prefix="kvop.")
        self.home = self.tmp.name
        self.port = free_port()
        self.lines = []
        self.process = subprocess.Popen(
            [BINARY, "--headless", "--home", self.home, "--link-dir", os.path.join(self.home, "links"),
             "--bind", "127.0.0.1:%d" % self.port] + list(words),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.process.stdout:
            self.lines.append(raw.decode("latin-1").rstrip("\r\n"))

    def ctl(self, *words):
        result = subprocess.run([BINARY, "--home", self.home, "ctl"] + list(words),
                                capture_output=True, timeout=30, env=ENV)
        return result.returncode, result.stdout.decode("latin-1")

    def logged(self, ending):
        return any(line.endswith(ending) for line in list(self.lines))

    def wait_until(self, predicate, what, timeout=15):
        deadline = time.monotonic() + timeout
        while not predicate():
            if time.monotonic() > deadline:
                raise AssertionError("waited in vain for %s; last lines:\n%s" % (what, "\n".join(self.lines[-20:])))
            time.sleep(0.05)

    def connect(self):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        return s

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.process.stdout.close()
        self.process.stderr.close()
        self.tmp.cleanup()


def disconnected(s, timeout=10):
    """True when the peer closed the connection without sending anything."""
    s.settimeout(timeout)
    try:
        return s.recv(100) == b""
    except ConnectionResetError:
        return True


@unittest.skipUnless(BINARY, "KORVANE_BINARY is not set")
class OperatorCommands(unittest.TestCase):
    def setUp(self):
        self.gw = HeadlessGateway()
        self.addCleanup(self.gw.stop)
        # The control socket answers once start-up is over.
        self.gw.wait_until(lambda: self.gw.ctl("settings")[0] == 0, "the control socket")

    def test_listen_status_close_reinit_and_exit(self):
        gw = self.gw
        self.assertEqual(gw.ctl("listen"), (0, "Listening on Port 80\n"))
        self.assertEqual(gw.ctl("listen"), (0, "already listening on port 80\n"))
        clients = [gw.connect() for _ in range(3)]
        for c in clients:
            self.addCleanup(c.close)
        gw.wait_until(lambda: gw.logged("accept 3 127.0.0.1"), "three accepted clients")

        code, status = gw.ctl("status", "2")
        lines = status.split("\r\n")
        self.assertEqual(lines[0], "2:127.0.0.1")
        self.assertTrue(lines[2].startswith("entered="))
        self.assertEqual(lines[9], "loggedin=-1")
        self.assertEqual(len(lines), 13, "twelve lines, each ended by CR LF")
        self.assertEqual(lines[12], "")

        self.assertEqual(gw.ctl("close"), (0, "Port 80 closed\n"))
        for k in range(4):
            gw.wait_until(lambda: gw.logged("#%d to be detached by mnuClose_click" % k), "slot %d ended" % k)
        for c in clients:
            self.assertTrue(disconnected(c))
            c.close()
        self.assertEqual(gw.ctl("close"), (0, "port 80 is not open\n"))
        with self.assertRaises(OSError):
            gw.connect().close()

        # With the port closed the settings can be edited; Reinitialize
        # normalises them and listens again.
        self.assertEqual(gw.ctl("set", "maxusers", "2x"), (0, "maxusers=2x\n"))
        self.assertEqual(gw.ctl("reinit"), (0, "Listening on Port 80\n"))
        self.assertIn("maxusers=2 (locked)\n", gw.ctl("settings")[1])
        a, b = gw.connect(), gw.connect()
        gw.wait_until(lambda: gw.logged("accept 2 127.0.0.1"), "two clients after reinit")
        refused = gw.connect()
        refused.settimeout(10)
        self.assertEqual(refused.recv(100), b"421 Maximum number of users engaged. Try later.\r\n")
        for s in (a, b, refused):
            s.close()

        self.assertEqual(gw.ctl("exit"), (0, "exiting\n"))
        self.assertEqual(gw.process.wait(timeout=15), 0)
        self.assertEqual(gw.ctl("status", "1")[0], 1, "nothing answers once the gateway ended")

    def test_switches_and_menus_answer_for_the_window(self):
        gw = self.gw
        self.assertEqual(gw.ctl("beep"), (0, "beep off\n"))
        self.assertEqual(gw.ctl("beep"), (0, "beep on\n"))
        self.assertEqual(gw.ctl("timer"), (0, "not available now: Disable Timer\n"))
        menus = gw.ctl("menus")[1]
        self.assertIn("  mnuReinit  &Reinitialize  Ctrl+R\n", menus)
        self.assertIn("  mnuClose  &Close Port 80  Ctrl+C  (hidden)\n", menus)
        self.assertIn("\nmnuSaveConfig  &Save Configuration\nmnuTest  &test\n", menus)
        self.assertEqual(gw.ctl("bogus")[1], "unknown command: bogus\n")

    def test_peer_lookup_reads_the_clipboard_of_the_gateway(self):
        gw = self.gw
        gw.ctl("clipboard", "127.0.0.1")
        code, out = gw.ctl("gethost", "clip")
        self.assertEqual(code, 0)
        address, name = out.split()
        self.assertEqual(address, "127.0.0.1")
        self.assertEqual(gw.ctl("clipboard")[1], name + "\n")


if __name__ == "__main__":
    unittest.main()
