"""bench_common.py -- what the benchmark scripts share: loopback requests,
/proc figures, the node and nginx started from a generated directory, the ab
runs, and the wording of target lines."""

import json
import os
import re
import resource
import signal
import socket
import shutil
import subprocess
import sys
import time

AB_PROCESSES = 4
FORM_TYPE = "application/x-www-form-urlencoded"
BOUNDARY = "------------------------58b3a13d606d050b"
MULTIPART_TYPE = "multipart/form-data; boundary=" + BOUNDARY
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def read_until_closed(s):
    """Everything the peer of socket s sends until it closes."""
    chunks = []
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        chunks.append(chunk)
    return b"".join(chunks)


def raw_request(port, data, timeout=30):
    """Sends data to 127.0.0.1:port and reads until the server closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(data)
        reply = read_until_closed(s)
    head, _, body = reply.partition(b"\r\n\r\n")
    return head, body


def get_body(port, path):
    head, body = raw_request(port, b"GET " + path.encode() + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    if not head.startswith(b"HTTP/1.1 200"):
        raise RuntimeError("GET %s answered %r" % (path, head[:40]))
    return body


def multipart_body(fields):
    """A multipart/form-data body (boundary BOUNDARY) of (name, value) pairs."""
    body = b""
    for name, value in fields:
        body += ("--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n%s\r\n"
                 % (BOUNDARY, name, value)).encode()
    return body + ("--%s--\r\n" % BOUNDARY).encode()


def post_request(path, content_type, body):
    return (("POST %s HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: %s\r\nContent-Length: %d\r\n\r\n"
             % (path, content_type, len(body))).encode() + body)


def post_body(port, path, content_type, body):
    head, reply = raw_request(port, post_request(path, content_type, body))
    if not head.startswith(b"HTTP/1.1 200"):
        raise RuntimeError("POST %s answered %r" % (path, head[:40]))
    return reply


def timed_get_ms(port, path, timeout=30):
    """Milliseconds from connecting to the server's close for one GET that is
    answered 200; None when it is not answered so within timeout seconds."""
    begin = time.monotonic()
    try:
        head, _ = raw_request(port, b"GET " + path.encode() + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
                              timeout)
    except OSError:
        return None
    if not head.startswith(b"HTTP/1.1 200"):
        return None
    return (time.monotonic() - begin) * 1000.0


# ---------------------------------------------------------------- /proc


def cpu_ticks(pids):
    """utime + stime of the processes (all their threads), in clock ticks."""
    total = 0
    for pid in pids:
        try:
            with open("/proc/%d/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])
        except OSError:
            pass
    return total


def children_of(pid):
    kids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                if int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                    kids.append(int(entry))
        except (OSError, IndexError, ValueError):
            pass
    return kids


def proc_number(pid, name, key):
    """The number after key in /proc/<pid>/<name> (0 when it has none)."""
    with open("/proc/%d/%s" % (pid, name)) as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1])
    return 0


def rss_kb(pid):
    return proc_number(pid, "status", "VmRSS:")


def write_bytes(pid):
    """Bytes the process caused to be written to storage so far."""
    return proc_number(pid, "io", "write_bytes:")


# ---------------------------------------------------------------- the node


class Node:
    """A node started by this script in a generated working directory."""

    def __init__(self, build, workdir, news_count, users=0):
        self.build = build
        self.dir = os.path.join(workdir, "node-%d" % news_count + ("-%du" % users if users else ""))
        self.port = free_port()
        os.makedirs(self.dir, exist_ok=True)
        cmd = [os.path.join(build, "bench", "ondrix-bench-gen"), self.dir, str(news_count), str(self.port)]
        if users:
            cmd.append(str(users))
        gen = subprocess.run(cmd, check=True, capture_output=True, text=True)
        self.shape = dict(line.split("=", 1) for line in gen.stdout.split())
        self.proc = None
        self.startup_ms = None
        self.rss_kb = None
        self.exit_s = None

    def set_write_interval(self, ms):
        path = os.path.join(self.dir, "config.json")
        with open(path) as f:
            config = json.load(f)
        config["write_interval"] = ms
        with open(path, "w") as f:
            json.dump(config, f, indent="\t")

    def start(self, nofile=None):
        """Starts the node; nofile=(soft, hard) sets its limit of open files."""
        begin = time.monotonic()
        limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, nofile)) if nofile else None
        self.proc = subprocess.Popen([os.path.abspath(os.path.join(self.build, "ondrix-node"))],
                                     cwd=self.dir, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     preexec_fn=limit)
        seen = b""
        while b"Listening on 0.0.0.0:" not in seen:
            chunk = self.proc.stdout.readline()
            if not chunk:
                raise RuntimeError("node in %s ended before listening: %r" % (self.dir, seen))
            seen += chunk
        self.startup_ms = (time.monotonic() - begin) * 1000.0
        # Wait until a request is answered (the pool starts after the line).
        for _ in range(200):
            try:
                get_body(self.port, "/v1/connect-test")
                break
            except OSError:
                time.sleep(0.02)
        self.rss_kb = rss_kb(self.proc.pid)

    def stop(self):
        """SIGTERM and wait (SIGKILL after 30 s); exit_s is the time to the exit."""
        if self.proc is None:
            return
        begin = time.monotonic()
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=30)
            self.exit_s = time.monotonic() - begin
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            self.exit_s = float("inf")
        self.proc = None


# ---------------------------------------------------------------- nginx


class Nginx:
    """nginx on loopback with its own configuration, serving static copies."""

    def __init__(self, workdir):
        self.dir = os.path.join(workdir, "nginx")
        self.root = os.path.join(self.dir, "www")
        os.makedirs(self.root, exist_ok=True)
        self.port = free_port()
        self.proc = None

    def add_file(self, name, body):
        with open(os.path.join(self.root, name), "wb") as f:
            f.write(body)

    def start(self, like_body):
        binary = shutil.which("nginx") or "/usr/sbin/nginx"
        conf = os.path.join(self.dir, "nginx.conf")
        with open(conf, "w") as f:
            f.write("""
worker_processes auto;
daemon off;
pid %(dir)s/nginx.pid;
error_log %(dir)s/error.log crit;
events { worker_connections 8192; }
http {
    access_log off;
    keepalive_timeout 0;
    sendfile on;
    client_body_temp_path %(dir)s/body;
    proxy_temp_path %(dir)s/proxy;
    fastcgi_temp_path %(dir)s/fastcgi;
    uwsgi_temp_path %(dir)s/uwsgi;
    scgi_temp_path %(dir)s/scgi;
    types { application/json json; image/webp webp; }
    server {
        listen 127.0.0.1:%(port)d deferred;
        root %(root)s;
        location = /v1/like { default_type application/json; return 200 '%(like)s'; }
    }
}
""" % {"dir": self.dir, "port": self.port, "root": self.root, "like": like_body.decode()})
        # Workers may run as an unprivileged user: let them read the files.
        for path in (os.path.dirname(self.dir), self.dir, self.root):
            os.chmod(path, 0o755)
        for name in os.listdir(self.root):
            os.chmod(os.path.join(self.root, name), 0o644)
        self.proc = subprocess.Popen([binary, "-p", self.dir, "-c", conf],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE)
        for _ in range(250):
            try:
                get_body(self.port, "/desc.json")
                return
            except OSError:
                if self.proc.poll() is not None:
                    raise RuntimeError("nginx failed: %s" % self.proc.stderr.read().decode())
                time.sleep(0.02)
        raise RuntimeError("nginx did not answer")

    def worker_pids(self):
        return children_of(self.proc.pid) if self.proc else []

    def stop(self):
        if self.proc is None:
            return
        self.proc.send_signal(signal.SIGQUIT)
        try:
            self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc = None


# ---------------------------------------------------------------- ab


def run_ab(port, path, connections, seconds, workdir, post_body=None, content_type=FORM_TYPE,
           cpu_pids=None, requests=None):
    """Four ab processes in parallel, each with a quarter of the connections
    (and of requests, when given: the run then ends when they are done, or
    after seconds when that is given too).
    Returns requests/s summed, p50 and p99 in ms (the median of the four p50s
    and the largest of the four p99s), the longest request in ms, the count of
    failed connections, the cores the ab processes kept busy (their CPU time over
    the run's length), and, when cpu_pids gives the server's processes, the CPU
    time they spent per completed request in µs over the same run."""
    per = max(1, connections // AB_PROCESSES)
    procs = []
    body_file = os.path.join(workdir, "post-body")
    if post_body is not None:
        # Written once, before any ab starts: one rewritten while an earlier ab
        # reads it at its start would send that one a body cut short.
        with open(body_file, "wb") as f:
            f.write(post_body)
    # ab's own CPU time: the children reaped during this run are the ab processes.
    children_before = os.times()
    began = time.monotonic()
    pids = cpu_pids() if cpu_pids else []
    ticks_before = cpu_ticks(pids)
    for k in range(AB_PROCESSES):
        csv = os.path.join(workdir, "ab-%d.csv" % k)
        count = max(per, requests // AB_PROCESSES) if requests else 100000000
        limit = ["-t", str(seconds)] if seconds is not None else []
        cmd = ["ab", "-q", "-r", "-s", "30", "-c", str(per)] + limit + ["-n", str(count), "-e", csv]
        if post_body is not None:
            cmd += ["-p", body_file, "-T", content_type]
        cmd.append("http://127.0.0.1:%d%s" % (port, path))
        procs.append((subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                       text=True), csv))
    rps = 0.0
    p50s, p99s, longest = [], [], []
    failed = 0
    non2xx = 0
    completed = 0
    for proc, csv in procs:
        out, err = proc.communicate()
        m = re.search(r"Requests per second:\s+([\d.]+)", out)
        # ab prints no rate when no request completed in its time (the
        # server stalled throughout): that process adds 0 req/s.
        if proc.returncode != 0 or not (m or re.search(r"Complete requests:\s+0\b", out)):
            raise RuntimeError("ab failed (%s): %s %s" % (path, out[-500:], err[-500:]))
        rps += float(m.group(1)) if m else 0.0
        m = re.search(r"Complete requests:\s+(\d+)", out)
        completed += int(m.group(1)) if m else 0
        m = re.search(r"Non-2xx responses:\s+(\d+)", out)
        non2xx += int(m.group(1)) if m else 0
        m = re.search(r"Failed requests:\s+(\d+)\s*\n\s*\(Connect: (\d+), Receive: (\d+), Length: (\d+), Exceptions: (\d+)\)", out)
        if m:
            failed += int(m.group(2)) + int(m.group(3)) + int(m.group(5))
        percent = {}
        with open(csv) as f:
            for line in f:
                parts = line.strip().split(",")
                if len(parts) == 2 and parts[0].isdigit():
                    percent[int(parts[0])] = float(parts[1])
        p50s.append(percent.get(50, float("nan")))
        p99s.append(percent.get(99, float("nan")))
        longest.append(percent.get(100, float("nan")))
    children_after = os.times()
    ab_cores = ((children_after.children_user + children_after.children_system
                 - children_before.children_user - children_before.children_system)
                / max(time.monotonic() - began, 1e-9))
    cpu_us = None
    if pids and completed:
        cpu_us = (cpu_ticks(pids) - ticks_before) / CLOCK_TICKS * 1e6 / completed
    # A process that completed nothing has no percentiles.
    p50s = sorted(x for x in p50s if x == x) or [float("nan")]
    p99s = [x for x in p99s if x == x] or [float("nan")]
    longest = [x for x in longest if x == x] or [float("nan")]
    p50 = (p50s[1] + p50s[2]) / 2 if len(p50s) == 4 else p50s[len(p50s) // 2]
    return {"rps": rps, "p50": p50, "p99": max(p99s), "max": max(longest),
            "errors": failed + non2xx, "cpu_us": cpu_us, "requests": completed,
            "ab_cores": ab_cores}


# ---------------------------------------------------------------- report


def fmt_cpu(r):
    return "%.1f" % r["cpu_us"] if r.get("cpu_us") is not None else "-"


def verdict(oks):
    """met when every run met the target, else on how many runs it was missed."""
    n, missed = len(oks), len(oks) - sum(oks)
    runs = "" if n == 1 else " on both runs" if n == 2 else " on all %d runs" % n
    if missed == 0:
        return "met" + runs
    if missed == n:
        return "MISSED" + runs
    return "MISSED on %d of %d runs" % (missed, n)


def check_line(desc, oks, details):
    """One target line; details holds one text per run."""
    if len(details) == 1:
        return "- %s: %s (%s)" % (desc, verdict(oks), details[0])
    return "- %s: %s (%s)" % (desc, verdict(oks), "; ".join(
        "run %d: %s" % (k + 1, d) for k, d in enumerate(details)))
