"""Program runs end to end: the gateway runs real programs (small shell
scripts) for real HTTP requests over loopback TCP."""

import os
import re
import sys
import threading
import time
import unittest

from gateway_process import Gateway

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

INI = r"""[Variables]
MaxUsers=20
ExpireSeconds=60
KeepInputFiles=1

[calc]
topic=n
EXE=c:\calc.exe
OutFileType=HTM

[all]
topic=ALL
EXE=c:\echo.sh
OutFileType=HTM

[txt]
topic=v
EXE=c:\echo.sh
CommandLine=TXT
OutFileType=TXT

[htm]
topic=v
EXE=c:\echo.sh
OutFileType=HTM

[lines]
topic=v
EXE=c:\echo.sh
OutFileType=HTM
CRLF=||

[reflect]
topic=data
EXE=<none>
OutFileType=tmp

[noexe]
topic=v

[rh]
topic=v
EXE=c:\echo.sh
referer=1
sendhost=1
OutFileType=HTM

[mp]
topic=v
EXE=c:\echo.sh
OutFileType=HTM

[keep]
topic=n
EXE=c:\calc.exe
OutFileType=HTM
DeleteFile=2

[drop]
topic=n
EXE=c:\calc.exe
OutFileType=HTM
DeleteFile=1

[sheet]
topic=unused
EXE=c:\echo.sh
OutFileType=HTM

[macsheet]
topic=unused
EXE=c:\echo.sh
OutFileType=HTM

[slow]
topic=v
EXE=c:\slow.sh
OutFileType=HTM

[silent]
topic=v
EXE=c:\silent.sh
OutFileType=HTM

[ghost]
topic=v
EXE=c:\nothere.exe
OutFileType=HTM

[ghostpath]
topic=v
EXE=korvane-no-such-program-here
OutFileType=HTM

[MimeTypes]
xls=a|topic/sheet
xlt=-|topic/sheet
pdf=b|application/pdf

[MacTypes]
pdf=macsheet
"""

FILES = {
    "drives/c/calc.exe": (CALC, True),
    "drives/c/echo.sh": (ECHO, True),
    "drives/c/slow.sh": (SLOW, True),
    "drives/c/silent.sh": (SILENT, True),
    "drives/c/mark.sh": (MARK, True),
    "drives/c/export/doc.htm": ("<p>static</p>", False),
    "drives/c/export/book.xls": ("cells of a sheet", False),
    "drives/c/export/book2.xlt": ("cells handed over", False),
    "drives/c/export/paper.pdf": (b"%PDF-1.1 pretend", False),
    "drives/c/export/kept.htm": ("", False),  # placeholder: the kept copy answers for it
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
        cls.gw = Gateway(cls.ini, cls.files)

    @classmethod
    def tearDownClass(cls):
        stderr = cls.gw.stop()
        if "ERROR: AddressSanitizer" in stderr or "runtime error:" in stderr:
            raise AssertionError("sanitizer report:\n" + stderr)

    def args_of(self, script):
        """The words the script was started with (its recorded argv)."""
        return self.gw.read("drives/c/%s.args" % script).decode().splitlines()

    def forget_args(self, script):
        try:
            os.remove(self.gw.path("drives/c/%s.args" % script))
        except FileNotFoundError:
            pass

    def input_of(self, script):
        """Content of the input file the script was given."""
        with open(self.args_of(script)[-1], "rb") as f:
            return f.read()


class ProgramRunTest(ProgramTestCase):
    def test_calc_program_gets_the_field_and_its_output_is_the_answer(self):
        self.forget_args("calc")
        answer = self.gw.get("/x?&TOPIC=calc&n=5")
        self.assertTrue(answer.ok, answer.raw)
        self.assertEqual(answer.text, "<p>5 squared is 25</p>")
        self.assertEqual(answer.head["content-type"], "Text/HTML")

        args = self.args_of("calc")
        self.assertEqual(len(args), 1)  # the command is EXE, two blanks, the input
        host_input = args[0]
        self.assertTrue(host_input.startswith(self.gw.drives + "/c/temp/dde"), host_input)
        self.assertEqual(self.input_of("calc"), b"5")
        self.assertRegex(self.gw.log_text(), r"www_exe_request c:\\calc\.exe  " + INPUT_NAME)
        # DeleteFile 0 keeps the output beside the input.
        self.assertTrue(os.path.exists(output_of(host_input, "HTM")))
        self.assertRegex(self.gw.read("ddehitsc.log").decode(), r"^[A-X](\r?[A-X])*$")
        self.gw.wait_for_line(r"to be detached by WWW_EXE_Requestdone")

    def test_topic_all_passes_the_whole_decoded_query(self):
        self.forget_args("echo")
        answer = self.gw.get("/p?&TOPIC=all&a=x%41+y")
        self.assertTrue(answer.ok, answer.raw)
        self.assertRegex(answer.text,
                         r"^&&MYIP=127\.0\.0\.1&ID=\d+\.\d\d&GET /p\?&&TOPIC=all&a=xA y "
                         r"&HTTP=/1\.0\r\n$")
        self.assertEqual(self.input_of("echo"), answer.body)

    def test_output_file_type_other_than_htm_is_announced_to_the_program(self):
        self.forget_args("echo")
        answer = self.gw.get("/p?&TOPIC=txt&v=hello")
        self.assertTrue(answer.ok, answer.raw)
        # The program wrote a lower-case .txt name; the gateway asked for .TXT.
        self.assertEqual(answer.text, "&outfiletype=TXT&\r\nhello")
        args = self.args_of("echo")
        self.assertEqual(args[0], "TXT")  # CommandLine sits between EXE and the input
        self.assertRegex(self.gw.log_text(), r"www_exe_request c:\\echo\.sh TXT " + INPUT_NAME)

        answer = self.gw.get("/p?&TOPIC=htm&v=hello")
        self.assertEqual(answer.text, "hello")

    def test_crlf_key_turns_double_bars_into_line_breaks(self):
        answer = self.gw.get("/p?&TOPIC=lines&v=one||two")
        self.assertEqual(answer.text, "one\r\ntwo")

    def test_reflect_sends_the_input_back_with_the_asked_type(self):
        # %2541 is "%41" after the query is decoded, and "A" after the
        # second decoding that reflect gives its data.
        answer = self.gw.get("/r?&TOPIC=reflect&mimetype=text/plain&data=a%2541b")
        self.assertTrue(answer.ok, answer.raw)
        self.assertEqual(answer.head["content-type"], "text/plain")
        self.assertEqual(answer.text, "aAb")  # no "&outfiletype=" line for reflect

    def test_server_fields_carry_character_1(self):
        self.forget_args("echo")
        answer = self.gw.get("/p?&TOPIC=rh&v=data",
                             ["Referer: http://example.test/form.htm"])
        self.assertTrue(answer.ok, answer.raw)
        self.assertEqual(answer.text,
                         "&Host\x01=127.0.0.1&\r\n"
                         "&Referer\x01=http://example.test/form.htm&\r\n"
                         "data")

    def test_get_is_decoded_at_its_last_http(self):
        answer = self.gw.get("/p?&TOPIC=htm&v=a%41HTTPb")
        self.assertEqual(answer.text, "aAHTTPb")

    def test_multipart_post_is_decoded_at_its_first_http(self):
        # The field stays as sent: everything after the request line's
        # "HTTP" is the undecoded tail.
        body = ("--XyZ\r\n"
                'Content-Disposition: form-data; name="TOPIC"\r\n\r\nmp\r\n'
                "--XyZ\r\n"
                'Content-Disposition: form-data; name="v"\r\n\r\na%41HTTPb\r\n'
                "--XyZ--\r\n")
        request = ("POST /up/report.htm HTTP/1.0\r\n"
                   "Content-Type: multipart/form-data; boundary=XyZ\r\n"
                   "Content-Length: %d\r\n\r\n%s" % (len(body), body))
        answer = self.gw.ask(request)
        self.assertTrue(answer.ok, answer.raw)
        self.assertEqual(answer.text, "a%41HTTPb")

    def test_delete_file_2_keeps_a_copy_the_document_fallback_finds(self):
        self.forget_args("calc")
        body = "&TOPIC=keep&n=7"
        answer = self.gw.ask("POST /reports/Kept.htm HTTP/1.0\r\nContent-Length: %d\r\n\r\n%s"
                             % (len(body), body))
        self.assertTrue(answer.ok, answer.raw)
        self.assertEqual(answer.text, "<p>7 squared is 49</p>")
        output = output_of(self.args_of("calc")[0], "HTM")
        self.assertFalse(os.path.exists(output))
        self.assertEqual(self.gw.read("drives/c/temp/korvane/Kept.htm"), answer.body)

        again = self.gw.get("/kept.htm")
        self.assertTrue(again.ok, again.raw)
        self.assertEqual(again.text, "<p>7 squared is 49</p>")

    def test_delete_file_1_drops_the_output(self):
        self.forget_args("calc")
        answer = self.gw.get("/x?&TOPIC=drop&n=3")
        self.assertEqual(answer.text, "<p>3 squared is 9</p>")
        self.assertFalse(os.path.exists(output_of(self.args_of("calc")[0], "HTM")))

    def test_document_type_handed_to_its_program(self):
        self.forget_args("echo")
        answer = self.gw.get("/book.xls")
        self.assertTrue(answer.ok, answer.raw)
        self.assertEqual(answer.text, "cells of a sheet")
        # Flag "a": the program works on a copy in the temporary folder.
        self.assertRegex(self.args_of("echo")[0], r"/c/temp/dde[0-9A-F]+\.tmp$")

    def test_document_handed_over_itself_with_minus_tag(self):
        self.forget_args("echo")
        answer = self.gw.get("/book2.xlt")
        self.assertTrue(answer.ok, answer.raw)
        self.assertEqual(answer.text, "cells handed over")
        self.assertEqual(self.args_of("echo")[0], self.gw.drives + "/c/export/book2.xlt")

    def test_mac_client_gets_the_mac_program(self):
        plain = self.gw.get("/paper.pdf")
        self.assertEqual(plain.head["content-type"], "application/pdf")
        self.forget_args("echo")
        mac = self.gw.get("/paper.pdf",
                          ["User-Agent: Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15)"])
        self.assertTrue(mac.ok, mac.raw)
        self.assertEqual(mac.body, b"%PDF-1.1 pretend")
        self.assertEqual(mac.head["content-type"], "Text/HTML")  # the program's .htm output
        self.assertRegex(self.args_of("echo")[0], r"/c/temp/dde[0-9A-F]+\.tmp$")


class UnknownTopicTest(ProgramTestCase):
    def test_topic_without_section(self):
        answer = self.gw.get("/x?&TOPIC=nosuch&v=1")
        self.assertEqual(answer.raw, b"Unknown topic, nosuch\r\n")
        self.gw.wait_for_line(r"to be detached by WWW_EXE_Request_unknowntopic")

    def test_topic_is_its_first_word(self):
        answer = self.gw.get("/x?&TOPIC=nosuch+more&v=1")
        self.assertEqual(answer.raw, b"Unknown topic, nosuch\r\n")

    def test_section_without_exe(self):
        self.assertEqual(self.gw.get("/x?&TOPIC=noexe&v=1").raw, b"Unknown topic, noexe\r\n")

    def test_no_data_field(self):
        self.assertEqual(self.gw.get("/x?&TOPIC=calc&m=1").raw, b"Unknown topic, calc\r\n")


class BadInputTest(ProgramTestCase):
    def test_character_1_in_the_query_runs_nothing(self):
        # The decoded request is refused whole, so no topic remains: the
        # request takes the served-program road, where nothing answers.
        self.forget_args("calc")
        answer = self.gw.get("/x?&TOPIC=calc&n=%01")
        self.assertEqual(answer.raw, b"No foreign application responded to a DDE conversation"
                                     b" trying to make connection with \r\n")
        self.gw.wait_for_line(r"to be detached by WWW_EXE_Request_errorNo foreign application")
        self.assertFalse(os.path.exists(self.gw.path("drives/c/calc.args")))

    def test_program_without_output(self):
        answer = self.gw.get("/x?&TOPIC=silent&v=1")
        self.assertRegex(answer.text, NOT_FOUND_OUTPUT)

    def test_missing_program_is_answered_and_logged(self):
        for topic, word in (("ghost", r"c:\\nothere\.exe"),
                            ("ghostpath", "korvane-no-such-program-here")):
            answer = self.gw.get("/x?&TOPIC=%s&v=1" % topic)
            self.assertRegex(answer.text, NOT_FOUND_OUTPUT)
            self.gw.wait_for_line(r"ShellAndWait cannot start " + word)
        # Still serving.
        self.assertEqual(self.gw.get("/doc.htm").text, "<p>static</p>")


class ConcurrencyTest(ProgramTestCase):
    def test_ten_programs_run_side_by_side(self):
        clients = 10
        answers = [None] * clients
        finished = [0.0] * clients

        def run(k):
            answers[k] = self.gw.get("/x?&TOPIC=slow&v=client%d" % k)
            finished[k] = time.monotonic()

        threads = [threading.Thread(target=run, args=(k,)) for k in range(clients)]
        start = time.monotonic()
        for t in threads:
            t.start()
        time.sleep(0.3)
        doc_sent = time.monotonic()
        doc = self.gw.get("/doc.htm")
        doc_done = time.monotonic()
        doc_seconds = doc_done - doc_sent
        for t in threads:
            t.join(30)

        self.assertEqual(doc.text, "<p>static</p>")
        for k in range(clients):
            self.assertIsNotNone(answers[k])
            self.assertEqual(answers[k].text, "client%d" % k)
        total = max(finished) - start
        sys.stderr.write("\n  ten 1-second programs answered after %.2f s; "
                         "static document meanwhile in %.3f s\n" % (total, doc_seconds))
        self.assertLess(total, 5.0)
        self.assertLess(doc_done, min(finished))  # before any program ended


class ShellWaitTest(ProgramTestCase):
    def test_operator_runs_a_command_and_waits(self):
        self.assertEqual(self.gw.ctl("shellwait"), "command?")
        result = {}

        def shell():
            result["answer"] = self.gw.ctl("shellwait", r"c:\mark.sh")
            result["marked"] = os.path.exists(self.gw.path("drives/c/mark.done"))

        t = threading.Thread(target=shell)
        t.start()
        time.sleep(0.3)
        self.assertEqual(self.gw.get("/doc.htm").text, "<p>static</p>")
        self.assertTrue(t.is_alive())  # served while the operator's command runs
        t.join(30)
        self.assertEqual(result["answer"], r"ended: c:\mark.sh")
        self.assertTrue(result["marked"])  # the answer came after the program ended
        log = self.gw.log_text()
        self.assertLess(log.index("waitforterm2-a"), log.index("waitforterm2-b"))

    def test_missing_command(self):
        self.assertRegex(self.gw.ctl("shellwait", r"c:\absent.exe"), r"^cannot start c:\\absent\.exe")


LATE = r"""#!/bin/sh
sleep 10
base=$(basename "$1")
echo late > "$(dirname "$1")/${base%%.*}.HTM"
"""


class InputRemovalTest(ProgramTestCase):
    """Without KeepInputFiles the input file goes once the answer is sent;
    an input that is itself the kept answer stays."""

    ini = INI.replace("KeepInputFiles=1\n", "")

    DONE = r"to be detached by WWW_EXE_Requestdone"

    def temp_inputs(self):
        temp = os.path.join(self.gw.drives, "c", "temp")
        return sorted(n for n in os.listdir(temp) if n.lower().startswith("dde"))

    def get_and_wait_for_the_end(self, target):
        ended = sum(1 for line in list(self.gw.lines) if re.search(self.DONE, line))
        answer = self.gw.get(target)
        self.gw.wait_for_count(self.DONE, ended + 1)
        return answer

    def test_input_file_is_removed_after_the_answer(self):
        self.forget_args("calc")
        answer = self.get_and_wait_for_the_end("/x?&TOPIC=calc&n=4")
        self.assertEqual(answer.text, "<p>4 squared is 16</p>")
        host_input = self.args_of("calc")[0]
        self.assertFalse(os.path.exists(host_input))
        # DeleteFile is not set: the output stays, only the input went.
        self.assertTrue(os.path.exists(output_of(host_input, "HTM")))

    def test_input_that_is_the_answer_stays(self):
        before = self.temp_inputs()
        answer = self.get_and_wait_for_the_end("/r?&TOPIC=reflect&mimetype=text/plain&data=kept")
        self.assertEqual(answer.text, "kept")
        after = [n for n in self.temp_inputs() if n not in before]
        self.assertEqual(len(after), 1, after)
        self.assertTrue(after[0].endswith(".tmp"), after)


class ExpiryTest(ProgramTestCase):
    """A program that outlives its session: the expiry ends the session, and
    the slot's next client never sees the program's output."""

    ini = "[Variables]\nMaxUsers=5\nExpireSeconds=2\n\n[late]\ntopic=v\nEXE=c:\\late.sh\nOutFileType=HTM\n"
    files = {"drives/c/late.sh": (LATE, True),
             "drives/c/export/doc.htm": ("<p>static</p>", False)}

    def wait_for_output(self, timeout):
        temp = os.path.join(self.gw.drives, "c", "temp")
        deadline = time.monotonic() + timeout
        while not any(name.endswith(".HTM") for name in os.listdir(temp)):
            self.assertLess(time.monotonic(), deadline, "the program never wrote its output")
            time.sleep(0.05)

    def test_expired_session_gets_nothing_after_the_program_ends(self):
        first = self.gw.get("/x?&TOPIC=late&v=1", timeout=20)
        self.assertEqual(first.raw, b"Program is unavailable at this time. "
                                    b"Please try again in 4 seconds.\r\n")
        with self.gw.connect() as second:
            self.gw.wait_for_count(r"accept 1 ", 2, 5)  # the slot the first one had
            self.wait_for_output(20)  # the first session's program has ended
            second.settimeout(1.0)
            with self.assertRaises(TimeoutError):
                second.recv(100)  # nothing of the first session's answer
            second.settimeout(10)
            second.sendall(b"GET /doc.htm HTTP/1.0\r\n\r\n")
            chunks = []
            while True:
                data = second.recv(65536)
                if not data:
                    break
                chunks.append(data)
        raw = b"".join(chunks)
        self.assertTrue(raw.startswith(b"HTTP/1.1 200 OK\r\n"), raw)
        self.assertTrue(raw.endswith(b"\r\n\r\n<p>static</p>"), raw)
        self.gw.wait_for_line(r"#1 program ended after its session")


if __name__ == "__main__":
    unittest.main()
