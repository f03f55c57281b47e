"""The packaged unit's command line, run as the service manager would run it:
what it tells the manager on its notify socket and how it serves a client.

Shared by the package tests run as any user and by the installation test,
which runs it inside a scratch root as the service user.
"""
import os
import shlex
import signal
import socket
import subprocess
import time

# The search path the service manager gives a system service.
SERVICE_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"

ARTICLE = (b"From: operator@example.invalid\r\nNewsgroups: local.general\r\n"
           b"Subject: from the service\r\n\r\nposted while running as a service\r\n")


def read_unit(path):
    """A unit file as {section: {key: [values in file order]}}."""
    sections = {}
    current = None
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line or line[0] in "#;":
                continue
            if line.startswith("["):
                current = sections.setdefault(line.strip("[]"), {})
                continue
            key, _, value = line.partition("=")
            current.setdefault(key, []).append(value)
    return sections


def unit_command(service):
    """ExecStart of a [Service] section, split into words."""
    (command,) = service["ExecStart"]
    return shlex.split(command)


def unit_environment(service):
    """The environment the manager gives the service: its search path and
    every Environment= assignment. Nothing of the caller's environment, so
    no DISPLAY either."""
    env = {"PATH": SERVICE_PATH, "LANG": "C.UTF-8"}
    for value in service.get("Environment", []):
        for assignment in shlex.split(value):
            key, _, value = assignment.partition("=")
            env[key] = value
    for name in " ".join(service.get("UnsetEnvironment", [])).split():
        env.pop(name, None)
    return env


class NotifySocket:
    """A datagram socket standing in for the manager's notify socket."""

    def __init__(self, path):
        self.path = path
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        # The service user must be allowed to send to it.
        os.chmod(path, 0o666)

    def receive(self, timeout=10.0):
        """The next notice; fails after `timeout` seconds without one."""
        self.sock.settimeout(timeout)
        try:
            return self.sock.recv(4096)
        except socket.timeout:
            raise AssertionError("no notice within %ss" % timeout) from None

    def close(self):
        self.sock.close()


class LineClient:
    """One NNTP connection made with a single attempt: no retry, so a refused
    connection fails the test."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.lines = self.sock.makefile("rb")

    def read_line(self):
        return self.lines.readline()

    def command(self, line):
        self.sock.sendall(line + b"\r\n")
        return self.read_line()

    def close(self):
        self.lines.close()
        self.sock.close()


def serve_one_client(test, port):
    """A client that connects, posts an article and reads it back."""
    c = LineClient(port)
    try:
        test.assertEqual(c.read_line(), b"200 connected!!\r\n")
        test.assertEqual(c.command(b"MODE READER"), b"200 Posting allowed\r\n")
        test.assertEqual(c.command(b"GROUP local.general"),
                         b"211 0 0 0 local.general group selected!!\r\n")
        test.assertEqual(c.command(b"POST"), b"340 continue posting!!\r\n")
        test.assertEqual(c.command(ARTICLE + b"."), b"240 article posted successfully!!\r\n")
        status = c.command(b"ARTICLE 1")
        test.assertTrue(status.startswith(b"220 1 <"), status)
        text = b""
        while not text.endswith(b"\r\n.\r\n"):
            line = c.read_line()
            test.assertTrue(line, "connection closed inside the article: %r" % text)
            text += line
        test.assertIn(b"\r\nSubject: from the service\r\n", text)
        test.assertEqual(c.command(b"QUIT"), b"205 closing connection - goodbye!!\r\n")
    finally:
        c.close()


def exercise_service(test, argv, env, port, notify_path, timeout=15.0):
    """Runs `argv` with `env` and NOTIFY_SOCKET at `notify_path`, and checks
    the life of a service: READY=1 first, once the port answers; a client
    served; WATCHDOG=1 from the maintenance pass; STOPPING=1 on SIGTERM and
    an exit with status 0. Returns the process's (stdout, stderr)."""
    notify = NotifySocket(notify_path)
    env = dict(env, NOTIFY_SOCKET=notify_path)
    proc = subprocess.Popen(argv, env=env, cwd="/", stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        try:
            ready = notify.receive(timeout)
        except AssertionError:
            proc.kill()
            out, err = proc.communicate(timeout=5)
            test.fail("no READY=1 (exit %s)\nstdout=%r\nstderr=%r" % (proc.returncode, out, err))
        test.assertEqual(ready, b"READY=1\nSTATUS=Listening on port %d" % port)
        # Nothing but the one attempt: the port must answer by now.
        serve_one_client(test, port)
        notices = []
        deadline = time.time() + timeout
        while b"WATCHDOG=1" not in notices and time.time() < deadline:
            notices.append(notify.receive(deadline - time.time()))
        test.assertEqual(set(notices), {b"WATCHDOG=1"})
        proc.send_signal(signal.SIGTERM)
        while True:
            notice = notify.receive(timeout)
            if notice != b"WATCHDOG=1":
                break
        test.assertEqual(notice, b"STOPPING=1")
        out, err = proc.communicate(timeout=timeout)
        test.assertEqual(proc.returncode, 0, err)
        return out, err
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate(timeout=5)
        notify.close()
