"""Expiry of old article files at start-up and the index rebuild that SIGUSR1
starts, judged by the files on disk, the index files and the log."""
import os
import signal
import time

from harness import ServerTest, wait_until

HOUR = 3600


def key_of(t):
    return time.strftime("%Y%m%d%H", time.localtime(t)).encode()


def stored(n, subject=b"s", lines=True):
    text = (b"Message-ID: <%d@x>\r\nFrom: f@x\r\nNewsgroups: g\r\nSubject: " % n + subject +
            b"\r\nDate: d%d\r\n" % n)
    if lines:
        text += b"Lines: %d\r\n" % (n + 100)
    return text + b"\r\nbody\r\n.\r\n"


def index_line(n, data, subject=b"s"):
    return b"%d\t%s\tf@x\td%d\t<%d@x>\t%d\t%d\t\r\n" % (n, subject, n, n, len(data), n + 100)



class StoreCase(ServerTest):
    def put(self, s, group, n, mtime=None, data=None):
        """Writes article `n` (a number or a file name) of `group`; returns its bytes."""
        name = str(n)
        data = data if data is not None else stored(n if isinstance(n, int) else 0)
        s.write("%s/%s" % (group, name), data)
        if mtime is not None:
            os.utime(s.path(group, name), (mtime, mtime))
        return data

    def round_trip(self, s):
        """A command answered by the server: whatever it was doing before is done."""
        c = self.client(s)
        self.assertEqual(c.command("GROUP nothing.here"),
                         b"411 no such news group [nothing.here]!!\r\n")
        # The reply's log line is written before the reply, but reaches us
        # through another pipe: wait for it before looking at the log.
        s.wait_log(c.prefix + b"411 no such news group [nothing.here]!!\r\n")
        return c


class ExpireTest(StoreCase):
    GROUPS = ("g1\t1\tx", "g0\t0\tx", "gneg\t-5\tx", "gbig\t596524\tx", "ghuge\t2147483647\tx")

    def test_old_files_of_expiring_groups_are_deleted_at_start_up(self):
        s = self.server(start=False, groups=self.GROUPS, settings={"UseExpire": 1})
        now = time.time()
        old, ancient = now - 3 * HOUR, now - 20 * 365 * 24 * HOUR
        entries = b""
        for n in (1, 2, 3, 57):
            entries += index_line(n, self.put(s, "g1", n, old))
        entries += index_line(4, self.put(s, "g1", 4, now))
        # 57 is named twice; nothing named 58 exists.
        self.put(s, "g1", "57.old", old, b"stray\r\n")
        self.put(s, "g1", "58.old", old, b"stray\r\n")
        s.write("g1/Message.lst", b"1\t57\t5\r\n" + entries)
        for group in ("g0", "gneg", "gbig", "ghuge"):
            self.put(s, group, 1, ancient)

        key_before = key_of(time.time())
        s.start()
        base = os.path.realpath(s.dir).encode()
        deleted = [b"[%s/g1/%d] article file deleted [%s]!!\r\n" % (base, n, key_of(old))
                   for n in (1, 2, 3, 57)]
        for line in deleted:
            s.wait_log(line)
        c = self.round_trip(s)
        key_after = key_of(time.time())

        out = s.stdout
        keys = [b"%s\r\n" % k for k in {key_before, key_after}]
        first = min(out.find(line) for line in deleted)
        key_lines = [k for k in keys if out.find(k) != -1 and out.find(k) < first]
        self.assertEqual(len(key_lines), 1, out)
        self.assertEqual(out.count(key_lines[0]), 1, out)
        self.assertTrue(out[:first].endswith(key_lines[0]), out)
        self.assertEqual(out.count(b"article file deleted"), 4, out)

        self.assertEqual(sorted(os.listdir(s.path("g1"))), ["4", "57.old", "58.old", "Message.lst"])
        for group in ("g0", "gneg", "gbig", "ghuge"):
            self.assertTrue(os.path.exists(s.path(group, "1")), group)
        # Four deletions are too few for expiry to write the index itself.
        self.assertEqual(s.read("g1/Message.lst"), b"1\t57\t5\r\n" + entries)

        # Expiry leaves the counters alone but drops the entries.
        self.assertEqual(c.command("GROUP g1"), b"211 5 1 57 g1 group selected!!\r\n")
        self.assertEqual(c.command("XOVER 1-100") + c.read_until(),
                         b"224 Overview information follows!!\r\n"
                         b"4\ts\tf@x\td4\t<4@x>\t\t%d\t104\r\n.\r\n" % len(stored(4)))
        self.assertEqual(c.command("ARTICLE <2@x>"), b"430 no such article found [<2@x>]!!\r\n")

        self.assertEqual(s.stop(), 0)
        self.assertEqual(s.read("g1/Message.lst"), b"1\t57\t5\r\n" + index_line(4, stored(4)))

    def test_eleven_deletions_have_expiry_write_the_index(self):
        s = self.server(start=False, groups=("g1\t1\tx",), settings={"UseExpire": 1})
        now = time.time()
        entries = b"".join(index_line(n, self.put(s, "g1", n, now - 5 * HOUR))
                           for n in range(1, 12))
        fresh = index_line(12, self.put(s, "g1", 12, now))
        s.write("g1/Message.lst", b"1\t12\t12\r\n" + entries + fresh)
        s.start()
        wait_until(lambda: s.read("g1/Message.lst") == b"1\t12\t12\r\n" + fresh,
                   what="the index to lose eleven entries")
        self.assertIsNone(s.proc.poll())
        # The log reaches us through a pipe of its own, so the index on disk
        # may be seen before the lines that told of the deletions.
        wait_until(lambda: s.stdout.count(b"article file deleted") >= 11,
                   what="eleven deletions in the log")
        self.assertEqual(s.stdout.count(b"article file deleted"), 11)
        self.assertEqual(sorted(os.listdir(s.path("g1"))), ["12", "Message.lst"])

    def test_expiry_switched_off_touches_nothing(self):
        s = self.server(start=False, groups=("g1\t1\tx",))
        old = time.time() - 30 * 24 * HOUR
        index = b"1\t2\t2\r\n" + b"".join(index_line(n, self.put(s, "g1", n, old)) for n in (1, 2))
        s.write("g1/Message.lst", index)
        s.start()
        c = self.round_trip(s)
        self.assertEqual(c.command("QUIT"), b"205 closing connection - goodbye!!\r\n")
        s.wait_log(c.prefix + b"Closed!!\r\n")
        self.assertEqual(s.stop(), 0)
        self.assertEqual(sorted(os.listdir(s.path("g1"))), ["1", "2", "Message.lst"])
        self.assertEqual(s.read("g1/Message.lst"), index)
        self.assertNotIn(b"deleted", s.stdout)


class RebuildTest(StoreCase):
    def test_rebuild_recreates_every_index_from_the_files(self):
        s = self.server(start=False, groups=("ra\t0\tx", "rb\t0\tx", "rc\t0\tx"))
        files = {n: self.put(s, "ra", n) for n in (3, 10, 2)}
        self.put(s, "ra", "notes.txt", data=b"not an article\r\n")
        # The old index still lists 1, whose file is gone, and misses 10.
        s.write("ra/Message.lst", b"1\t3\t3\r\n" + index_line(1, stored(1)) +
                index_line(2, files[2], b"stale") + index_line(3, files[3]))
        no_lines = self.put(s, "rb", 5, data=stored(5, lines=False))
        self.put(s, "rb", "12.bak", data=b"Subject: not read\r\n\r\n.\r\n")
        os.makedirs(s.path("rc"))
        s.write("rc/Message.lst", b"4\t9\t2\r\n4\ta\tb\tc\t<4@x>\t1\t1\t\r\n")
        s.start()
        # The round trip also shows the signal handlers are in place.
        c = self.round_trip(s)
        log = s.stdout

        s.signal(signal.SIGUSR1)
        wait_until(lambda: s.read("rc/Message.lst") == b"0\t0\t0\r\n", what="the rebuild")
        self.assertEqual(s.stdout, log)
        self.assertEqual(s.read("ra/Message.lst"), b"2\t10\t3\r\n" + b"".join(
            index_line(n, files[n]) for n in (2, 3, 10)))
        rb = (b"5\t12\t2\r\n5\ts\tf@x\td5\t<5@x>\t%d\t0\t\r\n" % len(no_lines) +
              b"12\t\t\t\t\t0\t0\t\r\n")
        self.assertEqual(s.read("rb/Message.lst"), rb)
        for group in ("ra", "rb", "rc"):
            self.assertNotIn("Message.lst.tmp", os.listdir(s.path(group)))

        self.assertEqual(c.command("GROUP ra"), b"211 3 2 10 ra group selected!!\r\n")
        self.assertEqual(c.command("XOVER 1-100") + c.read_until(),
                         b"224 Overview information follows!!\r\n" + b"".join(
                             b"%d\ts\tf@x\td%d\t<%d@x>\t\t%d\t%d\r\n" %
                             (n, n, n, len(files[n]), n + 100) for n in (2, 3, 10)) + b".\r\n")
        posted = b"Newsgroups: ra\r\nSubject: after\r\n\r\nbody\r\n"
        self.assertEqual(c.post(posted), b"240 article posted successfully!!\r\n")
        self.assertTrue(s.read("ra/11").endswith(posted + b".\r\n"))
        self.assertEqual(c.command("GROUP ra"), b"211 4 2 11 ra group selected!!\r\n")

        # The entry with empty fields keeps its fields in place across a restart.
        overview_rb = (b"224 Overview information follows!!\r\n5\ts\tf@x\td5\t<5@x>\t\t%d\t0\r\n"
                       b"12\t\t\t\t\t\t0\t0\r\n.\r\n" % len(no_lines))
        self.assertEqual(c.command("GROUP rb"), b"211 2 5 12 rb group selected!!\r\n")
        self.assertEqual(c.command("XOVER 1-100") + c.read_until(), overview_rb)
        c.close()
        self.assertEqual(s.stop(), 0)
        s.start()
        c = self.client(s)
        self.assertEqual(c.command("GROUP rb"), b"211 2 5 12 rb group selected!!\r\n")
        self.assertEqual(c.command("XOVER 1-100") + c.read_until(), overview_rb)
