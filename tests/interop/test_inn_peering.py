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


def our_settings(pathhost):
    return {"UseRfc3977": 1, "PathHost": pathhost, "HistoryDays": 10}


def posted(mid, groups=b"local.test", body=b"body\r\n.a line with a dot\r\n"):
    """An article as a newsreader posts it: no Path, Date or Message-ID of
    the injecting server's yet, apart from the Message-ID given."""
    return (b"From: poster@example.invalid\r\nNewsgroups: %s\r\nSubject: interop %s\r\n"
            b"Message-ID: %s\r\n\r\n%s" % (groups, mid, mid, body))


def unique(tag):
    return b"<%s.%d.%d@interop.invalid>" % (tag.encode(), os.getpid(), time.monotonic_ns())


class InnTest(ServerTest):
    def setUp(self):
        reason = inn.unavailable_reason()
        if reason:
            self.skipTest(reason)

    def inn(self, peers, **kwargs):
        instance = inn.Inn(address=INN_ADDRESS, groups=("local.test", "local.other"),
                           peers=peers, **kwargs)
        self.addCleanup(instance.stop)
        try:
            instance.start()
        except Exception as e:
            self.fail("INN did not start: %s\n%s" % (e, instance.diagnostics()))
        return instance

    def ours(self, pathhost, peers):
        s = self.server(groups=GROUPS, settings=our_settings(pathhost), peers=peers)
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
                self.assertRegex(theirs, rb"^Path: inn\.test!")
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


if __name__ == "__main__":
    unittest.main()
