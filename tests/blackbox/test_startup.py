"""Start-up, start-up failures and shutdown of the server process."""
import os
import shutil
import signal
import socket
import tempfile
import unittest

from harness import ServerTest, ini, index_text, xover_line


def stderr_lines(server):
    return server.stderr.decode("utf-8", "replace").splitlines()


class StartupFailureTest(ServerTest):
    def assert_failed_start(self, server, message):
        server.start(wait=False)
        self.assertNotEqual(server.wait_exit(timeout=5), 0)
        self.assertIn(message, stderr_lines(server))
        self.assertNotIn(b"Create Listen Port", server.stdout)

    def test_missing_settings_file_ends_the_process_without_touching_anything(self):
        s = self.server(ini_text=False, start=False)
        base = os.path.realpath(s.dir)
        self.assert_failed_start(s, base + "/Marrowby.ini" + "が見つかりません")
        self.assertEqual(os.listdir(s.dir), ["marrowby"])

    def test_port_in_use_ends_the_process_before_group_directories_are_made(self):
        s = self.server(start=False, groups=("local.fresh\t0\tnote",))
        holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(holder.close)
        holder.bind(("127.0.0.1", s.port))
        holder.listen(1)
        self.assert_failed_start(s, "Listenポートがすでに開かれているか、その他のエラーです。")
        self.assertFalse(os.path.exists(s.path("local.fresh")))

    def test_index_file_that_cannot_be_opened_ends_the_process(self):
        s = self.server(start=False)
        os.makedirs(s.path("local.test", "Message.lst"))
        path = os.path.realpath(s.dir) + "/local.test/Message.lst"
        self.assert_failed_start(s, path + "が、開けません")

    def test_unusable_home_directory_is_named_and_nothing_is_written(self):
        # As root every directory is writable, so the read-only case runs
        # under another user, who must reach the executable's copy.
        as_other_user = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        base = tempfile.mkdtemp(prefix="marrowby-home-")
        self.addCleanup(shutil.rmtree, base, ignore_errors=True)
        os.chmod(base, 0o755)
        read_only = os.path.join(base, "read-only")
        os.mkdir(read_only, 0o555)
        os.chmod(read_only, 0o555)
        a_file = os.path.join(base, "a-file")
        open(a_file, "w").close()
        missing = os.path.join(base, "missing")
        cases = [
            (missing, missing + "が見つかりません"),
            (missing + "//", missing + "が見つかりません"),
            (a_file, a_file + "が見つかりません"),
            (read_only, read_only + "に書き込めません"),
        ]
        for home, message in cases:
            with self.subTest(home=home):
                s = self.server(env={"MARROWBY_HOME": home}, start=False)
                os.chmod(s.dir, 0o755)
                if os.geteuid() == 0:
                    s.wrap = as_other_user
                self.assert_failed_start(s, message)
                self.assertEqual(sorted(os.listdir(base)), ["a-file", "read-only"])
                self.assertEqual(os.listdir(read_only), [])


class StartupTest(ServerTest):
    def test_listen_message_is_the_first_log_line_and_greeting_is_logged(self):
        s = self.server()
        c = self.client(s)
        greeted = c.prefix + b"200 connected!!\r\n"
        out = s.wait_log(greeted)
        self.assertEqual(out, b"Create Listen Port[%d] !!\r\n" % s.port + greeted)
        self.assertEqual(s.stderr, b"")

    def test_missing_group_directories_are_created_and_existing_ones_kept(self):
        s = self.server(start=False, groups=("local.new\t0\tnote",
                                             "local.old\t0\tnote\tAllOk\tAllOk"))
        s.write("local.old/17", b"kept\r\n.\r\n")
        s.start()
        self.assertTrue(os.path.isdir(s.path("local.new")))
        self.assertEqual(os.listdir(s.path("local.new")), [])
        self.assertEqual(s.read("local.old/17"), b"kept\r\n.\r\n")
        # Nothing changed, so shutdown writes no index file either.
        self.assertEqual(s.stop(), 0)
        self.assertEqual(os.listdir(s.path("local.new")), [])
        self.assertEqual(sorted(os.listdir(s.path("local.old"))), ["17"])

    def test_existing_index_file_is_loaded(self):
        entries = [
            (12, "Second", "Bob <bob@example.org>", "Sat, 06 Dec 2003 14:05:00 +0900",
             "<12@example.org>", 812, 14, "<10@example.org>"),
            (10, b"\x83e\x83X\x83g", "Eve <eve@example.org>", "Fri, 05 Dec 2003 09:00:00 +0900",
             "<10@example.org>", 640, 9, ""),
            # Empty fields stay in their places when read back.
            (15, "", "Ann <ann@example.org>", "", "<15@example.org>", 100, 3, ""),
        ]
        text = index_text((10, 15, 3), entries)
        # Comments and empty lines are skipped anywhere in the file; an article
        # line with seven fields has no references.
        lines = text.split(b"\r\n")
        text = b"\r\n".join([b"# index", b""] + lines[:2] + [b"# note", b""] + lines[2:])
        text += b"16\tOld form\tOld <old@example.org>\tThu\t<16@example.org>\t50\t2\r\n"
        entries.append((16, "Old form", "Old <old@example.org>", "Thu", "<16@example.org>",
                        50, 2, ""))
        s = self.server(start=False)
        s.write("local.test/Message.lst", text)
        s.start()
        c = self.client(s)
        self.assertEqual(c.command("GROUP local.test"),
                         b"211 3 10 15 local.test group selected!!\r\n")
        c.send("XOVER 1-100\r\n")
        self.assertEqual(c.read_until(),
                         b"224 Overview information follows!!\r\n"
                         + b"".join(xover_line(e) for e in entries) + b".\r\n")
        c.send("LIST\r\n")
        self.assertEqual(c.read_until(),
                         b"215 list of newsgroups follows!!\r\nlocal.test 15 10 y\r\n.\r\n")

    def test_index_file_with_counter_line_only(self):
        s = self.server(start=False)
        s.write("local.test/Message.lst", b"4\t8\t0\r\n")
        s.start()
        c = self.client(s)
        self.assertEqual(c.command("GROUP local.test"),
                         b"211 0 4 8 local.test group selected!!\r\n")
        c.send("XOVER 1-100\r\n")
        self.assertEqual(c.read_until(), b"224 Overview information follows!!\r\n.\r\n")


class HomeDirectoryTest(ServerTest):
    def test_home_directory_holds_settings_and_groups_instead_of_the_executables(self):
        home = tempfile.mkdtemp(prefix="marrowby-home-")
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        s = self.server(ini_text=False, start=False, env={"MARROWBY_HOME": home + "/"})
        with open(os.path.join(home, "Marrowby.ini"), "w") as f:
            f.write(ini(s.port))
        s.start()
        c = self.client(s)
        self.assertEqual(c.command("GROUP local.test"),
                         b"211 0 0 0 local.test group selected!!\r\n")
        self.assertEqual(c.post(b"From: a@example.invalid\r\nNewsgroups: local.test\r\n"
                                b"Subject: at home\r\n\r\nbody\r\n"),
                         b"240 article posted successfully!!\r\n")
        self.assertEqual(s.stop(), 0)
        self.assertEqual(os.listdir(s.dir), ["marrowby"])
        self.assertEqual(sorted(os.listdir(os.path.join(home, "local.test"))),
                         ["1", "Message.lst"])

    def test_empty_home_variable_leaves_the_executables_directory_in_use(self):
        s = self.server(env={"MARROWBY_HOME": ""})
        self.assertEqual(self.client(s).command("GROUP local.test"),
                         b"211 0 0 0 local.test group selected!!\r\n")
        self.assertTrue(os.path.isdir(s.path("local.test")))


class JournalTest(ServerTest):
    # The journal's stream protocol: JOURNAL_STREAM names stdout's device and
    # inode. The shell fills it in for the pipe the harness reads.
    AS_JOURNAL = ["sh", "-c",
                  'JOURNAL_STREAM=$(stat -L -c %d:%i /proc/$$/fd/1) && export JOURNAL_STREAM'
                  ' && exec "$0"']

    def test_log_copy_reaches_the_journal_one_line_per_entry_without_carriage_returns(self):
        s = self.server(start=False, wrap=self.AS_JOURNAL)
        s.start(wait=False)
        s.wait_log(b"Create Listen Port[%d] !!\n" % s.port)
        c = self.client(s)
        c.send("GROUP\rlocal.test\r\n")
        c.read_line()
        self.assertEqual(c.command("QUIT"), b"205 closing connection - goodbye!!\r\n")
        out = s.wait_log(c.prefix + b"Closed!!\n")
        self.assertEqual(out.split(b"\n")[:3],
                         [b"Create Listen Port[%d] !!" % s.port,
                          c.prefix + b"200 connected!!",
                          c.prefix + b"GROUPlocal.test"])
        self.assertNotIn(b"\r", out)

    def test_a_journal_stream_that_is_not_stdout_leaves_the_copy_byte_exact(self):
        s = self.server(env={"JOURNAL_STREAM": "%d:%d" % (os.stat("/").st_dev,
                                                           os.stat("/").st_ino)})
        c = self.client(s)
        self.assertEqual(s.wait_log(c.prefix + b"200 connected!!\r\n"),
                         b"Create Listen Port[%d] !!\r\n" % s.port + c.prefix
                         + b"200 connected!!\r\n")


class ShutdownTest(ServerTest):
    def test_termination_signals_end_the_process_with_status_zero(self):
        for signo in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=signo.name):
                s = self.server()
                c = self.client(s)
                self.assertEqual(c.command("GROUP local.test"),
                                 b"211 0 0 0 local.test group selected!!\r\n")
                s.signal(signo)
                self.assertEqual(s.wait_exit(), 0)
                self.assertEqual(c.wait_closed(), b"")


if __name__ == "__main__":
    unittest.main()
