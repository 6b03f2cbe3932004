#!/usr/bin/env python3
"""run_bench.py -- runs the node's benchmarks and writes bench/results.md.

In-process: the Google Benchmark program ondrix-bench (list pages, details,
islike, like toggle, compression, start-up load, writer lock hold, memory).
End to end: the real node on loopback over generated databases, every request
a new connection, measured with four ab processes in parallel (each with a
quarter of the connections, summed), beside nginx serving the same bytes as
static files as the yardstick. Prints the tables and writes them to the
results file.

Usage: run_bench.py --build DIR [--out FILE] [--seconds S] [--skip-inprocess]
"""

import argparse
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SIZES_INPROCESS = [1000, 10000, 100000]
SIZES_STARTUP = [1000, 10000, 100000]
CONNECTIONS = [8, 64, 256]
AB_PROCESSES = 4


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def raw_request(port, data, timeout=30):
    """Sends data to 127.0.0.1:port and reads until the server closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(data)
        chunks = []
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            chunks.append(chunk)
    reply = b"".join(chunks)
    head, _, body = reply.partition(b"\r\n\r\n")
    return head, body


def get_body(port, path):
    head, body = raw_request(port, b"GET " + path.encode() + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    if not head.startswith(b"HTTP/1.1 200"):
        raise RuntimeError("GET %s answered %r" % (path, head[:40]))
    return body


# ---------------------------------------------------------------- the node


class Node:
    """A node started by this script in a generated working directory."""

    def __init__(self, build, workdir, news_count):
        self.build = build
        self.dir = os.path.join(workdir, "node-%d" % news_count)
        self.port = free_port()
        os.makedirs(self.dir, exist_ok=True)
        gen = subprocess.run(
            [os.path.join(build, "bench", "ondrix-bench-gen"), self.dir, str(news_count), str(self.port)],
            check=True, capture_output=True, text=True)
        self.shape = dict(line.split("=", 1) for line in gen.stdout.split())
        self.proc = None
        self.startup_ms = None
        self.rss_kb = None

    def start(self):
        begin = time.monotonic()
        self.proc = subprocess.Popen([os.path.abspath(os.path.join(self.build, "ondrix-node"))],
                                     cwd=self.dir, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
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
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    self.rss_kb = int(line.split()[1])

    def stop(self):
        if self.proc is None:
            return
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
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


def run_ab(port, path, connections, seconds, workdir, post_body=None):
    """Four ab processes in parallel, each with a quarter of the connections.
    Returns requests/s summed, p50 and p99 in ms (the median of the four p50s
    and the largest of the four p99s), and the count of failed connections."""
    per = max(1, connections // AB_PROCESSES)
    procs = []
    for k in range(AB_PROCESSES):
        csv = os.path.join(workdir, "ab-%d.csv" % k)
        cmd = ["ab", "-q", "-r", "-s", "30", "-c", str(per), "-t", str(seconds), "-n", "100000000",
               "-e", csv]
        if post_body is not None:
            body_file = os.path.join(workdir, "post-body")
            with open(body_file, "wb") as f:
                f.write(post_body)
            cmd += ["-p", body_file, "-T", "application/x-www-form-urlencoded"]
        cmd.append("http://127.0.0.1:%d%s" % (port, path))
        procs.append((subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                       text=True), csv))
    rps = 0.0
    p50s, p99s = [], []
    failed = 0
    non2xx = 0
    for proc, csv in procs:
        out, err = proc.communicate()
        m = re.search(r"Requests per second:\s+([\d.]+)", out)
        if proc.returncode != 0 or not m:
            raise RuntimeError("ab failed (%s): %s %s" % (path, out[-500:], err[-500:]))
        rps += float(m.group(1))
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
    p50s.sort()
    p50 = (p50s[1] + p50s[2]) / 2 if len(p50s) == 4 else p50s[len(p50s) // 2]
    return {"rps": rps, "p50": p50, "p99": max(p99s), "errors": failed + non2xx}


# ---------------------------------------------------------------- in-process


def run_inprocess(build, workdir, quick):
    out_json = os.path.join(workdir, "inprocess.json")
    cmd = [os.path.join(build, "bench", "ondrix-bench"), "--benchmark_out=" + out_json,
           "--benchmark_out_format=json"]
    if quick:
        cmd.append("--benchmark_min_time=0.05")
    log("in-process benchmarks: " + " ".join(cmd))
    subprocess.run(cmd, check=True, stdout=sys.stderr)
    with open(out_json) as f:
        data = json.load(f)
    results = {}
    for b in data["benchmarks"]:
        name, _, arg = b["name"].partition("/")
        arg = int(arg.split("/")[0])
        results.setdefault(name, {})[arg] = b
    return results


def fmt_time(b):
    unit = b.get("time_unit", "ns")
    t = b["real_time"]
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[unit]
    us = t * scale
    if us >= 1000:
        return "%.1f ms" % (us / 1000)
    return "%.1f µs" % us


def time_us(b):
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[b.get("time_unit", "ns")]
    return b["real_time"] * scale


INPROCESS_ROWS = [
    ("BM_ListPage1", "list page 1", "time"),
    ("BM_ListPage1AfterView", "list page 1, rebuilt after a view", "time"),
    ("BM_ListPage50", "list page 50", "time"),
    ("BM_DetailNewest", "detail, newest item", "time"),
    ("BM_DetailOldest", "detail, oldest item", "time"),
    ("BM_IsLike", "islike", "time"),
    ("BM_LikeToggle", "POST like (toggle), oldest item", "time"),
    ("BM_LikeToggleNewest", "POST like (toggle), newest item", "time"),
    ("BM_Compress", "compressString, whole text", "rate"),
    ("BM_Decompress", "decompressString, whole text", "rate"),
    ("BM_StartupLoad", "start-up load (inflate + parse)", "time"),
    ("BM_WriterLockHold", "writer's lock hold for one save", "time"),
    ("BM_StartupLoad", "heap per news item after load", "heap"),
]


def inprocess_table(results):
    lines = ["| in-process | 1,000 items | 10,000 items | 100,000 items | 100k / 1k |",
             "|---|---:|---:|---:|---:|"]
    for key, label, kind in INPROCESS_ROWS:
        row = results.get(key, {})
        cells = []
        for n in SIZES_INPROCESS:
            b = row.get(n)
            if b is None:
                cells.append("-")
            elif kind == "rate":
                cells.append("%.0f MB/s" % (b["bytes_per_second"] / 1e6))
            elif kind == "heap":
                cells.append("%.0f B" % b["heap_B_per_item"])
            else:
                cells.append(fmt_time(b))
        ratio = "-"
        if 1000 in row and 100000 in row:
            if kind == "rate":
                ratio = "%.2f" % (row[100000]["bytes_per_second"] / row[1000]["bytes_per_second"])
            elif kind == "heap":
                ratio = "%.2f" % (row[100000]["heap_B_per_item"] / row[1000]["heap_B_per_item"])
            else:
                ratio = "%.2f" % (time_us(row[100000]) / time_us(row[1000]))
        lines.append("| %s | %s | %s |" % (label, " | ".join(cells), ratio))
    return lines


# ---------------------------------------------------------------- end to end


def run_end_to_end(build, workdir, seconds, repeats):
    startup = []
    rows = []
    ngx = Nginx(workdir)
    node = None
    try:
        # Start-up time and memory of the real node at each size.
        for n in SIZES_STARTUP:
            log("generating the node directory of %d items" % n)
            node = Node(build, workdir, n)
            node.start()
            startup.append((n, node.startup_ms, node.rss_kb))
            node.stop()
            node = None

        # One node at a time, so an idle one's writer does not run beside
        # the measurements; nginx serves the bytes that node sent.
        for n in (1000, 100000):
            node = Node(build, workdir, n)
            node.start()
            oldest = node.shape["oldest"]
            targets = [("GET /v1/list/1", "/v1/list/1", None, "/list1-%d.json" % n),
                       ("GET /v1/news/<oldest id>", "/v1/news/" + oldest, None, "/news-%d.json" % n)]
            ngx.add_file("list1-%d.json" % n, get_body(node.port, "/v1/list/1"))
            ngx.add_file("news-%d.json" % n, get_body(node.port, "/v1/news/" + oldest))
            if n == 1000:
                like_body = ("id=%s&sid=%s&uid=%s" % (oldest, node.shape["liker_sid"],
                                                      node.shape["liker"])).encode()
                ngx.add_file("desc.json", get_body(node.port, "/"))
                ngx.add_file("upload.webp", get_body(node.port, "/" + node.shape["upload"]))
                targets = [("GET /", "/", None, "/desc.json")] + targets + [
                    ("GET 200 KB upload", "/" + node.shape["upload"], None, "/upload.webp"),
                    ("POST /v1/like", "/v1/like", like_body, "/v1/like")]
                ngx.start(b'{"r":1}')
            for label, path, body, ngx_path in targets:
                for c in CONNECTIONS:
                    log("ab: %s (%d items) at %d connections" % (label, n, c))
                    # Node and nginx take turns; the better of each one's
                    # runs counts, so a burst of other work on the machine
                    # weighs on neither alone.
                    ours, theirs = None, None
                    for _ in range(repeats):
                        o = run_ab(node.port, path, c, seconds, workdir, body)
                        t = run_ab(ngx.port, ngx_path, c, seconds, workdir, body)
                        ours = o if ours is None or o["rps"] > ours["rps"] else ours
                        theirs = t if theirs is None or t["rps"] > theirs["rps"] else theirs
                    rows.append({"label": label, "items": n, "c": c, "node": ours, "nginx": theirs})
            node.stop()
            node = None
    finally:
        if node is not None:
            node.stop()
        ngx.stop()
    order = ["GET /", "GET /v1/list/1", "GET /v1/news/<oldest id>", "GET 200 KB upload",
             "POST /v1/like"]
    rows.sort(key=lambda r: (order.index(r["label"]), r["items"], r["c"]))
    return rows, startup


def e2e_table(rows):
    lines = ["| end to end | items | conns | node req/s | p50 ms | p99 ms | nginx req/s | p50 ms | p99 ms | req/s ratio | p99 ratio | errors |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        o, t = r["node"], r["nginx"]
        lines.append("| %s | %d | %d | %.0f | %.2f | %.2f | %.0f | %.2f | %.2f | %.2f | %.2f | %d |" % (
            r["label"], r["items"], r["c"], o["rps"], o["p50"], o["p99"], t["rps"], t["p50"],
            t["p99"], o["rps"] / t["rps"] if t["rps"] else 0.0,
            o["p99"] / t["p99"] if t["p99"] else 0.0, o["errors"] + t["errors"]))
    return lines


def startup_table(startup):
    lines = ["| real node | 1,000 items | 10,000 items | 100,000 items |", "|---|---:|---:|---:|"]
    by_n = {n: (ms, kb) for n, ms, kb in startup}
    cells = lambda f: " | ".join(f(*by_n[n]) if n in by_n else "-" for n in SIZES_STARTUP)
    lines.append("| start-up to listening | %s |" % cells(lambda ms, kb: "%.0f ms" % ms))
    lines.append("| resident memory after load | %s |" % cells(lambda ms, kb: "%.1f MB" % (kb / 1024)))
    lines.append("| resident memory per news item | %s |" % " | ".join(
        "%.0f B" % (by_n[n][1] * 1024 / n) if n in by_n else "-" for n in SIZES_STARTUP))
    first = SIZES_STARTUP[0]
    if first in by_n:
        lines.append("| resident memory per added item (from %d) | - | %s |" % (first, " | ".join(
            "%.0f B" % ((by_n[n][1] - by_n[first][1]) * 1024 / (n - first)) if n in by_n else "-"
            for n in SIZES_STARTUP[1:])))
    return lines


def target_lines(results, rows):
    out = []

    def find(label, items, c):
        for r in rows:
            if r["label"] == label and r["items"] == items and r["c"] == c:
                return r
        return None

    def check(desc, ok, detail):
        out.append("- %s: %s (%s)" % (desc, "met" if ok else "MISSED", detail))

    for label, items, need in [("GET /", 1000, 0.9), ("GET /v1/list/1", 1000, 0.9),
                               ("GET 200 KB upload", 1000, 0.6)]:
        r = find(label, items, 64)
        if r is None:
            continue
        ratio = r["node"]["rps"] / r["nginx"]["rps"]
        check("%s at 64 connections reaches %d%% of nginx's req/s" % (label, need * 100),
              ratio >= need, "%.0f%%" % (ratio * 100))
        if need == 0.9:
            p = r["node"]["p99"] / r["nginx"]["p99"] if r["nginx"]["p99"] else float("inf")
            check("%s at 64 connections: p99 at most twice nginx's" % label, p <= 2.0,
                  "%.2f ms vs %.2f ms, %.2fx" % (r["node"]["p99"], r["nginx"]["p99"], p))
    for key, label in [("BM_ListPage1", "list page 1"),
                       ("BM_ListPage1AfterView", "list page 1, rebuilt after a view"),
                       ("BM_DetailOldest", "detail of the oldest item")]:
        row = results.get(key, {}) if results else {}
        if 1000 in row and 100000 in row:
            ratio = time_us(row[100000]) / time_us(row[1000])
            check("in-process %s at 100,000 items costs at most twice 1,000" % label, ratio <= 2.0,
                  "%.2fx" % ratio)
    for label in ["GET /v1/list/1", "GET /v1/news/<oldest id>"]:
        a, b = find(label, 1000, 64), find(label, 100000, 64)
        if a and b:
            ratio = a["node"]["rps"] / b["node"]["rps"]
            check("end-to-end %s at 100,000 items costs at most twice 1,000 (64 connections)" % label,
                  ratio <= 2.0, "%.2fx" % ratio)
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "results.md"))
    ap.add_argument("--seconds", type=int, default=3, help="length of each ab run")
    ap.add_argument("--repeats", type=int, default=2,
                    help="runs of each measurement, node and nginx in turn; the best counts")
    ap.add_argument("--skip-inprocess", action="store_true")
    ap.add_argument("--skip-e2e", action="store_true")
    ap.add_argument("--quick", action="store_true", help="short in-process runs")
    args = ap.parse_args()

    load = "load average %.1f at the start" % os.getloadavg()[0]
    workdir = tempfile.mkdtemp(prefix="ondrix-bench-")
    try:
        results = {} if args.skip_inprocess else run_inprocess(args.build, workdir, args.quick)
        rows, startup = ([], []) if args.skip_e2e else run_end_to_end(args.build, workdir, args.seconds, args.repeats)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            m = re.search(r"model name\s*:\s*(.+)", f.read())
            cpu = m.group(1) if m else ""
    except OSError:
        pass
    doc = ["# Benchmark results", "",
           "Run of %s on %d cores (%s, %s). End to end: every request a new connection on loopback, "
           "four ab processes in parallel with a quarter of the connections each, %d s per run, "
           "node and nginx in turn, the better of %d runs each; "
           "req/s summed, p50 the median and p99 the largest of the four processes' percentiles. "
           "nginx serves the same reply bodies as static files (keepalive_timeout 0, access_log off, "
           "sendfile on, worker_processes auto: %d processes, one per core, against the node's %d worker "
           "threads and its accept thread; its listening socket defers accepting until the request "
           "arrives, as the node's does)."
           % (time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), os.cpu_count(), cpu, load, args.seconds,
              args.repeats, os.cpu_count(), os.cpu_count()), ""]
    if results:
        doc += inprocess_table(results) + [""]
    if startup:
        doc += startup_table(startup) + [""]
    if rows:
        doc += e2e_table(rows) + [""]
    targets = target_lines(results, rows)
    if targets:
        doc += ["Targets:", ""] + targets + [""]
    text = "\n".join(doc)
    print(text)
    with open(args.out, "w") as f:
        f.write(text)
    log("written to " + args.out)


if __name__ == "__main__":
    main()
