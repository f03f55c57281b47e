"""Peering with a real INN: Debian's inn2 as a private instance on loopback
(tests/interop/inn.py), our server in the reader mode beside it. INN lives
at 127.0.0.3 and sends from there, so our servers know it by that address;
ours listen on 127.0.0.1. Skipped, saying why, where INN cannot run."""
import os
import re
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "blackbox"))

import inn  # noqa: E402
from harness import ServerTest  # noqa: E402

INN_ADDRESS = "127.0.0.3"
GROUPS = ("local.test\t0\ttest", "local.other\t0\tother")
WAIT = 20  # seconds an article may take from one server to the next
# Our feed retries a refused connection after a second rather than a minute.
FEED_ENV = {"MARROWBY_FEED_RETRY_SECONDS": "1"}
OK_240 = b"240 article posted successfully!!\r\n"


def our_settings(pathhost):
    return {"UseRfc3977": 1, "PathHost": pathhost, "HistoryDays": 10}


def posted(mid, groups=b"local.test", body=b"body\r\n.a line with a dot\r\n"):
    """An article as a newsreader posts it, with a Message-ID of its own
    but no Path and no Date yet."""
    return (b"From: poster@example.invalid\r\nNewsgroups: %s\r\nSubject: interop %s\r\n"
            b"Message-ID: %s\r\n\r\n%s" % (groups, mid, mid, body))


def path_of(article):
    return re.match(rb"Path: ([^\r]*)\r\n", article).group(1)


def unique(tag):
    return b"<%s.%d.%d@interop.invalid>" % (tag.encode(), os.getpid(), time.monotonic_ns())


class InnTest(ServerTest):
    def setUp(self):
        reason = inn.unavailable_reason()
        if reason:
            self.skipTest(reason)

    def inn(self, peers=(), start=True):
        """A private INN, stopped at the end of the test. Its port is known
        before it starts, so that our servers can be told it first."""
        instance = inn.Inn(address=INN_ADDRESS, groups=("local.test", "local.other"),
                           peers=peers)
        self.addCleanup(instance.stop)
        if start:
            self.start_inn(instance)
        return instance

    def start_inn(self, instance):
        try:
            instance.start()
        except Exception as e:
            self.fail("INN did not start: %s\n%s" % (e, instance.diagnostics()))

    def ours(self, pathhost, peers):
        s = self.server(groups=GROUPS, settings=our_settings(pathhost), peers=peers, env=FEED_ENV)
        self.expect_running_at_end(s)
        return s

    def wait_stored(self, server, mid, inn_instance):
        """Waits until `server`'s history has accepted `mid`."""
        needle = mid + b"\taccepted\t"
        try:
            inn.wait_until(lambda: needle in self.read_or_empty(server, "history"), WAIT,
                           "%s at %s" % (mid.decode(), server.dir))
        except TimeoutError as e:
            self.fail("%s\nour log:\n%s\nINN:\n%s" % (e, server.stdout.decode(errors="replace"),
                                                      inn_instance.diagnostics()))

    def wait_at_inn(self, instance, mid, server):
        """Waits until INN has `mid`."""
        try:
            inn.wait_until(lambda: instance.has_all([mid]), WAIT, "%s at INN" % mid.decode())
        except TimeoutError as e:
            self.fail("%s\nour log:\n%s\nINN:\n%s" % (e, server.stdout.decode(errors="replace"),
                                                      instance.diagnostics()))

    @staticmethod
    def offers(server, mid, commands=b"CHECK|TAKETHIS|IHAVE"):
        """The lines of `server`'s log in which INN offered or sent `mid`
        with one of `commands`."""
        pattern = rb"\[%s/\d+\] (%s) %s$" % (INN_ADDRESS.encode(), commands, re.escape(mid))
        return [line for line in server.stdout.split(b"\r\n") if re.match(pattern, line)]

    @staticmethod
    def read_or_empty(server, rel):
        try:
            return server.read(rel)
        except OSError:
            return b""

    def stored_copies(self, server, mid):
        """Every article file of `server` whose Message-ID is `mid`, by group."""
        found = {}
        for group in ("local.test", "local.other"):
            directory = server.path(group)
            for name in os.listdir(directory) if os.path.isdir(directory) else ():
                if name.isdigit():
                    data = server.read("%s/%s" % (group, name))
                    if re.search(rb"(?mi)^Message-ID: " + re.escape(mid) + rb"\r$", data):
                        found.setdefault(group, []).append(data)
        return found


class InnFeedsUsTest(InnTest):
    """An article posted to INN reaches us through INN's own feed."""

    def setUp(self):
        super().setUp()
        self.s = self.ours("ours.test", ("inn.test\t%s\t0\t*" % INN_ADDRESS,))
        self.peer = inn.Peer("ours.test", "127.0.0.1", self.s.port, feeds_inn=False)
        self.i = self.inn([self.peer])

    def test_innfeed_delivers_each_article_once_with_both_hosts_in_path(self):
        single, crossed = unique("single"), unique("crossed")
        for mid, groups in ((single, b"local.test"), (crossed, b"local.test,local.other")):
            reply = self.i.post(posted(mid, groups))
            self.assertTrue(reply.startswith(b"240"), reply)
        for mid in (single, crossed):
            self.wait_stored(self.s, mid, self.i)
        for mid, groups in ((single, ["local.test"]), (crossed, ["local.other", "local.test"])):
            with self.subTest(mid=mid):
                theirs = self.i.article(mid)
                self.assertIsNotNone(theirs)
                self.assertTrue(path_of(theirs).startswith(b"inn.test!"), theirs)
                # Ours: INN's copy with this server in front of the Path and
                # without INN's Xref, whose numbers are INN's own.
                want = b"Path: ours.test!" + re.sub(rb"(?m)^Xref: [^\r]*\r\n", b"",
                                                    theirs[len(b"Path: "):]) + b".\r\n"
                want = want.replace(b"\r\n.a line", b"\r\n..a line")
                copies = self.stored_copies(self.s, mid)
                self.assertEqual(sorted(copies), groups)
                for group in groups:
                    self.assertEqual(copies[group], [want])

    def test_an_article_offered_again_by_innxmit_is_refused_every_way(self):
        mid = unique("again")
        self.assertTrue(self.i.post(posted(mid)).startswith(b"240"))
        self.wait_stored(self.s, mid, self.i)
        # Streaming with CHECK, streaming without (TAKETHIS at once), IHAVE.
        cases = [([], b"438 %s\r\n" % mid), (["-c"], b"439 %s Duplicate\r\n" % mid),
                 (["-s"], b"435 Duplicate\r\n")]
        for args, refusal in cases:
            with self.subTest(args=args):
                status, output = self.i.innxmit(self.peer, [mid], args)
                self.assertEqual(status, 0, output)
                self.s.wait_log(refusal)
        self.assertEqual({g: len(c) for g, c in self.stored_copies(self.s, mid).items()},
                         {"local.test": 1})


class WeFeedInnTest(InnTest):
    """An article posted here reaches INN through our own feed."""

    def setUp(self):
        super().setUp()
        self.i = self.inn(start=False)
        self.s = self.ours("ours.test", ("inn.test\t%s\t%d\t*" % (INN_ADDRESS, self.i.port),))
        self.i.peers = [inn.Peer("ours.test", "127.0.0.1")]
        self.start_inn(self.i)

    def test_posts_here_reach_inn_as_stored_with_inn_in_front_of_the_path(self):
        cases = [
            # Cross-posted, with the poster's own Message-ID.
            (posted(unique("here"), b"local.test,local.other"), "local.test/1"),
            # Message-ID, Date and Lines made here; Shift-JIS in the header.
            (b"From: \x83e\x83X\x83g <poster@example.invalid>\r\nNewsgroups: local.test\r\n"
             b"Subject: \x93\xfa\x96{\x8c\xea\r\n\r\n\x96{\x95\xb6\r\n.dot\r\n", "local.test/2"),
        ]
        c = self.client(self.s)
        for data, stored in cases:
            self.assertEqual(c.post(data), OK_240)
        for data, stored in cases:
            with self.subTest(article=data[:60]):
                ours = inn.unstuff(self.s.read(stored))
                self.assertRegex(ours, rb"^Path: ours\.test!not-for-mail\r\n")
                mid = re.search(rb"(?m)^Message-ID: (<[^>\r]+>)\r$", ours).group(1)
                self.wait_at_inn(self.i, mid, self.s)
                theirs = self.i.article(mid)
                # INN files it under numbers of its own, given in an Xref.
                self.assertRegex(theirs, rb"\r\nXref: inn\.test local\.test:\d+")
                self.assertEqual(re.sub(rb"(?m)^Xref: [^\r]*\r\n", b"", theirs),
                                 b"Path: inn.test!" + ours[len(b"Path: "):])


class ChainTest(InnTest):
    """Ours A -> INN -> ours B, INN also feeding A."""

    def setUp(self):
        super().setUp()
        self.i = self.inn(start=False)
        self.a = self.ours("a.test", ("inn.test\t%s\t%d\t*" % (INN_ADDRESS, self.i.port),))
        self.b = self.ours("b.test", ("inn.test\t%s\t0\t*" % INN_ADDRESS,))
        self.i.peers = [inn.Peer("a.test", "127.0.0.1", self.a.port),
                        inn.Peer("b.test", "127.0.0.1", self.b.port, feeds_inn=False)]
        self.start_inn(self.i)

    def test_each_article_once_at_b_with_every_hop_and_nothing_back_to_a(self):
        from_a, from_inn = unique("from-a"), unique("from-inn")
        self.assertEqual(self.client(self.a).post(posted(from_a)), OK_240)
        self.wait_at_inn(self.i, from_a, self.a)
        # Posted at INN after A's article was there: INN's feed to A, one
        # connection in order, has passed A's article once this one is in.
        self.assertTrue(self.i.post(posted(from_inn)).startswith(b"240"))
        for server, mid in ((self.b, from_a), (self.b, from_inn), (self.a, from_inn)):
            self.wait_stored(server, mid, self.i)
        paths = {(name, mid): [path_of(c)
                               for c in self.stored_copies(server, mid).get("local.test", [])]
                 for name, server in (("a", self.a), ("b", self.b))
                 for mid in (from_a, from_inn)}
        injected = path_of(self.i.article(from_inn))  # inn.test and where it was posted
        self.assertTrue(injected.startswith(b"inn.test!"), injected)
        self.assertEqual(paths, {
            ("a", from_a): [b"a.test!not-for-mail"],
            ("b", from_a): [b"b.test!inn.test!a.test!not-for-mail"],
            ("a", from_inn): [b"a.test!" + injected],
            ("b", from_inn): [b"b.test!" + injected],
        })
        self.assertEqual(len(self.offers(self.b, from_a, b"TAKETHIS|IHAVE")), 1)
        self.assertEqual(self.offers(self.a, from_a), [])
        self.assertEqual(self.queued(self.a), [from_a])
        # Offered anyway, A refuses it as a duplicate and queues nothing.
        status, output = self.i.innxmit(self.i.peers[0], [from_a])
        self.assertEqual(status, 0, output)
        self.a.wait_log(b"438 %s\r\n" % from_a)
        self.assertEqual(self.queued(self.a), [from_a])
        self.assertEqual(len(self.stored_copies(self.a, from_a)["local.test"]), 1)

    @staticmethod
    def queued(server):
        """The Message-IDs in `server`'s queue for INN, in order."""
        data = InnTest.read_or_empty(server, "outgoing/inn.test")
        return [line.split(b"\t")[0] for line in data.splitlines()]


if __name__ == "__main__":
    unittest.main()
