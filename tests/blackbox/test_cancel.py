"""Cancel control messages: which copies go, who may cancel, and which
Control lines are no cancel at all."""
import os

from harness import ServerTest

OK_240 = b"240 article posted successfully!!\r\n"


def selected(count, first, last, name=b"local.test"):
    """The reply to a GROUP that selected `name`."""
    return b"211 %d %d %d %s group selected!!\r\n" % (count, first, last, name)


def article(mid, groups=b"local.test", sender=b"alice@example.invalid", subject=b"hello"):
    return (b"From: " + sender + b"\r\nNewsgroups: " + groups + b"\r\nSubject: " + subject +
            b"\r\nMessage-ID: " + mid + b"\r\n\r\nbody\r\n")


def cancel(target, groups=b"local.test", sender=b"alice@example.invalid", verb=b"cancel"):
    """A cancel message; it carries no Message-ID of its own."""
    return (b"From: " + sender + b"\r\nNewsgroups: " + groups + b"\r\nSubject: cmsg " + verb +
            b" " + target + b"\r\nControl: " + verb + b" " + target + b"\r\n\r\nwithdrawn\r\n")


def numbered_files(directory):
    return sorted(int(n) for n in os.listdir(directory) if n.isdigit())


def index_numbers(index):
    """Counter line fields and the numbers of the article lines of a Message.lst."""
    lines = index.split(b"\r\n")[:-1]
    return lines[0].split(b"\t"), [int(l.split(b"\t")[0]) for l in lines[1:]]


class CancelTest(ServerTest):
    def test_cancel_removes_file_and_entry_and_keeps_numbers(self):
        s = self.server()
        c = self.client(s)
        for n in (1, 2, 3):
            self.assertEqual(c.post(article(b"<a%d@x>" % n)), OK_240)
        # Anyone may cancel while CancelEveryOne is on (the default).
        self.assertEqual(c.post(cancel(b"<a1@x>", sender=b"mallory@example.invalid")), OK_240)
        self.assertEqual(numbered_files(s.path("local.test")), [2, 3])
        self.assertEqual(index_numbers(s.read("local.test/Message.lst")),
                         ([b"1", b"3", b"2"], [2, 3]))
        # The command word is matched in any letter case; the newest article goes.
        self.assertEqual(c.post(cancel(b"<a3@x>", verb=b"CaNcEl")), OK_240)
        self.assertEqual(numbered_files(s.path("local.test")), [2])
        self.assertEqual(index_numbers(s.read("local.test/Message.lst")), ([b"1", b"3", b"1"], [2]))

        self.assertEqual(c.command("GROUP local.test"), selected(1, 1, 3))
        self.assertEqual(c.command("ARTICLE <a3@x>"), b"430 no such article found [<a3@x>]!!\r\n")
        listing = c.command("XOVER 1-10") + c.read_until()
        self.assertEqual(listing.count(b"\r\n"), 3, listing)
        self.assertTrue(listing.split(b"\r\n")[1].startswith(b"2\thello\t"), listing)

        # The number of a cancelled newest article is not given out again.
        self.assertEqual(c.post(article(b"<a4@x>")), OK_240)
        self.assertEqual(numbered_files(s.path("local.test")), [2, 4])
        self.assertEqual(c.command("GROUP local.test"), selected(2, 1, 4))
        # No cancel message was ever stored.
        for n in (2, 4):
            self.assertNotIn(b"Control:", s.read("local.test/%d" % n))

    def test_cancel_of_an_unknown_id_changes_nothing(self):
        s = self.server()
        c = self.client(s)
        self.assertEqual(c.post(article(b"<a1@x>")), OK_240)
        before = s.read("local.test/Message.lst")
        for target in (b"<A1@x>", b"<a1@x>x", b"<nowhere@x>"):
            with self.subTest(target=target):
                self.assertEqual(c.post(cancel(target)), OK_240)
                self.assertEqual(numbered_files(s.path("local.test")), [1])
                self.assertEqual(s.read("local.test/Message.lst"), before)

    def test_only_the_author_cancels_when_cancel_every_one_is_off(self):
        s = self.server(settings={"CancelEveryOne": 0})
        c = self.client(s)
        self.assertEqual(c.post(article(b"<a1@x>")), OK_240)
        before = s.read("local.test/Message.lst")
        self.assertEqual(c.post(cancel(b"<a1@x>", sender=b"mallory@example.invalid")), OK_240)
        self.assertEqual(numbered_files(s.path("local.test")), [1])
        self.assertEqual(s.read("local.test/Message.lst"), before)
        self.assertEqual(c.command("GROUP local.test"), selected(1, 1, 1))

        self.assertEqual(c.post(cancel(b"<a1@x>")), OK_240)
        self.assertEqual(numbered_files(s.path("local.test")), [])
        self.assertEqual(s.read("local.test/Message.lst"), b"1\t1\t0\r\n")

    def test_cross_posted_article_is_cancelled_only_where_named(self):
        s = self.server(groups=("local.a\t0\tx", "local.b\t0\tx"))
        c = self.client(s)
        self.assertEqual(c.post(article(b"<both@x>", groups=b"local.a,local.b")), OK_240)
        copy = s.read("local.a/1")
        self.assertEqual(c.post(cancel(b"<both@x>", groups=b"local.a")), OK_240)
        self.assertEqual(numbered_files(s.path("local.a")), [])
        self.assertEqual(numbered_files(s.path("local.b")), [1])
        self.assertEqual(s.read("local.a/Message.lst"), b"1\t1\t0\r\n")
        self.assertEqual(index_numbers(s.read("local.b/Message.lst")), ([b"1", b"1", b"1"], [1]))
        # Looked up by its id, the article now comes from the group that kept it.
        self.assertEqual(c.command("ARTICLE <both@x>"),
                         b"220 1 <both@x> Article retrieved, text follows!!\r\n")
        self.assertEqual(c.read_exact(len(copy)), copy)
        self.assertEqual(c.command("XOVER 1-1"), b"224 Overview information follows!!\r\n")
        self.assertTrue(c.read_until().startswith(b"1\thello\t"))

    def test_control_lines_that_are_no_cancel_are_stored_as_articles(self):
        s = self.server()
        c = self.client(s)
        self.assertEqual(c.post(article(b"<keep@x>")), OK_240)
        controls = [b"newgroup local.other", b"cancel", b"cancel keep@x", b"cancel <keep@x> now"]
        for n, control in enumerate(controls, 2):
            with self.subTest(control=control):
                posted = (b"From: bob@example.invalid\r\nNewsgroups: local.test\r\nSubject: c\r\n"
                          b"Control: " + control + b"\r\n\r\nbody\r\n")
                self.assertEqual(c.post(posted), OK_240)
                data = s.read("local.test/%d" % n)
                self.assertIn(b"\r\nControl: " + control + b"\r\n", data)
                self.assertTrue(data.endswith(posted + b".\r\n"), data)
        self.assertEqual(numbered_files(s.path("local.test")), [1, 2, 3, 4, 5])
        self.assertEqual(c.command("GROUP local.test"), selected(5, 1, 5))

    def test_cancel_to_no_known_group_is_refused(self):
        s = self.server()
        c = self.client(s)
        self.assertEqual(c.post(article(b"<a1@x>")), OK_240)
        self.assertEqual(c.post(cancel(b"<a1@x>", groups=b"Local.Test")),
                         b"411 no such news group [Local.Test]!!\r\n")
        self.assertEqual(numbered_files(s.path("local.test")), [1])
