"""detail_rows.py -- a large news item read by several clients at once: fresh
GET /v1/isadmin requests, one after another, while four ab processes read
the detail of an item of 30 MB content back to back on the node of 1,000
items."""

import json
import subprocess
import time

from bench_common import (AB_PROCESSES, MULTIPART_TYPE, Node, check_line, get_body, log,
                          multipart_body, post_body, timed_get_ms)
from client_rows import fmt_ms, latency_figures

BIG_CONTENT_BYTES = 30 * 1024 * 1024
ADMIN_PATH = "/v1/isadmin/1/sid-1"
PROBE_PAUSE_S = 0.01         # between two isadmin requests
PROBE_TIMEOUT_S = 5
READERS_SETTLE_S = 0.3       # ab connected and reading before the probe starts
READ_SECONDS = 10            # each run; 3 with --quick


def big_content():
    """30 MB of text with quotes and line breaks, so the detail's print
    escapes some of it, as a real article's would."""
    line = 'The council met again; "the harbour works" go on through the winter.\n'
    return (line * (BIG_CONTENT_BYTES // len(line) + 1))[:BIG_CONTENT_BYTES]


def read_detail_while_probing(node, news_id, seconds):
    """Four ab processes, one connection each, read /v1/news/<news_id> for
    seconds while isadmin is asked one request at a time. Returns the
    isadmin latencies and the detail reads ab completed."""
    url = "http://127.0.0.1:%d/v1/news/%d" % (node.port, news_id)
    procs = [subprocess.Popen(["ab", "-q", "-r", "-s", "60", "-c", "1", "-t", str(seconds),
                               "-n", "100000000", url],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
             for _ in range(AB_PROCESSES)]
    latencies = []
    try:
        time.sleep(READERS_SETTLE_S)
        while any(p.poll() is None for p in procs):
            latencies.append(timed_get_ms(node.port, ADMIN_PATH, PROBE_TIMEOUT_S))
            time.sleep(PROBE_PAUSE_S)
    finally:
        reads = 0
        for p in procs:
            out, err = p.communicate()
            if p.returncode != 0:
                raise RuntimeError("ab failed (%s): %s %s" % (url, out[-500:], err[-500:]))
            for line in out.splitlines():
                if line.startswith("Complete requests:"):
                    reads += int(line.split()[2])
    return latencies, reads


def run_detail(build, workdir, repeats, quick):
    """isadmin while four clients read a detail of 30 MB content, each run on
    the same node. Returns (table, targets)."""
    table, targets = [], []
    seconds = 3 if quick else READ_SECONDS
    node = Node(build, workdir, 1000)
    try:
        node.start()
        log("detail: posting an item of %d MB content" % (BIG_CONTENT_BYTES >> 20))
        reply = post_body(node.port, "/v1/postnews", MULTIPART_TYPE, multipart_body(
            [("uid", 1), ("sid", "sid-1"), ("id", 0), ("title", "Big item"),
             ("content", big_content())]))
        news_id = json.loads(reply).get("id", 0)
        if news_id <= 0:
            raise RuntimeError("postnews answered %r" % reply[:80])
        size = len(get_body(node.port, "/v1/news/%d" % news_id))
        if get_body(node.port, ADMIN_PATH) != b'{"r":1}':
            raise RuntimeError("%s is not answered {\"r\":1}" % ADMIN_PATH)
        table += ["| GET %s while %d clients read a detail of %d MB (%d s each) | run | answered | p50 | p99 | longest | details read |"
                  % (ADMIN_PATH, AB_PROCESSES, size >> 20, seconds),
                  "|---|---:|---:|---:|---:|---:|---:|"]
        oks, details = [], []
        for k in range(repeats):
            log("detail: isadmin while %d clients read %d MB details" % (AB_PROCESSES, size >> 20))
            latencies, reads = read_detail_while_probing(node, news_id, seconds)
            answered, p50, p99, longest = latency_figures(latencies, len(latencies))
            table.append("| 1,000 items | %d | %d of %d | %s | %s | %s | %d |" % (
                k + 1, answered, len(latencies), fmt_ms(p50), fmt_ms(p99), fmt_ms(longest), reads))
            oks.append(answered == len(latencies) and reads > 0 and p99 <= 20)
            details.append("p99 %s of %d, %d details read" % (fmt_ms(p99), len(latencies), reads))
        table.append("")
        targets.append(check_line("with %d clients reading a detail of 30 MB content: GET "
                                  "/v1/isadmin p99 at most 20 ms" % AB_PROCESSES, oks, details))
    finally:
        node.stop()
    return table, targets
