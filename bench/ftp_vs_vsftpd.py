#!/usr/bin/env python3
"""FTP transfers: the gateway against vsftpd, same files, same machine, same run.

    bench/ftp_vs_vsftpd.py [--binary PATH] [--rounds N] [--transfer-rounds N]

Client: Python ftplib, passive mode, over loopback, for both servers.
Cases: RETR of a 200 MiB file, STOR of a 200 MiB file, and 32 concurrent
clients (one thread each, each its own session) fetching a 1 MiB file,
repeated --rounds times. RETR and STOR run --transfer-rounds times, the
servers taking turns and swapping who goes first each round; the table
gives the median and the lowest and highest. Every transfer is checked: CRC-32 of each
download (computed the same way for both servers), the stored file
compared byte for byte afterwards. Both servers send the same file (one
inode, hard-linked into each tree). A row says how busy the client was
during RETR: ftplib with its CRC fills a core by itself and so sets the
pace for both servers. Each round therefore also fetches the file with
curl (when installed), a client that keeps up with either server; those
downloads are checked by their length only.

The gateway runs as `korvane --home H --bind 127.0.0.1:PORT LISTEN 21`
(MaxUsers=256), its stdout to /dev/null. vsftpd runs standalone in the
foreground (listen=YES, background=NO) from its own conf in a temp dir on a
free port, anonymous read and write, passive ports on 127.0.0.1.
Installs vsftpd with apt-get when missing. The binary is KORVANE_BINARY,
else build-bench/korvane, else build-release/korvane.
"""

import argparse
import ftplib
import os
import pwd
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)

BIG = "big200m.bin"
SMALL = "one1m.bin"
BIG_SIZE = 200 * 2**20
SMALL_SIZE = 2**20
CLIENTS = 32


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_banner(port, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            f = ftplib.FTP()
            f.connect("127.0.0.1", port, timeout=5)  # reads the 220 banner
            f.close()
            return
        except (OSError, ftplib.Error, EOFError):
            time.sleep(0.2)
    raise RuntimeError("no FTP server on port %d" % port)


def find_binary(arg):
    for candidate in (arg, os.environ.get("KORVANE_BINARY"),
                      os.path.join(TOP, "build-bench", "korvane"),
                      os.path.join(TOP, "build-release", "korvane")):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    sys.exit("no korvane binary: build build-bench or pass --binary")


def share(path, folder):
    """Puts path into folder as a hard link, so that both servers send the
    same pages of the page cache. Two copies of one file can be sent at
    rates far apart, depending on how the cache laid out each copy's pages
    (1.7x over loopback here, the same server sending each), and that
    difference would be read as the servers'."""
    target = os.path.join(folder, os.path.basename(path))
    try:
        os.link(path, target)
    except OSError:
        shutil.copy(path, target)


def client_seconds():
    use = resource.getrusage(resource.RUSAGE_SELF)
    return use.ru_utime + use.ru_stime


def session(port):
    f = ftplib.FTP()
    f.connect("127.0.0.1", port, timeout=120)
    f.login("anonymous", "bench@")
    f.set_pasv(True)
    return f


def retr(port, name):
    """Returns (bytes, crc32) of one download in a fresh session."""
    f = session(port)
    state = [0, 0]

    def take(chunk):
        state[0] += len(chunk)
        state[1] = zlib.crc32(chunk, state[1])
    f.retrbinary("RETR " + name, take, blocksize=256 * 1024)
    f.quit()
    return state[0], state[1]


def retr_curl(port, name):
    """Bytes of one download with curl, passive mode, into /dev/null."""
    out = subprocess.run(["curl", "-s", "-S", "-u", "anonymous:bench@", "-o", "/dev/null",
                          "-w", "%{size_download}", "ftp://127.0.0.1:%d/%s" % (port, name)],
                         capture_output=True, text=True, timeout=120, check=True)
    return int(float(out.stdout.strip() or 0))


def stor(port, src, name):
    f = session(port)
    with open(src, "rb") as fh:
        f.storbinary("STOR " + name, fh, blocksize=256 * 1024)
    f.quit()


def crc_file(path):
    c = 0
    with open(path, "rb") as fh:
        while True:
            b = fh.read(1 << 20)
            if not b:
                return c
            c = zlib.crc32(b, c)


def many(port, name, expected_crc, rounds):
    """CLIENTS threads fetch name at once, rounds times; returns
    (files/s, failures, files)."""
    failures = 0
    done = 0
    elapsed = 0.0
    for _ in range(rounds):
        results = [None] * CLIENTS
        barrier = threading.Barrier(CLIENTS + 1)

        def one(i):
            barrier.wait()
            try:
                results[i] = retr(port, name)
            except Exception as e:  # noqa: BLE001 - count any failure
                results[i] = e
        threads = [threading.Thread(target=one, args=(i,)) for i in range(CLIENTS)]
        for t in threads:
            t.start()
        barrier.wait()
        t0 = time.perf_counter()
        for t in threads:
            t.join()
        elapsed += time.perf_counter() - t0
        for r in results:
            done += 1
            if not (isinstance(r, tuple) and r == (SMALL_SIZE, expected_crc)):
                failures += 1
        time.sleep(0.5)
    return done / elapsed, failures, done


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--binary")
    ap.add_argument("--rounds", type=int, default=5, help="rounds of the 32-client case")
    ap.add_argument("--transfer-rounds", type=int, default=1,
                    help="rounds of RETR and STOR, the servers taking turns (default 1)")
    args = ap.parse_args()
    binary = find_binary(args.binary)
    if not os.path.exists("/usr/sbin/vsftpd"):
        if subprocess.run(["apt-get", "install", "-y", "vsftpd"], stdout=subprocess.DEVNULL).returncode:
            subprocess.run(["apt-get", "update"], stdout=subprocess.DEVNULL)
            subprocess.run(["apt-get", "install", "-y", "vsftpd"], check=True, stdout=subprocess.DEVNULL)

    tmp = tempfile.mkdtemp(prefix="kvbench-ftp.")
    os.chmod(tmp, 0o755)
    src = os.path.join(tmp, "src")
    os.makedirs(src)
    big_src = os.path.join(src, BIG)
    small_src = os.path.join(src, SMALL)
    with open(big_src, "wb") as fh:
        for _ in range(BIG_SIZE // 2**20):
            fh.write(os.urandom(2**20))
    with open(small_src, "wb") as fh:
        fh.write(os.urandom(SMALL_SIZE))
    big_crc, small_crc = crc_file(big_src), crc_file(small_src)

    # The gateway: export and import folders under the drives root.
    home = os.path.join(tmp, "home")
    export = os.path.join(home, "drives", "c", "export")
    imp = os.path.join(home, "drives", "c", "import")
    for d in (export, imp, os.path.join(home, "drives", "c", "temp")):
        os.makedirs(d)
    for n in (BIG, SMALL):
        share(os.path.join(src, n), export)
    with open(os.path.join(home, "korvane.ini"), "w", newline="\r\n") as fh:
        fh.write("[Variables]\nPort=21\nMaxUsers=256\nExpireSeconds=20\n")
    gw_port = free_port()
    gw_cmd = [binary, "--home", home, "--link-dir", os.path.join(tmp, "links"),
              "--bind", "127.0.0.1:%d" % gw_port, "LISTEN", "21"]
    print("gateway: $", " ".join(gw_cmd), "> /dev/null")
    gw = subprocess.Popen(gw_cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    # vsftpd: anonymous root not writable (vsftpd insists), an upload folder
    # owned by the anonymous user.
    vs_dir = os.path.join(tmp, "vsftpd")
    anon = os.path.join(vs_dir, "root")
    upload = os.path.join(anon, "upload")
    empty = os.path.join(vs_dir, "empty")
    for d in (anon, upload, empty):
        os.makedirs(d)
        os.chmod(d, 0o755)
    for n in (BIG, SMALL):
        share(os.path.join(src, n), anon)
        os.chmod(os.path.join(anon, n), 0o644)
    ftp_user = pwd.getpwnam("ftp")
    os.chown(upload, ftp_user.pw_uid, ftp_user.pw_gid)
    vs_port = free_port()
    pasv_lo = free_port()
    conf = os.path.join(vs_dir, "vsftpd.conf")
    with open(conf, "w") as fh:
        fh.write("""listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=%(port)d
background=NO
anonymous_enable=YES
local_enable=NO
no_anon_password=YES
anon_root=%(anon)s
ftp_username=ftp
write_enable=YES
anon_upload_enable=YES
anon_mkdir_write_enable=YES
anon_other_write_enable=YES
anon_umask=022
anon_world_readable_only=YES
pasv_enable=YES
pasv_address=127.0.0.1
pasv_min_port=%(lo)d
pasv_max_port=%(hi)d
port_enable=YES
connect_from_port_20=NO
secure_chroot_dir=%(empty)s
seccomp_sandbox=NO
max_clients=0
max_per_ip=0
xferlog_enable=NO
dirmessage_enable=NO
""" % {"port": vs_port, "anon": anon, "lo": max(1024, pasv_lo - 200),
       "hi": min(65535, pasv_lo + 200), "empty": empty})
    vs_cmd = ["/usr/sbin/vsftpd", conf]
    print("vsftpd: $", " ".join(vs_cmd))
    vs = subprocess.Popen(vs_cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    servers = {
        "korvane": {"port": gw_port, "stor": "up200m.bin", "stored": os.path.join(imp, "up200m.bin")},
        "vsftpd": {"port": vs_port, "stor": "upload/up200m.bin",
                   "stored": os.path.join(upload, "up200m.bin")},
    }
    res = {}
    try:
        wait_banner(gw_port)
        wait_banner(vs_port)
        for n in range(args.transfer_rounds):
            order = list(servers.items())
            if n % 2:
                order.reverse()
            for name, s in order:
                print("RETR 200 MiB / %s, round %d" % (name, n + 1), flush=True)
                client0 = client_seconds()
                t0 = time.perf_counter()
                try:
                    got, c = retr(s["port"], BIG)
                    ok = (got, c) == (BIG_SIZE, big_crc)
                except Exception as e:  # noqa: BLE001
                    print("  failed:", e)
                    got, ok = 0, False
                took = time.perf_counter() - t0
                res.setdefault(("retr", name), []).append((got / took / 2**20, ok))
                res.setdefault(("retr busy", name), []).append((client_seconds() - client0) / took * 100)
                time.sleep(1)
            for name, s in order if shutil.which("curl") else ():
                print("RETR 200 MiB with curl / %s, round %d" % (name, n + 1), flush=True)
                t0 = time.perf_counter()
                try:
                    got = retr_curl(s["port"], BIG)
                except Exception as e:  # noqa: BLE001
                    print("  failed:", e)
                    got = 0
                took = time.perf_counter() - t0
                res.setdefault(("retr curl", name), []).append((got / took / 2**20, got == BIG_SIZE))
                time.sleep(1)
            for name, s in order:
                print("STOR 200 MiB / %s, round %d" % (name, n + 1), flush=True)
                t0 = time.perf_counter()
                try:
                    stor(s["port"], big_src, s["stor"])
                    dt = time.perf_counter() - t0
                    ok = os.path.getsize(s["stored"]) == BIG_SIZE and crc_file(s["stored"]) == big_crc
                    os.unlink(s["stored"])
                except Exception as e:  # noqa: BLE001
                    print("  failed:", e)
                    dt, ok = float("inf"), False
                res.setdefault(("stor", name), []).append((BIG_SIZE / dt / 2**20, ok))
                time.sleep(1)
        for name, s in servers.items():
            print("%d clients x 1 MiB x %d rounds / %s" % (CLIENTS, args.rounds, name), flush=True)
            res[("many", name)] = many(s["port"], SMALL, small_crc, args.rounds)
        print()
        print("load: %s (2 cores, shared with other builds)" % open("/proc/loadavg").read().strip())
        print("| case | korvane (low-high) | vsftpd (low-high) | ratio | korvane ok | vsftpd ok |")
        print("|---|---|---|---|---|---|")
        for key, label in (("retr", "RETR 200 MiB"), ("retr curl", "RETR 200 MiB, curl"), ("stor", "STOR 200 MiB")):
            if (key, "korvane") not in res:
                continue
            cells = []
            for name in ("korvane", "vsftpd"):
                rates = sorted(rate for rate, _ in res[(key, name)])
                cells.append((statistics.median(rates), rates[0], rates[-1],
                              all(ok for _, ok in res[(key, name)])))
            (k, kl, kh, kok), (v, vl, vh, vok) = cells
            print("| %s | %.1f MiB/s (%.0f-%.0f) | %.1f MiB/s (%.0f-%.0f) | %.3f | %s | %s |" % (
                label, k, kl, kh, v, vl, vh, k / v if v else 0, kok, vok))
        # How busy the client was during RETR: near 100 %, it sets the pace
        # for both servers, and the ratio is within its noise.
        kb, vb = (statistics.median(res[("retr busy", name)]) for name in ("korvane", "vsftpd"))
        print("| RETR client CPU busy | %.0f %% | %.0f %% | | | |" % (kb, vb))
        k, v = res[("many", "korvane")], res[("many", "vsftpd")]
        print("| %d clients x 1 MiB | %.1f files/s | %.1f files/s | %.3f | %d failed of %d | %d failed of %d |" % (
            CLIENTS, k[0], v[0], k[0] / v[0] if v[0] else 0, k[1], k[2], v[1], v[2]))
    finally:
        for p in (gw, vs):
            p.terminate()
        for p in (gw, vs):
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
