"""Two gateways on one machine behind nginx, set up as the README's
"Scaling out" section says: each gateway has its own home (korvane.ini, hit
logs, its own C: drive for the event log and input files) and its own link
folder with its own korvane-calc, the documents and programs are on a drive
both share, and nginx passes TCP connections to them in turn (stream
upstream, so bare-line answers reach the client as they are).
Skipped when nginx or its stream module is not installed."""

import contextlib
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import unittest

from gateway_process import Gateway, free_port, http_head, read_all, split_answer, wait_until, write_file
from link_client import tool_path

NGINX = shutil.which("nginx") or ("/usr/sbin/nginx" if os.access("/usr/sbin/nginx", os.X_OK) else None)
STREAM_MODULE = "/usr/lib/nginx/modules/ngx_stream_module.so"

INI = r"""[Variables]
MaxUsers=32
ExpireSeconds=60
NetExportDir=e:\export
LocalExportDir=e:\export

[Drives]
C=c

[MimeTypes]
txt=a|text/plain

[Topics]
calc=sheet

[calc]
EXE=korvane-calc --answers answers
AutoStart=1

[reply]
topic=v
EXE=e:\reply.sh
OutFileType=HTM
DeleteFile=1
"""

# The program topic's program: the page beside its input file.
REPLY = b"""#!/bin/sh
dir=${1%/*}
base=${1##*/}
IFS= read -r line < "$1"
printf '<html><body>%s</body></html>' "$line" > "$dir/${base%%.*}.HTM"
"""

NGINX_CONF = """daemon off;
master_process off;
worker_processes 1;
{load}
pid {dir}/nginx.pid;
error_log {dir}/error.log;
events {{ worker_connections 256; }}
stream {{
  upstream korvane {{
    server 127.0.0.1:{first};
    server 127.0.0.1:{second};
  }}
  server {{
    listen 127.0.0.1:{port};
    proxy_pass korvane;
  }}
}}
"""


def nginx_problem():
    """Why the set-up cannot run here, or None."""
    if not NGINX:
        return "nginx is not installed (scripts/install-deps.sh --test installs it)"
    built_in = b"--with-stream " in subprocess.run([NGINX, "-V"], capture_output=True).stderr
    if not built_in and not os.path.exists(STREAM_MODULE):
        return "nginx has no stream module (Debian: libnginx-mod-stream)"
    return None


@unittest.skipIf(nginx_problem(), nginx_problem())
class TwoGatewaysBehindNginxTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="kvlb.")
        cls.addClassCleanup(cls.tmp.cleanup)
        shared = os.path.join(cls.tmp.name, "drives")
        write_file(os.path.join(shared, "e", "export", "page.txt"), b"one page for both\r\n" * 100)
        write_file(os.path.join(shared, "e", "reply.sh"), REPLY, executable=True)
        cls.gateways = []
        for _ in range(2):
            gateway = Gateway(INI, files={"c/temp/log/.keep": ""}, options=("--drives", shared), test=cls)
            cls.addClassCleanup(gateway.end_started, signal.SIGTERM)  # the korvane-calc it started outlives it
            cls.gateways.append(gateway)
            os.symlink(tool_path("korvane-calc"), gateway.path("korvane-calc"))
        nginx_dir = os.path.join(cls.tmp.name, "nginx")
        cls.port = free_port()
        conf = os.path.join(nginx_dir, "nginx.conf")
        write_file(conf, NGINX_CONF.format(
            dir=nginx_dir, port=cls.port, first=cls.gateways[0].port, second=cls.gateways[1].port,
            load="load_module %s;" % STREAM_MODULE if os.path.exists(STREAM_MODULE) else ""))
        cls.nginx = subprocess.Popen([NGINX, "-p", nginx_dir, "-e", "stderr", "-c", conf],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        cls.addClassCleanup(cls.nginx.wait, 10)
        cls.addClassCleanup(cls.nginx.terminate)  # first of all

        def listening():
            if cls.nginx.poll() is not None:
                raise AssertionError("nginx ended: %s" % cls.nginx.stderr.read().decode())
            with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", cls.port), timeout=1):
                return True
        wait_until(listening, 10, "nginx to listen")

    def get(self, target):
        with socket.create_connection(("127.0.0.1", self.port), timeout=30) as s:
            s.sendall(b"GET %s HTTP/1.0\r\n\r\n" % target.encode())
            return read_all(s)

    def served_by_each(self, pattern, before):
        return [g.count(pattern) - n for g, n in zip(self.gateways, before)]

    def test_documents_programs_and_links_through_nginx(self):
        page = b"one page for both\r\n" * 100
        cases = [
            ("/page.txt", lambda k: page, b"text/plain", True, r"www_send_file done"),
            ("/run?&TOPIC=reply&v=v{k}", lambda k: b"<html><body>v%d</body></html>" % k,
             b"Text/HTML", False, r"QUERY .*TOPIC=reply"),
            ("/calc/sheet?a={k}&b=2", None, b"Text/HTML", False, r"sending Text/HTML answers"),
        ]
        for target, body_of, ctype, modified, logged in cases:
            with self.subTest(target=target):
                before = [g.count(logged) for g in self.gateways]
                for k in range(4):
                    head, body = split_answer(self.get(target.format(k=k)))
                    self.assertEqual(head, http_head(len(body), ctype, modified), body[:200])
                    if body_of:
                        self.assertEqual(body, body_of(k))
                    else:
                        self.assertIn(b"<th>a+b</th><td>%d</td>" % (k + 2), body)
                # nginx took turns: each gateway answered some of the four.
                self.assertTrue(all(self.served_by_each(logged, before)),
                                self.served_by_each(logged, before))
