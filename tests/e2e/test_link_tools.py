"""The sample served program and the command adapter, driven over real Unix
sockets by a client written in another language than the library."""

import os
import tempfile
import unittest

from gateway_process import wait_until
from link_client import LinkClient, ServedProcess, tool_path


class ToolTestCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="kvlink-")
        self.dir = self.tmp.name
        self.links = os.path.join(self.dir, "links")
        self.answers = os.path.join(self.dir, "answers")
        self.clients = []

    def tearDown(self):
        for client in self.clients:
            client.close()
        self.program.stop()
        self.tmp.cleanup()

    def client(self, topic):
        client = LinkClient(self.program.socket_path, topic)
        self.clients.append(client)
        return client

    def notify_link(self, topic, item):
        link = self.client(topic)
        self.assertEqual(link.ask(b"ADVISE " + item.encode() + b"\n"), ("OK", ""))
        return link

    def answer_of(self, link, item):
        """Waits for the item's change and returns (file, id, file content)."""
        self.assertEqual(link.wait_change(), item)
        kind, value = link.request(item)
        self.assertEqual(kind, "DATA")
        path, request_id = value.decode().split(",")
        with open(path, "rb") as answer:
            return path, request_id, answer.read().decode()


class CalcTest(ToolTestCase):
    def setUp(self):
        super().setUp()
        self.record = os.path.join(self.dir, "record")
        self.program = ServedProcess(
            [tool_path("korvane-calc"), "--link-dir", self.links, "--answers",
             self.answers, "--record", self.record, "DDE"],
            os.path.join(self.links, "calc"))

    def test_item_base_comes_from_initialize_and_any_field_gets_a_page(self):
        notify = self.notify_link("sheet", "page(2)")
        execute = self.client("sheet")
        execute.execute(b"initialize  page ")
        for command, request_id, parts in (
                (b"2,&ID=45296.17&a=1.5&b=2&", "45296.17", ("<td>3.5</td>", "<th>a*b</th><td>3</td>")),
                (b"2,&ID=7.00&a=%3Cx%3E&HTTP/1.0\r\n", "7", ("&lt;x&gt;", "not a number"))):
            execute.execute(command)
            _, got_id, page = self.answer_of(notify, "page(2)")
            self.assertEqual(got_id, request_id)
            for part in parts:
                self.assertIn(part, page)

    def test_conversation_rules(self):
        refused = self.client("nosuch")
        self.assertEqual(refused.connect_answer,
                         ("ERR", "282 No foreign application responded to a DDE conversation"))
        self.assertEqual(refused.request("x"),
                         ("ERR", "293 DDE method invoked with no channel open"))
        link = self.client("sheet")
        self.assertEqual(link.ask(b"CONNECT sheet\n")[0], "ERR")  # one topic per connection
        self.assertEqual(link.ask(b"FROB x\n")[0], "ERR")
        kind, arg = link.execute(b"hello")
        self.assertEqual((kind, arg.split(" ")[0]), ("ERR", "285"))


class AdapterTest(ToolTestCase):
    def start(self, command, timeout="60", args=(), env=(), answers=True, stderr=None):
        env = dict(os.environ, OUT=self.dir, **dict(env))
        self.program = ServedProcess(
            [tool_path("korvane-link-adapter"), "--app", "Shell", "--topic", "run",
             "--link-dir", self.links, *(("--answers", self.answers) if answers else ()),
             "--timeout", timeout, "--", "sh", "-c", command, *args],
            os.path.join(self.links, "shell"), env=env, stderr=stderr)

    def test_request_fields_and_arguments_reach_the_command(self):
        # As the gateway starts it: its EXE entry and " DDE", which is the
        # gateway's word and not the command's.
        self.start('printf "%s|" "$0" "$@"; echo "a=$KORVANE_FIELD_a b=$KORVANE_FIELD_b slot=$KORVANE_SLOT '
                   'id=$KORVANE_ID"; cat', args=("zero", "one two", "DDE"))
        notify = self.notify_link("run", "lnkWWW(3)")
        self.assertEqual(self.client("run").execute(b"3,&ID=45296.50&a=x+y&b=%26&HTTP/1.0\r\n"), ("OK", ""))
        _, request_id, page = self.answer_of(notify, "lnkWWW(3)")
        self.assertEqual(request_id, "45296.5")
        self.assertEqual(page, "zero|one two|a=x y b=& slot=3 id=45296.5\n&ID=45296.50&a=x+y&b=%26&HTTP/1.0\r\n")

    def test_answers_go_to_the_folder_korvane_answers_dir_names(self):
        # Not to the default below KORVANE_HOME, which the adapter of the sh
        # sample in test_served_programs.py answers into.
        home, chosen = os.path.join(self.dir, "home"), os.path.join(self.dir, "chosen")
        self.start("echo hi", env={"KORVANE_HOME": home, "KORVANE_ANSWERS_DIR": chosen}, answers=False)
        notify = self.notify_link("run", "lnkWWW(1)")
        self.client("run").execute(b"1,&ID=1&")
        path, _, page = self.answer_of(notify, "lnkWWW(1)")
        self.assertEqual((path, page), (chosen + "/Shell-1.htm", "hi\n"))

    def test_failures_give_an_error_page_with_status_and_last_lines(self):
        log = os.path.join(self.dir, "adapter.log")
        with open(log, "wb") as stderr:
            self.start('for i in $(seq 12); do echo "line $i <b>" >&2; done; case $KORVANE_FIELD_how in '
                       'exit) exit 3;; signal) kill -9 $$;; slow) echo $$ > "$OUT/pid"; exec sleep 60;; esac',
                       timeout="0.5", stderr=stderr)
        execute = self.client("run")
        for n, how, text in ((1, "exit", "The program ended with exit status 3."),
                             (2, "signal", "The program was ended by signal 9 (Killed)."),
                             (3, "slow", "The program did not answer within 0.5 seconds and was stopped.")):
            with self.subTest(how=how):
                notify = self.notify_link("run", "lnkWWW(%d)" % n)
                execute.execute(b"%d,&ID=%d&how=%s&" % (n, n, how.encode()))
                page = self.answer_of(notify, "lnkWWW(%d)" % n)[2]
                self.assertIn("<p>%s</p><pre>line 3 &lt;b&gt;\nline 4" % text, page)
                self.assertIn("line 12 &lt;b&gt;</pre>", page)
                self.assertNotIn("line 2 ", page)
                wait_until(lambda: "request %d of session %d: %s" % (n, n, text) in open(log).read(),
                           10, "the adapter's log line")
        with open(os.path.join(self.dir, "pid")) as f:  # the command past its limit was killed
            self.assertFalse(os.path.exists("/proc/" + f.read().strip()))

    def test_requests_run_side_by_side(self):
        self.start('date +%s.%N > "$OUT/$KORVANE_SLOT.start"; sleep 1; '
                   'date +%s.%N > "$OUT/$KORVANE_SLOT.end"; echo done')
        slots = (1, 2, 3)
        notifies = {n: self.notify_link("run", "lnkWWW(%d)" % n) for n in slots}
        execute = self.client("run")
        for n in slots:
            self.assertEqual(execute.execute(b"%d,&ID=%d&" % (n, n)), ("OK", ""))
        for n in slots:
            self.assertEqual(self.answer_of(notifies[n], "lnkWWW(%d)" % n)[2], "done\n")

        def stamp(n, kind):
            with open(os.path.join(self.dir, "%d.%s" % (n, kind))) as f:
                return float(f.read())
        # All three were running at one moment: each started before any ended.
        self.assertLess(max(stamp(n, "start") for n in slots),
                        min(stamp(n, "end") for n in slots))

    def test_cancel_drops_the_running_request(self):
        self.start('if [ "$KORVANE_ID" = old ]; then echo $$ > "$OUT/old"; exec sleep 60; fi; '
                   'echo new')
        notify = self.notify_link("run", "lnkWWW(4)")
        execute = self.client("run")
        execute.execute(b"4,&ID=old&")
        old_pid_file = os.path.join(self.dir, "old")
        wait_until(lambda: os.path.exists(old_pid_file) and os.path.getsize(old_pid_file) > 0,
                   10, "the old request to start")
        self.assertEqual(execute.execute(b"-4,"), ("OK", ""))
        execute.execute(b"4,&ID=fresh&")
        _, request_id, page = self.answer_of(notify, "lnkWWW(4)")
        self.assertEqual((request_id, page), ("fresh", "new\n"))
        with open(old_pid_file) as f:
            old = "/proc/" + f.read().strip()
        wait_until(lambda: not os.path.exists(old), 10, "the old request to end")
