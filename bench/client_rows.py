"""client_rows.py -- slow and idle clients against the node of 1,000 items:
slow form senders with slow readers of a large upload, one client's uploads
held open that fill the room for arriving bodies, and idle connections
beyond a soft limit of open files, each measured by fresh GET / requests."""

import contextlib
import os
import resource
import socket
import threading
import time

from bench_common import MULTIPART_TYPE, Node, check_line, log, rss_kb, timed_get_ms

SLOW_SENDERS = 64            # form POSTs announcing 20 bytes, one byte every 2 s
SLOW_READERS = 16            # readers of a 30 MB upload, 4 KB every 8 s
BIG_UPLOAD_BYTES = 30 * 1024 * 1024
FRESH_GETS = 200
FRESH_GET_TIMEOUT_S = 2
GIVE_UP_AFTER = 5            # unanswered fresh requests before the series stops
HELD_UPLOADS = 4            # of one client, 64 MiB each, all but a few bytes sent
HELD_UPLOAD_BYTES = 64 * 1024 * 1024
HELD_UPLOAD_MISSING = 3
HELD_UPLOAD_DRIP_S = 9      # a byte each this often: within the no-progress limit
HELD_UPLOAD_SETTLE_S = 1
HELD_UPLOAD_GETS = 20
IDLE_CONNECTIONS = 3000     # connected, nothing sent
IDLE_SETTLE_S = 3
IDLE_GET_TIMEOUT_S = 15
IDLE_GETS = 5
NOFILE_LIMITS = (1024, 20000)


def latency_figures(latencies, total):
    """answered count, p50, p99 and the longest in ms; an unanswered request
    counts as longer than any answered one."""
    answered = sorted(x for x in latencies if x is not None)
    ranked = answered + [float("inf")] * (total - len(answered))
    pick = lambda q: ranked[min(len(ranked) - 1, int(q * len(ranked)))]
    return len(answered), pick(0.5), pick(0.99), ranked[-1]


def fmt_ms(x):
    return "no reply" if x == float("inf") else "%.1f ms" % x


@contextlib.contextmanager
def dripping(interval_s, tick):
    """Calls tick(n) with n = 1, 2, ... every interval_s seconds on a thread of
    its own while the block runs."""
    stop = threading.Event()

    def run():
        n = 0
        while not stop.wait(interval_s):
            n += 1
            tick(n)

    dripper = threading.Thread(target=run, daemon=True)
    dripper.start()
    try:
        yield
    finally:
        stop.set()
        dripper.join()


def each_socket(sockets, step):
    """step(c) for each socket; a socket the node has closed is passed over."""
    for c in sockets:
        try:
            step(c)
        except OSError:
            pass


def slow_attack(node, big):
    """64 slow form senders and 16 slow readers of the big upload, then fresh
    GET / one after another. Returns the latencies, how many went unanswered,
    the RSS before and its peak (kB)."""
    pid = node.proc.pid
    rss_before = rss_kb(pid)
    senders, readers = [], []
    try:
        for _ in range(SLOW_SENDERS):
            c = socket.create_connection(("127.0.0.1", node.port), timeout=5)
            senders.append(c)
            c.sendall(b"POST /v1/like HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                      b"Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 20\r\n\r\n")
        for _ in range(SLOW_READERS):
            c = socket.socket()
            readers.append(c)
            c.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            c.settimeout(5)
            c.connect(("127.0.0.1", node.port))
            c.sendall(("GET /%s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % big).encode())
            c.setblocking(False)

        def drip(tick):
            if tick % 2 == 0:
                each_socket(senders, lambda c: c.send(b"a"))
            if tick % 8 == 0:
                each_socket(readers, lambda c: c.recv(4096))

        with dripping(1.0, drip):
            time.sleep(1)
            latencies, peak, missed = [], rss_before, 0
            for _ in range(FRESH_GETS):
                ms = timed_get_ms(node.port, "/", FRESH_GET_TIMEOUT_S)
                latencies.append(ms)
                peak = max(peak, rss_kb(pid))
                missed += ms is None
                if missed >= GIVE_UP_AFTER:
                    break
            return latencies, missed, rss_before, peak
    finally:
        for c in senders + readers:
            c.close()


def held_uploads(node):
    """HELD_UPLOADS multipart uploads of HELD_UPLOAD_BYTES in all (the most a
    request may announce; together the node's whole room for arriving bodies)
    that send all but HELD_UPLOAD_MISSING bytes and then a byte every
    HELD_UPLOAD_DRIP_S, then fresh GET / one after another. Returns the
    latencies."""
    head = lambda length: ("POST /v1/postavatar HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: %s\r\n"
                           "Content-Length: %d\r\n\r\n" % (MULTIPART_TYPE, length)).encode()
    body_bytes = HELD_UPLOAD_BYTES - len(head(HELD_UPLOAD_BYTES))
    sent = head(body_bytes) + b"a" * (body_bytes - HELD_UPLOAD_MISSING)
    uploads = []
    try:
        for _ in range(HELD_UPLOADS):
            c = socket.create_connection(("127.0.0.1", node.port), timeout=30)
            uploads.append(c)
            c.sendall(sent)
        with dripping(HELD_UPLOAD_DRIP_S, lambda _: each_socket(uploads, lambda c: c.send(b"a"))):
            time.sleep(HELD_UPLOAD_SETTLE_S)  # the node takes the last of what was sent
            return [timed_get_ms(node.port, "/", FRESH_GET_TIMEOUT_S) for _ in range(HELD_UPLOAD_GETS)]
    finally:
        for c in uploads:
            c.close()


def idle_beyond_limit(node):
    """IDLE_CONNECTIONS silent connections, then fresh GET /. Returns the
    connections made, the node's descriptors and the latencies."""
    clients = []
    try:
        for _ in range(IDLE_CONNECTIONS):
            c = socket.socket()
            c.settimeout(1)
            try:
                c.connect(("127.0.0.1", node.port))
                clients.append(c)
            except OSError:
                c.close()
        # The kernel hands a silent connection to the node after about a
        # second (the node defers accepting until bytes arrive); the node
        # closes it after 10 s of silence. Measure in between.
        time.sleep(IDLE_SETTLE_S)
        held = len(os.listdir("/proc/%d/fd" % node.proc.pid))
        latencies = []
        for _ in range(IDLE_GETS):
            ms = timed_get_ms(node.port, "/", IDLE_GET_TIMEOUT_S)
            latencies.append(ms)
            if ms is None:
                break
        return len(clients), held, latencies
    finally:
        for c in clients:
            c.close()


def run_clients(build, workdir, repeats):
    """Slow clients and idle connections against the node of 1,000 items, a
    fresh node for each run. Returns (table, targets)."""
    table, targets = [], []
    node = Node(build, workdir, 1000)
    big = "uploads/img/2020/9/13/bench/0big.webp"
    os.makedirs(os.path.join(node.dir, os.path.dirname(big)), exist_ok=True)
    with open(os.path.join(node.dir, big), "wb") as f:
        f.write(os.urandom(BIG_UPLOAD_BYTES))
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = IDLE_CONNECTIONS + 256
    if soft < wanted and (hard == resource.RLIM_INFINITY or hard >= wanted):
        resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))
    try:
        table += ["| slow clients (8 workers) | run | fresh GET / answered (%d s each) | p50 | p99 | longest | RSS before | RSS growth |"
                  % FRESH_GET_TIMEOUT_S, "|---|---:|---:|---:|---:|---:|---:|---:|"]
        get_oks, get_details, rss_oks, rss_details = [], [], [], []
        for k in range(repeats):
            log("slow clients: %d form senders, %d readers of 30 MB" % (SLOW_SENDERS, SLOW_READERS))
            node.start()
            latencies, missed, rss_before, peak = slow_attack(node, big)
            node.stop()
            answered, p50, p99, longest = latency_figures(latencies, FRESH_GETS)
            growth = (peak - rss_before) / 1024
            table.append("| %d slow form senders + %d slow readers of 30 MB | %d | %d of %d%s | %s | %s | %s | %.1f MB | %.1f MB |"
                         % (SLOW_SENDERS, SLOW_READERS, k + 1, answered, FRESH_GETS,
                            "" if len(latencies) == FRESH_GETS else
                            " (stopped after %d unanswered)" % missed,
                            fmt_ms(p50), fmt_ms(p99), fmt_ms(longest), rss_before / 1024, growth))
            get_oks.append(answered == FRESH_GETS and p99 <= 50)
            get_details.append("%d answered, p99 %s" % (answered, fmt_ms(p99)))
            rss_oks.append(growth <= 100)
            rss_details.append("%.1f MB more" % growth)
        table.append("")
        targets.append(check_line("with %d slow form senders and %d slow readers of a 30 MB upload: "
                                  "%d fresh GET / all answered, p99 at most 50 ms"
                                  % (SLOW_SENDERS, SLOW_READERS, FRESH_GETS), get_oks, get_details))
        targets.append(check_line("the node's RSS stays within 100 MB of its RSS before that attack",
                                  rss_oks, rss_details))

        table += ["| uploads held open by one client | run | fresh GET / answered (%d s each) | p50 | p99 | longest |"
                  % FRESH_GET_TIMEOUT_S, "|---|---:|---:|---:|---:|---:|"]
        oks, details = [], []
        for k in range(repeats):
            log("held uploads: %d of 64 MiB, all but %d bytes sent" % (HELD_UPLOADS, HELD_UPLOAD_MISSING))
            node.start()
            latencies = held_uploads(node)
            node.stop()
            answered, p50, p99, longest = latency_figures(latencies, HELD_UPLOAD_GETS)
            table.append("| %d of 64 MiB, all but %d bytes sent, a byte every %d s | %d | %d of %d | %s | %s | %s |"
                         % (HELD_UPLOADS, HELD_UPLOAD_MISSING, HELD_UPLOAD_DRIP_S, k + 1, answered,
                            HELD_UPLOAD_GETS, fmt_ms(p50), fmt_ms(p99), fmt_ms(longest)))
            oks.append(answered == HELD_UPLOAD_GETS and p99 <= 50)
            details.append("%d answered, p99 %s" % (answered, fmt_ms(p99)))
        table.append("")
        targets.append(check_line("with %d uploads of 64 MiB held open by one client: %d fresh GET / "
                                  "all answered, p99 at most 50 ms" % (HELD_UPLOADS, HELD_UPLOAD_GETS),
                                  oks, details))

        table += ["| idle connections, soft limit %d of %d open files | run | connected | node's descriptors | fresh GET / answered (%d s each) | median | longest |"
                  % (NOFILE_LIMITS + (IDLE_GET_TIMEOUT_S,)), "|---|---:|---:|---:|---:|---:|---:|"]
        oks, details = [], []
        for k in range(repeats):
            log("idle connections: %d to a node with a soft limit of %d open files"
                % (IDLE_CONNECTIONS, NOFILE_LIMITS[0]))
            node.start(nofile=NOFILE_LIMITS)
            connected, held, latencies = idle_beyond_limit(node)
            node.stop()
            answered, p50, _, longest = latency_figures(latencies, IDLE_GETS)
            table.append("| %d | %d | %d | %d | %d of %d | %s | %s |" % (
                IDLE_CONNECTIONS, k + 1, connected, held, answered, IDLE_GETS, fmt_ms(p50),
                fmt_ms(longest)))
            oks.append(answered == IDLE_GETS and longest <= 50)
            details.append("longest of %d: %s" % (IDLE_GETS, fmt_ms(longest)))
        table.append("")
        targets.append(check_line("with %d idle connections and a soft limit of %d open files: a fresh "
                                  "GET / answered within 50 ms" % (IDLE_CONNECTIONS, NOFILE_LIMITS[0]),
                                  oks, details))
    finally:
        node.stop()
    return table, targets
