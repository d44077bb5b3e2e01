"""A real browser (headless Chromium) on the demo home, which turns
ModernClients on, served on a port other than 80: the demo form's filled
template and a posted form's answer from a served program."""

import html.parser
import os
import subprocess
import tempfile
import unittest
import urllib.parse

from gateway_process import BINARY, demo_gateway

CHROMIUM = "/usr/bin/chromium"
# A page that posts the demo's calc form as soon as it is loaded.
POSTING_PAGE = ("<html><body onload='document.forms[0].submit()'>"
                "<form action='/calc/sheet' method='post'><input name='a' value='8'>"
                "<input name='b' value='9'></form></body></html>")


class Page(html.parser.HTMLParser):
    """The GET forms of a dumped DOM, plus its text."""

    def __init__(self, dom):
        super().__init__()
        self.forms, self.text = [], []
        self.feed(dom)

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "form":
            self.forms.append({"action": a.get("action", ""), "fields": []})
        elif tag == "input" and self.forms and "name" in a and a.get("type") != "submit":
            self.forms[-1]["fields"].append((a["name"], a.get("value", "")))

    def handle_data(self, data):
        self.text.append(data)

    def all_text(self):
        return " ".join(" ".join(self.text).split())


@unittest.skipUnless(BINARY, "KORVANE_BINARY is not set")
@unittest.skipUnless(os.path.exists(CHROMIUM), "Chromium is not installed")
class Browser(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.gateway = demo_gateway(test=cls)
        cls.gateway.write("drives/c/export/post.htm", POSTING_PAGE)
        cls.origin = "http://127.0.0.1:%d" % cls.gateway.port

    def dom(self, url):
        profile = tempfile.mkdtemp(dir=self.gateway.tmp.name)
        out = subprocess.run(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--user-data-dir=" + profile, "--virtual-time-budget=10000",
             "--dump-dom", url],
            capture_output=True, timeout=120)
        self.assertEqual(out.returncode, 0, out.stderr.decode(errors="replace")[-2000:])
        return Page(out.stdout.decode("utf-8", errors="replace"))

    def test_the_demo_form_fills_its_template(self):
        form_page = self.dom(self.origin + "/form.htm")
        self.assertEqual(len(form_page.forms), 1)
        form = form_page.forms[0]
        fields = [(n, "Grace" if n == "who" else v) for n, v in form["fields"]]
        # What the browser asks for when the form is submitted with GET.
        target = urllib.parse.urljoin(self.origin + "/form.htm", form["action"]) + "?" + urllib.parse.urlencode(fields)
        self.assertIn("Hello, Grace from Leeds!", self.dom(target).all_text())

    def test_a_posted_forms_answer_shows_its_text(self):
        self.assertIn("a+b 17", self.dom(self.origin + "/post.htm").all_text())  # korvane-calc's answer
