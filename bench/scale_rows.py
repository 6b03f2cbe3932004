"""scale_rows.py -- the rows at 100,000 news items and 100,000 users: requests
of the last user against the first, list page 1 right after a post, list
requests while the node saves every second, an idle node and its stop."""

import os
import statistics
import threading
import time

from bench_common import (FORM_TYPE, MULTIPART_TYPE, CLOCK_TICKS, Node, check_line, cpu_ticks,
                          fmt_cpu, get_body, log, multipart_body, post_body, post_request,
                          raw_request, run_ab, timed_get_ms, write_bytes)

SCALE_ITEMS = 100000
SCALE_USERS = 100000
SCALE_CONNECTIONS = 16       # as four ab processes with 4 connections each
NO_SAVES_MS = 86400000       # a write interval no run reaches: no save during it
SAVE_EVERY_MS = 1000
IDLE_WRITE_MS = 2000


def file_identity(path):
    try:
        st = os.stat(path)
        return (st.st_ino, st.st_mtime_ns)
    except OSError:
        return None


class Toggler:
    """Changes the database all along a run (a like of one user, on and off
    every `every` seconds, 100 ms by default), so that every save has
    something to write; counts the likes answered and the saves that
    replaced the database file meanwhile."""

    def __init__(self, port, body, db_file, every=0.1):
        self.port, self.body, self.db_file, self.every = port, body, db_file, every
        self.saves = 0
        self.likes = 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        seen = file_identity(self.db_file)
        while not self.stop.wait(self.every):
            try:
                raw_request(self.port, post_request("/v1/like", FORM_TYPE, self.body), 5)
                self.likes += 1
            except OSError:
                pass
            now = file_identity(self.db_file)
            if now != seen:
                self.saves += 1
                seen = now

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()


def run_scale(build, workdir, seconds, repeats, quick):
    """The rows at 100,000 items and 100,000 users. Returns (table, targets)."""
    table, targets = [], []
    log("generating the node directory of %d items and %d users" % (SCALE_ITEMS, SCALE_USERS))
    node = Node(build, workdir, SCALE_ITEMS, SCALE_USERS)
    item = node.shape["oldest"]
    pids = lambda: [node.proc.pid]
    exits = []
    try:
        node.set_write_interval(NO_SAVES_MS)
        node.start()
        table += ["| at 100,000 items and 100,000 users | |", "|---|---:|",
                  "| start-up to listening | %.0f ms |" % node.startup_ms,
                  "| resident memory after load | %.1f MB |" % (node.rss_kb / 1024), ""]

        # Requests of the last user against the first, in turn, each run a pair.
        def request_of(kind, uid):
            sid = "sid-%d" % uid
            if kind == "POST like":
                return "/v1/like", ("id=%s&uid=%d&sid=%s" % (item, uid, sid)).encode(), FORM_TYPE
            if kind == "POST signin, uid + sid":
                return "/v1/signin", multipart_body([("uid", uid), ("sid", sid)]), MULTIPART_TYPE
            if kind == "POST signin, sid only":
                return "/v1/signin", multipart_body([("uid", 0), ("sid", sid)]), MULTIPART_TYPE
            return "/v1/islike/%d/%s/%s" % (uid, sid, item), None, None

        # islike looks the user up only when the like exists: both users
        # like the item before it is measured.
        expected = {"POST like": [b'{"r":1}', b'{"r":0}'], "GET islike": [b'{"r":1}']}
        table += ["| user 1 against user {0:,} ({1} connections) | run | user 1 req/s | user {0:,} req/s | ratio | user 1 CPU µs/req | user {0:,} CPU µs/req |"
                  .format(SCALE_USERS, SCALE_CONNECTIONS),
                  "|---|---:|---:|---:|---:|---:|---:|"]
        for kind in ["POST like", "POST signin, uid + sid", "POST signin, sid only", "GET islike"]:
            for uid in (1, SCALE_USERS):
                path, body, ctype = request_of(kind, uid)
                if kind == "GET islike" and get_body(node.port, path) == b'{"r":0}':
                    _, like, _ = request_of("POST like", uid)
                    post_body(node.port, "/v1/like", FORM_TYPE, like)
                reply = (post_body(node.port, path, ctype, body) if body is not None
                         else get_body(node.port, path))
                if reply not in expected.get(kind, [('{"id":%d}' % uid).encode()]):
                    raise RuntimeError("%s of user %d answered %r" % (kind, uid, reply))
            oks, details = [], []
            for k in range(repeats):
                runs = []
                for uid in (1, SCALE_USERS):
                    log("ab: %s of user %d at 100,000 users" % (kind, uid))
                    path, body, ctype = request_of(kind, uid)
                    runs.append(run_ab(node.port, path, SCALE_CONNECTIONS, seconds, workdir, body,
                                       ctype or FORM_TYPE, cpu_pids=pids))
                ratio = runs[1]["rps"] / runs[0]["rps"] if runs[0]["rps"] else 0.0
                table.append("| %s | %d | %.0f | %.0f | %.2f | %s | %s |" % (
                    kind, k + 1, runs[0]["rps"], runs[1]["rps"], ratio, fmt_cpu(runs[0]),
                    fmt_cpu(runs[1])))
                oks.append(ratio >= 0.8)
                details.append("%.0f%%" % (ratio * 100))
            targets.append(check_line("{} of user {:,} reaches 80% of the req/s of user 1"
                                      .format(kind, SCALE_USERS), oks, details))
        table.append("")

        # List page 1 right after a post against a kept page 1.
        rounds = 6 if quick else 20
        after, kept = [], []
        for i in range(rounds):
            reply = post_body(node.port, "/v1/postnews", MULTIPART_TYPE, multipart_body(
                [("uid", 1), ("sid", "sid-1"), ("id", 0), ("title", "Bench post %d" % i),
                 ("content", "posted by the benchmark")]))
            if not reply.startswith(b'{"id":'):
                raise RuntimeError("postnews answered %r" % reply)
            after.append(timed_get_ms(node.port, "/v1/list/1"))
            kept += [timed_get_ms(node.port, "/v1/list/1") for _ in range(5)]
        if None in after or None in kept:
            raise RuntimeError("list page 1 not answered")
        half, oks, details = rounds // 2, [], []
        table += ["| list page 1 at 100,000 items | run | right after a postnews, median | kept, median | ratio |",
                  "|---|---:|---:|---:|---:|"]
        for k, (a, b) in enumerate([(after[:half], kept[:half * 5]), (after[half:], kept[half * 5:])]):
            ma, mb = statistics.median(a), statistics.median(b)
            table.append("| GET /v1/list/1, %d posts | %d | %.2f ms | %.2f ms | %.2f |"
                         % (len(a), k + 1, ma, mb, ma / mb))
            oks.append(ma <= 2 * mb)
            details.append("%.2f ms vs %.2f ms, %.2fx" % (ma, mb, ma / mb))
        targets.append(check_line("list page 1 right after a postnews at 100,000 items costs at most "
                                  "twice a kept page", oks, details))
        table.append("")

        # List requests while the node saves every second, against no saves;
        # a like goes on and off all along so that each save has work.
        save_seconds = 4 if quick else 10
        toggle = ("id=%s&uid=2&sid=sid-2" % item).encode()
        db_file = os.path.join(node.dir, "data", "index.ndb")
        table += ["| GET /v1/list/1 for %d s (%d connections), a like toggled every 100 ms | run | req/s | p99 ms | longest ms | saves finished | bytes written |"
                  % (save_seconds, SCALE_CONNECTIONS), "|---|---:|---:|---:|---:|---:|---:|"]
        long_oks, long_details, rate_oks, rate_details = [], [], [], []
        for k in range(repeats):
            got = {}
            for interval in (SAVE_EVERY_MS, NO_SAVES_MS):
                node.stop()
                exits.append(node.exit_s)
                node.set_write_interval(interval)
                node.start()
                written = write_bytes(node.proc.pid)
                log("ab: list page 1 at 100,000 users, write_interval %d" % interval)
                with Toggler(node.port, toggle, db_file) as toggler:
                    r = run_ab(node.port, "/v1/list/1", SCALE_CONNECTIONS, save_seconds, workdir,
                               cpu_pids=pids)
                r["written"] = write_bytes(node.proc.pid) - written
                got[interval] = r
                table.append("| %s | %d | %.0f | %.2f | %.1f | %d | %d |" % (
                    "saving every second" if interval == SAVE_EVERY_MS else "no save during the run",
                    k + 1, r["rps"], r["p99"], r["max"], toggler.saves, r["written"]))
            saving, quiet = got[SAVE_EVERY_MS], got[NO_SAVES_MS]
            long_oks.append(saving["max"] <= 100)
            long_details.append("%.1f ms" % saving["max"])
            ratio = saving["rps"] / quiet["rps"] if quiet["rps"] else 0.0
            rate_oks.append(ratio >= 0.9)
            rate_details.append("%.0f%%" % (ratio * 100))
        targets.append(check_line("the longest list request while saving every second at 100,000 "
                                  "items and users at most 100 ms", long_oks, long_details))
        targets.append(check_line("list throughput while saving every second at least 90% of the "
                                  "same run without saves", rate_oks, rate_details))
        table.append("")

        # An idle node: CPU time and bytes written over each window, nothing sent.
        window = 5 if quick else 20
        node.stop()
        exits.append(node.exit_s)
        node.set_write_interval(IDLE_WRITE_MS)
        node.start()
        table += ["| idle node, write_interval %d ms | run | CPU | bytes written | data/index.ndb replaced |"
                  % IDLE_WRITE_MS, "|---|---:|---:|---:|---|"]
        cpu_oks, cpu_details, write_oks, write_details = [], [], [], []
        for k in range(repeats):
            log("idle node: %d s" % window)
            identity = file_identity(db_file)
            ticks, written = cpu_ticks(pids()), write_bytes(node.proc.pid)
            time.sleep(window)
            core = (cpu_ticks(pids()) - ticks) / CLOCK_TICKS / window * 100
            written = write_bytes(node.proc.pid) - written
            replaced = file_identity(db_file) != identity
            table.append("| %d s | %d | %.2f%% of a core | %d | %s |"
                         % (window, k + 1, core, written, "yes" if replaced else "no"))
            cpu_oks.append(core < 1.0)
            cpu_details.append("%.2f%% of a core" % core)
            write_oks.append(written == 0 and not replaced)
            write_details.append("%d bytes" % written)
        targets.append(check_line("an idle node at 100,000 items and users uses under 1%% of a core "
                                  "over %d s" % window, cpu_oks, cpu_details))
        targets.append(check_line("an idle node at 100,000 items and users writes nothing over %d s"
                                  % window, write_oks, write_details))
        node.stop()
        exits.append(node.exit_s)
        node = None
        table += ["", "| SIGTERM to exit (final save included), each stop above | %s |"
                  % ", ".join("%.2f s" % e for e in exits), "|---|---|", ""]
        targets.append(check_line("SIGTERM to exit (final save included) at 100,000 items and users "
                                  "at most 2 s", [e <= 2.0 for e in exits],
                                  ["%.2f s" % e for e in exits]))
    finally:
        if node is not None:
            node.stop()
    return table, targets
