"""Nothing lost, nothing stalled. With SyncWrites a post's 240 leaves only
after its article file, the directory's names and the index lines are on
disk, seen in the system calls the server makes (strace). A stdout that is
never read, or that goes away, costs the server nothing: the commands are
served at their usual latency, the log's copy drops what does not fit, and
says so once stdout takes lines again."""
import os
import re
import shutil
import tempfile
import threading
import time
import unittest

from harness import ServerTest
from test_crash_safety import kill_traced

OK_240 = b"240 article posted successfully!!\r\n"


def article(mid, group=b"local.test"):
    return (b"From: d@example.invalid\r\nNewsgroups: " + group + b"\r\nSubject: durable\r\n"
            b"Message-ID: " + mid + b"\r\nLines: 1\r\n\r\nbody of " + mid + b"\r\n")


class SyncWritesTest(ServerTest):
    POSTERS = 4
    POSTS = 6  # each

    def test_no_240_leaves_before_its_article_name_and_index_line_are_on_disk(self):
        strace = shutil.which("strace")
        if not strace:
            self.skipTest("strace is not installed")
        trace = tempfile.NamedTemporaryFile(prefix="marrowby-trace-", delete=False)
        trace.close()
        self.addCleanup(os.unlink, trace.name)
        s = self.server(settings={"SyncWrites": 1}, start=False)
        s.wrap = [strace, "-f", "-qq", "-yy", "-s", "200", "-o", trace.name,
                  "-e", "trace=fdatasync,fsync,sendmsg,linkat", "--"]
        try:
            s.start()
        except AssertionError:
            self.skipTest("cannot trace the server here: %r" % s.stderr[-300:])
        self.addCleanup(kill_traced, s.proc.pid)
        # Several posters at once, so that replies share syncs and each must
        # still wait for the one that covers its own post.
        ports = {}
        problems = []

        def post(tag):
            try:
                c = s.connect()
                ports[c.sock.getsockname()[1]] = tag
                for i in range(self.POSTS):
                    reply = c.post(article(b"<%s.%d@durable.invalid>" % (tag, i)))
                    if reply != OK_240:
                        problems.append(reply)
                c.close()
            except (OSError, EOFError) as e:
                problems.append(e)

        threads = [threading.Thread(target=post, args=(b"p%d" % t,)) for t in range(self.POSTERS)]
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
        self.assertEqual(len(numbers), self.POSTERS * self.POSTS)
        client.close()

        # Replay the trace. Each 240 needs, returned before it was sent: the
        # data sync of its article; after that a sync of the group's
        # directory (its name); after that a data sync of the index (its
        # line). The worker syncs one thing at a time, in that order. An
        # article is written without a name and linked in whole, so its sync
        # is known by the descriptor it was linked from.
        returned = {}  # what was synced -> positions in the trace where a sync of it returned
        pending = {}  # pid -> what its unfinished sync is of
        linked = {}  # descriptor -> the article number it was linked as
        answered = {}  # client port -> 240s sent to it so far
        checked = 0
        group_dir = s.path("local.test")
        index = os.path.join(group_dir, "Message.lst")
        with open(trace.name, errors="replace") as f:
            for position, line in enumerate(f):
                pid, _, call = line.rstrip("\n").partition(" ")
                call = call.lstrip()
                m = re.match(r'linkat\(AT_FDCWD\S*, "/proc/self/fd/(\d+)", AT_FDCWD\S*, "([^"]*)"',
                             call)
                if m:
                    linked[m.group(1)] = os.path.basename(m.group(2))
                    continue
                m = re.match(r"(fdatasync|fsync)\((\d+)<([^>]*)>(?:\(deleted\))?\)?(.*)", call)
                if m:
                    what = (m.group(1), m.group(3))
                    if "/#" in m.group(3):
                        what = ("article", linked.get(m.group(2)))
                    if "<unfinished" in m.group(4):
                        pending[pid] = what
                    elif m.group(4).strip() == "= 0":
                        returned.setdefault(what, []).append(position)
                    continue
                m = re.match(r"<\.\.\. (fdatasync|fsync) resumed>\)\s*= 0", call)
                if m and pid in pending:
                    returned.setdefault(pending.pop(pid), []).append(position)
                    continue
                m = re.match(r"sendmsg\(\d+<TCP:\[[^\]]*->127\.0\.0\.1:(\d+)\]>", call)
                if not m or int(m.group(1)) not in ports:
                    continue
                port = int(m.group(1))
                for _ in range(call.count("240 article posted")):
                    n = answered.get(port, 0)
                    answered[port] = n + 1
                    mid = b"<%s.%d@durable.invalid>" % (ports[port], n)
                    def first(what, since, until=position):
                        times = [t for t in returned.get(what, []) if since < t < until]
                        return times[0] if times else None

                    synced = first(("article", str(numbers[mid])), -1)
                    self.assertIsNotNone(synced, "the 240 for %r went out before its article "
                                         "was synced" % mid)
                    named = first(("fsync", group_dir), synced)
                    self.assertIsNotNone(named, "the 240 for %r went out before its article's "
                                         "name was synced" % mid)
                    # An append syncs the index after the names; a whole new
                    # index is synced before them and renamed after them, and
                    # the rename is synced with its directory.
                    listed = first(("fdatasync", index), named)
                    if listed is None and first(("fdatasync", index + ".tmp"), synced, named):
                        listed = first(("fsync", group_dir), named)
                    self.assertIsNotNone(listed, "the 240 for %r went out before its index line "
                                         "was synced" % mid)
                    checked += 1
        self.assertEqual(checked, self.POSTERS * self.POSTS, "not every 240 was in the trace")


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
