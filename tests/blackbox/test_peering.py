"""Articles fed by a peer (MODE STREAM, CHECK, TAKETHIS, IHAVE) and the checks
every article passes in the reader mode. The peer connects from 127.0.0.2,
another loopback address, so that the test's other connections (from
127.0.0.1) are not the peer's."""
import email.utils
import re
import time
import unittest

from harness import ServerTest, parse_index

PEER_ADDRESS = "127.0.0.2"
SETTINGS = {"UseRfc3977": 1, "PathHost": "news.test", "HistoryDays": 10}
GROUPS = ("local.test\t0\ttest", "local.other\t0\tother")
PEERS = ("hub.test\t%s\t0\t*" % PEER_ADDRESS,)
OK_240 = b"240 article posted successfully!!\r\n"


def article(mid, groups=b"local.test", path=b"hub.test!origin", date=None, extra=b"",
            body=b"body\r\n..dotted\r\n"):
    """An article as a peer sends it: header, blank line, body, end line."""
    date = date or email.utils.formatdate(time.time()).encode()
    head = (b"Path: %s\r\nFrom: poster@example.invalid\r\nNewsgroups: %s\r\nSubject: fed %s\r\n"
            b"Date: %s\r\nMessage-ID: %s\r\n" % (path, groups, mid, date, mid)) + extra
    return head + b"\r\n" + body + b".\r\n"


class PeeringTest(ServerTest):
    def setUp(self):
        self.s = self.server(groups=GROUPS, settings=SETTINGS, peers=PEERS)
        self.expect_running_at_end(self.s)

    def peer(self):
        return self.client(self.s, source=PEER_ADDRESS)

    def count(self, group=b"local.test"):
        c = self.client(self.s)
        return int(c.command("GROUP " + group.decode()).split()[1])

    def test_only_a_peer_may_feed(self):
        reader = self.client(self.s)
        for command in ("MODE STREAM", "IHAVE <a@x>", "CHECK <a@x>", "TAKETHIS <a@x>"):
            with self.subTest(command=command):
                self.assertEqual(reader.command(command), b"502 Command unavailable\r\n")
        self.assertEqual(self.peer().command("MODE STREAM"), b"203 Streaming permitted\r\n")

    def test_streaming_takes_each_article_once(self):
        p = self.peer()
        self.assertEqual(p.command("MODE STREAM"), b"203 Streaming permitted\r\n")
        self.assertEqual(p.command("CHECK <a@x>"), b"238 <a@x>\r\n")
        # Pipelined: answered in order, each article read whole first.
        p.send(b"TAKETHIS <a@x>\r\n" + article(b"<a@x>") + b"TAKETHIS <b@x>\r\n" +
               article(b"<b@x>", groups=b"local.test,local.other,not.carried",
                       extra=b"Xref: hub.test local.test:7 local.other:3\r\n") +
               b"TAKETHIS <a@x>\r\n" + article(b"<a@x>") + b"CHECK <b@x>\r\n")
        self.assertEqual(p.read_line(), b"239 <a@x>\r\n")
        self.assertEqual(p.read_line(), b"239 <b@x>\r\n")
        self.assertTrue(p.read_line().startswith(b"439 <a@x>"))
        self.assertEqual(p.read_line(), b"438 <b@x>\r\n")
        self.assertEqual(p.command("IHAVE <b@x>"), b"435 Duplicate\r\n")
        # This server goes in front of the Path; nothing else of the article changes.
        self.assertEqual(self.s.read("local.test/1"),
                         b"Path: news.test!hub.test!origin\r\n" +
                         article(b"<a@x>").replace(b"Path: hub.test!origin\r\n", b""))
        self.assertEqual((self.count(), self.count(b"local.other")), (2, 1))
        # The hub's Xref numbers are not ours.
        self.assertNotIn(b"Xref", self.s.read("local.test/2"))
        # The index counts the body's lines, as for posts.
        _, entries = parse_index(self.s.read("local.test/Message.lst"))
        self.assertEqual([(e[0], e[4], e[6]) for e in entries], [(1, b"<a@x>", 2), (2, b"<b@x>", 2)])

    def test_ihave_and_refusals_that_are_remembered(self):
        p = self.peer()
        self.assertEqual(p.command("IHAVE <i@x>"), b"335 Send it; end with <CR-LF>.<CR-LF>\r\n")
        p.send(article(b"<i@x>"))
        self.assertEqual(p.read_line(), b"235 Article transferred OK\r\n")
        old = email.utils.formatdate(time.time() - 30 * 86400).encode()
        refused = [
            (b"<nopath@x>", article(b"<nopath@x>").replace(b"Path: hub.test!origin\r\n", b"")),
            (b"<old@x>", article(b"<old@x>", date=old)),
            (b"<elsewhere@x>", article(b"<elsewhere@x>", groups=b"not.carried")),
            (b"<big@x>", article(b"<big@x>", body=(b"y" * 998 + b"\r\n") * 1001)),
        ]
        for mid, data in refused:
            with self.subTest(mid=mid):
                self.assertEqual(p.command(b"IHAVE " + mid),
                                 b"335 Send it; end with <CR-LF>.<CR-LF>\r\n")
                p.send(data)
                self.assertTrue(p.read_line().startswith(b"437 "))
                # Remembered: not asked for again.
                self.assertEqual(p.command(b"IHAVE " + mid), b"435 Duplicate\r\n")
        self.assertEqual(self.count(), 1)
        self.s.wait_log(b"235 Article transferred OK\r\n")

    def test_a_cancel_by_feed_follows_the_rules_of_a_posted_one(self):
        p = self.peer()
        p.command("MODE STREAM")
        p.send(b"TAKETHIS <c@x>\r\n" + article(b"<c@x>"))
        self.assertEqual(p.read_line(), b"239 <c@x>\r\n")
        cancel = article(b"<cancel@x>", extra=b"Control: cancel <c@x>\r\n", body=b"cancel\r\n")
        p.send(b"TAKETHIS <cancel@x>\r\n" + cancel)
        self.assertEqual(p.read_line(), b"239 <cancel@x>\r\n")
        self.assertEqual(self.count(), 0)
        # The cancelled article is kept out should it come again.
        self.assertEqual(p.command("CHECK <c@x>"), b"438 <c@x>\r\n")

    def test_history_survives_a_restart(self):
        p = self.peer()
        p.command("MODE STREAM")
        p.send(b"TAKETHIS <r@x>\r\n" + article(b"<r@x>"))
        self.assertEqual(p.read_line(), b"239 <r@x>\r\n")
        self.s.stop()
        self.s.start()
        self.assertEqual(self.peer().command("CHECK <r@x>"), b"438 <r@x>\r\n")
        self.assertIn(b"<r@x>\taccepted\t", self.s.read("history"))


class PostedArticleChecksTest(ServerTest):
    def setUp(self):
        self.s = self.server(groups=GROUPS, settings=SETTINGS)
        self.c = self.client(self.s)

    def post(self, data):
        self.assertEqual(self.c.command("POST"), b"340 continue posting!!\r\n")
        self.c.send(data + b".\r\n")
        return self.c.read_line()

    def test_invalid_posts_are_refused_with_the_reason(self):
        good = (b"From: Poster <p@example.invalid>\r\nNewsgroups: local.test\r\n"
                b"Subject: s\r\n")
        now = email.utils.formatdate(time.time()).encode()
        cases = [
            (b"From: p@example.invalid\r\nNewsgroups: local.test\r\n\r\nbody\r\n", b"Subject"),
            (b"Newsgroups: local.test\r\nSubject: s\r\n\r\nbody\r\n", b"From"),
            (b"From: nobody\r\nNewsgroups: local.test\r\nSubject: s\r\n\r\nbody\r\n", b"From"),
            (good + b"Message-ID: junk\r\n\r\nbody\r\n", b"Message-ID"),
            (good + b"Subject: twice\r\n\r\nbody\r\n", b"Subject"),
            (good + b"Date: not a date\r\n\r\nbody\r\n", b"Date"),
            (good + b"Date: Tue, 02 Jan 2018 10:00:00 +0000\r\n\r\nbody\r\n", b""),
            (good + b"Followup-To: not.carried\r\n\r\nbody\r\n", b"not.carried"),
            (good + b"Expires: soon\r\n\r\nbody\r\n", b"Expires"),
            (good + b"\r\n\r\n\r\n", b""),
            (good.replace(b"local.test", b"not.carried") + b"\r\nbody\r\n", b""),
        ]
        for data, word in cases:
            with self.subTest(data=data):
                reply = self.post(data)
                self.assertTrue(reply.startswith(b"441 ") and word in reply, reply)
        self.assertEqual(self.c.command("GROUP local.test"),
                         b"211 0 0 0 local.test group selected!!\r\n")
        # A good one is stored with this server's Path and a Message-ID of its own.
        self.assertEqual(self.post(good + b"Date: " + now + b"\r\n\r\nbody\r\n"), OK_240)
        data = self.s.read("local.test/1")
        self.assertRegex(data, rb"^Path: news\.test!not-for-mail\r\nMessage-ID: "
                               rb"<[0-9a-z.]+@news\.test>\r\nLines: 1\r\nFrom: ")
        self.assertEqual(self.post(good + b"Message-ID: <dup@x>\r\n\r\nbody\r\n"), OK_240)
        self.assertEqual(self.post(good + b"Message-ID: <dup@x>\r\n\r\nbody\r\n"),
                         b"441 435 Duplicate\r\n")


if __name__ == "__main__":
    unittest.main()
