"""POST end to end: what lands in the article files and the index, what the
client and the operator see, and how the end of an article is found."""
import os
import re
import shutil
import socket
import tempfile
import time

from harness import ServerTest, wait_until

OK_240 = b"240 article posted successfully!!\r\n"
GENERATED_ID = re.compile(rb"Message-ID: (<(\d+)@(\d{14})>)\r\n")


def selected(count, first, last, name=b"local.test"):
    """The reply to a GROUP that selected `name`."""
    return b"211 %d %d %d %s group selected!!\r\n" % (count, first, last, name)


def article(groups=b"local.test", subject=b"hello", extra=b"", body=b"first line\r\nsecond\r\n"):
    """Header lines, the blank line and the body, without the final dot line."""
    return (b"From: poster@example.invalid\r\nNewsgroups: " + groups + b"\r\nSubject: " + subject +
            b"\r\n" + extra + b"\r\n" + body)


def lf_count(posted):
    """Lines the server counts for `posted`: every LF, the dot line's included."""
    return posted.count(b"\n") + 1


def index_line(n, subject, sender, date, mid, size, lines, refs=b""):
    fields = (n, subject, sender, date, mid, size, lines, refs)
    return b"%d\t%s\t%s\t%s\t%s\t%d\t%d\t%s\r\n" % fields


def overview_line(n, subject, sender, date, mid, size, lines, refs=b""):
    fields = (n, subject, sender, date, mid, refs, size, lines)
    return b"%d\t%s\t%s\t%s\t%s\t%s\t%d\t%d\r\n" % fields


def stamp(t):
    return time.strftime("%Y%m%d%H%M%S", time.localtime(t)).encode()


def numbered_files(directory):
    return sorted(int(n) for n in os.listdir(directory) if n.isdigit())



class PostingCase(ServerTest):
    """Servers whose temporary files go to a directory the test owns."""

    def start(self, **kwargs):
        self.tmp = tempfile.mkdtemp(prefix="marrowby-tmp-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        return self.server(env={"TMPDIR": self.tmp}, **kwargs)

    def temp_files(self):
        return [n for n in os.listdir(self.tmp) if n.startswith("qmv")]

    def assertNoTempFiles(self):
        self.assertEqual(self.temp_files(), [])

    def prefix(self, client):
        return b"[127.0.0.1/%d] " % client.sock.getsockname()[1]

    def generated_id(self, data, before, after):
        """Checks the generated Message-ID line at the start of `data`; returns the id."""
        m = GENERATED_ID.match(data)
        self.assertIsNotNone(m, data[:80])
        self.assertTrue(1 <= int(m.group(2)) <= 32768, m.group(1))
        # The server reads a coarse clock that may lag ours by a tick, hence
        # the second of slack on either side.
        self.assertTrue(stamp(before - 1) <= m.group(3) <= stamp(after + 1),
                        (m.group(1), stamp(before), stamp(after)))
        return m.group(1)


class StoredArticleTest(PostingCase):
    def test_generated_headers_index_overview_article_and_log(self):
        s = self.start()
        c = self.client(s)
        posted = article(extra=b"Date: Mon, 1 Jan 2024 00:00:00 +0000\r\nReferences: <r1@x>\r\n")
        before = time.time()
        self.assertEqual(c.post(posted), OK_240)
        index = s.read("local.test/Message.lst")
        after = time.time()

        data = s.read("local.test/1")
        mid = self.generated_id(data, before, after)
        lines = lf_count(posted)
        self.assertEqual(lines, 9)
        self.assertEqual(data, b"Message-ID: " + mid + b"\r\nLines: 9\r\n" + posted + b".\r\n")
        date = b"Mon, 1 Jan 2024 00:00:00 +0000"
        sender = b"poster@example.invalid"
        self.assertEqual(index, b"1\t1\t1\r\n" +
                         index_line(1, b"hello", sender, date, mid, len(data), 9, b"<r1@x>"))

        self.assertEqual(c.command("GROUP local.test"), selected(1, 1, 1))
        self.assertEqual(c.command("XOVER 1-1") + c.read_until(),
                         b"224 Overview information follows!!\r\n" +
                         overview_line(1, b"hello", sender, date, mid, len(data), 9, b"<r1@x>") +
                         b".\r\n")
        for arg in (b"1", mid):
            c.send(b"ARTICLE " + arg + b"\r\n")
            self.assertEqual(c.read_line(), b"220 1 " + mid +
                             b" Article retrieved, text follows!!\r\n")
            self.assertEqual(c.read_exact(len(data)), data)

        p = self.prefix(c)
        s.wait_log(p + b"POST\r\n" + p + b"340 continue posting!!\r\n" + p + OK_240)
        self.assertNoTempFiles()

    def test_own_message_id_and_lines_headers(self):
        s = self.start()
        c = self.client(s)
        own = b"Message-ID: <own@example.invalid>\r\n"
        # (extra headers, whether a Message-ID line is added, whether a Lines line is added)
        cases = [
            (own + b"Lines: 3\r\n", False, False),
            (own + b"Lines: 0\r\n", False, True),
            # Header names are exact: this is no Message-ID header.
            (b"message-id: <lower@example.invalid>\r\nLines: 5\r\n", True, False),
            (b"Lines: none\r\n", True, True),
        ]
        for n, (extra, add_id, add_lines) in enumerate(cases, 1):
            with self.subTest(extra=extra):
                posted = article(extra=extra)
                before = time.time()
                self.assertEqual(c.post(posted), OK_240)
                after = time.time()
                data = s.read("local.test/%d" % n)
                expected = b""
                mid = b"<own@example.invalid>"
                if add_id:
                    mid = self.generated_id(data, before, after)
                    expected += b"Message-ID: " + mid + b"\r\n"
                if add_lines:
                    expected += b"Lines: %d\r\n" % lf_count(posted)
                self.assertEqual(data, expected + posted + b".\r\n")
                # The index counts received lines whatever the header says.
                last = s.read("local.test/Message.lst").split(b"\r\n")[-2] + b"\r\n"
                self.assertEqual(last, index_line(n, b"hello", b"poster@example.invalid", b"",
                                                  mid, len(data), lf_count(posted)))
        self.assertTrue(s.read("local.test/Message.lst").startswith(b"1\t4\t4\r\n"))

    def test_index_with_empty_fields_reads_back_after_restart(self):
        s = self.start()
        c = self.client(s)
        posted = (b"Newsgroups: local.test\r\nSubject:\r\nMessage-ID: <bare@x>\r\n"
                  b"Lines: 2\r\n\r\nbody\r\n")
        self.assertEqual(c.post(posted), OK_240)
        size = len(posted) + 3
        self.assertEqual(s.read("local.test/Message.lst"),
                         b"1\t1\t1\r\n1\t\t\t\t<bare@x>\t%d\t7\t\r\n" % size)
        expected = (b"224 Overview information follows!!\r\n1\t\t\t\t<bare@x>\t\t%d\t7\r\n.\r\n"
                    % size)
        c.command("GROUP local.test")
        self.assertEqual(c.command("XOVER 1-9") + c.read_until(), expected)
        c.close()
        self.assertEqual(s.stop(), 0)

        s.start()
        c = self.client(s)
        self.assertEqual(c.command("GROUP local.test"), selected(1, 1, 1))
        self.assertEqual(c.command("XOVER 1-9") + c.read_until(), expected)
        self.assertEqual(c.command("ARTICLE <bare@x>"),
                         b"220 1 <bare@x> Article retrieved, text follows!!\r\n")


class TargetGroupTest(PostingCase):
    def test_posts_without_a_usable_group_store_nothing(self):
        s = self.start(groups=("local.test\t0\tx", "other.group\t0\tx"))
        c = self.client(s)
        cases = [
            (b"Local.Test", b"411 no such news group [Local.Test]!!\r\n"),
            (b"no.such, also.none", b"411 no such news group [no.such, also.none]!!\r\n"),
        ]
        for groups, reply in cases:
            with self.subTest(groups=groups):
                self.assertEqual(c.post(article(groups=groups)), reply)
        missing = b"From: a@b\r\nSubject: no groups\r\n\r\nbody\r\n"
        self.assertEqual(c.post(missing), b"411 no such news group []!!\r\n")
        p = self.prefix(c)
        s.wait_log(p + b"411 no such news group []!!\r\n")

        self.assertEqual(c.command("GROUP local.test"), selected(0, 0, 0))
        for group in ("local.test", "other.group"):
            self.assertEqual(os.listdir(s.path(group)), [])
        self.assertNoTempFiles()

    def test_unknown_names_are_skipped_and_repeated_names_store_twice(self):
        s = self.start(groups=("local.test\t0\tx", "other.group\t0\tx"))
        c = self.client(s)
        one = article(groups=b"no.such,local.test", extra=b"Message-ID: <one@x>\r\n")
        self.assertEqual(c.post(one), OK_240)
        self.assertEqual(numbered_files(s.path("local.test")), [1])
        self.assertEqual(numbered_files(s.path("other.group")), [])

        twice = article(groups=b"local.test,local.test", subject=b"twice")
        self.assertEqual(c.post(twice), OK_240)
        self.assertEqual(numbered_files(s.path("local.test")), [1, 2, 3])
        second, third = s.read("local.test/2"), s.read("local.test/3")
        self.assertEqual(second, third)
        mid = GENERATED_ID.match(second).group(1)
        index = s.read("local.test/Message.lst").split(b"\r\n")
        self.assertEqual(index[0], b"1\t3\t3")
        self.assertEqual([line.split(b"\t")[:5] for line in index[2:4]],
                         [[b"2", b"twice", b"poster@example.invalid", b"", mid],
                          [b"3", b"twice", b"poster@example.invalid", b"", mid]])
        self.assertEqual(c.command("GROUP local.test"), selected(3, 1, 3))
        self.assertFalse(os.path.exists(s.path("other.group", "Message.lst")))
        self.assertNoTempFiles()

    def test_cross_post_shares_one_message_id(self):
        s = self.start(groups=("local.a\t0\tx", "local.b\t0\tx"))
        c = self.client(s)
        self.assertEqual(c.post(article(groups=b"local.b", extra=b"Message-ID: <b1@x>\r\n")),
                         OK_240)
        before = time.time()
        self.assertEqual(c.post(article(groups=b"local.a, local.b", subject=b"both")), OK_240)
        after = time.time()
        copy_a, copy_b = s.read("local.a/1"), s.read("local.b/2")
        self.assertEqual(copy_a, copy_b)
        mid = self.generated_id(copy_a, before, after)
        self.assertTrue(s.read("local.a/Message.lst").startswith(b"1\t1\t1\r\n1\tboth\t"))
        self.assertIn(b"\r\n2\tboth\tposter@example.invalid\t\t" + mid + b"\t",
                      s.read("local.b/Message.lst"))
        self.assertTrue(s.read("local.b/Message.lst").startswith(b"1\t2\t2\r\n"))

        # The next generated id in this process counts on from the last one.
        self.assertEqual(c.post(article(groups=b"local.a")), OK_240)
        counter = int(GENERATED_ID.match(s.read("local.a/2")).group(2))
        self.assertEqual(counter, int(GENERATED_ID.match(copy_a).group(2)) % 65536 + 1)

        other = self.client(s)
        self.assertEqual(other.command(b"ARTICLE " + mid),
                         b"220 1 " + mid + b" Article retrieved, text follows!!\r\n")
        self.assertEqual(other.read_exact(len(copy_a)), copy_a)

    def test_post_rights_follow_the_post_list(self):
        s = self.start(groups=("open\t0\tx", "closed\t0\tx\tAllOk\tbob"),
                       users=("alice\tpw1", "bob\tpw2"), settings={"UseAuthor": 1})

        def login(user, password):
            c = self.client(s)
            self.assertEqual(c.command("AUTHINFO USER " + user), b"381 PASS required!!\r\n")
            self.assertEqual(c.command("AUTHINFO PASS " + password),
                             b"281 User/Password OK!!\r\n")
            return c

        alice = login("alice", "pw1")
        self.assertEqual(alice.post(article(groups=b"closed")),
                         b"411 no such news group [closed]!!\r\n")
        self.assertEqual(alice.post(article(groups=b"closed,open")), OK_240)
        self.assertEqual(numbered_files(s.path("open")), [1])
        self.assertEqual(numbered_files(s.path("closed")), [])

        bob = login("bob", "pw2")
        self.assertEqual(bob.post(article(groups=b"closed")), OK_240)
        self.assertEqual(numbered_files(s.path("closed")), [1])


class ArticleEndTest(PostingCase):
    def test_terminator_split_across_two_sends(self):
        s = self.start()
        c = self.client(s)
        # The last five bytes are CR LF of the last body line and the dot line.
        for n, cut in enumerate((1, 2, 3, 4), 1):
            with self.subTest(second_send=(b"\r\n.\r\n"[-cut:])):
                posted = article(subject=b"split %d" % cut)
                whole = posted + b".\r\n"
                self.assertEqual(c.command("POST"), b"340 continue posting!!\r\n")
                c.send(whole[:-cut])
                c.expect_silence(0.2)
                c.send(whole[-cut:])
                self.assertEqual(c.read_line(), OK_240)
                data = s.read("local.test/%d" % n)
                self.assertTrue(data.endswith(b"Lines: %d\r\n" % lf_count(posted) + whole), data)

    def test_lone_dot_line_right_after_340_does_not_end_the_article(self):
        s = self.start()
        c = self.client(s)
        self.assertEqual(c.command("POST"), b"340 continue posting!!\r\n")
        c.send(b".\r\n")
        c.expect_silence(0.3)
        rest = b"Newsgroups: local.test\r\nSubject: s\r\n\r\nbody\r\n.\r\n"
        c.send(rest)
        self.assertEqual(c.read_line(), OK_240)
        data = s.read("local.test/1")
        mid = GENERATED_ID.match(data).group(1)
        self.assertEqual(data, b"Message-ID: " + mid + b"\r\nLines: 6\r\n.\r\n" + rest)

    def test_bytes_after_the_dot_line_are_commands(self):
        s = self.start()
        c = self.client(s)
        first = article(subject=b"one")
        self.assertEqual(c.command("POST"), b"340 continue posting!!\r\n")
        c.send(first + b".\r\nGROUP local.test\r\n")
        self.assertEqual(c.read_line(), OK_240)
        self.assertEqual(c.read_line(), selected(1, 1, 1))
        data = s.read("local.test/1")
        self.assertTrue(data.endswith(b"Lines: %d\r\n" % lf_count(first) + first + b".\r\n"), data)
        self.assertIn(b"\t%d\t%d\t\r\n" % (len(data), lf_count(first)),
                      s.read("local.test/Message.lst"))
        p = self.prefix(c)
        s.wait_log(p + OK_240 + p + b"GROUP local.test\r\n")

        # The dot line split over two sends, the command behind its end.
        second = article(subject=b"two")
        self.assertEqual(c.command("POST"), b"340 continue posting!!\r\n")
        c.send(second + b".")
        c.expect_silence(0.2)
        c.send(b"\r\nGROUP local.test\r\n")
        self.assertEqual(c.read_line(), OK_240)
        self.assertEqual(c.read_line(), selected(2, 1, 2))
        self.assertNotIn(b"GROUP", s.read("local.test/2"))
        self.assertIn(b"\t%d\t%d\t\r\n" % (len(s.read("local.test/2")), lf_count(second)),
                      s.read("local.test/Message.lst"))

        # A command cut short behind the article is completed by the next send.
        self.assertEqual(c.command("POST"), b"340 continue posting!!\r\n")
        c.send(article(subject=b"three") + b".\r\nGRO")
        self.assertEqual(c.read_line(), OK_240)
        c.expect_silence(0.2)
        c.send(b"UP local.test\r\n")
        self.assertEqual(c.read_line(), selected(3, 1, 3))
        self.assertFalse(s.read("local.test/3").endswith(b"GRO"))

    def test_multi_megabyte_article_round_trip(self):
        s = self.start()
        c = self.client(s)
        line = b"%05d " + b"x" * 72 + b"\r\n"
        body = b"".join(line % i for i in range(40000))
        posted = article(subject=b"big", extra=b"Message-ID: <big@x>\r\n", body=body)
        whole = posted + b".\r\n"
        self.assertGreater(len(whole), 3000000)
        self.assertEqual(c.command("POST"), b"340 continue posting!!\r\n")
        for offset in range(0, len(whole), 300000):
            c.send(whole[offset:offset + 300000])
        self.assertEqual(c.read_line(timeout=30), OK_240)
        expected = b"Lines: %d\r\n" % lf_count(posted) + whole
        self.assertEqual(s.read("local.test/1"), expected)
        self.assertEqual(c.command("GROUP local.test"), selected(1, 1, 1))
        self.assertEqual(c.command("ARTICLE 1"),
                         b"220 1 <big@x> Article retrieved, text follows!!\r\n")
        self.assertEqual(c.read_exact(len(expected), timeout=30), expected)
        self.assertEqual(c.command("XOVER 1-1") + c.read_until(),
                         b"224 Overview information follows!!\r\n" +
                         overview_line(1, b"big", b"poster@example.invalid", b"", b"<big@x>",
                                       len(expected), lf_count(posted)) + b".\r\n")
        s.wait_log(self.prefix(c) + b"Size[%3.3f]K\r\n" % (len(expected) / 1024.0))
        self.assertNoTempFiles()


class NumberingTest(PostingCase):
    def test_existing_files_are_never_overwritten(self):
        s = self.start(start=False)
        indexed = b"Message-ID: <four@x>\r\nNewsgroups: local.test\r\n\r\nfour\r\n.\r\n"
        s.write("local.test/4", indexed)
        s.write("local.test/Message.lst",
                b"1\t4\t1\r\n4\t\t\t\t<four@x>\t%d\t5\t\r\n" % len(indexed))
        s.write("local.test/5", b"stray five\r\n")
        s.write("local.test/6", b"stray six\r\n")
        s.start()
        c = self.client(s)
        self.assertEqual(c.post(article(subject=b"seven", extra=b"Message-ID: <seven@x>\r\n")),
                         OK_240)
        self.assertEqual(s.read("local.test/5"), b"stray five\r\n")
        self.assertEqual(s.read("local.test/6"), b"stray six\r\n")
        self.assertIn(b"Subject: seven\r\n", s.read("local.test/7"))
        index = s.read("local.test/Message.lst")
        self.assertTrue(index.startswith(b"1\t7\t2\r\n4\t\t\t\t<four@x>\t"), index)
        self.assertIn(b"\r\n7\tseven\t", index)

        self.assertEqual(c.post(article(subject=b"eight")), OK_240)
        self.assertIn(b"Subject: eight\r\n", s.read("local.test/8"))
        self.assertEqual(c.command("GROUP local.test"), selected(3, 1, 8))
        listing = c.command("XOVER 1-100") + c.read_until()
        self.assertEqual([l.split(b"\t")[0] for l in listing.split(b"\r\n")[1:-2]],
                         [b"4", b"7", b"8"])
        self.assertEqual(c.command("ARTICLE 7"),
                         b"220 7 <seven@x> Article retrieved, text follows!!\r\n")


# Articles up to a megabyte are held in memory as they arrive; a larger one
# goes to a temporary file.
LARGE_BODY = b"x" * 998 + b"\r\n"
LARGE_LINES = 1100


class TempFileTest(PostingCase):
    def test_small_articles_need_no_temp_file(self):
        s = self.start()
        c = self.client(s)
        self.assertEqual(c.command("POST"), b"340 continue posting!!\r\n")
        c.send(b"Newsgroups: local.test\r\nSubject: small\r\n\r\nhalf a bo")
        c.expect_silence(0.3)
        self.assertEqual(self.temp_files(), [])

    def test_disconnect_in_the_middle_of_a_body_leaves_no_temp_file(self):
        s = self.start()
        c = self.client(s)
        self.assertEqual(c.command("POST"), b"340 continue posting!!\r\n")
        c.send(b"Newsgroups: local.test\r\nSubject: cut\r\n\r\n" + LARGE_BODY * LARGE_LINES)
        wait_until(lambda: self.temp_files(), what="the posting temporary file")
        p = self.prefix(c)
        c.sock.shutdown(socket.SHUT_RDWR)
        c.close()
        s.wait_log(p + b"Closed!!\r\n")
        wait_until(lambda: not self.temp_files(), what="the temporary file to go")
        self.assertEqual(os.listdir(s.path("local.test")), [])

        again = self.client(s)
        self.assertEqual(again.post(article()), OK_240)
        self.assertEqual(numbered_files(s.path("local.test")), [1])
        self.assertNoTempFiles()

    def test_shutdown_in_the_middle_of_a_body_leaves_no_temp_file(self):
        s = self.start()
        c = self.client(s)
        self.assertEqual(c.command("POST"), b"340 continue posting!!\r\n")
        c.send(b"Newsgroups: local.test\r\n\r\n" + LARGE_BODY * LARGE_LINES)
        wait_until(lambda: self.temp_files(), what="the posting temporary file")
        self.assertEqual(s.stop(), 0)
        self.assertNoTempFiles()

    def test_temp_file_that_cannot_be_made_gives_411(self):
        s = self.server(env={"TMPDIR": "/nonexistent-marrowby-tmp"})
        c = self.client(s)
        self.assertEqual(c.post(article(body=LARGE_BODY * LARGE_LINES)),
                         b"411 no such news group []!!\r\n")
        self.assertEqual(os.listdir(s.path("local.test")), [])
        self.assertEqual(c.command("GROUP local.test"), selected(0, 0, 0))
