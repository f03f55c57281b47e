// The checks of posted and fed articles, the value parsers under them, and
// the Message-IDs made for posts.

#include "store/article_check.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "store/message_id.h"

namespace {

TEST(ParseArticleDate, ReadsDatesInEveryAllowedForm) {
    struct Case {
        const char* text;
        int64_t want;
    } cases[] = {
        {"Sat, 07 Dec 2024 16:59:00 +0000", 1733590740},
        {"Sat, 7 Dec 2024 17:59:00 +0100", 1733590740},
        {"7 Dec 2024 08:29 -0830", 1733590740},  // no day of the week, no seconds
        {"Sat 07 Dec 2024 16:59:00 GMT", 1733590740},
        {"sat, 07 dec 2024 16:59:00 ut", 1733590740},
        {"Sat, 07 Dec 2024 16:59:00 UTC", 1733590740},
        {"Sat, 07 Dec 24 11:59:00 EST", 1733590740},
        {"Sat, 07 Dec 2024 12:59:00 EDT", 1733590740},
        {"Sat, 07 Dec 2024 10:59:00 CST", 1733590740},
        {"Sat, 07 Dec 2024 09:59:00 MST", 1733590740},
        {"Sat, 07 Dec 2024 09:59:00 PDT", 1733590740},
        {"Sat, 07 Dec 2024 08:59:00 PST", 1733590740},
        {"Sat, 07 Dec 2024 16:59:00 z", 1733590740},  // military zones count as +0000
        {"Sat, 07 Dec 2024 16:59:00 Q", 1733590740},
        {"Sat, 07 Dec 2024 16:59:00 +0000 (Coordinated Universal Time)", 1733590740},
        {"(x) Sat, (nested (comment) here) 07 Dec 2024 16:59:00 +0000", 1733590740},
        {"  Sat ,  07  Dec  2024  16 : 59 : 00  +0000  ", 1733590740},
        {"Sat,\r\n 07 Dec 2024 16:59:00 +0000", 1733590740},
        {"Fri, 01 Jan 99 00:00:00 +0000", 915148800},
        {"1 Jan 049 00:00:00 +0000", -662688000},
        {"31 Dec 49 23:59:59 +0000", 2524607999},
        {"1 Jan 50 00:00:00 +0000", -631152000},
        {"Thu, 29 Feb 2024 12:00:00 +0000", 1709208000},
        {"Sat, 07 Dec 2024 16:58:60 +0000", 1733590740},  // a leap second
        {"1 Jan 1970 00:00:00 +0000", 0},
    };
    for (const Case& c : cases) {
        int64_t got = 12345;
        EXPECT_TRUE(ParseArticleDate(c.text, got)) << c.text;
        EXPECT_EQ(c.want, got) << c.text;
    }
}

TEST(ParseArticleDate, RefusesWhatItCannotRead) {
    const char* const cases[] = {
        "",
        "junk",
        "Sat, 07 Dec 2024",
        "Sat, 07 Dec 2024 16:59:00",  // no zone
        "07 Foo 2024 16:59:00 +0000",
        "Xyz, 07 Dec 2024 16:59:00 +0000",
        "Dec 07 2024 16:59:00 +0000",
        "32 Dec 2024 16:59:00 +0000",
        "0 Dec 2024 16:59:00 +0000",
        "29 Feb 2023 12:00:00 +0000",
        "31 Apr 2024 12:00:00 +0000",
        "07 Dec 2024 24:00:00 +0000",
        "07 Dec 2024 16:60:00 +0000",
        "07 Dec 2024 16:59:61 +0000",
        "07 Dec 2024 16:5:00 +0000",
        "07 Dec 2024 1659 +0000",
        "07 Dec 2024 16:59:00 +000",
        "07 Dec 2024 16:59:00 +00000",
        "07 Dec 2024 16:59:00 +0060",
        "07 Dec 2024 16:59:00 XYZ",
        "07 Dec 2024 16:59:00 J",
        "07 Dec 2024 16:59:00 +0000 extra",
        "07 Dec 2024 16:59:00 +0000 (unclosed",
        "07 Dec 2024 16:59:00 +0000 )",
        "07 Dec 1899 16:59:00 +0000",
        "07 Dec 20245 16:59:00 +0000",
        "07 Dec 7 16:59:00 +0000",
        "007 Dec 2024 16:59:00 +0000",
        "Fri Dec  7 16:59:00 2024",
        "2024-12-07T16:59:00Z",
    };
    for (const char* text : cases) {
        int64_t got = 12345;
        EXPECT_FALSE(ParseArticleDate(text, got)) << text;
        EXPECT_EQ(12345, got) << text;
    }
}

TEST(IsValidMessageId, FollowsTheNetnewsSyntax) {
    const std::string longest = "<" + std::string(244, 'a') + "@b.c>";  // 250 bytes
    struct Case {
        std::string id;
        bool valid;
    } cases[] = {
        {"<a@b>", true},
        {"<lzq3k1.0.1.x2@news.example.org>", true},
        {"<x!#$%&'*+-/=?^_`{|}~@y>", true},
        {"<a.b.c@d.e>", true},
        {"<\"q@l\\\"x\"@example.org>", true},
        {"<a@[127.0.0.1]>", true},
        {longest, true},
        {"<" + std::string(245, 'a') + "@b.c>", false},
        {"junk", false},
        {"<>", false},
        {"<a>", false},
        {"<@b>", false},
        {"<a@>", false},
        {"<a@b", false},
        {"a@b>", false},
        {"<a b@c>", false},
        {"<a@b@c>", false},
        {"<.a@b>", false},
        {"<a.@b>", false},
        {"<a..b@c>", false},
        {"<a@b..c>", false},
        {"<a>b@c>", false},
        {"<\"a>b\"@c>", false},
        {"<a@[x>y]>", false},
        {"<a@b> ", false},
        {" <a@b>", false},
        {"<<a@b>", false},
        {"<a@b>>", false},
        {"<\xe3\x81\x82@b>", false},
        {"<a@\"b\">", false},
    };
    for (const Case& c : cases) EXPECT_EQ(c.valid, IsValidMessageId(c.id)) << c.id;
}

TEST(IsValidFrom, WantsAnAddress) {
    struct Case {
        const char* value;
        bool valid;
    } cases[] = {
        {"a@example.org", true},
        {"Alice <alice@example.org>", true},
        {"\"Alice A.\" <alice@example.org>", true},
        {"alice@example.org (Alice A.)", true},
        {"Alice A. <alice@example.org>", true},
        {"Doe, John <john@example.org>", true},
        {"a@example.org, Bob <b@example.org>", true},
        {"<a@example.org>", true},
        {"=?UTF-8?B?w6Rsw6RzZQ==?= <a@example.org>", true},
        {"\x83\x41\x83\x8A\x83\x58 <alice@example>", true},
        {"alice@localhost", true},
        {"\"a b\"@example.org", true},
        {"a@[192.0.2.1]", true},
        {"foo@bar.example <foo@bar.example>", true},
        {"Alice (the \"first\") <a@example.org>", true},
        {"", false},
        {"alice", false},
        {"Alice", false},
        {"Alice <alice>", false},
        {"<>", false},
        {"alice@", false},
        {"@example.org", false},
        {"a b@example.org", false},
        {"Alice a@example.org", false},
        {"Alice <a@example.org", false},
        {"Alice a@example.org>", false},
        {"(only a comment)", false},
        {"Alice (unclosed <a@example.org>", false},
        {"Alice) <a@example.org>", false},
        {"\"unclosed <a@example.org>", false},
        {"a@example.org,", false},
        {"a@@example.org", false},
        {"a@example..org", false},
        {"Alice <a@example.org> trailing", false},
    };
    for (const Case& c : cases) EXPECT_EQ(c.valid, IsValidFrom(c.value)) << c.value;
}

TEST(SplitNewsgroups, CutsAtCommas) {
    struct Case {
        const char* value;
        std::vector<std::string> want;  // empty: refused
    } cases[] = {
        {"local.general", {"local.general"}},
        {"a.b,c.d", {"a.b", "c.d"}},
        {" a.b ,\tc.d ", {"a.b", "c.d"}},
        {"a.b,,c.d,", {"a.b", "c.d"}},
        {"a+b.c_d-e.0", {"a+b.c_d-e.0"}},
        {"\x93\xfa\x96\x7b.group", {"\x93\xfa\x96\x7b.group"}},
        {"", {}},
        {" , ", {}},
        {"a b", {}},
        {"a.b c.d", {}},
        {"a.b\tc.d", {}},
        {"a:b", {}},
        {".a", {}},
        {"a.", {}},
        {"a..b", {}},
        {"ok.group,bad..group", {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> names = {"stale"};
        bool ok = SplitNewsgroups(c.value, names);
        EXPECT_EQ(!c.want.empty(), ok) << c.value;
        if (ok) EXPECT_EQ(c.want, names) << c.value;
    }
}

TEST(IsValidPath, WantsNamesBetweenBangs) {
    struct Case {
        const char* value;
        bool valid;
    } cases[] = {
        {"not-for-mail", true},
        {"news.example.org!not-for-mail", true},
        {"a!b!c", true},
        {"a!!b", true},
        {"a! b", true},
        {"a !b", true},
        {"news.example.org!.POSTED.192.0.2.1!not-for-mail", true},
        {"host_1:119!x", true},
        {"", false},
        {"!", false},
        {"a!", false},
        {"!a", false},
        {"a b!c", false},
        {"a!b c", false},
        {"a@b!c", false},
        {"a,b", false},
    };
    for (const Case& c : cases) EXPECT_EQ(c.valid, IsValidPath(c.value)) << c.value;
}

// Articles for CheckArticle: the header lines of a good one, to which a case
// adds, in which it replaces, or from which it removes lines.
constexpr time_t kNow = 1733572800;  // Sat, 07 Dec 2024 12:00:00 +0000

const std::vector<std::string> kPostedLines = {
    "From: Alice <alice@example.org>",
    "Newsgroups: local.general",
    "Subject: hello",
};
const std::vector<std::string> kFedLines = {
    "Path: peer.example.org!not-for-mail",
    "From: Alice <alice@example.org>",
    "Newsgroups: local.general",
    "Subject: hello",
    "Date: Sat, 07 Dec 2024 11:00:00 +0000",
    "Message-ID: <1@peer.example.org>",
};

// `lines` with each change applied: "Name: value" replaces the line of that
// name (or is added when there is none), "-Name" removes it, "+Line" adds a
// line even when one of its name is there.
std::string Article(std::vector<std::string> lines, const std::vector<std::string>& changes,
                    const std::string& rest) {
    for (const std::string& change : changes) {
        if (change[0] == '+') {
            lines.push_back(change.substr(1));
            continue;
        }
        bool remove = change[0] == '-';
        std::string name = remove ? change.substr(1) : change.substr(0, change.find(':'));
        bool found = false;
        for (auto it = lines.begin(); it != lines.end(); ++it) {
            if (it->compare(0, name.size() + 1, name + ":") == 0) {
                if (remove)
                    lines.erase(it);
                else
                    *it = change;
                found = true;
                break;
            }
        }
        if (!found && !remove) lines.push_back(change);
    }
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text + rest;
}

// The groups of the tests: all carried, one of them closed to the poster.
ArticleCheckContext Context(ArticleSource source, uint64_t bytes = 100) {
    ArticleCheckContext context;
    context.source = source;
    context.now = kNow;
    context.historyDays = 10;
    context.articleBytes = bytes;
    context.isCarried = [](std::string_view g) {
        return g == "local.general" || g == "local.private" || g == "local.readonly";
    };
    context.mayPost = [](std::string_view g) { return g != "local.readonly"; };
    return context;
}

ArticleVerdict Check(const std::string& text, const ArticleCheckContext& context) {
    HeaderFields header;
    ParseHeaderFields(text, header);
    return CheckArticle(header, context);
}

const std::string kBody = "\r\nbody\r\n.\r\n";

struct CheckCase {
    std::vector<std::string> changes;
    ArticleCheck want;
    std::string reason;
};

TEST(CheckArticle, RefusesEachFaultOfAPost) {
    const CheckCase cases[] = {
        {{}, ArticleCheck::Ok, ""},
        {{"-Subject"}, ArticleCheck::MissingHeader, "Missing required Subject: header"},
        {{"Subject: "}, ArticleCheck::MissingHeader, "Missing required Subject: header"},
        {{"-From"}, ArticleCheck::MissingHeader, "Missing required From: header"},
        {{"-Newsgroups"}, ArticleCheck::MissingHeader, "Missing required Newsgroups: header"},
        {{"+Subject: again"}, ArticleCheck::DuplicateHeader, "Duplicate Subject: header"},
        {{"+subject: again"}, ArticleCheck::DuplicateHeader, "Duplicate Subject: header"},
        {{"+Lines: 1", "+LINES: 2"}, ArticleCheck::DuplicateHeader, "Duplicate Lines: header"},
        {{"+X-Note: 1", "+X-Note: 2", "+Keywords: a", "+Keywords: b"}, ArticleCheck::Ok, ""},
        {{"+Subject:x"}, ArticleCheck::BadHeaderLine, "Invalid header line \"Subject:x\""},
        {{"From: alice"}, ArticleCheck::BadFrom, "From: address not in Internet syntax"},
        {{"Message-ID: junk"}, ArticleCheck::BadMessageId, "Can't parse Message-ID: header"},
        {{"Message-ID: <ok@example.org>"}, ArticleCheck::Ok, ""},
        {{"Date: yesterday"}, ArticleCheck::BadDate, "Can't parse Date: header"},
        // Present but empty: the server would add a second one.
        {{"Date: "}, ArticleCheck::BadDate, "Can't parse Date: header"},
        {{"Message-ID:"}, ArticleCheck::BadMessageId, "Can't parse Message-ID: header"},
        // A day's leeway ahead; HistoryDays (10) back.
        {{"Date: Sun, 08 Dec 2024 12:00:01 +0000"},
         ArticleCheck::DateInFuture,
         "Article posted in the future"},
        {{"Date: Sun, 08 Dec 2024 12:00:00 +0000"}, ArticleCheck::Ok, ""},
        {{"Date: Wed, 27 Nov 2024 11:59:59 +0000"},
         ArticleCheck::DateTooOld,
         "Article posted too far in the past"},
        {{"Date: Wed, 27 Nov 2024 12:00:00 +0000"}, ArticleCheck::Ok, ""},
        {{"Injection-Date: soon"},
         ArticleCheck::BadInjectionDate,
         "Can't parse Injection-Date: header"},
        {{"Expires: never"}, ArticleCheck::BadExpires, "Can't parse Expires: header"},
        {{"Expires: Sun, 1 Jun 2025 00:00:00 +0000"}, ArticleCheck::Ok, ""},
        {{"Path: my host!not-for-mail"}, ArticleCheck::BadPath, "Can't parse Path: header"},
        {{"Newsgroups: local general"},
         ArticleCheck::BadNewsgroups,
         "Can't parse Newsgroups: header"},
        {{"Newsgroups: nowhere.else,elsewhere"},
         ArticleCheck::NoCarriedGroup,
         "No valid newsgroups in \"nowhere.else,elsewhere\""},
        {{"Newsgroups: nowhere.else, local.general"}, ArticleCheck::Ok, ""},
        {{"Newsgroups: local.general,local.readonly"},
         ArticleCheck::NotAllowedToPost,
         "You are not allowed to post to local.readonly"},
        {{"Followup-To: nowhere.else"},
         ArticleCheck::BadFollowupTo,
         "Unknown newsgroup \"nowhere.else\" in Followup-To: header"},
        {{"Followup-To: a..b"}, ArticleCheck::BadFollowupTo, "Can't parse Followup-To: header"},
        {{"Followup-To: poster"}, ArticleCheck::Ok, ""},
        {{"Followup-To: local.private,local.readonly"}, ArticleCheck::Ok, ""},
    };
    for (const CheckCase& c : cases) {
        const std::string text = Article(kPostedLines, c.changes, kBody);
        ArticleVerdict verdict = Check(text, Context(ArticleSource::Posted));
        EXPECT_EQ(c.want, verdict.result) << text;
        EXPECT_EQ(c.reason, verdict.reason) << text;
        EXPECT_FALSE(verdict.remember) << text;
    }
    // No size limit for posts.
    EXPECT_EQ(
        ArticleCheck::Ok,
        Check(Article(kPostedLines, {}, kBody), Context(ArticleSource::Posted, 5000000)).result);
}

TEST(CheckArticle, RefusesEachFaultOfAFedArticle) {
    const CheckCase cases[] = {
        {{}, ArticleCheck::Ok, ""},
        {{"-Path"}, ArticleCheck::MissingHeader, "Missing \"Path\" header"},
        {{"-Date"}, ArticleCheck::MissingHeader, "Missing \"Date\" header"},
        {{"-Message-ID"}, ArticleCheck::MissingHeader, "Missing \"Message-ID\" header"},
        {{"+Message-ID: <2@peer.example.org>"},
         ArticleCheck::DuplicateHeader,
         "Duplicate \"Message-ID\" header"},
        {{"+X-Bad\r\n continued"}, ArticleCheck::BadHeaderLine, "Invalid header line \"X-Bad\""},
        {{"Message-ID: <1@peer example>"}, ArticleCheck::BadMessageId, "Bad \"Message-ID\" header"},
        {{"Date: Tue, 26 Nov 2024 11:00:00 +0000"},
         ArticleCheck::DateTooOld,
         "Too old -- \"Tue, 26 Nov 2024 11:00:00 +0000\""},
        {{"Date: Mon, 09 Dec 2024 12:00:00 +0000"},
         ArticleCheck::DateInFuture,
         "Article posted in the future -- \"Mon, 09 Dec 2024 12:00:00 +0000\""},
        // A value quoted in a reason stays on one line and within bounds.
        {{"Date: when\tit\x01suits " + std::string(100, 'x')},
         ArticleCheck::BadDate,
         "Bad \"Date\" header -- \"when?it?suits " + std::string(66, 'x') + "...\""},
        {{"Expires: never"}, ArticleCheck::BadExpires, "Bad \"Expires\" header"},
        {{"Injection-Date: soon"}, ArticleCheck::BadInjectionDate, "Bad \"Injection-Date\" header"},
        {{"From: nobody"}, ArticleCheck::BadFrom, "Bad \"From\" header"},
        {{"Path: peer example"}, ArticleCheck::BadPath, "Bad \"Path\" header"},
        {{"Newsgroups: a:b"},
         ArticleCheck::BadNewsgroups,
         "Unwanted character in \"Newsgroups\" header"},
        {{"Newsgroups: nowhere.else,elsewhere"},
         ArticleCheck::NoCarriedGroup,
         "Unwanted newsgroup \"nowhere.else\""},
        // A peer's article may go to groups nobody here may post to, and
        // name others in Followup-To.
        {{"Newsgroups: local.readonly", "Followup-To: nowhere.else"}, ArticleCheck::Ok, ""},
    };
    for (const CheckCase& c : cases) {
        const std::string text = Article(kFedLines, c.changes, kBody);
        ArticleVerdict verdict = Check(text, Context(ArticleSource::Fed));
        EXPECT_EQ(c.want, verdict.result) << text;
        EXPECT_EQ(c.reason, verdict.reason) << text;
        // Remembered unless accepted or without one sure, valid Message-ID.
        bool idInDoubt = false;
        for (const std::string& change : c.changes)
            idInDoubt = idInDoubt || change.find("Message-ID") != std::string::npos;
        EXPECT_EQ(c.want != ArticleCheck::Ok && !idInDoubt, verdict.remember) << text;
    }
    ArticleVerdict big = Check(Article(kFedLines, {}, kBody), Context(ArticleSource::Fed, 1000001));
    EXPECT_EQ(ArticleCheck::TooBig, big.result);
    EXPECT_EQ("Article of 1000001 bytes exceeds local limit of 1000000 bytes", big.reason);
    EXPECT_TRUE(big.remember);
    EXPECT_EQ(ArticleCheck::Ok,
              Check(Article(kFedLines, {}, kBody), Context(ArticleSource::Fed, 1000000)).result);
}

TEST(CheckArticle, WantsABodyAfterTheHeader) {
    struct Case {
        ArticleSource source;
        const char* rest;  // what follows the header lines
        ArticleCheck want;
        const char* reason;
    } cases[] = {
        {ArticleSource::Posted, "", ArticleCheck::NoBody, "Article has no body -- just headers"},
        {ArticleSource::Posted, "\r\n.\r\n", ArticleCheck::EmptyBody, "Article is empty"},
        {ArticleSource::Posted, "\r\n\r\n  \r\n.\r\n", ArticleCheck::EmptyBody, "Article is empty"},
        {ArticleSource::Posted, "\r\n..\r\n.\r\n", ArticleCheck::Ok, ""},
        {ArticleSource::Fed, "", ArticleCheck::NoBody, "No body"},
        {ArticleSource::Fed, "\r\n.\r\n", ArticleCheck::Ok, ""},
    };
    for (const Case& c : cases) {
        const std::string text =
            Article(c.source == ArticleSource::Posted ? kPostedLines : kFedLines, {}, c.rest);
        ArticleVerdict verdict = Check(text, Context(c.source));
        EXPECT_EQ(c.want, verdict.result) << text;
        EXPECT_EQ(c.reason, verdict.reason) << text;
    }
    // A cancel needs no body.
    EXPECT_EQ(ArticleCheck::Ok,
              Check(Article(kPostedLines, {"Control: cancel <x@example.org>"}, "\r\n.\r\n"),
                    Context(ArticleSource::Posted))
                  .result);
}

TEST(CheckArticle, AnyAgeWithoutHistoryDays) {
    ArticleCheckContext context = Context(ArticleSource::Fed);
    context.historyDays = 0;
    EXPECT_EQ(
        ArticleCheck::Ok,
        Check(Article(kFedLines, {"Date: 1 Jan 1990 00:00:00 +0000"}, kBody), context).result);
}

TEST(NewMessageId, IsValidAndNeverRepeats) {
    std::set<std::string> seen;
    for (int i = 0; i < 5000; ++i) {
        const std::string id = NewMessageId(kNow, "news.example.org");
        ASSERT_TRUE(IsValidMessageId(id)) << id;
        ASSERT_TRUE(seen.insert(id).second) << id;
    }
    const std::string first = *seen.begin();
    EXPECT_EQ("<so4hc0.", first.substr(0, 8)) << first;  // the time in base 36
    EXPECT_EQ("@news.example.org>", first.substr(first.size() - 18));
    // Even with the clock set back, a process repeats none of its own.
    EXPECT_TRUE(seen.insert(NewMessageId(kNow - 3600, "news.example.org")).second);
}

TEST(NewMessageId, DiffersFromAnotherProcessInTheSameSecond) {
    int fds[2];
    ASSERT_EQ(0, ::pipe(fds));
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // What a restarted server makes first, at the same second.
        const std::string id = NewMessageId(kNow, "h");
        ssize_t n = ::write(fds[1], id.data(), id.size());
        ::_exit(n == static_cast<ssize_t>(id.size()) ? 0 : 1);
    }
    ::close(fds[1]);
    char buffer[256];
    ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_GT(n, 0);
    const std::string theirs(buffer, static_cast<size_t>(n));
    const std::string ours = NewMessageId(kNow, "h");
    EXPECT_NE(ours, theirs);
    EXPECT_TRUE(IsValidMessageId(theirs)) << theirs;
}

TEST(DefaultPathHost, IsAHostName) {
    const std::string host = DefaultPathHost();
    ASSERT_FALSE(host.empty());
    EXPECT_TRUE(IsValidMessageId("<x@" + host + ">")) << host;
    for (char c : host) EXPECT_FALSE(c >= 'A' && c <= 'Z') << host;
}

}  // namespace
