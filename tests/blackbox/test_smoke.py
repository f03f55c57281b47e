from harness import ServerTest


class SmokeTest(ServerTest):
    def test_greeting_and_quit(self):
        s = self.server()
        c = self.client(s)
        self.assertEqual(c.command("QUIT"), b"205 closing connection - goodbye!!\r\n")
        s.wait_log(b"Closed!!\r\n")
        self.assertEqual(s.stop(), 0)
