"""Crash safety of the article store: clients post while the server is killed
with SIGKILL at random moments and restarted in the same directory on the same
port. After every restart each index loads and is well formed, its counters
agree with its lines, every article that was answered 240 is listed and
whole, and nothing half-written is left in the group directories. A second
table kills the server before each system call of an index save in turn.

The random run stops after 25 kills or 30 s without SyncWrites, and 12 kills
or 20 s with it; MARROWBY_SOAK_SECONDS sets the length of each in seconds
instead, without the limit on kills. MARROWBY_SEED repeats a run."""
import base64
import os
import random
import re
import shutil
import signal
import sys
import tempfile
import threading
import time
import unittest

from harness import Client, ServerTest, parse_index, xover_line

OK_240 = b"240 article posted successfully!!\r\n"
GROUPS = (b"crash.one", b"crash.two", b"crash.three")
SETTINGS = tuple("%s\t0\tnote" % g.decode() for g in GROUPS)
SOAK = "MARROWBY_SOAK_SECONDS" in os.environ
SOAK_SECONDS = float(os.environ.get("MARROWBY_SOAK_SECONDS", "0"))
POSTERS = 4


def make_article(rng, groups, mid):
    """Bytes of one posting as sent after the 340 reply, terminating line
    included. It carries its own Message-ID and a non-zero Lines header, so
    the server stores exactly these bytes."""
    roll = rng.random()
    if roll < 0.03:
        size = rng.randrange(300000, 1500000)
    elif roll < 0.15:
        size = rng.randrange(10000, 100000)
    else:
        size = rng.randrange(50, 3000)
    text = base64.b64encode(rng.randbytes(size * 3 // 4 + 3))
    width = rng.choice((60, 76, 120))
    body = [text[i:i + width] for i in range(0, len(text), width)]
    head = (b"From: crash@example.invalid\r\nNewsgroups: " + b",".join(groups) +
            b"\r\nSubject: crash " + mid[1:-1] + b"\r\nDate: Mon, 01 Jan 2024 00:00:00 +0000\r\n"
            b"Message-ID: " + mid + b"\r\nLines: %d\r\n\r\n" % len(body))
    return head + b"\r\n".join(body) + b"\r\n.\r\n"


def kill_traced(tracer_pid):
    """Ends the processes that the tracer `tracer_pid` started, if still there."""
    try:
        tasks = os.listdir("/proc/%d/task" % tracer_pid)
    except FileNotFoundError:
        return
    for task in tasks:
        try:
            with open("/proc/%d/task/%s/children" % (tracer_pid, task)) as f:
                children = [int(p) for p in f.read().split()]
        except OSError:
            continue
        for pid in children:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass


class Ledger:
    """Every article sent to the server: Message-ID -> [groups, bytes, confirmed]."""

    def __init__(self):
        self.lock = threading.Lock()
        self.articles = {}

    def sent(self, mid, groups, data):
        with self.lock:
            self.articles[mid] = [groups, data, False]

    def confirm(self, mid):
        with self.lock:
            self.articles[mid][2] = True

    def get(self, mid):
        with self.lock:
            return self.articles.get(mid)

    def confirmed_in(self, group):
        with self.lock:
            return [mid for mid, (groups, _, ok) in self.articles.items() if ok and group in groups]

    def counts(self):
        with self.lock:
            confirmed = sum(1 for a in self.articles.values() if a[2])
            return confirmed, len(self.articles) - confirmed


def poster(port, rng, tag, ledger, killed, problems):
    """Posts articles until the connection dies; a failure before the kill is
    a problem."""
    client = None
    try:
        client = Client(port, timeout=15)
        if client.read_line() != b"200 connected!!\r\n":
            problems.append("%s: bad greeting" % tag)
            return
        for seq in range(100000):
            if killed.is_set():
                return
            groups = rng.sample(GROUPS, rng.choice((1, 1, 1, 2, 3)))
            mid = b"<%s.%d@crash.invalid>" % (tag.encode(), seq)
            data = make_article(rng, groups, mid)
            ledger.sent(mid, groups, data)
            reply = client.command(b"POST")
            if reply != b"340 continue posting!!\r\n":
                problems.append("%s: POST answered %r" % (tag, reply))
                return
            cuts = sorted(rng.sample(range(1, len(data)), min(2, len(data) - 1)))
            for a, b in zip([0] + cuts, cuts + [len(data)]):
                client.send(data[a:b])
            reply = client.read_line(timeout=15)
            if reply != OK_240:
                problems.append("%s: %r answered %r" % (tag, mid, reply))
                return
            ledger.confirm(mid)
    except (OSError, EOFError) as e:
        if not killed.is_set():
            problems.append("%s: connection failed before the kill: %r" % (tag, e))
    finally:
        if client:
            client.close()


class StoreChecker:
    """Checks a group directory and what the server serves from it against
    the ledger. File contents are read again only when the file changed."""

    def __init__(self, test, server, ledger):
        self.test = test
        self.server = server
        self.ledger = ledger
        self.verified = {}
        self.stats = {"orphans whole": set(), "orphans partial": set()}

    def file_matches(self, path, want):
        try:
            st = os.stat(path)
        except FileNotFoundError:
            return None
        key = (st.st_ino, st.st_size, st.st_mtime_ns)
        if self.verified.get(path) == key:
            return True
        if st.st_size != len(want):
            return False
        with open(path, "rb") as f:
            same = f.read() == want
        if same:
            self.verified[path] = key
        return same

    def check(self, client, when):
        def fail(text):
            self.test.fail("%s: %s" % (when, text))

        for group in GROUPS:
            gdir = self.server.path(group.decode())
            names = os.listdir(gdir)
            stray = [n for n in names if n != "Message.lst" and not n.isdigit()]
            if stray:
                fail("%s holds files other than articles and the index: %s" % (group, stray))
            index_path = os.path.join(gdir, "Message.lst")
            if os.path.exists(index_path):
                with open(index_path, "rb") as f:
                    try:
                        counters, entries = parse_index(f.read())
                    except ValueError as e:
                        fail("%s/Message.lst: %s" % (group, e))
            else:
                counters, entries = (0, 0, 0), []
            first, last, count = counters
            numbers = [e[0] for e in entries]
            if len(set(numbers)) != len(numbers):
                fail("%s lists a number twice: %s" % (group, numbers))
            # Nothing here cancels or expires: the counters are those of the
            # lines, as the save that wrote them had them.
            if count != len(entries) or (numbers and last != max(numbers)):
                fail("%s: the counter line says %d articles, the last numbered %d, but %d are "
                     "listed, the last numbered %s" % (group, count, last, len(entries),
                                                       max(numbers) if numbers else "-"))
            record = self.server.path("IndexSave.rec")
            if os.path.exists(record) and os.path.getsize(record) > 0:
                fail("the save record still holds an append after the start-up")

            # The server serves what the file says.
            reply = client.command(b"GROUP " + group)
            if reply != b"211 %d %d %d %s group selected!!\r\n" % (count, first, last, group):
                fail("GROUP %s answered %r, index counters %r" % (group, reply, counters))
            if numbers and not (first <= min(numbers) and last >= max(numbers)):
                fail("%s: GROUP announces %d-%d but the index lists %d-%d"
                     % (group, first, last, min(numbers), max(numbers)))
            client.send(b"XOVER 1-2147483647\r\n")
            overview = client.read_until(b"\r\n.\r\n", timeout=15)
            want = b"224 Overview information follows!!\r\n" + b"".join(
                xover_line(e) for e in entries) + b".\r\n"
            if overview != want:
                fail("XOVER of %s differs from its Message.lst" % group)

            listed = {}
            for e in entries:
                number, mid, size, lines = e[0], e[4], e[5], e[6]
                listed[mid] = number
                known = self.ledger.get(mid)
                if known is None:
                    fail("%s/%d lists an article nobody sent: %r" % (group, number, mid))
                groups, data, _ = known
                if group not in groups:
                    fail("%s/%d holds %r, which was not posted there" % (group, number, mid))
                ok = self.file_matches(os.path.join(gdir, str(number)), data)
                if ok is None:
                    fail("%s/%d is listed but its file is missing" % (group, number))
                if not ok:
                    fail("%s/%d is listed but its file differs from what was posted "
                         "(%d bytes posted)" % (group, number, len(data)))
                if size != len(data) or lines != data.count(b"\n"):
                    fail("%s/%d is listed with bytes %d, lines %d; posted %d bytes, %d lines"
                         % (group, number, size, lines, len(data), data.count(b"\n")))
            for mid in self.ledger.confirmed_in(group):
                if mid not in listed:
                    fail("%r was answered 240 but %s does not list it" % (mid, group))

            # Spot checks through ARTICLE.
            small = [e for e in entries if e[5] < 200000]
            for e in random.Random(len(entries)).sample(small, min(2, len(small))):
                number, mid = e[0], e[4]
                reply = client.command(b"ARTICLE %d" % number)
                if reply != b"220 %d %s Article retrieved, text follows!!\r\n" % (number, mid):
                    fail("ARTICLE %d in %s answered %r" % (number, group, reply))
                if client.read_exact(e[5], timeout=15) != self.ledger.get(mid)[1]:
                    fail("ARTICLE %d in %s sent other bytes than were posted" % (number, group))

            # Files nobody lists: a post that was cut short by the kill.
            for n in names:
                if n.isdigit() and int(n) not in numbers:
                    path = os.path.join(gdir, n)
                    whole = any(self.file_matches(path, self.ledger.get(mid)[1])
                                for mid in self.candidates(group, path))
                    key = "orphans whole" if whole else "orphans partial"
                    self.stats[key].add("%s/%s" % (group.decode(), n))

    def candidates(self, group, path):
        """Message-IDs whose article the file at `path` could be."""
        with open(path, "rb") as f:
            head = f.read(4096)
        m = re.search(rb"\r\nMessage-ID: (<[^>\r\n]*>)\r\n", head)
        return [m.group(1)] if m and self.ledger.get(m.group(1)) else []


class CrashSafetyTest(ServerTest):
    # Settings, kills and seconds of each random run.
    RUNS = (
        ({}, 25, 30.0),
        ({"SyncWrites": 1}, 12, 20.0),
    )

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="marrowby-crash-tmp-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def test_posts_survive_random_kills(self):
        seed = int(os.environ.get("MARROWBY_SEED") or random.randrange(1 << 32))
        for settings, cycles, seconds in self.RUNS:
            with self.subTest(settings=settings):
                self.s = self.server(start=False, groups=SETTINGS, settings=settings,
                                     env={"TMPDIR": self.tmp})
                try:
                    self.run_kills(seed, 100000 if SOAK else cycles,
                                   SOAK_SECONDS if SOAK else seconds, settings)
                except AssertionError as e:
                    raise AssertionError("%s, seed %d (MARROWBY_SEED=%d repeats it): %s"
                                         % (settings, seed, seed, e)) from None

    def run_kills(self, seed, max_cycles, seconds, settings):
        rng = random.Random(seed)
        ledger = Ledger()
        checker = StoreChecker(self, self.s, ledger)
        index_temps_left = 0
        kills_in_startup = 0
        deadline = time.time() + seconds
        recovered = {b"completed": 0, b"discarded": 0}
        cycle = 0
        while cycle < max_cycles and time.time() < deadline:
            cycle += 1
            if cycle > 1 and rng.random() < 0.1:
                # Killed while starting up: before or while it loads the indexes.
                self.s.start(wait=False)
                time.sleep(rng.uniform(0.0, 0.15))
                self.s.kill()
                kills_in_startup += 1
            self.s.start()
            for outcome in recovered:
                recovered[outcome] += self.s.stdout.count(b"] interrupted save " + outcome)
            client = self.client(self.s)
            checker.check(client, "after restart %d" % cycle)
            client.close()

            killed = threading.Event()
            problems = []
            threads = [threading.Thread(
                target=poster, args=(self.s.port, random.Random(rng.random()),
                                     "c%dt%d" % (cycle, t), ledger, killed, problems))
                for t in range(POSTERS)]
            for t in threads:
                t.start()
            time.sleep(rng.uniform(0.05, 1.0))
            killed.set()
            self.s.kill()
            for t in threads:
                t.join(20)
                self.assertFalse(t.is_alive(), "a posting client did not end")
            self.assertEqual(problems, [], "cycle %d" % cycle)
            index_temps_left += sum(
                os.path.exists(self.s.path(g.decode(), "Message.lst.tmp")) for g in GROUPS)
            if rng.random() < 0.25:
                # What a kill in the middle of a whole-file replace leaves.
                group = rng.choice(GROUPS).decode()
                self.s.write(group + "/Message.lst.tmp", b"1\t9\t9\r\n1\thalf\tsaved")

        # A clean shutdown at the end writes nothing that breaks the store.
        self.s.start()
        client = self.client(self.s)
        checker.check(client, "after the last restart")
        client.close()
        self.assertEqual(self.s.stop(), 0)
        self.s.start()
        client = self.client(self.s)
        checker.check(client, "after a clean shutdown")

        confirmed, unconfirmed = ledger.counts()
        self.assertGreaterEqual(cycle, 3, "too few kill cycles in the time budget")
        self.assertGreater(confirmed, 0)
        sys.stderr.write(
            "\n  %s: crash cycles %d (%d during start-up), seed %d: %d posts answered 240, %d cut "
            "short; index saves completed at start-up %d, discarded %d; index temp files found "
            "after a kill %d; unlisted article files whole %d, partial %d %s; posting temp files "
            "left %d\n"
            % (settings or "classic", cycle, kills_in_startup, seed, confirmed, unconfirmed,
               recovered[b"completed"], recovered[b"discarded"], index_temps_left,
               len(checker.stats["orphans whole"]), len(checker.stats["orphans partial"]),
               sorted(checker.stats["orphans partial"])[:5],
               len([n for n in os.listdir(self.tmp) if n.startswith("qmv")])))


class CrashWindowTest(ServerTest):
    """Kills placed at the moments a random kill seldom hits."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="marrowby-crash-tmp-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def article(self, mid, body_bytes):
        text = base64.b64encode(random.Random(mid).randbytes(body_bytes * 3 // 4))
        body = [text[i:i + 76] for i in range(0, len(text), 76)]
        return (b"From: crash@example.invalid\r\nNewsgroups: crash.one\r\nSubject: window\r\n"
                b"Message-ID: " + mid + b"\r\nLines: %d\r\n\r\n" % len(body) +
                b"\r\n".join(body) + b"\r\n.\r\n")

    def assert_group_dir_whole(self, server, sent):
        """Every file in crash.one is the index or an article exactly as sent."""
        gdir = server.path("crash.one")
        for name in sorted(os.listdir(gdir)):
            if name == "Message.lst":
                continue
            with open(os.path.join(gdir, name), "rb") as f:
                data = f.read()
            if data in sent.values():
                continue
            cut = [len(want) for want in sent.values() if want.startswith(data)]
            self.fail("crash.one/%s holds %d bytes, %s; a rebuild would list it as an article"
                      % (name, len(data), "the start of an article of %d bytes" % cut[0]
                         if cut else "not an article that was sent"))

    def test_kill_while_an_article_file_is_written_leaves_no_partial_file(self):
        s = self.server(groups=SETTINGS, env={"TMPDIR": self.tmp})
        sent = {}
        caught = False
        for attempt in range(3):
            mid = b"<big%d@crash.invalid>" % attempt
            data = sent[mid] = self.article(mid, 16 << 20)
            gdir = s.path("crash.one")
            before = set(os.listdir(gdir))
            client = s.connect()
            self.addCleanup(client.close)
            self.assertEqual(client.command(b"POST"), b"340 continue posting!!\r\n")
            client.sock.settimeout(60)  # a limit on the whole send
            failed = []
            sender = threading.Thread(target=self.send_quietly, args=(client, data, failed))
            sender.start()
            # Kill the moment a new file shows up in the group directory.
            deadline = time.time() + 30
            new = set()
            while not new and time.time() < deadline and s.proc.poll() is None:
                new = set(os.listdir(gdir)) - before
            s.kill()
            sender.join(10)
            self.assertTrue(new, "no article file appeared within 30 s; sending: %r" % failed)
            for name in new:
                try:
                    caught |= os.path.getsize(os.path.join(gdir, name)) < len(data)
                except FileNotFoundError:
                    pass
            s.start()
            self.assert_group_dir_whole(s, sent)
            self.assertFalse(os.path.exists(s.path("crash.one", "Message.lst.tmp")))
        sys.stderr.write("\n  kill landed inside an article copy: %s\n" % caught)

    @staticmethod
    def send_quietly(client, data, failed):
        try:
            client.send(data)
        except OSError as e:
            failed.append(e)  # the kill, or a real failure if nothing appeared

    # The second save after start-up appends to the index (the first writes
    # it whole): the append goes into the save record, the new line to the
    # end of the index, the counter line is patched, the record is emptied.
    # Each row kills the server on entering one of those system calls, and
    # says whether the next start must list the second article and what it
    # logs about the record it finds. strace counts the calls of each thread
    # apart; with SyncWrites the sync worker makes all of these.
    KILL_POINTS = (
        ("record written", "IndexSave.rec", "pwrite64", 1, False, None),
        ("line appended", "crash.one/Message.lst", "pwrite64", 1, True, b"completed"),
        ("counters patched", "crash.one/Message.lst", "pwrite64", 2, True, b"completed"),
        ("record emptied", "IndexSave.rec", "ftruncate", 1, True, b"completed"),
    )

    def test_kill_at_each_step_of_an_index_save(self):
        strace = shutil.which("strace")
        if not strace:
            self.skipTest("strace is not installed")
        for settings in ({}, {"SyncWrites": 1}):
            for what, name, call, when, listed, recovery in self.KILL_POINTS:
                with self.subTest(settings=settings, kill_before=what):
                    self.kill_inside_a_save(strace, settings, name, call, when, listed, recovery)

    def kill_inside_a_save(self, strace, settings, name, call, when, listed, recovery):
        s = self.server(groups=SETTINGS, settings=settings, start=False,
                        env={"TMPDIR": self.tmp})
        s.wrap = [strace, "-f", "-qq", "-o", "/dev/null", "-P", s.path(name),
                  "-e", "inject=%s:signal=KILL:when=%d" % (call, when), "--"]
        try:
            s.start()
        except AssertionError:
            self.skipTest("cannot trace the server here: %r" % s.stderr[-300:])
        self.addCleanup(kill_traced, s.proc.pid)
        client = s.connect()
        one = self.article(b"<w1@crash.invalid>", 100)
        two = self.article(b"<w2@crash.invalid>", 100)
        self.assertEqual(client.post(one[:-3]), OK_240)
        with self.assertRaises((EOFError, OSError), msg="the injected kill did not land"):
            client.post(two[:-3])
        client.close()
        s.wait_exit()
        s.wrap = None
        s.start()
        line = b"[%s] interrupted save %s!!\r\n" % (s.path("crash.one", "Message.lst").encode(),
                                                    recovery or b"")
        self.assertEqual(line in s.stdout, recovery is not None, s.stdout)
        self.assertEqual(s.read("IndexSave.rec"), b"")
        with open(s.path("crash.one", "Message.lst"), "rb") as f:
            counters, entries = parse_index(f.read())
        want = [1, 2] if listed else [1]
        self.assertEqual([e[0] for e in entries], want)
        self.assertEqual(counters, (1, len(want), len(want)), "the counters belong to the lines")
        client = self.client(s)
        self.assertEqual(client.command("GROUP crash.one"),
                         b"211 %d 1 %d crash.one group selected!!\r\n" % (len(want), len(want)))
        # The unlisted article keeps its number: the next one gets another.
        self.assertEqual(client.post(self.article(b"<w3@crash.invalid>", 100)[:-3]), OK_240)
        client.send(b"XOVER 1-100\r\n")
        overview = client.read_until()
        self.assertIn(b"3\twindow\tcrash@example.invalid\t\t<w3@crash.invalid>\t", overview)
        self.assertEqual(s.read("crash.one/1"), one)
        self.assertEqual(s.read("crash.one/2"), two)
        client.close()
        s.close()


if __name__ == "__main__":
    unittest.main()
