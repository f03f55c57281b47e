// The article store on disk: posting, cancelling, saving and rebuilding the
// group indexes, expiry, and the date-hour key that expiry judges by.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <climits>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>

#include "common/date_key.h"
#include "common/text.h"
#include "store/cancel.h"
#include "store/group_index.h"
#include "store/posting.h"
#include "store/server_core.h"
#include "tests/test_support.h"

namespace {

// Stores the posting written to `tempPath` as a connection would, having
// received those bytes; the file is taken in and gone afterwards.
StoreResult StoreArticle(CServerCore& core, const CanPostFn& canPost, const std::string& tempPath,
                         int lineCount, XContent& header, time_t now, bool readerMode = false) {
    Posting posting;
    std::ifstream in(tempPath, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::filesystem::remove(tempPath);
    posting.Append(bytes.data(), bytes.size());
    posting.lineCount = lineCount;
    return StoreArticleFrom(core, canPost, posting, header, now, readerMode);
}

// The server's state with its host's services recorded.
class FakeCore : public FakeHost, public CServerCore {
public:
    FakeCore() : CServerCore(static_cast<IServerHost&>(*this)) {}
};

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool Exists(const std::string& path) {
    return std::filesystem::exists(path);
}

void SetModTime(const std::string& path, time_t when) {
    struct utimbuf times = {when, when};
    ASSERT_EQ(0, ::utime(path.c_str(), &times)) << path;
}

// The names in a directory, sorted.
std::vector<std::string> Names(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

int CountLf(const std::string& text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

GroupEntry& AddGroup(CServerCore& core, const std::string& name, int expireHours = 0,
                     bool makeDirectory = true) {
    auto group = std::make_unique<GroupEntry>();
    group->name = name;
    group->expireHours = expireHours;
    if (makeDirectory) std::filesystem::create_directories(core.GroupDir(*group));
    core.m_groups.push_back(std::move(group));
    return *core.m_groups.back();
}

const ArticleEntry& AddArticle(GroupEntry& group, int number, const std::string& messageId = "",
                               const std::string& from = "") {
    return group.articles.Add(number, EntryTexts{"", from, "", messageId, ""}, 0, 0);
}

std::string Counters(const GroupEntry& g) {
    return std::to_string(g.firstNumber) + " " + std::to_string(g.lastNumber) + " " +
           std::to_string(g.articleCount);
}

std::vector<int> Numbers(const GroupEntry& g) {
    std::vector<int> out;
    for (const ArticleEntry& a : g.articles) out.push_back(a.number);
    return out;
}

// Local time is what keys and Message-IDs are made of; the tests fix it to
// UTC so that their moments have known texts.
class UtcTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (const char* tz = std::getenv("TZ")) s_oldTz = tz;
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    static void TearDownTestSuite() {
        if (s_oldTz)
            ::setenv("TZ", s_oldTz->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
        s_oldTz.reset();
    }

private:
    static inline std::optional<std::string> s_oldTz;
};

// 2024-03-05 06:07:08 UTC.
constexpr time_t kPostTime = 1709618828;

class StoreTest : public UtcTest {
protected:
    StoreTest() { core.m_szBaseDir = dir.path(); }

    // Writes the bytes a client sent after the 340 reply to a temporary file.
    std::string WritePost(const std::string& bytes) {
        const std::string path = dir / "post.tmp";
        WriteFile(path, bytes);
        return path;
    }

    StoreResult Post(
        const std::string& bytes, int lineCount = -1,
        const CanPostFn& canPost = [](const GroupEntry&) { return true; }) {
        tempPath = WritePost(bytes);
        return StoreArticle(core, canPost, tempPath, lineCount < 0 ? CountLf(bytes) : lineCount,
                            header, kPostTime);
    }

    std::string ArticleFile(const GroupEntry& g, int n) { return ReadAll(core.ArticlePath(g, n)); }

    TempDir dir;
    FakeCore core;
    XContent header;
    std::string tempPath;
};

// ---------------------------------------------------------------------------
// Posting

TEST_F(StoreTest, ArticleFileIsThePostWithMissingHeadersInFront) {
    GroupEntry& g = AddGroup(core, "local.test");
    const std::string body = "\r\nbody one\r\nbody two\r\n.\r\n";
    struct Case {
        const char* what;
        std::string header;
        bool generatedId;
        bool linesLine;
        const char* ownId;
    } cases[] = {
        {"neither", "From: alice\r\nNewsgroups: local.test\r\nSubject: hi\r\n", true, true, ""},
        {"both", "Message-ID: <own@x>\r\nNewsgroups: local.test\r\nLines: 2\r\n", false, false,
         "<own@x>"},
        {"Lines: 0", "Message-ID: <own@x>\r\nNewsgroups: local.test\r\nLines: 0\r\n", false, true,
         "<own@x>"},
        {"Message-ID in another case",
         "Message-Id: <low@x>\r\nNewsgroups: local.test\r\nLines: 3\r\n", true, false, ""},
        {"Lines without digits", "Newsgroups: local.test\r\nLines: abc\r\n", true, true, ""},
    };
    int number = 0;
    for (const Case& c : cases) {
        const std::string post = c.header + body;
        const int lf = CountLf(post);
        ASSERT_EQ(StoreResult::Stored, Post(post)) << c.what;
        EXPECT_FALSE(Exists(tempPath)) << c.what;
        ++number;
        ASSERT_EQ(static_cast<size_t>(number), g.articles.size()) << c.what;
        const ArticleEntry& a = g.articles.back();
        EXPECT_EQ(number, a.number) << c.what;
        if (c.generatedId)
            EXPECT_TRUE(
                std::regex_match(std::string(a.MessageId()), std::regex("<[0-9]+@20240305060708>")))
                << c.what << ": " << std::string(a.MessageId());
        else
            EXPECT_EQ(c.ownId, std::string(a.MessageId())) << c.what;
        std::string want =
            c.generatedId ? "Message-ID: " + std::string(a.MessageId()) + "\r\n" : "";
        if (c.linesLine) want += Format("Lines: %d\r\n", lf);
        want += post;
        EXPECT_EQ(want, ArticleFile(g, number)) << c.what;
        EXPECT_EQ(static_cast<int>(want.size()), a.Bytes()) << c.what;
        // The entry carries the received line count, whatever the header says.
        EXPECT_EQ(lf, a.Lines()) << c.what;
    }
}

TEST_F(StoreTest, IndexEntryAndCounters) {
    GroupEntry& g = AddGroup(core, "local.test");
    const std::string post =
        "From: alice <a@example>\r\nNewsgroups: local.test\r\nSubject: \tHello\r\n there\r\n"
        "Date: Tue, 5 Mar 2024 15:07:08 +0900\r\nReferences: <1@x>\r\n\r\nbody\r\n.\r\n";
    ASSERT_EQ(StoreResult::Stored, Post(post, 42));
    EXPECT_EQ("1 1 1", Counters(g));
    EXPECT_EQ(1, g.dirty);
    ASSERT_EQ(1u, g.articles.size());
    const ArticleEntry& a = g.articles[0];
    EXPECT_EQ("Hello  there", std::string(a.Subject()));
    EXPECT_EQ("alice <a@example>", std::string(a.From()));
    EXPECT_EQ("Tue, 5 Mar 2024 15:07:08 +0900", std::string(a.Date()));
    EXPECT_EQ("<1@x>", std::string(a.References()));
    EXPECT_EQ(42, a.Lines());
    EXPECT_EQ(std::filesystem::file_size(core.ArticlePath(g, 1)),
              static_cast<uintmax_t>(a.Bytes()));
    EXPECT_EQ("local.test", header.newsgroups);

    // A group whose articles have all gone keeps counting from lastNumber;
    // its first number restarts at 1.
    GroupEntry& h = AddGroup(core, "local.old");
    h.lastNumber = 4;
    ASSERT_EQ(StoreResult::Stored, Post("Newsgroups: local.old\r\n\r\n.\r\n"));
    EXPECT_EQ(std::vector<int>{5}, Numbers(h));
    EXPECT_EQ("1 5 1", Counters(h));
}

TEST_F(StoreTest, CrossPostSharesOneMessageId) {
    GroupEntry& a = AddGroup(core, "local.a");
    GroupEntry& b = AddGroup(core, "local.b");
    GroupEntry& c = AddGroup(core, "local.c");
    b.firstNumber = 1;
    b.lastNumber = 4;
    b.articleCount = 4;
    // Blanks around a name are trimmed; unknown names are passed over.
    ASSERT_EQ(StoreResult::Stored,
              Post("Newsgroups: local.a, nothere ,local.b\r\nSubject: x\r\n\r\n.\r\n"));
    EXPECT_EQ(std::vector<std::string>{"1"}, Names(core.GroupDir(a)));
    EXPECT_EQ(std::vector<std::string>{"5"}, Names(core.GroupDir(b)));
    EXPECT_TRUE(Names(core.GroupDir(c)).empty());
    EXPECT_EQ(ArticleFile(a, 1), ArticleFile(b, 5));
    ASSERT_EQ(1u, a.articles.size());
    ASSERT_EQ(1u, b.articles.size());
    EXPECT_EQ(std::string(a.articles[0].MessageId()), std::string(b.articles[0].MessageId()));
    EXPECT_EQ(0u, ArticleFile(a, 1).find("Message-ID: " + std::string(a.articles[0].MessageId()) +
                                         "\r\n"));
    EXPECT_EQ("1 1 1", Counters(a));
    EXPECT_EQ("1 5 5", Counters(b));
    EXPECT_EQ(0, c.dirty);
}

TEST_F(StoreTest, GroupNamedTwiceIsStoredTwice) {
    GroupEntry& g = AddGroup(core, "local.a");
    ASSERT_EQ(StoreResult::Stored, Post("Newsgroups: local.a,local.a\r\n\r\n.\r\n"));
    EXPECT_EQ((std::vector<int>{1, 2}), Numbers(g));
    EXPECT_EQ("1 2 2", Counters(g));
    EXPECT_EQ(ArticleFile(g, 1), ArticleFile(g, 2));
    EXPECT_EQ(std::string(g.articles[0].MessageId()), std::string(g.articles[1].MessageId()));
}

TEST_F(StoreTest, NoTargetGroupStoresNothing) {
    GroupEntry& g = AddGroup(core, "local.a");
    const auto nobody = [](const GroupEntry&) { return false; };
    struct Case {
        std::string header;
        bool mayPost;
        std::string newsgroups;  // as parsed, for the 411 reply
    } cases[] = {
        {"Newsgroups: Local.A\r\n", true, "Local.A"},
        {"Newsgroups: nothere, local.b\r\n", true, "nothere, local.b"},
        {"Newsgroups: ,,,\r\n", true, ",,,"},
        {"Subject: no groups\r\n", true, ""},
        {"Newsgroups: local.a\r\n", false, "local.a"},
    };
    for (const Case& c : cases) {
        const std::string post = c.header + "\r\nbody\r\n.\r\n";
        EXPECT_EQ(StoreResult::NoTarget, c.mayPost ? Post(post) : Post(post, -1, nobody))
            << c.header;
        EXPECT_FALSE(Exists(tempPath)) << c.header;
        EXPECT_EQ(c.newsgroups, header.newsgroups) << c.header;
    }
    // A post whose temporary file never came about has no header at all.
    EXPECT_EQ(StoreResult::NoTarget, StoreArticle(
                                         core, [](const GroupEntry&) { return true; },
                                         dir / "missing", 3, header, kPostTime));
    EXPECT_TRUE(Names(core.GroupDir(g)).empty());
    EXPECT_EQ("0 0 0", Counters(g));
    EXPECT_EQ(0, g.dirty);
}

TEST_F(StoreTest, GroupTheUserMayNotPostToIsSkipped) {
    GroupEntry& a = AddGroup(core, "local.a");
    GroupEntry& b = AddGroup(core, "local.b");
    const auto notA = [](const GroupEntry& g) { return g.name != "local.a"; };
    ASSERT_EQ(StoreResult::Stored, Post("Newsgroups: local.a,local.b\r\n\r\n.\r\n", -1, notA));
    EXPECT_TRUE(a.articles.empty());
    EXPECT_EQ(0, a.dirty);
    EXPECT_EQ(std::vector<int>{1}, Numbers(b));
}

TEST_F(StoreTest, ExistingArticleFileIsNeverOverwritten) {
    // The index lags behind the directory: file 2 is there, but lastNumber
    // still says 1.
    GroupEntry& g = AddGroup(core, "local.a");
    g.firstNumber = 1;
    g.lastNumber = 1;
    g.articleCount = 1;
    AddArticle(g, 1);
    WriteFile(core.ArticlePath(g, 1), "one");
    WriteFile(core.ArticlePath(g, 2), "stray");
    ASSERT_EQ(StoreResult::Stored, Post("Newsgroups: local.a\r\n\r\n.\r\n"));
    EXPECT_EQ((std::vector<int>{1, 3}), Numbers(g));
    EXPECT_EQ("1 3 2", Counters(g));
    EXPECT_EQ("one", ArticleFile(g, 1));
    EXPECT_EQ("stray", ArticleFile(g, 2));
    EXPECT_NE(std::string::npos, ArticleFile(g, 3).find("Newsgroups: local.a\r\n"));
    EXPECT_FALSE(Exists(tempPath));
}

TEST_F(StoreTest, ReaderModeAddsADateAndCountsBodyLines) {
    GroupEntry& g = AddGroup(core, "local.a");
    // Three header lines, the blank line, two body lines, the dot line.
    const std::string post =
        "From: a\r\nNewsgroups: local.a\r\nSubject: s\r\n\r\none\r\ntwo\r\n.\r\n";
    tempPath = WritePost(post);
    ASSERT_EQ(StoreResult::Stored, StoreArticle(
                                       core, [](const GroupEntry&) { return true; }, tempPath, 7,
                                       header, kPostTime, true));
    ASSERT_EQ(1u, g.articles.size());
    const ArticleEntry& a = g.articles[0];
    EXPECT_EQ("Tue, 05 Mar 2024 06:07:08 +0000", std::string(a.Date()));
    EXPECT_EQ(2, a.Lines());
    EXPECT_EQ("Message-ID: " + std::string(a.MessageId()) +
                  "\r\nDate: Tue, 05 Mar 2024 06:07:08 +0000\r\n" + "Lines: 2\r\n" + post,
              ArticleFile(g, 1));

    // An article with its own Date keeps it.
    tempPath = WritePost("Date: mine\r\nNewsgroups: local.a\r\nLines: 9\r\n\r\n.\r\n");
    ASSERT_EQ(StoreResult::Stored, StoreArticle(
                                       core, [](const GroupEntry&) { return true; }, tempPath, 5,
                                       header, kPostTime, true));
    EXPECT_EQ("mine", std::string(g.articles[1].Date()));
    EXPECT_EQ(0, g.articles[1].Lines());
}

TEST(BodyLineCount, CountsTheLinesBetweenBlankLineAndDotLine) {
    struct Case {
        std::string block;
        int lineCount;
        int want;
    } cases[] = {
        {"A: 1\r\nB: 2\r\nC: 3\r\n\r\none\r\ntwo\r\n.\r\n", 7, 2},
        {"A: 1\r\n\r\n.\r\n", 3, 0},
        {"A: 1\r\n\r\n", 900, 897},         // the block stops early in a long article
        {"A: 1\nB: 2\n\nbody\n.\n", 5, 0},  // no CR LF blank line
        {"A: 1\r\n\r\n", 1, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.want, BodyLineCount(c.block, c.lineCount)) << "block: " << c.block;
}

TEST(FormatArticleDate, WritesTheLocalOffset) {
    const char* oldTz = std::getenv("TZ");
    const std::string saved = oldTz ? oldTz : "";
    struct Case {
        const char* tz;
        std::string want;
    } cases[] = {
        {"UTC", "Tue, 05 Mar 2024 06:07:08 +0000"},
        {"JST-9", "Tue, 05 Mar 2024 15:07:08 +0900"},
        {"EST5", "Tue, 05 Mar 2024 01:07:08 -0500"},
        {"IST-5:30", "Tue, 05 Mar 2024 11:37:08 +0530"},
        {"NST3:30", "Tue, 05 Mar 2024 02:37:08 -0330"},
    };
    for (const Case& c : cases) {
        ::setenv("TZ", c.tz, 1);
        ::tzset();
        EXPECT_EQ(c.want, FormatArticleDate(kPostTime)) << c.tz;
    }
    if (oldTz)
        ::setenv("TZ", saved.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

TEST_F(StoreTest, GeneratedMessageIds) {
    const std::regex form("<([0-9]+)@20240305060708>");
    std::smatch first, second;
    const std::string a = GenerateMessageId(kPostTime);
    const std::string b = GenerateMessageId(kPostTime);
    ASSERT_TRUE(std::regex_match(a, first, form)) << a;
    ASSERT_TRUE(std::regex_match(b, second, form)) << b;
    // Two in the same second differ in the counter, which counts up in 16 bits.
    EXPECT_EQ((std::stoul(first[1].str()) + 1) % 65536, std::stoul(second[1].str()));
    EXPECT_LE(std::stoul(second[1].str()), 65535u);
}

// ---------------------------------------------------------------------------
// Cancel control messages

TEST(GetCancelTarget, RecognisesOnlyCancelWithOneBracketedArgument) {
    struct Case {
        std::string control;
        bool isCancel;
        std::string target;
    } cases[] = {
        {"cancel <a@b>", true, "<a@b>"},
        {"CaNcEl <a@b>", true, "<a@b>"},
        {"CANCEL\t<a@b>", true, "<a@b>"},
        {"  cancel   <a@b  ", true, "<a@b"},
        {"cancel", false, ""},
        {"cancel <a@b> now", false, ""},
        {"cancel a@b>", false, ""},
        {"newgroup <a@b>", false, ""},
        {"cancelled <a@b>", false, ""},
        {"", false, ""},
    };
    for (const Case& c : cases) {
        XContent header;
        header.control = c.control;
        std::string target;
        EXPECT_EQ(c.isCancel, GetCancelTarget(header, target)) << "control: " << c.control;
        EXPECT_EQ(c.target, target) << "control: " << c.control;
    }
}

TEST_F(StoreTest, CancelArticleWhoMayCancelWhat) {
    struct Case {
        const char* what;
        int cancelEveryOne;
        std::string target;
        std::string from;
        std::vector<int> left;
    } cases[] = {
        {"anyone, first of two with the id", 1, "<a>", "mallory", {2, 3, 4}},
        {"author of the first", 0, "<a>", "alice", {2, 3, 4}},
        {"author of the second", 0, "<a>", "carol", {1, 2, 4}},
        {"another author", 0, "<a>", "mallory", {1, 2, 3, 4}},
        {"the newest article", 1, "<d>", "x", {1, 2, 3}},
        {"id in another case", 1, "<A>", "x", {1, 2, 3, 4}},
        {"id with extra characters", 1, "<a>x", "x", {1, 2, 3, 4}},
    };
    int row = 0;
    for (const Case& c : cases) {
        FakeCore rowCore;
        rowCore.m_szBaseDir = dir / std::to_string(++row);
        rowCore.m_bCancelEveryOne = c.cancelEveryOne;
        GroupEntry& g = AddGroup(rowCore, "local.a");
        g.firstNumber = 1;
        g.lastNumber = 4;
        g.articleCount = 4;
        const std::pair<const char*, const char*> articles[] = {
            {"<a>", "alice"}, {"<b>", "bob"}, {"<a>", "carol"}, {"<d>", "dave"}};
        int n = 0;
        for (const auto& [id, from] : articles) {
            AddArticle(g, ++n, id, from);
            WriteFile(rowCore.ArticlePath(g, n), "article");
        }
        CancelArticle(rowCore, c.target, c.from, {&g});
        EXPECT_EQ(c.left, Numbers(g)) << c.what;
        const bool changed = c.left.size() != 4;
        EXPECT_EQ(changed ? 1 : 0, g.dirty) << c.what;
        // The numbers stay; only the count goes down.
        EXPECT_EQ("1 4 " + std::to_string(c.left.size()), Counters(g)) << c.what;
        for (int i = 1; i <= 4; ++i)
            EXPECT_EQ(std::count(c.left.begin(), c.left.end(), i) == 1,
                      Exists(rowCore.ArticlePath(g, i)))
                << c.what << ": file " << i;
    }
}

TEST_F(StoreTest, CancelWalksEachTargetGroup) {
    GroupEntry& a = AddGroup(core, "local.a");
    GroupEntry& b = AddGroup(core, "local.b");
    for (GroupEntry* g : {&a, &b}) {
        g->articleCount = 2;
        AddArticle(*g, 1, "<x>");
        AddArticle(*g, 2, "<x>");
    }
    // Only the groups named take part; a group named twice loses two.
    CancelArticle(core, "<x>", "", {&a, &a});
    EXPECT_EQ(std::vector<int>{}, Numbers(a));
    EXPECT_EQ(0, a.articleCount);
    EXPECT_EQ((std::vector<int>{1, 2}), Numbers(b));
    EXPECT_EQ(0, b.dirty);
}

TEST_F(StoreTest, CancelMessageIsNeverStored) {
    GroupEntry& g = AddGroup(core, "local.a");
    g.firstNumber = 1;
    g.lastNumber = 1;
    g.articleCount = 1;
    AddArticle(g, 1, "<x@y>", "alice");
    WriteFile(core.ArticlePath(g, 1), "article");
    ASSERT_EQ(StoreResult::Stored,
              Post("From: bob\r\nNewsgroups: local.a\r\nControl: cancel <x@y>\r\n\r\n.\r\n"));
    EXPECT_TRUE(Names(core.GroupDir(g)).empty());
    EXPECT_TRUE(g.articles.empty());
    EXPECT_EQ("1 1 0", Counters(g));
    EXPECT_FALSE(Exists(tempPath));

    // A Control value that is not a well-formed cancel is an ordinary article.
    ASSERT_EQ(StoreResult::Stored, Post("Newsgroups: local.a\r\nControl: cancel x@y\r\n\r\n.\r\n"));
    EXPECT_EQ(std::vector<int>{2}, Numbers(g));
    EXPECT_NE(std::string::npos, ArticleFile(g, 2).find("Control: cancel x@y\r\n"));
}

// ---------------------------------------------------------------------------
// Loading and saving the indexes

TEST_F(StoreTest, SaveWritesOnlyDirtyGroups) {
    GroupEntry& a = AddGroup(core, "local.a");
    GroupEntry& b = AddGroup(core, "local.b");
    GroupEntry& c = AddGroup(core, "local.c");
    EXPECT_TRUE(core.SaveGroupIndexes());
    EXPECT_FALSE(Exists(core.IndexPath(a)));

    a.dirty = 1;
    a.lastNumber = 3;
    AddArticle(a, 3, "<3@x>");
    c.dirty = 1;
    EXPECT_TRUE(core.SaveGroupIndexes());
    EXPECT_EQ(FormatGroupIndex(a), ReadAll(core.IndexPath(a)));
    EXPECT_EQ("0\t0\t0\r\n", ReadAll(core.IndexPath(c)));
    EXPECT_FALSE(Exists(core.IndexPath(b)));
    EXPECT_EQ(0, a.dirty);
    EXPECT_EQ(0, c.dirty);
}

TEST_F(StoreTest, SaveStopsAtAGroupThatCannotBeWritten) {
    GroupEntry& a = AddGroup(core, "local.a");
    GroupEntry& b = AddGroup(core, "local.b", 0, false);
    GroupEntry& c = AddGroup(core, "local.c");
    a.dirty = b.dirty = c.dirty = 1;
    EXPECT_FALSE(core.SaveGroupIndexes());
    EXPECT_TRUE(Exists(core.IndexPath(a)));
    EXPECT_FALSE(Exists(core.IndexPath(c)));
    EXPECT_EQ(0, a.dirty);
    EXPECT_EQ(1, b.dirty);
    EXPECT_EQ(1, c.dirty);
}

TEST_F(StoreTest, LoadsReportFilesThatCannotBeOpened) {
    GroupEntry& g = AddGroup(core, "local.a");
    EXPECT_FALSE(core.LoadSettings(dir / "Marrowby.ini"));
    EXPECT_FALSE(core.LoadGroupIndex(core.IndexPath(g), g));
    EXPECT_EQ(1u, core.m_groups.size());

    EXPECT_TRUE(core.LoadSettings(MARROWBY_TEST_DATA "/settings/Marrowby.ini"));
    EXPECT_EQ(4u, core.m_groups.size());
    EXPECT_TRUE(core.LoadGroupIndex(MARROWBY_TEST_DATA "/index/Message.lst", g));
    EXPECT_EQ((std::vector<int>{1, 2, 4}), Numbers(g));
}

TEST_F(StoreTest, ConnectionLimitsAndThePeersExemption) {
    WriteFile(dir / "Marrowby.ini",
              "[Settings]\nMaxConnections 10\nMaxConnectionsPerHost 3\nUseRfc3977 1\n"
              "[Peers]\nhub 192.0.2.7 119 *\n");
    ASSERT_TRUE(core.LoadSettings(dir / "Marrowby.ini"));
    std::string error;
    ASSERT_TRUE(core.StartPeering(error)) << error;
    struct Case {
        int open, fromHost;
        const char* address;
        bool want;
    } cases[] = {
        {0, 0, "127.0.0.1", true},   {9, 2, "127.0.0.1", true},
        {9, 3, "127.0.0.1", false},   // the host's share is used up
        {10, 0, "127.0.0.1", false},  // every place is taken
        {9, 8, "192.0.2.7", true},    // a peer is not held to the share
        {10, 8, "192.0.2.7", false},  // but to the whole
        {9, 3, "192.0.2.77", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.want, core.MayAccept(c.open, c.fromHost, c.address))
            << c.open << " " << c.fromHost << " " << c.address;
    core.m_nMaxConnections = 0;
    core.m_nMaxConnectionsPerHost = 0;
    EXPECT_TRUE(core.MayAccept(100000, 100000, "127.0.0.1")) << "0: no limit";
}

TEST(Posting, HoldsSmallArticlesInMemoryAndLargeOnesInAFileOfItsOwn) {
    TempDir dir;
    ScopedEnv tmpdir("TMPDIR", dir.path().c_str());
    struct Case {
        size_t size;
        bool inFile;
    } cases[] = {{0, false},
                 {1000, false},
                 {Posting::kMaxMemoryBytes, false},
                 {Posting::kMaxMemoryBytes + 1, true},
                 {3 * Posting::kMaxMemoryBytes, true}};
    for (const Case& c : cases) {
        std::string bytes(c.size, '\0');
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + i % 26);
        Posting posting;
        // Arrives in uneven pieces.
        for (size_t at = 0; at < bytes.size();) {
            size_t n = std::min<size_t>(bytes.size() - at, 70001 + at % 13);
            ASSERT_TRUE(posting.Append(bytes.data() + at, n));
            at += n;
        }
        EXPECT_EQ(c.inFile, !Names(dir.path()).empty()) << c.size;
        EXPECT_EQ(static_cast<int64_t>(c.size), posting.Size());
        std::string read(c.size, '\0');
        for (size_t at = 0; at < read.size();) {
            ssize_t n = posting.ReadAt(&read[at], 65536, static_cast<int64_t>(at));
            ASSERT_GT(n, 0) << c.size;
            at += static_cast<size_t>(n);
        }
        EXPECT_TRUE(read == bytes) << c.size;
        char more;
        EXPECT_EQ(0, posting.ReadAt(&more, 1, static_cast<int64_t>(c.size)));
        // Moved on with the article, the file goes with its last owner.
        Posting taken(std::move(posting));
        EXPECT_EQ(0, posting.Size());
        EXPECT_EQ(c.inFile, !Names(dir.path()).empty()) << c.size;
        taken.Discard();
        EXPECT_TRUE(Names(dir.path()).empty()) << c.size;
    }
    // No file can be made: the whole article reads as empty, nothing stays.
    ScopedEnv missing("TMPDIR", (dir / "missing").c_str());
    Posting posting;
    std::string big(Posting::kMaxMemoryBytes, 'x');
    EXPECT_TRUE(posting.Append(big.data(), big.size()));
    EXPECT_FALSE(posting.Append("y", 1));
    EXPECT_FALSE(posting.Append("z", 1));
    EXPECT_TRUE(posting.Complete());
    EXPECT_EQ(0, posting.Size());
}

// ---------------------------------------------------------------------------
// Rebuilding the indexes from the article files

TEST_F(StoreTest, RebuildRecreatesEveryIndexFromTheFiles) {
    GroupEntry& basic = AddGroup(core, "local.basic");
    GroupEntry& odd = AddGroup(core, "local.odd");
    GroupEntry& empty = AddGroup(core, "local.empty");
    GroupEntry& missing = AddGroup(core, "local.missing", 0, false);

    const std::string two =
        "Message-ID: <2@x>\r\nLines: 5\r\nSubject: two\r\nFrom: a\r\nDate: d\r\n"
        "References: <1@x>\r\nBytes: 7\r\n\r\nSubject: body\r\n.\r\n";
    const std::string three = "Subject: three\r\n\r\n.\r\n";
    const std::string ten = "Subject: ten\r\nLines: 8\r\nFrom: b";  // no blank line
    WriteFile(core.ArticlePath(basic, 2), two);
    WriteFile(core.ArticlePath(basic, 3), three);
    WriteFile(core.ArticlePath(basic, 10), ten);
    // The old index lists an article whose file is gone.
    WriteFile(core.IndexPath(basic), "1\t99\t1\r\n99\tgone\tf\td\t<99@x>\t1\t1\t\r\n");
    AddArticle(basic, 99, "<99@x>");
    basic.firstNumber = 1;
    basic.lastNumber = 99;
    basic.articleCount = 1;

    WriteFile(core.GroupDir(odd) + "/12.bak", "Subject: backup\r\n\r\n.\r\n");
    WriteFile(core.GroupDir(odd) + "/-4", "Subject: negative\r\n\r\n.\r\n");
    WriteFile(core.GroupDir(odd) + "/notes.txt", "Subject: notes\r\n\r\n.\r\n");
    std::filesystem::create_directory(core.GroupDir(odd) + "/sub");

    core.RebuildGroupIndexes();

    EXPECT_EQ((std::vector<int>{2, 3, 10}), Numbers(basic));
    EXPECT_EQ("2 10 3", Counters(basic));
    const ArticleEntry& a2 = basic.articles[0];
    EXPECT_EQ("two|a|d|<2@x>|<1@x>", std::string(a2.Subject()) + "|" + std::string(a2.From()) +
                                         "|" + std::string(a2.Date()) + "|" +
                                         std::string(a2.MessageId()) + "|" +
                                         std::string(a2.References()));
    EXPECT_EQ(static_cast<int>(two.size()), a2.Bytes());
    EXPECT_EQ(5, a2.Lines());
    EXPECT_EQ("three", std::string(basic.articles[1].Subject()));
    EXPECT_EQ(static_cast<int>(three.size()), basic.articles[1].Bytes());
    EXPECT_EQ(0, basic.articles[1].Lines());
    // Read to its end; the last line, without its line end, is not a header.
    EXPECT_EQ("ten", std::string(basic.articles[2].Subject()));
    EXPECT_EQ(8, basic.articles[2].Lines());
    EXPECT_EQ("", std::string(basic.articles[2].From()));

    // -4 sorts first; 12.bak stands for a file 12 that is not there.
    EXPECT_EQ((std::vector<int>{-4, 12}), Numbers(odd));
    EXPECT_EQ("-4 12 2", Counters(odd));
    EXPECT_EQ("negative", std::string(odd.articles[0].Subject()));
    const ArticleEntry& a12 = odd.articles[1];
    EXPECT_EQ("||||0|0", std::string(a12.Subject()) + "|" + std::string(a12.From()) + "|" +
                             std::string(a12.Date()) + "|" + std::string(a12.MessageId()) + "|" +
                             std::to_string(a12.Bytes()) + "|" + std::to_string(a12.Lines()));

    EXPECT_EQ("0 0 0", Counters(empty));
    EXPECT_TRUE(empty.articles.empty());

    for (GroupEntry* g : {&basic, &odd, &empty}) {
        EXPECT_EQ(FormatGroupIndex(*g), ReadAll(core.IndexPath(*g))) << g->name;
        EXPECT_EQ(0, g->dirty) << g->name;
    }
    EXPECT_EQ("0\t0\t0\r\n", ReadAll(core.IndexPath(empty)));
    // Its index cannot be written without its directory: it stays dirty.
    EXPECT_TRUE(missing.articles.empty());
    EXPECT_EQ(1, missing.dirty);
    EXPECT_TRUE(core.logs.empty());
}

// ---------------------------------------------------------------------------
// Expiry
//
// The count of deletions since expiry last had the indexes written is kept
// for the whole process, so any run may happen to be the one that writes
// them. Only one test looks at when that happens; the others check files,
// entries and log lines, which do not depend on it.

// 2024-01-01 08:00, 10:00, 10:59 and 11:10 UTC.
constexpr time_t k0800 = 1704096000;
constexpr time_t k1000 = 1704103200;
constexpr time_t k1059 = 1704106740;
constexpr time_t k1110 = 1704107400;

void WriteArticle(const CServerCore& core, const GroupEntry& g, const std::string& name,
                  time_t mtime) {
    const std::string path = core.GroupDir(g) + "/" + name;
    WriteFile(path, "Subject: old\r\n\r\n.\r\n");
    SetModTime(path, mtime);
}

TEST_F(StoreTest, ExpiryJudgesByTheHourOfTheDueTime) {
    struct Case {
        int expireHours;
        time_t mtime;
        int currentKey;
        bool deleted;
    } cases[] = {
        // Modified at 10:59 with one hour: due at 11:59, so in the 11 o'clock run.
        {1, k1059, 2024010110, false},
        {1, k1059, 2024010111, true},
        {1, k1000, 2024010110, false},
        {1, k1000, 2024010111, true},
        {1, k1059, INT_MAX, true},
        // Over the end of a month (2024-01-31 23:30) and of a year (2024-12-31 23:10).
        {24, 1706743800, 2024020122, false},
        {24, 1706743800, 2024020123, true},
        {1, 1735686600, 2024123123, false},
        {1, 1735686600, 2025010100, true},
        // 0 or less: never.
        {0, k0800, INT_MAX, false},
        {-5, k0800, INT_MAX, false},
        // Ages whose seconds do not fit 32 bits are still far in the future.
        {600000, k0800, 2024010111, false},
        {2000000000, k0800, INT_MAX, false},
    };
    int row = 0;
    for (const Case& c : cases) {
        FakeCore rowCore;
        rowCore.m_szBaseDir = dir / std::to_string(++row);
        GroupEntry& g = AddGroup(rowCore, "local.e", c.expireHours);
        AddArticle(g, 1);
        WriteArticle(rowCore, g, "1", c.mtime);
        rowCore.ExpireArticles(c.currentKey);
        const std::string where = "expire " + std::to_string(c.expireHours) + ", key " +
                                  std::to_string(c.currentKey) + ", mtime " +
                                  std::to_string(c.mtime);
        EXPECT_EQ(!c.deleted, Exists(rowCore.ArticlePath(g, 1))) << where;
        EXPECT_EQ(c.deleted ? 0u : 1u, g.articles.size()) << where;
        EXPECT_EQ(c.deleted ? 2u : 0u, rowCore.logs.size()) << where;
    }
}

TEST_F(StoreTest, ExpiryLogsEachDeletionAfterOneKeyLine) {
    GroupEntry& a = AddGroup(core, "local.a", 1);
    GroupEntry& never = AddGroup(core, "local.never", 0);
    GroupEntry& c = AddGroup(core, "local.c", 2);
    AddGroup(core, "local.nodir", 1, false);
    a.firstNumber = 1;
    a.lastNumber = 2;
    a.articleCount = 2;
    AddArticle(a, 1);
    AddArticle(a, 2);
    WriteArticle(core, a, "1", k0800);
    WriteArticle(core, a, "2", k1110);
    WriteFile(core.IndexPath(a), "1\t2\t2\r\n");
    WriteArticle(core, never, "1", k0800);
    // A file without an index entry is deleted just the same.
    WriteArticle(core, c, "5", k0800);

    core.ExpireArticles(2024010111);
    const std::string base = dir.path();
    EXPECT_EQ((std::vector<std::string>{
                  "2024010111\r\n",
                  "[" + base + "/local.a/1] article file deleted [2024010108]!!\r\n",
                  "[" + base + "/local.c/5] article file deleted [2024010108]!!\r\n",
              }),
              core.logs);
    EXPECT_FALSE(Exists(core.ArticlePath(a, 1)));
    EXPECT_TRUE(Exists(core.ArticlePath(a, 2)));
    EXPECT_EQ(std::vector<int>{2}, Numbers(a));
    EXPECT_EQ("1 2 2", Counters(a));
    EXPECT_TRUE(Exists(core.ArticlePath(never, 1)));
    EXPECT_FALSE(Exists(core.ArticlePath(c, 5)));
    EXPECT_EQ(0, never.dirty);
    // Expiry runs inside a maintenance pass and never asks for another.
    EXPECT_EQ(0, core.timerMessages);

    // The key line belongs to a run that deletes something.
    core.logs.clear();
    core.ExpireArticles(2024010111);
    EXPECT_TRUE(core.logs.empty());
    core.ExpireArticles(2024010112);
    EXPECT_EQ((std::vector<std::string>{
                  "2024010112\r\n",
                  "[" + base + "/local.a/2] article file deleted [2024010111]!!\r\n",
              }),
              core.logs);
}

TEST_F(StoreTest, ExpiredArticlesStayRememberedForTheHistoryDays) {
    // In the reader mode the history notes what expiry deletes; a copy still
    // held by a group that keeps it longer keeps its Message-ID accepted.
    std::string error;
    ASSERT_TRUE(core.m_history.Open(dir.path(), error)) << error;
    core.m_nHistoryDays = 10;
    GroupEntry& a = AddGroup(core, "local.a", 1);
    GroupEntry& keep = AddGroup(core, "local.keep", 0);
    AddArticle(a, 1, "<gone@x>");
    AddArticle(a, 2, "<both@x>");
    AddArticle(keep, 1, "<both@x>");
    WriteArticle(core, a, "1", k0800);
    WriteArticle(core, a, "2", k0800);
    for (const char* id : {"<gone@x>", "<both@x>"}) core.m_history.RememberAccepted(id, k0800);
    core.now = k1110;
    core.ExpireArticles(2024010111);
    EXPECT_TRUE(a.articles.empty());
    EXPECT_EQ(HistoryState::Gone, core.m_history.Lookup("<gone@x>").state);
    // Eleven days on, compaction forgets the one and keeps the other.
    core.m_history.RememberRefused("<refused@x>", k1110);
    core.now = k1110 + 11 * 86400;
    core.ExpireArticles(2024011211);
    EXPECT_EQ(HistoryState::Unknown, core.m_history.Lookup("<gone@x>").state);
    EXPECT_EQ(HistoryState::Unknown, core.m_history.Lookup("<refused@x>").state);
    EXPECT_EQ(HistoryState::Accepted, core.m_history.Lookup("<both@x>").state);
    // Compaction rewrites the whole history, so it runs once a day at most.
    core.m_history.RememberRefused("<late@x>", k1110);
    core.now += 3600;
    core.ExpireArticles(2024011212);
    EXPECT_EQ(HistoryState::Refused, core.m_history.Lookup("<late@x>").state);
}

TEST_F(StoreTest, ExpiryJudgesAStrayNameByItsNumbersFile) {
    GroupEntry& g = AddGroup(core, "local.a", 1);
    AddArticle(g, 57);
    WriteArticle(core, g, "57", k0800);
    WriteArticle(core, g, "57.old", k0800);
    WriteArticle(core, g, "58.old", k0800);  // no file 58
    core.ExpireArticles(2024010111);
    EXPECT_EQ(2u, core.logs.size());
    EXPECT_EQ("[" + core.ArticlePath(g, 57) + "] article file deleted [2024010108]!!\r\n",
              core.logs.back());
    EXPECT_FALSE(Exists(core.ArticlePath(g, 57)));
    EXPECT_TRUE(Exists(core.GroupDir(g) + "/57.old"));
    EXPECT_TRUE(Exists(core.GroupDir(g) + "/58.old"));
    EXPECT_TRUE(g.articles.empty());
}

TEST_F(StoreTest, ExpirySavesTheIndexesOnlyAfterMoreThanTenDeletions) {
    GroupEntry& g = AddGroup(core, "local.a", 1);
    g.firstNumber = 1;
    g.lastNumber = 22;
    g.articleCount = 22;
    const auto writeDue = [&](int from, int to) {
        for (int n = from; n <= to; ++n) WriteArticle(core, g, std::to_string(n), k0800);
    };
    // Eleven deletions in one run pass the limit whatever came before.
    writeDue(1, 11);
    for (int n = 1; n <= 11; ++n) AddArticle(g, n);
    core.ExpireArticles(2024010111);
    EXPECT_TRUE(g.articles.empty());
    EXPECT_EQ(0, g.dirty);
    EXPECT_EQ("1\t22\t22\r\n", ReadAll(core.IndexPath(g)));

    // Ten more are not enough: the group stays dirty and its file as it was.
    g.articleCount = 50;
    writeDue(12, 21);
    core.ExpireArticles(2024010111);
    EXPECT_EQ(1, g.dirty);
    EXPECT_EQ("1\t22\t22\r\n", ReadAll(core.IndexPath(g)));

    // The eleventh since the last save has it written.
    writeDue(22, 22);
    core.ExpireArticles(2024010111);
    EXPECT_EQ(0, g.dirty);
    EXPECT_EQ("1\t22\t50\r\n", ReadAll(core.IndexPath(g)));
    EXPECT_EQ(std::vector<std::string>{"Message.lst"}, Names(core.GroupDir(g)));
}

TEST_F(StoreTest, ExpiryWithNothingDueTouchesNothing) {
    GroupEntry& g = AddGroup(core, "local.a", 1);
    WriteArticle(core, g, "1", k1110);
    WriteFile(core.IndexPath(g), "1\t1\t1\r\n");
    std::filesystem::create_directory(core.GroupDir(g) + "/sub");
    core.ExpireArticles(2024010111);
    EXPECT_TRUE(core.logs.empty());
    EXPECT_EQ((std::vector<std::string>{"1", "Message.lst", "sub"}), Names(core.GroupDir(g)));
    EXPECT_EQ("1\t1\t1\r\n", ReadAll(core.IndexPath(g)));
    EXPECT_EQ(0, g.dirty);
}

// ---------------------------------------------------------------------------
// The date-hour key

class DateKeyTest : public UtcTest {};

TEST_F(DateKeyTest, KeyAndTextAcrossBoundaries) {
    struct Case {
        time_t t;
        int64_t key;
    } cases[] = {
        {0, 1970010100},          {1704067199, 2023123123},  // the last second of a year
        {1704067200, 2024010100}, {1704070799, 2024010100},  // the last second of an hour
        {1704070800, 2024010101}, {1709251199, 2024022923},  // a leap day
        {1709251200, 2024030100}, {5617119600, 2147123123},  // the last hour that fits 32 bits
        {5617123200, 2148010100}, {8589934592, 2242031612},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.key, DateHourKey(c.t)) << "t = " << c.t;
        EXPECT_EQ(std::to_string(c.key), DateHourText(c.t)) << "t = " << c.t;
    }
    // Past the year 2147 the key no longer fits 32 bits but still orders.
    EXPECT_GT(DateHourKey(5617123200), static_cast<int64_t>(INT_MAX));
    EXPECT_GT(DateHourKey(5617123200), DateHourKey(5617119600));
}

TEST_F(DateKeyTest, FollowsTheLocalTimeZone) {
    ::setenv("TZ", "JST-9", 1);
    ::tzset();
    const int64_t key = DateHourKey(1704067200);
    const std::string text = DateHourText(1704067200);
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    EXPECT_EQ(2024010109, key);
    EXPECT_EQ("2024010109", text);
}

}  // namespace
