// The connection's send queue and framing, without a socket: the socket's
// send calls are replaced by a sink that takes a random share of what it is
// offered, the way a congested TCP socket does.

#include "protocol/client_socket.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "platform/tls_context.h"
#include "store/file_sync.h"
#include "store/server_core.h"
#include "tests/test_support.h"

namespace {

// Takes between none and all of each send, chosen by a seeded generator;
// "none" answers as a socket that would block.
class SinkSocket : public CClientSocket {
public:
    SinkSocket(unsigned seed, IServerHost& host, CServerCore& server)
        : CClientSocket(host, server), m_random(seed) {}
    std::string received;
    int sendCalls = 0;

    int SendVector(const iovec* parts, int count) override {
        ++sendCalls;
        size_t offered = 0;
        for (int i = 0; i < count; ++i) offered += parts[i].iov_len;
        size_t take = std::uniform_int_distribution<size_t>(0, offered)(m_random);
        if (take == 0 && offered > 0) return SOCKET_ERROR;
        size_t left = take;
        for (int i = 0; i < count && left > 0; ++i) {
            size_t n = std::min(left, parts[i].iov_len);
            received.append(static_cast<const char*>(parts[i].iov_base), n);
            left -= n;
        }
        return static_cast<int>(take);
    }

    // Write notifications until the queue is empty, bounded.
    void Drain() {
        for (int i = 0; i < 100000 && !Queue().Empty(); ++i) OnSend(0);
        ASSERT_TRUE(Queue().Empty());
    }

private:
    std::mt19937 m_random;
};

class ClientSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "marrowby-sock-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        m_server.m_szBaseDir = m_dir;
        auto group = std::make_unique<GroupEntry>();
        group->name = "local.test";
        std::filesystem::create_directory(m_dir + "/local.test");
        m_server.m_groups.push_back(std::move(group));
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::string WriteFile(const std::string& name, size_t size, unsigned seed) {
        std::string bytes(size, '\0');
        std::mt19937 random(seed);
        for (char& c : bytes) c = static_cast<char>('a' + random() % 26);
        std::ofstream(m_dir + "/" + name, std::ios::binary) << bytes;
        return bytes;
    }

    // What the connection offers its session, as the session calls it.
    static ISessionLink& Link(SinkSocket& socket) { return socket; }
    static void SendFile(SinkSocket& socket, const std::string& path) {
        Link(socket).SendFile(ArticleFile{path, -1}, 0);
    }

    FakeHost m_host;
    CServerCore m_server{m_host};
    std::string m_dir;
};

TEST_F(ClientSocketTest, EveryQueuedByteArrivesOnceInOrderAcrossPartialSends) {
    for (unsigned seed = 1; seed <= 20; ++seed) {
        SinkSocket socket(seed, m_host, m_server);
        std::string expected;
        std::string big = WriteFile("big", 1300000, seed);  // three file chunks
        std::string empty = WriteFile("empty", 0, seed);
        for (int i = 0; i < 50; ++i) {
            std::string line =
                "line " + std::to_string(i) + " of seed " + std::to_string(seed) + "\r\n";
            Link(socket).SendText(line);
            expected += line;
            if (i % 17 == 3) {
                SendFile(socket, m_dir + "/big");
                expected += big;
                SendFile(socket, m_dir + "/empty");
            }
        }
        socket.Drain();
        ASSERT_EQ(socket.received.size(), expected.size()) << "seed " << seed;
        ASSERT_TRUE(socket.received == expected) << "seed " << seed;
        EXPECT_EQ(socket.Queue().Bytes(), 0) << "seed " << seed;
    }
}

TEST_F(ClientSocketTest, ManyRepliesGoOutInFarFewerSendsThanReplies) {
    SinkSocket socket(7, m_host, m_server);
    for (int i = 0; i < 5000; ++i) Link(socket).SendText("224 overview line\r\n");
    socket.Drain();
    EXPECT_LT(socket.sendCalls, 5000 / 4);
}

TEST_F(ClientSocketTest, FileThatVanishesAfterItWasQueuedStillGoesOutWhole) {
    // The file is opened when it is queued (a small one read whole, a large
    // one kept open), so the reply is never cut short by a later removal.
    for (size_t size : {2000, 600 * 1024}) {
        SinkSocket socket(3, m_host, m_server);
        std::string bytes = WriteFile("gone", size, 1);
        Link(socket).SendText("220 before\r\n");
        SendFile(socket, m_dir + "/gone");
        Link(socket).SendText(".after\r\n");
        ::unlink((m_dir + "/gone").c_str());
        socket.Drain();
        EXPECT_EQ(socket.received, "220 before\r\n" + bytes + ".after\r\n") << size;
    }
}

TEST_F(ClientSocketTest, OutputLeftUnreadPastTheLimitEndsTheConnection) {
    SinkSocket socket(5, m_host, m_server);
    WriteFile("huge", 1000, 1);
    // File chunks count with their length, so queueing a file that claims a
    // lot without the client reading is enough; use many text blocks here.
    std::string block(1024 * 1024, 'x');
    for (int i = 0; i < 70 && !socket.IsFinished(); ++i) Link(socket).SendText(block);
    EXPECT_TRUE(socket.IsFinished());
    EXPECT_EQ(m_host.timerMessages, 1);
    EXPECT_TRUE(socket.Queue().Empty());
    ASSERT_FALSE(m_host.logs.empty());
    EXPECT_NE(m_host.logs.back().find("Send queue over limit"), std::string::npos);
    Link(socket).SendText("more\r\n");
    EXPECT_TRUE(socket.Queue().Empty());
}

TEST_F(ClientSocketTest, CommandSplitAcrossBlocksIsDispatchedOnceWhole) {
    SinkSocket socket(9, m_host, m_server);
    const char* blocks[] = {"GRO", "UP local.test\r", "\n"};
    for (const char* b : blocks) socket.HandleReceived(b, strlen(b));
    socket.Drain();
    EXPECT_EQ(socket.received, "211 0 0 0 local.test group selected!!\r\n");
}

TEST_F(ClientSocketTest, ArticleEndsAtItsTerminatorEvenWithCommandsBehindIt) {
    SinkSocket socket(11, m_host, m_server);
    std::string post = "POST\r\n";
    socket.HandleReceived(post.data(), post.size());
    std::string article =
        "Newsgroups: local.test\r\nMessage-ID: <a@b>\r\nLines: 1\r\n\r\nbody\r\n.\r\nGROUP "
        "local.test\r\n";
    // Split right inside the terminator.
    size_t cut = article.find("\r\n.\r\n") + 3;
    socket.HandleReceived(article.data(), cut);
    socket.HandleReceived(article.data() + cut, article.size() - cut);
    socket.Drain();
    EXPECT_EQ(socket.received,
              "340 continue posting!!\r\n240 article posted successfully!!\r\n"
              "211 1 1 1 local.test group selected!!\r\n");
    std::ifstream in(m_dir + "/local.test/1", std::ios::binary);
    std::string stored((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(stored, article.substr(0, article.find("GROUP")));
}

// Posts as a client sends them: the POST line, and then the article with its
// terminating line, in blocks of their own.
std::string Article(const std::string& id) {
    return "From: a@b.example\r\nSubject: s\r\nNewsgroups: local.test\r\nMessage-ID: <" + id +
           ">\r\nLines: 1\r\n\r\nbody\r\n.\r\n";
}

// Notes, at each sync the store asks for, whether the client had any 240 by
// then.
class WatchingSync : public IFileSync {
public:
    explicit WatchingSync(const std::string& sent) : m_sent(sent) {}
    int syncs = 0;
    int syncsAfterA240 = 0;
    bool SyncData(int) override { return Note(); }
    bool SyncDirectory(const std::string&) override { return Note(); }

private:
    bool Note() {
        ++syncs;
        if (m_sent.find("240 ") != std::string::npos) ++syncsAfterA240;
        return true;
    }
    const std::string& m_sent;
};

TEST_F(ClientSocketTest, WithSyncWritesAPostAndWhatFollowsWaitForTheDisk) {
    SinkSocket socket(13, m_host, m_server);
    WatchingSync sync(socket.received);
    auto runner = std::make_unique<FakeRunner>();
    auto batch = runner->state;
    m_server.EnableSyncWrites(std::move(runner), sync);
    const std::string post = "POST\r\n";
    socket.HandleReceived(post.data(), post.size());
    // The rest of the article's block is a command; the classic mode takes
    // each later block as one command, so they must stay blocks.
    std::string blocks[] = {Article("a@b") + "GROUP local.test\r\n", "XOVER 1-1\r\n", "POST\r\n"};
    for (const std::string& block : blocks) socket.HandleReceived(block.data(), block.size());
    socket.Drain();
    EXPECT_EQ("340 continue posting!!\r\n", socket.received);
    batch->RunWork();
    socket.Drain();
    EXPECT_EQ("340 continue posting!!\r\n", socket.received) << "heard before the sync ended";
    batch->RunDone();
    socket.Drain();
    EXPECT_EQ(
        "340 continue posting!!\r\n240 article posted successfully!!\r\n"
        "211 1 1 1 local.test group selected!!\r\n224 Overview information follows!!\r\n",
        socket.received.substr(0, socket.received.find("1\t")));
    EXPECT_EQ("340 continue posting!!\r\n", socket.received.substr(socket.received.size() - 24));
    EXPECT_GT(sync.syncs, 0);
    EXPECT_EQ(0, sync.syncsAfterA240);
    m_server.StopSyncWrites();
}

TEST_F(ClientSocketTest, PipelinedPostsInTheReaderModeAreAnsweredInOrder) {
    m_server.m_bUseRfc3977 = 1;
    SinkSocket socket(17, m_host, m_server);
    auto runner = std::make_unique<FakeRunner>();
    auto batch = runner->state;
    m_server.EnableSyncWrites(std::move(runner));
    std::string block = "POST\r\n" + Article("1@b") + "GROUP local.test\r\nPOST\r\n" +
                        Article("2@b") + "GROUP local.test\r\nDATE\r\n";
    socket.HandleReceived(block.data(), block.size());
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(batch->Running()) << i;
        batch->Complete();
    }
    socket.Drain();
    std::string want =
        "340 continue posting!!\r\n240 article posted successfully!!\r\n"
        "211 1 1 1 local.test group selected!!\r\n340 continue posting!!\r\n"
        "240 article posted successfully!!\r\n211 2 1 2 local.test group selected!!\r\n111 ";
    EXPECT_EQ(want, socket.received.substr(0, want.size()));
    EXPECT_EQ(2, batch->runs);
    m_server.StopSyncWrites();
}

TEST_F(ClientSocketTest, AConnectionGoneWhileItsReplyWaitsIsLeftAlone) {
    auto runner = std::make_unique<FakeRunner>();
    auto batch = runner->state;
    m_server.EnableSyncWrites(std::move(runner));
    {
        SinkSocket socket(19, m_host, m_server);
        std::string block = "POST\r\n";
        socket.HandleReceived(block.data(), block.size());
        block = Article("gone@b");
        socket.HandleReceived(block.data(), block.size());
    }
    batch->Complete();  // must not reach the connection
    EXPECT_TRUE(std::filesystem::exists(m_dir + "/local.test/1"));
    m_server.StopSyncWrites();
}

TEST_F(ClientSocketTest, NothingSentBehindStartTlsIsRunAndTheSessionNeverGoesOnInClear) {
    // A self-signed certificate from the openssl tool, as make run makes one.
    std::string command = "cd " + m_dir +
                          " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 "
                          "-nodes -days 1 -subj /CN=localhost -keyout key.pem -out cert.pem "
                          ">/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    CTlsContext context;
    std::string error;
    ASSERT_TRUE(context.Load(m_dir + "/cert.pem", m_dir + "/key.pem", error)) << error;
    m_server.m_bUseRfc3977 = 1;
    // Whole, and with the injected commands split at awkward places.
    struct Case {
        std::vector<std::string> blocks;
        size_t discarded;  // bytes dropped unread
    };
    // Whole, and with the injected commands split at awkward places.
    const Case cases[] = {
        {{"STARTTLS\r\nGROUP local.test\r\nPOST\r\n"}, 24},
        {{"START", "TLS\r", "\nGROUP local.test\r\nPO", "ST\r\n"}, 24},
        {{"STARTTLS\r\nGROUP local.test\r", "\n"}, 18},
    };
    for (const Case& c : cases) {
        SinkSocket socket(13, m_host, m_server);
        socket.SetTlsContext(&context);
        m_host.logs.clear();
        std::string input;
        for (const std::string& b : c.blocks) {
            socket.HandleReceived(b.data(), b.size());
            input += "[" + b + "]";
        }
        EXPECT_FALSE(socket.InBodyMode()) << input;
        size_t discarded = 0;
        for (const std::string& line : m_host.logs) {
            EXPECT_EQ(line.find("GROUP"), std::string::npos) << input;
            if (line.find("Discarded [") == 0) discarded += std::stoul(line.substr(11));
        }
        EXPECT_EQ(discarded, c.discarded) << input;
        socket.Drain();
        // The 382 is the last plaintext. This socket has no connection to
        // run a handshake on, so the connection ends instead of answering
        // anything more in clear.
        EXPECT_EQ(socket.received, "382 Continue with TLS negotiation\r\n") << input;
        EXPECT_TRUE(socket.IsFinished()) << input;
        EXPECT_EQ(m_host.logs.back().find("TLS failed ["), 0u) << input;
    }
}

}  // namespace
