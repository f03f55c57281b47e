// The log's copy on stdout over the kinds of stdout there are: a pipe nobody
// reads, a pipe whose reader has gone, the journal's socket, a file. No call
// may wait, and nothing kept may be lost or reordered.

#include "platform/stdout_copy.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <regex>
#include <string>

#include "tests/test_support.h"

namespace {

// Everything the descriptor `fd` holds now, without waiting.
std::string ReadAvailable(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    std::string out;
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
    ::fcntl(fd, F_SETFL, flags);
    return out;
}

std::string Line(int i) {
    return "[127.0.0.1/1234] line " + std::to_string(i) + " " + std::string(100, 'x') + "\r\n";
}

class StdoutCopyTest : public ::testing::Test {
protected:
    void SetUp() override { m_oldPipe = std::signal(SIGPIPE, SIG_IGN); }
    void TearDown() override { std::signal(SIGPIPE, m_oldPipe); }

private:
    void (*m_oldPipe)(int) = nullptr;
};

TEST_F(StdoutCopyTest, APipeNobodyReadsNeverHoldsUpAndLosesOnlyWhatDoesNotFit) {
    int fds[2];
    ASSERT_EQ(0, ::pipe(fds));
    CStdoutCopy copy(fds[1], false);
    ASSERT_GE(copy.WatchFd(), 0);
    const int lines = 20000;  // about 2.5 MB
    for (int i = 0; i < lines; ++i) {
        copy.Append(Line(i));
        if (i % 100 == 0) copy.Flush();  // returns at once, the pipe being full
    }
    EXPECT_FALSE(copy.Flush());
    EXPECT_LE(copy.Pending(), CStdoutCopy::kLimit);
    EXPECT_GT(copy.Dropped(), 0u);

    // The reader comes back: what was kept comes out in order, then one line
    // about the rest.
    std::string out;
    for (int round = 0; round < 1000 && out.find("dropped") == std::string::npos; ++round) {
        out += ReadAvailable(fds[0]);
        copy.Flush();
    }
    out += ReadAvailable(fds[0]);
    size_t notice = out.find("Log copy on stdout: ");
    ASSERT_NE(std::string::npos, notice) << out.substr(out.size() > 200 ? out.size() - 200 : 0);
    std::string tail = out.substr(notice);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(tail, m,
                                 std::regex("Log copy on stdout: (\\d+) lines dropped while "
                                            "stdout was not taking them!!\r\n")))
        << tail;
    int keptLines = 0;
    for (size_t at = 0; at < notice; ++keptLines) {
        std::string line = Line(keptLines);
        ASSERT_EQ(line, out.substr(at, line.size())) << "line " << keptLines;
        at += line.size();
    }
    EXPECT_EQ(lines, keptLines + std::stoi(m[1]));
    EXPECT_EQ(0u, copy.Dropped());

    // Lines go through as before.
    copy.Append("after\r\n");
    EXPECT_TRUE(copy.Flush());
    EXPECT_EQ("after\r\n", ReadAvailable(fds[0]));
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST_F(StdoutCopyTest, AReaderThatHasGoneEndsTheCopy) {
    for (bool goneFirst : {true, false}) {
        int fds[2];
        ASSERT_EQ(0, ::pipe(fds));
        if (goneFirst) ::close(fds[0]);
        CStdoutCopy copy(fds[1], false);
        if (!goneFirst) ::close(fds[0]);
        copy.Append("a line\r\n");
        EXPECT_TRUE(copy.Flush()) << goneFirst;
        EXPECT_TRUE(copy.Ended()) << goneFirst;
        EXPECT_EQ(-1, copy.WatchFd()) << goneFirst;
        copy.Append("another\r\n");
        EXPECT_EQ(0u, copy.Pending()) << goneFirst;
        ::close(fds[1]);
    }
}

TEST_F(StdoutCopyTest, TheJournalsSocketGetsNoCarriageReturns) {
    int fds[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    CStdoutCopy copy(fds[1], true);
    copy.Append("[a/1] GROUP x\r\n");
    copy.Append("[a/1] 211 0 0 0 x group selected!!\r\n");
    EXPECT_TRUE(copy.Flush());
    EXPECT_EQ("[a/1] GROUP x\n[a/1] 211 0 0 0 x group selected!!\n", ReadAvailable(fds[0]));
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST_F(StdoutCopyTest, AFileTakesEverythingAsItIs) {
    TempDir dir;
    int fd = ::open((dir / "log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(4, ::write(fd, "old\n", 4));
    CStdoutCopy copy(fd, false);
    EXPECT_EQ(-1, copy.WatchFd());
    copy.Append("one\r\n");
    copy.Append("two\r\n");
    EXPECT_TRUE(copy.Flush());
    ::close(fd);
    std::ifstream in(dir / "log", std::ios::binary);
    EXPECT_EQ("old\none\r\ntwo\r\n",
              std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
}

}  // namespace
