"""Load for the latency benchmarks: N clients for a fixed time, spread over
a few forked client processes of threads; per-request latencies, failures
by reason, and the CPU time that watched processes and the clients used.

A load is closed (each client asks again as soon as it has its answer, so
the figures show how much the roads can carry) or paced (the clients
together ask at a fixed rate, each on its own schedule, so both roads get
the same work and the latencies show what a road adds at that load). A
paced request's latency runs from the moment it was due, not from when it
went out, so a client held up by a slow answer is charged for the wait.
Requests of the first half second of each case are not counted, and no
client process reports its results before all have finished asking.

Used by link_roundtrip.py and programs_vs_webhook.py; not a benchmark itself.
"""

import math
import multiprocessing
import os
import resource
import signal
import socket
import struct
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)


class WrongAnswer(Exception):
    """An answer came, but not the one the request should get:
    WrongAnswer(what is wrong, the answer or a piece of it)."""

    def __init__(self, what, detail=""):
        super().__init__(what, detail)
        self.what, self.detail = what, detail


def find_binary(given):
    for candidate in (given, os.environ.get("KORVANE_BINARY"),
                      os.path.join(TOP, "build-bench", "korvane"),
                      os.path.join(TOP, "build-release", "korvane")):
        if candidate and os.access(candidate, os.X_OK):
            return os.path.abspath(candidate)
    sys.exit("no korvane binary: build build-bench or pass --binary")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    """User plus system time a process has used so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def running(pid):
    """Whether pid is a live process (an unreaped zombie counts as ended)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def stop_pid(pid):
    """SIGTERM, then SIGKILL after ten seconds, to a process that is not our
    child (so it cannot be waited for)."""
    for sig, wait in ((signal.SIGTERM, 10), (signal.SIGKILL, 5)):
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            return
        deadline = time.monotonic() + wait
        while running(pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        if not running(pid):
            return


def load_average():
    return " ".join(open("/proc/loadavg").read().split()[:3])


def client_socket(family=socket.AF_INET):
    """A blocking socket whose reads and writes give up after 30 seconds.
    The time limit is the kernel's (SO_RCVTIMEO), not Python's: a Python
    time-out polls before every read, which would add system calls to the
    client's side of every figure."""
    s = socket.socket(family, socket.SOCK_STREAM)
    limit = struct.pack("ll", 30, 0)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO, limit)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO, limit)
    return s


def http_get(port, target):
    """One HTTP/1.0 GET on a new connection, read as a browser reads it: the
    head, then Content-Length bytes of body (to the end without one).
    Returns the status line and the body."""
    with client_socket() as s:
        s.connect(("127.0.0.1", port))
        s.sendall(b"GET %s HTTP/1.0\r\n\r\n" % target.encode())
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = s.recv(65536)
            if not chunk:
                raise WrongAnswer("no HTTP head", repr(data[:80]))
            data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        lines = head.split(b"\r\n")
        fields = dict(line.split(b": ", 1) for line in lines[1:] if b": " in line)
        length = int(fields.get(b"Content-Length", b"-1"))
        while length < 0 or len(body) < length:
            chunk = s.recv(65536)
            if not chunk:
                break
            body += chunk
        return lines[0], body


def percentile(sorted_values, p):
    """Nearest-rank percentile of an ascending list."""
    if not sorted_values:
        return float("nan")
    return sorted_values[max(0, math.ceil(p / 100.0 * len(sorted_values)) - 1)]


def _note(reasons, e, prefix=""):
    """Counts a failure by what went wrong, keeping the first example."""
    if isinstance(e, WrongAnswer):
        reason, detail = prefix + "wrong answer: " + e.what, e.detail
    else:
        reason, detail = prefix + type(e).__name__, str(e)[:120]
    count, example = reasons.get(reason, (0, detail))
    reasons[reason] = (count + 1, example)


def merge_reasons(into, reasons):
    for reason, (count, example) in reasons.items():
        total, first = into.get(reason, (0, example))
        into[reason] = (total + count, first)


def print_reasons(rows):
    """Lines "server, N clients: count x reason (first: example)"."""
    for name, clients, r in rows:
        for reason, (count, example) in sorted(r["reasons"].items()):
            print("%s, %s: %d x %s (first: %s)" % (
                name, load_text(clients, r.get("rate")), count, reason, example))


def _client_thread(make_client, k, start, times, pace, out):
    """Client k's requests. The client is made first; then the thread waits
    on start (set once every client of every process is made) and asks
    from times[0] to times[2]; only requests begun from times[1] on count
    (the ones before warm the road up). pace is None for a closed load,
    else (interval, clients): this client is due every interval seconds,
    and the clients' schedules are spread evenly over one interval."""
    latencies, failed, reasons = [], 0, {}
    client = None
    try:
        client = make_client(k)
    except (OSError, ValueError, WrongAnswer) as e:
        failed += 1
        _note(reasons, e, "setup ")
    start.wait()
    start_at, count_from, stop_at = times[0], times[1], times[2]
    last = count_from
    interval = pace[0] if pace else None
    due = start_at + (interval * k / pace[1] if pace else 0.0)
    while client is not None:
        if interval is None:
            begin = time.monotonic()
        else:
            begin, due = due, due + interval
            wait = begin - time.monotonic()
            if wait > 0:
                time.sleep(wait)
        if begin >= stop_at:
            break
        counted = begin >= count_from
        try:
            client.ask()
            if counted:
                last = time.monotonic()
                latencies.append(last - begin)
        except (OSError, ValueError, WrongAnswer) as e:
            if counted:
                failed += 1
                _note(reasons, e)
    if client is not None:
        client.close()
    out.append((latencies, failed, reasons, last))


def _client_process(make_client, ks, go, report, times, pace, queue):
    """The clients ks as threads: reports to queue once they are all made,
    starts them when go is set, says "done" when they have finished, and
    reports their results and the CPU time they used while counted once
    report is set (so that no process sends results while another still
    measures)."""
    out = []
    made = threading.Barrier(len(ks) + 1)
    start = threading.Event()
    threads = [threading.Thread(target=_client_thread,
                                args=(_made_then_wait(make_client, made), k, start, times, pace,
                                      out))
               for k in ks]
    for t in threads:
        t.start()
    made.wait()
    queue.put("ready")
    go.wait()
    start.set()
    time.sleep(max(0.0, times[1] - time.monotonic()))
    before = resource.getrusage(resource.RUSAGE_SELF)
    for t in threads:
        t.join()
    after = resource.getrusage(resource.RUSAGE_SELF)
    queue.put("done")
    report.wait()
    queue.put((out, after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime))


def _made_then_wait(make_client, made):
    """make_client, followed by a wait at the barrier made (also when
    making the client failed)."""
    def make(k):
        try:
            return make_client(k)
        finally:
            made.wait()
    return make


# Each case's clients ask this long before their requests count: the first
# requests of fresh client processes, all woken at once, wait for the CPU.
WARM_UP_SECONDS = 0.5


def measure(make_client, clients, procs, seconds, watched, rate=None):
    """clients concurrent clients for seconds after a warm-up, closed, or
    paced at rate requests/s in all when rate is given. make_client(k)
    returns client k (k from 0): an object whose ask() makes one request and
    raises WrongAnswer, OSError or ValueError when it fails, and close().
    The clients are threads in min(procs, clients) forked processes, all
    started together once every one is set up. watched maps names to pids
    whose CPU time is counted.

    Returns requests/s answered, p50 and p99 in ms, the answered and failed
    counts, failures by reason, and CPU us per answered request of each
    watched process and of the clients ("clients")."""
    procs = max(1, min(procs, clients))
    groups = [list(range(i, clients, procs)) for i in range(procs)]
    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    go, report = context.Event(), context.Event()
    times = context.Array("d", 3, lock=False)
    # Client k is due at the start + k/rate, then every clients/rate seconds.
    pace = (clients / rate, clients) if rate else None
    workers = [context.Process(target=_client_process,
                               args=(make_client, ks, go, report, times, pace, queue))
               for ks in groups]
    for w in workers:
        w.start()
    # The clock starts once every client is made, so that no client starts
    # late and (paced) hurries through requests that were due meanwhile.
    for _ in workers:
        queue.get()
    times[0] = time.monotonic() + 0.05
    times[1] = times[0] + WARM_UP_SECONDS
    times[2] = times[1] + seconds
    start_at = times[1]
    go.set()
    time.sleep(max(0.0, times[1] - time.monotonic()))
    cpu_before = {name: cpu_seconds(pid) for name, pid in watched.items()}
    for _ in workers:
        queue.get()
    cpu = {name: cpu_seconds(pid) - cpu_before[name] for name, pid in watched.items()}
    report.set()
    results, client_cpu = [], 0.0
    for _ in workers:
        out, used = queue.get()
        results += out
        client_cpu += used
    for w in workers:
        w.join()
    cpu["clients"] = client_cpu
    latencies = sorted(x for r in results for x in r[0])
    reasons = {}
    for r in results:
        merge_reasons(reasons, r[2])
    elapsed = max(r[3] for r in results) - start_at
    answered = len(latencies)
    return {
        "rps": answered / elapsed if elapsed > 0 else 0.0,
        "p50": 1000 * percentile(latencies, 50),
        "p99": 1000 * percentile(latencies, 99),
        "answered": answered,
        "failed": sum(r[1] for r in results),
        "reasons": reasons,
        "cpu_us": {name: (1e6 * c / answered if answered else float("nan"))
                   for name, c in cpu.items()},
    }


def combine(rounds):
    """One figure per case from several rounds of it: the median of each
    rate, percentile and CPU figure, the sums of the counts, and the lowest
    and highest requests/s to show the spread."""
    def median(values):
        values = sorted(values)
        middle = len(values) // 2
        return values[middle] if len(values) % 2 else (values[middle - 1] + values[middle]) / 2

    reasons = {}
    for r in rounds:
        merge_reasons(reasons, r["reasons"])
    return {
        "rps": median([r["rps"] for r in rounds]),
        "rps_low": min(r["rps"] for r in rounds),
        "rps_high": max(r["rps"] for r in rounds),
        "p50": median([r["p50"] for r in rounds]),
        "p99": median([r["p99"] for r in rounds]),
        "answered": sum(r["answered"] for r in rounds),
        "failed": sum(r["failed"] for r in rounds),
        "reasons": reasons,
        "cpu_us": {name: median([r["cpu_us"][name] for r in rounds])
                   for name in rounds[0]["cpu_us"]},
    }


def run_cases(roads, client_counts, rounds, procs, seconds, rate=None):
    """Every road at every client count: a one-second warm-up of each road
    at the highest count, then per count `rounds` rounds with the roads
    taking turns, so a slow spell of the machine falls on all of them.
    roads is a list of (name, make_client, watched) as measure() takes
    them; rate, when given, paces every case at that many requests/s.
    Returns rows (name, clients, combined figures)."""
    for _, make_client, watched in roads:
        measure(make_client, max(client_counts), procs, 1.0, watched, rate)
    rows = []
    for clients in client_counts:
        results = {name: [] for name, _, _ in roads}
        for n in range(rounds):
            for name, make_client, watched in roads:
                print("%s, %s, round %d" % (name, load_text(clients, rate), n + 1), flush=True)
                results[name].append(measure(make_client, clients, procs, seconds, watched, rate))
                time.sleep(0.3)
        for name, _, _ in roads:
            figures = combine(results[name])
            figures["rate"] = rate
            rows.append((name, clients, figures))
    return rows


def clients_cell(clients, rate=None):
    """"32", or "32 paced at 1000/s"."""
    return "%d" % clients + (" paced at %.0f/s" % rate if rate else "")


def load_text(clients, rate=None):
    """"1 client", "32 clients", "32 clients paced at 1000/s"."""
    text = "%d client%s" % (clients, "" if clients == 1 else "s")
    return text + (" paced at %.0f/s" % rate if rate else "")


def print_cases(rows, cpu_names, load_before, args, what):
    """The run's setting and one table row per case: requests/s (median,
    lowest-highest), p50, p99, failures, CPU us per request of cpu_names."""
    print()
    print("cpus: %d, load average before the run: %s" % (os.cpu_count() or 0, load_before))
    print("%d rounds of %.1f s per case, medians; Python clients in up to %d processes; %s"
          % (args.rounds, args.seconds, args.procs, what))
    print()
    print("| case | clients | requests/s | (low-high) | p50 ms | p99 ms | failed/wrong | "
          + " | ".join("CPU us/req: " + n if i == 0 else n for i, n in enumerate(cpu_names)) + " |")
    print("|---" * (7 + len(cpu_names)) + "|")
    for name, clients, r in rows:
        print("| %s | %s | %.0f | %.0f-%.0f | %.3f | %.3f | %d of %d | %s |" % (
            name, clients_cell(clients, r.get("rate")), r["rps"], r["rps_low"], r["rps_high"],
            r["p50"], r["p99"], r["failed"], r["answered"] + r["failed"], " | ".join("%.0f" % r["cpu_us"][n] for n in cpu_names)))


def add_load_options(parser, procs):
    """--binary, --seconds, --rounds and --procs, as run_cases uses them."""
    parser.add_argument("--binary", help="korvane (default: KORVANE_BINARY, build-bench, "
                                         "build-release)")
    parser.add_argument("--seconds", type=float, default=2.0, help="per round (default 2)")
    parser.add_argument("--rounds", type=int, default=3, help="rounds per case (default 3)")
    parser.add_argument("--procs", type=int, default=procs,
                        help="client processes the clients are spread over (default %d)" % procs)
