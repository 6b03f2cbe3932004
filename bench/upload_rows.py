"""upload_rows.py -- the cost of storing uploads: the syncs of a 200 KB and a
60 MiB file (in-process: the node's own store against the same store without
its syncs), 200 KB avatar signins under ab, and the node's CPU time per 60 MiB
avatar of 16 concurrent signins against writing the same file once beside
them. Every signin adds a user and stores its avatar."""

import json
import os
import resource
import shutil
import socket
import subprocess
import sys
import threading
import time

from bench_common import (CLOCK_TICKS, Node, check_line, cpu_ticks, log, read_until_closed,
                          run_ab)

SMALL_UPLOAD_BYTES = 200 * 1024
LARGE_UPLOAD_BYTES = 60 * 1024 * 1024
SIGNIN_CONNECTIONS = 64
SIGNIN_REQUESTS = 2000           # per ab run: every signin stores a new file
SIGNIN_REQUESTS_QUICK = 1000
AB_TIME_LIMIT_S = 120           # a run ends with its requests, long before this
CONCURRENT_SIGNINS = 16        # all sent at once: those beyond the node's room wait for it
CPU_RATIO_TARGET = 1.5
REFERENCE_DIR = "write-once"   # in the node's directory: the same file system
UPLOAD_BOUNDARY = "------------------------7c0a1b2d3e4f5a6b"
UPLOAD_TYPE = "multipart/form-data; boundary=" + UPLOAD_BOUNDARY
# No user has this id: each signin adds a user (with the next id) and stores
# its avatar, so a fixed request body stores a file every time.
UNKNOWN_UID = "2000000000"


def signin_body(sid):
    """The multipart signin body that adds a user, in two pieces to put the
    avatar's bytes between."""
    def text(name, value):
        return ("--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n%s\r\n"
                % (UPLOAD_BOUNDARY, name, value)).encode()
    head = (text("uid", UNKNOWN_UID) + text("sid", sid) + text("nickname", "bench") +
            ("--%s\r\nContent-Disposition: form-data; name=\"avatar\"; filename=\"a.webp\"\r\n"
             "Content-Type: application/octet-stream\r\n\r\n" % UPLOAD_BOUNDARY).encode())
    tail = b"\r\n" + text("hash", "h-" + sid) + ("--%s--\r\n" % UPLOAD_BOUNDARY).encode()
    return head, tail


def remove_uploads(node):
    shutil.rmtree(os.path.join(node.dir, "uploads", "avatar"), ignore_errors=True)
    os.makedirs(os.path.join(node.dir, "uploads", "avatar"), exist_ok=True)


# ---------------------------------------------------------------- the sync, in-process


def store_costs(build, workdir, quick):
    """Runs ondrix-bench-uploads in workdir; returns {(name, bytes): benchmark},
    empty when the build has no such program."""
    binary = os.path.abspath(os.path.join(build, "bench", "ondrix-bench-uploads"))
    if not os.path.exists(binary):
        return {}
    out_json = os.path.join(workdir, "uploads.json")
    cmd = [binary, "--benchmark_out=" + out_json, "--benchmark_out_format=json"]
    if quick:
        cmd.append("--benchmark_min_time=0.05")
    log("upload store benchmarks: " + " ".join(cmd))
    subprocess.run(cmd, check=True, stdout=sys.stderr, cwd=workdir)
    with open(out_json) as f:
        data = json.load(f)
    return {(b["name"].split("/")[0], int(b["name"].split("/")[1])): b
            for b in data["benchmarks"]}


def ms(b, key):
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b.get("time_unit", "ns")]
    return b[key] * scale


def store_table(costs):
    lines = ["| upload store (in-process, one file) | size | stored and synced: wall | CPU | "
             "without the syncs: wall | CPU | the syncs cost (wall) |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    for size, label in [(SMALL_UPLOAD_BYTES, "200 KB"), (LARGE_UPLOAD_BYTES, "60 MiB")]:
        synced = costs.get(("BM_UploadStore", size))
        plain = costs.get(("BM_UploadStoreUnsynced", size))
        if synced is None or plain is None:
            continue
        lines.append("| writeUploadFile | %s | %.2f ms | %.2f ms | %.2f ms | %.2f ms | %.2f ms |" % (
            label, ms(synced, "real_time"), ms(synced, "cpu_time"), ms(plain, "real_time"),
            ms(plain, "cpu_time"), ms(synced, "real_time") - ms(plain, "real_time")))
    return lines


# ---------------------------------------------------------------- 200 KB signins under ab


def stored_avatars(node):
    root = os.path.join(node.dir, "uploads", "avatar")
    return sum(len(files) for _, _, files in os.walk(root))


def small_signins(node, workdir, repeats, quick):
    """ab runs of a 200 KB avatar signin at SIGNIN_CONNECTIONS, each request
    storing a new file. Returns the runs: run_ab's figures, with req/s taken
    over the run's wall time and the files it stored."""
    head, tail = signin_body("bench-small")
    body = head + os.urandom(SMALL_UPLOAD_BYTES) + tail
    requests = SIGNIN_REQUESTS_QUICK if quick else SIGNIN_REQUESTS
    runs = []
    for _ in range(repeats):
        log("ab: POST 200 KB avatar signin, %d requests at %d connections"
            % (requests, SIGNIN_CONNECTIONS))
        began = time.monotonic()
        r = run_ab(node.port, "/v1/signin", SIGNIN_CONNECTIONS, AB_TIME_LIMIT_S, workdir, body,
                   UPLOAD_TYPE, cpu_pids=lambda: [node.proc.pid], requests=requests)
        r["rps"] = r["requests"] / (time.monotonic() - began)
        r["stored"] = stored_avatars(node)
        runs.append(r)
        remove_uploads(node)
    return runs


def small_table(runs):
    lines = ["| uploads under ab | conns | run | requests | files stored | node req/s | p50 ms | "
             "p99 ms | node CPU µs/req | errors |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for k, r in enumerate(runs):
        lines.append("| POST 200 KB avatar signin (a new user and file each) | %d | %d | %d | %d | "
                     "%.0f | %.2f | %.2f | %s | %d |" % (
                         SIGNIN_CONNECTIONS, k + 1, r["requests"], r["stored"], r["rps"], r["p50"],
                         r["p99"], "%.0f" % r["cpu_us"] if r.get("cpu_us") else "-", r["errors"]))
    return lines


# ---------------------------------------------------------------- 16 concurrent 60 MiB signins


def write_once(path, data, costs, lock):
    """Writes data to a new file at path once, synced and closed as the node
    stores an upload, and appends the CPU and wall seconds it took (this
    thread's) to costs."""
    before = resource.getrusage(resource.RUSAGE_THREAD)
    began = time.monotonic()
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
        os.fsync(fd)
    finally:
        os.close(fd)
    wall = time.monotonic() - began
    after = resource.getrusage(resource.RUSAGE_THREAD)
    with lock:
        costs.append((after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime, wall))


def send_signin(port, head, avatar, tail, replies, k):
    """One signin, sent whole at once, then the reply into replies[k]."""
    request_head = ("POST /v1/signin HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: %s\r\n"
                    "Content-Length: %d\r\n\r\n" % (UPLOAD_TYPE, len(head) + len(avatar) + len(tail)))
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
            s.sendall(request_head.encode() + head)
            s.sendall(avatar)
            s.sendall(tail)
            replies[k] = read_until_closed(s)
    except OSError:
        replies[k] = b""


def minor_faults(pid):
    with open("/proc/%d/stat" % pid) as f:
        return int(f.read().rsplit(")", 1)[1].split()[7])


def large_signin_batch(node, avatar):
    """CONCURRENT_SIGNINS connections at once, each a signin of a 60 MiB
    avatar sent whole at once; beside them, as each signin is answered, the
    same file written once from this process.
    Node and writer take their page cache in turns from the same free memory:
    a page that the machine's host has taken back costs a fault there (ten
    times the copy into it) whoever takes it. Returns the uploads stored, the
    node's CPU seconds and minor page faults over the batch, its wall
    seconds, and the (CPU, wall) seconds of each file written once."""
    pid = node.proc.pid
    replies = [None] * CONCURRENT_SIGNINS
    costs, lock = [], threading.Lock()
    reference = os.path.join(node.dir, REFERENCE_DIR)
    os.makedirs(reference, exist_ok=True)

    def signin_then_write(k, head, tail, answered):
        send_signin(node.port, head, avatar, tail, replies, k)
        answered.append(time.monotonic())
        write_once(os.path.join(reference, "%d.bin" % k), avatar, costs, lock)

    answered = []
    threads = []
    for k in range(CONCURRENT_SIGNINS):
        head, tail = signin_body("bench-large-%d" % k)
        threads.append(threading.Thread(target=signin_then_write, args=(k, head, tail, answered)))
    ticks = cpu_ticks([pid])
    faults = minor_faults(pid)
    began = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # The node's figures end with the last answer: the writes after it ran
    # beside an idle node.
    wall = max(answered) - began
    cpu = (cpu_ticks([pid]) - ticks) / CLOCK_TICKS
    faults = minor_faults(pid) - faults
    shutil.rmtree(reference, ignore_errors=True)
    stored = sum(1 for r in replies if r.startswith(b"HTTP/1.1 200") and r.endswith(b"}")
                 and b'{"id":0}' not in r)
    return stored, cpu, faults, wall, costs


def large_signins(node, repeats):
    """The batches of 60 MiB signins. Returns (table, targets)."""
    avatar = os.urandom(LARGE_UPLOAD_BYTES)
    lines = ["| %d concurrent 60 MiB avatar signins, all sent at once | run | stored | "
             "node CPU per upload | minor faults per upload | beside it, writing 60 MiB once "
             "(synced, a file as each signin is answered): CPU per file, mean | median | "
             "wall, mean | ratio to the mean | batch wall |" % CONCURRENT_SIGNINS,
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    stored_oks, stored_details, cpu_oks, cpu_details = [], [], [], []
    for k in range(repeats):
        log("signins: %d concurrent 60 MiB avatars" % CONCURRENT_SIGNINS)
        stored, cpu, faults, wall, costs = large_signin_batch(node, avatar)
        remove_uploads(node)
        # The node's figure is a mean over its uploads, so the writes beside
        # it are taken by their mean too: whether a write finds its page
        # cache in pages the host has taken back makes it cost ten times as
        # much, and a median would count only the cheap ones.
        once_cpu = sum(c for c, _ in costs) / len(costs)
        once_wall = sum(w for _, w in costs) / len(costs)
        median_cpu = sorted(c for c, _ in costs)[len(costs) // 2]
        per = cpu / stored if stored else float("inf")
        ratio = per / once_cpu if once_cpu else float("inf")
        lines.append("| 60 MiB avatar, a new user each | %d | %d of %d | %.1f ms | %s | %.1f ms | "
                     "%.1f ms | %.1f ms | %.2f | %.2f s |" % (
                         k + 1, stored, CONCURRENT_SIGNINS, per * 1e3,
                         "%.0f" % (faults / stored) if stored else "-", once_cpu * 1e3,
                         median_cpu * 1e3, once_wall * 1e3, ratio, wall))
        stored_oks.append(stored == CONCURRENT_SIGNINS)
        stored_details.append("%d of %d, %.1f s" % (stored, CONCURRENT_SIGNINS, wall))
        cpu_oks.append(ratio <= CPU_RATIO_TARGET)
        cpu_details.append("%.1f ms vs %.1f ms, %.2fx" % (per * 1e3, once_cpu * 1e3, ratio))
    targets = [
        check_line("%d concurrent 60 MiB avatar signins, all sent at once, all stored and answered"
                   % CONCURRENT_SIGNINS, stored_oks, stored_details),
        check_line("the node's CPU time per stored 60 MiB upload of those signins at most %.1fx "
                   "writing the file once (synced; the mean of as many files written beside "
                   "them)" % CPU_RATIO_TARGET, cpu_oks, cpu_details)]
    return lines, targets


# ---------------------------------------------------------------- the group


def run_uploads(build, workdir, repeats, quick):
    """The upload rows against the node of 1,000 items. Returns (table, targets)."""
    table, targets = [], []
    costs = store_costs(build, workdir, quick)
    if costs:
        table += store_table(costs) + [""]
    node = Node(build, workdir, 1000)
    node.start()
    try:
        table += small_table(small_signins(node, workdir, repeats, quick)) + [""]
        lines, large_targets = large_signins(node, repeats)
        table += lines + [""]
        targets += large_targets
    finally:
        node.stop()
    return table, targets
