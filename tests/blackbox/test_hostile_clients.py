"""Hostile clients: hundreds of connections that send garbage, NUL bytes,
endless lines, half-finished articles, that request a large article and never
read, or that connect and vanish. Meanwhile a well-behaved reader must get
exact replies quickly, the server's memory must stay bounded and come back
down, and nothing stored may change.

The hostile load runs in a child process (this file run with --hostile), so
the reader's latency is not measured through the load's interpreter lock.
MARROWBY_SOAK_SECONDS sets the length of the soak (default 25 s);
MARROWBY_P99_MS the latency limit (default 50 ms, 100 ms for a sanitizer
build)."""
import json
import os
import random
import selectors
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

from harness import BIN, ServerTest, index_text, xover_line

SOAK_SECONDS = float(os.environ.get("MARROWBY_SOAK_SECONDS", "25"))
BIG_SIZE = 4 << 20
BIG_REPLY = b"220 2 <2@hostile.invalid> Article retrieved, text follows!!\r\n"
MAX_RSS_GROWTH_MB = 150
MAX_RSS_AFTER_MB = 40


def sanitized_build():
    with open(BIN, "rb") as f:
        return b"__asan_init" in f.read()


def p99_limit_ms():
    if os.environ.get("MARROWBY_P99_MS"):
        return float(os.environ["MARROWBY_P99_MS"])
    return 100.0 if sanitized_build() else 50.0


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * fraction))]


def proc_status(pid, key):
    """A kB value of /proc/<pid>/status, in MB."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) / 1024.0
    raise KeyError(key)


def open_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def fixture_article(number, mid, body):
    return (b"From: fixture@example.invalid\r\nNewsgroups: local.test\r\nSubject: fixture %d\r\n"
            b"Date: Mon, 01 Jan 2024 00:00:00 +0000\r\nMessage-ID: %s\r\nLines: %d\r\n\r\n"
            % (number, mid, body.count(b"\n") + 1)) + body + b".\r\n"


def write_fixture(server):
    """Articles 1 and 3 (small) and 2 (BIG_SIZE bytes) in local.test; returns
    {number: (Message-ID, bytes)} and the index entries."""
    line = b"%-74s\r\n" % (b"x" * 74)
    big_body = line * (BIG_SIZE // len(line))
    files = {1: (b"<1@hostile.invalid>", fixture_article(1, b"<1@hostile.invalid>", b"one\r\n")),
             2: (b"<2@hostile.invalid>", fixture_article(2, b"<2@hostile.invalid>", big_body)),
             3: (b"<3@hostile.invalid>",
                 fixture_article(3, b"<3@hostile.invalid>", b"three\r\n..dotted\r\n"))}
    entries = []
    for n, (mid, data) in files.items():
        server.write("local.test/%d" % n, data)
        entries.append((n, b"fixture %d" % n, b"fixture@example.invalid",
                        b"Mon, 01 Jan 2024 00:00:00 +0000", mid, len(data), data.count(b"\n"), b""))
    server.write("local.test/Message.lst", index_text((1, 3, 3), entries))
    return files, entries


def snapshot(directory):
    out = {}
    for root, _, names in os.walk(directory):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                out[os.path.relpath(path, directory)] = f.read()
    return out


class Reader:
    """The well-behaved client: GROUP, XOVER, ARTICLE by number and by
    Message-ID, each timed and compared byte for byte."""

    def __init__(self, test, server, files, entries):
        self.test = test
        self.client = test.client(server)
        self.latencies = []
        self.rounds = 0
        self.expected = [
            (b"GROUP local.test\r\n", b"211 3 1 3 local.test group selected!!\r\n"),
            (b"XOVER 1-3\r\n", b"224 Overview information follows!!\r\n" +
             b"".join(xover_line(e) for e in entries) + b".\r\n"),
            (b"ARTICLE 1\r\n", b"220 1 %s Article retrieved, text follows!!\r\n" % files[1][0] +
             files[1][1]),
            (b"ARTICLE <3@hostile.invalid>\r\n",
             b"220 3 <3@hostile.invalid> Article retrieved, text follows!!\r\n" + files[3][1]),
        ]

    def round(self):
        for command, want in self.expected:
            start = time.perf_counter()
            self.client.send(command)
            got = self.client.read_exact(len(want), timeout=10)
            self.latencies.append(time.perf_counter() - start)
            self.test.assertEqual(got, want, command)
        self.rounds += 1


class HostileClientsTest(ServerTest):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="marrowby-hostile-tmp-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def start_server(self, **settings):
        env = {"TMPDIR": self.tmp}
        # A sanitizer build holds freed memory back for a while (256 MB by
        # default); a small quarantine keeps the checks and lets memory show.
        env["ASAN_OPTIONS"] = (os.environ.get("ASAN_OPTIONS", "detect_leaks=0") +
                               ":quarantine_size_mb=16")
        s = self.server(start=False, env=env, settings=settings or None)
        self.files, self.entries = write_fixture(s)
        s.start()
        self.expect_running_at_end(s)
        return s

    def start_hostile(self, server, seconds, seed):
        driver = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "--hostile", str(server.port),
             str(seconds), str(seed)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)

        def end():
            if driver.poll() is None:
                driver.kill()
                driver.wait(5)
            driver.stdout.close()
            driver.stderr.close()
        self.addCleanup(end)
        return driver

    def test_reader_is_served_while_hostile_clients_attack(self):
        seed = int(os.environ.get("MARROWBY_SEED") or random.randrange(1 << 32))
        s = self.start_server()
        pid = s.proc.pid
        stored = snapshot(s.path("local.test"))
        reader = Reader(self, s, self.files, self.entries)
        # Warm up: the first rounds and one big article set up the buffers.
        for _ in range(5):
            reader.round()
        reader.client.send(b"ARTICLE 2\r\n")
        self.assertEqual(reader.client.read_exact(len(BIG_REPLY) + len(self.files[2][1]),
                                                  timeout=20), BIG_REPLY + self.files[2][1])
        reader.latencies.clear()
        time.sleep(0.3)
        rss_start = proc_status(pid, "VmRSS")
        fds_start = open_fds(pid)

        driver = self.start_hostile(s, SOAK_SECONDS, seed)
        rss_peak = rss_start
        next_sample = 0.0
        deadline = time.time() + SOAK_SECONDS + 30
        while driver.poll() is None and time.time() < deadline:
            reader.round()
            now = time.time()
            if now >= next_sample:
                rss_peak = max(rss_peak, proc_status(pid, "VmRSS"))
                next_sample = now + 0.2
            time.sleep(0.005)
        self.assertIsNotNone(driver.poll(), "the hostile load did not end")
        out, err = driver.communicate(timeout=10)
        self.assertEqual(driver.returncode, 0, err.decode(errors="replace")[-2000:])
        summary = json.loads(out)

        # The hostile sockets are closed: every connection goes, and memory
        # comes back down.
        settle = time.time() + 15
        while time.time() < settle and open_fds(pid) > fds_start:
            time.sleep(0.1)
        fds_end = open_fds(pid)
        for _ in range(5):
            reader.round()
        time.sleep(0.5)
        rss_end = proc_status(pid, "VmRSS")

        limit = p99_limit_ms()
        p99 = percentile(reader.latencies, 0.99) * 1000
        log = s.stdout
        sys.stderr.write(
            "\n  seed %d, %.0f s: %s\n  reader: %d rounds, %d commands, median %.2f ms, "
            "p99 %.2f ms (limit %.0f), max %.1f ms\n  server RSS MB: start %.1f, peak %.1f, "
            "end %.1f; open files start %d, end %d; log lines: command too long %d, send queue "
            "over limit %d, closed %d\n"
            % (seed, SOAK_SECONDS, summary, reader.rounds, len(reader.latencies),
               percentile(reader.latencies, 0.5) * 1000, p99, limit,
               max(reader.latencies) * 1000, rss_start, rss_peak, rss_end, fds_start, fds_end,
               log.count(b"] Command too long ["), log.count(b"] Send queue over limit ["),
               log.count(b"] Closed!!\r\n")))

        self.assertGreaterEqual(summary["connected"], 200, "too little hostile load")
        self.assertLess(p99, limit, "p99 latency of the reader (seed %d)" % seed)
        self.assertLess(rss_peak - rss_start, MAX_RSS_GROWTH_MB, "RSS growth during the load")
        self.assertLess(rss_end - rss_start, MAX_RSS_AFTER_MB, "RSS after the load")
        self.assertEqual(fds_end, fds_start, "connections left open after the load")
        if summary["endless"]:
            self.assertIn(b"] Command too long [", log)
        if summary["slow"]:
            self.assertIn(b"] Send queue over limit [", log)
        self.assertEqual(snapshot(s.path("local.test")), stored, "stored files changed")
        self.assertEqual([n for n in os.listdir(self.tmp) if n.startswith("qmv")], [],
                         "posting temporary files left behind")

    def check_cut_off(self, reader_mode):
        settings = {"UseRfc3977": 1} if reader_mode else {}
        s = self.start_server(**settings)
        pid = s.proc.pid
        big = self.files[2][1]
        hog = self.client(s)
        hog.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
        other = self.client(s)
        self.assertTrue(hog.command("GROUP local.test").startswith(b"211 "))
        rss_start = proc_status(pid, "VmRSS")

        # The hog asks again and again and reads nothing; the other client
        # is answered all along.
        latencies = []
        sent = 0
        needle = hog.prefix + b"Send queue over limit ["
        deadline = time.time() + 30
        while needle not in s.stdout and time.time() < deadline:
            try:
                if reader_mode:
                    hog.send(b"ARTICLE 2\r\n" * 10)
                    sent += 10
                elif sent < 60:
                    hog.send(b"ARTICLE 2\r\n")
                    sent += 1
            except OSError:
                pass
            start = time.perf_counter()
            self.assertEqual(other.command("GROUP local.test"),
                             b"211 3 1 3 local.test group selected!!\r\n")
            latencies.append(time.perf_counter() - start)
            time.sleep(0.02)
        out = s.wait_log(hog.prefix + b"Closed!!\r\n", timeout=10)
        line = out[out.index(needle):].split(b"\r\n", 1)[0]
        queued = int(line[len(needle):line.index(b"]", len(needle))])
        self.assertGreater(queued, 64 << 20, line)
        self.assertTrue(line.endswith(b"] bytes dropped!!"), line)
        self.assertLess(out.index(needle), out.index(hog.prefix + b"Closed!!\r\n"))

        # What the hog got before the cut is the articles' bytes in order.
        data = hog.wait_closed(timeout=20)
        reply = BIG_REPLY
        if reader_mode:
            reply = data[:data.index(b"\r\n") + 2]
            self.assertTrue(reply.startswith(b"220 2 <2@hostile.invalid>"), reply)
        stream = reply + big
        whole, rest = divmod(len(data), len(stream))
        self.assertEqual(data, stream * whole + stream[:rest], "the hog's bytes are out of order")
        self.assertLess(len(data), 80 << 20)

        for _ in range(100):
            start = time.perf_counter()
            self.assertEqual(other.command("GROUP local.test"),
                             b"211 3 1 3 local.test group selected!!\r\n")
            latencies.append(time.perf_counter() - start)
        p95 = percentile(latencies, 0.95) * 1000
        rss_end = proc_status(pid, "VmRSS")
        sys.stderr.write("\n  %s: %d ARTICLE requests sent, %s; hog received %.1f MB; other "
                         "client %d commands, p95 %.2f ms, max %.1f ms; RSS MB %.1f -> %.1f\n"
                         % ("reader mode" if reader_mode else "single-command mode", sent,
                            line.decode(), len(data) / 1048576.0, len(latencies), p95,
                            max(latencies) * 1000, rss_start, rss_end))
        # A few samples only: the bulk must be quick, and none may stall.
        self.assertLess(p95, p99_limit_ms())
        self.assertLess(max(latencies), 1.0)
        self.assertLess(rss_end - rss_start, MAX_RSS_AFTER_MB)

    def test_unread_output_is_cut_off_at_the_limit(self):
        self.check_cut_off(reader_mode=False)

    def test_unread_pipelined_output_is_cut_off_at_the_limit(self):
        self.check_cut_off(reader_mode=True)


class ConnectionLimitTest(ServerTest):
    """One host cannot take every descriptor: past MaxConnectionsPerHost, or
    past MaxConnections in all, a new connection hears one line and is
    closed; the connections already open go on as before."""

    REFUSED = b"400 too many connections\r\n"
    GROUP = b"211 0 0 0 local.test group selected!!\r\n"

    def open_from(self, s, address):
        """A raw connection from the loopback address `address`; the server
        speaks first, and that line is returned with the connection."""
        sock = socket.create_connection(("127.0.0.1", s.port), timeout=5,
                                        source_address=(address, 0))
        self.addCleanup(sock.close)
        data = b""
        while not data.endswith(b"\r\n"):
            chunk = sock.recv(100)
            if not chunk:
                break
            data += chunk
        return sock, data

    def closed_by_server(self, sock):
        sock.settimeout(5)
        try:
            return sock.recv(100) == b""
        except ConnectionResetError:
            return True

    def test_connections_past_the_limits_are_refused_and_the_others_kept(self):
        s = self.server(settings={"MaxConnections": 4, "MaxConnectionsPerHost": 2})
        self.expect_running_at_end(s)
        # (from, greeted?) in order; each connection stays open.
        steps = (("127.0.0.1", True), ("127.0.0.1", True), ("127.0.0.1", False),
                 ("127.0.0.2", True), ("127.0.0.3", True), ("127.0.0.4", False))
        kept = []
        for address, greeted in steps:
            sock, first = self.open_from(s, address)
            self.assertEqual(first, b"200 connected!!\r\n" if greeted else self.REFUSED,
                             "from %s after %d kept" % (address, len(kept)))
            if greeted:
                kept.append(sock)
            else:
                self.assertTrue(self.closed_by_server(sock))
                port = sock.getsockname()[1]
                s.wait_log(b"[%s/%d] 400 too many connections\r\n" % (address.encode(), port))
        for sock in kept:
            sock.sendall(b"GROUP local.test\r\n")
            self.assertEqual(sock.recv(100), self.GROUP)
        # One going makes room for one more.
        port = kept[0].getsockname()[1]
        kept[0].close()
        s.wait_log(b"[127.0.0.1/%d] Closed!!\r\n" % port)
        sock, first = self.open_from(s, "127.0.0.5")
        self.assertEqual(first, b"200 connected!!\r\n")

    def test_a_peer_is_not_counted_against_the_limit_per_host(self):
        s = self.server(settings={"MaxConnectionsPerHost": 1, "UseRfc3977": 1,
                                  "PathHost": "news.test"},
                        peers=("hub\t127.0.0.2\t0\t*",))
        _, first = self.open_from(s, "127.0.0.1")
        self.assertEqual(first, b"200 connected!!\r\n")
        self.assertEqual(self.open_from(s, "127.0.0.1")[1], self.REFUSED)
        peer = [self.open_from(s, "127.0.0.2")[1] for _ in range(3)]
        self.assertEqual(set(peer), {b"200 connected!!\r\n"})

    def test_without_limits_nothing_is_refused(self):
        s = self.server()
        socks = [self.open_from(s, "127.0.0.1") for _ in range(60)]
        self.assertEqual({first for _, first in socks}, {b"200 connected!!\r\n"})


# --- The hostile load, run in a child process ---------------------------------

class Actor:
    """One hostile connection, driven by a generator of steps:
    ("send", bytes), ("sleep", seconds), ("eof", seconds) waits for the
    server to close, ("close", abort) ends it."""

    def __init__(self, kind, steps, reads):
        self.kind = kind
        self.steps = steps
        self.reads = reads
        self.sock = None
        self.out = b""
        self.wake = 0.0
        self.eof_until = None
        self.connected = False
        self.connect_deadline = 0.0


def garbage_steps(rng):
    for _ in range(rng.randrange(3, 9)):
        yield ("send", rng.randbytes(rng.randrange(1, 16384)))
        yield ("sleep", rng.uniform(0.01, 0.05))
    yield ("close", rng.random() < 0.5)


def nul_steps(rng):
    pieces = (b"\x00", b"\r\n", b"GROUP local.test", b"ARTICLE 2", b"XOVER 1-3", b"POST",
              b"\x00\x00\x00\x00", b"\r", b"\n", b" ", b"\xff\xfe")
    for _ in range(rng.randrange(3, 9)):
        # No piece holds a dot, so an article begun by a stray POST never ends.
        yield ("send", b"".join(rng.choice(pieces) for _ in range(rng.randrange(1, 40))))
        yield ("sleep", rng.uniform(0.01, 0.05))
    yield ("close", rng.random() < 0.5)


def endless_steps(rng):
    for _ in range(8):
        yield ("send", bytes(rng.choice(b"abcdefgh \t") for _ in range(12000)))
        yield ("sleep", 0.01)
    yield ("eof", 5.0)
    yield ("close", False)


def halfpost_steps(rng):
    yield ("send", b"POST\r\n")
    yield ("sleep", 0.05)
    body = (b"From: half@example.invalid\r\nNewsgroups: local.test\r\nSubject: half\r\n\r\n" +
            b"body line\r\n" * rng.randrange(1, 5000))
    cut = rng.randrange(1, len(body))
    yield ("send", body[:cut])
    yield ("sleep", rng.uniform(0.0, 0.3))
    yield ("close", rng.random() < 0.5)


def slow_steps(rng):
    yield ("send", b"GROUP local.test\r\n")
    for _ in range(24):
        yield ("sleep", 0.04)
        yield ("send", b"ARTICLE 2\r\n")
    yield ("sleep", rng.uniform(1.0, 4.0))
    yield ("close", True)


def vanish_steps(rng):
    yield ("close", rng.random() < 0.5)


KINDS = (("garbage", garbage_steps, True, 25), ("nul", nul_steps, True, 15),
         ("endless", endless_steps, True, 10), ("halfpost", halfpost_steps, True, 15),
         ("slow", slow_steps, False, 3), ("vanish", vanish_steps, False, 32))


def run_hostile(port, seconds, seed, max_total=1500, max_open=150, max_slow=6):
    rng = random.Random(seed)
    sel = selectors.DefaultSelector()
    actors = set()
    counts = {k[0]: 0 for k in KINDS}
    counts.update(connected=0, connect_failed=0, closed_by_server={k[0]: 0 for k in KINDS})
    begin = time.time()
    end = begin + seconds
    total = 0
    weights = [k[3] for k in KINDS]

    def finish(actor, abort=False):
        if abort:
            try:
                actor.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            except OSError:
                pass
        try:
            sel.unregister(actor.sock)
        except (KeyError, ValueError):
            pass
        actor.sock.close()
        actors.discard(actor)

    def register(actor):
        events = 0
        if actor.reads or actor.eof_until is not None:
            events |= selectors.EVENT_READ
        if actor.out or not actor.connected:
            events |= selectors.EVENT_WRITE
        registered = actor.sock in sel.get_map()
        if not events:
            # Nothing to send and nothing it reads: the server's output piles up.
            if registered:
                sel.unregister(actor.sock)
        elif registered:
            sel.modify(actor.sock, events, actor)
        else:
            sel.register(actor.sock, events, actor)

    def advance(actor, now):
        """Runs the actor's steps until it has to wait."""
        while actor in actors and not actor.out and actor.wake <= now and actor.eof_until is None:
            step = next(actor.steps, ("close", False))
            if step[0] == "send":
                actor.out = step[1]
            elif step[0] == "sleep":
                actor.wake = now + step[1]
            elif step[0] == "eof":
                actor.eof_until = now + step[1]
            else:
                finish(actor, step[1])
                return
        if actor in actors:
            register(actor)

    while True:
        now = time.time()
        if now >= end:
            break
        # New connections, a burst now and then.
        # Spread over the run, with a burst now and then.
        allowed = min(max_total, int(max_total * (now - begin) / seconds) + 30)
        burst = 30 if rng.random() < 0.02 else 3
        for _ in range(burst):
            if total >= allowed or len(actors) >= max_open:
                break
            name, make, reads, _ = rng.choices(KINDS, weights)[0]
            if name == "slow" and sum(a.kind == "slow" for a in actors) >= max_slow:
                name, make, reads = "vanish", vanish_steps, False
            actor = Actor(name, make(random.Random(rng.random())), reads)
            actor.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            actor.sock.setblocking(False)
            actor.sock.connect_ex(("127.0.0.1", port))
            actor.connect_deadline = now + 3.0
            actors.add(actor)
            register(actor)
            counts[name] += 1
            total += 1
        for key, events in sel.select(timeout=0.01):
            actor = key.data
            if actor not in actors:
                continue
            if not actor.connected and events & selectors.EVENT_WRITE:
                if actor.sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR):
                    counts["connect_failed"] += 1
                    finish(actor)
                    continue
                actor.connected = True
                counts["connected"] += 1
            if events & selectors.EVENT_READ:
                try:
                    data = actor.sock.recv(1 << 16)
                except BlockingIOError:
                    data = None
                except OSError:
                    data = b""
                if data == b"":
                    counts["closed_by_server"][actor.kind] += 1
                    finish(actor)
                    continue
            if actor.out and actor.connected and events & selectors.EVENT_WRITE:
                try:
                    n = actor.sock.send(actor.out)
                    actor.out = actor.out[n:]
                except BlockingIOError:
                    pass
                except OSError:
                    finish(actor)
                    continue
        now = time.time()
        for actor in list(actors):
            if not actor.connected:
                if now > actor.connect_deadline:
                    counts["connect_failed"] += 1
                    finish(actor)
                continue
            if actor.eof_until is not None and now > actor.eof_until:
                actor.eof_until = None
            advance(actor, now)
    for actor in list(actors):
        finish(actor, abort=True)
    counts["total"] = total
    return counts


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--hostile":
        print(json.dumps(run_hostile(int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4]))))
    else:
        unittest.main()
