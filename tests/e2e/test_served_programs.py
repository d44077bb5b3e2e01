"""Served programs as a newcomer writes and installs them: the link library
installed into a fresh prefix and used from outside the tree, built with the
README's pkg-config and CMake recipes, the three samples of
docs/link-protocol.md run as printed there against a live gateway with
concurrent clients, and the demo home's programs."""

import os
import re
import subprocess
import tempfile
import unittest
import urllib.parse

from gateway_process import (BUILD, SOURCE, Gateway, curl, http_head, in_parallel, processes_with, readme_blocks,
                             split_answer, write_file)
from link_client import ServedProcess, tool_path
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
        cls.addClassCleanup(cls.tmp.cleanup)
        cls.prefix = os.path.join(cls.tmp.name, "prefix")
        run(["cmake", "--install", BUILD, "--prefix", cls.prefix])
        cls.libdir = next(os.path.dirname(d) for d, _, files in os.walk(cls.prefix)
                          if "korvane-link.pc" in files)

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
                     env={"LD_LIBRARY_PATH": self.libdir}, test=self)
        env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(self.libdir, "pkgconfig"))
        run(["sh", "-c", self.build_lines()[0]], cwd=gw.home, env=env)
        flags = run(["pkg-config", "--cflags", "korvane-link"], env=env).split()
        self.assertIn(self.prefix + "/include/korvane",
                      [os.path.normpath(f[2:]) for f in flags if f.startswith("-I")])
        self.check_answers(gw)
        started = list(processes_with(gw.path("echo-served")).values())
        self.assertEqual(started, [[gw.path("echo-served"), "DDE"]])

    def build_lines(self):
        """The README's two build commands: pkg-config, then CMake."""
        lines = [block.strip() for block in readme_blocks(SECTION, "sh")]
        self.assertEqual(len(lines), 2, lines)
        return lines

    def test_cmake_build_and_script_samples_serve_concurrent_clients(self):
        # The C++ sample built with the README's CMakeLists.txt finds the
        # installed library without LD_LIBRARY_PATH.
        work = os.path.join(self.tmp.name, "work")
        samples = dict(doc_samples(), cmake=readme_blocks(SECTION, "cmake")[0])
        for name, sample in (("echo.cpp", "cpp"), ("CMakeLists.txt", "cmake"), ("echo.python", "python"),
                             ("echo.sh", "sh")):
            write_file(os.path.join(work, name), samples[sample])
        run(["sh", "-c", self.build_lines()[1]], cwd=work, env=dict(os.environ, CMAKE_PREFIX_PATH=self.prefix))
        for case, argv in (("cmake", [os.path.join(work, "build/echo-served")]),
                           ("python", ["python3", os.path.join(work, "echo.python")]),
                           ("sh", [tool_path("korvane-link-adapter"), "--app", "echo", "--topic", "page",
                                   "--", "sh", os.path.join(work, "echo.sh")])):
            with self.subTest(case):
                # Started by hand, told only the gateway's home and link folder.
                gw = Gateway("[Variables]\nMaxUsers=20\n\n[Topics]\necho=page\n", test=self)
                program = ServedProcess(argv, gw.path("links/echo"), env=dict(
                    os.environ, KORVANE_HOME=gw.home, KORVANE_LINK_DIR=gw.path("links")))
                self.addCleanup(program.stop)
                self.check_answers(gw)

    def check_answers(self, gw):
        queries = ["<%d> & %d" % (i, i) for i in range(8)]
        answers = in_parallel(lambda q: curl("-i", "--http1.0", "http://127.0.0.1:%d/echo/page?q=%s"
                                             % (gw.port, urllib.parse.quote_plus(q))).stdout, queries)
        for q in queries:
            body = b"<html><body><p>echo: %s</p></body></html>\n" % (
                q.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").encode())
            self.assertEqual(split_answer(answers[q]), (http_head(len(body)), body))
        self.assertTrue(os.path.isfile(gw.path("drives/c/temp/answers/echo-1.htm")))
