"""Start-up, start-up failures and shutdown of the server process."""
import os
import signal
import socket
import unittest

from harness import ServerTest, index_text, xover_line


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
