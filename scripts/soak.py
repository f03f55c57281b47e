#!/usr/bin/env python3
"""A long run of the server as an operator would see it, with everything that
can happen at once: readers, posters, cancels, an expiry pass every minute, a
rebuild now and then, and a SIGKILL and restart every two minutes.

    scripts/soak.py [--minutes 10] [--bin build-bench/marrowby] [--sync 1]
                    [--seed N] [--keep]

The server runs in a temporary directory on a free loopback port with the
sample's settings (reader mode, SyncWrites, connection limits) and expiry on.
The load is steady, as a busy office's would be: four posters at about two
posts a second each, four readers following the newest thousand articles of
each group, a cancel every two seconds; it pauses while the store is checked.
MARROWBY_TEST_EXPIRE_EVERY_MINUTE=1, a setting for tests only, makes every
minute's first maintenance pass run expiry; articles are made due by setting
their files' times two days back.

Checked after every restart and at the end: every article answered 240 and
neither cancelled nor expired is there, byte for byte, and listed; every
cancelled one and every expired one is gone; every index is well formed and
agrees with what GROUP and XOVER answer. The server's RSS and descriptors in
the first and the last minute are compared. Prints a table; exit status 1
when a check failed. Not part of `make test`."""
import argparse
import email.utils
import os
import random
import signal
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "blackbox"))
from harness import Client, Server, parse_index  # noqa: E402

OK_240 = b"240 article posted successfully!!\r\n"
KEEP = b"soak.keep"  # never expires
AGED = b"soak.aged"  # expires after 24 hours, so only files made old go
GROUPS = (KEEP, AGED)
MINUTE = 60.0


class Gate:
    """Lets the load pause while the store is checked: every client operation
    runs inside `with gate:`, and `quiet()` waits (bounded) until none is
    running and holds new ones back until `resume()`."""

    def __init__(self):
        self.cond = threading.Condition()
        self.active = 0
        self.paused = False

    def __enter__(self):
        with self.cond:
            self.cond.wait_for(lambda: not self.paused, timeout=120)
            self.active += 1

    def __exit__(self, *exc):
        with self.cond:
            self.active -= 1
            self.cond.notify_all()

    def quiet(self):
        with self.cond:
            self.paused = True
            self.cond.wait_for(lambda: self.active == 0, timeout=60)

    def resume(self):
        with self.cond:
            self.paused = False
            self.cond.notify_all()


class Ledger:
    """What the clients were told, by Message-ID."""

    def __init__(self):
        self.lock = threading.Lock()
        self.posted = {}  # mid -> (groups, bytes), answered 240
        self.cancelled = set()  # answered 240 to a cancel
        self.aged = {}  # mid -> when its files were made due
        self.counts = {"posts": 0, "cancels": 0, "reads": 0, "client errors": 0}
        self.refusals = []  # replies other than 240 to posts and cancels

    def count(self, key, n=1):
        with self.lock:
            self.counts[key] += n


def article(rng, mid, groups):
    body = [b"%s line %d %s" % (mid, i, b"x" * rng.randrange(10, 70))
            for i in range(rng.randrange(1, 40))]
    # A date of now: the reader mode refuses articles older than its history.
    return (b"From: soak@example.invalid\r\nNewsgroups: " + b",".join(groups) +
            b"\r\nSubject: soak " + mid + b"\r\nDate: " + email.utils.formatdate().encode() +
            b"\r\nMessage-ID: " + mid +
            b"\r\nLines: %d\r\n\r\n" % len(body) + b"\r\n".join(body) + b"\r\n.\r\n")


def connect(server, timeout=10):
    c = Client(server.port, timeout=timeout)
    if c.read_line() != b"200 connected!!\r\n":
        raise OSError("not greeted")
    return c


def poster(server, ledger, gate, stop, seed, tag):
    """About two posts a second, as a busy group of people would."""
    rng = random.Random(seed)
    seq = 0
    while not stop.is_set():
        try:
            c = connect(server)
            while not stop.is_set():
                seq += 1
                mid = b"<%s.%d@soak.invalid>" % (tag, seq)
                groups = rng.choice(((KEEP,), (KEEP,), (AGED,), (KEEP, AGED)))
                data = article(rng, mid, groups)
                with gate:
                    if c.command(b"POST") != b"340 continue posting!!\r\n":
                        raise OSError("POST refused")
                    c.send(data)
                    reply = c.read_line(timeout=30)
                    with ledger.lock:
                        if reply == OK_240:
                            ledger.posted[mid] = (groups, data)
                            ledger.counts["posts"] += 1
                        else:
                            ledger.refusals.append(reply)
                time.sleep(rng.uniform(0.2, 0.8))
        except (OSError, EOFError):
            ledger.count("client errors")
            time.sleep(0.2)  # a kill; the server comes back


def reader(server, ledger, gate, stop, seed):
    """Newsreaders following the groups: overviews and articles among the
    newest thousand of a group."""
    rng = random.Random(seed)
    while not stop.is_set():
        try:
            c = connect(server)
            while not stop.is_set():
                group = rng.choice(GROUPS)
                with gate:
                    reply = c.command(b"GROUP " + group)
                    if not reply.startswith(b"211 "):
                        raise OSError("GROUP answered %r" % reply)
                    count, first, last = (int(v) for v in reply.split()[1:4])
                    if last >= first > 0:
                        low = rng.randint(max(first, last - 1000), last)
                        c.send(b"XOVER %d-%d\r\n" % (low, min(last, low + 50)))
                        c.read_until(timeout=30)
                        reply = c.command(b"ARTICLE %d" % rng.randint(low, last))
                        if reply.startswith(b"220 "):
                            c.read_until(timeout=30)
                ledger.count("reads")
                time.sleep(rng.uniform(0.01, 0.03))
        except (OSError, EOFError):
            ledger.count("client errors")
            time.sleep(0.2)


def canceller(server, ledger, gate, stop, seed):
    """Cancels an article of soak.keep alone every few seconds."""
    rng = random.Random(seed)
    while not stop.wait(rng.uniform(1.0, 3.0)):
        with ledger.lock:
            candidates = [mid for mid, (groups, _) in ledger.posted.items()
                          if groups == (KEEP,) and mid not in ledger.cancelled]
        if not candidates:
            continue
        mid = rng.choice(candidates)
        cancel = (b"From: soak@example.invalid\r\nNewsgroups: soak.keep\r\nSubject: cmsg cancel "
                  + mid + b"\r\nControl: cancel " + mid + b"\r\n\r\ncancel\r\n.\r\n")
        try:
            with gate:
                c = connect(server)
                if c.command(b"POST") == b"340 continue posting!!\r\n":
                    c.send(cancel)
                    reply = c.read_line(timeout=30)
                    with ledger.lock:
                        if reply == OK_240:
                            ledger.cancelled.add(mid)
                            ledger.counts["cancels"] += 1
                        else:
                            ledger.refusals.append(reply)
                c.close()
        except (OSError, EOFError):
            ledger.count("client errors")


def age_some(server, ledger, rng, now):
    """Makes a few articles of soak.aged alone due for expiry: their files'
    times go two days back, and the next minute's pass deletes them."""
    with ledger.lock:
        candidates = [mid for mid, (groups, _) in ledger.posted.items()
                      if groups == (AGED,) and mid not in ledger.aged]
    picked = rng.sample(candidates, min(len(candidates), 5))
    listed = numbers_by_id(server, AGED)
    old = now - 2 * 24 * 3600
    for mid in picked:
        number = listed.get(mid)
        if number is None:
            continue
        try:
            os.utime(server.path(AGED.decode(), str(number)), (old, old))
        except FileNotFoundError:
            continue
        with ledger.lock:
            ledger.aged[mid] = now


def numbers_by_id(server, group):
    try:
        with open(server.path(group.decode(), "Message.lst"), "rb") as f:
            _, entries = parse_index(f.read())
    except (FileNotFoundError, ValueError):
        return {}
    return {e[4]: e[0] for e in entries}


def proc_sample(pid):
    with open("/proc/%d/status" % pid) as f:
        rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
    return rss / 1024.0, len(os.listdir("/proc/%d/fd" % pid))


def check_store(server, ledger, when, problems):
    """Compares the group directories and the server's answers with the
    ledger; appends what is wrong to `problems`."""
    def fail(text):
        problems.append("%s: %s" % (when, text))

    with ledger.lock:
        posted = dict(ledger.posted)
        cancelled = set(ledger.cancelled)
        aged = dict(ledger.aged)
    # Aged longer ago than this: an expiry pass has run since, even when the
    # timer's passes straddle a minute.
    settled = time.time() - 2.5 * MINUTE
    record = server.path("IndexSave.rec")
    if os.path.exists(record) and os.path.getsize(record) > 0:
        fail("the save record still holds an append after start-up")
    client = connect(server, timeout=30)
    for group in GROUPS:
        gdir = server.path(group.decode())
        if os.path.exists(os.path.join(gdir, "Message.lst.tmp")):
            fail("%s/Message.lst.tmp is still there after start-up" % group.decode())
        try:
            with open(os.path.join(gdir, "Message.lst"), "rb") as f:
                counters, entries = parse_index(f.read())
        except FileNotFoundError:
            counters, entries = (0, 0, 0), []
        except ValueError as e:
            fail("%s/Message.lst: %s" % (group.decode(), e))
            continue
        first, last, count = counters
        numbers = [e[0] for e in entries]
        if len(set(numbers)) != len(numbers):
            fail("%s lists a number twice" % group.decode())
        if numbers and last < max(numbers):
            fail("%s: last number %d below the listed %d" % (group.decode(), last, max(numbers)))
        reply = client.command(b"GROUP " + group)
        if reply != b"211 %d %d %d %s group selected!!\r\n" % (count, first, last, group):
            fail("GROUP %s answered %r, the index says %r" % (group.decode(), reply, counters))
        listed = {}
        for e in entries:
            number, mid = e[0], e[4]
            listed[mid] = number
            path = os.path.join(gdir, str(number))
            if not os.path.exists(path) and mid not in aged:
                fail("%s/%d is listed but has no file" % (group.decode(), number))
            if mid in cancelled:
                fail("%s/%d %r was cancelled but is listed" % (group.decode(), number, mid))
        for mid, (groups, data) in posted.items():
            if group not in groups or mid in cancelled or mid in aged:
                continue
            number = listed.get(mid)
            if number is None:
                fail("%r was answered 240 but %s does not list it" % (mid, group.decode()))
                continue
            try:
                with open(os.path.join(gdir, str(number)), "rb") as f:
                    stored = f.read()
                # The reader mode puts its Path line in front of the article.
                if stored.startswith(b"Path: "):
                    stored = stored[stored.index(b"\r\n") + 2:]
                if stored != data:
                    fail("%s/%d differs from what was posted" % (group.decode(), number))
            except FileNotFoundError:
                fail("%s/%d (%r) has no file" % (group.decode(), number, mid))
        for mid, when_aged in aged.items():
            number = listed.get(mid)
            if when_aged < settled and number is not None and os.path.exists(
                    os.path.join(gdir, str(number))):
                fail("%s/%d was due for expiry a minute and more ago" % (group.decode(), number))
    client.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build-bench", "marrowby"))
    parser.add_argument("--sync", type=int, default=1, help="SyncWrites (default 1)")
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--keep", action="store_true", help="keep the server's directory")
    args = parser.parse_args()
    os.environ["MARROWBY_BIN"] = os.path.abspath(args.bin)
    import harness
    harness.BIN = os.environ["MARROWBY_BIN"]
    seed = args.seed if args.seed is not None else random.randrange(1 << 32)
    rng = random.Random(seed)

    settings = {"UseExpire": 1, "UseRfc3977": 1, "SyncWrites": args.sync,
                "MaxConnections": 1000, "MaxConnectionsPerHost": 50}
    server = Server(start=False, settings=settings,
                    groups=("soak.keep\t0\tkept", "soak.aged\t24\taged"),
                    env={"MARROWBY_TEST_EXPIRE_EVERY_MINUTE": "1"})
    server.start()
    ledger = Ledger()
    gate = Gate()
    stop = threading.Event()
    threads = [threading.Thread(target=poster,
                                args=(server, ledger, gate, stop, rng.random(), b"p%d" % i))
               for i in range(4)]
    threads += [threading.Thread(target=reader, args=(server, ledger, gate, stop, rng.random()))
                for _ in range(4)]
    threads.append(threading.Thread(target=canceller,
                                    args=(server, ledger, gate, stop, rng.random())))
    for t in threads:
        t.daemon = True
        t.start()

    start = time.time()
    end = start + args.minutes * MINUTE
    samples = []  # (seconds since start, RSS MB, descriptors)
    problems = []
    kills = rebuilds = checks = expired = 0
    next_kill = start + 2 * MINUTE
    next_rebuild = start + 1.5 * MINUTE
    next_age = start + 0.5 * MINUTE
    log_so_far = b""
    try:
        while time.time() < end:
            now = time.time()
            try:
                samples.append((now - start,) + proc_sample(server.proc.pid))
            except (FileNotFoundError, ProcessLookupError, StopIteration):
                pass
            if now >= next_age:
                age_some(server, ledger, rng, now)
                next_age += MINUTE
            if now >= next_rebuild:
                server.signal(signal.SIGUSR1)
                rebuilds += 1
                next_rebuild += 1.5 * MINUTE
            if now >= next_kill and now < end - 20:
                log_so_far += server.stdout
                server.kill()
                kills += 1
                server.start()
                # The clients reconnect and go on; they are held back while
                # the store is compared with what they were told.
                gate.quiet()
                check_store(server, ledger, "after kill %d" % kills, problems)
                gate.resume()
                checks += 1
                next_kill += 2 * MINUTE
            if server.proc.poll() is not None:
                problems.append("the server ended by itself (%s): %r"
                                % (server.proc.returncode, server.stderr[-2000:]))
                break
            time.sleep(min(5.0, max(0.0, end - time.time())))
    finally:
        stop.set()
        for t in threads:
            t.join(40)
    # A clean stop writes nothing that breaks the store; then one more look.
    log_so_far += server.stdout
    status = server.stop()
    if status != 0:
        problems.append("SIGTERM ended the server with status %r" % status)
    server.start()
    check_store(server, ledger, "after the clean stop", problems)
    checks += 1
    log_so_far += server.stdout
    server.stop()
    expired = log_so_far.count(b"] article file deleted [")

    def minute(lo, hi):
        inside = [s for s in samples if lo <= s[0] < hi]
        if not inside:
            return float("nan"), 0
        rss = sorted(s[1] for s in inside)
        return rss[len(rss) // 2], max(s[2] for s in inside)

    duration = samples[-1][0] if samples else 0
    rss_first, fds_first = minute(0, MINUTE)
    rss_last, fds_last = minute(duration - MINUTE, duration + 1)
    flat = rss_last <= rss_first * 1.25 + 4 and fds_last <= fds_first + 10
    if not flat:
        problems.append("RSS or descriptors grew: %.1f -> %.1f MB, %d -> %d"
                        % (rss_first, rss_last, fds_first, fds_last))
    with ledger.lock:
        counts = dict(ledger.counts)
        aged = len(ledger.aged)
        refusals = list(ledger.refusals)
    # Every post and cancel here is one the server should take: a refusal
    # is a fault, and a run that stored nothing checked nothing.
    if refusals:
        problems.append("%d posts or cancels refused, the first: %r" % (len(refusals), refusals[0]))
    if counts["posts"] == 0:
        problems.append("no post was answered 240")
    rows = [
        ("duration", "%.1f min" % (duration / MINUTE)),
        ("SyncWrites", str(args.sync)),
        ("posts answered 240", str(counts["posts"])),
        ("cancels answered 240", str(counts["cancels"])),
        ("reader rounds (GROUP, XOVER, ARTICLE)", str(counts["reads"])),
        ("articles made due / files expired", "%d / %d" % (aged, expired)),
        ("rebuilds (SIGUSR1)", str(rebuilds)),
        ("SIGKILLs and restarts", str(kills)),
        ("client connections cut by the kills", str(counts["client errors"])),
        ("store checks passed", "%d of %d" % (checks - len({p.split(":")[0] for p in problems
                                                           if p.startswith("after")}), checks)),
        ("RSS, median of the first / last minute", "%.1f / %.1f MB" % (rss_first, rss_last)),
        ("descriptors, most in the first / last minute", "%d / %d" % (fds_first, fds_last)),
        ("result", "PASS" if not problems else "FAIL"),
    ]
    print("\nsoak, seed %d, server %s" % (seed, args.bin))
    print("| What | Value |\n|---|---:|")
    for name, value in rows:
        print("| %s | %s |" % (name, value))
    for p in problems[:20]:
        print("problem: " + p, file=sys.stderr)
    if args.keep:
        print("kept %s" % server.dir, file=sys.stderr)
    else:
        server.close()
    return 0 if not problems else 1


if __name__ == "__main__":
    sys.exit(main())
