"""The gateway as a process: one per home folder, the journal on standard
output, failures on standard error, and the ways it ends."""

import os
import signal
import socket
import subprocess
import unittest

from gateway_process import BINARY, Gateway

ENV = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")


class OneGatewayPerHome(unittest.TestCase):
    def test_second_start_reports_and_ends_while_the_first_serves(self):
        gw = Gateway("[Variables]\nExpireSeconds=20\n")
        try:
            second = subprocess.run([BINARY, "--home", gw.home, "LISTEN"], capture_output=True,
                                    timeout=30, env=ENV)
            self.assertEqual(second.returncode, 1)
            self.assertEqual(second.stderr.decode(), "Tarnwick Version 3.0g is already running\n")
            # The first instance still answers.
            answer = gw.get("/nothing-here.htm")
            self.assertEqual(answer.raw, b"requested document not found: \r\n")
        finally:
            gw.stop()

    def test_every_list_line_is_printed(self):
        gw = Gateway("")
        try:
            gw.get("/x.htm")
            gw.wait_for_line(r" #1 to be detached by ")
            log = gw.log_text().split("\r\n")
            # What the lists show is on stdout, in order, and also in the log file.
            for message in ("Listening on Port 80", "#1 socket loaded", "accept 1 127.0.0.1"):
                printed = [l for l in gw.lines if l.endswith(" " + message)]
                self.assertEqual(len(printed), 1, message)
                self.assertIn(printed[0], log)
        finally:
            gw.stop()


class EndingTheGateway(unittest.TestCase):
    def test_sigterm_runs_the_exit_path(self):
        gw = Gateway("")
        gw.process.send_signal(signal.SIGTERM)
        self.assertEqual(gw.process.wait(timeout=10), 0)
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.1", gw.port), timeout=2).close()
        gw.stop()

    def test_operator_exit_through_the_local_socket(self):
        gw = Gateway("")
        self.assertEqual(gw.ctl("exit"), "exiting")
        self.assertEqual(gw.process.wait(timeout=10), 0)
        gw.stop()


class FailedListen(unittest.TestCase):
    def test_port_in_use_is_reported_on_stderr_and_in_the_log(self):
        with socket.socket() as busy:
            busy.bind(("127.0.0.1", 0))
            busy.listen()
            port = busy.getsockname()[1]
            gw = Gateway("")
            try:
                home = gw.home + "/other"
                os.makedirs(home)
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
            finally:
                gw.stop()


if __name__ == "__main__":
    unittest.main()
