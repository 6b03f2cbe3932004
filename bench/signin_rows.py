"""signin_rows.py -- large avatar uploads against the node of 1,000 items: 8
and 16 clients at once signing in with 60 MiB avatars, each load measured by
fresh GET / and GET /v1/list/1 requests every 10 ms while the uploads arrive
and are stored, and by the requests of either kind that got no reply."""

import os
import shutil
import socket
import threading
import time

from bench_common import BOUNDARY, MULTIPART_TYPE, Node, check_line, log, timed_get_ms
from client_rows import fmt_ms, latency_figures

UPLOAD_BYTES = 60 * 1024 * 1024
UPLOADS_EACH = 3             # signins per client, back to back
CLIENTS = (8, 16)
GET_TIMEOUT_S = 5
GET_EVERY_S = 0.01           # fresh GETs paced over the whole load, not bunched
GET_PATHS = ("/", "/v1/list/1")
TARGET_P99_MS = 50           # with the most clients


def part(name, value=b"", filename=None):
    disposition = 'form-data; name="%s"' % name
    if filename is not None:
        disposition += '; filename="%s"\r\nContent-Type: application/octet-stream' % filename
    return ("--%s\r\nContent-Disposition: %s\r\n\r\n" % (BOUNDARY, disposition)).encode() + value


def signin_upload(port, sid, avatar):
    """One signin of a new user with avatar (sent without copying it into
    the body). The reply's status, or None when the node closed without one."""
    head = (part("uid", b"0") + b"\r\n" + part("sid", sid.encode()) + b"\r\n" +
            part("hash", b"h-" + sid.encode()) + b"\r\n" + part("avatar", filename="a.webp"))
    tail = ("\r\n--%s--\r\n" % BOUNDARY).encode()
    request = ("POST /v1/signin HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: %s\r\n"
               "Content-Length: %d\r\n\r\n"
               % (MULTIPART_TYPE, len(head) + len(avatar) + len(tail))).encode()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
            s.sendall(request + head)
            s.sendall(avatar)
            s.sendall(tail)
            reply = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                reply += chunk
    except OSError:
        return None
    return int(reply[9:12]) if reply.startswith(b"HTTP/1.1 ") else None


def upload_load(node, clients, avatar, run):
    """clients threads, each UPLOADS_EACH signins with avatar, while a fresh
    GET of GET_PATHS in turn starts every GET_EVERY_S (or once the one before
    is answered). Returns the latencies by path and the replies of the
    uploads (status, or None)."""
    statuses = []
    lock = threading.Lock()

    def client(k):
        for i in range(UPLOADS_EACH):
            status = signin_upload(node.port, "bench-%d-%d-%d" % (run, k, i), avatar)
            with lock:
                statuses.append(status)

    threads = [threading.Thread(target=client, args=(k,)) for k in range(clients)]
    for t in threads:
        t.start()
    latencies = {path: [] for path in GET_PATHS}
    turn = 0
    due = time.monotonic()
    while any(t.is_alive() for t in threads):
        time.sleep(max(0.0, due - time.monotonic()))
        due += GET_EVERY_S
        path = GET_PATHS[turn % len(GET_PATHS)]
        latencies[path].append(timed_get_ms(node.port, path, GET_TIMEOUT_S))
        turn += 1
    for t in threads:
        t.join()
    return latencies, statuses


def run_signins(build, workdir, repeats):
    """The upload rows, a fresh node for each run. Returns (table, targets)."""
    table, targets = [], []
    node = Node(build, workdir, 1000)
    avatar = os.urandom(UPLOAD_BYTES)
    table += ["| 60 MiB avatar signins at once (8 workers) | run | uploads stored / refused / "
              "closed | path | fresh GETs answered (%d s each) | p50 | p99 | longest |"
              % GET_TIMEOUT_S, "|---|---:|---:|---|---:|---:|---:|---:|"]
    oks, details = [], []
    try:
        for clients in CLIENTS:
            for k in range(repeats):
                log("uploads: %d clients, %d signins of 60 MiB each" % (clients, UPLOADS_EACH))
                node.start()
                latencies, statuses = upload_load(node, clients, avatar, k)
                node.stop()
                shutil.rmtree(os.path.join(node.dir, "uploads", "avatar"), ignore_errors=True)
                uploads = "%d / %d / %d" % (statuses.count(200), statuses.count(500),
                                            statuses.count(None))
                worst = 0.0
                # A signin closed without a status line, or a GET not answered
                # 200 in time, went unanswered.
                unanswered = statuses.count(None)
                for path in GET_PATHS:
                    total = len(latencies[path])
                    answered, p50, p99, longest = latency_figures(latencies[path], total)
                    worst = max(worst, p99)
                    unanswered += total - answered
                    table.append("| %d | %d | %s | `GET %s` | %d of %d | %s | %s | %s |" % (
                        clients, k + 1, uploads, path, answered, total, fmt_ms(p50),
                        fmt_ms(p99), fmt_ms(longest)))
                oks.append(unanswered == 0 and (worst <= TARGET_P99_MS or clients != CLIENTS[-1]))
                details.append("%d clients: worst p99 %s, uploads %s, %d unanswered"
                               % (clients, fmt_ms(worst), uploads, unanswered))
        targets.append(check_line(
            "with %s clients signing in with 60 MiB avatars at once: no request of any client "
            "unanswered, and with %d fresh GET / and GET /v1/list/1 p99 at most %d ms"
            % (" and ".join(str(c) for c in CLIENTS), CLIENTS[-1], TARGET_P99_MS), oks, details))
        table.append("")
    finally:
        node.stop()
    return table, targets
