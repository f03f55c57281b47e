"""Runs the built server in a fresh directory and talks to it over loopback.

Every test gets its own temporary directory holding a copy of the executable
and its Marrowby.ini; the server runs headless (no DISPLAY), so start-up
messages go to stderr and the operation log to stdout.
"""
import os
import random
import re
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import unittest

BIN = os.environ.get("MARROWBY_BIN") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build", "marrowby")


def free_port():
    """A port nothing is bound to, below the range the system hands out to
    outgoing connections: a port from that range (what binding to port 0
    gives) can go to some client's socket between this call and the
    server's bind, with test suites running side by side."""
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            first_ephemeral = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        first_ephemeral = 32768
    for _ in range(1000):
        port = random.randrange(10000, max(first_ephemeral, 10001))
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            try:
                s.bind(("", port))  # every address, as the server binds
            except OSError:
                continue
            return port
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def ini(port, groups=("local.test\t0\tnote",), users=(), settings=None, peers=None):
    """Text of a settings file: [Settings] with PortNo and `settings`
    (a dict of key -> value), [Group] lines, [Users] lines and, when `peers`
    is given, [Peers] lines."""
    lines = ["[Settings]", "PortNo\t%d" % port]
    for key, value in (settings or {}).items():
        lines.append("%s\t%s" % (key, value))
    lines.append("[Group]")
    lines.extend(groups)
    lines.append("[Users]")
    lines.extend(users)
    if peers is not None:
        lines.append("[Peers]")
        lines.extend(peers)
    return "\r\n".join(lines) + "\r\n"


def index_text(counters, entries):
    """Bytes of a Message.lst: `counters` is (first, last, count); each entry is
    (number, subject, from, date, message_id, bytes, lines, references), strings
    or bytes, written in the file's field order with CR LF line ends."""
    def b(v):
        return v if isinstance(v, bytes) else str(v).encode()
    lines = [b"%d\t%d\t%d" % tuple(counters)]
    lines.extend(b"\t".join(b(v) for v in e) for e in entries)
    return b"\r\n".join(lines) + b"\r\n"


def parse_index(data):
    """Counters (first, last, count) and entries of a Message.lst's bytes, each
    entry (number, subject, from, date, message_id, bytes, lines, references)
    with the numbers as ints. Raises ValueError naming what is malformed: a
    last line without CR LF, a bad counter line, an article line without
    exactly eight fields."""
    if not data.endswith(b"\r\n"):
        raise ValueError("does not end with CR LF (partial last line): %r" % data[-80:])
    lines = data[:-2].split(b"\r\n")
    m = re.match(rb"(-?\d+)\t(-?\d+)\t(-?\d+)\Z", lines[0])
    if not m:
        raise ValueError("bad counter line %r" % lines[0])
    entries = []
    for i, line in enumerate(lines[1:], 2):
        fields = line.split(b"\t")
        if (len(fields) != 8 or b"\r" in line or b"\n" in line
                or not all(re.match(rb"-?\d+\Z", fields[k]) for k in (0, 5, 6))):
            raise ValueError("bad article line %d: %r" % (i, line[:200]))
        entries.append((int(fields[0]),) + tuple(fields[1:5]) +
                       (int(fields[5]), int(fields[6]), fields[7]))
    return tuple(int(v) for v in m.groups()), entries


def xover_line(entry):
    """The overview line XOVER sends for an index entry (references before
    bytes and lines)."""
    def b(v):
        return v if isinstance(v, bytes) else str(v).encode()
    number, subject, frm, date, mid, size, lines, refs = entry
    return b"\t".join(b(v) for v in (number, subject, frm, date, mid, refs, size, lines)) + b"\r\n"


def make_pki(directory):
    """A certificate authority made for one test run and a server certificate
    it signed for localhost, 127.0.0.1 and ::1, written with the openssl tool
    into `directory`: ca.pem (what clients trust), server.pem (the server's
    certificate followed by the authority's: a chain), server.key and
    other.key (a key of no certificate). Returns a dict of those paths."""
    def run(*args):
        subprocess.run(["openssl"] + list(args), cwd=directory, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    run("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
        "-subj", "/CN=Marrowby Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    run("req", *ec, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=localhost")
    with open(os.path.join(directory, "server.ext"), "w") as f:
        f.write("basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n"
                "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1\n")
    run("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-CAcreateserial", "-days", "2", "-extfile", "server.ext", "-out", "server.crt")
    run("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", "other.key")
    with open(os.path.join(directory, "server.pem"), "wb") as out:
        for name in ("server.crt", "ca.pem"):
            with open(os.path.join(directory, name), "rb") as f:
                out.write(f.read())
    return {"ca": os.path.join(directory, "ca.pem"),
            "cert": os.path.join(directory, "server.pem"),
            "key": os.path.join(directory, "server.key"),
            "other_key": os.path.join(directory, "other.key")}


def client_context(ca_path):
    """A TLS client context that trusts only the test's authority."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.load_verify_locations(ca_path)
    return context


def wait_until(predicate, timeout=10.0, what="condition"):
    """Polls `predicate` until it holds; fails after `timeout` seconds."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


class Server:
    """One server process in its own directory."""

    def __init__(self, ini_text=None, port=None, start=True, env=None, wrap=None, **ini_args):
        """`wrap`: a command line put in front of the executable (a tracer,
        say); settable later through the attribute of that name."""
        self.dir = tempfile.mkdtemp(prefix="marrowby-test-")
        self.port = port or free_port()
        self.exe = os.path.join(self.dir, "marrowby")
        shutil.copy(BIN, self.exe)
        if ini_text is None:
            ini_text = ini(self.port, **ini_args)
        if ini_text is not False:
            with open(os.path.join(self.dir, "Marrowby.ini"), "wb") as f:
                f.write(ini_text.encode("utf-8") if isinstance(ini_text, str) else ini_text)
        self.proc = None
        self.env = env
        self.wrap = wrap
        # A descriptor to give the server as stdout instead of a pipe read
        # into self.stdout; start() cannot wait for the log then.
        self.stdout_fd = None
        self._out = bytearray()
        self._err = bytearray()
        self._lock = threading.Lock()
        if start:
            self.start()

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write(self, rel, data):
        p = self.path(rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())

    def read(self, rel):
        with open(self.path(rel), "rb") as f:
            return f.read()

    def start(self, wait=True):
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        env.pop("QT_QPA_PLATFORM", None)
        env.setdefault("ASAN_OPTIONS", "detect_leaks=0")
        if self.env:
            env.update(self.env)
        if self.proc is not None and self.proc.poll() is not None:
            # A restart: the pipes of the ended process are done with.
            for stream in (self.proc.stdout, self.proc.stderr):
                try:
                    stream.close()
                except (AttributeError, OSError, ValueError):
                    pass
        self._out = bytearray()
        self._err = bytearray()
        own_stdout = self.stdout_fd is None
        self.proc = subprocess.Popen(list(self.wrap or ()) + [self.exe], cwd="/", env=env,
                                     stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE if own_stdout else self.stdout_fd,
                                     stderr=subprocess.PIPE)
        streams = [(self.proc.stderr, self._err)]
        if own_stdout:
            streams.append((self.proc.stdout, self._out))
        for stream, buf in streams:
            threading.Thread(target=self._pump, args=(stream, buf), daemon=True).start()
        if wait and own_stdout:
            self.wait_log(b"Create Listen Port[%d] !!\r\n" % self.port)
        elif wait:
            self.connect().close()

    def _pump(self, stream, buf):
        while True:
            try:
                chunk = stream.read1(65536) if hasattr(stream, "read1") else stream.read(1)
            except (OSError, ValueError):
                return  # closed by close()
            if not chunk:
                return
            with self._lock:
                buf.extend(chunk)

    @property
    def stdout(self):
        with self._lock:
            return bytes(self._out)

    @property
    def stderr(self):
        with self._lock:
            return bytes(self._err)

    def wait_log(self, needle, timeout=10.0):
        """Waits until stdout holds `needle`; returns stdout."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            out = self.stdout
            if needle in out:
                return out
            if self.proc.poll() is not None:
                time.sleep(0.1)
                out = self.stdout
                if needle in out:
                    return out
                raise AssertionError("server exited (%s) before logging %r\nstdout=%r\nstderr=%r"
                                     % (self.proc.returncode, needle, out, self.stderr))
            time.sleep(0.01)
        raise AssertionError("timed out waiting for %r in log %r" % (needle, self.stdout))

    def wait_exit(self, timeout=10.0):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(5)
            raise AssertionError("server did not exit within %ss" % timeout)

    def signal(self, signo):
        self.proc.send_signal(signo)

    def stop(self):
        """SIGTERM and wait; returns the exit status."""
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            return self.wait_exit()
        return self.proc.returncode if self.proc else None

    def kill(self):
        """SIGKILL and wait; returns the exit status."""
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
        return self.wait_exit()

    def close(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(5)
        if self.proc:
            for stream in (self.proc.stdout, self.proc.stderr):
                try:
                    stream.close()
                except (AttributeError, OSError, ValueError):
                    pass
        shutil.rmtree(self.dir, ignore_errors=True)

    def connect(self, greet=True, port=None, host="127.0.0.1", source=None):
        c = Client(port or self.port, host=host, source=source)
        if greet:
            assert c.read_line() == b"200 connected!!\r\n"
        return c

    def connect_tls(self, context, port, greet=True, host="127.0.0.1"):
        """A client on the TLS port `port`, its handshake done."""
        c = Client(port, host=host)
        c.start_tls(context)
        if greet:
            line = c.read_line()
            assert line == b"200 connected!!\r\n", line
        return c


class Client:
    """A raw NNTP client with exact, bounded reads. `prefix` is the server's
    log prefix for the connection: "[127.0.0.1/<our port>] " ("[::1/...] "
    over IPv6)."""

    def __init__(self, port, timeout=5.0, host="127.0.0.1", source=None):
        """`source`: the local address to connect from (another loopback
        address, to stand for a different host)."""
        # The server logs "Create Listen Port" just before it calls listen(),
        # so a connection made the moment that line appears may be refused.
        deadline = time.time() + 2.0
        while True:
            try:
                self.sock = socket.create_connection(
                    (host, port), timeout=timeout,
                    source_address=(source, 0) if source else None)
                break
            except ConnectionRefusedError:
                if time.time() > deadline:
                    raise
                time.sleep(0.02)
        self.buf = bytearray()
        self.timeout = timeout
        # Taken now: it must be known after the connection has closed too.
        self._prefix = self.prefix

    def start_tls(self, context, hostname="localhost", session=None):
        """Runs the TLS handshake on the connection; everything after it is
        encrypted. Nothing received may be waiting unread."""
        assert not self.buf, bytes(self.buf)
        self.sock = context.wrap_socket(self.sock, server_hostname=hostname, session=session)

    def send(self, data):
        self.sock.sendall(data if isinstance(data, bytes) else data.encode())

    def _fill(self, deadline):
        remaining = deadline - time.time()
        if remaining <= 0:
            raise socket.timeout("read timed out; have %r" % bytes(self.buf))
        self.sock.settimeout(remaining)
        chunk = self.sock.recv(1 << 20)
        if not chunk:
            raise EOFError("connection closed; have %r" % bytes(self.buf))
        self.buf.extend(chunk)

    def read_line(self, timeout=None):
        deadline = time.time() + (timeout or self.timeout)
        while b"\r\n" not in self.buf:
            self._fill(deadline)
        i = self.buf.index(b"\r\n") + 2
        line = bytes(self.buf[:i])
        del self.buf[:i]
        return line

    def read_until(self, terminator=b"\r\n.\r\n", timeout=None):
        """Reads up to and including `terminator`."""
        deadline = time.time() + (timeout or self.timeout)
        while terminator not in self.buf:
            self._fill(deadline)
        i = self.buf.index(terminator) + len(terminator)
        data = bytes(self.buf[:i])
        del self.buf[:i]
        return data

    def read_exact(self, n, timeout=None):
        deadline = time.time() + (timeout or self.timeout)
        while len(self.buf) < n:
            self._fill(deadline)
        data = bytes(self.buf[:n])
        del self.buf[:n]
        return data

    def expect_silence(self, seconds=0.3):
        """Asserts nothing arrives within `seconds`."""
        self.sock.settimeout(seconds)
        try:
            chunk = self.sock.recv(65536)
        except socket.timeout:
            chunk = None
        self.sock.settimeout(self.timeout)
        if chunk is None:
            return
        if chunk == b"":
            raise AssertionError("connection closed while expecting silence")
        raise AssertionError("unexpected bytes %r" % (bytes(self.buf) + chunk))

    def command(self, line):
        """Sends one command line (CR LF added) and returns the status line."""
        self.send(line + "\r\n" if isinstance(line, str) else line + b"\r\n")
        return self.read_line()

    def post(self, article):
        """POSTs `article` (bytes without the terminating line) and returns the reply."""
        assert self.command("POST") == b"340 continue posting!!\r\n"
        self.send(article + b".\r\n")
        return self.read_line()

    @property
    def prefix(self):
        if getattr(self, "_prefix", None) is None:
            address, port = self.sock.getsockname()[:2]
            self._prefix = b"[%s/%d] " % (address.encode(), port)
        return self._prefix

    def wait_closed(self, timeout=None):
        """Reads until the server closes the connection (EOF or reset);
        returns whatever arrived before that."""
        deadline = time.time() + (timeout or self.timeout)
        while True:
            try:
                self._fill(deadline)
            except EOFError:
                break
            except (ConnectionResetError, ssl.SSLError):
                break
        data = bytes(self.buf)
        self.buf.clear()
        return data

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


class ServerTest(unittest.TestCase):
    """Base class: self.server() starts one and registers its cleanup."""

    def server(self, *args, **kwargs):
        s = Server(*args, **kwargs)
        self.addCleanup(s.close)
        return s

    def expect_running_at_end(self, server):
        """Registers a check, run after the test body, that `server` has not
        ended (a crash shows its stderr)."""
        def check():
            if server.proc is not None and server.proc.poll() is not None:
                self.fail("server ended (%s) during the test\nstderr=%s"
                          % (server.proc.returncode,
                             server.stderr.decode("utf-8", "replace")[-4000:]))
        self.addCleanup(check)

    def client(self, server, greet=True, source=None):
        c = server.connect(greet, source=source)
        self.addCleanup(c.close)
        return c
