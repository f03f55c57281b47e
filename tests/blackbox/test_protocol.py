"""The NNTP commands and the framing of command texts, without authentication."""
import os
import socket
import time
import unittest

from harness import Client, ServerTest, index_text, xover_line

GROUPS = (
    "local.test\t0\tnote",
    # With authentication off the read and post lists are not consulted.
    "local.other\t24\tnote\tnobody\tnobody",
    "local.empty\t0\tnote",
)

# Index entries of local.test, in file order (deliberately not sorted). Article
# 4 has an index line but no file; article 9 has an empty subject.
ENTRIES = [
    (5, "Fifth", "Eve <eve@example.org>", "Sat, 06 Dec 2003 14:05:00 +0900", "<5@example.org>",
     180, 7, "<3@example.org>"),
    (3, b"Hello \x83e\x83X\x83g", "Bob <bob@example.org>", "Fri, 05 Dec 2003 09:00:00 +0900",
     "<3@example.org>", 2560, 12, ""),
    (9, "", "Ann <ann@example.org>", "Sun, 07 Dec 2003 10:00:00 +0900", "<9@example.org>",
     150, 6, "<3@example.org> <5@example.org>"),
    (4, "Gone", "Bob <bob@example.org>", "Fri, 05 Dec 2003 10:00:00 +0900", "<4@example.org>",
     120, 5, ""),
    (7, "Seventh", "Eve <eve@example.org>", "Sat, 06 Dec 2003 18:00:00 +0900", "<7@example.org>",
     160, 6, ""),
]
BY_NUMBER = {e[0]: e for e in ENTRIES}


def article(mid, subject, body, size=None):
    """An article file as the server stores it: header, blank line, body,
    terminating dot line. With `size`, the body is padded to that many bytes."""
    head = b"Message-ID: %s\r\nSubject: %s\r\nFrom: Bob <bob@example.org>\r\n\r\n" % (
        mid.encode(), subject)
    tail = b".\r\n"
    if size is not None:
        pad = size - len(head) - len(body) - len(tail) - 2
        body += b"p" * pad + b"\r\n"
    return head + body + tail


ARTICLES = {
    3: article("<3@example.org>", b"Hello \x83e\x83X\x83g",
               b"..a dot-stuffed line\r\n\x83e\x83X\x83g\r\n\r\n", size=2560),
    5: article("<5@example.org>", b"Fifth", b"Body of five.\r\n"),
    7: article("<7@example.org>", b"Seventh", b"Body of seven.\r\n"),
    9: article("<9@example.org>", b"", b"Body of nine.\r\n"),
}
assert len(ARTICLES[3]) == 2560

XOVER_224 = b"224 Overview information follows!!\r\n"


class ProtocolTest(ServerTest):
    def server(self, *args, **kwargs):
        s = super().server(*args, **kwargs)
        self.expect_running_at_end(s)
        return s

    def start(self, **kwargs):
        kwargs.setdefault("groups", GROUPS)
        s = self.server(start=False, **kwargs)
        s.write("local.test/Message.lst", index_text((3, 9, 5), ENTRIES))
        for number, data in ARTICLES.items():
            s.write("local.test/%d" % number, data)
        s.start()
        return s

    def xover(self, c, rng):
        c.send("XOVER %s\r\n" % rng)
        return c.read_until()

    def expected_xover(self, numbers):
        return XOVER_224 + b"".join(xover_line(BY_NUMBER[n]) for n in numbers) + b".\r\n"


class ListTest(ProtocolTest):
    def test_list_shows_every_group_in_settings_order(self):
        s = self.start()
        c = self.client(s)
        want = (b"215 list of newsgroups follows!!\r\n"
                b"local.test 9 3 y\r\nlocal.other 0 0 y\r\nlocal.empty 0 0 y\r\n.\r\n")
        for command in ("LIST", "list", "LiSt"):
            with self.subTest(command=command):
                c.send(command + "\r\n")
                self.assertEqual(c.read_until(), want)
        c.expect_silence(0.1)
        # Three log lines per LIST; the group lines are not logged.
        p = c.prefix
        s.wait_log(p + b"LiSt\r\n" + p + b"215 list of newsgroups follows!!\r\n" + p + b".\r\n")
        self.assertNotIn(b"local.other 0 0 y", s.stdout)

    def test_overview_format(self):
        s = self.start()
        c = self.client(s)
        want = (b"215 Order of fields in overview database.\r\nSubject:\r\nFrom:\r\nDate:\r\n"
                b"Message-ID:\r\nReferences:\r\nBytes:\r\nLines:\r\n.\r\n")
        for command in ("LIST OVERVIEW.FMT", "list overview.fmt"):
            with self.subTest(command=command):
                c.send(command + "\r\n")
                self.assertEqual(c.read_until(), want)
        c.expect_silence(0.1)


class UnrecognisedTest(ProtocolTest):
    def test_commands_outside_the_table_get_500(self):
        s = self.start()
        c = self.client(s)
        for command in ("LIST ACTIVE", "LIST NEWSGROUPS", "LIST OVERVIEW.FMT x", "GROUP",
                        "GROUP local.test extra", "XOVER", "ARTICLE", "ARTICLE 3 4", "POST now",
                        "QUIT now", "HEAD 3", "BODY 3", "STAT 3", "NEXT", "MODE READER",
                        "AUTHINFO USER alice", "AUTHINFO PASS secret"):
            with self.subTest(command=command):
                self.assertEqual(c.command(command), b"500 command not recognized!!\r\n")
        # POST with a word did not enter body mode; QUIT with a word did not end.
        self.assertEqual(c.command("GROUP local.test"),
                         b"211 5 3 9 local.test group selected!!\r\n")
        c.expect_silence(0.1)

    def test_blank_text_gets_no_reply_and_no_log_line(self):
        s = self.start()
        c = self.client(s)
        greeted = s.wait_log(c.prefix + b"200 connected!!\r\n")
        c.send(" \t \r\n\r\n")
        c.expect_silence(0.3)
        self.assertEqual(s.stdout, greeted)
        self.assertEqual(c.command("GROUP local.empty"),
                         b"211 0 0 0 local.empty group selected!!\r\n")


class GroupTest(ProtocolTest):
    def test_group_selects_and_names_are_case_sensitive(self):
        s = self.start()
        c = self.client(s)
        self.assertEqual(c.command("XOVER 1-10"), b"412 No news group current selected!!\r\n")
        self.assertEqual(c.command("ARTICLE 3"), b"412 No news group current selected!!\r\n")
        self.assertEqual(c.command("group local.test"),
                         b"211 5 3 9 local.test group selected!!\r\n")
        self.assertEqual(c.command("GROUP local.empty"),
                         b"211 0 0 0 local.empty group selected!!\r\n")
        self.assertEqual(c.command("GROUP Local.Test"),
                         b"411 no such news group [Local.Test]!!\r\n")
        # A failing GROUP leaves no group selected.
        self.assertEqual(c.command("XOVER 1-10"), b"412 No news group current selected!!\r\n")
        self.assertEqual(c.command("ARTICLE 3"), b"412 No news group current selected!!\r\n")
        self.assertEqual(c.command("GROUP local.test"),
                         b"211 5 3 9 local.test group selected!!\r\n")
        self.assertEqual(c.command("GROUP no.such"), b"411 no such news group [no.such]!!\r\n")
        self.assertEqual(c.command("XOVER 1-10"), b"412 No news group current selected!!\r\n")


class XoverTest(ProtocolTest):
    def test_ranges_select_in_index_order(self):
        s = self.start()
        c = self.client(s)
        c.command("GROUP local.test")
        cases = [
            ("1-100", [5, 3, 9, 4, 7]),
            ("3-5", [5, 3, 4]),
            ("4-4", [4]),
            ("9-3", []),             # reversed: nothing between 224 and the dot
            ("10-20", []),
            ("5", [5]),              # a single number: that article only
            ("6", []),
            ("5-", [5, 9, 7]),       # open: up to the group's last number
            ("-4", [3, 4]),          # everything up to 4
            ("1-3-9", [3]),          # fields after the second are ignored
        ]
        for rng, numbers in cases:
            with self.subTest(range=rng):
                self.assertEqual(self.xover(c, rng), self.expected_xover(numbers))
        c.expect_silence(0.1)

    def test_open_range_stops_at_the_last_number(self):
        # The counters claim 7 as the last number; the entry 9 lies beyond it.
        s = self.server(start=False, groups=GROUPS)
        s.write("local.test/Message.lst", index_text((3, 7, 5), ENTRIES))
        s.start()
        c = self.client(s)
        c.command("GROUP local.test")
        self.assertEqual(self.xover(c, "4-"), self.expected_xover([5, 4, 7]))


class ArticleTest(ProtocolTest):
    def read_article(self, c, command, number):
        entry = BY_NUMBER[number]
        self.assertEqual(c.command(command),
                         b"220 %d %s Article retrieved, text follows!!\r\n" % (number,
                                                                               entry[4].encode()))
        self.assertEqual(c.read_exact(len(ARTICLES[number])), ARTICLES[number])
        c.expect_silence(0.1)

    def test_by_number_sends_the_file_as_stored_and_logs_four_lines(self):
        s = self.start()
        c = self.client(s)
        c.command("GROUP local.test")
        self.read_article(c, "ARTICLE 3", 3)
        p = c.prefix
        s.wait_log(p + b"ARTICLE 3\r\n"
                   + p + b"220 3 <3@example.org> Article retrieved, text follows!!\r\n"
                   + p + b"Size[2.500]K\r\n"
                   + p + b".\r\n")
        self.read_article(c, "article 9", 9)
        self.assertEqual(c.command("ARTICLE 6"), b"430 no such article found [6]!!\r\n")
        self.assertEqual(c.command("ARTICLE 007"), b"220 7 <7@example.org> Article retrieved, "
                                                   b"text follows!!\r\n")
        self.assertEqual(c.read_exact(len(ARTICLES[7])), ARTICLES[7])

    def test_by_message_id_needs_no_group_and_selects_it(self):
        s = self.start()
        c = self.client(s)
        self.read_article(c, "ARTICLE <5@example.org>", 5)
        self.assertEqual(self.xover(c, "5"), self.expected_xover([5]))
        self.read_article(c, "ARTICLE 3", 3)
        for mid in ("<nope@example.org>", "<5@EXAMPLE.ORG>", "<5@example.org"):
            with self.subTest(mid=mid):
                self.assertEqual(c.command("ARTICLE " + mid),
                                 b"430 no such article found [%s]!!\r\n" % mid.encode())

    def test_entry_whose_file_is_missing_is_dropped(self):
        s = self.start()
        c = self.client(s)
        self.assertEqual(c.command("ARTICLE <4@example.org>"),
                         b"430 no such article found [<4@example.org>]!!\r\n")
        self.assertEqual(self.xover(c, "1-100"), self.expected_xover([5, 3, 9, 7]))
        self.assertEqual(c.command("ARTICLE 4"), b"430 no such article found [4]!!\r\n")
        # A file deleted while the server runs is noticed the same way, and
        # other connections see the repaired list too.
        os.remove(s.path("local.test", "9"))
        self.assertEqual(c.command("ARTICLE 9"), b"430 no such article found [9]!!\r\n")
        other = self.client(s)
        other.command("GROUP local.test")
        self.assertEqual(self.xover(other, "1-100"), self.expected_xover([5, 3, 7]))

    def test_file_changed_after_it_was_sent_is_sent_as_it_now_is(self):
        s = self.start()
        c = self.client(s)
        c.command("GROUP local.test")
        path = s.path("local.test", "5")
        status = b"220 5 <5@example.org> Article retrieved, text follows!!\r\n"

        def article_now(expected):
            self.assertEqual(c.command("ARTICLE 5"), status)
            self.assertEqual(c.read_until(), expected)
            s.wait_log(c.prefix + b"Size[%.3f]K\r\n" % (len(expected) / 1024))

        for _ in range(2):
            article_now(ARTICLES[5])
        # Rewritten in place with as many bytes: nothing but the bytes differ.
        same_size = ARTICLES[5].replace(b"five", b"FIVE")
        with open(path, "r+b") as f:
            f.write(same_size)
        article_now(same_size)
        # Replaced by another file under the same name, as an editor saves.
        longer = article("<5@example.org>", b"Fifth", b"A longer body of five.\r\n" * 50)
        with open(path + ".new", "wb") as f:
            f.write(longer)
        os.replace(path + ".new", path)
        article_now(longer)
        os.remove(path)
        self.assertEqual(c.command("ARTICLE 5"), b"430 no such article found [5]!!\r\n")
        self.assertEqual(self.xover(c, "1-100"), self.expected_xover([3, 9, 4, 7]))


class FramingTest(ProtocolTest):
    def test_command_split_over_three_sends_is_answered_once(self):
        s = self.start()
        c = self.client(s)
        c.send("GRO")
        c.expect_silence(0.15)
        c.send("UP local.test\r")
        c.expect_silence(0.15)
        c.send("\n")
        self.assertEqual(c.read_line(), b"211 5 3 9 local.test group selected!!\r\n")
        c.expect_silence(0.2)
        out = s.wait_log(c.prefix + b"GROUP local.test\r\n")
        self.assertEqual(out.count(b"GROUP local.test"), 1)

    def test_two_commands_in_one_send_are_one_text(self):
        s = self.start()
        c = self.client(s)
        c.send("LIST\r\nQUIT\r\n")
        self.assertEqual(c.read_line(), b"500 command not recognized!!\r\n")
        c.expect_silence(0.3)
        self.assertEqual(c.command("GROUP local.test"),
                         b"211 5 3 9 local.test group selected!!\r\n")

    def test_text_is_dispatched_only_after_a_cr_and_an_lf(self):
        s = self.start()
        c = self.client(s)
        c.send("LIST\n")
        c.expect_silence(0.2)
        c.send("\r")
        c.expect_silence(0.2)
        c.send("\n")
        self.assertEqual(c.read_until(),
                         b"215 list of newsgroups follows!!\r\n"
                         b"local.test 9 3 y\r\nlocal.other 0 0 y\r\nlocal.empty 0 0 y\r\n.\r\n")
        c.expect_silence(0.2)
        # A NUL cuts its block: what follows it in the same send is ignored.
        c.send(b"GROUP local.empty\0 junk\r\n")
        c.expect_silence(0.2)
        c.send(b"\r\n")
        self.assertEqual(c.read_line(), b"211 0 0 0 local.empty group selected!!\r\n")

    def test_too_much_text_without_a_command_closes_only_that_connection(self):
        s = self.start()
        bystander = self.client(s)
        offender = self.client(s)
        p = offender.prefix
        # Exactly 64 KiB of pending text is still one command.
        offender.send(b"Y" * 65536)
        offender.expect_silence(0.2)
        offender.send(b"\r\n")
        self.assertEqual(offender.read_line(), b"500 command not recognized!!\r\n")
        before = s.wait_log(p + b"500 command not recognized!!\r\n")
        offender.send(b"X" * 65537)
        self.assertEqual(offender.wait_closed(), b"")
        out = s.wait_log(p + b"Closed!!\r\n")
        tail = out[len(before):]
        self.assertNotIn(b"XXXX", tail)
        # A line of its own tells the operator why, before the connection goes.
        lines = tail.split(b"\r\n")
        self.assertTrue(lines[0].startswith(p), tail)
        self.assertNotEqual(lines[0], p + b"Closed!!", tail)
        self.assertEqual(bystander.command("GROUP local.test"),
                         b"211 5 3 9 local.test group selected!!\r\n")
        late = self.client(s)
        self.assertEqual(late.command("GROUP local.empty"),
                         b"211 0 0 0 local.empty group selected!!\r\n")


class ConnectionEndTest(ProtocolTest):
    def test_quit_answers_then_the_server_closes(self):
        s = self.start()
        c = self.client(s)
        p = c.prefix
        self.assertEqual(c.command("quit"), b"205 closing connection - goodbye!!\r\n")
        self.assertEqual(c.wait_closed(), b"")
        out = s.wait_log(p + b"Closed!!\r\n")
        self.assertIn(p + b"quit\r\n" + p + b"205 closing connection - goodbye!!\r\n"
                      + p + b"Closed!!\r\n", out)

    def test_peer_closing_is_logged(self):
        s = self.start()
        c = self.client(s)
        p = c.prefix
        c.close()
        s.wait_log(p + b"Closed!!\r\n")
        other = self.client(s)
        self.assertEqual(other.command("GROUP local.test"),
                         b"211 5 3 9 local.test group selected!!\r\n")


class SlowClient(Client):
    """A client with a small receive window, so the server's sends fill up."""

    def __init__(self, port, timeout=5.0):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.sock.settimeout(timeout)
        self.sock.connect(("127.0.0.1", port))
        self.buf = bytearray()
        self.timeout = timeout


class LargeArticleTest(ProtocolTest):
    def test_large_article_reaches_a_slow_reader_intact(self):
        size = 5 * 1024 * 1024
        lines = []
        total = 0
        i = 0
        while total < size - 200:
            line = b"line %07d %s\r\n" % (i, bytes([65 + i % 26]) * (i % 61))
            lines.append(line)
            total += len(line)
            i += 1
        head = b"Message-ID: <big@example.org>\r\nSubject: big\r\n\r\n"
        body = head + b"".join(lines)
        data = body + b"z" * (size - len(body) - 5) + b"\r\n.\r\n"
        self.assertEqual(len(data), size)
        s = self.server(start=False)
        s.write("local.test/Message.lst", index_text(
            (1, 1, 1), [(1, "big", "Bob <bob@example.org>", "Sat", "<big@example.org>",
                         size, i, "")]))
        s.write("local.test/1", data)
        s.start()
        c = SlowClient(s.port)
        self.addCleanup(c.close)
        self.assertEqual(c.read_line(), b"200 connected!!\r\n")
        self.assertEqual(c.command("GROUP local.test"),
                         b"211 1 1 1 local.test group selected!!\r\n")
        c.send("ARTICLE 1\r\n")
        # Leave the data unread for a while so the server's sends stop short;
        # the server must go on serving others meanwhile.
        other = self.client(s)
        self.assertEqual(other.command("GROUP local.test"),
                         b"211 1 1 1 local.test group selected!!\r\n")
        time.sleep(0.3)
        deadline = time.time() + 30
        received = bytearray()
        want = b"220 1 <big@example.org> Article retrieved, text follows!!\r\n" + data
        c.sock.settimeout(5)
        while len(received) < len(want) and time.time() < deadline:
            chunk = c.sock.recv(4096 if len(received) < 1 << 20 else 1 << 20)
            if not chunk:
                break
            received.extend(chunk)
            if len(received) < 1 << 20:
                time.sleep(0.001)
        self.assertEqual(len(received), len(want))
        self.assertTrue(bytes(received) == want, "article bytes differ")
        c.expect_silence(0.1)
        s.wait_log(c.prefix + b"Size[5120.000]K\r\n")


if __name__ == "__main__":
    unittest.main()
