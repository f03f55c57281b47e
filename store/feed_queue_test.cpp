// The peers' queue files: lines taken in order and done in any order, the
// progress that survives a restart, compaction, what a crash at any step
// leaves, and the line format of the feeds.
#include "store/feed_queue.h"

#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/file_util.h"
#include "store/feeds.h"
#include "tests/test_support.h"

namespace {

std::string Line(int i) {
    return "<" + std::to_string(i) + "@queue.test>\tlocal.test/" + std::to_string(i);
}

// Everything still to be taken from `queue`, ticket by ticket.
std::vector<std::string> TakeAll(CFeedQueue& queue, std::vector<uint64_t>* tickets = nullptr) {
    std::vector<std::string> lines;
    std::string line;
    uint64_t ticket;
    while (queue.Take(line, ticket)) {
        lines.push_back(line);
        if (tickets) tickets->push_back(ticket);
    }
    return lines;
}

std::vector<std::string> Lines(int from, int to) {
    std::vector<std::string> lines;
    for (int i = from; i <= to; ++i) lines.push_back(Line(i));
    return lines;
}

class FeedQueueTest : public ::testing::Test {
protected:
    void Open() {
        std::string error;
        ASSERT_TRUE(queue.Open(path, error)) << error;
    }
    void Append(int from, int to) {
        for (int i = from; i <= to; ++i) {
            std::string error;
            ASSERT_TRUE(queue.Append(Line(i), error)) << error;
        }
    }
    std::string Read(const std::string& file) {
        std::string bytes;
        ReadFileBytes(file, bytes);
        return bytes;
    }
    uint64_t Inode() {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
    }

    TempDir dir;
    std::string path = dir / "hub.example";
    CFeedQueue queue;
};

TEST_F(FeedQueueTest, RestartsAtTheFirstLineNotDone) {
    Open();
    Append(1, 5);
    std::vector<uint64_t> tickets;
    EXPECT_EQ(TakeAll(queue, &tickets), Lines(1, 5));
    // Replies come out of order: 1, 2 and 4 are done, 3 and 5 are not.
    queue.Done(tickets[1]);
    queue.Done(tickets[0]);
    queue.Done(tickets[3]);
    queue.Done(12345);  // unknown: ignored
    EXPECT_EQ(queue.DoneOffset(), (Line(1) + "\n" + Line(2) + "\n").size());
    queue.Close();  // saves the progress
    Open();
    // 4 is taken again with 3: lines done behind one that is not are
    // remembered in memory only.
    EXPECT_EQ(TakeAll(queue, &tickets), Lines(3, 5));
    Append(6, 6);
    EXPECT_EQ(TakeAll(queue), Lines(6, 6));
    EXPECT_FALSE(queue.HasUntaken());
}

TEST_F(FeedQueueTest, ADamagedOrForeignCompanionMeansNothingDone) {
    Open();
    Append(1, 4);
    queue.Close();
    const uint64_t lineTwo = (Line(1) + "\n").size();
    const uint64_t inode = Inode();
    struct {
        const char* what;
        std::string companion;  // empty: no file
        int firstTaken;
    } cases[] = {
        {"right", std::to_string(lineTwo) + " " + std::to_string(inode) + "\n", 2},
        {"missing", "", 1},
        {"garbage", "not a number\n", 1},
        {"cut short", std::to_string(lineTwo), 1},
        {"another file", std::to_string(lineTwo) + " " + std::to_string(inode + 1) + "\n", 1},
        {"past the end", "99999 " + std::to_string(inode) + "\n", 1},
        {"inside a line", std::to_string(lineTwo + 3) + " " + std::to_string(inode) + "\n", 1},
    };
    for (const auto& c : cases) {
        RemoveFile(path + ".done");
        if (!c.companion.empty()) WriteFile(path + ".done", c.companion);
        Open();
        EXPECT_EQ(TakeAll(queue), Lines(c.firstTaken, 4)) << c.what;
        queue.Close();
    }
}

TEST_F(FeedQueueTest, ALineCutShortByACrashIsDroppedAtOpen) {
    WriteFile(path, Line(1) + "\n" + Line(2) + "\n<3@que");
    Open();
    EXPECT_EQ(queue.Size(), (Line(1) + "\n" + Line(2) + "\n").size());
    Append(3, 3);
    EXPECT_EQ(TakeAll(queue), Lines(1, 3));
    EXPECT_EQ(Read(path), Line(1) + "\n" + Line(2) + "\n" + Line(3) + "\n");
}

TEST_F(FeedQueueTest, CompactionKeepsWhatIsNotDoneAndItsTickets) {
    Open();
    Append(1, 10);
    std::vector<uint64_t> tickets;
    std::string line;
    uint64_t ticket;
    for (int i = 0; i < 6 && queue.Take(line, ticket); ++i) tickets.push_back(ticket);
    for (int i : {0, 1, 3, 4}) queue.Done(tickets[i]);  // 3 and 6 are in flight
    std::string error;
    ASSERT_TRUE(queue.Compact(error)) << error;
    EXPECT_EQ(Read(path), Line(3) + "\n" + Line(6) + "\n" + Line(7) + "\n" + Line(8) + "\n" +
                              Line(9) + "\n" + Line(10) + "\n");
    EXPECT_EQ(queue.DoneOffset(), 0u);
    // The tickets taken before still name their lines.
    queue.Done(tickets[2]);
    EXPECT_EQ(queue.DoneOffset(), (Line(3) + "\n").size());
    Append(11, 11);
    EXPECT_EQ(TakeAll(queue), Lines(7, 11));
    queue.Close();
    Open();
    // 6 was never done, nor was anything taken after it.
    EXPECT_EQ(TakeAll(queue), Lines(6, 11));
}

TEST_F(FeedQueueTest, ACrashAtAnyStepOfACompactionLosesNothing) {
    // What the files look like when a compaction stops after each of its
    // steps: the new file written, the companion pointed at it, the rename.
    Open();
    Append(1, 6);
    std::vector<uint64_t> tickets;
    TakeAll(queue, &tickets);
    for (int i = 0; i < 4; ++i) queue.Done(tickets[i]);
    ASSERT_TRUE(queue.SaveProgress());
    queue.Close();
    const std::string old = Read(path);
    // The done offset only: the queue file is made again for each case, and
    // may come back under another inode.
    const std::string companion = Read(path + ".done");
    const std::string oldDone = companion.substr(0, companion.find(' '));
    const std::string compacted = Line(5) + "\n" + Line(6) + "\n";
    WriteFile(dir / "other", "");
    struct stat other;
    ASSERT_EQ(::stat((dir / "other").c_str(), &other), 0);
    const std::string forOther = "0 " + std::to_string(other.st_ino) + "\n";
    struct {
        const char* step;
        std::string queueFile, temporary;
        std::string companion;  // the offset alone: for the queue file as it now is
        std::vector<std::string> taken;
    } cases[] = {
        {"new file written", old, compacted, oldDone, Lines(5, 6)},
        // The companion names the new file, which is not the queue yet.
        {"companion written", old, compacted, forOther, Lines(1, 6)},
        {"renamed", compacted, "", "0", Lines(5, 6)},
    };
    for (const auto& c : cases) {
        RemoveFile(path);
        WriteFile(path, c.queueFile);
        if (!c.temporary.empty()) WriteFile(path + ".tmp", c.temporary);
        WriteFile(path + ".done", c.companion.find(' ') == std::string::npos
                                      ? c.companion + " " + std::to_string(Inode()) + "\n"
                                      : c.companion);
        Open();
        EXPECT_EQ(TakeAll(queue), c.taken) << c.step;
        EXPECT_FALSE(FileExists(path + ".tmp")) << c.step;
        queue.Close();
    }
}

TEST_F(FeedQueueTest, CompactionPaysOnlyForALargeDonePart) {
    Open();
    // A little done: not worth a copy, even when everything is done.
    Append(1, 100);
    std::vector<uint64_t> tickets;
    TakeAll(queue, &tickets);
    for (uint64_t t : tickets) queue.Done(t);
    EXPECT_FALSE(queue.WorthCompacting());
    // All done and past the smaller limit: the file is emptied.
    int lines = static_cast<int>(CFeedQueue::kAllDoneCompactBytes / Line(100).size()) + 1;
    Append(101, 100 + lines);
    tickets.clear();
    TakeAll(queue, &tickets);
    queue.Done(tickets.back());
    EXPECT_FALSE(queue.WorthCompacting()) << "a line is still in flight";
    for (uint64_t t : tickets) queue.Done(t);
    EXPECT_TRUE(queue.WorthCompacting());
    std::string error;
    ASSERT_TRUE(queue.Compact(error)) << error;
    EXPECT_EQ(queue.Size(), 0u);
    EXPECT_EQ(Read(path), "");
}

TEST(FeedLineTest, QueueLinesRoundTripAndDamageIsRefused) {
    StoredArticle article{"<a@b>", "", {}, {{"local.test", 12}, {"local.other", 3}}};
    std::string line = FormatQueueLine(article);
    EXPECT_EQ(line, "<a@b>\tlocal.test/12\tlocal.other/3");
    StoredArticle parsed;
    ASSERT_TRUE(ParseQueueLine(line, parsed));
    EXPECT_EQ(parsed.messageId, "<a@b>");
    ASSERT_EQ(parsed.copies.size(), 2u);
    EXPECT_EQ(parsed.copies[1].group, "local.other");
    EXPECT_EQ(parsed.copies[1].number, 3);
    const char* bad[] = {
        "",
        "a@b",
        "<a@b>\tlocal.test",
        "<a@b>\t/12",
        "<a@b>\tlocal.test/",
        "<a@b>\tlocal.test/0",
        "<a@b>\tlocal.test/1x",
        "<a@b>\tg/99999999999",
    };
    for (const char* text : bad) EXPECT_FALSE(ParseQueueLine(text, parsed)) << text;
}

TEST(FeedsTest, AnArticleIsQueuedForEveryPeerItsPathHasNotSeen) {
    TempDir dir;
    FakeHost host;
    CPeers peers;
    std::vector<std::string> problems;
    peers.Load({PeerSettings{"hub.example", "127.0.0.1", 119, "local.*", "", ""},
                PeerSettings{"leaf.example", "127.0.0.1", 119, "*,!local.private", "", ""},
                PeerSettings{"source.example", "127.0.0.1", 0, "*", "", ""}},
               problems);
    ASSERT_TRUE(problems.empty());
    CFeeds feeds;
    std::string error;
    ASSERT_TRUE(feeds.Open(dir.path(), peers, host, error)) << error;
    std::vector<std::string> poked;
    feeds.SetQueuedNotice([&](const Peer& peer) { poked.push_back(peer.settings.name); });
    struct {
        const char* path;
        std::vector<std::string> groups;
        std::vector<std::string> to;
    } cases[] = {
        {"us!not-for-mail", {"local.test"}, {"hub.example", "leaf.example"}},
        {"us!hub.example!far", {"local.test"}, {"leaf.example"}},
        {"us!leaf.example", {"local.private"}, {"hub.example"}},
        {"us!x", {"other.group"}, {"leaf.example"}},
        {"us!hub.example!leaf.example", {"local.test"}, {}},
    };
    int n = 0;
    for (const auto& c : cases) {
        poked.clear();
        StoredArticle article{"<" + std::to_string(++n) + "@x>", c.path, c.groups, {{"g", n}}};
        EXPECT_TRUE(feeds.Enqueue(article)) << c.path;
        EXPECT_EQ(poked, c.to) << c.path;
    }
    EXPECT_EQ(feeds.QueueOf(peers.All()[2]), nullptr);
    std::string hub, leaf;
    ReadFileBytes(dir / "outgoing/hub.example", hub);
    ReadFileBytes(dir / "outgoing/leaf.example", leaf);
    EXPECT_EQ(hub, "<1@x>\tg/1\n<3@x>\tg/3\n");
    EXPECT_EQ(leaf, "<1@x>\tg/1\n<2@x>\tg/2\n<4@x>\tg/4\n");
    EXPECT_FALSE(FileExists(dir / "outgoing/source.example"));
}

}  // namespace
