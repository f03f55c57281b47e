"""Sending articles to peers (reader mode): the server's own feed connection
against a scripted peer on loopback that records what it gets and answers
from a script. Streaming with CHECK and TAKETHIS, IHAVE when streaming is
refused, logins, deferrals and refusals, lost connections, restarts with a
queue on disk, and loop suppression through Path.

The first wait after a failure or a deferral is one second here, through the
test-only environment variable MARROWBY_FEED_RETRY_SECONDS."""
import collections
import email.utils
import os
import socket
import threading
import time
import unittest

from harness import ServerTest, free_port, ini, wait_until

US = "us.example"
SETTINGS = {"UseRfc3977": 1, "PathHost": US}
ENV = {"MARROWBY_FEED_RETRY_SECONDS": "1"}
OK_240 = b"240 article posted successfully!!\r\n"


def article(mid, path=None, body=b"hello\r\n", group=b"local.test"):
    """An article as a client sends it, without the terminating line."""
    head = b"Path: %s\r\n" % path if path else b""
    head += (b"From: poster@example.invalid\r\nNewsgroups: %s\r\nSubject: about %s\r\n"
             b"Message-ID: %s\r\nDate: %s\r\n"
             % (group, mid, mid, email.utils.formatdate(usegmt=True).encode()))
    return head + b"\r\n" + body


class ScriptedPeer:
    """A news server on loopback that takes feeds. Every command line is
    recorded in `commands` as (connection number, line); every article it
    reads is recorded in `articles[mid]`. Answers come from `script`,
    {(command, mid): [code, ...]}, one code used up per command; commands
    without a scripted code get the usual answer (wanted unless held).
    ("ARTICLE", mid) scripts the answer to an IHAVE's article. A command in
    `drop_on`, (command, mid), makes the peer drop the connection at once."""

    def __init__(self, port=None, streaming=True, login=None, start=True):
        self.port = port or free_port()
        self.streaming = streaming
        self.login = login  # (user, password) the peer requires
        self.script = {}
        self.drop_on = set()
        self.have = set()
        self.commands = []
        self.articles = collections.defaultdict(list)
        self.connections = 0
        self.lock = threading.Lock()
        self.listener = None
        self.stopping = False
        self.threads = []
        if start:
            self.start()

    def start(self):
        self.stopping = False
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", self.port))
        self.listener.listen(8)
        self.listener.settimeout(0.1)
        t = threading.Thread(target=self._accept, daemon=True)
        t.start()
        self.threads.append(t)

    def stop(self):
        self.stopping = True
        for t in self.threads:
            t.join(5)
        self.threads = []
        if self.listener:
            self.listener.close()
            self.listener = None

    def _accept(self):
        while not self.stopping:
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self.lock:
                self.connections += 1
                number = self.connections
            t = threading.Thread(target=self._serve, args=(conn, number), daemon=True)
            t.start()
            self.threads.append(t)

    def answer(self, command, mid, default):
        with self.lock:
            codes = self.script.get((command, mid))
            if codes:
                return codes.pop(0)
        return default

    def _serve(self, conn, number):
        conn.settimeout(0.1)
        buf = bytearray()

        def more():
            """Receives into `buf`; False once the connection or the peer ends."""
            while not self.stopping:
                try:
                    chunk = conn.recv(65536)
                except socket.timeout:
                    continue
                except OSError:
                    return False
                buf.extend(chunk)
                return bool(chunk)
            return False

        def take(end):
            """What `buf` holds up to and including `end`, or None."""
            while end not in buf:
                if not more():
                    return None
            i = buf.index(end) + len(end)
            data = bytes(buf[:i])
            del buf[:i]
            return data

        def take_article():
            """The article after TAKETHIS or 335, terminating line included."""
            while not buf.startswith(b".\r\n") and b"\r\n.\r\n" not in buf:
                if not more():
                    return None
            return take(b".\r\n") if buf.startswith(b".\r\n") else take(b"\r\n.\r\n")

        def send(line):
            try:
                conn.sendall(line.encode() + b"\r\n")
            except OSError:
                pass

        def take_and_record(mid):
            data = take_article()
            if data is not None:
                with self.lock:
                    self.articles[mid].append(data)
            return data is not None

        user, authed = None, self.login is None
        send("200 scripted peer ready")
        try:
            while True:
                raw = take(b"\r\n")
                if raw is None:
                    return
                line = raw[:-2].decode("latin-1")
                words = line.split() or [""]
                verb = words[0].upper()
                if verb in ("MODE", "AUTHINFO") and len(words) > 1:
                    verb += " " + words[1].upper()
                mid = words[1] if len(words) > 1 else ""
                with self.lock:
                    self.commands.append((number, line))
                    if (verb, mid) in self.drop_on:
                        self.drop_on.discard((verb, mid))
                        return
                if verb == "AUTHINFO USER":
                    user = words[2]
                    send("381 password please")
                elif verb == "AUTHINFO PASS":
                    authed = self.login is None or (user, words[2]) == tuple(self.login)
                    send("281 welcome" if authed else "481 who are you")
                elif not authed and verb != "QUIT":
                    send("480 login first")
                elif verb == "MODE STREAM":
                    send("203 streaming ok" if self.streaming else "500 what is that")
                elif verb == "CHECK":
                    send("%s %s" % (self.answer("CHECK", mid, "438" if mid in self.have
                                                else "238"), mid))
                elif verb == "TAKETHIS":
                    if not take_and_record(mid):
                        return
                    code = self.answer("TAKETHIS", mid, "439" if mid in self.have else "239")
                    if code == "239":
                        self.have.add(mid)
                    send("%s %s" % (code, mid))
                elif verb == "IHAVE":
                    code = self.answer("IHAVE", mid, "435" if mid in self.have else "335")
                    send(code + " ihave answer")
                    if code != "335":
                        continue
                    if not take_and_record(mid):
                        return
                    code = self.answer("ARTICLE", mid, "235")
                    if code == "235":
                        self.have.add(mid)
                    send(code + " article answer")
                elif verb == "QUIT":
                    send("205 bye")
                    return
                else:
                    send("500 unknown command")
        finally:
            conn.close()

    def lines(self, verb=None):
        with self.lock:
            return [l for _, l in self.commands
                    if verb is None or l.upper().startswith(verb.upper())]

    def offered(self, mid):
        """How often `mid` was offered (CHECK or IHAVE)."""
        return sum(1 for l in self.lines() if l.split()[:2] in (["CHECK", mid], ["IHAVE", mid]))


def all_done(server, peer_name):
    """Whether the companion of the peer's queue says the whole queue is done."""
    queue = server.path("outgoing", peer_name)
    try:
        with open(queue + ".done", "rb") as f:
            return int(f.read().split()[0]) == os.path.getsize(queue)
    except (OSError, ValueError, IndexError):
        return False


class FeedCase(ServerTest):
    def peer(self, *args, **kwargs):
        p = ScriptedPeer(*args, **kwargs)
        self.addCleanup(p.stop)
        return p

    def feed_server(self, peers, groups=("local.test\t0\tnote",), settings=None, env=None,
                    start=True):
        """A reader-mode server with [Peers] lines `peers` (text)."""
        port = free_port()
        text = ini(port, groups=groups, settings=dict(SETTINGS, **(settings or {})))
        text += "[Peers]\r\n" + "".join(line + "\r\n" for line in peers)
        s = self.server(ini_text=text, port=port, env=dict(ENV, **(env or {})), start=start)
        if start:
            self.expect_running_at_end(s)
        return s

    def post(self, server, *articles):
        c = self.client(server)
        for data in articles:
            self.assertEqual(c.command("POST"), b"340 continue posting!!\r\n")
            c.send(data + b".\r\n")
            self.assertEqual(c.read_line(), OK_240)
        c.command("QUIT")
        c.close()

    def wait_articles(self, peer, mids, timeout=10):
        wait_until(lambda: all(peer.articles.get(m) for m in mids), timeout,
                   "articles %r at the peer (have %r)" % (mids, sorted(peer.articles)))

    def assertNoModeReader(self, peer):
        self.assertFalse([l for l in peer.lines() if l.upper().startswith("MODE READER")])


class StreamingTest(FeedCase):
    def test_posted_articles_stream_byte_exact_and_the_queue_is_done(self):
        peer = self.peer()
        s = self.feed_server(["hub.example 127.0.0.1 %d local.*" % peer.port])
        big = b"".join(b"line %06d of a long article\r\n" % i for i in range(4000))
        arts = [article(b"<1@post.test>", body=b"one\r\n..dotted\r\n"),
                article(b"<2@post.test>", body=big),
                article(b"<3@post.test>", group=b"other.group,local.test")]
        self.post(s, *arts)
        mids = ["<1@post.test>", "<2@post.test>", "<3@post.test>"]
        self.wait_articles(peer, mids)
        for number, mid in enumerate(mids, 1):
            self.assertEqual(peer.articles[mid], [s.read("local.test/%d" % number)], mid)
        self.assertGreater(len(peer.articles["<2@post.test>"][0]), 64 * 1024)
        lines = peer.lines()
        self.assertEqual(lines[0], "MODE STREAM")
        for mid in mids:
            self.assertEqual(peer.offered(mid), 1, mid)
            self.assertLess(lines.index("CHECK " + mid), lines.index("TAKETHIS " + mid))
        self.assertNoModeReader(peer)
        s.wait_log(b"[feed hub.example] connected to 127.0.0.1 port %d\r\n" % peer.port)
        # Every line of the queue is done, and the companion says so.
        wait_until(lambda: all_done(s, "hub.example"), 5, "the done offset at the queue's end")
        self.assertEqual(s.read("outgoing/hub.example").count(b"\n"), 3)

    def test_a_peer_refusing_streaming_gets_ihave_one_article_at_a_time(self):
        peer = self.peer(streaming=False)
        peer.have.add("<known@post.test>")
        s = self.feed_server(["hub.example 127.0.0.1 %d *" % peer.port])
        big = b"".join(b"line %06d of a long article\r\n" % i for i in range(4000))
        self.post(s, article(b"<1@post.test>", body=b"one\r\n..dotted\r\n"),
                  article(b"<known@post.test>"), article(b"<2@post.test>", body=big))
        self.wait_articles(peer, ["<1@post.test>", "<2@post.test>"])
        # Pipelined, the second IHAVE would have been read as part of the
        # first article.
        self.assertEqual(peer.articles["<1@post.test>"], [s.read("local.test/1")])
        self.assertEqual(peer.articles["<2@post.test>"], [s.read("local.test/3")])
        self.assertEqual(peer.lines()[:2], ["MODE STREAM", "IHAVE <1@post.test>"])
        self.assertFalse(peer.lines("CHECK") + peer.lines("TAKETHIS"))
        self.assertNotIn("<known@post.test>", peer.articles)
        s.wait_log(b"[feed hub.example] streaming refused (500 what is that), "
                   b"offering one at a time with IHAVE\r\n")
        self.assertNoModeReader(peer)

    def test_duplicates_are_done_without_sending(self):
        peer = self.peer()
        peer.have.add("<known@post.test>")
        peer.script[("TAKETHIS", "<raced@post.test>")] = ["439"]
        s = self.feed_server(["hub.example 127.0.0.1 %d *" % peer.port])
        self.post(s, article(b"<known@post.test>"), article(b"<new@post.test>"))
        self.wait_articles(peer, ["<new@post.test>"])
        self.assertNotIn("<known@post.test>", peer.articles)
        self.assertEqual(peer.offered("<known@post.test>"), 1)
        # A duplicate is no refusal: nothing is logged for it.
        self.assertNotIn(b"<known@post.test> refused", s.stdout)

    def test_deferred_articles_are_offered_again_after_the_wait(self):
        for streaming in (True, False):
            with self.subTest(streaming=streaming):
                peer = self.peer(streaming=streaming)
                first, second = ("CHECK", "TAKETHIS") if streaming else ("IHAVE", "ARTICLE")
                peer.script[(first, "<a@post.test>")] = ["431" if streaming else "436"]
                peer.script[(second, "<b@post.test>")] = ["431" if streaming else "436"]
                s = self.feed_server(["hub.example 127.0.0.1 %d *" % peer.port])
                self.post(s, article(b"<a@post.test>"), article(b"<b@post.test>"),
                          article(b"<c@post.test>"))
                # The others go on meanwhile.
                self.wait_articles(peer, ["<c@post.test>"])
                started = time.time()
                self.wait_articles(peer, ["<a@post.test>"], timeout=6)
                wait_until(lambda: "<b@post.test>" in peer.have, 6, "b taken on the retry")
                self.assertEqual(peer.offered("<a@post.test>"), 2)
                self.assertEqual(peer.offered("<b@post.test>"), 2)
                self.assertEqual(len(peer.articles["<b@post.test>"]), 2)
                out = s.wait_log(b"[feed hub.example] <b@post.test> deferred: ")
                self.assertRegex(out, rb"\[feed hub\.example\] <a@post\.test> deferred: 43[16] "
                                      rb"[^\r\n]*, offering again in 1 s\r\n")
                self.assertLess(time.time() - started, 5)
                self.assertNoModeReader(peer)

    def test_refused_articles_are_dropped_with_a_log_line(self):
        for streaming in (True, False):
            with self.subTest(streaming=streaming):
                peer = self.peer(streaming=streaming)
                if streaming:
                    peer.script[("TAKETHIS", "<bad@post.test>")] = ["439"]
                else:
                    peer.script[("IHAVE", "<bad@post.test>")] = ["437"]
                    peer.script[("ARTICLE", "<worse@post.test>")] = ["437"]
                s = self.feed_server(["hub.example 127.0.0.1 %d *" % peer.port])
                self.post(s, article(b"<bad@post.test>"), article(b"<worse@post.test>"),
                          article(b"<good@post.test>"))
                self.wait_articles(peer, ["<good@post.test>"])
                out = s.wait_log(b"[feed hub.example] <bad@post.test> refused: 43")
                code = b"439 <bad@post.test>" if streaming else b"437 ihave answer"
                self.assertIn(b"[feed hub.example] <bad@post.test> refused: %s\r\n" % code, out)
                if not streaming:
                    self.assertIn(b"[feed hub.example] <worse@post.test> refused: "
                                  b"437 article answer\r\n", out)
                # Dropped for good: not offered again after the retry time.
                time.sleep(1.5)
                self.assertEqual(peer.offered("<bad@post.test>"), 1)
                self.assertEqual(peer.offered("<worse@post.test>"), 1)


class FailureTest(FeedCase):
    def test_a_connection_lost_mid_stream_is_resumed_after_the_wait(self):
        peer = self.peer()
        peer.drop_on.add(("TAKETHIS", "<3@post.test>"))
        s = self.feed_server(["hub.example 127.0.0.1 %d *" % peer.port])
        mids = ["<%d@post.test>" % i for i in range(1, 7)]
        self.post(s, *(article(m.encode(), body=b"x\r\n" * 3000) for m in mids))
        self.wait_articles(peer, mids)
        s.wait_log(b"[feed hub.example] connection lost, retrying in 1 s")
        self.assertGreaterEqual(peer.connections, 2)
        # Each article arrived whole once; the one cut short was sent again.
        for number, mid in enumerate(mids, 1):
            self.assertEqual(peer.articles[mid], [s.read("local.test/%d" % number)], mid)
        self.assertEqual(len(peer.lines("TAKETHIS <3@post.test>")), 2)

    def test_a_restart_with_a_full_queue_loses_and_repeats_nothing(self):
        peer = self.peer(start=False)
        s = self.feed_server(["hub.example 127.0.0.1 %d *" % peer.port])
        mids = ["<%d@post.test>" % i for i in range(1, 21)]
        self.post(s, *(article(m.encode()) for m in mids))
        s.wait_log(b"[feed hub.example] cannot connect to 127.0.0.1 port %d: Connection refused, "
                   b"retrying in 1 s\r\n" % peer.port)
        self.assertEqual(s.stop(), 0)
        self.assertEqual(s.read("outgoing/hub.example").count(b"\n"), 20)
        peer.start()
        s.start()
        self.wait_articles(peer, mids)
        for mid in mids:
            self.assertEqual(peer.offered(mid), 1, mid)
            self.assertEqual(len(peer.articles[mid]), 1, mid)
        # Everything is done on disk: after a crash nothing is offered again.
        wait_until(lambda: all_done(s, "hub.example"), 5, "all done on disk")
        s.kill()
        s.start()
        self.post(s, article(b"<after@post.test>"))
        self.wait_articles(peer, ["<after@post.test>"])
        for mid in mids:
            self.assertEqual(peer.offered(mid), 1, mid)

    def test_logins_are_given_and_refusals_retried(self):
        peer = self.peer(login=("feeder", "s3cret"))
        s = self.feed_server(["hub.example 127.0.0.1 %d * feeder s3cret" % peer.port])
        self.post(s, article(b"<1@post.test>"))
        self.wait_articles(peer, ["<1@post.test>"])
        self.assertEqual(peer.lines()[:3],
                         ["AUTHINFO USER feeder", "AUTHINFO PASS s3cret", "MODE STREAM"])
        wrong = self.peer(login=("feeder", "other"))
        s2 = self.feed_server(["hub.example 127.0.0.1 %d * feeder s3cret" % wrong.port])
        self.post(s2, article(b"<2@post.test>"))
        s2.wait_log(b"[feed hub.example] login refused: 481 who are you, retrying in 1 s\r\n")
        s2.wait_log(b"[feed hub.example] login refused: 481 who are you, retrying in 2 s\r\n",
                    timeout=5)
        self.assertFalse(wrong.articles)
        self.assertNoModeReader(wrong)


class LoopTest(FeedCase):
    def test_articles_go_nowhere_their_path_has_been(self):
        x = self.peer()
        y = self.peer()
        s = self.feed_server(["x.example 127.0.0.1 %d *" % x.port,
                              "y.example 127.0.0.1 %d *" % y.port])
        # Connections from 127.0.0.1 are x.example's feed.
        c = self.client(s)
        for mid, path in ((b"<from-x@far.test>", b"x.example!far.test"),
                          (b"<via-y@far.test>", b"y.example!far.test")):
            c.send(b"TAKETHIS %s\r\n" % mid + article(mid, path=path) + b".\r\n")
            self.assertEqual(c.read_line(), b"239 %s\r\n" % mid)
        self.post(s, article(b"<marker@post.test>"))
        # The queues are in order: once the marker is there, so is
        # everything that was to come before it.
        self.wait_articles(x, ["<marker@post.test>"])
        self.wait_articles(y, ["<marker@post.test>"])
        self.assertEqual(sorted(x.articles), ["<marker@post.test>", "<via-y@far.test>"])
        self.assertEqual(sorted(y.articles), ["<from-x@far.test>", "<marker@post.test>"])
        self.assertTrue(x.articles["<via-y@far.test>"][0].startswith(
            b"Path: us.example!y.example!far.test\r\n"))


class ExpiryTest(FeedCase):
    def test_history_outlives_expiry_and_gone_articles_are_skipped(self):
        y = self.peer(start=False)
        s = self.feed_server(["x.example 127.0.0.1 0 *",
                              "y.example 127.0.0.1 %d *" % y.port],
                             groups=("local.test\t1\tnote",), settings={"UseExpire": 1})
        c = self.client(s)
        mid = b"<old@far.test>"
        c.send(b"TAKETHIS %s\r\n" % mid + article(mid, path=b"x.example!far.test") + b".\r\n")
        self.assertEqual(c.read_line(), b"239 %s\r\n" % mid)
        c.close()
        self.assertEqual(s.stop(), 0)
        two_days_ago = time.time() - 2 * 86400
        os.utime(s.path("local.test", "1"), (two_days_ago, two_days_ago))
        y.start()
        s.start()
        s.wait_log(b"article file deleted")
        self.assertFalse(os.path.exists(s.path("local.test", "1")))
        s.wait_log(b"[feed y.example] <old@far.test> skipped: its article files are gone\r\n")
        # Offered again within HistoryDays, it is still known.
        c = self.client(s)
        self.assertEqual(c.command(b"CHECK " + mid), b"438 %s\r\n" % mid)
        self.assertEqual(c.command(b"IHAVE " + mid)[:4], b"435 ")
        self.assertFalse(y.articles)


if __name__ == "__main__":
    unittest.main()
