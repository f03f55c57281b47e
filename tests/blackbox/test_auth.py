"""Logging in with AUTHINFO and the read and post lists of the groups."""
import unittest

from harness import ServerTest, index_text, xover_line

GROUPS = (
    # Readable by bob only; holds an article that local.open, later in the
    # list, holds too.
    "local.bob\t0\tnote\tbob\tbob",
    "local.open\t0\tnote\tAllOk\tAllOk",
    # Readable and open for posting to alice only.
    "local.alice\t0\tnote\talice\talice",
    # Everyone reads, only bob posts.
    "local.ro\t0\tnote\tAllOk\tbob",
    # Three fields: everyone reads and posts.
    "local.plain\t0\tnote",
)
USERS = (
    "alice\tsecret",
    "bob\thunter2",
    # A second alice: only the first entry of a name counts.
    "alice\tother",
)

SHARED = "<shared@example.org>"
BOB_ONLY = "<bob1@example.org>"


def entry(number, mid, subject):
    return (number, subject, "Bob <bob@example.org>", "Sat, 06 Dec 2003 14:05:00 +0900", mid,
            80, 5, "")


def article(mid, subject):
    return (b"Message-ID: %s\r\nSubject: %s\r\nFrom: Bob <bob@example.org>\r\n\r\nbody\r\n.\r\n"
            % (mid.encode(), subject.encode()))


OK_281 = b"281 User/Password OK!!\r\n"
NEED_480 = b"480 Authentication required for command!!\r\n"
BAD_502 = b"502 Authentication error!!\r\n"
PASS_381 = b"381 PASS required!!\r\n"
UNKNOWN_500 = b"500 command not recognized!!\r\n"


class AuthTest(ServerTest):
    def server(self, *args, **kwargs):
        s = super().server(*args, **kwargs)
        self.expect_running_at_end(s)
        return s

    def start(self, **kwargs):
        s = self.server(start=False, groups=GROUPS, users=USERS, settings={"UseAuthor": 1},
                        **kwargs)
        s.write("local.bob/Message.lst", index_text(
            (1, 2, 2), [entry(1, BOB_ONLY, "bob only"), entry(2, SHARED, "in bob")]))
        s.write("local.bob/1", article(BOB_ONLY, "bob only"))
        s.write("local.bob/2", article(SHARED, "in bob"))
        s.write("local.open/Message.lst", index_text(
            (4, 4, 1), [entry(4, SHARED, "in open")]))
        s.write("local.open/4", article(SHARED, "in open"))
        s.start()
        return s

    def login(self, c, user, password):
        self.assertEqual(c.command("AUTHINFO USER " + user), PASS_381)
        self.assertEqual(c.command("AUTHINFO PASS " + password), OK_281)

    def list_groups(self, c):
        c.send("LIST\r\n")
        return c.read_until()


class LoginTest(AuthTest):
    def test_before_login_only_quit_alone_is_served(self):
        s = self.start()
        c = self.client(s)
        for command in ("LIST", "LIST OVERVIEW.FMT", "GROUP local.open", "XOVER 1-10",
                        "ARTICLE " + SHARED, "POST", "QUIT x", "HELP",
                        "AUTHINFO USER", "AUTHINFO", "AUTHINFO USER alice x"):
            with self.subTest(command=command):
                self.assertEqual(c.command(command), NEED_480)
        # POST was refused, so what follows is a command, not an article body.
        self.assertEqual(c.command("AUTHINFO PASS secret"), BAD_502)
        self.assertEqual(c.command("QUIT"), b"205 closing connection - goodbye!!\r\n")
        self.assertEqual(c.wait_closed(), b"")

    def test_user_and_pass_replies(self):
        s = self.start()
        c = self.client(s)
        self.assertEqual(c.command("AUTHINFO FOO bar"),
                         b"501 AUTHINFO USER XXX or AUTHINFO PASS XXX!!\r\n")
        self.assertEqual(c.command("AUTHINFO USER alice"), PASS_381)
        for wrong in ("Secret", "other", "secret2"):
            with self.subTest(password=wrong):
                self.assertEqual(c.command("AUTHINFO PASS " + wrong), BAD_502)
                self.assertEqual(c.command("LIST"), NEED_480)
        self.assertEqual(c.command("AUTHINFO PASS secret"), OK_281)
        self.assertEqual(c.command("GROUP local.open"), b"211 1 4 4 local.open group selected!!\r\n")
        # Once logged in, AUTHINFO without a name is just an unknown command.
        self.assertEqual(c.command("AUTHINFO USER"), UNKNOWN_500)
        self.assertEqual(c.command("AUTHINFO"), UNKNOWN_500)

    def test_command_words_ignore_case_but_names_and_passwords_do_not(self):
        s = self.start()
        c = self.client(s)
        self.assertEqual(c.command("authinfo user Alice"), PASS_381)
        self.assertEqual(c.command("authinfo pass secret"), BAD_502)
        self.assertEqual(c.command("Authinfo User alice"), PASS_381)
        self.assertEqual(c.command("AUTHINFO PASS SECRET"), BAD_502)
        self.assertEqual(c.command("aUTHINFO pASS secret"), OK_281)
        self.assertEqual(c.command("group local.alice"),
                         b"211 0 0 0 local.alice group selected!!\r\n")

    def test_only_the_first_user_of_a_name_counts(self):
        s = self.start()
        c = self.client(s)
        self.assertEqual(c.command("AUTHINFO USER alice"), PASS_381)
        self.assertEqual(c.command("AUTHINFO PASS other"), BAD_502)
        self.assertEqual(c.command("AUTHINFO PASS secret"), OK_281)

    def test_password_never_reaches_the_log(self):
        s = self.start()
        c = self.client(s)
        p = c.prefix
        c.command("AUTHINFO USER bob")
        self.assertEqual(c.command("AUTHINFO PASS wr0ngPw"), BAD_502)
        self.assertEqual(c.command("authinfo Pass hunter2"), OK_281)
        out = s.wait_log(p + b"authinfo Pass *****\r\n" + p + OK_281)
        self.assertIn(p + b"AUTHINFO USER bob\r\n" + p + PASS_381, out)
        self.assertIn(p + b"AUTHINFO PASS *****\r\n" + p + BAD_502, out)
        self.assertNotIn(b"hunter2", out)
        self.assertNotIn(b"wr0ngPw", out)

    def test_a_new_user_name_needs_its_own_password(self):
        s = self.start()
        c = self.client(s)
        self.login(c, "alice", "secret")
        self.assertEqual(c.command("AUTHINFO USER bob"), PASS_381)
        self.assertEqual(c.command("LIST"), NEED_480)
        self.assertEqual(c.command("GROUP local.bob"), NEED_480)
        self.assertEqual(c.command("AUTHINFO PASS hunter2"), OK_281)
        self.assertEqual(c.command("GROUP local.bob"), b"211 2 1 2 local.bob group selected!!\r\n")

    def test_failing_password_ends_the_login(self):
        s = self.start()
        c = self.client(s)
        self.login(c, "alice", "secret")
        self.assertEqual(c.command("AUTHINFO PASS nope"), BAD_502)
        self.assertEqual(c.command("GROUP local.open"), NEED_480)
        self.assertEqual(c.command("AUTHINFO PASS secret"), OK_281)
        self.assertEqual(c.command("GROUP local.open"), b"211 1 4 4 local.open group selected!!\r\n")

    def test_without_authentication_authinfo_is_unknown(self):
        s = self.server(groups=GROUPS, users=USERS)
        c = self.client(s)
        self.assertEqual(c.command("AUTHINFO USER alice"), UNKNOWN_500)
        self.assertEqual(c.command("AUTHINFO PASS secret"), UNKNOWN_500)
        self.assertEqual(self.list_groups(c),
                         b"215 list of newsgroups follows!!\r\n"
                         b"local.bob 0 0 y\r\nlocal.open 0 0 y\r\nlocal.alice 0 0 y\r\n"
                         b"local.ro 0 0 y\r\nlocal.plain 0 0 y\r\n.\r\n")
        self.assertEqual(c.command("GROUP local.bob"), b"211 0 0 0 local.bob group selected!!\r\n")


class RightsTest(AuthTest):
    def test_list_shows_readable_groups_with_the_post_flag(self):
        s = self.start()
        alice = self.client(s)
        self.login(alice, "alice", "secret")
        self.assertEqual(self.list_groups(alice),
                         b"215 list of newsgroups follows!!\r\n"
                         b"local.open 4 4 y\r\nlocal.alice 0 0 y\r\nlocal.ro 0 0 n\r\n"
                         b"local.plain 0 0 y\r\n.\r\n")
        bob = self.client(s)
        self.login(bob, "bob", "hunter2")
        self.assertEqual(self.list_groups(bob),
                         b"215 list of newsgroups follows!!\r\n"
                         b"local.bob 2 1 y\r\nlocal.open 4 4 y\r\nlocal.ro 0 0 y\r\n"
                         b"local.plain 0 0 y\r\n.\r\n")

    def test_group_of_others_is_refused(self):
        s = self.start()
        c = self.client(s)
        self.login(c, "alice", "secret")
        self.assertEqual(c.command("GROUP local.bob"),
                         b"502 access restriction or permission denied [local.bob]!!\r\n")
        # The refused GROUP selected nothing.
        self.assertEqual(c.command("XOVER 1-10"), b"412 No news group current selected!!\r\n")
        self.assertEqual(c.command("ARTICLE " + BOB_ONLY),
                         b"502 access restriction or permission denied [%s]!!\r\n"
                         % BOB_ONLY.encode())
        # Finding the Message-ID selected bob's group, which alice may not read.
        self.assertEqual(c.command("XOVER 1-10"),
                         b"502 access restriction or permission denied!!\r\n")
        self.assertEqual(c.command("ARTICLE 1"),
                         b"502 access restriction or permission denied [1]!!\r\n")
        c.expect_silence(0.1)

    def test_message_id_is_served_from_the_first_readable_group(self):
        s = self.start()
        c = self.client(s)
        self.login(c, "alice", "secret")
        self.assertEqual(c.command("ARTICLE " + SHARED),
                         b"220 4 %s Article retrieved, text follows!!\r\n" % SHARED.encode())
        want = article(SHARED, "in open")
        self.assertEqual(c.read_exact(len(want)), want)
        c.expect_silence(0.3)
        self.assertNotIn(b"502 access", s.stdout)
        # The group that served it is now the selected one.
        c.send("XOVER 1-10\r\n")
        self.assertEqual(c.read_until(), b"224 Overview information follows!!\r\n"
                         + xover_line(entry(4, SHARED, "in open")) + b".\r\n")
        # Bob may read both groups and gets the copy in the first of them.
        bob = self.client(s)
        self.login(bob, "bob", "hunter2")
        self.assertEqual(bob.command("ARTICLE " + SHARED),
                         b"220 2 %s Article retrieved, text follows!!\r\n" % SHARED.encode())
        want = article(SHARED, "in bob")
        self.assertEqual(bob.read_exact(len(want)), want)


if __name__ == "__main__":
    unittest.main()
