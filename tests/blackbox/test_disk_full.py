"""Posting when files cannot grow: a file-size limit on the running server
(RLIMIT_FSIZE, so writes past it fail with EFBIG) and, where the test may
mount one, a small full tmpfs (ENOSPC). A post that cannot be stored whole
must leave nothing half-written behind or listed, the old index must survive
byte for byte and load after a restart, and reading goes on as before.

Every reply the server gave to a post that hit the limit is printed."""
import base64
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import unittest

from harness import ServerTest, parse_index, xover_line

OK_240 = b"240 article posted successfully!!\r\n"
# What a post that could not be stored whole may be answered: 240 when a
# target group existed (the group is skipped), or a 441 refusal.
ACCEPTABLE_REPLIES = (OK_240, b"441 article file open error!!\r\n",
                      b"441 tmp file open error!!\r\n")
GROUPS = ("local.test\t0\tnote", "local.other\t0\tnote")


def article(mid, body_bytes=200, subject=b"", own_headers=True, group=b"local.test"):
    """A posting without its terminating line. With `own_headers` it carries
    its Message-ID and a Lines header, so the stored file is exactly the
    posting; without, the server puts both in front of it."""
    text = base64.b64encode(random.Random(mid).randbytes(body_bytes * 3 // 4 + 3))
    body = [text[i:i + 76] for i in range(0, len(text), 76)]
    head = (b"From: full@example.invalid\r\nNewsgroups: " + group + b"\r\nSubject: " +
            (subject or b"about " + mid[1:-1]) + b"\r\nDate: Mon, 01 Jan 2024 00:00:00 +0000\r\n")
    if own_headers:
        head += b"Message-ID: " + mid + b"\r\nLines: %d\r\n" % len(body)
    return head + b"\r\n" + b"\r\n".join(body) + b"\r\n"


def report(title, replies):
    sys.stderr.write("\n  %s:\n" % title)
    for what, reply in replies:
        sys.stderr.write("    %-52s -> %r\n" % (what, reply))


class StoreCase(ServerTest):
    """A server with twenty posted articles in local.test and its temporary
    files in a directory of the test's own."""

    TMPDIR = None

    def start_server(self):
        self.tmp = self.TMPDIR or tempfile.mkdtemp(prefix="marrowby-full-tmp-")
        if not self.TMPDIR:
            self.addCleanup(shutil.rmtree, self.tmp, True)
        s = self.server(groups=GROUPS, env={"TMPDIR": self.tmp}, start=False)
        return s

    def populate(self, s, count=20):
        c = s.connect()
        self.posted = {}
        for i in range(count):
            mid = b"<old%d@full.invalid>" % i
            self.posted[mid] = article(mid, subject=b"old article %d " % i + b"x" * 80) + b".\r\n"
            self.assertEqual(c.post(self.posted[mid][:-3]), OK_240)
        c.close()
        self.old_index = s.read("local.test/Message.lst")
        self.old_counters, self.old_entries = parse_index(self.old_index)
        self.old_files = self.group_files(s)

    def group_files(self, s, group="local.test"):
        d = s.path(group)
        out = {}
        for name in os.listdir(d):
            with open(os.path.join(d, name), "rb") as f:
                out[name] = f.read()
        return out

    def assert_reads_as_before(self, s, counters=None):
        """GROUP, XOVER and ARTICLE of the old articles answer as before the
        limit was hit; `counters` (first, last, count) when GROUP should show
        other ones."""
        c = self.client(s)
        first, last, count = counters or self.old_counters
        self.assertEqual(c.command("GROUP local.test"),
                         b"211 %d %d %d local.test group selected!!\r\n" % (count, first, last))
        c.send(b"XOVER 1-%d\r\n" % self.old_counters[1])
        self.assertEqual(c.read_until(), b"224 Overview information follows!!\r\n" +
                         b"".join(xover_line(e) for e in self.old_entries) + b".\r\n")
        for e in (self.old_entries[0], self.old_entries[-1]):
            self.assertEqual(c.command(b"ARTICLE %d" % e[0]),
                             b"220 %d %s Article retrieved, text follows!!\r\n" % (e[0], e[4]))
            self.assertEqual(c.read_exact(e[5]), self.posted[e[4]])
        c.close()

    def assert_store_whole(self, s, sent, group="local.test"):
        """The index is well formed, every entry's file is there and is what
        was sent, and no other file in the group directory is a cut-off copy."""
        index = parse_index(s.read(group + "/Message.lst"))[1]
        listed = {str(e[0]): e for e in index}
        for name, data in self.group_files(s, group).items():
            if name == "Message.lst":
                continue
            self.assertTrue(name.isdigit(), "stray file %s/%s (%d bytes)" % (group, name,
                                                                         len(data)))
            whole = [mid for mid, want in sent.items() if data.endswith(want)]
            self.assertTrue(whole, "%s/%s holds %d bytes that are no whole article that was "
                            "posted (ends %r)%s" % (group, name, len(data), data[-40:],
                                                    ", and it is listed" if name in listed
                                                    else ""))
            if name in listed:
                self.assertEqual(listed[name][5], len(data))
        for name in listed:
            self.assertTrue(os.path.exists(s.path(group, name)),
                            "%s/%s is listed but missing" % (group, name))

    def temp_files(self):
        return [n for n in os.listdir(self.tmp) if n.startswith("qmv")]


class FileSizeLimitTest(StoreCase):
    def setUp(self):
        self.s = self.start_server()
        self.s.start()
        self.expect_running_at_end(self.s)
        self.populate(self.s)
        self.soft, self.hard = resource.prlimit(self.s.proc.pid, resource.RLIMIT_FSIZE)

    def limit(self, size):
        """Sets the running server's file-size limit (soft; the hard one stays)."""
        resource.prlimit(self.s.proc.pid, resource.RLIMIT_FSIZE,
                         (self.soft if size is None else size, self.hard))

    def test_article_larger_than_the_limit_is_not_stored(self):
        self.check_oversized_article("own Message-ID and Lines, 40 KB", True)

    def test_article_larger_than_the_limit_with_added_headers_is_not_stored(self):
        self.check_oversized_article("Message-ID and Lines added by the server, 40 KB", False)

    def check_oversized_article(self, what, own_headers):
        sent = dict(self.posted)
        self.limit(16384)
        self.assertLess(len(self.old_index) + 400, 16384)
        c = self.client(self.s)
        mid = b"<big@full.invalid>"
        posted = article(mid, 40000, own_headers=own_headers)
        sent[mid] = posted + b".\r\n"
        reply = c.post(posted)
        report("a post beyond a 16 KiB file-size limit", [(what, reply)])
        self.assertIn(reply, ACCEPTABLE_REPLIES)
        self.assert_store_whole(self.s, sent)
        self.assertEqual(self.s.read("local.test/Message.lst"), self.old_index,
                         "the index changed although nothing was stored")
        self.assertEqual(self.temp_files(), [])
        self.assert_reads_as_before(self.s)

        # Room again: the next post is stored and listed after the old ones.
        self.limit(None)
        mid = b"<after@full.invalid>"
        sent[mid] = article(mid) + b".\r\n"
        self.assertEqual(c.post(sent[mid][:-3]), OK_240)
        counters, entries = parse_index(self.s.read("local.test/Message.lst"))
        self.assertEqual(entries[:-1], self.old_entries)
        self.assertEqual(entries[-1][4], mid)
        self.assertEqual(self.s.read("local.test/%d" % entries[-1][0]), sent[mid])
        self.assert_store_whole(self.s, sent)

    def test_index_that_cannot_be_written_keeps_the_old_file(self):
        sent = dict(self.posted)
        replies = []
        # Room for a small article file, none for the index's next line.
        self.limit(len(self.old_index) + 10)
        c = self.client(self.s)
        for mid in (b"<a@full.invalid>", b"<b@full.invalid>"):
            sent[mid] = article(mid) + b".\r\n"
            reply = c.post(sent[mid][:-3])
            replies.append(("index cannot grow, %s" % mid.decode(), reply))
            self.assertIn(reply, ACCEPTABLE_REPLIES)
            self.assertEqual(self.s.read("local.test/Message.lst"), self.old_index)
            self.assertFalse(os.path.exists(self.s.path("local.test", "Message.lst.tmp")))
            self.assert_store_whole(self.s, sent)
        report("posts whose index line does not fit under the limit", replies)
        self.assertTrue(c.command("GROUP local.test").startswith(b"211 "))
        c.send(b"XOVER 1-%d\r\n" % self.old_counters[1])
        self.assertEqual(c.read_until(), b"224 Overview information follows!!\r\n" +
                         b"".join(xover_line(e) for e in self.old_entries) + b".\r\n")

        # Room again: the group is still waiting to be written, and the next
        # post writes it with everything it holds.
        self.limit(None)
        mid = b"<c@full.invalid>"
        sent[mid] = article(mid) + b".\r\n"
        self.assertEqual(c.post(sent[mid][:-3]), OK_240)
        counters, entries = parse_index(self.s.read("local.test/Message.lst"))
        self.assertEqual(entries[:len(self.old_entries)], self.old_entries)
        new = entries[len(self.old_entries):]
        stored = [e[4] for e in new]
        self.assertEqual(stored[-1], mid)
        for e in new:
            self.assertEqual(self.s.read("local.test/%d" % e[0]), sent[e[4]])
        self.assertEqual(counters[1], new[-1][0])
        self.assertEqual(counters[2], len(entries))
        sys.stderr.write("  after the limit was lifted the index lists: %s\n"
                         % b" ".join(stored).decode())
        self.assert_store_whole(self.s, sent)

    def test_restart_after_a_failed_index_write_loads_the_old_index(self):
        sent = dict(self.posted)
        self.limit(len(self.old_index) + 10)
        c = self.client(self.s)
        mid = b"<lost@full.invalid>"
        sent[mid] = article(mid) + b".\r\n"
        reply = c.post(sent[mid][:-3])
        self.assertIn(reply, ACCEPTABLE_REPLIES)
        c.close()
        # The save at shutdown fails under the limit as well.
        self.assertEqual(self.s.stop(), 0)
        self.assertEqual(self.s.read("local.test/Message.lst"), self.old_index)
        files = self.group_files(self.s)
        self.s.start()
        self.assertFalse(os.path.exists(self.s.path("local.test", "Message.lst.tmp")))
        self.assert_reads_as_before(self.s)
        orphans = sorted(set(files) - set(self.old_files))
        report("restart after a failed index write",
               [("post answered", reply),
                ("files present but not listed after the restart", ", ".join(orphans))])

        # A new post takes a number no file has, and overwrites nothing.
        c = self.client(self.s)
        new = b"<next@full.invalid>"
        sent[new] = article(new) + b".\r\n"
        self.assertEqual(c.post(sent[new][:-3]), OK_240)
        entries = parse_index(self.s.read("local.test/Message.lst"))[1]
        self.assertEqual(entries[:-1], self.old_entries)
        self.assertNotIn(str(entries[-1][0]), files)
        self.assertEqual(self.s.read("local.test/%d" % entries[-1][0]), sent[new])
        for name, data in files.items():
            if name != "Message.lst":
                self.assertEqual(self.s.read("local.test/" + name), data)


def mount_tmpfs(test, path, size):
    """Mounts a tmpfs of `size` at `path` (lazily unmounted at cleanup);
    skips the test where mounting is not permitted."""
    if os.geteuid() != 0 or not shutil.which("mount"):
        test.skipTest("mounting a tmpfs needs root")
    os.makedirs(path, exist_ok=True)
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s,mode=0755" % size, "tmpfs", path],
                       capture_output=True, timeout=10)
    if r.returncode != 0:
        test.skipTest("cannot mount a tmpfs here: %s" % r.stderr.decode(errors="replace").strip())
    test.addCleanup(subprocess.run, ["umount", "-l", path], capture_output=True, timeout=10)


class FullFilesystemTest(StoreCase):
    def test_full_group_directory(self):
        s = self.start_server()
        self.expect_running_at_end(s)
        mount_tmpfs(self, s.path("local.test"), "96k")
        s.start()
        self.populate(s, count=4)
        sent = dict(self.posted)
        c = self.client(s)
        replies = []
        last_good = self.old_index
        for i in range(40):
            mid = b"<fill%d@full.invalid>" % i
            sent[mid] = article(mid, 2500, subject=b"fill %d " % i + b"y" * 200) + b".\r\n"
            before = set(os.listdir(s.path("local.test")))
            reply = c.post(sent[mid][:-3])
            stored = set(os.listdir(s.path("local.test"))) - before - {"Message.lst.tmp"}
            outcome = ("stored" if stored else "not stored", reply)
            if replies and replies[-1][1] == outcome:
                replies[-1][0][1] = i
            else:
                replies.append(([i, i], outcome))
            self.assertIn(reply, ACCEPTABLE_REPLIES)
            self.assert_store_whole(s, sent)
            index = s.read("local.test/Message.lst")
            if index != last_good:
                # Changed: grown by whole lines, the old ones kept.
                self.assertTrue(parse_index(index)[1][:len(self.old_entries)] == self.old_entries)
                last_good = index
        report("posts of 3 KB each into a 96 KiB file system",
               [("posts %d to %d: %s" % (a, b, outcome[0]), outcome[1])
                for (a, b), outcome in replies])
        stat = os.statvfs(s.path("local.test"))
        self.assertLess(stat.f_bavail * stat.f_frsize, 8192, "the file system never filled up")
        self.assertFalse(os.path.exists(s.path("local.test", "Message.lst.tmp")))
        listed = parse_index(last_good)

        # Reading goes on; a restart loads the index as it was last written.
        self.assert_reads_as_before(s, counters=self.group_counters(c))
        self.assertEqual(s.stop(), 0)
        self.assertEqual(parse_index(s.read("local.test/Message.lst"))[1][:len(listed[1])],
                         listed[1])
        s.start()
        counters, entries = parse_index(s.read("local.test/Message.lst"))
        self.assert_reads_as_before(s, counters=counters)
        self.assert_store_whole(s, sent)

        # Room again.
        r = subprocess.run(["mount", "-o", "remount,size=4m", s.path("local.test")],
                           capture_output=True, timeout=10)
        self.assertEqual(r.returncode, 0, r.stderr)
        c = self.client(s)
        mid = b"<room@full.invalid>"
        sent[mid] = article(mid) + b".\r\n"
        self.assertEqual(c.post(sent[mid][:-3]), OK_240)
        self.assertEqual(parse_index(s.read("local.test/Message.lst"))[1][-1][4], mid)
        self.assert_store_whole(s, sent)

    @staticmethod
    def group_counters(c):
        reply = c.command("GROUP local.test").split()
        return int(reply[2]), int(reply[3]), int(reply[1])

    def test_full_temporary_directory(self):
        self.check_full_temporary_directory("own Message-ID and Lines, 40 KB", True)

    def test_full_temporary_directory_with_added_headers(self):
        self.check_full_temporary_directory("Message-ID and Lines added by the server, 40 KB",
                                            False)

    def check_full_temporary_directory(self, what, own_headers):
        tmp = tempfile.mkdtemp(prefix="marrowby-full-tmp-")
        self.addCleanup(shutil.rmtree, tmp, True)
        mount_tmpfs(self, tmp, "16k")
        self.TMPDIR = tmp
        s = self.start_server()
        self.expect_running_at_end(s)
        s.start()
        self.populate(s, count=3)
        sent = dict(self.posted)
        c = self.client(s)
        mid = b"<tmpfull@full.invalid>"
        sent[mid] = article(mid, 40000, own_headers=own_headers) + b".\r\n"
        reply = c.post(sent[mid][:-3])
        report("a post larger than the free space of the temporary directory",
               [(what + ", 16 KiB", reply)])
        self.assertIn(reply, ACCEPTABLE_REPLIES)
        self.assert_store_whole(s, sent)
        self.assertEqual(self.temp_files(), [])
        self.assert_reads_as_before(s, counters=self.group_counters(c))


if __name__ == "__main__":
    unittest.main()
