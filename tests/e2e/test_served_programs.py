"""Served programs as a newcomer writes and installs them: the link library
installed into a fresh prefix and used from outside the tree, built with the
README's pkg-config and CMake recipes, the three samples of
docs/link-protocol.md run as printed there against a live gateway with
concurrent clients, and the demo home's programs."""

import os
import re
import subprocess
import tempfile
import threading
import unittest
import urllib.parse
import urllib.request

from gateway_process import Gateway, readme_blocks, split_answer, http_head
from link_client import ServedProcess, processes_with, tool_path

SOURCE = os.environ.get("KORVANE_SOURCE_DIR", "")
BUILD = os.environ.get("KORVANE_BUILD_DIR", "")
DOC = os.path.join(SOURCE, "docs", "link-protocol.md")
SECTION = "Writing a served program"  # of the README


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

    def test_pkg_config_build_started_by_the_gateway(self):
        # The document's C++ sample built in the home folder with the
        # README's pkg-config line, and started on the first request as the
        # README's section for it says.
        ini = next(block for block in readme_blocks(SECTION, "ini") if "[echo]" in block)
        gw = Gateway("[Variables]\nMaxUsers=20\n\n" + ini, files={"echo.cpp": doc_samples()["cpp"]},
                     env={"LD_LIBRARY_PATH": self.libdir})
        try:
            env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(self.libdir, "pkgconfig"))
            run(["sh", "-c", self.build_lines()[0]], cwd=gw.home, env=env)
            flags = run(["pkg-config", "--cflags", "korvane-link"], env=env).split()
            self.assertIn(self.prefix + "/include/korvane",
                          [os.path.normpath(f[2:]) for f in flags if f.startswith("-I")])
            self.check_answers(gw)
            started = list(processes_with(gw.path("echo-served")).values())
            self.assertEqual(started, [[gw.path("echo-served"), "DDE"]])
        finally:
            gw.stop()

    def test_cmake_build_serves_concurrent_clients(self):
        # The same sample built with the README's CMakeLists.txt; the
        # program finds the installed library without LD_LIBRARY_PATH.
        work = os.path.join(self.tmp.name, "cmake")
        os.makedirs(work)
        for name, text in (("echo.cpp", doc_samples()["cpp"]),
                           ("CMakeLists.txt", readme_blocks(SECTION, "cmake")[0])):
            with open(os.path.join(work, name), "w") as f:
                f.write(text)
        run(["sh", "-c", self.build_lines()[1]], cwd=work, env=dict(os.environ, CMAKE_PREFIX_PATH=self.prefix))
        self.check_serves([os.path.join(work, "build/echo-served")], {})

    def build_lines(self):
        """The README's two build commands: pkg-config, then CMake."""
        lines = [block.strip() for block in readme_blocks(SECTION, "sh")]
        self.assertEqual(len(lines), 2, lines)
        return lines

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
                self.check_answers(gw)
            finally:
                program.stop()
        finally:
            gw.stop()

    def check_answers(self, gw):
        queries = ["<%d> & %d" % (i, i) for i in range(8)]
        answers = ask_many(gw.port, queries)
        for q in queries:
            body = b"<html><body><p>echo: %s</p></body></html>\n" % (
                q.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").encode())
            self.assertEqual(split_answer(answers[q]), (http_head(len(body)), body))
        self.assertTrue(os.path.isfile(gw.path("drives/c/temp/answers/echo-1.htm")))


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
