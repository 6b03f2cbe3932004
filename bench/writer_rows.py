"""writer_rows.py -- the database writer of a node of 1,000 items with
write_interval 0 (saving back to back): its CPU time while idle, the saves it
makes while a like comes every 10 ms, and the resident memory of the node
over 1.2 million toggles of one user's like."""

import os
import time

from bench_common import (CLOCK_TICKS, FORM_TYPE, Node, check_line, cpu_ticks, get_body, log,
                          rss_kb, run_ab)
from scale_rows import Toggler

WRITER_ITEMS = 1000
WRITER_USERS = 100           # the default users of 1,000 items, in a directory of its own
LIKE_EVERY_S = 0.01
TOGGLES = 1200000
TOGGLE_ROUNDS = 3            # RSS read after each 400,000 toggles
WARM_UP_TOGGLES = 20000
TOGGLE_CONNECTIONS = 64
SETTLE_S = 1
RSS_GROWTH_KB = 1024


def fresh_node(build, workdir):
    """The node directory generated afresh (the liker has not liked the
    oldest item), saving back to back."""
    node = Node(build, workdir, WRITER_ITEMS, WRITER_USERS)
    node.set_write_interval(0)
    return node


def like_body(node):
    return ("id=%s&uid=%s&sid=%s" % (node.shape["oldest"], node.shape["liker"],
                                     node.shape["liker_sid"])).encode()


def islike_path(node):
    return "/v1/islike/%s/%s/%s" % (node.shape["liker"], node.shape["liker_sid"],
                                    node.shape["oldest"])


def idle_and_liking(node, idle_s, liking_s):
    """The node's CPU over idle_s seconds with nothing sent (% of a core),
    then a like every LIKE_EVERY_S for liking_s seconds: the likes answered,
    the saves that replaced data/index.ndb meanwhile and their rate."""
    pid = node.proc.pid
    time.sleep(SETTLE_S)
    log("writer: idle node with write_interval 0 for %d s" % idle_s)
    ticks = cpu_ticks([pid])
    time.sleep(idle_s)
    core = (cpu_ticks([pid]) - ticks) / CLOCK_TICKS / idle_s * 100
    log("writer: a like every %d ms for %d s" % (LIKE_EVERY_S * 1000, liking_s))
    began = time.monotonic()
    with Toggler(node.port, like_body(node), os.path.join(node.dir, "data", "index.ndb"),
                 LIKE_EVERY_S) as toggler:
        time.sleep(liking_s)
    return core, toggler.likes, toggler.saves, toggler.saves / (time.monotonic() - began)


def toggle_memory(node, workdir):
    """RSS (kB) at the start, after the warm-up toggles and after each round;
    the slowest round's toggles/s, the errors, and islike's reply at the end."""
    time.sleep(SETTLE_S)
    rss = [rss_kb(node.proc.pid)]
    rates, errors = [], 0
    for count in [WARM_UP_TOGGLES] + [TOGGLES // TOGGLE_ROUNDS] * TOGGLE_ROUNDS:
        log("writer: %d like toggles" % count)
        r = run_ab(node.port, "/v1/like", TOGGLE_CONNECTIONS, None, workdir, like_body(node),
                   FORM_TYPE, requests=count)
        rates.append(r["rps"])
        errors += r["errors"]
        time.sleep(SETTLE_S)
        rss.append(rss_kb(node.proc.pid))
    return rss, min(rates), errors, get_body(node.port, islike_path(node)).decode()


def run_writer(build, workdir, repeats, quick):
    """The writer rows, a fresh node for each run. Returns (table, targets)."""
    table, targets = [], []
    idle_s = 5 if quick else 20
    liking_s = 4 if quick else 10
    node = None
    try:
        table += ["| write_interval 0, %d items | run | idle: CPU over %d s | a like every %d ms "
                  "for %d s: likes answered | saves finished | saves/s |"
                  % (WRITER_ITEMS, idle_s, LIKE_EVERY_S * 1000, liking_s),
                  "|---|---:|---:|---:|---:|---:|"]
        idle_oks, idle_details, save_oks, save_details = [], [], [], []
        for k in range(repeats):
            node = fresh_node(build, workdir)
            node.start()
            core, likes, saves, rate = idle_and_liking(node, idle_s, liking_s)
            node.stop()
            table.append("| idle, then liking | %d | %.2f%% of a core | %d | %d | %.1f |"
                         % (k + 1, core, likes, saves, rate))
            idle_oks.append(core < 1.0)
            idle_details.append("%.2f%% of a core" % core)
            # Saving back to back, nearly every like is on disk before the next.
            save_oks.append(saves >= 0.8 * likes)
            save_details.append("%d saves for %d likes, %.1f saves/s" % (saves, likes, rate))
        table.append("")
        targets.append(check_line("an idle node with write_interval 0 uses under 1%% of a core over "
                                  "%d s" % idle_s, idle_oks, idle_details))
        targets.append(check_line("with write_interval 0 and a like every %d ms the node still "
                                  "saves back to back: a save for at least 80%% of the likes"
                                  % (LIKE_EVERY_S * 1000), save_oks, save_details))

        # The first requests and the first save warm up the workers' and the
        # writer's heaps (about a megabyte, once): the growth that counts is
        # the one after that warm-up; the growth from the start is shown too.
        table += ["| %s toggles of one like (%d connections), write_interval 0 | run | RSS at "
                  "start | after %s warm-up toggles | after 0.4 M | 0.8 M | 1.2 M | growth after "
                  "the warm-up | growth from the start | toggles/s | islike at the end |"
                  % ("{:,}".format(TOGGLES), TOGGLE_CONNECTIONS, "{:,}".format(WARM_UP_TOGGLES)),
                  "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"]
        rss_oks, rss_details = [], []
        for k in range(repeats):
            node = fresh_node(build, workdir)
            node.start()
            rss, rate, errors, left = toggle_memory(node, workdir)
            node.stop()
            growth, total = rss[-1] - rss[1], rss[-1] - rss[0]
            table.append("| one user's like | %d | %s | %+.2f MB | %+.2f MB | %.0f | %s%s |"
                         % (k + 1, " | ".join("%.1f MB" % (x / 1024) for x in rss), growth / 1024,
                            total / 1024, rate, left, ", %d errors" % errors if errors else ""))
            rss_oks.append(growth <= RSS_GROWTH_KB)
            rss_details.append("%+.2f MB after the warm-up, %+.2f MB from the start"
                               % (growth / 1024, total / 1024))
        table.append("")
        targets.append(check_line("%s like toggles by one user: resident memory within 1 MB of "
                                  "where it started (after %s warm-up toggles)"
                                  % ("{:,}".format(TOGGLES), "{:,}".format(WARM_UP_TOGGLES)),
                                  rss_oks, rss_details))
    finally:
        if node is not None:
            node.stop()
    return table, targets
