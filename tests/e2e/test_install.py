"""The gateway as installed: the Debian package and what lands with it (man
pages, the example configuration, the user made at install), the service
unit as systemd judges it, and what the gateway tells systemd while it runs."""

import glob
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import unittest

from gateway_process import ENV, Gateway

BUILD = os.environ.get("KORVANE_BUILD_DIR", "")
# korvane tells systemd how it is doing when built with libsystemd.
WITH_SYSTEMD = os.path.exists("/usr/include/systemd/sd-daemon.h")


def cache_value(name):
    with open(os.path.join(BUILD, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    return ""


def read(path):
    with open(path) as f:
        return f.read()


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=300, **kw)


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="kvpkg.")
        made = run(["cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-G", "DEB",
                    "-B", cls.tmp.name], cwd=BUILD)
        debs = glob.glob(os.path.join(cls.tmp.name, "*.deb"))
        if made.returncode != 0 or len(debs) != 1:
            raise AssertionError("cpack failed:\n" + made.stdout + made.stderr)
        cls.deb = debs[0]
        cls.prefix = cache_value("CMAKE_INSTALL_PREFIX").lstrip("/")
        cls.root = os.path.join(cls.tmp.name, "root")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def installed(self, relative):
        return os.path.join(self.root, self.prefix, relative)

    def test_files_land_and_korvane_runs(self):
        listing = run(["dpkg-deb", "-c", self.deb]).stdout
        names = {line.split()[-1].lstrip(".") for line in listing.splitlines()}
        for relative in ("bin/korvane", "bin/korvane-link-adapter", "bin/korvane-calc",
                         "lib/systemd/system/korvane.service", "share/man/man1/korvane.1",
                         "share/man/man1/korvane-link-adapter.1", "share/man/man5/korvane.ini.5",
                         "share/doc/korvane/README.md", "share/doc/korvane/LICENSE",
                         "share/doc/korvane/examples/korvane.ini"):
            self.assertIn("/%s/%s" % (self.prefix, relative), names)
        version = run([self.installed("bin/korvane"), "--version"], env=ENV)
        self.assertEqual((version.returncode, version.stdout), (0, "korvane 1.0.0\n"))
        unit = read(self.installed("lib/systemd/system/korvane.service"))
        self.assertIn("ExecStart=/%s/bin/korvane --headless" % self.prefix, unit)

        # The example configuration is for today's clients, and passes the check.
        with tempfile.TemporaryDirectory() as home:
            shutil.copy(self.installed("share/doc/korvane/examples/korvane.ini"), home)
            self.assertIn("\nModernClients=1\n", read(os.path.join(home, "korvane.ini")))
            check = run([self.installed("bin/korvane"), "--home", home, "--check-config"], env=ENV)
            self.assertEqual(check.returncode, 0, check.stdout)

    def test_man_pages_render(self):
        for page, title in (("man1/korvane.1", "KORVANE(1)"), ("man1/korvane-link-adapter.1", "KORVANE-LINK-ADAPTER(1)"),
                            ("man5/korvane.ini.5", "KORVANE.INI(5)")):
            shown = run(["man", "--warnings", "-l", self.installed("share/man/" + page)],
                        env=dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8", MANPAGER="cat", PAGER="cat"))
            self.assertEqual((shown.returncode, shown.stderr), (0, ""), page)
            self.assertTrue(shown.stdout.startswith(title), shown.stdout[:80])
            self.assertIn("\nNAME\n", shown.stdout)
            self.assertIn("SEE ALSO", shown.stdout)

    def test_postinst_makes_the_korvane_user_once(self):
        control = os.path.join(self.tmp.name, "control")
        subprocess.run(["dpkg-deb", "-e", self.deb, control], check=True)
        postinst = os.path.join(control, "postinst")
        self.assertTrue(os.access(postinst, os.X_OK))
        # Stand-ins for the user database: getent says whether the user exists.
        stubs = os.path.join(self.tmp.name, "stubs")
        os.makedirs(stubs, exist_ok=True)
        calls = os.path.join(self.tmp.name, "calls")
        for name, body in (("getent", 'echo "getent $*" >> %s; [ -e %s.exists ]' % (calls, calls)),
                           ("useradd", 'echo "useradd $*" >> %s; touch %s.exists' % (calls, calls))):
            with open(os.path.join(stubs, name), "w") as f:
                f.write("#!/bin/sh\n" + body + "\n")
            os.chmod(os.path.join(stubs, name), 0o755)
        env = dict(os.environ, PATH=stubs + ":" + os.environ["PATH"])
        for _ in range(2):
            self.assertEqual(run([postinst, "configure"], env=env).returncode, 0)
        self.assertEqual(read(calls).splitlines(), [
            "getent passwd korvane",
            "useradd --system --user-group --home-dir /var/lib/korvane --no-create-home "
            "--shell /usr/sbin/nologin --comment korvane gateway korvane",
            "getent passwd korvane"])

    def unit_for_checks(self):
        """The installed unit, its ExecStart pointing into the extraction."""
        unit = read(self.installed("lib/systemd/system/korvane.service"))
        unit = unit.replace("ExecStart=/" + self.prefix + "/bin/korvane", "ExecStart=" + self.installed("bin/korvane"))
        folder = os.path.join(self.tmp.name, "unit")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "korvane.service")
        with open(path, "w") as f:
            f.write(unit)
        return path

    def test_systemd_verifies_the_unit_and_rates_it_safe(self):
        if not shutil.which("systemd-analyze"):
            self.skipTest("systemd-analyze is not installed (Debian package systemd)")
        unit = self.unit_for_checks()
        # The man pages the unit names are found in the package.
        verify = run(["systemd-analyze", "verify", unit],
                     env=dict(os.environ, MANPATH=self.installed("share/man")))
        self.assertEqual((verify.returncode, verify.stdout + verify.stderr), (0, ""))
        security = run(["systemd-analyze", "security", "--offline=true", "--no-pager", unit])
        exposure = re.search(r"Overall exposure level for korvane\.service: (\d+\.\d+)", security.stdout)
        self.assertIsNotNone(exposure, security.stdout + security.stderr)
        self.assertLessEqual(float(exposure.group(1)), 2.0, security.stdout)
        self.assertIn("\nType=%s\n" % ("notify" if WITH_SYSTEMD else "simple"), read(unit))


class ServiceNotification(unittest.TestCase):
    def test_ready_status_and_stopping(self):
        if not WITH_SYSTEMD:
            self.skipTest("built without libsystemd (Debian package libsystemd-dev)")
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "notify")
            listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            self.addCleanup(listener.close)
            listener.bind(path)
            listener.settimeout(20)
            gw = Gateway("", env={"NOTIFY_SOCKET": path}, options=("--headless",))
            self.addCleanup(gw.stop)
            where = "listening on 127.0.0.1:%d" % gw.port

            def said():
                return listener.recv(4096).decode()
            self.assertEqual(said(), "READY=1\nSTATUS=%s, 0 sessions" % where)
            client = gw.connect()
            self.assertEqual(said(), "STATUS=%s, 1 session" % where)
            client.close()
            self.assertEqual(said(), "STATUS=%s, 0 sessions" % where)
            gw.process.send_signal(signal.SIGTERM)
            self.assertEqual(said(), "STOPPING=1")
            self.assertEqual(gw.process.wait(timeout=15), 0)


if __name__ == "__main__":
    unittest.main()
