"""The gateway with its Qt operator window, on Qt's offscreen platform: Exit
and SIGTERM end the process promptly even with a session mid-request and a
served program running, and a display that is not there means headless."""

import os
import shutil
import signal
import socket
import tempfile
import time
import unittest
from unittest import mock

import gateway_process
from gateway_process import BUILD, Gateway, processes_with, wait_until
from link_client import tool_path

WITH_QT = os.path.exists(os.path.join(BUILD, "libkorvane-window.so"))
INI = ("[Variables]\nExpireSeconds=60\n\n[Topics]\ncalc=sheet\n\n"
       "[calc]\nEXE=korvane-calc\nAutoStart=1\n")


def served_processes(gw):
    """Pids of live processes gw started (they inherit KORVANE_HOME)."""
    return [pid for pid in processes_with("KORVANE_HOME=" + gw.home + "\0", "environ") if pid != gw.process.pid]


@unittest.skipUnless(WITH_QT, "korvane is built without the Qt window")
class WindowEndsWhenTold(unittest.TestCase):
    def start(self, env):
        path = os.path.dirname(tool_path("korvane-calc")) + ":" + os.environ["PATH"]
        return Gateway(INI, env=dict(env, PATH=path), test=self)

    def busy(self, gw):
        """A served program running and a session waiting mid-request."""
        self.assertIn(b"<th>a+b</th><td>3</td>", gw.get("/calc/sheet?a=1&b=2", timeout=60).body)
        wait_until(lambda: served_processes(gw), 10, "korvane-calc")
        since = len(gw.lines)
        waiting = socket.create_connection(("127.0.0.1", gw.port), timeout=10)
        self.addCleanup(waiting.close)
        waiting.sendall(b"GET /calc/sheet?a=4")  # the head is never finished
        gw.wait_for_line(r"accept \d+ 127\.0\.0\.1", since=since)

    def assert_ends(self, gw, end):
        started = time.monotonic()
        end()
        code = gw.process.wait(timeout=10)
        took = time.monotonic() - started
        self.assertEqual(code, 0)
        self.assertLess(took, 2.0, "the process took %.2f s to end" % took)
        self.assertEqual(served_processes(gw), [], "the served program ends with the gateway")
        started = time.monotonic()
        self.assertEqual(gw.ctl_failure("status", "1"), (3, "no korvane is running for %s\n" % gw.home))
        self.assertLess(time.monotonic() - started, 5.0)

    def test_sigterm_and_exit_end_the_process_with_or_without_a_display(self):
        offscreen = {"QT_QPA_PLATFORM": "offscreen"}
        display = ":%d" % next(n for n in range(99, 0, -1) if not os.path.exists("/tmp/.X11-unix/X%d" % n))
        sigterm = lambda gw: gw.process.send_signal(signal.SIGTERM)
        for name, env, end, said in (
                ("SIGTERM", offscreen, sigterm, ""),
                ("ctl exit", offscreen, lambda gw: self.assertEqual(gw.ctl("exit"), "exiting\n"), ""),
                ("no display", {"DISPLAY": display, "WAYLAND_DISPLAY": "", "QT_QPA_PLATFORM": ""}, sigterm,
                 "korvane: no display at DISPLAY=%s: running headless\n" % display)):
            with self.subTest(name):
                gw = self.start(env)
                self.busy(gw)
                self.assert_ends(gw, lambda: end(gw))
                stderr = gw.stop()
                self.assertEqual(stderr.count("running headless"), int(bool(said)), stderr)
                self.assertIn(said, stderr)


def mapped(gw):
    """The file names mapped into gw's process."""
    with open("/proc/%d/maps" % gw.process.pid) as f:
        return {os.path.basename(line.split()[5]) for line in f if len(line.split()) > 5}


@unittest.skipUnless(WITH_QT, "korvane is built without the Qt window")
class WindowModule(unittest.TestCase):
    """Qt is in the window's module alone, loaded only for a window."""

    def test_qt_is_mapped_only_when_a_window_is_shown(self):
        no_display = {"DISPLAY": "", "WAYLAND_DISPLAY": "", "QT_QPA_PLATFORM": ""}
        offscreen = {"QT_QPA_PLATFORM": "offscreen"}
        for name, env, options, window in (("no display", no_display, (), False),
                                           ("--headless", offscreen, ("--headless",), False),
                                           ("offscreen window", offscreen, (), True)):
            with self.subTest(name):
                gw = Gateway(INI, env=env, options=options, test=self)
                files = mapped(gw)
                self.assertEqual("libkorvane-window.so" in files, window, sorted(files))
                self.assertEqual(any(f.startswith("libQt6") for f in files), window, sorted(files))
                self.assertTrue(gw.get("/").raw, "the gateway answers")
                self.assertNotIn("cannot load the window", gw.stop())

    def test_the_module_is_found_as_installed_or_the_gateway_runs_headless(self):
        """bin/korvane finds lib/korvane/libkorvane-window.so; without it the
        gateway says so in one line and serves headless."""
        for name, installed in (("installed tree", True), ("no module", False)):
            with self.subTest(name):
                root = tempfile.TemporaryDirectory(prefix="kvexe.")
                self.addCleanup(root.cleanup)
                os.makedirs(os.path.join(root.name, "bin"))
                copy = shutil.copy(gateway_process.BINARY, os.path.join(root.name, "bin"))
                if installed:
                    os.makedirs(os.path.join(root.name, "lib", "korvane"))
                    shutil.copy(os.path.join(BUILD, "libkorvane-window.so"),
                                os.path.join(root.name, "lib", "korvane"))
                with mock.patch.object(gateway_process, "BINARY", copy):
                    gw = Gateway(INI, env={"QT_QPA_PLATFORM": "offscreen"}, test=self)
                self.assertEqual("libkorvane-window.so" in mapped(gw), installed)
                self.assertTrue(gw.get("/").raw, "the gateway answers")
                said = [line for line in gw.stop().splitlines() if "window" in line or "headless" in line]
                self.assertEqual(said, [] if installed else [
                    "korvane: cannot load the window (%s/bin/../lib/korvane/libkorvane-window.so: cannot open "
                    "shared object file: No such file or directory): running headless" % root.name])
