// The durability queue: group commit, the order of the syncs within a batch,
// and what waiters hear when a sync fails. The runner and the sync calls are
// fakes, so the test decides when each batch's work and end happen.

#include "store/durable_queue.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include "common/file_util.h"
#include "store/file_sync.h"
#include "store/group_index.h"
#include "store/save_record.h"
#include "tests/test_support.h"

namespace {

// Appends article `number` to `group` with counters to match.
void AddArticleForTest(GroupEntry& group, int number) {
    group.articles.Add(
        number, EntryTexts{"subject", "from", "date", "<" + std::to_string(number) + "@x>", ""},
        100, 3);
    group.firstNumber = 1;
    group.lastNumber = number;
    group.articleCount = static_cast<int>(group.articles.size());
}

// Records each sync as "data <name>" or "dir <name>", names relative to the
// test's directory; fails those of the names in `failing`.
class RecordingSync : public IFileSync {
public:
    explicit RecordingSync(const std::string& root) : m_root(root) {}
    std::vector<std::string> events;
    std::set<std::string> failing;
    std::function<void()> onSync;  // called at each sync, before it returns

    bool SyncData(int fd) override {
        char path[4096];
        ssize_t n =
            ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1);
        return Note("data", n > 0 ? std::string(path, static_cast<size_t>(n)) : "?");
    }
    bool SyncDirectory(const std::string& path) override { return Note("dir", path); }

private:
    bool Note(const char* kind, std::string path) {
        if (path.compare(0, m_root.size(), m_root) == 0) path = path.substr(m_root.size());
        if (path.empty()) path = "/";
        events.push_back(std::string(kind) + " " + path);
        if (onSync) onSync();
        if (failing.count(path) == 0) return true;
        errno = EIO;
        return false;
    }
    std::string m_root;
};

class DurableQueueTest : public ::testing::Test {
protected:
    DurableQueueTest() : m_sync(m_dir.path()) {
        EXPECT_TRUE(m_record.Open(m_dir / CSaveRecord::kFileName));
        auto runner = std::make_unique<FakeRunner>();
        m_runner = runner->state;
        m_queue = std::make_unique<CDurableQueue>(
            std::move(runner), m_sync, m_record,
            [this](const std::string& line) { m_logs.push_back(line); });
    }

    // A new file in the test's directory, open for writing.
    int NewFile(const std::string& name) {
        int fd = ::open((m_dir / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        EXPECT_GE(fd, 0) << name;
        return fd;
    }
    // A waiter that notes what it heard in `told`.
    std::function<void(bool)> Waiter(int id) {
        return
            [this, id](bool ok) { m_told.push_back(std::to_string(id) + (ok ? "" : " failed")); };
    }

    TempDir m_dir;
    RecordingSync m_sync;
    CSaveRecord m_record;
    std::shared_ptr<FakeRunner::State> m_runner;
    std::vector<std::string> m_logs;
    std::vector<std::string> m_told;
    std::unique_ptr<CDurableQueue> m_queue;
};

TEST_F(DurableQueueTest, RepliesReadyWhileASyncRunsShareTheNextOne) {
    m_queue->AddFile(NewFile("1"), m_dir / "1");
    m_queue->AddDirectory(m_dir.path());
    m_queue->WhenDurable(Waiter(1));
    ASSERT_TRUE(m_runner->Running());
    // Seven more posters finish while the first one's sync runs.
    for (int i = 2; i <= 8; ++i) {
        m_queue->AddFile(NewFile(std::to_string(i)), m_dir / std::to_string(i));
        m_queue->AddDirectory(m_dir.path());
        m_queue->WhenDurable(Waiter(i));
    }
    EXPECT_EQ(1u, m_queue->Batches());
    EXPECT_TRUE(m_told.empty());

    // The work alone tells nobody: the waiters hear it on the event loop.
    m_runner->RunWork();
    EXPECT_TRUE(m_told.empty());
    m_runner->RunDone();
    EXPECT_EQ(std::vector<std::string>{"1"}, m_told);
    ASSERT_TRUE(m_runner->Running()) << "the next batch starts at once";
    m_runner->Complete();
    EXPECT_EQ((std::vector<std::string>{"1", "2", "3", "4", "5", "6", "7", "8"}), m_told);
    EXPECT_EQ(2u, m_queue->Batches());
    EXPECT_EQ((std::vector<std::string>{"data /1", "dir /", "data /2", "data /3", "data /4",
                                        "data /5", "data /6", "data /7", "data /8", "dir /"}),
              m_sync.events);
    EXPECT_FALSE(m_runner->Running());
}

TEST_F(DurableQueueTest, AQueueFileAppendedToManyTimesIsSyncedOncePerBatch) {
    // A peer's queue stays open; it is replaced (compacted) between the
    // second and third append, so the third needs a sync of its own.
    int queue = NewFile("peer");
    m_queue->AddFile(NewFile("1"), m_dir / "1");
    m_queue->AddOpenFile(queue, m_dir / "peer");
    m_queue->WhenDurable(Waiter(1));
    m_queue->AddOpenFile(queue, m_dir / "peer");
    m_queue->AddOpenFile(queue, m_dir / "peer");
    int replaced = NewFile("peer.new");
    ASSERT_EQ(0, ::rename((m_dir / "peer.new").c_str(), (m_dir / "peer").c_str()));
    ::close(queue);  // the batch syncs through copies of its own
    m_queue->AddOpenFile(replaced, m_dir / "peer");
    m_queue->AddOpenFile(-1, m_dir / "peer");  // no copy to be had
    m_queue->WhenDurable(Waiter(2));
    m_runner->Complete();
    m_runner->Complete();
    // The first batch started at the first wait; the old file's copies are
    // synced after it was replaced.
    EXPECT_EQ((std::vector<std::string>{"data /1", "data /peer (deleted)", "data /peer (deleted)",
                                        "data /peer"}),
              m_sync.events);
    EXPECT_EQ((std::vector<std::string>{"1", "2 failed"}), m_told);
    EXPECT_EQ(std::vector<std::string>{"[" + (m_dir / "peer") +
                                       "] sync failed [Bad file descriptor]!!\r\n"},
              m_logs);
    EXPECT_EQ(0, ::fcntl(replaced, F_GETFD) & ~FD_CLOEXEC) << "the caller's file stays open";
    ::close(replaced);
}

TEST_F(DurableQueueTest, ArticleThenNamesThenIndexLines) {
    // The group already has an index; a post adds an article and a line.
    GroupEntry group;
    const std::string index = m_dir / "Message.lst";
    AddArticleForTest(group, 1);
    ASSERT_TRUE(WriteGroupIndex(index, group));
    AddArticleForTest(group, 2);
    IndexWrite append = PlanIndexWrite(index, group);
    ASSERT_FALSE(append.whole);

    m_queue->AddFile(NewFile("2"), m_dir / "2");
    m_queue->AddDirectory(m_dir.path());
    bool failed = false;
    m_queue->AddIndexWrite(std::move(append),
                           [&failed](const IndexWrite&, bool ok) { failed = !ok; });
    m_queue->WhenDurable(Waiter(1));
    m_runner->Complete();
    // Article data, then the record, then the directory holding the
    // article's name, then the index, touched only once the record is on
    // disk.
    EXPECT_EQ(
        (std::vector<std::string>{"data /2", "data /IndexSave.rec", "dir /", "data /Message.lst"}),
        m_sync.events);
    EXPECT_EQ(std::vector<std::string>{"1"}, m_told);
    EXPECT_FALSE(failed);
    std::string content;
    ASSERT_TRUE(ReadFileBytes(index, content));
    EXPECT_EQ(FormatGroupIndex(group), content);
    EXPECT_TRUE(RecoverIndexSaves(m_dir / CSaveRecord::kFileName, nullptr).empty())
        << "the record is empty";
}

TEST_F(DurableQueueTest, WritesOfOneFileInOneBatchBecomeOne) {
    GroupEntry group;
    const std::string index = m_dir / "Message.lst";
    AddArticleForTest(group, 1);
    ASSERT_TRUE(WriteGroupIndex(index, group));
    for (int n = 2; n <= 4; ++n) {
        AddArticleForTest(group, n);
        m_queue->AddIndexWrite(PlanIndexWrite(index, group), nullptr);
    }
    m_queue->WhenDurable(Waiter(1));
    m_runner->Complete();
    EXPECT_EQ((std::vector<std::string>{"data /IndexSave.rec", "data /Message.lst"}),
              m_sync.events);
    std::string content;
    ASSERT_TRUE(ReadFileBytes(index, content));
    EXPECT_EQ(FormatGroupIndex(group), content);
}

TEST_F(DurableQueueTest, AFailedSyncFailsTheRepliesWaitingForIt) {
    struct Case {
        std::string what;
        std::string failing;  // the name whose sync fails
        bool indexChanged;    // the index was changed behind the plan's back
        std::string log;
    } cases[] = {
        {"article data", "/2", false, "/2] sync failed [Input/output error]!!\r\n"},
        {"directory", "/", false, "] sync failed [Input/output error]!!\r\n"},
        {"index", "/Message.lst", false, "/Message.lst] sync failed [Input/output error]!!\r\n"},
        {"index changed by hand", "", true, "/Message.lst] sync failed [not as planned]!!\r\n"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        RecordingSync sync(dir.path());
        sync.failing = {c.failing};
        auto runner = std::make_unique<FakeRunner>();
        auto state = runner->state;
        std::vector<std::string> logs;
        CSaveRecord record;
        ASSERT_TRUE(record.Open(dir / CSaveRecord::kFileName));
        CDurableQueue queue(std::move(runner), sync, record,
                            [&logs](const std::string& line) { logs.push_back(line); });
        GroupEntry group;
        const std::string index = dir / "Message.lst";
        AddArticleForTest(group, 1);
        ASSERT_TRUE(WriteGroupIndex(index, group));
        if (c.indexChanged) WriteFile(index, "0\t0\t0\r\n");
        AddArticleForTest(group, 2);
        int fd = ::open((dir / "2").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        queue.AddFile(fd, dir / "2");
        queue.AddDirectory(dir.path());
        bool writeFailed = false;
        queue.AddIndexWrite(PlanIndexWrite(index, group),
                            [&](const IndexWrite&, bool ok) { writeFailed = !ok; });
        std::vector<std::string> told;
        queue.WhenDurable([&told](bool ok) { told.push_back(ok ? "ok" : "failed"); });
        state->Complete();
        EXPECT_EQ(std::vector<std::string>{"failed"}, told) << c.what;
        ASSERT_EQ(1u, logs.size()) << c.what;
        EXPECT_EQ("[" + dir.path() + c.log, logs[0]) << c.what;
        bool indexWriteFails = c.failing == "/Message.lst" || c.indexChanged;
        EXPECT_EQ(indexWriteFails, writeFailed) << c.what;
        // A later waiter is not held to an earlier batch's failure.
        queue.AddDirectory(dir.path());
        sync.failing.clear();
        queue.WhenDurable([&told](bool ok) { told.push_back(ok ? "ok" : "failed"); });
        state->Complete();
        EXPECT_EQ((std::vector<std::string>{"failed", "ok"}), told) << c.what;
    }
}

TEST_F(DurableQueueTest, NothingOutstandingIsToldAtOnce) {
    m_queue->WhenDurable(Waiter(1));
    EXPECT_EQ(std::vector<std::string>{"1"}, m_told);
    EXPECT_FALSE(m_runner->Running());
    EXPECT_EQ(0u, m_queue->Batches());
}

TEST_F(DurableQueueTest, FlushSyncsEverythingAndTellsEveryone) {
    m_queue->AddFile(NewFile("1"), m_dir / "1");
    m_queue->WhenDurable(Waiter(1));  // a batch is running
    m_queue->AddFile(NewFile("2"), m_dir / "2");
    m_queue->WhenDurable(Waiter(2));
    // A waiter that waits again from its `done` is told within the flush too.
    m_queue->AddDirectory(m_dir.path());
    m_queue->WhenDurable([this](bool) {
        m_told.push_back("3");
        m_queue->AddDirectory(m_dir.path());
        m_queue->WhenDurable(Waiter(4));
    });
    m_queue->Flush();
    EXPECT_EQ((std::vector<std::string>{"1", "2", "3", "4"}), m_told);
    EXPECT_EQ((std::vector<std::string>{"data /1", "data /2", "dir /", "dir /"}), m_sync.events);
}

}  // namespace
