#!/usr/bin/env python3
"""Peering benchmark: our server beside a private INN (Debian's inn2, run
through tests/interop/inn.py) in the same run.

Inbound: nntp_bench's streaming feed (MODE STREAM, then pipelined TAKETHIS
with 2 KB articles) from 127.0.0.2, a peer of both servers, over one and
over four connections, into our server and into INN's innd alternately
(ours, INN, ours, INN, ...), each run into a freshly started server.

Outbound: a burst of posts to our server (W1: one client, one post after
another) while our own feed sends each to INN; the time from the first post
until INN has them all, against the time the posting took.

    bench/peering.py [--articles N] [--burst N] [--rounds N] [--window N]
                     [--only inbound|outbound] [--keep]

Environment: BUILD (default build-bench beside this directory), with the
Release server and nntp_bench built; MARROWBY_BIN, another server to
measure. Needs root and inn2 (exits 2 saying so otherwise). Our server and
the inbound runs' innd run on CPU 0, the generator on CPU 1; the outbound
runs' innd is not pinned. Each run is described on stderr; stdout gets the
medians as result lines ("metric value unit", as nntp_bench prints them)
for bench/run.sh's table. Exits 1 when a run failed or lost articles.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "interop"))
import inn  # noqa: E402

BUILD = os.environ.get("BUILD") or os.path.join(ROOT, "build-bench")
SERVER_BIN = os.environ.get("MARROWBY_BIN") or os.path.join(BUILD, "marrowby")
BENCH = os.path.join(BUILD, "bench", "nntp_bench")
FEEDER = "127.0.0.2"  # the generator's address, a peer of both servers
INN_ADDRESS = "127.0.0.3"
GROUP = "bench.feed"
TICKS = os.sysconf("SC_CLK_TCK")


def pinned(cpu):
    if shutil.which("taskset") and (os.cpu_count() or 1) >= 2:
        return ["taskset", "-c", str(cpu)]
    return []


def cpu_seconds(pid):
    """User and system time of `pid` so far, from /proc."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def run_bench(host, port, *args, timeout=600):
    """Runs nntp_bench on the generator's CPU; returns its results as a dict
    of metric -> value. Raises RuntimeError with its stderr when it fails."""
    cmd = pinned(1) + [BENCH, host, str(port), GROUP] + list(args)
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    if r.returncode != 0:
        raise RuntimeError("nntp_bench %s failed (%d): %s" % (" ".join(args), r.returncode,
                                                              r.stderr.strip()))
    results = {}
    for line in r.stdout.splitlines():
        name, value, _ = line.split(" ", 2)
        results[name] = float(value)
    return results


# Directories of finished runs, removed at the very end: this machine's file
# system discards freed blocks, and tens of thousands of files deleted make
# the file creations of the next run slow for a while.
LEFT_OVER = []


class OurServer:
    """Our Release server in a temporary directory, on CPU 0, its log in a
    file there."""

    def __init__(self, peers, pathhost="bench.ours"):
        self.dir = tempfile.mkdtemp(prefix="marrowby-peering-")
        self.port = inn.free_port()
        shutil.copy(SERVER_BIN, os.path.join(self.dir, "marrowby"))
        ini = ["[Settings]", "PortNo\t%d" % self.port, "UseRfc3977\t1",
               "PathHost\t%s" % pathhost, "[Group]", "%s\t0\tbench" % GROUP, "[Users]",
               "[Peers]"] + list(peers)
        with open(os.path.join(self.dir, "Marrowby.ini"), "w") as f:
            f.write("\r\n".join(ini) + "\r\n")
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        with open(os.path.join(self.dir, "server.log"), "wb") as log:
            self.proc = subprocess.Popen(pinned(0) + ["./marrowby"], cwd=self.dir, env=env,
                                         stdin=subprocess.DEVNULL, stdout=log,
                                         stderr=subprocess.STDOUT)
        run_bench("127.0.0.1", self.port, "ready", "--time-limit", "30")

    def count(self):
        """The articles in the group, from its index's counter line."""
        with open(os.path.join(self.dir, GROUP, "Message.lst"), "rb") as f:
            return int(f.readline().split()[2])

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        LEFT_OVER.append(self.dir)


def inn_high_water(instance):
    """The highest article number of the group in INN's active file, which
    innd keeps current in a shared mapping."""
    with open(instance.path("db", "active")) as f:
        for line in f:
            fields = line.split()
            if fields and fields[0] == GROUP:
                return int(fields[1])
    return 0


def feed_args(articles, connections, window, pid):
    return ["feed", "--source", FEEDER, "--feed-articles", str(articles), "--feed-connections",
            str(connections), "--feed-window", str(window), "--server-pid", str(pid)]


def inbound_ours(args, connections):
    s = OurServer(["bench.feeder\t%s\t0\t*" % FEEDER])
    try:
        cpu0 = cpu_seconds(s.proc.pid)
        r = run_bench("127.0.0.1", s.port, *feed_args(args.articles, connections, args.window,
                                                      s.proc.pid))
        r["cpu_us"] = (cpu_seconds(s.proc.pid) - cpu0) * 1e6 / args.articles
        r["stored"] = s.count()
        return r
    finally:
        s.stop()


def inbound_inn(args, connections):
    i = inn.Inn(address=INN_ADDRESS, pathhost="bench.inn", groups=(GROUP,),
                peers=[inn.Peer("bench.feeder", FEEDER)], wrap=pinned(0))
    try:
        i.start()
        cpu0 = cpu_seconds(i.innd.pid)
        r = run_bench(INN_ADDRESS, i.port, *feed_args(args.articles, connections, args.window,
                                                      i.innd.pid))
        r["cpu_us"] = (cpu_seconds(i.innd.pid) - cpu0) * 1e6 / args.articles
        r["stored"] = inn_high_water(i)
        return r
    finally:
        i.stop(remove=False)
        LEFT_OVER.append(i.dir)


def inbound(args):
    """The streaming feed into ours and into INN, alternately; prints the
    medians. False when a run failed or lost articles."""
    rates = {}
    ok = True
    for rnd in range(1, args.rounds + 1):
        for connections in (1, 4):
            for name, run in (("ours", inbound_ours), ("inn", inbound_inn)):
                key = "inbound.%s.%dconn" % (name, connections)
                try:
                    r = run(args, connections)
                except (RuntimeError, TimeoutError, subprocess.TimeoutExpired) as e:
                    print("%s round %d: FAILED: %s" % (key, rnd, e), file=sys.stderr)
                    ok = False
                    continue
                if r["stored"] != args.articles:
                    print("%s round %d: %d of %d articles stored"
                          % (key, rnd, r["stored"], args.articles), file=sys.stderr)
                    ok = False
                rates.setdefault(key, []).append(r["feed.articles_per_s"])
                print("%s round %d: %.0f articles/s, %.1f us CPU per article, %.0f %% busy"
                      % (key, rnd, r["feed.articles_per_s"], r["cpu_us"],
                         r.get("feed.server_busy_pct", -1)), file=sys.stderr)
    for key, values in rates.items():
        result(key + "_per_s", statistics.median(values), "articles/s")
    for connections in (1, 4):
        ours = rates.get("inbound.ours.%dconn" % connections)
        theirs = rates.get("inbound.inn.%dconn" % connections)
        if ours and theirs:
            result("inbound.ratio.%dconn" % connections,
                   statistics.median(ours) / statistics.median(theirs), "x_INN")
    return ok


def outbound_round(args):
    """Posts a burst to ours with W1 (one client, one post after another)
    while our feed sends every post to INN; returns the seconds the posting
    took and the seconds from its first post until INN had them all."""
    i = inn.Inn(address=INN_ADDRESS, pathhost="bench.inn", groups=(GROUP,),
                peers=[inn.Peer("bench.ours", "127.0.0.1")])
    s = None
    try:
        i.start()
        s = OurServer(["bench.inn\t%s\t%d\t*" % (INN_ADDRESS, i.port)])
        start = time.monotonic()
        r = run_bench("127.0.0.1", s.port, "w1", "--w1-posts", str(args.burst), "--w1-group",
                      GROUP, "--server-pid", str(s.proc.pid))
        posted = time.monotonic()
        # W1's own time runs from its first post to its last reply; what
        # came before (building the articles) is left out of both spans.
        post_s = args.burst / r["w1.posts_per_s"]
        first_post = posted - post_s
        deadline = posted + max(60.0, 10 * post_s)
        while inn_high_water(i) < args.burst and time.monotonic() < deadline:
            time.sleep(0.02)
        done = time.monotonic()
        have = inn_high_water(i)
        if have < args.burst:
            raise RuntimeError("INN had %d of %d articles %.0f s after the posting ended"
                               % (have, args.burst, deadline - posted))
        return post_s, done - first_post
    finally:
        if s:
            s.stop()
        i.stop(remove=False)
        LEFT_OVER.append(i.dir)


def outbound(args):
    """The burst of posts and how long INN waits for them; prints the
    medians. False when a round failed."""
    ratios, posts, delivered = [], [], []
    ok = True
    for rnd in range(1, args.rounds + 1):
        try:
            post_s, delivered_s = outbound_round(args)
        except (RuntimeError, TimeoutError, subprocess.TimeoutExpired) as e:
            print("outbound round %d: FAILED: %s" % (rnd, e), file=sys.stderr)
            ok = False
            continue
        posts.append(post_s)
        delivered.append(delivered_s)
        ratios.append(delivered_s / post_s)
        print("outbound round %d: %d posts in %.2f s, all at INN after %.2f s (%.2f x)"
              % (rnd, args.burst, post_s, delivered_s, delivered_s / post_s), file=sys.stderr)
    if ratios:
        result("outbound.post_s", statistics.median(posts), "s")
        result("outbound.delivered_s", statistics.median(delivered), "s")
        result("outbound.ratio", statistics.median(ratios), "x_posting")
    return ok


def result(metric, value, unit):
    """One result line on stdout, "metric value unit", as nntp_bench's."""
    print("%s %.2f %s" % (metric, value, unit), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--articles", type=int, default=20000, help="per inbound run")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--window", type=int, default=64, help="TAKETHIS ahead of replies")
    parser.add_argument("--burst", type=int, default=20000, help="posts per outbound round")
    parser.add_argument("--only", choices=("inbound", "outbound"), help="run one part only")
    parser.add_argument("--keep", action="store_true", help="leave the directories")
    args = parser.parse_args()
    reason = inn.unavailable_reason()
    if reason:
        print("peering.py: %s" % reason, file=sys.stderr)
        return 2
    for path in (SERVER_BIN, BENCH):
        if not os.access(path, os.X_OK):
            print("peering.py: %s is missing (make bench builds it)" % path, file=sys.stderr)
            return 2
    try:
        ok = True
        if args.only != "outbound":
            ok = inbound(args) and ok
        if args.only != "inbound":
            ok = outbound(args) and ok
    finally:
        if args.keep:
            print("kept:", " ".join(LEFT_OVER), file=sys.stderr)
        else:
            for d in LEFT_OVER:
                shutil.rmtree(d, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
