"""The standard reader mode (UseRfc3977 1): one command per line, the reader
commands and their replies, the current article, posting rules and access
rights; and, with the switch off, the old single-command behaviour."""
import calendar
import email.utils
import os
import re
import subprocess
import time
import unittest
import warnings

from harness import Server, ServerTest, index_text, xover_line

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    try:
        import nntplib
    except ImportError:  # gone from Python 3.13 on
        nntplib = None

# The fixtures' dates lie in 2024: a long history lets the article checks
# take them, and a fixed path identity makes the stored Path known.
READER = {"UseRfc3977": 1, "PathHost": "news.test", "HistoryDays": 100000}
PATH_LINE = b"Path: news.test!not-for-mail\r\n"
GROUPS = ("local.test\t0\ttest-note", "local.other\t0\tother-note", "local.empty\t0\tempty-note")
OK_240 = b"240 article posted successfully!!\r\n"
OVERVIEW = b"224 Overview information follows!!\r\n"
NO_GROUP = b"412 No news group current selected!!\r\n"
AUTH_REQUIRED = b"480 Authentication required for command!!\r\n"
OVERVIEW_FMT = (b"215 Order of fields in overview database.\r\nSubject:\r\nFrom:\r\nDate:\r\n"
                b"Message-ID:\r\nReferences:\r\nBytes:\r\nLines:\r\n.\r\n")
CAPABILITIES = (b"101 Capability list:\r\nVERSION 2\r\nREADER\r\nPOST\r\n"
                b"LIST ACTIVE NEWSGROUPS OVERVIEW.FMT\r\nOVER MSGID\r\nHDR\r\n")
# The modification time of local.test/1: 2024-01-01 00:00:00 UTC.
OLD_MTIME = calendar.timegm((2024, 1, 1, 0, 0, 0))


def stored_article(group, number, subject, mid, refs=b""):
    """Bytes of a fixture article file: header, blank line, a body with a
    dot-stuffed line, and the terminating line."""
    head = (b"From: poster@example.invalid\r\nNewsgroups: %s\r\nSubject: %s\r\n"
            b"Date: Mon, 01 Jan 2024 00:00:%02d +0000\r\nMessage-ID: %s\r\n"
            % (group, subject, number, mid))
    if refs:
        head += b"References: " + refs + b"\r\n"
    head += b"X-Colour: colour-%d\r\nLines: 2\r\n" % number
    return head + b"\r\nline one of %d\r\n..dotted line\r\n.\r\n" % number


# group -> [(number, subject, Message-ID, references)]; <2@fixture> is
# cross-posted (number 2 here, 1 in local.other); local.test has no 3.
FIXTURE = {
    b"local.test": [(1, b"first", b"<1@fixture>", b""),
                    (2, b"second", b"<2@fixture>", b"<1@fixture>"),
                    (4, b"fourth", b"<4@fixture>", b"")],
    b"local.other": [(1, b"second", b"<2@fixture>", b"<1@fixture>"),
                     (2, b"ninth", b"<9@fixture>", b"")],
}


def write_fixture(server):
    """Writes the fixture's article files and indexes; returns
    {(group, number): (file bytes, index entry)}."""
    articles = {}
    for group, rows in FIXTURE.items():
        entries = []
        for number, subject, mid, refs in rows:
            data = stored_article(group, number, subject, mid, refs)
            entry = (number, subject, b"poster@example.invalid",
                     b"Mon, 01 Jan 2024 00:00:%02d +0000" % number, mid, len(data), 2, refs)
            server.write("%s/%d" % (group.decode(), number), data)
            entries.append(entry)
            articles[(group, number)] = (data, entry)
        counters = (rows[0][0], rows[-1][0], len(rows))
        server.write(group.decode() + "/Message.lst", index_text(counters, entries))
    os.utime(server.path("local.test", "1"), (OLD_MTIME, OLD_MTIME))
    return articles


def head_and_body(data):
    blank = data.index(b"\r\n\r\n")
    return data[:blank + 2] + b".\r\n", data[blank + 4:]


def birth_time_known(path):
    """Whether the file system records when `path` was created."""
    out = subprocess.run(["stat", "-c", "%W", path], capture_output=True, timeout=5)
    return out.returncode == 0 and out.stdout.strip() not in (b"0", b"-", b"?")


class ReaderCase(ServerTest):
    def reader_server(self, fixture=False, **kwargs):
        kwargs.setdefault("groups", GROUPS)
        kwargs["settings"] = dict(READER, **kwargs.get("settings", {}))
        s = self.server(start=False, **kwargs)
        self.articles = write_fixture(s) if fixture else {}
        s.start()
        return s

    def listing(self, client, command):
        """The status line and, for a 1xx or 2xx reply, the data lines up to
        and including the terminating line."""
        reply = client.command(command)
        if reply[:1] in b"12":
            for _ in range(1000):
                line = client.read_line()
                reply += line
                if line == b".\r\n":
                    break
        return reply

    def assertStatus(self, client, command, code, args=b""):
        """Checks the code and the arguments that begin a reply in the
        standard's wording, whose text may differ."""
        line = client.command(command)
        self.assertTrue(line.startswith(code + b" " + args) and line.endswith(b"\r\n"),
                        "%r -> %r" % (command, line))
        return line


class FixtureCase(ReaderCase):
    """One server with the fixture for tests that only read; every test uses
    connections of its own, which carry all the state under test."""

    @classmethod
    def setUpClass(cls):
        # Local time nine hours ahead of UTC, so that local and UTC differ.
        cls.shared = Server(start=False, groups=GROUPS, settings=READER, env={"TZ": "JST-9"})
        try:
            cls.fixture = write_fixture(cls.shared)
            cls.shared.start()
        except Exception:
            cls.shared.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.shared.close()

    def data(self, group, number):
        return self.fixture[(group, number)][0]

    def entry(self, group, number):
        return self.fixture[(group, number)][1]


class FramingTest(ReaderCase):
    def test_pipelined_commands_are_answered_in_order_and_partial_lines_wait(self):
        s = self.reader_server(fixture=True)
        c = self.client(s)
        c.send(b"GROUP local.test\r\nGROUP no.such\r\nGROUP local.other\r\nSTAT\r\n"
               b"GROUP local.empty\r\nGROUP local.test\r\n")
        self.assertEqual(c.read_line(), b"211 3 1 4 local.test group selected!!\r\n")
        self.assertEqual(c.read_line(), b"411 no such news group [no.such]!!\r\n")
        self.assertEqual(c.read_line(), b"211 2 1 2 local.other group selected!!\r\n")
        self.assertTrue(c.read_line().startswith(b"223 1 <2@fixture> "))
        self.assertEqual(c.read_line(), b"211 0 0 0 local.empty group selected!!\r\n")
        self.assertEqual(c.read_line(), b"211 3 1 4 local.test group selected!!\r\n")
        c.expect_silence(0.2)

        # A command split anywhere, CR and LF apart included, waits for its end.
        for piece in (b"GROUP loc", b"al.other\r"):
            c.send(piece)
            c.expect_silence(0.2)
        c.send(b"\nGROUP local.empty\r\nGRO")
        self.assertEqual(c.read_line(), b"211 2 1 2 local.other group selected!!\r\n")
        self.assertEqual(c.read_line(), b"211 0 0 0 local.empty group selected!!\r\n")
        c.expect_silence(0.2)
        c.send(b"UP local.test\r\n")
        self.assertEqual(c.read_line(), b"211 3 1 4 local.test group selected!!\r\n")

        # Article files and status lines leave in the order asked for.
        one, four = self.articles[(b"local.test", 1)][0], self.articles[(b"local.test", 4)][0]
        c.send(b"ARTICLE 1\r\nBODY 4\r\nSTAT\r\n")
        self.assertEqual(c.read_line(),
                         b"220 1 <1@fixture> Article retrieved, text follows!!\r\n")
        self.assertEqual(c.read_exact(len(one)), one)
        self.assertTrue(c.read_line().startswith(b"222 4 <4@fixture> "))
        self.assertEqual(c.read_exact(len(four) - four.index(b"\r\n\r\n") - 4),
                         four[four.index(b"\r\n\r\n") + 4:])
        self.assertTrue(c.read_line().startswith(b"223 4 <4@fixture> "))

    def test_a_long_batch_of_complete_commands_is_not_cut_off(self):
        s = self.reader_server(fixture=True)
        c = self.client(s)
        c.command("GROUP local.test")
        # 240 kB: the server takes in far more than a pending command may hold.
        count = 30000
        c.send(b"STAT 2\r\n" * count + b"DATE\r\n")
        for _ in range(count):
            self.assertTrue(c.read_line(timeout=30).startswith(b"223 2 <2@fixture> "))
        self.assertTrue(c.read_line().startswith(b"111 "))

    def test_article_sent_with_post_and_commands_after_it(self):
        s = self.reader_server()
        c = self.client(s)
        posted = (b"From: a@example.invalid\r\nNewsgroups: local.test\r\nSubject: piped\r\n"
                  b"Message-ID: <piped@x>\r\nDate: Tue, 02 Jan 2024 10:00:00 +0000\r\n"
                  b"Lines: 2\r\n\r\nGROUP local.other\r\n..QUIT\r\n")
        c.send(b"POST\r\n" + posted + b".\r\nGROUP local.test\r\nSTAT 1\r\n")
        self.assertEqual(c.read_line(), b"340 continue posting!!\r\n")
        self.assertEqual(c.read_line(), OK_240)
        self.assertEqual(c.read_line(), b"211 1 1 1 local.test group selected!!\r\n")
        self.assertTrue(c.read_line().startswith(b"223 1 <piped@x> "))
        # Lines inside the article are article text, not commands.
        self.assertEqual(s.read("local.test/1"), PATH_LINE + posted + b".\r\n")

        # The terminating line split over two sends, a command right behind it.
        second = posted.replace(b"<piped@x>", b"<split@x>")
        c.send(b"POST\r\n" + second[:20])
        self.assertEqual(c.read_line(), b"340 continue posting!!\r\n")
        c.send(second[20:] + b".")
        c.expect_silence(0.2)
        c.send(b"\r\nSTAT 2\r\nQUIT\r\nSTAT 1\r\n")
        self.assertEqual(c.read_line(), OK_240)
        self.assertTrue(c.read_line().startswith(b"223 2 <split@x> "))
        # Nothing after QUIT is answered.
        self.assertEqual(c.wait_closed(), b"205 closing connection - goodbye!!\r\n")
        self.assertEqual(s.read("local.test/2"), PATH_LINE + second + b".\r\n")


class CommandsTest(FixtureCase):
    def test_capabilities_mode_reader_date_quit(self):
        c = self.client(self.shared)
        self.assertEqual(self.listing(c, "CAPABILITIES"), CAPABILITIES + b".\r\n")
        self.assertEqual(c.command("mode reader"), b"200 Posting allowed\r\n")
        before = time.time()
        line = c.command("DATE")
        after = time.time()
        m = re.match(rb"111 (\d{14})\r\n$", line)
        self.assertIsNotNone(m, line)
        # Universal time although the server's local time is nine hours ahead.
        got = calendar.timegm(time.strptime(m.group(1).decode(), "%Y%m%d%H%M%S"))
        self.assertTrue(int(before) <= got <= after + 1, (line, before))
        self.assertEqual(c.command("QUIT"), b"205 closing connection - goodbye!!\r\n")
        self.assertEqual(c.wait_closed(), b"")

    def test_unknown_commands_and_wrong_syntax(self):
        c = self.client(self.shared)
        self.assertEqual(c.command("FROBNICATE"), b"500 command not recognized!!\r\n")
        self.assertEqual(c.command("GROUP local.test"), b"211 3 1 4 local.test group selected!!\r\n")
        for command in ("GROUP", "GROUP local.test extra", "ARTICLE 1 2", "ARTICLE one",
                        "HEAD -1", "STAT 1-2", "XOVER 1-x", "OVER x-2", "OVER 1-2 3", "NEXT 1",
                        "LAST 1", "HDR", "XHDR Subject 1-x", "LISTGROUP local.test 1-x",
                        "LIST BOGUS", "LIST OVERVIEW.FMT x", "MODE", "MODE READER NOW",
                        "NEWGROUPS 20240101", "NEWGROUPS 20241301 000000",
                        "NEWGROUPS 20240101 000000 UTC", "NEWNEWS *", "NEWNEWS * 240101 0000",
                        "POST now", "DATE now", "QUIT now"):
            with self.subTest(command=command):
                self.assertStatus(c, command, b"501")
        # None of them changed the selection or ended the connection.
        self.assertTrue(c.command("STAT").startswith(b"223 1 <1@fixture> "))
        # Syntax comes before state: the same without a group selected.
        fresh = self.client(self.shared)
        for command in ("STAT abc", "XOVER x-y", "HEAD 1-2-3", "ARTICLE one", "OVER x-2",
                        "XHDR Subject 1-x", "LISTGROUP local.test 1-x", "NEXT 1"):
            with self.subTest(command=command, group=None):
                self.assertStatus(fresh, command, b"501")
        self.assertEqual(fresh.command("STAT 1"), NO_GROUP)

    def test_list_variants(self):
        c = self.client(self.shared)
        active = b"215 list of newsgroups follows!!\r\n"
        all_active = b"local.test 4 1 y\r\nlocal.other 2 1 y\r\nlocal.empty 0 0 y\r\n"
        cases = [  # (command, whole status text or the start of one, data lines)
            ("LIST", active, all_active),
            ("list active", active, all_active),
            ("LIST ACTIVE local.[et]*", active, b"local.test 4 1 y\r\nlocal.empty 0 0 y\r\n"),
            ("LIST ACTIVE *,!local.other", active, b"local.test 4 1 y\r\nlocal.empty 0 0 y\r\n"),
            ("LIST ACTIVE no.such", active, b""),
            ("LIST NEWSGROUPS", b"215 ", b"local.test\ttest-note\r\nlocal.other\tother-note\r\n"
                                        b"local.empty\tempty-note\r\n"),
            ("LIST NEWSGROUPS *.o?her", b"215 ", b"local.other\tother-note\r\n"),
            ("LIST OVERVIEW.FMT", OVERVIEW_FMT[:-3], b""),
        ]
        for command, status, data in cases:
            with self.subTest(command=command):
                got = self.listing(c, command)
                if status.endswith(b"\r\n"):
                    self.assertEqual(got, status + data + b".\r\n")
                else:  # a reply in the standard's wording
                    self.assertTrue(got.startswith(status), got)
                    self.assertEqual(got.partition(b"\r\n")[2], data + b".\r\n")

    def test_newgroups_by_directory_creation_time(self):
        c = self.client(self.shared)
        known = birth_time_known(self.shared.path("local.test"))
        expected = (b"local.test 4 1 y\r\nlocal.other 2 1 y\r\nlocal.empty 0 0 y\r\n"
                    if known else b"")
        tomorrow = time.strftime("%Y%m%d", time.gmtime(time.time() + 86400))
        cases = [("NEWGROUPS 20000101 000000 GMT", expected),
                 # Two-digit years: this century up to the current year,
                 # else the last one (99 is 1999, not 2099).
                 ("NEWGROUPS 000101 000000", expected),
                 ("NEWGROUPS 991231 000000", expected),
                 ("NEWGROUPS %s 000000 GMT" % tomorrow, b"")]
        for command, data in cases:
            with self.subTest(command=command):
                got = self.listing(c, command)
                self.assertTrue(got.startswith(b"231 "), got)
                self.assertEqual(got.partition(b"\r\n")[2], data + b".\r\n")

    def test_newnews_by_file_time_group_pattern_and_zone(self):
        c = self.client(self.shared)
        # local.test/1 was written at 2024-01-01 00:00:00 UTC, the others now;
        # <2@fixture> is in two groups and listed once.
        cases = [
            ("NEWNEWS local.* 20231231 235900 GMT", b"<1@fixture>\r\n<2@fixture>\r\n<4@fixture>\r\n"
                                                   b"<9@fixture>\r\n"),
            ("NEWNEWS local.* 20240101 000100 GMT", b"<2@fixture>\r\n<4@fixture>\r\n<9@fixture>\r\n"),
            ("NEWNEWS local.test 240101 000100 GMT", b"<2@fixture>\r\n<4@fixture>\r\n"),
            ("NEWNEWS local.other,local.empty 20000101 000000 GMT",
             b"<2@fixture>\r\n<9@fixture>\r\n"),
            ("NEWNEWS *,!local.test 20000101 000000 GMT", b"<2@fixture>\r\n<9@fixture>\r\n"),
            # Without GMT the server's local time (UTC+9): 08:59 is before the
            # file was written, 09:01 after.
            ("NEWNEWS local.test 20240101 085900", b"<1@fixture>\r\n<2@fixture>\r\n<4@fixture>\r\n"),
            ("NEWNEWS local.test 20240101 090100", b"<2@fixture>\r\n<4@fixture>\r\n"),
            ("NEWNEWS * 20990101 000000 GMT", b""),
        ]
        for command, data in cases:
            with self.subTest(command=command):
                got = self.listing(c, command)
                self.assertTrue(got.startswith(b"230 "), got)
                self.assertEqual(got.partition(b"\r\n")[2], data + b".\r\n")


class CurrentArticleTest(FixtureCase):
    def stat(self, client, command, number, mid):
        self.assertStatus(client, command, b"223", b"%d %s " % (number, mid))

    def test_group_next_last_and_retrieval_move_the_pointer(self):
        c = self.client(self.shared)
        for command in ("NEXT", "LAST", "STAT", "ARTICLE 1", "HEAD", "XOVER 1-2", "OVER", "XHDR Subject"):
            with self.subTest(command=command):
                self.assertEqual(c.command(command), NO_GROUP)
        c.command("GROUP local.test")
        self.stat(c, "STAT", 1, b"<1@fixture>")
        self.assertStatus(c, "LAST", b"422")
        self.stat(c, "NEXT", 2, b"<2@fixture>")
        self.stat(c, "NEXT", 4, b"<4@fixture>")  # over the gap at 3
        self.assertStatus(c, "NEXT", b"421")
        self.stat(c, "STAT", 4, b"<4@fixture>")
        self.stat(c, "LAST", 2, b"<2@fixture>")
        self.stat(c, "LAST", 1, b"<1@fixture>")
        self.assertStatus(c, "LAST", b"422")

        # By number: the number becomes current, also for HEAD and BODY.
        self.stat(c, "STAT 4", 4, b"<4@fixture>")
        self.stat(c, "LAST", 2, b"<2@fixture>")
        c.command("HEAD 1")
        c.read_until()
        self.stat(c, "NEXT", 2, b"<2@fixture>")
        c.command("ARTICLE 4")
        c.read_until()
        self.stat(c, "STAT", 4, b"<4@fixture>")
        # A number without an article leaves the pointer where it was.
        self.assertStatus(c, "STAT 3", b"423")
        self.assertStatus(c, "ARTICLE 99", b"423")
        self.stat(c, "STAT", 4, b"<4@fixture>")

        # By Message-ID: neither the group nor the article changes; the
        # number is the one in the current group, else 0.
        self.stat(c, "STAT <9@fixture>", 0, b"<9@fixture>")
        self.stat(c, "STAT <2@fixture>", 2, b"<2@fixture>")
        c.command("ARTICLE <9@fixture>")
        c.read_until()
        self.stat(c, "STAT", 4, b"<4@fixture>")
        self.assertEqual(c.command("STAT <none@fixture>"),
                         b"430 no such article found [<none@fixture>]!!\r\n")

        # A failing GROUP keeps the selection; a good one resets the pointer.
        self.assertEqual(c.command("GROUP local.nope"), b"411 no such news group [local.nope]!!\r\n")
        self.stat(c, "STAT", 4, b"<4@fixture>")
        self.stat(c, "STAT 2", 2, b"<2@fixture>")
        self.assertEqual(c.command("GROUP local.other"), b"211 2 1 2 local.other group selected!!\r\n")
        self.stat(c, "STAT", 1, b"<2@fixture>")
        self.stat(c, "STAT <2@fixture>", 1, b"<2@fixture>")
        self.stat(c, "STAT <1@fixture>", 0, b"<1@fixture>")
        self.stat(c, "NEXT", 2, b"<9@fixture>")

        # An empty group has no current article.
        c.command("GROUP local.empty")
        for command in ("STAT", "NEXT", "LAST", "ARTICLE", "HEAD", "BODY", "XOVER", "HDR Subject"):
            with self.subTest(command=command):
                self.assertStatus(c, command, b"420")
        self.assertStatus(c, "STAT 1", b"423")
        self.stat(c, "STAT <9@fixture>", 0, b"<9@fixture>")

    def test_message_id_works_without_a_group(self):
        c = self.client(self.shared)
        self.stat(c, "STAT <4@fixture>", 0, b"<4@fixture>")
        data = self.data(b"local.test", 4)
        self.assertEqual(c.command("ARTICLE <4@fixture>"),
                         b"220 0 <4@fixture> Article retrieved, text follows!!\r\n")
        self.assertEqual(c.read_exact(len(data)), data)
        # And it selected nothing.
        self.assertEqual(c.command("STAT"), NO_GROUP)

    def test_listgroup(self):
        c = self.client(self.shared)
        self.assertEqual(c.command("LISTGROUP"), NO_GROUP)
        cases = [("LISTGROUP local.test", b"1\r\n2\r\n4\r\n"),
                 ("LISTGROUP local.test 2-", b"2\r\n4\r\n"),
                 ("LISTGROUP local.test 2-3", b"2\r\n"),
                 ("LISTGROUP local.test 3", b""),
                 ("LISTGROUP", b"1\r\n2\r\n4\r\n"),
                 ("LISTGROUP local.empty", b"")]
        for command, numbers in cases:
            with self.subTest(command=command):
                got = self.listing(c, command)
                status, _, data = got.partition(b"\r\n")
                group = b"local.empty" if b"empty" in command.encode() else b"local.test"
                counts = b"0 0 0" if group == b"local.empty" else b"3 1 4"
                self.assertTrue(status.startswith(b"211 " + counts + b" " + group), got)
                self.assertEqual(data, numbers + b".\r\n")
        # LISTGROUP selects the group and its first article, like GROUP.
        c.command("GROUP local.test")
        c.command("STAT 4")
        self.listing(c, "LISTGROUP local.other")
        self.stat(c, "STAT", 1, b"<2@fixture>")
        self.assertEqual(c.command("LISTGROUP no.such"), b"411 no such news group [no.such]!!\r\n")
        self.stat(c, "STAT", 1, b"<2@fixture>")
        # A bad range is refused before anything is selected.
        self.assertStatus(c, "LISTGROUP local.test x", b"501")
        self.stat(c, "STAT", 1, b"<2@fixture>")


class RetrievalTest(FixtureCase):
    def test_article_head_body_bytes_as_stored(self):
        c = self.client(self.shared)
        c.command("GROUP local.test")
        forms = [  # (argument, number shown, group and number of the file)
            (b"", 1, b"local.test", 1),
            (b" 2", 2, b"local.test", 2),
            (b" <4@fixture>", 4, b"local.test", 4),
            (b" <9@fixture>", 0, b"local.other", 2),
        ]
        for arg, shown, group, number in forms:
            data = self.data(group, number)
            head, body = head_and_body(data)
            mid = self.entry(group, number)[4]
            with self.subTest(arg=arg):
                self.assertEqual(c.command(b"ARTICLE" + arg),
                                 b"220 %d %s Article retrieved, text follows!!\r\n" % (shown, mid))
                self.assertEqual(c.read_exact(len(data)), data)
                self.assertStatus(c, b"HEAD" + arg, b"221", b"%d %s" % (shown, mid))
                self.assertEqual(c.read_exact(len(head)), head)
                self.assertStatus(c, b"BODY" + arg, b"222", b"%d %s" % (shown, mid))
                # The body keeps its dot-stuffing and ends with the stored dot line.
                self.assertEqual(c.read_exact(len(body)), body)
                self.assertIn(b"\r\n..dotted line\r\n", body)
        c.expect_silence(0.2)

    def test_entry_whose_file_is_gone(self):
        s = self.reader_server(fixture=True)
        os.remove(s.path("local.test", "2"))
        os.remove(s.path("local.other", "2"))
        c = self.client(s)
        c.command("GROUP local.test")
        self.assertStatus(c, "ARTICLE 2", b"423")
        self.assertEqual(c.command("HEAD <9@fixture>"),
                         b"430 no such article found [<9@fixture>]!!\r\n")
        # Both entries are gone from the listings now.
        self.assertEqual(self.listing(c, "XOVER 1-4"), OVERVIEW +
                         xover_line(self.articles[(b"local.test", 1)][1]) +
                         xover_line(self.articles[(b"local.test", 4)][1]) + b".\r\n")
        self.assertStatus(c, "NEXT", b"223", b"4 <4@fixture> ")
        self.assertEqual(c.command("OVER <9@fixture>"),
                         b"430 no such article found [<9@fixture>]!!\r\n")


class OverviewTest(FixtureCase):
    def test_over_and_xover_forms(self):
        c = self.client(self.shared)
        self.assertEqual(c.command("XOVER 1-2"), NO_GROUP)
        e1, e2, e4 = (self.entry(b"local.test", n) for n in (1, 2, 4))
        other9 = self.entry(b"local.other", 2)
        # Outside the current group a Message-ID's line carries number 0.
        self.assertEqual(self.listing(c, "OVER <9@fixture>"),
                         OVERVIEW + xover_line((0,) + other9[1:]) + b".\r\n")
        c.command("GROUP local.test")
        cases = [
            ("XOVER 1-4", [e1, e2, e4]),
            ("OVER 1-4", [e1, e2, e4]),
            ("XOVER 2", [e2]),
            ("OVER 2-", [e2, e4]),
            ("XOVER 0-2", [e1, e2]),
            ("XOVER", [e1]),  # the current article
            ("OVER <2@fixture>", [e2]),
            ("XOVER <9@fixture>", [(0,) + other9[1:]]),
        ]
        for command, entries in cases:
            with self.subTest(command=command):
                self.assertEqual(self.listing(c, command),
                                 OVERVIEW + b"".join(xover_line(e) for e in entries) + b".\r\n")
        for command in ("XOVER 3", "OVER 5-9", "XOVER 5-", "XOVER 4-1"):
            with self.subTest(command=command):
                self.assertStatus(c, command, b"423")
        self.assertEqual(c.command("OVER <none@x>"), b"430 no such article found [<none@x>]!!\r\n")
        c.command("NEXT")
        self.assertEqual(self.listing(c, "OVER"), OVERVIEW + xover_line(e2) + b".\r\n")

    def test_hdr_and_xhdr(self):
        c = self.client(self.shared)
        c.command("GROUP local.test")
        cases = [
            # Overview fields come from the index, other headers from the files.
            ("HDR Subject 1-4", b"225", b"1 first\r\n2 second\r\n4 fourth\r\n"),
            ("XHDR subject 2", b"221", b"2 second\r\n"),
            ("HDR References 2-", b"225", b"2 <1@fixture>\r\n4 \r\n"),
            ("HDR X-Colour 2-", b"225", b"2 colour-2\r\n4 colour-4\r\n"),
            ("XHDR x-colour", b"221", b"1 colour-1\r\n"),
            ("HDR :lines 1-2", b"225", b"1 2\r\n2 2\r\n"),
            ("HDR :bytes 4", b"225", b"4 %d\r\n" % len(self.data(b"local.test", 4))),
            ("HDR Message-ID <9@fixture>", b"225", b"0 <9@fixture>\r\n"),
            ("HDR Newsgroups <9@fixture>", b"225", b"0 local.other\r\n"),
        ]
        for command, code, data in cases:
            with self.subTest(command=command):
                got = self.listing(c, command)
                self.assertTrue(got.startswith(code + b" "), got)
                self.assertEqual(got.partition(b"\r\n")[2], data + b".\r\n")
        self.assertStatus(c, "HDR Subject 5-9", b"423")
        self.assertStatus(c, "XHDR Subject 3", b"423")
        self.assertEqual(c.command("HDR Subject <none@x>"),
                         b"430 no such article found [<none@x>]!!\r\n")


class PostingTest(ReaderCase):
    def post(self, client, article):
        self.assertEqual(client.command("POST"), b"340 continue posting!!\r\n")
        client.send(article + b".\r\n")
        return client.read_line()

    def index_entry(self, server, number):
        line = server.read("local.test/Message.lst").split(b"\r\n")[number]
        return line.split(b"\t")

    def test_date_and_lines_added_and_body_lines_counted(self):
        s = self.reader_server(env={"TZ": "JST-9"})
        c = self.client(s)
        posted = (b"From: a@example.invalid\r\nNewsgroups: local.test\r\nSubject: dated\r\n\r\n"
                  b"one\r\n..two\r\n\r\nfour\r\n")
        before = time.time()
        self.assertEqual(self.post(c, posted), OK_240)
        after = time.time()
        data = s.read("local.test/1")
        m = re.match(rb"Path: news\.test!not-for-mail\r\nMessage-ID: (<[0-9a-z.]+@news\.test>)\r\n"
                     rb"Date: ([^\r\n]+)\r\nLines: 4\r\n", data)
        self.assertIsNotNone(m, data[:120])
        self.assertEqual(data[m.end():], posted + b".\r\n")
        mid, date = m.group(1), m.group(2)
        self.assertRegex(date, rb"^(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d (Jan|Feb|Mar|Apr|May|Jun|"
                               rb"Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d \+0900$")
        parsed = email.utils.parsedate_tz(date.decode())
        self.assertTrue(int(before) <= email.utils.mktime_tz(parsed) <= after + 1, date)
        # The index keeps the added date and the body's four lines.
        self.assertEqual(self.index_entry(s, 1),
                         [b"1", b"dated", b"a@example.invalid", date, mid, b"%d" % len(data), b"4",
                          b""])

    def test_own_headers_are_kept_and_lines_still_count_the_body(self):
        s = self.reader_server()
        c = self.client(s)
        cases = [
            # (own headers, expected prefix)
            (b"Message-ID: <own@x>\r\nDate: Tue, 02 Jan 2024 10:00:00 +0000\r\nLines: 9\r\n", b""),
            (b"Date: Tue, 02 Jan 2024 10:00:00 +0000\r\nMessage-ID: <own2@x>\r\n",
             b"Lines: 2\r\n"),
            (b"Message-ID: <own3@x>\r\n", None),  # a Date line comes first
        ]
        for n, (own, prefix) in enumerate(cases, 1):
            with self.subTest(own=own):
                posted = (b"From: a@example.invalid\r\nNewsgroups: local.test\r\nSubject: own\r\n" +
                          own + b"\r\nbody\r\nmore\r\n")
                self.assertEqual(self.post(c, posted), OK_240)
                data = s.read("local.test/%d" % n)
                if prefix is None:
                    m = re.match(rb"Path: [^\r\n]+\r\nDate: [^\r\n]+\r\nLines: 2\r\n", data)
                    self.assertIsNotNone(m, data[:80])
                    prefix = m.group(0)
                else:
                    prefix = PATH_LINE + prefix
                self.assertEqual(data, prefix + posted + b".\r\n")
                self.assertEqual(self.index_entry(s, n)[6], b"2")
        c.command("GROUP local.test")
        got = self.listing(c, "XHDR Lines 1-3")
        self.assertEqual(got.partition(b"\r\n")[2], b"1 2\r\n2 2\r\n3 2\r\n.\r\n")

    @unittest.skipIf(nntplib is None, "nntplib is not available")
    def test_stock_client(self):
        s = self.reader_server(fixture=True)
        with nntplib.NNTP("127.0.0.1", s.port, readermode=True, timeout=10) as n:
            self.assertEqual(n.nntp_version, 2)
            _, count, first, last, name = n.group("local.test")
            self.assertEqual((count, first, last, name), (3, 1, 4, "local.test"))
            _, overviews = n.over((1, 4))
            self.assertEqual([(num, o["subject"], o[":lines"]) for num, o in overviews],
                             [(1, "first", "2"), (2, "second", "2"), (4, "fourth", "2")])
            _, info = n.body(2)
            self.assertEqual(info.lines, [b"line one of 2", b".dotted line"])
            _, info = n.head("<9@fixture>")
            self.assertEqual(info.number, 0)
            _, headers = n.xhdr("subject", "1-")
            self.assertEqual(headers, [("1", "first"), ("2", "second"), ("4", "fourth")])
            reply = n.post([b"From: n@example.invalid", b"Newsgroups: local.other",
                            b"Subject: via nntplib", b"", b"text", b".starts with a dot"])
            self.assertTrue(reply.startswith("240"), reply)
            self.assertEqual(n.group("local.other")[1:4], (3, 1, 3))
            _, info = n.article(3)
            self.assertEqual(info.lines[-2:], [b"text", b".starts with a dot"])


class AccessTest(ReaderCase):
    GROUPS = ("local.open\t0\topen\tAllOk\tAllOk",
              "local.secret\t0\tsecret\talice\talice",
              "local.ro\t0\tread-only\tAllOk\talice")
    USERS = ("alice\tpw-alice", "bob\tpw-bob")

    def start(self, groups=GROUPS):
        s = self.server(start=False, groups=groups, users=self.USERS,
                        settings=dict(READER, UseAuthor=1))
        for group, n, mid in ((b"local.open", 1, b"<o@x>"), (b"local.secret", 1, b"<s@x>")):
            data = stored_article(group, n, b"subject", mid)
            s.write("%s/%d" % (group.decode(), n), data)
            s.write(group.decode() + "/Message.lst", index_text(
                (1, 1, 1), [(1, b"subject", b"p@x", b"d", mid, len(data), 2, b"")]))
        s.start()
        return s

    def login(self, client, user):
        self.assertEqual(client.command("AUTHINFO USER " + user), b"381 PASS required!!\r\n")
        self.assertEqual(client.command("AUTHINFO PASS pw-" + user),
                         b"281 User/Password OK!!\r\n")

    def post_to(self, client, group):
        self.assertEqual(client.command("POST"), b"340 continue posting!!\r\n")
        client.send(b"From: x@example.invalid\r\nNewsgroups: %s\r\nSubject: s\r\n\r\nb\r\n.\r\n"
                    % group)
        return client.read_line()

    def test_before_login_only_the_login_commands_are_answered(self):
        s = self.start()
        c = self.client(s)
        self.assertEqual(self.listing(c, "CAPABILITIES"),
                         CAPABILITIES + b"AUTHINFO USER\r\n.\r\n")
        self.assertStatus(c, "MODE READER", b"200")
        for command in ("GROUP local.open", "LIST", "LIST ACTIVE", "LISTGROUP local.open",
                        "XOVER 1-2", "OVER", "ARTICLE <o@x>", "HEAD <o@x>", "STAT 1", "NEXT",
                        "HDR Subject 1", "POST", "DATE", "NEWGROUPS 20000101 000000",
                        "NEWNEWS * 20000101 000000", "MODE STREAM", "FROBNICATE"):
            with self.subTest(command=command):
                self.assertEqual(c.command(command), AUTH_REQUIRED)
        self.assertEqual(c.command("QUIT"), b"205 closing connection - goodbye!!\r\n")

    def test_authinfo_replies(self):
        s = self.start()
        c = self.client(s)
        self.assertStatus(c, "AUTHINFO PASS pw-bob", b"482")  # no USER yet
        self.assertStatus(c, "AUTHINFO USER", b"501")
        self.assertEqual(c.command("AUTHINFO USER bob"), b"381 PASS required!!\r\n")
        self.assertStatus(c, "AUTHINFO PASS pw-alice", b"481")
        self.assertEqual(c.command("GROUP local.open"), AUTH_REQUIRED)
        # Pipelined: each line passes the gate as the one before it left it.
        c.send(b"GROUP local.open\r\nauthinfo user bob\r\nauthinfo pass pw-bob\r\n"
               b"GROUP local.open\r\n")
        self.assertEqual(c.read_line(), AUTH_REQUIRED)
        self.assertEqual(c.read_line(), b"381 PASS required!!\r\n")
        self.assertEqual(c.read_line(), b"281 User/Password OK!!\r\n")
        self.assertEqual(c.read_line(), b"211 1 1 1 local.open group selected!!\r\n")
        # Logged in: no further AUTHINFO, and the capability is gone.
        self.assertStatus(c, "AUTHINFO USER alice", b"502")
        self.assertStatus(c, "AUTHINFO PASS pw-alice", b"502")
        self.assertEqual(self.listing(c, "CAPABILITIES"), CAPABILITIES + b".\r\n")
        self.assertEqual(c.command("GROUP local.secret"),
                         b"502 access restriction or permission denied [local.secret]!!\r\n")
        p = c.prefix
        s.wait_log(p + b"authinfo pass *****\r\n" + p + b"281 User/Password OK!!\r\n")
        self.assertNotIn(b"pw-bob", s.stdout)

    def test_rights_apply_to_every_command(self):
        s = self.start()
        bob = self.client(s)
        self.login(bob, "bob")
        self.assertEqual(self.listing(bob, "LIST ACTIVE"), b"215 list of newsgroups follows!!\r\n"
                         b"local.open 1 1 y\r\nlocal.ro 0 0 n\r\n.\r\n")
        got = self.listing(bob, "LIST NEWSGROUPS")
        self.assertEqual(got.partition(b"\r\n")[2], b"local.open\topen\r\nlocal.ro\tread-only\r\n.\r\n")
        got = self.listing(bob, "NEWNEWS * 20000101 000000 GMT")
        self.assertEqual(got.partition(b"\r\n")[2], b"<o@x>\r\n.\r\n")
        got = self.listing(bob, "NEWGROUPS 20000101 000000 GMT")
        self.assertNotIn(b"local.secret", got)
        self.assertStatus(bob, "MODE READER", b"200")
        denied = b"502 access restriction or permission denied [%s]!!\r\n"
        self.assertEqual(bob.command("LISTGROUP local.secret"), denied % b"local.secret")
        for command in ("ARTICLE", "HEAD", "BODY", "STAT", "OVER", "XOVER", "HDR Subject",
                        "XHDR Subject"):
            with self.subTest(command=command):
                self.assertEqual(bob.command(command + " <s@x>"), denied % b"<s@x>")
        # Refused with the reason, not stored anywhere.
        self.assertEqual(self.post_to(bob, b"local.ro"),
                         b"441 You are not allowed to post to local.ro\r\n")
        self.assertEqual(self.post_to(bob, b"local.secret"),
                         b"441 You are not allowed to post to local.secret\r\n")
        self.assertEqual(self.post_to(bob, b"local.open"), OK_240)

        alice = self.client(s)
        self.login(alice, "alice")
        self.assertEqual(alice.command("GROUP local.secret"),
                         b"211 1 1 1 local.secret group selected!!\r\n")
        self.assertStatus(alice, "STAT <s@x>", b"223", b"1 <s@x>")
        self.assertEqual(self.post_to(alice, b"local.ro"), OK_240)

    def test_mode_reader_says_whether_the_user_may_post_anywhere(self):
        s = self.start(groups=("local.ro\t0\tread-only\tAllOk\talice",))
        c = self.client(s)
        self.assertStatus(c, "MODE READER", b"201")
        self.login(c, "bob")
        self.assertStatus(c, "MODE READER", b"201")
        c = self.client(s)
        self.login(c, "alice")
        self.assertStatus(c, "MODE READER", b"200")


class SwitchOffTest(ServerTest):
    def test_reader_commands_and_pipelining_stay_unknown(self):
        s = self.server()
        c = self.client(s)
        for command in ("XOVER", "HEAD", "HEAD 1", "CAPABILITIES", "DATE", "OVER 1-2"):
            with self.subTest(command=command):
                self.assertEqual(c.command(command), b"500 command not recognized!!\r\n")
        c.send(b"GROUP local.test\r\nGROUP local.test\r\n")
        self.assertEqual(c.read_line(), b"500 command not recognized!!\r\n")
        c.expect_silence(0.3)
        self.assertEqual(c.command("GROUP local.test"),
                         b"211 0 0 0 local.test group selected!!\r\n")


if __name__ == "__main__":
    unittest.main()
