"""Served programs as a newcomer writes and installs them: the link library
installed into a fresh prefix and used from outside the tree through
pkg-config, the three samples of docs/link-protocol.md run as printed there
against a live gateway with concurrent clients, the README's service recipe
run on the installed files, and the demo home's programs."""

import os
import re
import shutil
import subprocess
import tempfile
import threading
import unittest
import urllib.parse
import urllib.request

from gateway_process import Gateway, free_port, split_answer, http_head, wait_until
from link_client import ServedProcess, tool_path

SOURCE = os.environ.get("KORVANE_SOURCE_DIR", "")
BUILD = os.environ.get("KORVANE_BUILD_DIR", "")
DOC = os.path.join(SOURCE, "docs", "link-protocol.md")


def doc_samples():
    """{"cpp": text, "python": text, "sh": text} as the document prints them."""
    with open(DOC) as f:
        doc = f.read()
    return dict(re.findall(r"<!-- sample: (\w+) -->\n```\w*\n(.*?)```", doc, re.S))


def run(args, **kwargs):
    result = subprocess.run(args, capture_output=True, text=True, timeout=600, **kwargs)
    if result.returncode != 0:
        raise AssertionError("%r failed:\n%s%s" % (args, result.stdout, result.stderr))
    return result.stdout


def ask_many(port, queries):
    """Asks for /echo/page?q=Q for every Q at once; returns {Q: raw answer}."""
    answers = {}

    def ask(q):
        url = "http://127.0.0.1:%d/echo/page?q=%s" % (port, urllib.parse.quote_plus(q))
        answers[q] = subprocess.run(["curl", "-s", "-i", "--http1.0", "--max-time", "60", url],
                                    capture_output=True, timeout=90).stdout

    threads = [threading.Thread(target=ask, args=(q,)) for q in queries]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    return answers


class ProtocolDocumentTest(unittest.TestCase):
    def test_every_sized_example_announces_its_size(self):
        with open(DOC) as f:
            examples = re.findall(r"(EXECUTE|DATA) (\d+)\\n(.*)$", f.read(), re.M)
        self.assertGreaterEqual(len(examples), 6)
        for word, size, payload in examples:
            # Written with \r and \n for CR and LF; other backslashes are bytes.
            self.assertEqual(int(size), len(payload) - payload.count("\\r") - payload.count("\\n"),
                             word + " " + payload)


class InstalledLibraryTest(unittest.TestCase):
    """One install into a temporary prefix for the whole class."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="kvinstall.")
        cls.prefix = os.path.join(cls.tmp.name, "prefix")
        run(["cmake", "--install", BUILD, "--prefix", cls.prefix])
        cls.libdir = next(os.path.dirname(d) for d, _, files in os.walk(cls.prefix)
                          if "korvane-link.pc" in files)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_library_headers_and_package_files_are_installed(self):
        lib = self.libdir
        for name in ("libkorvane_link.a", "libkorvane_link.so", "libkorvane_link.so.1",
                     "pkgconfig/korvane-link.pc", "cmake/KorvaneLink/KorvaneLinkConfig.cmake",
                     "cmake/KorvaneLink/KorvaneLinkTargets.cmake"):
            self.assertTrue(os.path.exists(os.path.join(lib, name)), name)
        self.assertIn("SONAME               libkorvane_link.so.1",
                      run(["objdump", "-p", os.path.join(lib, "libkorvane_link.so")]))
        for header in ("link/served_program.h", "link/request_text.h", "link/link_dir.h",
                       "platform/link_wire.h"):
            self.assertTrue(os.path.exists(os.path.join(self.prefix, "include/korvane", header)), header)

    def test_out_of_tree_program_built_with_pkg_config_serves_concurrent_clients(self):
        # The document's C++ sample, built as its text says.
        work = os.path.join(self.tmp.name, "cpp")
        os.makedirs(work, exist_ok=True)
        with open(os.path.join(work, "echo.cpp"), "w") as f:
            f.write(doc_samples()["cpp"])
        env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(self.libdir, "pkgconfig"))
        flags = run(["pkg-config", "--cflags", "--libs", "korvane-link"], env=env).split()
        self.assertIn(self.prefix + "/include/korvane",
                      [os.path.normpath(f[2:]) for f in flags if f.startswith("-I")])
        run(["c++", "echo.cpp", *flags, "-o", "echo"], cwd=work)
        self.check_serves([os.path.join(work, "echo")], {"LD_LIBRARY_PATH": self.libdir})

    def test_python_and_shell_samples_serve_concurrent_clients(self):
        samples = doc_samples()
        work = os.path.join(self.tmp.name, "scripts")
        os.makedirs(work, exist_ok=True)
        for name in ("python", "sh"):
            with open(os.path.join(work, "echo." + name), "w") as f:
                f.write(samples[name])
        for case, argv in (("python", ["python3", os.path.join(work, "echo.python")]),
                           ("sh", [tool_path("korvane-link-adapter"), "--app", "echo", "--topic", "page",
                                   "--", "sh", os.path.join(work, "echo.sh")])):
            with self.subTest(case):
                self.check_serves(argv, {})

    def check_serves(self, argv, env):
        """Starts argv by hand, told only the gateway's home and link
        folder, and asks it through the gateway from eight clients at once."""
        gw = Gateway("[Variables]\nMaxUsers=20\n\n[Topics]\necho=page\n")
        try:
            program = ServedProcess(argv, gw.path("links/echo"), env=dict(
                os.environ, KORVANE_HOME=gw.home, KORVANE_LINK_DIR=gw.path("links"), **env))
            try:
                queries = ["<%d> & %d" % (i, i) for i in range(8)]
                answers = ask_many(gw.port, queries)
                for q in queries:
                    body = b"<html><body><p>echo: %s</p></body></html>\n" % (
                        q.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").encode())
                    self.assertEqual(split_answer(answers[q]), (http_head(len(body)), body))
                self.assertTrue(os.path.isfile(gw.path("drives/c/temp/answers/echo-1.htm")))
            finally:
                program.stop()
        finally:
            gw.stop()

    def test_readme_service_recipe_runs_on_the_installed_files(self):
        # The README's commands after the install, with the prefix and the
        # service's folders under this test's folder and without sudo.
        with open(os.path.join(SOURCE, "README.md")) as f:
            readme = f.read()
        section = readme.split("## Running as a service", 1)[1].split("\n## ", 1)[0]
        blocks = re.findall(r"```sh\n(.*?)```", section, re.S)
        state = os.path.join(self.tmp.name, "var/lib/korvane")
        runtime = os.path.join(self.tmp.name, "run/korvane")
        os.makedirs(runtime)
        copy = [line for line in blocks[1].splitlines() if "/usr/share/korvane/demo" in line][0]
        copy = copy.replace("sudo ", "").replace("/usr/share", self.prefix + "/share")
        copy = copy.replace("/var/lib/korvane", state)
        run(["sh", "-c", copy])
        with open(next(os.path.join(d, "korvane.service") for d, _, files in os.walk(self.prefix)
                       if "korvane.service" in files)) as f:
            unit = f.read()
        exec_start = re.search(r"^ExecStart=(\S+)/korvane (.*)$", unit, re.M).group(2)
        link_dir = re.search(r"^Environment=KORVANE_LINK_DIR=(.*)$", unit, re.M).group(1)
        port = free_port()
        args = exec_start.replace("/var/lib/korvane", state).split()
        env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0",
                   KORVANE_LINK_DIR=link_dir.replace("/run/korvane", runtime),
                   PATH=os.path.join(self.prefix, "bin") + ":/usr/bin:/bin")
        gw = subprocess.Popen([os.path.join(self.prefix, "bin/korvane"), "--bind", "127.0.0.1:%d" % port,
                               *args], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            wait_until(lambda: os.path.exists(os.path.join(state, "drives/c/temp/log/korvane.log"))
                       and "Listening" in open(os.path.join(state, "drives/c/temp/log/korvane.log"),
                                               encoding="latin-1").read(), 30, "the service to listen")
            for target, expected in (("/calc/sheet?a=1&b=2", b"<th>a+b</th><td>3</td>"),
                                     ("/hello/page?name=Ada", b"<p>Hello, Ada!</p>")):
                raw = subprocess.run(["curl", "-s", "--max-time", "60", "http://127.0.0.1:%d%s" % (port, target)],
                                     capture_output=True, timeout=90).stdout
                self.assertIn(expected, raw, target)
        finally:
            gw.terminate()
            gw.wait(timeout=20)
        # The programs the service started ended with it.
        self.assertFalse([p for p in os.listdir("/proc") if p.isdigit() and state.encode() in
                          _environ_or_empty(p)])


def _environ_or_empty(pid):
    try:
        with open("/proc/%s/environ" % pid, "rb") as f:
            return f.read()
    except OSError:
        return b""


class DemoHomeTest(unittest.TestCase):
    """The demo home as shipped, its programs found on PATH."""

    def test_calc_by_get_and_posted_form_and_the_adapter_section(self):
        gw = Gateway(None, copy=os.path.join(SOURCE, "demo"),
                     env={"PATH": os.path.dirname(tool_path("korvane-calc")) + ":" + os.environ["PATH"]})
        try:
            base = "http://127.0.0.1:%d" % gw.port
            page = urllib.request.urlopen(base + "/calc/sheet?a=1&b=2", timeout=60).read()
            self.assertIn(b"<th>a+b</th><td>3</td>", page)
            # A real form post, as the demo's page sends it.
            posted = urllib.request.urlopen(urllib.request.Request(
                base + "/calc/sheet", data=b"a=8&b=9", method="POST"), timeout=60).read()
            for cell in (b"<th>a</th><td>8</td>", b"<th>b</th><td>9</td>", b"<th>a+b</th><td>17</td>"):
                self.assertIn(cell, posted)
            self.assertIn(b"<p>Hello, &lt;Ada&gt;!</p>", gw.get("/hello/page?name=%3CAda%3E", timeout=60).body)
            failed = gw.get("/hello/page?name=fail", timeout=60).text
            self.assertIn("<p>The program ended with exit status 3.</p><pre>hello.sh: asked to fail</pre>",
                          failed)
        finally:
            stderr = gw.stop()
        self.assertIn("korvane-link-adapter: request ", stderr)


if __name__ == "__main__":
    unittest.main()
