#!/usr/bin/env python3
"""run_bench.py -- runs the node's benchmarks and writes bench/results.md.

In-process: the Google Benchmark program ondrix-bench (list pages, details,
islike, like toggle, compression, start-up load, writer lock hold, the lock
wait during a real save with 100,000 users and while four threads read a
detail of 30 MB content, memory).
End to end: the real node on loopback over generated databases, every request
a new connection, measured with four ab processes in parallel (each with a
quarter of the connections, summed), beside nginx serving the same bytes as
static files as the yardstick, with the CPU time each server spent per
request. At 100,000 items and 100,000 users: requests of the last user
against the first, list page 1 after a post, requests while saving every
second, an idle node and its stop. Slow and idle clients: slow form senders
and slow readers, and idle connections beyond a soft limit of descriptors.
A large item: isadmin while four clients read the detail of 30 MB content.
The writer saving back to back: an idle node's CPU, the saves while a like
comes every 10 ms, and the memory over 1.2 million like toggles.
Uploads: what the syncs of a stored upload cost, 200 KB avatar signins under
ab, and the node's CPU time per 60 MiB avatar of 16 concurrent signins.
Signins: 8 and 16 clients signing in with 60 MiB avatars at once, with fresh
GETs beside them.
Prints the tables and, for a whole run, writes them to the results file.

Usage: run_bench.py --build DIR [--out FILE] [--seconds S] [--repeats N]
                    [--rows inprocess,startup,e2e,scale,clients,detail,writer,uploads,
                            signins]
                    [--quick]
                    [--skip-inprocess] [--skip-e2e]
A run of some rows only, or a --quick one, writes the file only when --out
is given.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

# The helper modules beside this script leave no __pycache__ in the tree.
sys.dont_write_bytecode = True

from bench_common import (AB_PROCESSES, Nginx, Node, check_line, fmt_cpu, get_body, log,
                          run_ab)
from client_rows import run_clients
from detail_rows import run_detail
from scale_rows import run_scale
from signin_rows import run_signins
from upload_rows import run_uploads
from writer_rows import run_writer

SIZES_INPROCESS = [1000, 10000, 100000]
SIZES_STARTUP = [1000, 10000, 100000]
CONNECTIONS = [8, 64, 256]
ROW_GROUPS = ["inprocess", "startup", "e2e", "scale", "clients", "detail", "writer", "uploads",
              "signins"]


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
    ("BM_LockWaitLargeDetail", "longest lock wait while 4 threads read a detail of 30 MB content (mean of runs)", "time"),
    ("BM_SaveLockWaitWithUsers", "longest lock wait during one save of 10,000 changes, 100,000 users (mean of runs)", "time"),
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


def run_end_to_end(build, workdir, seconds, repeats, with_startup=True, with_e2e=True):
    startup = []
    rows = []
    ngx = Nginx(workdir)
    node = None
    try:
        # Start-up time and memory of the real node at each size.
        for n in SIZES_STARTUP if with_startup else []:
            log("generating the node directory of %d items" % n)
            node = Node(build, workdir, n)
            node.start()
            startup.append((n, node.startup_ms, node.rss_kb))
            node.stop()
            node = None

        # One node at a time, so an idle one's writer does not run beside
        # the measurements; nginx serves the bytes that node sent.
        for n in (1000, 100000) if with_e2e else []:
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
                    runs = []
                    for _ in range(repeats):
                        o = run_ab(node.port, path, c, seconds, workdir, body,
                                   cpu_pids=lambda: [node.proc.pid])
                        t = run_ab(ngx.port, ngx_path, c, seconds, workdir, body,
                                   cpu_pids=ngx.worker_pids)
                        runs.append((o, t))
                        ours = o if ours is None or o["rps"] > ours["rps"] else ours
                        theirs = t if theirs is None or t["rps"] > theirs["rps"] else theirs
                    rows.append({"label": label, "items": n, "c": c, "node": ours, "nginx": theirs,
                                 "runs": runs})
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
    lines = ["| end to end | items | conns | node req/s | p50 ms | p99 ms | node CPU µs/req | nginx req/s | p50 ms | p99 ms | nginx CPU µs/req | req/s ratio | p99 ratio | CPU ratio | ab cores, node / nginx | errors |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        o, t = r["node"], r["nginx"]
        cpu_ratio = ("%.2f" % (o["cpu_us"] / t["cpu_us"])
                     if o.get("cpu_us") and t.get("cpu_us") else "-")
        lines.append("| %s | %d | %d | %.0f | %.2f | %.2f | %s | %.0f | %.2f | %.2f | %s | %.2f | %.2f | %s | %.1f / %.1f | %d |" % (
            r["label"], r["items"], r["c"], o["rps"], o["p50"], o["p99"], fmt_cpu(o), t["rps"],
            t["p50"], t["p99"], fmt_cpu(t), o["rps"] / t["rps"] if t["rps"] else 0.0,
            o["p99"] / t["p99"] if t["p99"] else 0.0, cpu_ratio, o["ab_cores"], t["ab_cores"],
            o["errors"] + t["errors"]))
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
        out.append(check_line(desc, [ok], [detail]))

    # Each end-to-end target is checked on every run: run k of the node
    # against run k of nginx.
    def check_runs(desc, found, ok, detail):
        found = [r for r in found if r is not None]
        if not found:
            return
        count = min(len(r["runs"]) for r in found)
        oks, details = [], []
        for k in range(count):
            pairs = [r["runs"][k] for r in found]
            oks.append(all(ok(o, t) for o, t in pairs))
            details.append(", ".join(detail(o, t) for o, t in pairs))
        out.append(check_line(desc, oks, details))

    rps_ratio = lambda o, t: o["rps"] / t["rps"] if t["rps"] else 0.0
    p99_ratio = lambda o, t: o["p99"] / t["p99"] if t["p99"] else float("inf")
    for label, items, need in [("GET /", 1000, 0.9), ("GET /v1/list/1", 1000, 0.9),
                               ("GET 200 KB upload", 1000, 0.6)]:
        r = find(label, items, 64)
        check_runs("%s at 64 connections reaches %d%% of nginx's req/s" % (label, need * 100), [r],
                   lambda o, t: rps_ratio(o, t) >= need,
                   lambda o, t: "%.0f%%" % (rps_ratio(o, t) * 100))
        if need == 0.9:
            check_runs("%s at 64 connections: p99 at most twice nginx's" % label, [r],
                       lambda o, t: p99_ratio(o, t) <= 2.0,
                       lambda o, t: "%.2f ms vs %.2f ms, %.2fx" % (o["p99"], t["p99"], p99_ratio(o, t)))
    for key, label in [("BM_ListPage1", "list page 1"),
                       ("BM_ListPage1AfterView", "list page 1, rebuilt after a view"),
                       ("BM_DetailOldest", "detail of the oldest item")]:
        row = results.get(key, {}) if results else {}
        if 1000 in row and 100000 in row:
            ratio = time_us(row[100000]) / time_us(row[1000])
            check("in-process %s at 100,000 items costs at most twice 1,000" % label, ratio <= 2.0,
                  "%.2fx" % ratio)
    save = (results or {}).get("BM_SaveLockWaitWithUsers", {}).get(100000)
    if save is not None:
        check("the writer's lock hold per save at 100,000 items and 100,000 users at most 20 ms "
              "(in-process, the database loaded from its file: the longest wait for the lock during "
              "a real save of 10,000 views and a like, over %d saves)"
              % save["iterations"], save["longest_ms"] <= 20, "%.1f ms" % save["longest_ms"])
    large = (results or {}).get("BM_LockWaitLargeDetail", {}).get(1000)
    if large is not None:
        check("the longest wait for the database lock while 4 threads read the detail of an item "
              "of 30 MB content back to back at most 20 ms (in-process, %d windows of 2 s, %d "
              "details read)" % (large["iterations"], large["reads"]),
              large["longest_ms"] <= 20, "%.2f ms" % large["longest_ms"])
    for label in ["GET /v1/list/1", "GET /v1/news/<oldest id>"]:
        a, b = find(label, 1000, 64), find(label, 100000, 64)
        if a and b:
            count = min(len(a["runs"]), len(b["runs"]))
            ratios = [a["runs"][k][0]["rps"] / b["runs"][k][0]["rps"] for k in range(count)]
            out.append(check_line(
                "end-to-end %s at 100,000 items costs at most twice 1,000 (64 connections)" % label,
                [x <= 2.0 for x in ratios], ["%.2fx" % x for x in ratios]))

    # Serving throughput against nginx at every concurrency, and the CPU
    # time each request costs the server (figures per run at 8, 64, 256).
    conns = ", ".join(str(c) for c in CONNECTIONS)
    for label in ["GET /", "GET /v1/list/1", "GET /v1/news/<oldest id>", "POST /v1/like"]:
        found = [find(label, 1000, c) for c in CONNECTIONS]
        check_runs("%s (1,000 items) at %s connections reaches 90%% of nginx's req/s" % (label, conns),
                   found, lambda o, t: rps_ratio(o, t) >= 0.9,
                   lambda o, t: "%.0f%%" % (rps_ratio(o, t) * 100))
        check_runs("%s (1,000 items) at %s connections: p99 at most 1.5x nginx's" % (label, conns),
                   found, lambda o, t: p99_ratio(o, t) <= 1.5,
                   lambda o, t: "%.2fx" % p99_ratio(o, t))
    for label, most in [("GET /", 1.0), ("GET /v1/list/1", 1.0), ("GET /v1/news/<oldest id>", 1.0),
                        ("POST /v1/like", 1.0), ("GET 200 KB upload", 1.1)]:
        found = [find(label, 1000, c) for c in CONNECTIONS]
        cpu_ratio = lambda o, t: (o["cpu_us"] / t["cpu_us"] if o.get("cpu_us") and t.get("cpu_us")
                                  else float("inf"))
        check_runs("%s (1,000 items): the node's CPU time per request at most %snginx's, at %s "
                   "connections" % (label, "" if most == 1.0 else "%.1fx " % most, conns),
                   found, lambda o, t: cpu_ratio(o, t) <= most,
                   lambda o, t: "%s vs %s µs" % (fmt_cpu(o), fmt_cpu(t)))
    return out


def machine_text():
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            m = re.search(r"model name\s*:\s*(.+)", f.read())
            cpu = m.group(1).strip() if m else ""
    except OSError:
        pass
    return "%s, %d cores" % (cpu or "unknown CPU", os.cpu_count())


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--out", help="results file (default bench/results.md for a whole run)")
    ap.add_argument("--seconds", type=int, default=None, help="length of each ab run (3; 1 with --quick)")
    ap.add_argument("--repeats", type=int, default=2,
                    help="runs of each measurement, node and nginx in turn; every target is "
                         "checked on each run")
    ap.add_argument("--rows", default=",".join(ROW_GROUPS),
                    help="comma-separated groups to run: " + ", ".join(ROW_GROUPS))
    ap.add_argument("--skip-inprocess", action="store_true")
    ap.add_argument("--skip-e2e", action="store_true", help="skip every end-to-end group")
    ap.add_argument("--quick", action="store_true",
                    help="short runs for trying rows: short in-process runs, 1 s ab runs, short windows")
    args = ap.parse_args()
    groups = [g.strip() for g in args.rows.split(",") if g.strip()]
    unknown = [g for g in groups if g not in ROW_GROUPS]
    if unknown:
        ap.error("unknown row groups: " + ", ".join(unknown))
    if args.skip_inprocess:
        groups = [g for g in groups if g != "inprocess"]
    if args.skip_e2e:
        groups = [g for g in groups if g == "inprocess"]
    seconds = args.seconds or (1 if args.quick else 3)
    out = args.out
    if out is None and not args.quick and groups == ROW_GROUPS:
        out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results.md")

    began = time.monotonic()
    load_before = os.getloadavg()
    workdir = tempfile.mkdtemp(prefix="ondrix-bench-")
    results, rows, startup = {}, [], []
    # The groups that give their own tables and target lines, in the order
    # they run and are written.
    table_groups = [
        ("scale", lambda: run_scale(args.build, workdir, seconds, args.repeats, args.quick)),
        ("clients", lambda: run_clients(args.build, workdir, args.repeats)),
        ("detail", lambda: run_detail(args.build, workdir, args.repeats, args.quick)),
        ("writer", lambda: run_writer(args.build, workdir, args.repeats, args.quick)),
        ("uploads", lambda: run_uploads(args.build, workdir, args.repeats, args.quick)),
        ("signins", lambda: run_signins(args.build, workdir, args.repeats)),
    ]
    tables, group_targets = [], []
    try:
        if "inprocess" in groups:
            results = run_inprocess(args.build, workdir, args.quick)
        if "startup" in groups or "e2e" in groups:
            rows, startup = run_end_to_end(args.build, workdir, seconds, args.repeats,
                                           "startup" in groups, "e2e" in groups)
        for group, run in table_groups:
            if group in groups:
                table, targets = run()
                tables += table
                group_targets += targets
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    load_after = os.getloadavg()
    minutes = (time.monotonic() - began) / 60

    doc = ["# Benchmark results", "",
           "Run of %s on %s; load average (1, 5, 15 min) %.1f, %.1f, %.1f before and %.1f, %.1f, %.1f "
           "after; the whole run took %.1f minutes%s. The machine may be shared: the load shows "
           "what else ran beside the benchmarks."
           % (time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), machine_text(), *load_before,
              *load_after, minutes, " (--quick)" if args.quick else ""), "",
           "End to end: every request a new connection on loopback, %d ab processes in parallel "
           "with a quarter of the connections each, %d s per run, node and nginx in turn, %d runs "
           "each; the tables show the better run of each server, and every end-to-end target is "
           "checked on each run (run k of the node against run k of nginx). req/s summed, p50 the "
           "median and p99 the largest of the ab processes' percentiles. CPU µs/req: the "
           "server's user + system time over the same ab run (/proc/<pid>/stat of the node, of "
           "all of nginx's worker processes) divided by the requests completed. ab cores: the CPU time of the %d ab "
           "processes over the run's length; near %d, the load generator is the ceiling for the "
           "server measured, and its CPU per request is the figure to compare. "
           "nginx serves the same reply bodies as static files (keepalive_timeout 0, access_log off, "
           "sendfile on, worker_processes auto: %d processes, one per core, against the node's %d worker "
           "threads, each accepting and answering its own connections; its listening socket defers accepting until the request "
           "arrives, as the node's does). The rows at 100,000 users and those of slow and idle "
           "clients list every run (a fresh node each for the clients; list page 1 after a post "
           "splits its posts in two halves). In-process figures come from one run of the Google "
           "Benchmark program."
           % (AB_PROCESSES, seconds, args.repeats, AB_PROCESSES, AB_PROCESSES, os.cpu_count(),
              os.cpu_count()), ""]
    if results:
        doc += inprocess_table(results) + [""]
    if startup:
        doc += startup_table(startup) + [""]
    if rows:
        doc += e2e_table(rows) + [""]
    doc += tables
    targets = target_lines(results, rows) + group_targets
    if targets:
        doc += ["Targets:", ""] + targets + [""]
    text = "\n".join(doc)
    print(text)
    if out:
        with open(out, "w") as f:
            f.write(text)
        log("written to " + out)
    log("took %.1f minutes" % minutes)


if __name__ == "__main__":
    main()
