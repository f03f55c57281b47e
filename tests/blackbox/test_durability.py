"""Nothing lost, nothing stalled. With SyncWrites a post's 240 leaves only
after its article file, the directory's names and the index lines are on
disk, seen in the system calls the server makes (strace). A stdout that is
never read, or that goes away, costs the server nothing: the commands are
served at their usual latency, the log's copy drops what does not fit, and
says so once stdout takes lines again."""
import email.utils
import os
import re
import shutil
import tempfile
import threading
import time
import unittest

from harness import ServerTest, free_port
from test_crash_safety import kill_traced

OK_240 = b"240 article posted successfully!!\r\n"


def article(mid, group=b"local.test", path=b""):
    return (path + b"From: d@example.invalid\r\nNewsgroups: " + group +
            b"\r\nSubject: durable\r\nDate: " + email.utils.formatdate().encode() +
            b"\r\nMessage-ID: " + mid + b"\r\nLines: 1\r\n\r\nbody of " + mid + b"\r\n")


FEEDER = "127.0.0.2"  # a peer that feeds us
# What each kind of sender hears when its article is stored.
STORED = {"post": OK_240, "ihave": b"235 Article transferred OK\r\n", "takethis": b"239 <"}


class SyncWritesTest(ServerTest):
    POSTS = 6  # each sender's

    def send_articles(self, c, kind, tag):
        """Sends POSTS articles as `kind` over `c`; the replies that were not
        what a stored article hears."""
        problems = []
        if kind == "takethis":
            self.assertEqual(c.command("MODE STREAM"), b"203 Streaming permitted\r\n")
        for i in range(self.POSTS):
            mid = b"<%s.%d@durable.invalid>" % (tag, i)
            if kind == "post":
                reply = c.post(article(mid))
            elif kind == "ihave":
                self.assertEqual(c.command(b"IHAVE " + mid)[:4], b"335 ")
                c.send(article(mid, path=b"Path: feeder!origin\r\n") + b".\r\n")
                reply = c.read_line()
            else:
                c.send(b"TAKETHIS " + mid + b"\r\n" +
                       article(mid, path=b"Path: feeder!origin\r\n") + b".\r\n")
                reply = c.read_line()
            if not reply.startswith(STORED[kind]):
                problems.append(reply)
        return problems

    def test_no_240_leaves_before_its_article_name_and_index_line_are_on_disk(self):
        self.check_replies_wait_for_the_disk({}, None, ["post"] * 4)

    def test_fed_articles_and_peer_queues_wait_for_the_disk_too(self):
        # Posts and fed articles are all queued for the hub, which is down:
        # its queue file must be synced before each reply as well.
        peers = ("feeder\t%s\t0\t*" % FEEDER, "hub\t127.0.0.3\t%d\t*" % free_port())
        self.check_replies_wait_for_the_disk({"UseRfc3977": 1, "PathHost": "news.test"}, peers,
                                             ["post", "ihave", "takethis"])

    def check_replies_wait_for_the_disk(self, settings, peers, kinds):
        strace = shutil.which("strace")
        if not strace:
            self.skipTest("strace is not installed")
        trace = tempfile.NamedTemporaryFile(prefix="marrowby-trace-", delete=False)
        trace.close()
        self.addCleanup(os.unlink, trace.name)
        s = self.server(settings=dict(settings, SyncWrites=1), peers=peers, start=False)
        s.wrap = [strace, "-f", "-qq", "-yy", "-s", "200", "-o", trace.name,
                  "-e", "trace=fdatasync,fsync,sendmsg,linkat,write", "--"]
        try:
            s.start()
        except AssertionError:
            self.skipTest("cannot trace the server here: %r" % s.stderr[-300:])
        self.addCleanup(kill_traced, s.proc.pid)
        # Several senders at once, so that replies share syncs and each must
        # still wait for the one that covers its own article.
        senders = {}  # (address, port) -> (tag, kind)
        problems = []

        def send(tag, kind):
            try:
                c = s.connect(source=FEEDER if kind != "post" else None)
                senders[c.sock.getsockname()[:2]] = (tag, kind)
                problems.extend(self.send_articles(c, kind, tag))
                c.close()
            except (OSError, EOFError) as e:
                problems.append(e)

        threads = [threading.Thread(target=send, args=(b"p%d" % t, kind))
                   for t, kind in enumerate(kinds)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        self.assertEqual(problems, [])
        client = self.client(s)
        self.assertEqual(client.command("GROUP local.test")[:4], b"211 ")
        client.send(b"XOVER 1-1000\r\n")
        numbers = {}
        for line in client.read_until().split(b"\r\n")[1:-2]:
            fields = line.split(b"\t")
            numbers[fields[4]] = int(fields[0])
        self.assertEqual(len(numbers), len(kinds) * self.POSTS)
        client.close()

        # Replay the trace. Each reply needs, returned before it was sent: the
        # data sync of its article; after that a sync of the group's
        # directory (its name); after that a data sync of the index (its
        # line). The worker syncs one thing at a time, in that order. An
        # article is written without a name and linked in whole, so its sync
        # is known by the descriptor it was linked from. In the reader mode,
        # a sync of the history and (with a peer to send to) of the peer's
        # queue that started after the article's line was written to it must
        # have returned too.
        returned = {}  # what was synced -> positions in the trace where a sync of it returned
        started = {}  # the same -> where those syncs started
        pending = {}  # pid -> what its unfinished sync is of, and where it started
        appended = {}  # (file, Message-ID) -> where its line was written to the file
        linked = {}  # descriptor -> the article number it was linked as
        answered = {}  # sender -> stored replies sent to it so far
        checked = 0
        group_dir = s.path("local.test")
        index = os.path.join(group_dir, "Message.lst")
        queue = s.path("outgoing", "hub")
        logs = [s.path("history")] + ([queue] if peers else []) if settings else []
        with open(trace.name, errors="replace") as f:
            for position, line in enumerate(f):
                pid, _, call = line.rstrip("\n").partition(" ")
                call = call.lstrip()
                m = re.match(r'linkat\(AT_FDCWD\S*, "/proc/self/fd/(\d+)", AT_FDCWD\S*, "([^"]*)"',
                             call)
                if m:
                    linked[m.group(1)] = os.path.basename(m.group(2))
                    continue
                m = re.match(r'write\(\d+<([^>]*)>, "(<[^\\]*>)', call)
                if m and m.group(1) in logs:
                    appended[(m.group(1), m.group(2).encode())] = position
                    continue
                m = re.match(r"(fdatasync|fsync)\((\d+)<([^>]*)>(?:\(deleted\))?\)?(.*)", call)
                if m:
                    what = (m.group(1), m.group(3))
                    if "/#" in m.group(3):
                        what = ("article", linked.get(m.group(2)))
                    if "<unfinished" in m.group(4):
                        pending[pid] = (what, position)
                    elif m.group(4).strip() == "= 0":
                        returned.setdefault(what, []).append(position)
                        started.setdefault(what, []).append(position)
                    continue
                m = re.match(r"<\.\.\. (fdatasync|fsync) resumed>\)\s*= 0", call)
                if m and pid in pending:
                    what, start = pending.pop(pid)
                    returned.setdefault(what, []).append(position)
                    started.setdefault(what, []).append(start)
                    continue
                m = re.match(r"sendmsg\(\d+<TCP:\[[^\]]*->([0-9.]+):(\d+)\]>", call)
                sender = m and (m.group(1), int(m.group(2)))
                if sender not in senders:
                    continue
                tag, kind = senders[sender]
                for _ in range(call.count(STORED[kind][:16].decode())):
                    n = answered.get(sender, 0)
                    answered[sender] = n + 1
                    mid = b"<%s.%d@durable.invalid>" % (tag, n)

                    def first(what, since, until=position):
                        times = [t for t in returned.get(what, []) if since < t < until]
                        return times[0] if times else None

                    synced = first(("article", str(numbers[mid])), -1)
                    self.assertIsNotNone(synced, "the reply for %r went out before its article "
                                         "was synced" % mid)
                    for log in logs:
                        syncs = zip(started.get(("fdatasync", log), []),
                                    returned.get(("fdatasync", log), []))
                        self.assertTrue(any(appended[(log, mid)] < start and end < position
                                            for start, end in syncs),
                                        "the reply for %r went out before %s was synced"
                                        % (mid, log))
                    named = first(("fsync", group_dir), synced)
                    self.assertIsNotNone(named, "the reply for %r went out before its article's "
                                         "name was synced" % mid)
                    # An append syncs the index after the names; a whole new
                    # index is synced before them and renamed after them, and
                    # the rename is synced with its directory.
                    listed = first(("fdatasync", index), named)
                    if listed is None and first(("fdatasync", index + ".tmp"), synced, named):
                        listed = first(("fsync", group_dir), named)
                    self.assertIsNotNone(listed, "the reply for %r went out before its index "
                                         "line was synced" % mid)
                    checked += 1
        self.assertEqual(checked, len(kinds) * self.POSTS, "not every reply was in the trace")


def read_available(fd, limit=64 << 20):
    """Everything the pipe `fd` holds now, without waiting."""
    out = bytearray()
    os.set_blocking(fd, False)
    try:
        while len(out) < limit:
            try:
                chunk = os.read(fd, 1 << 16)
            except BlockingIOError:
                break
            if not chunk:
                break
            out.extend(chunk)
    finally:
        os.set_blocking(fd, True)
    return bytes(out)


class StdoutTest(ServerTest):
    COMMANDS = 10000
    # A long unknown group name makes each command log about 500 bytes, so
    # the 10,000 commands log some 5 MB: far past the pipe and the buffer.
    COMMAND = b"GROUP local." + b"x" * 200

    def serve(self, s):
        """Sends COMMANDS commands one after another; their latencies in ms."""
        client = self.client(s)
        want = b"411 no such news group [" + self.COMMAND[6:] + b"]!!\r\n"
        times = []
        for _ in range(self.COMMANDS):
            t = time.perf_counter()
            reply = client.command(self.COMMAND)
            times.append((time.perf_counter() - t) * 1000)
            self.assertEqual(reply, want)
        client.close()
        times.sort()
        return times[len(times) // 2], times[len(times) * 99 // 100]

    def stuck_server(self):
        """A server whose stdout is a pipe nobody reads; the read end."""
        read_end, write_end = os.pipe()

        def close_read_end():
            try:
                os.close(read_end)
            except OSError:
                pass  # the test closed it
        self.addCleanup(close_read_end)
        s = self.server(start=False)
        s.stdout_fd = write_end
        s.start()
        os.close(write_end)
        return s, read_end

    def test_a_stdout_nobody_reads_does_not_slow_the_server(self):
        p50_normal, _ = self.serve(self.server())
        s, read_end = self.stuck_server()
        self.expect_running_at_end(s)
        start = time.time()
        p50_stuck, p99_stuck = self.serve(s)
        self.assertLess(p50_stuck, 2 * p50_normal + 0.5,
                        "median latency %.3f ms with stdout stuck, %.3f ms without"
                        % (p50_stuck, p50_normal))
        self.assertLess(time.time() - start, 120)

        # Once stdout is read again, what was kept comes out, then one line
        # about the rest, without any further command to prompt it.
        out = bytearray()
        deadline = time.time() + 10
        notice = re.compile(rb"Log copy on stdout: (\d+) lines dropped while stdout was not "
                            rb"taking them!!\r\n")
        while not notice.search(out) and time.time() < deadline:
            out.extend(read_available(read_end))
            time.sleep(0.02)
        m = notice.search(out)
        self.assertIsNotNone(m, "no line about dropped lines; read %d bytes" % len(out))
        kept = out[:m.start()].count(b"\n")
        # The listen line, the start-up probe's greeting and end, the
        # greeting, each command and its reply, and the line about the
        # connection's end when it came before the notice.
        self.assertIn(kept + int(m.group(1)), (4 + 2 * self.COMMANDS, 5 + 2 * self.COMMANDS))
        self.assertLess(len(out), 2 << 20, "more than the buffer and the pipe held")
        # The copy goes on as before.
        client = self.client(s)
        client.command("DATE")
        deadline = time.time() + 5
        while b"500 command not recognized!!\r\n" not in out and time.time() < deadline:
            out.extend(read_available(read_end))
            time.sleep(0.02)
        self.assertIn(client.prefix + b"DATE\r\n", out)

    def test_a_stdout_whose_reader_has_gone_ends_the_copy_not_the_server(self):
        s, read_end = self.stuck_server()
        os.close(read_end)
        client = self.client(s)
        for _ in range(200):
            self.assertEqual(client.command("GROUP local.test"),
                             b"211 0 0 0 local.test group selected!!\r\n")
        client.close()
        self.assertIsNone(s.proc.poll(), "the server ended: %r" % s.stderr[-500:])
        self.assertEqual(s.stop(), 0)


if __name__ == "__main__":
    unittest.main()
