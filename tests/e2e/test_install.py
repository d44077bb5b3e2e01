"""The gateway as installed: the Debian package and what lands with it (man
pages, the example configuration, the user made at install), the service
unit as systemd judges it, the README's service recipe run line by line on
the package, and what the gateway tells systemd while it runs."""

import glob
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import unittest

from gateway_process import (BUILD, ENV, SOURCE, Gateway, free_port, processes_with, readme_blocks, wait_until,
                             write_file)


def read(path):
    with open(path) as f:
        return f.read()


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=300, **kw)


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="kvpkg.")
        cls.addClassCleanup(cls.tmp.cleanup)
        made = run(["cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-G", "DEB",
                    "-B", cls.tmp.name], cwd=BUILD)
        debs = glob.glob(os.path.join(cls.tmp.name, "*.deb"))
        if made.returncode != 0 or len(debs) != 1:
            raise AssertionError("cpack failed:\n" + made.stdout + made.stderr)
        cls.deb = debs[0]
        cls.prefix = re.search(r"^CMAKE_INSTALL_PREFIX:\w+=/?(.*)$", read(os.path.join(BUILD, "CMakeCache.txt")),
                               re.M).group(1)
        cls.root = os.path.join(cls.tmp.name, "root")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True)

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
        # The window's module where bin/korvane looks for it, and Qt among
        # the package's dependencies for it.
        with_window = os.path.exists(os.path.join(BUILD, "libkorvane-window.so"))
        self.assertEqual("/%s/lib/korvane/libkorvane-window.so" % self.prefix in names, with_window)
        depends = run(["dpkg-deb", "-f", self.deb, "Depends"]).stdout
        self.assertEqual("libqt6widgets6" in depends, with_window, depends)
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
        calls = os.path.join(self.tmp.name, "calls")
        for name, body in (("getent", 'echo "getent $*" >> %s; [ -e %s.exists ]' % (calls, calls)),
                           ("useradd", 'echo "useradd $*" >> %s; touch %s.exists' % (calls, calls))):
            write_file(os.path.join(stubs, name), "#!/bin/sh\n" + body + "\n", executable=True)
        env = dict(os.environ, PATH=stubs + ":" + os.environ["PATH"])
        for _ in range(2):
            self.assertEqual(run([postinst, "configure"], env=env).returncode, 0)
        self.assertEqual(read(calls).splitlines(), [
            "getent passwd korvane",
            "useradd --system --user-group --home-dir /var/lib/korvane --no-create-home "
            "--shell /usr/sbin/nologin --comment korvane gateway korvane",
            "getent passwd korvane"])

    def test_systemd_verifies_the_unit_and_rates_it_safe(self):
        if not shutil.which("systemd-analyze"):
            self.skipTest("systemd-analyze is not installed (Debian package systemd)")
        # The installed unit, its ExecStart pointing into the extraction.
        unit = os.path.join(self.tmp.name, "korvane.service")
        write_file(unit, read(self.installed("lib/systemd/system/korvane.service")).replace(
            "ExecStart=/" + self.prefix + "/bin/korvane", "ExecStart=" + self.installed("bin/korvane")))
        # The man pages the unit names are found in the package.
        verify = run(["systemd-analyze", "verify", unit],
                     env=dict(os.environ, MANPATH=self.installed("share/man")))
        self.assertEqual((verify.returncode, verify.stdout + verify.stderr), (0, ""))
        security = run(["systemd-analyze", "security", "--offline=true", "--no-pager", unit])
        exposure = re.search(r"Overall exposure level for korvane\.service: (\d+\.\d+)", security.stdout)
        self.assertIsNotNone(exposure, security.stdout + security.stderr)
        self.assertLessEqual(float(exposure.group(1)), 2.0, security.stdout)
        self.assertIn("\nType=notify\n", read(unit))

    def test_readme_service_recipe(self):
        """Every line of the README's service recipe, as printed, on this
        machine: the package unpacked under a temporary root instead of
        installed, the unit's own command lines run instead of systemctl."""
        if self.prefix != "usr":
            self.skipTest("the build folder is not configured with the recipe's prefix /usr")
        recipe = Recipe(self)
        for line in "".join(readme_blocks("Running as a service")).splitlines():
            recipe.run(line)
        self.assertEqual(recipe.done, ["deps", "configure", "package", "install", "start", "journal",
                                       "status", "reload"])
        # A request reaches each of the demo's served programs, started on
        # demand, and their answers come back.
        for target, expected in (("/calc/sheet?a=1&b=2", b"<th>a+b</th><td>3</td>"),
                                 ("/hello/page?name=Ada", b"<p>Hello, Ada!</p>")):
            answer = run(["curl", "-s", "--max-time", "60", "http://127.0.0.1:%d%s" % (recipe.port, target)])
            self.assertIn(expected, answer.stdout.encode(), target)
        self.assertEqual(recipe.stop(), 0)
        self.assertEqual(recipe.leftovers(), [], "the service's programs end with it")


LISTENING = re.compile(r" Listening on Port \d+$")


def unit_settings(text):
    """{key: [values]} of a unit file's lines."""
    settings = {}
    for line in text.splitlines():
        key, eq, value = line.partition("=")
        if eq and not line.startswith("#"):
            settings.setdefault(key, []).append(value)
    return settings


class Recipe:
    """Runs the README's service recipe, one line at a time, in a temporary
    root: /usr is the unpacked package, /var/lib/korvane and /run/korvane
    are folders of the test, and sudo is left out (the test may run as any
    user). A line no step below knows is run through sh as it is."""

    STEPS = ((r"scripts/install-deps\.sh$", "deps"),
             (r"cmake -S \. -B build (.*)$", "configure"),
             (r"cmake --build build -j2 && \(cd build && cpack -G DEB\)$", "package"),
             (r"sudo apt install \./build/(\S+)$", "install"),
             (r"sudo systemctl enable --now korvane$", "start"),
             (r"journalctl -u korvane -f +# the event log$", "journal"),
             (r'systemctl status korvane +# "(.*)"$', "status"),
             (r"sudo systemctl reload korvane +# SIGHUP: Reinitialize$", "reload"))

    def __init__(self, test):
        self.test = test
        self.tmp = tempfile.mkdtemp(prefix="recipe.", dir=test.tmp.name)
        self.state = os.path.join(self.tmp, "var/lib/korvane")
        self.runtime = os.path.join(self.tmp, "run/korvane")
        os.makedirs(self.runtime)
        self.env = dict(ENV, PATH=test.installed("bin") + ":" + os.environ["PATH"])
        self.unit_text = read(test.installed("lib/systemd/system/korvane.service"))
        self.unit = unit_settings(self.unit_text)
        self.done = []
        self.gateway = self.notify = None
        self.lines = []  # what the gateway prints: the journal
        test.addCleanup(self.stop)

    def rooted(self, text):
        text = text.replace("/var/lib/korvane", self.state).replace("/run/korvane", self.runtime)
        return re.sub(r"(?<![\w.])/usr/", self.test.installed(""), text).replace("sudo ", "")

    def run(self, line):
        line = line.strip()
        if not line:
            return
        for pattern, step in self.STEPS:
            match = re.match(pattern, line)
            if match:
                if step not in ("deps", "package"):  # test.sh installed the deps; the class made the package
                    getattr(self, step)(*match.groups())
                self.done.append(step)
                return
        done = run(["sh", "-c", self.rooted(line)], env=self.env)
        self.test.assertEqual(done.returncode, 0, "%s\n%s%s" % (line, done.stdout, done.stderr))

    def configure(self, options):
        # Configuring is quick; it makes the unit the package holds. The
        # test suite's GoogleTest is hidden, as on a machine set up for
        # building only.
        folder = os.path.join(self.tmp, "build")
        done = run(["sh", "-c", "cmake -S '%s' -B '%s' %s -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON"
                    % (SOURCE, folder, options)])
        self.test.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.test.assertNotIn("not used by the project", done.stderr)
        self.test.assertEqual(read(os.path.join(folder, "korvane.service")), self.unit_text)

    def install(self, name):
        # The package the class made is unpacked; its postinst has a test of its own.
        self.test.assertEqual(name, os.path.basename(self.test.deb))

    def start(self):
        """The unit's ExecStart with its environment and folder, told to
        listen on a free loopback port instead of port 80, and a notify
        socket when the unit is Type=notify."""
        self.port = free_port()
        command = self.rooted(self.unit["ExecStart"][0]).split()
        env = dict(self.env, **dict(pair.split("=", 1) for value in self.unit.get("Environment", [])
                                    for pair in self.rooted(value).split()))
        if self.unit["Type"] == ["notify"]:
            path = os.path.join(self.tmp, "notify")
            self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            self.notify.bind(path)
            self.notify.settimeout(30)
            env["NOTIFY_SOCKET"] = path
        self.gateway = subprocess.Popen(command[:1] + ["--bind", "127.0.0.1:%d" % self.port] + command[1:],
                                        env=env, cwd=self.rooted(self.unit["WorkingDirectory"][0]),
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        threading.Thread(target=lambda: self.lines.extend(
            raw.decode("latin-1").rstrip("\r\n") for raw in self.gateway.stdout), daemon=True).start()
        if self.notify:
            self.said = self.notify.recv(4096).decode().split("\n")
            self.test.assertEqual(self.said[0], "READY=1")
        self.listening(1)

    def listening(self, count):
        wait_until(lambda: sum(bool(LISTENING.search(line)) for line in self.lines) >= count,
                   30, "%d Listening lines" % count)

    def journal(self):
        self.test.assertTrue(any(LISTENING.search(line) for line in self.lines))

    def status(self, shown):
        if not self.notify:
            return  # a unit without notification shows no status line
        # As the README shows it, but for the numbers.
        self.test.assertEqual(re.sub(r"\d+", "N", self.said[1]), "STATUS=" + re.sub(r"\d+", "N", shown))

    def reload(self):
        command = self.unit["ExecReload"][0].replace("$MAINPID", str(self.gateway.pid))
        self.test.assertEqual(run(["sh", "-c", command]).returncode, 0)
        self.listening(2)

    def stop(self):
        """Ends the gateway with the unit's KillSignal; its exit status."""
        if not self.gateway or self.gateway.returncode is not None:
            return self.gateway and self.gateway.returncode
        self.gateway.send_signal(getattr(signal, self.unit["KillSignal"][0]))
        try:
            return self.gateway.wait(timeout=20)
        finally:
            if self.gateway.returncode is None:
                self.gateway.kill()
                self.gateway.wait()
            self.gateway.stdout.close()
            for pid in self.leftovers():
                os.kill(pid, signal.SIGKILL)
            if self.notify:
                self.notify.close()

    def leftovers(self):
        """Processes still running with the service's home in their
        environment (the served programs the gateway started)."""
        return list(processes_with(self.state, "environ"))


class ServiceNotification(unittest.TestCase):
    def test_ready_status_and_stopping(self):
        """NOTIFY_SOCKET names a path, or an abstract socket with '@'."""
        with tempfile.TemporaryDirectory() as folder:
            for named, bound in ((os.path.join(folder, "notify"),) * 2,
                                 ("@" + folder + "/abstract", "\0" + folder + "/abstract")):
                with self.subTest(named):
                    listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
                    self.addCleanup(listener.close)
                    listener.bind(bound)
                    listener.settimeout(20)
                    self.notifies(listener, named)

    def notifies(self, listener, named):
        gw = Gateway("", env={"NOTIFY_SOCKET": named}, options=("--headless",), test=self)
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
