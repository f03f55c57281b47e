// The command handlers of both modes, driven through a session whose link
// records what it is asked to send, without a socket: a case per reply
// outcome of each command.

#include "protocol/session.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>

#include "store/file_sync.h"
#include "store/group_index.h"
#include "tests/test_support.h"

namespace {

// What a connection would have sent and logged.
class FakeLink : public ISessionLink {
public:
    std::string sent;
    std::vector<std::string> logs;
    bool finished = false;
    bool article = false;

    void SendText(std::string text) override { sent += text; }
    void SendFile(const ArticleFile& file, int64_t from) override {
        std::ifstream in(file.path, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        sent += bytes.substr(static_cast<size_t>(std::min<int64_t>(from, bytes.size())));
    }
    void Log(const std::string& text) override { logs.push_back(text); }
    void MarkFinished() override { finished = true; }
    void BeginArticle() override { article = true; }
    void HoldInput() override { held = true; }
    void ResumeInput() override { held = false; }
    bool held = false;

    // TLS: a certificate is loaded; the connection is encrypted; STARTTLS
    // was accepted and its handshake is due; the connection cannot start it.
    bool certificate = false;
    bool encrypted = false;
    bool tlsDue = false;
    bool tlsBroken = false;
    bool IsEncrypted() const override { return encrypted; }
    bool TlsAvailable() const override { return certificate; }
    bool StartTlsAfterReply() override {
        if (!certificate || encrypted || tlsBroken) return false;
        tlsDue = true;
        return true;
    }
};

struct Article {
    const char* group;
    int number;
    const char* messageId;
    const char* subject;
    bool onDisk;
};

// local.test holds 1 to 3 and an entry 4 whose file has gone; <2@t> is also
// in local.other; local.secret may be read by alice only.
const Article kArticles[] = {
    {"local.test", 1, "<1@t>", "one", true},   {"local.test", 2, "<2@t>", "two", true},
    {"local.test", 3, "<3@t>", "three", true}, {"local.test", 4, "<4@t>", "four", false},
    {"local.other", 1, "<2@t>", "two", true},  {"local.secret", 1, "<s@t>", "secret", true},
};

std::string FileOf(const Article& a) {
    return std::string("From: a@example.invalid\r\nSubject: ") + a.subject +
           "\r\nMessage-ID: " + a.messageId + "\r\nX-Custom: c" + std::to_string(a.number) +
           "\r\n\r\nbody " + a.subject + "\r\n.\r\n";
}

class Server : public FakeHost, public CServerCore {
public:
    Server() : CServerCore(static_cast<IServerHost&>(*this)) {
        now = 1700000000;  // 2023-11-14 22:13:20 UTC
        m_szBaseDir = m_dir.path();
        AddGroup("local.test", {}, {});
        AddGroup("local.other", {}, {});
        AddGroup("local.secret", {"alice"}, {"alice"});
        AddGroup("local.empty", {}, {"alice"});
        m_users = {{"alice", "wonder"}, {"bob", "builder"}};
        std::string error;
        EXPECT_TRUE(m_history.Open(m_dir.path(), error)) << error;
        for (const Article& a : kArticles) {
            GroupEntry& group = *FindGroup(a.group);
            std::string path = ArticlePath(group, a.number);
            if (a.onDisk) WriteFile(path, FileOf(a));
            m_history.RememberAccepted(a.messageId, now);
            group.articles.Add(a.number,
                               EntryTexts{a.subject, "a@example.invalid", "d", a.messageId, ""},
                               static_cast<int>(FileOf(a).size()), 1);
            group.firstNumber = group.firstNumber ? group.firstNumber : a.number;
            group.lastNumber = a.number;
            group.articleCount += 1;
        }
    }

private:
    void AddGroup(const std::string& name, std::vector<std::string> readers,
                  std::vector<std::string> posters) {
        auto group = std::make_unique<GroupEntry>();
        group->name = name;
        group->note = "about " + name;
        group->readAll = readers.empty();
        group->readers = std::move(readers);
        group->postAll = posters.empty();
        group->posters = std::move(posters);
        std::filesystem::create_directory(GroupDir(*group));
        m_groups.push_back(std::move(group));
    }

    TempDir m_dir;
};

enum Mode { kClassic, kReader };
// What the connection has of TLS: nothing; a certificate, so STARTTLS may
// be offered; TLS on; a certificate but STARTTLS cannot start.
enum Tls { kNoCert, kCert, kTlsOn, kBroken };

const Peer kPeer{PeerSettings{"hub.test", "127.0.0.1", 0, "*", "", ""}, {"127.0.0.1"}};

struct Case {
    Mode mode;
    bool logins;
    std::vector<const char*> setup;  // commands answered first, their replies ignored
    const char* command;
    std::string want;     // everything the command sends
    bool prefix = false;  // `want` is only the start
    bool peer = false;    // the connection comes from a peer
    Tls tls = kNoCert;
    bool authNeedsTls = false;  // AuthRequiresTls 1
};

std::string Overview(int shown, const char* id, const char* subject) {
    Article a{"", 0, id, subject, true};
    a.number = shown ? shown : 1;
    ArticleList list;
    const ArticleEntry& entry = list.Add(0, EntryTexts{subject, "a@example.invalid", "d", id, ""},
                                         static_cast<int>(FileOf(a).size()), 1);
    std::string line;
    AppendOverviewLine(line, entry, shown);
    return line;
}

const std::string kA1 = FileOf(kArticles[0]);
const std::string kBody1 = "body one\r\n.\r\n";
const std::string kHead1 =
    "From: a@example.invalid\r\nSubject: one\r\nMessage-ID: <1@t>\r\nX-Custom: c1\r\n";
const char* const kGroup = "GROUP local.test";
const char* const kLoginAlice[] = {"AUTHINFO USER alice", "AUTHINFO PASS wonder"};
const char* const kLoginBob[] = {"AUTHINFO USER bob", "AUTHINFO PASS builder"};
const std::string kCaps =
    "101 Capability list:\r\nVERSION 2\r\nREADER\r\nPOST\r\nLIST ACTIVE NEWSGROUPS "
    "OVERVIEW.FMT\r\nOVER MSGID\r\nHDR\r\n";
const char* const kAuthinfoCap = "AUTHINFO USER\r\n";
const char* const kStartTlsCap = "STARTTLS\r\n";
const char* const kGoAhead = "382 Continue with TLS negotiation\r\n";
const char* const kNeedsTls = "483 Encryption required\r\n";
const char* const kLoginFirst = "480 Authentication required for command!!\r\n";

const Case kCases[] = {
    // --- classic mode -------------------------------------------------------
    {kClassic,
     false,
     {},
     "LIST",
     "215 list of newsgroups follows!!\r\nlocal.test 4 1 y\r\nlocal.other 1 1 y\r\n"
     "local.secret 1 1 y\r\nlocal.empty 0 0 y\r\n.\r\n"},
    {kClassic, false, {}, "list overview.fmt", "215 Order of fields", true},
    {kClassic, false, {}, "LIST ACTIVE", "500 command not recognized!!\r\n"},
    {kClassic, false, {}, "GROUP local.test", "211 4 1 4 local.test group selected!!\r\n"},
    {kClassic, false, {}, "GROUP Local.test", "411 no such news group [Local.test]!!\r\n"},
    {kClassic, false, {}, "GROUP", "500 command not recognized!!\r\n"},
    {kClassic, false, {}, "XOVER 1-2", "412 No news group current selected!!\r\n"},
    {kClassic, false, {kGroup}, "XOVER 2-1", "224 Overview information follows!!\r\n.\r\n"},
    {kClassic,
     false,
     {kGroup},
     "XOVER 2",
     "224 Overview information follows!!\r\n" + Overview(2, "<2@t>", "two") + ".\r\n"},
    {kClassic, false, {kGroup}, "XOVER x", "224 Overview information follows!!\r\n.\r\n"},
    {kClassic, false, {}, "ARTICLE 1", "412 No news group current selected!!\r\n"},
    {kClassic,
     false,
     {kGroup},
     "ARTICLE 1",
     "220 1 <1@t> Article retrieved, text follows!!\r\n" + kA1},
    {kClassic, false, {kGroup}, "ARTICLE 9", "430 no such article found [9]!!\r\n"},
    {kClassic, false, {kGroup}, "ARTICLE 4", "430 no such article found [4]!!\r\n"},
    {kClassic,
     false,
     {kGroup, "ARTICLE 4"},
     "XOVER 4-4",
     "224 Overview information follows!!\r\n.\r\n"},
    {kClassic, false, {}, "ARTICLE <2@t>", "220 2 <2@t> Article retrieved", true},
    {kClassic, false, {}, "ARTICLE <no@t>", "430 no such article found [<no@t>]!!\r\n"},
    {kClassic, false, {}, "POST", "340 continue posting!!\r\n"},
    {kClassic, false, {}, "POST now", "500 command not recognized!!\r\n"},
    {kClassic, false, {}, "QUIT", "205 closing connection - goodbye!!\r\n"},
    {kClassic, false, {}, "HEAD 1", "500 command not recognized!!\r\n"},
    {kClassic, false, {}, "AUTHINFO USER alice", "500 command not recognized!!\r\n"},
    // Logins on: only QUIT alone and AUTHINFO with three words pass the gate.
    {kClassic, true, {}, "LIST", "480 Authentication required for command!!\r\n"},
    {kClassic, true, {}, "FROBNICATE", "480 Authentication required for command!!\r\n"},
    {kClassic, true, {}, "QUIT now", "480 Authentication required for command!!\r\n"},
    {kClassic, true, {}, "QUIT", "205 closing connection - goodbye!!\r\n"},
    {kClassic, true, {}, "AUTHINFO USER", "480 Authentication required for command!!\r\n"},
    {kClassic, true, {}, "authinfo user alice", "381 PASS required!!\r\n"},
    {kClassic, true, {"AUTHINFO USER alice"}, "AUTHINFO PASS wonder", "281 User/Password OK!!\r\n"},
    {kClassic,
     true,
     {"AUTHINFO USER alice"},
     "AUTHINFO PASS Wonder",
     "502 Authentication error!!\r\n"},
    {kClassic, true, {}, "AUTHINFO PASS wonder", "502 Authentication error!!\r\n"},
    {kClassic, true, {}, "AUTHINFO WHO alice", "501 AUTHINFO USER XXX or AUTHINFO PASS XXX!!\r\n"},
    {kClassic,
     true,
     {kLoginAlice[0], kLoginAlice[1]},
     "AUTHINFO USER",
     "500 command not recognized!!\r\n"},
    // A new name drops the login until its own password comes.
    {kClassic,
     true,
     {kLoginAlice[0], kLoginAlice[1], "AUTHINFO USER bob"},
     "LIST",
     "480 Authentication required for command!!\r\n"},
    {kClassic,
     true,
     {kLoginBob[0], kLoginBob[1]},
     "GROUP local.secret",
     "502 access restriction or permission denied [local.secret]!!\r\n"},
    {kClassic,
     true,
     {kLoginBob[0], kLoginBob[1]},
     "ARTICLE <s@t>",
     "502 access restriction or permission denied [<s@t>]!!\r\n"},
    // The refused Message-ID still selected its group.
    {kClassic,
     true,
     {kLoginBob[0], kLoginBob[1], "ARTICLE <s@t>"},
     "XOVER 1-1",
     "502 access restriction or permission denied!!\r\n"},
    {kClassic,
     true,
     {kLoginBob[0], kLoginBob[1], "ARTICLE <s@t>"},
     "ARTICLE 1",
     "502 access restriction or permission denied [1]!!\r\n"},
    {kClassic,
     true,
     {kLoginBob[0], kLoginBob[1]},
     "LIST",
     "215 list of newsgroups follows!!\r\nlocal.test 4 1 y\r\nlocal.other 1 1 y\r\n"
     "local.empty 0 0 n\r\n.\r\n"},

    // --- reader mode: session -----------------------------------------------
    {kReader,
     false,
     {},
     "CAPABILITIES",
     "101 Capability list:\r\nVERSION 2\r\nREADER\r\nPOST\r\nLIST ACTIVE NEWSGROUPS "
     "OVERVIEW.FMT\r\nOVER MSGID\r\nHDR\r\n.\r\n"},
    {kReader, false, {}, "MODE READER", "200 Posting allowed\r\n"},
    {kReader, false, {}, "MODE STREAM", "502 Command unavailable\r\n"},
    {kReader, false, {}, "MODE POSTING", "501 Syntax error\r\n"},
    {kReader, false, {}, "MODE READER NOW", "501 Syntax error\r\n"},
    {kReader, false, {}, "DATE", "111 20231114221320\r\n"},
    {kReader, false, {}, "DATE now", "501 Syntax error\r\n"},
    {kReader, false, {}, "HELP", "100 Help text follows\r\nARTICLE BODY", true},
    {kReader, false, {}, "QUIT now", "501 Syntax error\r\n"},
    {kReader, false, {}, "QUIT", "205 closing connection - goodbye!!\r\n"},
    {kReader, false, {}, "FROBNICATE", "500 command not recognized!!\r\n"},
    {kReader, false, {}, "AUTHINFO USER alice", "500 command not recognized!!\r\n"},
    {kReader, true, {}, "GROUP local.test", "480 Authentication required for command!!\r\n"},
    {kReader, true, {}, "MODE STREAM", "480 Authentication required for command!!\r\n"},
    {kReader, true, {}, "MODE READER", "200 Posting allowed\r\n"},
    {kReader, true, {}, "CAPABILITIES", "101 Capability list:\r\nVERSION 2", true},
    {kReader,
     true,
     {},
     "AUTHINFO PASS wonder",
     "482 Authentication commands issued out of order\r\n"},
    {kReader, true, {}, "AUTHINFO USER", "501 Syntax error\r\n"},
    {kReader, true, {"AUTHINFO USER alice"}, "AUTHINFO PASS x", "481 Authentication failed\r\n"},
    {kReader, true, {"AUTHINFO USER alice"}, "AUTHINFO PASS wonder", "281 User/Password OK!!\r\n"},
    {kReader, true, {}, "AUTHINFO WHO x", "501 AUTHINFO USER XXX or AUTHINFO PASS XXX!!\r\n"},
    {kReader,
     true,
     {kLoginAlice[0], kLoginAlice[1]},
     "AUTHINFO USER bob",
     "502 Command unavailable\r\n"},
    {kReader,
     true,
     {kLoginBob[0], kLoginBob[1]},
     "STAT <s@t>",
     "502 access restriction or permission denied [<s@t>]!!\r\n"},
    {kReader,
     true,
     {kLoginBob[0], kLoginBob[1]},
     "LISTGROUP local.secret",
     "502 access restriction or permission denied [local.secret]!!\r\n"},

    // --- reader mode: groups and navigation ---------------------------------
    {kReader, false, {}, "GROUP local.test", "211 4 1 4 local.test group selected!!\r\n"},
    {kReader, false, {}, "GROUP nope", "411 no such news group [nope]!!\r\n"},
    {kReader, false, {}, "GROUP", "501 Syntax error\r\n"},
    // A failed GROUP keeps the selection.
    {kReader, false, {kGroup, "GROUP nope"}, "STAT", "223 1 <1@t> Article exists\r\n"},
    {kReader, false, {}, "LISTGROUP", "412 No news group current selected!!\r\n"},
    {kReader,
     false,
     {},
     "LISTGROUP local.test 2-",
     "211 4 1 4 local.test list follows\r\n2\r\n3\r\n4\r\n.\r\n"},
    {kReader, false, {}, "LISTGROUP local.test x", "501 Syntax error\r\n"},
    {kReader, false, {}, "LISTGROUP nope", "411 no such news group [nope]!!\r\n"},
    {kReader, false, {}, "NEXT", "412 No news group current selected!!\r\n"},
    {kReader, false, {kGroup}, "NEXT", "223 2 <2@t> Article found\r\n"},
    {kReader, false, {kGroup}, "LAST", "422 No previous article in this group\r\n"},
    {kReader, false, {kGroup, "STAT 4"}, "NEXT", "223 2 <2@t> Article found\r\n"},
    {kReader, false, {kGroup, "STAT 3"}, "NEXT", "223 4 <4@t> Article found\r\n"},
    {kReader, false, {"GROUP local.empty"}, "NEXT", "420 No current article selected\r\n"},
    {kReader,
     false,
     {kGroup, "STAT 3", "NEXT", "NEXT"},
     "NEXT",
     "421 No next article in this group\r\n"},

    // --- reader mode: retrieval (syntax before state) ------------------------
    {kReader, false, {}, "STAT abc", "501 Syntax error\r\n"},
    {kReader, false, {}, "HEAD 1-2-3", "501 Syntax error\r\n"},
    {kReader, false, {}, "STAT 1 2", "501 Syntax error\r\n"},
    {kReader, false, {}, "STAT 1", "412 No news group current selected!!\r\n"},
    {kReader, false, {}, "STAT", "412 No news group current selected!!\r\n"},
    {kReader, false, {kGroup}, "STAT", "223 1 <1@t> Article exists\r\n"},
    {kReader, false, {kGroup}, "STAT 9", "423 No article with that number\r\n"},
    {kReader, false, {kGroup}, "STAT 4", "423 No article with that number\r\n"},
    {kReader, false, {"GROUP local.empty"}, "STAT", "420 No current article selected\r\n"},
    {kReader, false, {}, "STAT <2@t>", "223 0 <2@t> Article exists\r\n"},
    {kReader, false, {kGroup}, "STAT <2@t>", "223 2 <2@t> Article exists\r\n"},
    {kReader, false, {"GROUP local.other"}, "STAT <2@t>", "223 1 <2@t> Article exists\r\n"},
    {kReader, false, {}, "STAT <no@t>", "430 no such article found [<no@t>]!!\r\n"},
    {kReader,
     false,
     {kGroup},
     "ARTICLE 1",
     "220 1 <1@t> Article retrieved, text follows!!\r\n" + kA1},
    {kReader,
     false,
     {kGroup},
     "HEAD 1",
     "221 1 <1@t> Article retrieved, head follows\r\n" + kHead1 + ".\r\n"},
    {kReader, false, {kGroup}, "BODY", "222 1 <1@t> Article retrieved, body follows\r\n" + kBody1},
    {kReader, false, {kGroup, "STAT 3"}, "STAT", "223 3 <3@t> Article exists\r\n"},

    // --- reader mode: overview and headers ----------------------------------
    {kReader, false, {}, "XOVER x-y", "501 Syntax error\r\n"},
    {kReader, false, {}, "OVER 1-2 3", "501 Syntax error\r\n"},
    {kReader, false, {}, "OVER", "412 No news group current selected!!\r\n"},
    {kReader, false, {}, "OVER 1-2", "412 No news group current selected!!\r\n"},
    {kReader, false, {kGroup}, "OVER 5-9", "423 No articles in that range\r\n"},
    {kReader,
     false,
     {kGroup},
     "XOVER 2-3",
     "224 Overview information follows!!\r\n" + Overview(2, "<2@t>", "two") +
         Overview(3, "<3@t>", "three") + ".\r\n"},
    {kReader,
     false,
     {kGroup},
     "OVER",
     "224 Overview information follows!!\r\n" + Overview(1, "<1@t>", "one") + ".\r\n"},
    {kReader,
     false,
     {},
     "OVER <2@t>",
     "224 Overview information follows!!\r\n" + Overview(0, "<2@t>", "two") + ".\r\n"},
    {kReader, false, {kGroup}, "HDR Subject 1-2", "225 Headers follow\r\n1 one\r\n2 two\r\n.\r\n"},
    {kReader, false, {kGroup}, "XHDR subject", "221 Header follows\r\n1 one\r\n.\r\n"},
    {kReader, false, {kGroup}, "HDR X-Custom 2-3", "225 Headers follow\r\n2 c2\r\n3 c3\r\n.\r\n"},
    {kReader,
     false,
     {kGroup},
     "HDR :bytes 1",
     "225 Headers follow\r\n1 " + std::to_string(kA1.size()) + "\r\n.\r\n"},
    {kReader, false, {}, "HDR", "501 Syntax error\r\n"},
    {kReader, false, {}, "XHDR Subject 1-x", "501 Syntax error\r\n"},

    // --- reader mode: lists -----------------------------------------------------
    {kReader,
     false,
     {},
     "LIST",
     "215 list of newsgroups follows!!\r\nlocal.test 4 1 y\r\nlocal.other 1 1 y\r\n"
     "local.secret 1 1 y\r\nlocal.empty 0 0 y\r\n.\r\n"},
    {kReader,
     false,
     {},
     "LIST ACTIVE local.[eo]*",
     "215 list of newsgroups follows!!\r\nlocal.other 1 1 y\r\nlocal.empty 0 0 y\r\n.\r\n"},
    {kReader,
     false,
     {},
     "LIST NEWSGROUPS *t",
     "215 descriptions follow\r\nlocal.test\tabout local.test\r\nlocal.secret\tabout "
     "local.secret\r\n.\r\n"},
    {kReader,
     false,
     {},
     "LIST HEADERS",
     "215 headers supported:\r\n:\r\n:bytes\r\n:lines\r\n.\r\n"},
    {kReader, false, {}, "LIST HEADERS x", "501 Syntax error\r\n"},
    {kReader, false, {}, "LIST OVERVIEW.FMT", "215 Order of fields", true},
    {kReader, false, {}, "LIST OVERVIEW.FMT x", "501 Syntax error\r\n"},
    {kReader, false, {}, "LIST BOGUS", "501 Syntax error\r\n"},
    {kReader,
     false,
     {},
     "NEWGROUPS 20000101 000000 GMT",
     "231 list of new newsgroups follows\r\n",
     true},
    {kReader, false, {}, "NEWGROUPS 20241301 000000", "501 Syntax error\r\n"},
    {kReader, false, {}, "NEWGROUPS 000101 000000 UTC", "501 Syntax error\r\n"},
    {kReader,
     false,
     {},
     "NEWNEWS local.test 20000101 000000 GMT",
     "230 list of new articles by message-id follows\r\n<1@t>\r\n<2@t>\r\n<3@t>\r\n.\r\n"},
    {kReader, false, {}, "NEWNEWS * 20000101", "501 Syntax error\r\n"},
    {kReader, false, {}, "POST", "340 continue posting!!\r\n"},
    {kReader, false, {}, "POST now", "501 Syntax error\r\n"},

    // --- reader mode: feeds -------------------------------------------------------
    {kReader, false, {}, "IHAVE <new@t>", "502 Command unavailable\r\n"},
    {kReader, false, {}, "CHECK <new@t>", "502 Command unavailable\r\n"},
    {kReader, false, {}, "TAKETHIS <new@t>", "502 Command unavailable\r\n"},
    {kReader, true, {}, "CHECK <new@t>", "480 Authentication required for command!!\r\n"},
    {kReader, false, {}, "MODE STREAM", "203 Streaming permitted\r\n", false, true},
    {kReader, true, {}, "CHECK <new@t>", "238 <new@t>\r\n", false, true},
    {kReader, false, {}, "CHECK <1@t>", "438 <1@t>\r\n", false, true},
    {kReader, false, {}, "CHECK junk", "438 junk\r\n", false, true},
    {kReader, false, {}, "CHECK", "501 Syntax error\r\n", false, true},
    {kReader, false, {}, "IHAVE <1@t>", "435 Duplicate\r\n", false, true},
    {kReader, false, {}, "IHAVE <new@t>", "335 Send it; end with <CR-LF>.<CR-LF>\r\n", false, true},
    // An article on its way in on one connection is not asked for again.
    {kReader, false, {"IHAVE <new@t>"}, "CHECK <new@t>", "431 <new@t>\r\n", false, true},
    {kReader, false, {"IHAVE <new@t>"}, "IHAVE <new@t>", "436 Retry later\r\n", false, true},
    {kReader, false, {}, "TAKETHIS <new@t>", "", false, true},

    // --- TLS ------------------------------------------------------------------------
    // Without a certificate STARTTLS is unknown, as it always was.
    {kReader, false, {}, "STARTTLS", "500 command not recognized!!\r\n"},
    {kReader, true, {}, "STARTTLS", kLoginFirst},
    {kClassic, false, {}, "STARTTLS", "500 command not recognized!!\r\n", false, false, kCert},
    {kClassic, true, {}, "STARTTLS", kLoginFirst, false, false, kCert},
    {kReader, true, {}, "CAPABILITIES", kCaps + kAuthinfoCap + ".\r\n"},
    {kReader, false, {}, "CAPABILITIES", kCaps + kStartTlsCap + ".\r\n", false, false, kCert},
    {kReader,
     true,
     {},
     "CAPABILITIES",
     kCaps + kAuthinfoCap + kStartTlsCap + ".\r\n",
     false,
     false,
     kCert},
    {kReader, false, {}, "CAPABILITIES", kCaps + ".\r\n", false, false, kTlsOn},
    {kReader, false, {}, "STARTTLS", kGoAhead, false, false, kCert},
    // Open before a login: that is when it is needed.
    {kReader, true, {}, "STARTTLS", kGoAhead, false, false, kCert},
    {kReader, false, {}, "starttls now", "501 Syntax error\r\n", false, false, kCert},
    {kReader, false, {}, "STARTTLS", "502 Command unavailable\r\n", false, false, kTlsOn},
    {kReader, false, {"STARTTLS"}, "STARTTLS", "502 Command unavailable\r\n", false, false, kCert},
    {kReader,
     true,
     {kLoginAlice[0], kLoginAlice[1]},
     "STARTTLS",
     "502 Command unavailable\r\n",
     false,
     false,
     kCert},
    {kReader,
     false,
     {},
     "STARTTLS",
     "580 Can not initiate TLS negotiation\r\n",
     false,
     false,
     kBroken},
    // The handshake forgets the group, the article and a half-done login.
    {kReader,
     false,
     {kGroup, "STAT 2", "STARTTLS"},
     "STAT",
     "412 No news group current selected!!\r\n",
     false,
     false,
     kCert},
    {kReader,
     true,
     {"AUTHINFO USER alice", "STARTTLS"},
     "AUTHINFO PASS wonder",
     "482 Authentication commands issued out of order\r\n",
     false,
     false,
     kCert},
    {kReader,
     true,
     {"STARTTLS", kLoginAlice[0], kLoginAlice[1]},
     "GROUP local.secret",
     "211 1 1 1 local.secret group selected!!\r\n",
     false,
     false,
     kCert},
    // Logins only under TLS.
    {kReader, true, {}, "AUTHINFO USER alice", kNeedsTls, false, false, kCert, true},
    {kReader, true, {}, "AUTHINFO PASS wonder", kNeedsTls, false, false, kNoCert, true},
    {kReader,
     true,
     {kLoginAlice[0], kLoginAlice[1]},
     "GROUP local.test",
     kLoginFirst,
     false,
     false,
     kCert,
     true},
    {kReader, true, {}, "CAPABILITIES", kCaps + kStartTlsCap + ".\r\n", false, false, kCert, true},
    {kReader, true, {}, "CAPABILITIES", kCaps + kAuthinfoCap + ".\r\n", false, false, kTlsOn, true},
    {kReader,
     true,
     {"AUTHINFO USER alice"},
     "AUTHINFO PASS wonder",
     "281 User/Password OK!!\r\n",
     false,
     false,
     kTlsOn,
     true},
    {kReader,
     true,
     {"STARTTLS", "AUTHINFO USER alice"},
     "AUTHINFO PASS wonder",
     "281 User/Password OK!!\r\n",
     false,
     false,
     kCert,
     true},
    // Off while logins are off, as AUTHINFO itself is.
    {kReader,
     false,
     {},
     "AUTHINFO USER alice",
     "500 command not recognized!!\r\n",
     false,
     false,
     kCert,
     true},
    {kClassic, true, {}, "AUTHINFO USER alice", kNeedsTls, false, false, kNoCert, true},
    {kClassic,
     true,
     {kLoginAlice[0], kLoginAlice[1]},
     "LIST",
     kLoginFirst,
     false,
     false,
     kNoCert,
     true},
    {kClassic, true, {}, "AUTHINFO USER", kLoginFirst, false, false, kNoCert, true},
    {kClassic,
     true,
     {},
     "AUTHINFO USER alice",
     "381 PASS required!!\r\n",
     false,
     false,
     kTlsOn,
     true},
};

std::string Describe(const Case& c) {
    static const char* const kTlsNames[] = {"", " cert", " tls", " broken-tls"};
    std::string out = c.mode == kClassic ? "classic" : "reader";
    out += kTlsNames[c.tls];
    if (c.authNeedsTls) out += " auth-needs-tls";
    out += c.logins ? " with logins:" : ":";
    for (const char* s : c.setup) out += std::string(" [") + s + "]";
    return out + " [" + c.command + "]";
}

TEST(SessionTest, EveryCommandAnswersEachOutcome) {
    for (const Case& c : kCases) {
        Server server;
        server.m_bUseRfc3977 = c.mode == kReader;
        server.m_bUseAuthor = c.logins;
        server.m_bAuthRequiresTls = c.authNeedsTls;
        FakeLink link;
        link.certificate = c.tls != kNoCert;
        link.encrypted = c.tls == kTlsOn;
        link.tlsBroken = c.tls == kBroken;
        CSession session(link, server);
        if (c.peer) session.SetPeer(&kPeer);
        for (const char* command : c.setup) {
            session.ProcessCommand(std::string(command) + "\r\n");
            if (!link.tlsDue) continue;
            // What the connection does once the handshake is done.
            link.tlsDue = false;
            link.encrypted = true;
            session.ForgetBeforeTls();
        }
        link.sent.clear();
        session.ProcessCommand(std::string(c.command) + "\r\n");
        std::string got = c.prefix ? link.sent.substr(0, c.want.size()) : link.sent;
        EXPECT_EQ(c.want, got) << Describe(c);
    }
}

TEST(SessionTest, CommandsAreLoggedWithPasswordsMasked) {
    Server server;
    FakeLink link;
    CSession session(link, server);
    session.ProcessCommand(" \r\n\t\r\n");
    EXPECT_TRUE(link.logs.empty() && link.sent.empty());
    session.ProcessCommand("authinfo pass secret\r\n");
    session.ProcessCommand("GROUP local.test\r\n");
    session.ProcessCommand("ARTICLE 1\r\n");
    EXPECT_EQ((std::vector<std::string>{
                  "authinfo pass *****\r\n", "500 command not recognized!!\r\n",
                  "GROUP local.test\r\n", "211 4 1 4 local.test group selected!!\r\n",
                  "ARTICLE 1\r\n", "220 1 <1@t> Article retrieved, text follows!!\r\n", ".\r\n"}),
              link.logs);
}

TEST(SessionTest, PostAndQuitReachTheConnection) {
    for (Mode mode : {kClassic, kReader}) {
        Server server;
        server.m_bUseRfc3977 = mode == kReader;
        FakeLink link;
        CSession session(link, server);
        session.ProcessCommand("POST\r\n");
        EXPECT_TRUE(link.article) << mode;
        session.ProcessCommand("QUIT\r\n");
        EXPECT_TRUE(link.finished) << mode;
    }
}

// Every sync fails, as on a disk that has gone bad.
class FailingSync : public IFileSync {
public:
    bool SyncData(int) override { return Fail(); }
    bool SyncDirectory(const std::string&) override { return Fail(); }

private:
    static bool Fail() {
        errno = EIO;
        return false;
    }
};

class PassingSync : public IFileSync {
public:
    bool SyncData(int) override { return true; }
    bool SyncDirectory(const std::string&) override { return true; }
};

TEST(SessionTest, WithSyncWritesAPostIsAnsweredOnceOnDiskOrNotAtAll) {
    struct Case {
        bool diskFails;
        std::string want;
    } cases[] = {
        {false, "240 article posted successfully!!\r\n"},
        {true, "441 article not saved to disk!!\r\n"},
    };
    for (const Case& c : cases) {
        PassingSync passing;
        FailingSync failing;
        Server server;
        auto runner = std::make_unique<FakeRunner>();
        auto batch = runner->state;
        server.EnableSyncWrites(std::move(runner),
                                c.diskFails ? static_cast<IFileSync&>(failing) : passing);
        FakeLink link;
        CSession session(link, server);
        const std::string article = "Newsgroups: local.test\r\nSubject: s\r\n\r\nbody\r\n.\r\n";
        Posting posting;
        ASSERT_TRUE(posting.Append(article.data(), article.size()));
        session.PostArticle(posting);
        EXPECT_TRUE(link.held) << c.want;
        EXPECT_EQ("", link.sent) << c.want;
        batch->Complete();
        EXPECT_FALSE(link.held) << c.want;
        EXPECT_EQ(c.want, link.sent);
        EXPECT_EQ(c.want, link.logs.back());
        server.StopSyncWrites();
    }
}

}  // namespace
