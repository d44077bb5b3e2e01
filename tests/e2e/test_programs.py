"""Program runs end to end: the gateway runs real programs (small shell
scripts) for real HTTP requests over loopback TCP."""

import contextlib
import os
import re
import sys
import time
import unittest

from gateway_process import Gateway, in_parallel

# calc.exe: the input file holds a number; the answer is its square, written
# beside the input as <input up to its first "."> + ".HTM".
CALC = r"""#!/bin/sh
printf '%s\n' "$@" > "$(dirname "$0")/calc.args"
in="$1"
n=$(cat "$in")
base=$(basename "$in")
printf '<p>%s squared is %s</p>' "$n" $((n * n)) > "$(dirname "$in")/${base%%.*}.HTM"
"""

# echo.sh [EXT] INPUT: copies the input to <input up to "."> + "." + EXT
# (default htm), the output name in lower case.
ECHO = r"""#!/bin/sh
if [ $# -ge 2 ]; then ext=$1; in=$2; else ext=htm; in=$1; fi
printf '%s\n' "$@" > "$(dirname "$0")/echo.args"
base=$(basename "$in")
out=$(printf '%s' "${base%%.*}.$ext" | tr 'A-Z' 'a-z')
cat "$in" > "$(dirname "$in")/$out"
"""

# slow.sh: the echo after a second of work.
SLOW = r"""#!/bin/sh
sleep 1
base=$(basename "$1")
cat "$1" > "$(dirname "$1")/${base%%.*}.HTM"
"""

SILENT = "#!/bin/sh\nexit 0\n"

MARK = "#!/bin/sh\nsleep 2\ntouch \"$(dirname \"$0\")/mark.done\"\n"

CALC_EXE, ECHO_EXE = r"c:\calc.exe", r"c:\echo.sh"
# section: topic, EXE, OutFileType, further keys
PROGRAMS = {
    "calc": ("n", CALC_EXE, "HTM", ""),
    "all": ("ALL", ECHO_EXE, "HTM", ""),
    "txt": ("v", ECHO_EXE, "TXT", "CommandLine=TXT\n"),
    "htm": ("v", ECHO_EXE, "HTM", ""),
    "lines": ("v", ECHO_EXE, "HTM", "CRLF=||\n"),
    "reflect": ("data", "<none>", "tmp", ""),
    "rh": ("v", ECHO_EXE, "HTM", "referer=1\nsendhost=1\n"),
    "mp": ("v", ECHO_EXE, "HTM", ""),
    "keep": ("n", CALC_EXE, "HTM", "DeleteFile=2\n"),
    "drop": ("n", CALC_EXE, "HTM", "DeleteFile=1\n"),
    "sheet": ("unused", ECHO_EXE, "HTM", ""),
    "macsheet": ("unused", ECHO_EXE, "HTM", ""),
    "slow": ("v", r"c:\slow.sh", "HTM", ""),
    "silent": ("v", r"c:\silent.sh", "HTM", ""),
    "ghost": ("v", r"c:\nothere.exe", "HTM", ""),
    "ghostpath": ("v", "korvane-no-such-program-here", "HTM", ""),
}

INI = ("[Variables]\nMaxUsers=20\nExpireSeconds=60\nKeepInputFiles=1\n"
       + "".join("\n[%s]\ntopic=%s\nEXE=%s\nOutFileType=%s\n%s" % ((name,) + keys)
                 for name, keys in PROGRAMS.items())
       + "\n[noexe]\ntopic=v\n\n[MimeTypes]\nxls=a|topic/sheet\nxlt=-|topic/sheet\npdf=b|application/pdf\n"
       + "\n[MacTypes]\npdf=macsheet\n")

FILES = {
    "drives/c/calc.exe": (CALC, True),
    "drives/c/echo.sh": (ECHO, True),
    "drives/c/slow.sh": (SLOW, True),
    "drives/c/silent.sh": (SILENT, True),
    "drives/c/mark.sh": (MARK, True),
    "drives/c/export/doc.htm": "<p>static</p>",
    "drives/c/export/book.xls": "cells of a sheet",
    "drives/c/export/book2.xlt": "cells handed over",
    "drives/c/export/paper.pdf": b"%PDF-1.1 pretend",
    "drives/c/export/kept.htm": "",  # placeholder: the kept copy answers for it
}

INPUT_NAME = r"c:\\temp\\dde[0-9A-F]+\.tmp"

# A missing output is looked for in the kept-copy folder too; the answer
# names the last place looked.
NOT_FOUND_OUTPUT = r"^requested document not found: C:\\temp\\korvane\\dde[0-9A-F]+\.HTM\r\n$"


def output_of(host_input, extension):
    """Host path of the output that belongs to an input file."""
    folder, name = os.path.split(host_input)
    return os.path.join(folder, name.split(".")[0] + "." + extension)


class ProgramTestCase(unittest.TestCase):
    """One gateway for the class: every test uses its own topics or files."""

    ini = INI
    files = FILES

    @classmethod
    def setUpClass(cls):
        cls.gw = Gateway(cls.ini, cls.files, test=cls)

    def args_of(self, script):
        """The words the script was started with (its recorded argv)."""
        return self.gw.read("drives/c/%s.args" % script).decode().splitlines()

    def forget_args(self, script):
        with contextlib.suppress(FileNotFoundError):
            os.remove(self.gw.path("drives/c/%s.args" % script))

    def input_of(self, script):
        """Content of the input file the script was given."""
        with open(self.args_of(script)[-1], "rb") as f:
            return f.read()


class ProgramRunTest(ProgramTestCase):
    def test_calc_program_gets_the_field_and_its_output_is_the_answer(self):
        self.forget_args("calc")
        answer = self.gw.get("/x?&TOPIC=calc&n=5")
        self.assertEqual((answer.text, answer.head.get("content-type")), ("<p>5 squared is 25</p>", "Text/HTML"))

        args = self.args_of("calc")
        self.assertEqual(len(args), 1)  # the command is EXE, two blanks, the input
        self.assertRegex(self.gw.log_text(), r"www_exe_request c:\\calc\.exe  " + INPUT_NAME)
        self.assertRegex(self.gw.read("ddehitsc.log").decode(), r"^[A-X](\r?[A-X])*$")

    def test_what_the_echo_program_is_given(self):
        # Topic ALL: the whole decoded query is the input.
        self.forget_args("echo")
        answer = self.gw.get("/p?&TOPIC=all&a=x%41+y")
        self.assertRegex(answer.text, r"^&&MYIP=127\.0\.0\.1&ID=\d+\.\d\d&GET /p\?&&TOPIC=all&a=xA y "
                                      r"&HTTP=/1\.0\r\n$")
        self.assertEqual(self.input_of("echo"), answer.body)
        # A form body without a line end completes by its length; it joins the request after "?" and
        # the head's blank line, and is decoded only up to the request line's "HTTP".
        body = "&TOPIC=all&a=x%41+y"
        answer = self.gw.ask("POST /p HTTP/1.0\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body))
        self.assertRegex(answer.text, r"^&&MYIP=127\.0\.0\.1&ID=\d+\.\d\d&POST /p &HTTP=/1\.0\r\n\?\r\n"
                                      r"&TOPIC=all&a=x%41\+y$")
        # OutFileType TXT is announced; CommandLine sits between EXE and the
        # input; the program's lower-case .txt is found for the asked .TXT.
        self.assertEqual(self.gw.get("/p?&TOPIC=txt&v=hello").text, "&outfiletype=TXT&\r\nhello")
        self.assertEqual(self.args_of("echo")[0], "TXT")
        self.assertRegex(self.gw.log_text(), r"www_exe_request c:\\echo\.sh TXT " + INPUT_NAME)

    def test_topic_keys_and_decoding(self):
        # %2541 is "%41" after the query is decoded, and "A" after the
        # second decoding that reflect gives its data, which gets no
        # "&outfiletype=" line. A GET is decoded at its last "HTTP".
        for target, headers, text, ctype in [
                ("/p?&TOPIC=htm&v=hello", [], "hello", "Text/HTML"),
                ("/p?&TOPIC=lines&v=one||two", [], "one\r\ntwo", "Text/HTML"),
                ("/p?&TOPIC=htm&v=a%41HTTPb", [], "aAHTTPb", "Text/HTML"),
                ("/r?&TOPIC=reflect&mimetype=text/plain&data=a%2541b", [], "aAb", "text/plain"),
                ("/p?&TOPIC=rh&v=data", ["Referer: http://example.test/form.htm"],
                 "&Host\x01=127.0.0.1&\r\n&Referer\x01=http://example.test/form.htm&\r\ndata", "Text/HTML")]:
            with self.subTest(target=target):
                answer = self.gw.get(target, headers)
                self.assertEqual((answer.text, answer.head.get("content-type")), (text, ctype))

    def test_multipart_post_is_decoded_at_its_first_http(self):
        # The field stays as sent: everything after the request line's
        # "HTTP" is the undecoded tail.
        body = ("--XyZ\r\n"
                'Content-Disposition: form-data; name="TOPIC"\r\n\r\nmp\r\n'
                "--XyZ\r\n"
                'Content-Disposition: form-data; name="v"\r\n\r\na%41HTTPb\r\n'
                "--XyZ--\r\n")
        answer = self.gw.ask("POST /up/report.htm HTTP/1.0\r\n"
                             "Content-Type: multipart/form-data; boundary=XyZ\r\n"
                             "Content-Length: %d\r\n\r\n%s" % (len(body), body))
        self.assertEqual((answer.ok, answer.text), (True, "a%41HTTPb"))

    def test_delete_file_2_keeps_a_copy_the_document_fallback_finds_and_1_drops_it(self):
        self.forget_args("calc")
        body = "&TOPIC=keep&n=7"
        answer = self.gw.ask("POST /reports/Kept.htm HTTP/1.0\r\nContent-Length: %d\r\n\r\n%s"
                             % (len(body), body))
        self.assertEqual((answer.ok, answer.text), (True, "<p>7 squared is 49</p>"))
        self.assertFalse(os.path.exists(output_of(self.args_of("calc")[0], "HTM")))
        self.assertEqual(self.gw.read("drives/c/temp/korvane/Kept.htm"), answer.body)
        again = self.gw.get("/kept.htm")
        self.assertEqual((again.ok, again.text), (True, "<p>7 squared is 49</p>"))

        self.forget_args("calc")
        self.assertEqual(self.gw.get("/x?&TOPIC=drop&n=3").text, "<p>3 squared is 9</p>")
        self.assertFalse(os.path.exists(output_of(self.args_of("calc")[0], "HTM")))

    def test_documents_handed_to_their_programs(self):
        plain = self.gw.get("/paper.pdf")
        self.assertEqual(plain.head["content-type"], "application/pdf")
        copy = r"/c/temp/dde[0-9A-F]+\.tmp$"
        # Flag "a": the program works on a copy in the temporary folder; "-":
        # on the document itself. A Mac client's pdf goes to its program,
        # whose .htm output is the answer.
        for target, headers, text, argument in [
                ("/book.xls", [], "cells of a sheet", copy),
                ("/book2.xlt", [], "cells handed over", "^" + re.escape(self.gw.drives + "/c/export/book2.xlt") + "$"),
                ("/paper.pdf", ["User-Agent: Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15)"],
                 "%PDF-1.1 pretend", copy)]:
            with self.subTest(target=target):
                self.forget_args("echo")
                answer = self.gw.get(target, headers)
                self.assertEqual((answer.ok, answer.text, answer.head["content-type"]), (True, text, "Text/HTML"))
                self.assertRegex(self.args_of("echo")[0], argument)

    def test_refused_requests(self):
        # A query that decodes to character 1 is refused whole, so no topic
        # remains: the request takes the served-program road, where nothing
        # answers. A topic is its first word.
        self.forget_args("calc")
        for target, reply, reason in [
                ("/x?&TOPIC=nosuch&v=1", b"Unknown topic, nosuch\r\n", "WWW_EXE_Request_unknowntopic"),
                ("/x?&TOPIC=nosuch+more&v=1", b"Unknown topic, nosuch\r\n", None),
                ("/x?&TOPIC=noexe&v=1", b"Unknown topic, noexe\r\n", None),
                ("/x?&TOPIC=calc&m=1", b"Unknown topic, calc\r\n", None),
                ("/x?&TOPIC=calc&n=%01", b"No foreign application responded to a DDE conversation"
                                         b" trying to make connection with \r\n",
                 "WWW_EXE_Request_errorNo foreign application")]:
            with self.subTest(target=target):
                self.assertEqual(self.gw.get(target).raw, reply)
                if reason:
                    self.gw.wait_for_line("to be detached by " + reason)
        self.assertFalse(os.path.exists(self.gw.path("drives/c/calc.args")))

    def test_program_without_output_or_missing_gives_the_not_found_line(self):
        for topic, logged in (("silent", None), ("ghost", r"c:\\nothere\.exe"),
                              ("ghostpath", "korvane-no-such-program-here")):
            with self.subTest(topic=topic):
                self.assertRegex(self.gw.get("/x?&TOPIC=%s&v=1" % topic).text, NOT_FOUND_OUTPUT)
                if logged:
                    self.gw.wait_for_line(r"ShellAndWait cannot start " + logged)
        self.assertEqual(self.gw.get("/doc.htm").text, "<p>static</p>")  # still serving

    def test_ten_programs_run_side_by_side(self):
        finished = {}

        def run(k):
            if k == "doc":  # asked while the programs run
                time.sleep(0.3)
                finished["doc sent"] = time.monotonic()
            answer = self.gw.get("/doc.htm" if k == "doc" else "/x?&TOPIC=slow&v=client%d" % k)
            finished[k] = time.monotonic()
            return answer.text

        start = time.monotonic()
        answers = in_parallel(run, list(range(10)) + ["doc"], 30)
        self.assertEqual(answers, dict({k: "client%d" % k for k in range(10)}, doc="<p>static</p>"))
        total = max(finished[k] for k in range(10)) - start
        sys.stderr.write("\n  ten 1-second programs answered after %.2f s; static document meanwhile in %.3f s\n"
                         % (total, finished["doc"] - finished["doc sent"]))
        self.assertLess(total, 5.0)
        self.assertLess(finished["doc"], min(finished[k] for k in range(10)))  # before any program ended

    def test_operator_runs_a_command_and_waits(self):
        self.assertEqual(self.gw.ctl_failure("shellwait"), (2, "korvane ctl: command?\n"))
        code, err = self.gw.ctl_failure("shellwait", r"c:\absent.exe")
        self.assertEqual(code, 1)
        self.assertRegex(err, r"^korvane ctl: cannot start c:\\absent\.exe")
        def run(k):
            if k == "doc":  # served while the operator's command runs
                time.sleep(0.3)
                return self.gw.get("/doc.htm").text, os.path.exists(self.gw.path("drives/c/mark.done"))
            return self.gw.ctl("shellwait", r"c:\mark.sh"), os.path.exists(self.gw.path("drives/c/mark.done"))

        self.assertEqual(in_parallel(run, ["doc", "shell"], 30),
                         {"doc": ("<p>static</p>", False), "shell": ("ended: c:\\mark.sh\n", True)})
        log = self.gw.log_text()
        self.assertLess(log.index("waitforterm2-a"), log.index("waitforterm2-b"))


class WithoutKeptInputsTest(ProgramTestCase):
    """Without KeepInputFiles the input file goes once the answer is sent;
    an input that is itself the kept answer stays."""

    ini = INI.replace("KeepInputFiles=1\n", "")
    DONE = r"to be detached by WWW_EXE_Requestdone"

    def test_input_file_is_removed_after_the_answer_unless_it_is_the_answer(self):
        self.forget_args("calc")
        ended = self.gw.count(self.DONE)
        self.assertEqual(self.gw.get("/x?&TOPIC=calc&n=4").text, "<p>4 squared is 16</p>")
        self.gw.wait_for_count(self.DONE, ended + 1)
        host_input = self.args_of("calc")[0]
        self.assertFalse(os.path.exists(host_input))
        # DeleteFile is not set: the output stays, only the input went.
        self.assertTrue(os.path.exists(output_of(host_input, "HTM")))

        before = self.gw.temp_files("dde")
        self.assertEqual(self.gw.get("/r?&TOPIC=reflect&mimetype=text/plain&data=kept").text, "kept")
        self.gw.wait_for_count(self.DONE, ended + 2)
        self.assertEqual(len(set(self.gw.temp_files("dde")) - set(before)), 1)
