"""A private instance of Debian's INN (package inn2) for peering tests and
benchmarks.

Everything the instance uses lies in one temporary directory: its inn.conf
(given to every INN program through INNCONF), the other configuration files,
the spool, history, overview, logs and run directory. Nothing under
/etc/news or /var is read or changed. innd runs in the foreground as the
user news, listening on a free port of its own loopback address; it also
sends from that address, so the servers it feeds know it by it.

The peer relationships are the test's: each `Peer` becomes an incoming.conf
entry (it may feed INN) and, when it has a port, a newsfeeds entry through
innfeed plus that peer's block in innfeed.conf (INN feeds it, streaming).
INN leaves out a peer whose name the article's Path already holds.

Every process the instance starts is ended by pid in `stop()`: innd, the
innfeed it spawned and any reader process (nnrpd) still running. Every wait
is bounded.
"""
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import time

INN_BIN = "/usr/lib/news/bin"
INN_USER = "news"


def unavailable_reason():
    """Why a private INN cannot run here, or None when it can."""
    if not os.path.exists(os.path.join(INN_BIN, "innd")):
        return "inn2 is not installed (scripts/install-deps.sh installs it)"
    if os.geteuid() != 0:
        return "INN must run as the user news, which needs root to start it"
    try:
        pwd.getpwnam(INN_USER)
    except KeyError:
        return "there is no user %s" % INN_USER
    return None


def free_port(address="127.0.0.1"):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((address, 0))
        return s.getsockname()[1]


def wait_until(predicate, timeout, what):
    """Polls `predicate` every 50 ms until it returns something true, which
    is returned; raises TimeoutError naming `what` after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError("timed out after %ss waiting for %s" % (timeout, what))
        time.sleep(0.05)


class Peer:
    """A news server INN exchanges articles with.

    `name`: its path identity (the newsfeeds site name, which INN also looks
    for in an article's Path before sending it there). `address`: where it
    listens and connects from. `port`: where INN feeds it (0: INN does not).
    `feeds_inn`: it may feed INN. `patterns`: the newsgroups INN sends it."""

    def __init__(self, name, address, port=0, feeds_inn=True, patterns="*,!junk,!control*",
                 connections=1):
        self.name = name
        self.address = address
        self.port = port
        self.feeds_inn = feeds_inn
        self.patterns = patterns
        self.connections = connections  # innfeed's connections to it at most


class NntpClient:
    """A blocking NNTP client with bounded reads, enough to drive INN."""

    def __init__(self, host, port, timeout=10.0, source=None):
        self.sock = socket.create_connection((host, port), timeout=timeout,
                                             source_address=(source, 0) if source else None)
        self.buf = bytearray()
        self.timeout = timeout

    def _fill(self, deadline):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise TimeoutError("NNTP read timed out; have %r" % bytes(self.buf[-200:]))
        self.sock.settimeout(remaining)
        chunk = self.sock.recv(1 << 20)
        if not chunk:
            raise EOFError("connection closed; have %r" % bytes(self.buf[-200:]))
        self.buf.extend(chunk)

    def read_until(self, terminator):
        deadline = time.monotonic() + self.timeout
        while terminator not in self.buf:
            self._fill(deadline)
        i = self.buf.index(terminator) + len(terminator)
        data = bytes(self.buf[:i])
        del self.buf[:i]
        return data

    def read_line(self):
        return self.read_until(b"\r\n")

    def send(self, data):
        self.sock.sendall(data if isinstance(data, bytes) else data.encode())

    def command(self, line):
        self.send((line.encode() if isinstance(line, str) else line) + b"\r\n")
        return self.read_line()

    def close(self):
        try:
            self.sock.sendall(b"QUIT\r\n")
            self.sock.settimeout(2)
            self.sock.recv(4096)
        except OSError:
            pass
        self.sock.close()


def dot_stuff(article):
    """The article's lines with a leading dot doubled, as sent over NNTP."""
    lines = article.split(b"\r\n")
    return b"\r\n".join(b"." + l if l.startswith(b".") else l for l in lines)


def unstuff(block):
    """An NNTP text block (the lines after the status line, final dot line
    included) as the article it carries."""
    assert block.endswith(b"\r\n.\r\n") or block == b".\r\n", block[-20:]
    body = block[:-3]
    return b"\r\n".join(l[1:] if l.startswith(b".") else l for l in body.split(b"\r\n"))


class Inn:
    """One private INN. Construct, then `start()`; `stop()` always, also
    after a failed start (a test registers it with addCleanup first).

    `address`: its loopback address, for listening and sending.
    `pathhost`: its Path identity. `groups`: the newsgroups it carries.
    `peers`: `Peer`s. `innfeed_options`: extra global key/value pairs for
    innfeed.conf. `wrap`: a command put in front of innd (taskset, say);
    what innd starts inherits it."""

    def __init__(self, address="127.0.0.3", pathhost="inn.test", groups=("local.test",),
                 peers=(), innfeed_options=None, root=None, wrap=()):
        self.address = address
        self.pathhost = pathhost
        self.groups = list(groups)
        self.peers = list(peers)
        self.innfeed_options = dict(innfeed_options or {})
        self.wrap = list(wrap)
        self.dir = tempfile.mkdtemp(prefix="marrowby-inn-", dir=root)
        os.chmod(self.dir, 0o755)
        self.port = free_port(address)
        self.innd = None
        self._children = set()
        self._news_flushed = b""
        self._news = pwd.getpwnam(INN_USER)
        self.env = dict(os.environ, INNCONF=self.path("etc", "inn.conf"), HOME=self.dir)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    # --- configuration -----------------------------------------------------

    def _write(self, rel, text):
        with open(self.path(rel), "w") as f:
            f.write(text)

    def _configure(self):
        for sub in ("etc", "db", "run", "log", "tmp", "spool/articles", "spool/overview",
                    "spool/incoming/bad", "spool/outgoing", "spool/archive", "spool/innfeed"):
            os.makedirs(self.path(sub), exist_ok=True)
        paths = {"pathnews": "/usr/lib/news", "pathbin": INN_BIN,
                 "pathetc": self.path("etc"), "pathfilter": self.path("etc", "filter"),
                 "pathdb": self.path("db"), "pathrun": self.path("run"),
                 "pathlog": self.path("log"), "pathtmp": self.path("tmp"),
                 "pathspool": self.path("spool"),
                 "patharticles": self.path("spool", "articles"),
                 "pathoverview": self.path("spool", "overview"),
                 "pathincoming": self.path("spool", "incoming"),
                 "pathoutgoing": self.path("spool", "outgoing"),
                 "patharchive": self.path("spool", "archive")}
        settings = dict(paths)
        settings.update({
            "domain": "test", "pathhost": self.pathhost, "server": self.address,
            "port": self.port, "bindaddress": self.address,
            "sourceaddress": self.address,
            "mta": '"/bin/true %s"', "ovmethod": "tradindexed", "hismethod": "hisv6",
            "enableoverview": "true", "storageapi": "true", "wireformat": "true",
            # Every post and article arrives at once; no pause between the
            # reader's post and innd, nor a load limit for readers.
            "nnrpdloadlimit": 0, "maxconnections": 0, "checkincludedtext": "false",
            "pgpverify": "false", "docancels": "all", "logsitename": "true",
            "logtrash": "true", "artcutoff": 10, "wipcheck": 5, "wipexpire": 10,
            "keywords": "false", "readerswhenstopped": "true",
        })
        self._write("etc/inn.conf", "".join("%s: %s\n" % kv for kv in settings.items()))
        self._write("etc/storage.conf", "method tradspool {\n  newsgroups: *\n  class: 0\n}\n")
        self._write("etc/readers.conf",
                    'auth "test" {\n  hosts: "127.0.0.0/8"\n  default: "<test>"\n}\n'
                    'access "test" {\n  users: "<test>"\n  newsgroups: "*"\n'
                    '  access: RPA\n  addcanlockuser: none\n}\n')
        self._write("etc/newsfeeds", self._newsfeeds())
        self._write("etc/incoming.conf", self._incoming())
        self._write("etc/innfeed.conf", self._innfeed())
        os.makedirs(self.path("etc", "filter"), exist_ok=True)
        active = ["control 0000000000 0000000001 n", "control.cancel 0000000000 0000000001 n",
                  "junk 0000000000 0000000001 y"]
        active += ["%s 0000000000 0000000001 y" % g for g in self.groups]
        self._write("db/active", "\n".join(active) + "\n")
        self._write("db/active.times", "")
        self._write("db/newsgroups", "".join("%s\tTest group.\n" % g for g in self.groups))
        self._write("db/history", "")
        for top, dirs, files in os.walk(self.dir):
            for name in dirs + files:
                os.chown(os.path.join(top, name), self._news.pw_uid, self._news.pw_gid)
        os.chown(self.dir, self._news.pw_uid, self._news.pw_gid)
        # Sized as Debian sizes the history of a new installation: the
        # benchmarks store tens of thousands of articles, and a history
        # table much smaller than that slows every lookup.
        self.run_tool("makedbz", "-i", "-o", "-s", "300000", "-f", self.path("db", "history"))

    def _newsfeeds(self):
        lines = ["ME:*::"]
        fed = [p for p in self.peers if p.port]
        if fed:
            # innfeed as a channel: innd hands it each article as it is
            # stored, and innfeed keeps streaming connections to the peers.
            lines.append("innfeed!:!*:Tc,Wnm*:%s/innfeed" % INN_BIN)
            for p in fed:
                lines.append("%s/%s:%s:Tm:innfeed!" % (p.name, p.name, p.patterns))
        return "\n".join(lines) + "\n"

    def _incoming(self):
        text = "streaming: true\nmax-connections: 0\n"
        for p in self.peers:
            if p.feeds_inn:
                text += 'peer %s {\n  hostname: "%s"\n}\n' % (p.name.replace(".", "-"),
                                                             p.address)
        return text

    def _innfeed(self):
        options = {
            "backlog-directory": self.path("spool", "innfeed"),
            "pid-file": self.path("run", "innfeed.pid"),
            "log-file": self.path("log", "innfeed.log"),
            "status-file": self.path("log", "innfeed.status"),
            "bindaddress": self.address, "bindaddress6": "none",
            # Connect at once, and come back soon after a refused connection.
            "initial-sleep": 1, "initial-reconnect-time": 1, "max-reconnect-time": 5,
            "stats-period": 5, "backlog-ckpt-period": 1, "backlog-newfile-period": 1,
            "backlog-rotate-period": 1, "dynamic-method": 0, "min-queue-connection": "true",
            "initial-connections": 1, "max-connections": 1, "streaming": "true",
            "article-timeout": 600, "response-timeout": 60, "connection-stats": "true",
        }
        options.update(self.innfeed_options)
        text = "".join("%s: %s\n" % kv for kv in options.items())
        for p in self.peers:
            if p.port:
                text += ("peer %s {\n  ip-name: %s\n  port-number: %d\n"
                         "  max-connections: %d\n  initial-connections: %d\n}\n"
                         % (p.name, p.address, p.port, p.connections, p.connections))
        return text

    # --- processes ---------------------------------------------------------

    def _as_news(self):
        return {"user": self._news.pw_uid, "group": self._news.pw_gid, "extra_groups": []}

    def run_tool(self, tool, *args, timeout=30, check=True, input=None):
        """Runs one INN program as the user news; returns its CompletedProcess
        (stdout and stderr as bytes). `check`: raise when it fails."""
        r = subprocess.run([os.path.join(INN_BIN, tool)] + list(args), env=self.env,
                           cwd=self.dir, capture_output=True, timeout=timeout, input=input,
                           **self._as_news())
        if check and r.returncode != 0:
            raise RuntimeError("%s %s failed (%d): %s" % (tool, " ".join(args), r.returncode,
                                                          (r.stdout + r.stderr).decode()))
        return r

    def start(self, timeout=30):
        """Writes the configuration and starts innd; returns once it greets."""
        self._configure()
        with open(self.path("innd.out"), "wb") as out:
            self.innd = subprocess.Popen(self.wrap + [os.path.join(INN_BIN, "innd"), "-f"],
                                         env=self.env,
                                         cwd=self.dir, stdin=subprocess.DEVNULL, stdout=out,
                                         stderr=subprocess.STDOUT, **self._as_news())

        def greets():
            if self.innd.poll() is not None:
                raise RuntimeError("innd ended (%s): %s" % (self.innd.returncode,
                                                            self.diagnostics()))
            try:
                c = NntpClient(self.address, self.port, timeout=5)
            except OSError:
                return False
            try:
                return c.read_line().startswith(b"20")
            finally:
                c.close()

        wait_until(greets, timeout, "innd to greet")

    def _innd_children(self):
        """The pids of the processes innd started that still run."""
        found = set()
        if not self.innd:
            return found
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % entry) as f:
                    stat = f.read()
            except OSError:
                continue
            # The command name may hold spaces; the parent pid follows it.
            ppid = int(stat[stat.rindex(")") + 2:].split()[1])
            if ppid == self.innd.pid:
                found.add(int(entry))
        return found

    def innfeed_pid(self):
        try:
            with open(self.path("run", "innfeed.pid")) as f:
                return int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            return None

    def stop(self, timeout=20, remove=True):
        """Shuts innd down in order, then ends by pid whatever it started
        that is still running, and removes the directory when `remove` holds
        and MARROWBY_KEEP_INN is not set."""
        if self.innd and self.innd.poll() is None:
            self._children |= self._innd_children()
            self.run_tool("ctlinnd", "-t", "10", "shutdown", "test", check=False, timeout=15)
            try:
                self.innd.wait(timeout)
            except subprocess.TimeoutExpired:
                self.innd.terminate()
                try:
                    self.innd.wait(5)
                except subprocess.TimeoutExpired:
                    self.innd.kill()
                    self.innd.wait(5)
        pid = self.innfeed_pid()
        if pid:
            self._children.add(pid)
        self._end(self._children)
        self._children.clear()
        if os.environ.get("MARROWBY_KEEP_INN"):
            print("kept INN's directory", self.dir)
        elif remove:
            shutil.rmtree(self.dir, ignore_errors=True)

    @staticmethod
    def _alive(pid):
        try:
            with open("/proc/%d/stat" % pid) as f:
                return f.read().split(")")[-1].split()[0] != "Z"
        except OSError:
            return False

    def _end(self, pids):
        # innfeed flushes its queues to the backlog when innd closes its
        # channel; give each process a moment to end by itself first.
        deadline = time.monotonic() + 5
        while any(self._alive(p) for p in pids) and time.monotonic() < deadline:
            time.sleep(0.05)
        for sig in (signal.SIGTERM, signal.SIGKILL):
            live = [p for p in pids if self._alive(p)]
            for p in live:
                try:
                    os.kill(p, sig)
                except ProcessLookupError:
                    pass
            deadline = time.monotonic() + 5
            while any(self._alive(p) for p in live) and time.monotonic() < deadline:
                time.sleep(0.05)

    # --- talking to it -----------------------------------------------------

    def reader(self, source=None):
        """A reader connection (MODE READER given, so innd hands it to nnrpd
        even from a peer's address). The caller closes it."""
        c = NntpClient(self.address, self.port, source=source)
        greeting = c.read_line()
        if not greeting.startswith(b"20"):
            raise RuntimeError("INN greeted %r" % greeting)
        reply = c.command("MODE READER")
        if not reply.startswith(b"20"):
            raise RuntimeError("INN answered MODE READER with %r" % reply)
        self._children |= self._innd_children()
        return c

    def post(self, article):
        """Posts `article` (bytes, CR LF lines, without the final dot line)
        through nnrpd; returns the reply line."""
        c = self.reader()
        try:
            reply = c.command("POST")
            if not reply.startswith(b"340"):
                return reply
            c.send(dot_stuff(article) + b".\r\n")
            return c.read_line()
        finally:
            c.close()

    def article(self, message_id):
        """The article INN has under `message_id` as bytes, or None."""
        c = self.reader()
        try:
            reply = c.command(b"ARTICLE " + message_id)
            if not reply.startswith(b"220"):
                return None
            return unstuff(c.read_until(b"\r\n.\r\n"))
        finally:
            c.close()

    def has_all(self, message_ids, chunk=500):
        """How many of `message_ids` INN has (STAT, pipelined in chunks)."""
        ids = list(message_ids)
        c = self.reader()
        try:
            have = 0
            for i in range(0, len(ids), chunk):
                part = ids[i:i + chunk]
                c.send(b"".join(b"STAT " + m + b"\r\n" for m in part))
                have += sum(c.read_line().startswith(b"223") for _ in part)
            return have
        finally:
            c.close()

    def token(self, message_id):
        """The storage token of an article INN has, from its history."""
        r = self.run_tool("grephistory", message_id.decode(), check=False)
        return r.stdout.decode().strip() or None

    def innxmit(self, peer, message_ids, options=(), timeout=30):
        """Offers the articles to `peer` once more with innxmit, from a batch
        file of their tokens; `options` are innxmit's (-c: TAKETHIS without
        CHECK, -s: IHAVE). Returns its exit status and its output, which
        shows the exchange."""
        batch = self.path("spool", "outgoing", peer.name + ".resend")
        with open(batch, "w") as f:
            for mid in message_ids:
                f.write("%s %s\n" % (self.token(mid), mid.decode()))
        os.chown(batch, self._news.pw_uid, self._news.pw_gid)
        r = self.run_tool("innxmit", "-d", "-P", str(peer.port), "-t", "10", "-T", "20",
                          *options, peer.address, batch, timeout=timeout, check=False)
        return r.returncode, (r.stdout + r.stderr).decode("utf-8", "replace")

    def news_log(self):
        """INN's article log so far: one line per article accepted ("+") or
        refused ("-", with the reply's code and text). innd buffers it, so
        while it runs it is made to write it out first (ctlinnd flushlogs,
        which moves it to news.old; the moved parts are kept here)."""
        if self.innd and self.innd.poll() is None:
            self.run_tool("ctlinnd", "-t", "5", "flushlogs", check=False, timeout=10)
            self._news_flushed += self._read("log/news.old")
            try:
                os.remove(self.path("log", "news.old"))
            except OSError:
                pass
        return (self._news_flushed + self._read("log/news")).decode("utf-8", "replace")

    def _read(self, rel):
        try:
            with open(self.path(rel), "rb") as f:
                return f.read()
        except OSError:
            return b""

    def diagnostics(self):
        """The ends of innd's output and logs, for a failure message. INN's
        notices (connections, innfeed's refusals) go to syslog, which is the
        system's and not read here."""
        parts = ["--- article log\n" + self.news_log()[-3000:]]
        for rel in ("innd.out", "log/errlog", "log/innfeed.log", "log/innfeed.status"):
            text = self._read(rel)
            if text:
                parts.append("--- %s\n%s" % (rel, text[-3000:].decode("utf-8", "replace")))
        return "\n".join(parts)
