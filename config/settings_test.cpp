// The settings file: switches, groups with their rights, users.

#include "config/settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "common/file_util.h"
#include "tests/test_support.h"

namespace {

std::string Join(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& name : names) out += (out.empty() ? "" : "|") + name;
    return out;
}

// One group as "name expire note readAll:readers postAll:posters".
std::string Describe(const GroupSettings& g) {
    return g.name + " " + std::to_string(g.expireHours) + " " + g.note + " " +
           std::to_string(g.readAll) + ":" + Join(g.readers) + " " + std::to_string(g.postAll) +
           ":" + Join(g.posters);
}

std::vector<std::string> Groups(const ServerSettings& s) {
    std::vector<std::string> out;
    for (const auto& g : s.groups) out.push_back(Describe(g));
    return out;
}

std::vector<std::string> Users(const ServerSettings& s) {
    std::vector<std::string> out;
    for (const auto& u : s.users) out.push_back(u.name + "/" + u.password);
    return out;
}

std::string Switches(const ServerSettings& s) {
    return std::to_string(s.m_nPortNo) + " " + std::to_string(s.m_bUseAuthor) + " " +
           std::to_string(s.m_bUseExpire) + " " + std::to_string(s.m_bCancelEveryOne) + " " +
           std::to_string(s.m_bUseRfc3977);
}

TEST(ParseSettings, SwitchValues) {
    // Expected: port, UseAuthor, UseExpire, CancelEveryOne, UseRfc3977.
    struct Case {
        std::string lines;
        std::string want;
    } cases[] = {
        {"", "119 0 0 1 0"},
        {"PortNo 8119\n", "8119 0 0 1 0"},
        {"PortNo\t8119\n", "8119 0 0 1 0"},
        {"PortNo 8119 more words\n", "8119 0 0 1 0"},
        {"PortNo 8119x\n", "8119 0 0 1 0"},
        {"PortNo -5\n", "-5 0 0 1 0"},
        {"PortNo 1\nPortNo 2\n", "2 0 0 1 0"},
        // The key is matched as the start of the line.
        {"PortNoX 8119\n", "8119 0 0 1 0"},
        {"portno 8119\n", "119 0 0 1 0"},
        {" PortNo 8119\n", "119 0 0 1 0"},
        // A key without a value leaves the setting as it was.
        {"PortNo 8119\nPortNo\n", "8119 0 0 1 0"},
        {"PortNo 8119\nPortNo=9000\n", "8119 0 0 1 0"},
        {"UseAuthor 1\n", "119 1 0 1 0"},
        {"UseAuthor 2\n", "119 1 0 1 0"},
        {"UseAuthor -1\n", "119 1 0 1 0"},
        {"UseExpire 1\n", "119 0 1 1 0"},
        {"CancelEveryOne 0\n", "119 0 0 0 0"},
        {"CancelEveryOne yes\n", "119 0 0 0 0"},
        {"CancelEveryOne 0x1\n", "119 0 0 0 0"},
        {"CancelEveryOne 7\n", "119 0 0 1 0"},
        {"UseRfc3977 1\n", "119 0 0 1 1"},
        {"Unknown 5\n", "119 0 0 1 0"},
        {"PortNo 8119\r\nUseAuthor 1\r\n", "8119 1 0 1 0"},
    };
    for (const Case& c : cases) {
        ServerSettings s;
        ParseSettings("[Settings]\n" + c.lines, s);
        EXPECT_EQ(c.want, Switches(s)) << "lines: " << c.lines;
        EXPECT_TRUE(s.groups.empty() && s.users.empty()) << "lines: " << c.lines;
    }
}

TEST(ParseSettings, TlsAndPeeringSettings) {
    // TlsPortNo, cert, key, AuthRequiresTls, UseIPv6, PathHost, HistoryDays.
    auto show = [](const ServerSettings& s) {
        return std::to_string(s.m_nTlsPortNo) + " " + s.m_strTlsCertificate + " " + s.m_strTlsKey +
               " " + std::to_string(s.m_bAuthRequiresTls) + " " + std::to_string(s.m_bUseIPv6) +
               " " + s.m_strPathHost + " " + std::to_string(s.m_nHistoryDays);
    };
    struct Case {
        std::string lines;
        std::string want;
    } cases[] = {
        {"", "0   0 0  10"},
        {"TlsPortNo 1563\nTlsCertificate cert.pem\nTlsKey /etc/k.pem\n",
         "1563 cert.pem /etc/k.pem 0 0  10"},
        {"AuthRequiresTls 1\nUseIPv6 3\n", "0   1 1  10"},
        {"PathHost news.example.org\nHistoryDays 3\n", "0   0 0 news.example.org 3"},
        {"PathHost\nTlsKey\n", "0   0 0  10"},
        {"PortNo 8119\n", "0   0 0  10"},
    };
    for (const Case& c : cases) {
        ServerSettings s;
        ParseSettings("[Settings]\n" + c.lines, s);
        EXPECT_EQ(c.want, show(s)) << "lines: " << c.lines;
    }
}

TEST(ParseSettings, DurabilityAndConnectionLimits) {
    // SyncWrites, MaxConnections, MaxConnectionsPerHost.
    auto show = [](const ServerSettings& s) {
        return std::to_string(s.m_bSyncWrites) + " " + std::to_string(s.m_nMaxConnections) + " " +
               std::to_string(s.m_nMaxConnectionsPerHost);
    };
    struct Case {
        std::string lines;
        std::string want;
    } cases[] = {
        {"", "0 0 0"},
        {"SyncWrites 1\n", "1 0 0"},
        {"SyncWrites 5\nSyncWrites\n", "1 0 0"},
        {"SyncWrites 0\n", "0 0 0"},
        {"MaxConnections 1000\nMaxConnectionsPerHost 50\n", "0 1000 50"},
        // The longer key is not taken for the shorter one, in either order.
        {"MaxConnectionsPerHost 50\nMaxConnections 1000\n", "0 1000 50"},
        {"MaxConnectionsPerHost 7\n", "0 0 7"},
        {"MaxConnections -3\n", "0 -3 0"},
    };
    for (const Case& c : cases) {
        ServerSettings s;
        ParseSettings("[Settings]\n" + c.lines, s);
        EXPECT_EQ(c.want, show(s)) << "lines: " << c.lines;
    }
}

TEST(ParseSettings, PeerLines) {
    ServerSettings s;
    ParseSettings(
        "[Peers]\n"
        "hub.example news.example.org 119 *,!local.private\n"
        "leaf 192.0.2.7 0 local.* feeder secret\n"
        "short host 119\n"
        "five a 119 * user\n"
        "badport host 65536 *\n"
        "letters host 11x9 *\n"
        "[Users]\n"
        "alice pw\n",
        s);
    EXPECT_TRUE(s.peersSection);
    ASSERT_EQ(2u, s.peers.size());
    EXPECT_EQ("hub.example", s.peers[0].name);
    EXPECT_EQ("news.example.org", s.peers[0].host);
    EXPECT_EQ(119, s.peers[0].port);
    EXPECT_EQ("*,!local.private", s.peers[0].patterns);
    EXPECT_EQ("", s.peers[0].user);
    EXPECT_EQ(0, s.peers[1].port);
    EXPECT_EQ("feeder", s.peers[1].user);
    EXPECT_EQ("secret", s.peers[1].password);
    EXPECT_EQ((std::vector<std::string>{
                  "[short host 119] needs 4 or 6 fields", "[five a 119 *] needs 4 or 6 fields",
                  "[badport host 65536 *] has a bad port", "[letters host 11x9 *] has a bad port"}),
              s.peerProblems);
    EXPECT_EQ(std::vector<std::string>{"alice/pw"}, Users(s));

    ServerSettings none;
    ParseSettings("[Settings]\nPortNo 1\n", none);
    EXPECT_FALSE(none.peersSection);
}

TEST(ParseSettings, SectionHeaders) {
    ServerSettings s;
    ParseSettings(
        "PortNo 1\n"        // before any header: ignored
        "[Settings]junk\n"  // recognised: the rest of the line is ignored
        "PortNo 2000\n"
        "[settings]\n"  // not a header: [Settings] stays current
        "UseAuthor 1\n"
        "[Groups]\n"  // not a header either
        "UseExpire 1\n"
        "[Users]\n"
        "PortNo 3000\n"  // under [Users] a two-word line is a user
        "[Group]\n"
        "# a comment\n"
        "\n"
        "[Settings]\n"  // a section may be entered again
        "CancelEveryOne 0\n",
        s);
    EXPECT_EQ("2000 1 1 0 0", Switches(s));
    EXPECT_EQ(std::vector<std::string>{"PortNo/3000"}, Users(s));
    EXPECT_TRUE(s.groups.empty());
}

TEST(ParseSettings, UnrecognisedHeaderBeforeAnySectionKeepsSkipping) {
    ServerSettings s;
    ParseSettings("[Other]\nPortNo 1\nalice pw\n", s);
    EXPECT_EQ("119 0 0 1 0", Switches(s));
    EXPECT_TRUE(s.users.empty());
}

TEST(ParseSettings, Users) {
    ServerSettings s;
    ParseSettings(
        "[Users]\n"
        " # x\n"  // not a comment: a user named "#"
        "alice secret\n"
        "bob\n"
        "carol a b\n"
        "alice other\n"  // duplicates stay; the first one wins at login
        "dave\t\x83\x4A\x83\x8D\r\n",
        s);
    EXPECT_EQ(
        (std::vector<std::string>{"#/x", "alice/secret", "alice/other", "dave/\x83\x4A\x83\x8D"}),
        Users(s));
}

TEST(ParseSettings, Groups) {
    ServerSettings s;
    ParseSettings(
        "[Group]\n"
        "local.open 24 note\n"
        " # x\n"                            // 2 fields
        "local.four 24 note extra\n"        // 4 fields, e.g. a trailing comment
        "local.six 1 n AllOk AllOk more\n"  // 6 fields
        "local.mixed 48 n AllOk,alice alice,AllOk\n"
        "local.commas 0 n ,,, ,\n"
        "local.case 0 n allok ALLOK\n"
        "local.open -5 again\n"  // same name: a second record
        "local.tabs\t7\tn\tbob\tAllOk\r\n",
        s);
    EXPECT_EQ((std::vector<std::string>{
                  "local.open 24 note 1: 1:",
                  "local.mixed 48 n 1:AllOk|alice 0:alice|AllOk",
                  "local.commas 0 n 0: 0:",
                  "local.case 0 n 0:allok 0:ALLOK",
                  "local.open -5 again 1: 1:",
                  "local.tabs 7 n 0:bob 1:AllOk",
              }),
              Groups(s));
}

TEST(ParseSettings, LongLinesAreReadInPiecesOf1199Bytes) {
    // The first 1199 bytes of a longer line form a line of their own, and
    // the rest is another line of the same section.
    std::string group = "local.first 1 n";
    group.resize(1199, ' ');
    std::string setting = "UseExpire 1";
    setting.resize(1199, ' ');
    // 1199 bytes before the LF: all of them arrive in the first piece, and
    // the LF alone makes an empty line.
    std::string whole = "local.whole 2";
    whole.resize(1197, ' ');
    whole += "nb";

    ServerSettings s;
    ParseSettings("[Settings]\n" + setting + "PortNo 8119\n" + "[Group]\n" + group +
                      "local.second 3 n\n" + whole + "\n" + "local.third 4 n\n",
                  s);
    EXPECT_EQ("8119 0 1 1 0", Switches(s));
    EXPECT_EQ((std::vector<std::string>{"local.first 1 n 1: 1:", "local.second 3 n 1: 1:",
                                        "local.whole 2 nb 1: 1:", "local.third 4 n 1: 1:"}),
              Groups(s));
}

TEST(ReadSettingsFile, ReadsACrLfFile) {
    ServerSettings s;
    ASSERT_TRUE(ReadSettingsFile(MARROWBY_TEST_DATA "/settings/Marrowby.ini", s));
    EXPECT_EQ("8119 1 1 0 0", Switches(s));
    EXPECT_EQ((std::vector<std::string>{
                  "local.general 720 general 1: 1:", "local.staff 0 staff 1:AllOk 0:alice|bob",
                  "local.secret -1 secret 0:alice|carol 0:alice"}),
              Groups(s));
    EXPECT_EQ((std::vector<std::string>{"alice/wonderland", "bob/builder",
                                        "carol/\x83\x4A\x83\x8D\x83\x8B"}),
              Users(s));
}

TEST(ReadTextFile, ReadsCrLfAsLf) {
    struct Case {
        std::string bytes;
        std::string want;
    } cases[] = {
        {"", ""},
        {"no line end", "no line end"},
        {"a\r\nb\r\n", "a\nb\n"},
        {"\r\n\r\n", "\n\n"},
        {"lone\rcr\n", "lone\rcr\n"},
        {"\r\r\n", "\r\n"},
        {"end\r", "end\r"},
        {"\rx\r\ny\rz\r\n", "\rx\ny\rz\n"},
        {std::string("nul\0\r\n", 6), std::string("nul\0\n", 5)},
    };
    TempDir dir;
    for (const Case& c : cases) {
        WriteFile(dir / "text", c.bytes);
        std::string got = "stale";
        ASSERT_TRUE(ReadTextFile(dir / "text", got));
        EXPECT_EQ(c.want, got) << "bytes: " << c.bytes;
    }
    // A longer file than one read buffer, with a CR LF across its boundary.
    std::string big(65535, 'x');
    big += "\r\n";
    big += std::string(70000, 'y') + "\r\n";
    WriteFile(dir / "big", big);
    std::string got;
    ASSERT_TRUE(ReadTextFile(dir / "big", got));
    EXPECT_EQ(std::string(65535, 'x') + "\n" + std::string(70000, 'y') + "\n", got);
}

TEST(ReadSettingsFile, ByteOrderMarkHidesTheFirstLine) {
    TempDir dir;
    const std::string path = dir / "Marrowby.ini";
    WriteFile(path, "\xEF\xBB\xBF[Settings]\r\nPortNo 8119\r\n[Users]\r\nalice pw\r\n");
    ServerSettings s;
    ASSERT_TRUE(ReadSettingsFile(path, s));
    EXPECT_EQ(119, s.m_nPortNo);
    EXPECT_EQ(std::vector<std::string>{"alice/pw"}, Users(s));
}

TEST(ReadSettingsFile, UnreadableFileLeavesTheSettingsAlone) {
    TempDir dir;
    ServerSettings s;
    EXPECT_FALSE(ReadSettingsFile(dir / "Marrowby.ini", s));
    // A directory opens but cannot be read.
    std::filesystem::create_directory(dir / "Marrowby.ini");
    EXPECT_FALSE(ReadSettingsFile(dir / "Marrowby.ini", s));
    EXPECT_EQ("119 0 0 1 0", Switches(s));
}

}  // namespace
