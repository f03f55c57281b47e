"""A stock client against the server: Python's nntplib posts, lists, reads
overview data and fetches articles; commands outside the server's subset fail
cleanly and leave the session usable."""
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import nntplib

from harness import ServerTest


def body_lines(info):
    """Lines of an ArticleInfo after the blank line that ends the header."""
    lines = info.lines
    return lines[lines.index(b"") + 1:]


class NntplibTest(ServerTest):
    def connect(self, s, **kwargs):
        news = nntplib.NNTP("127.0.0.1", s.port, readermode=False, usenetrc=False, timeout=10,
                            **kwargs)
        self.addCleanup(news.sock.close)
        return news

    def test_post_list_overview_and_article(self):
        s = self.server(groups=("local.test\t0\tx", "local.other\t0\tx"))
        news = self.connect(s)
        self.assertEqual(news.getwelcome(), "200 connected!!")

        posted = (b"From: nntplib@example.invalid\r\nNewsgroups: local.test\r\n"
                  b"Subject: from a stock client\r\nMessage-ID: <stock@x>\r\n\r\n"
                  b"first\r\n.starts with a dot\r\n\r\nlast\r\n")
        self.assertEqual(news.post(posted), "240 article posted successfully!!")
        # nntplib dot-stuffs; the file keeps the stuffed line.
        self.assertIn(b"\r\n..starts with a dot\r\n", s.read("local.test/1"))
        self.assertEqual(news.post(posted.replace(b"<stock@x>", b"<stock2@x>")),
                         "240 article posted successfully!!")

        resp, groups = news.list()
        self.assertTrue(resp.startswith("215"), resp)
        self.assertEqual([tuple(g) for g in groups],
                         [("local.test", "2", "1", "y"), ("local.other", "0", "0", "y")])

        resp, count, first, last, name = news.group("local.test")
        self.assertEqual((count, first, last, name), (2, 1, 2, "local.test"))

        # Without CAPABILITIES the client falls back to XOVER.
        xover = getattr(news, "xover", None)
        resp, overviews = xover(1, 2) if xover else news.over((1, 2))
        self.assertTrue(resp.startswith("224"), resp)
        self.assertEqual([n for n, _ in overviews], [1, 2])
        number, fields = overviews[0]
        self.assertEqual(fields["subject"], "from a stock client")
        self.assertEqual(fields["from"], "nntplib@example.invalid")
        self.assertEqual(fields["message-id"], "<stock@x>")
        self.assertEqual(fields[":bytes"], str(len(s.read("local.test/1"))))
        self.assertEqual(fields[":lines"], "10")

        for wanted in (1, "<stock@x>"):
            with self.subTest(wanted=wanted):
                resp, info = news.article(wanted)
                self.assertTrue(resp.startswith("220 1 <stock@x>"), resp)
                self.assertEqual((info.number, info.message_id), (1, "<stock@x>"))
                self.assertIn(b"Subject: from a stock client", info.lines)
                self.assertEqual(body_lines(info),
                                 [b"first", b".starts with a dot", b"", b"last"])
        self.assertEqual(news.quit(), "205 closing connection - goodbye!!")

    def test_unsupported_commands_fail_and_the_session_goes_on(self):
        s = self.server()
        news = self.connect(s)
        for call in (lambda: news.head(1), lambda: news.date(), lambda: news.stat(1)):
            with self.assertRaises(nntplib.NNTPPermanentError) as caught:
                call()
            self.assertEqual(caught.exception.response, "500 command not recognized!!")
        with self.assertRaises(nntplib.NNTPTemporaryError) as caught:
            news.group("no.such")
        self.assertEqual(caught.exception.response, "411 no such news group [no.such]!!")
        resp, count, first, last, name = news.group("local.test")
        self.assertEqual((count, first, last), (0, 0, 0))
        with self.assertRaises(nntplib.NNTPTemporaryError) as caught:
            news.article(7)
        self.assertEqual(caught.exception.response, "430 no such article found [7]!!")
        news.quit()

    def test_login_then_post(self):
        s = self.server(users=("carol\tsecret",), settings={"UseAuthor": 1})
        news = self.connect(s, user="carol", password="secret")
        posted = (b"From: carol@example.invalid\r\nNewsgroups: local.test\r\n"
                  b"Subject: signed in\r\n\r\nhello\r\n")
        self.assertEqual(news.post(posted), "240 article posted successfully!!")
        news.group("local.test")
        resp, info = news.article(1)
        self.assertEqual(body_lines(info), [b"hello"])
        log = s.wait_log(b"authinfo pass *****\r\n")
        self.assertNotIn(b"secret", log)
