"""Encrypted connections: implicit TLS on TlsPortNo in both modes, STARTTLS in
the reader mode, logins that need TLS, IPv6, stock clients (nntplib,
openssl s_client), hostile TLS byte streams and the start-up errors of the
TLS settings. Certificates come from an authority made for the run."""
import os
import resource
import shutil
import socket
import ssl
import subprocess
import tempfile
import time
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import nntplib

from harness import Client, Server, ServerTest, client_context, free_port, ini, make_pki

ARTICLE = (b"From: tls@example.invalid\r\nNewsgroups: local.test\r\n"
           b"Subject: over TLS\r\nMessage-ID: <tls1@x>\r\n\r\nsecret body\r\n")
GOODBYE = b"205 closing connection - goodbye!!\r\n"


def client_hello():
    """The bytes of a real ClientHello, made without a socket."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = context.wrap_bio(incoming, outgoing, server_hostname="localhost")
    try:
        tls.do_handshake()
    except ssl.SSLWantReadError:
        pass
    return outgoing.read()


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


class TlsTest(ServerTest):
    @classmethod
    def setUpClass(cls):
        cls.pki_dir = tempfile.mkdtemp(prefix="marrowby-pki-")
        cls.pki = make_pki(cls.pki_dir)
        cls.context = client_context(cls.pki["ca"])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.pki_dir, ignore_errors=True)

    def tls_server(self, reader=True, users=(), **settings):
        """A server with TLS on a port of its own; its `tls_port` attribute
        says which."""
        tls_port = free_port()
        values = {"UseRfc3977": 1 if reader else 0, "TlsPortNo": tls_port,
                  "TlsCertificate": self.pki["cert"], "TlsKey": self.pki["key"]}
        values.update(settings)
        s = self.server(users=users, settings=values)
        s.tls_port = tls_port
        self.expect_running_at_end(s)
        return s

    def tls_client(self, s, **kwargs):
        c = s.connect_tls(self.context, s.tls_port, **kwargs)
        self.addCleanup(c.close)
        return c

    def log_of(self, s, prefix):
        """The log lines of one connection, without its prefix."""
        return [line[len(prefix):] for line in s.stdout.splitlines(keepends=True)
                if line.startswith(prefix)]

    def test_implicit_tls_gives_the_plain_session_plus_one_log_line(self):
        for reader in (False, True):
            with self.subTest(reader=reader):
                s = self.tls_server(reader=reader)
                sessions = []
                for tls in (False, True):
                    c = self.tls_client(s) if tls else self.client(s)
                    mid = b"<tls%d%d@x>" % (reader, tls)
                    replies = [c.post(ARTICLE.replace(b"<tls1@x>", mid))]
                    c.send(b"ARTICLE <tls%d0@x>\r\n" % reader)
                    replies.append(c.read_until())
                    replies.append(c.command("QUIT"))
                    s.wait_log(c.prefix + b"Closed!!\r\n")
                    sessions.append((replies, self.log_of(s, c.prefix)))
                (plain_replies, plain_log), (tls_replies, tls_log) = sessions
                self.assertEqual(plain_replies[0], b"240 article posted successfully!!\r\n")
                self.assertIn(b"secret body", plain_replies[1])
                self.assertEqual(plain_replies, tls_replies)
                self.assertRegex(tls_log[0], rb"^TLS established \[TLSv1\.3 TLS_\w+\]!!\r\n$")
                self.assertEqual(plain_log, tls_log[1:])

    def test_past_the_limit_the_tls_port_says_so_over_tls(self):
        # A TLS client cannot read a plaintext refusal: the handshake is
        # done first, and the 400 comes encrypted.
        s = self.tls_server(MaxConnections=1)
        kept = self.client(s)
        c = self.tls_client(s, greet=False)
        self.assertEqual(c.read_line(), b"400 too many connections\r\n")
        self.assertEqual(c.wait_closed(), b"")
        s.wait_log(c.prefix + b"400 too many connections\r\n")
        self.assertEqual(kept.command("GROUP local.test")[:4], b"211 ")

    def test_nntplib_over_implicit_tls_and_starttls(self):
        s = self.tls_server()
        for how in ("implicit", "starttls"):
            with self.subTest(how=how):
                if how == "implicit":
                    news = nntplib.NNTP_SSL("localhost", s.tls_port, ssl_context=self.context,
                                            readermode=False, usenetrc=False, timeout=10)
                else:
                    news = nntplib.NNTP("localhost", s.port, readermode=False, usenetrc=False,
                                        timeout=10)
                    self.assertIn("STARTTLS", news.getcapabilities())
                    news.starttls(self.context)
                    self.assertNotIn("STARTTLS", news.getcapabilities())
                self.addCleanup(news.sock.close)
                mid = "<nntplib-%s@x>" % how
                article = ARTICLE.replace(b"<tls1@x>", mid.encode())
                self.assertEqual(news.post(article), "240 article posted successfully!!")
                resp, groups = news.list()
                self.assertEqual([g.group for g in groups], ["local.test"])
                resp, count, first, last, name = news.group("local.test")
                resp, info = news.article(last)
                self.assertEqual(info.message_id, mid)
                self.assertIn(b"secret body", info.lines)
                self.assertTrue(news.quit().startswith("205"))

    def test_openssl_s_client_implicit_and_starttls(self):
        if not shutil.which("openssl"):
            self.skipTest("openssl is not installed")
        s = self.tls_server()
        c = self.client(s)
        c.post(ARTICLE)
        c.command("QUIT")
        commands = b"GROUP local.test\r\nARTICLE 1\r\nQUIT\r\n"
        for port, extra in ((s.tls_port, []), (s.port, ["-starttls", "nntp"])):
            with self.subTest(extra=extra):
                # The commands go one at a time, each after its reply has come,
                # so the classic framing of one command per read is not needed.
                proc = subprocess.Popen(
                    ["openssl", "s_client", "-quiet", "-verify_return_error", "-CAfile",
                     self.pki["ca"], "-verify_hostname", "localhost",
                     "-connect", "localhost:%d" % port] + extra,
                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                try:
                    out = b""
                    for line in commands.splitlines(keepends=True):
                        time.sleep(0.3)
                        proc.stdin.write(line)
                        proc.stdin.flush()
                    out, err = proc.communicate(timeout=10)
                finally:
                    if proc.poll() is None:
                        proc.kill()
                        proc.wait()
                self.assertIn(b"211 1 1 1 local.test group selected!!\r\n", out, err)
                self.assertIn(b"secret body\r\n.\r\n", out)
                self.assertTrue(out.endswith(GOODBYE), out[-200:])

    def test_starttls_forgets_the_session_and_drops_what_followed_it(self):
        s = self.tls_server()
        c = self.client(s)
        c.post(ARTICLE)
        caps = c.command("CAPABILITIES") + c.read_until(b".\r\n")
        self.assertIn(b"\r\nSTARTTLS\r\n", caps)
        self.assertEqual(c.command("GROUP local.test"), b"211 1 1 1 local.test group selected!!\r\n")
        # Commands slipped in behind STARTTLS, in the same packet, are never run.
        c.send(b"STARTTLS\r\nGROUP local.test\r\nPOST\r\n")
        self.assertEqual(c.read_line(), b"382 Continue with TLS negotiation\r\n")
        c.start_tls(self.context)
        self.assertEqual(c.command("STAT"), b"412 No news group current selected!!\r\n")
        self.assertEqual(c.command("STARTTLS"), b"502 Command unavailable\r\n")
        caps = c.command("CAPABILITIES") + c.read_until(b".\r\n")
        self.assertNotIn(b"STARTTLS", caps)
        log = s.wait_log(c.prefix + b"502 Command unavailable\r\n")
        self.assertIn(c.prefix + b"Discarded [24] bytes sent after STARTTLS!!\r\n", log)
        self.assertNotIn(c.prefix + b"POST", log.split(c.prefix + b"STARTTLS")[1])
        self.assertEqual(c.command("QUIT"), GOODBYE)

        # Sent in a packet of its own before the 382 has come: dropped while
        # the handshake is due, or taken for the handshake, which then fails.
        # Either way never answered.
        c = self.client(s)
        c.send(b"STARTTLS\r\n")
        time.sleep(0.001)
        c.send(b"GROUP local.test\r\n")
        self.assertEqual(c.read_line(), b"382 Continue with TLS negotiation\r\n")
        try:
            c.start_tls(self.context)
        except (ssl.SSLError, OSError):
            s.wait_log(c.prefix + b"TLS failed [")
        else:
            self.assertEqual(c.command("STAT"), b"412 No news group current selected!!\r\n")

        # On the TLS port there is nothing to start.
        c = self.tls_client(s)
        self.assertEqual(c.command("STARTTLS"), b"502 Command unavailable\r\n")

    def test_logins_need_tls_in_both_modes(self):
        users = ("alice\twonder",)
        for reader in (False, True):
            with self.subTest(reader=reader):
                s = self.tls_server(reader=reader, users=users, UseAuthor=1, AuthRequiresTls=1)
                plain = self.client(s)
                self.assertEqual(plain.command("AUTHINFO USER alice"),
                                 b"483 Encryption required\r\n")
                self.assertEqual(plain.command("AUTHINFO PASS wonder"),
                                 b"483 Encryption required\r\n")
                self.assertEqual(plain.command("GROUP local.test"),
                                 b"480 Authentication required for command!!\r\n")
                if reader:
                    caps = plain.command("CAPABILITIES") + plain.read_until(b".\r\n")
                    self.assertNotIn(b"AUTHINFO", caps)
                    self.assertEqual(plain.command("STARTTLS"),
                                     b"382 Continue with TLS negotiation\r\n")
                    plain.start_tls(self.context)
                    caps = plain.command("CAPABILITIES") + plain.read_until(b".\r\n")
                    self.assertIn(b"\r\nAUTHINFO USER\r\n", caps)
                for c in ([plain] if reader else []) + [self.tls_client(s)]:
                    self.assertEqual(c.command("AUTHINFO USER alice"), b"381 PASS required!!\r\n")
                    self.assertEqual(c.command("AUTHINFO PASS wonder"),
                                     b"281 User/Password OK!!\r\n")
                    self.assertTrue(c.command("GROUP local.test").startswith(b"211 "))

    def test_hostile_tls_clients_are_closed_and_logged_while_others_are_served(self):
        s = self.tls_server()
        hello = client_hello()
        attacks = {}

        def raw(data, close=False):
            c = Client(s.tls_port)
            self.addCleanup(c.close)
            if data:
                c.send(data)
            if close:
                c.sock.shutdown(socket.SHUT_WR)
            return c

        attacks["plaintext"] = raw(b"LIST\r\n")
        attacks["truncated hello"] = raw(hello[:len(hello) // 2], close=True)
        attacks["malformed hello"] = raw(hello[:5] + bytes(len(hello) - 5))
        attacks["http"] = raw(b"GET / HTTP/1.0\r\n\r\n")
        old = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        old.check_hostname = False
        old.verify_mode = ssl.CERT_NONE
        old.set_ciphers("DEFAULT:@SECLEVEL=0")
        for version in (ssl.TLSVersion.TLSv1, ssl.TLSVersion.TLSv1_1):
            old.minimum_version = old.maximum_version = version
            c = raw(b"")
            with self.assertRaises((ssl.SSLError, OSError)):
                c.start_tls(old)
            attacks[version.name] = c
        garbage = self.tls_client(s)
        os.write(garbage.sock.fileno(), b"\x17\x03\x03\x00\x20" + os.urandom(32))
        attacks["garbage record"] = garbage
        stalled = raw(hello[:40])

        # Each attack is closed, with nothing in clear, and logged.
        for name, c in attacks.items():
            with self.subTest(attack=name):
                prefix = c.prefix
                # A failed handshake has taken the socket of the old clients.
                data = b"" if c.sock.fileno() < 0 else c.wait_closed()
                self.assertNotIn(b"200 connected", data)
                self.assertNotIn(b"\r\n", data)
                s.wait_log(prefix + b"TLS failed [")
                self.assertIn(prefix + b"Closed!!\r\n", s.wait_log(prefix + b"Closed!!\r\n"))
        log = s.stdout
        self.assertIn(attacks["TLSv1"].prefix + b"TLS failed [unsupported protocol]!!\r\n", log)
        self.assertNotIn(stalled.prefix, log)

        # The stalled handshake waits for the idle rule without costing CPU,
        # and a good client is served meanwhile, as is the plain port.
        before = cpu_seconds(s.proc.pid)
        time.sleep(1.0)
        self.assertLess(cpu_seconds(s.proc.pid) - before, 0.3)
        good = self.tls_client(s)
        self.assertTrue(good.command("GROUP local.test").startswith(b"211 "))
        self.assertTrue(self.client(s).command("GROUP local.test").startswith(b"211 "))
        self.assertEqual(stalled.expect_silence(0.1), None)

    def test_a_thousand_half_done_handshakes(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if soft < 1200:
            resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))
            self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, (soft, hard))
        s = self.tls_server()
        hello = client_hello()
        stalled = []
        try:
            for i in range(1000):
                c = Client(s.tls_port, timeout=10)
                stalled.append(c)
                c.send(hello[:20 + i % 100])
            before = cpu_seconds(s.proc.pid)
            start = time.time()
            good = self.tls_client(s)
            self.assertTrue(good.command("GROUP local.test").startswith(b"211 "))
            self.assertLess(time.time() - start, 5.0)
            time.sleep(0.5)
            self.assertLess(cpu_seconds(s.proc.pid) - before, 1.0)
        finally:
            for c in stalled:
                c.close()
        fds = lambda: len(os.listdir("/proc/%d/fd" % s.proc.pid))
        deadline = time.time() + 20
        while fds() > 100 and time.time() < deadline:
            time.sleep(0.1)
        self.assertLess(fds(), 100)
        log = s.wait_log(stalled[-1].prefix + b"Closed!!\r\n")
        self.assertEqual(log.count(b"TLS failed [connection closed during the TLS handshake]!!"),
                         1000)

    def test_resumed_session_and_a_large_article(self):
        s = self.tls_server()
        body = b"".join(b"line %06d of a long article over TLS\r\n" % i for i in range(30000))
        first = self.tls_client(s)
        article = ARTICLE.replace(b"secret body\r\n", body)
        self.assertEqual(first.post(article), b"240 article posted successfully!!\r\n")
        for attempt in range(2):
            first.send(b"ARTICLE <tls1@x>\r\n")
            data = first.read_until(timeout=20)
            self.assertTrue(data.startswith(b"220 0 <tls1@x>"), data[:100])
            self.assertTrue(data.endswith(body + b".\r\n"))
        session = first.sock.session
        first.command("QUIT")
        again = Client(s.tls_port)
        self.addCleanup(again.close)
        again.start_tls(self.context, session=session)
        self.assertEqual(again.read_line(), b"200 connected!!\r\n")
        self.assertTrue(again.sock.session_reused)

    def test_relative_files_and_ipv6(self):
        s = Server(ini_text=False, start=False)
        self.addCleanup(s.close)
        shutil.copy(self.pki["cert"], s.path("cert.pem"))
        shutil.copy(self.pki["key"], s.path("key.pem"))
        tls_port = free_port()
        s.write("Marrowby.ini", ini(s.port, settings={
            "UseRfc3977": 1, "TlsPortNo": tls_port, "TlsCertificate": "cert.pem",
            "TlsKey": "key.pem", "UseIPv6": 1}))
        s.start()
        self.expect_running_at_end(s)
        clients = [s.connect(), s.connect_tls(self.context, tls_port)]
        if ipv6_loopback():
            clients += [s.connect(host="::1"), s.connect_tls(self.context, tls_port, host="::1")]
        for c in clients:
            self.addCleanup(c.close)
            self.assertTrue(c.command("GROUP local.test").startswith(b"211 "))
            log = s.wait_log(c.prefix + b"GROUP local.test\r\n")
        self.assertTrue(clients[0].prefix.startswith(b"[127.0.0.1/"))
        if len(clients) > 2:
            self.assertTrue(clients[2].prefix.startswith(b"[::1/"))
            self.assertIn(clients[3].prefix + b"TLS established [", log)

    def test_startup_errors_name_the_file_or_the_port(self):
        taken = socket.socket()
        taken.bind(("0.0.0.0", 0))
        taken.listen(1)
        self.addCleanup(taken.close)
        missing = os.path.join(self.pki_dir, "missing.pem")
        garbage = os.path.join(self.pki_dir, "garbage.pem")
        with open(garbage, "w") as f:
            f.write("not a certificate\n")
        cases = [
            ({"TlsCertificate": missing}, missing.encode()),
            ({"TlsCertificate": garbage}, garbage.encode()),
            ({"TlsKey": garbage}, garbage.encode()),
            ({"TlsKey": self.pki["other_key"]}, self.pki["other_key"].encode()),
            ({"TlsKey": ""}, b"TlsKey"),
            ({"TlsPortNo": taken.getsockname()[1]}, b"%d" % taken.getsockname()[1]),
        ]
        for change, named in cases:
            with self.subTest(change=change):
                values = {"UseRfc3977": 1, "TlsPortNo": free_port(),
                          "TlsCertificate": self.pki["cert"], "TlsKey": self.pki["key"]}
                values.update(change)
                values = {k: v for k, v in values.items() if v != ""}
                s = self.server(settings=values, start=False)
                s.start(wait=False)
                self.assertNotEqual(s.wait_exit(), 0)
                self.assertIn(named, s.stderr)
                self.assertNotIn(b"Create Listen Port", s.stdout)
