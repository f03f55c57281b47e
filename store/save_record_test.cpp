// The save record and the start-up that completes what a crash cut short:
// every state a kill can leave an append in loads as one save or the other,
// and records that were cut short, or do not fit their index, change nothing.

#include "store/save_record.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "store/file_sync.h"
#include "store/group_index.h"
#include "tests/test_support.h"

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void AddArticle(GroupEntry& g, int number) {
    const std::string n = std::to_string(number);
    g.articles.Add(number, EntryTexts{"subject " + n, "f", "d", "<" + n + "@x>", ""}, 10 * number,
                   number);
    g.firstNumber = 1;
    g.lastNumber = number;
    g.articleCount = static_cast<int>(g.articles.size());
}

// A group (a directory of its own under the test's) whose index holds two
// articles and is to get three more: `write` is that append, `before` and
// `after` the index's bytes either side of it.
struct Group {
    std::string path;
    GroupEntry group;
    IndexWrite write;
    std::string before, after;

    Group(const TempDir& dir, const std::string& name) : path(dir / name + "/Message.lst") {
        std::filesystem::create_directory(dir / name);
        AddArticle(group, 1);
        AddArticle(group, 2);
        EXPECT_TRUE(WriteGroupIndex(path, group));
        before = ReadAll(path);
        for (int n = 3; n <= 5; ++n) AddArticle(group, n);
        after = FormatGroupIndex(group);
        write = PlanIndexWrite(path, group);
        EXPECT_FALSE(write.whole);
    }
    std::string Lines() const { return write.bytes; }
    std::string Counters(const std::string& file) const {
        return file.substr(0, file.find('\n') + 1);
    }
};

// The record's bytes for the appends of `groups`, as a save writes them.
std::string RecordOf(const TempDir& dir, std::vector<Group*> groups) {
    CSaveRecord record;
    EXPECT_TRUE(record.Open(dir / CSaveRecord::kFileName));
    std::vector<const IndexWrite*> writes;
    for (Group* g : groups) writes.push_back(&g->write);
    EXPECT_TRUE(record.Write(writes, nullptr));
    return ReadAll(dir / CSaveRecord::kFileName);
}

std::string Describe(const std::vector<SaveRecovery>& found, const std::string& root) {
    std::string out;
    for (const SaveRecovery& r : found) {
        const char* names[] = {"completed", "discarded", "failed"};
        std::string path = r.indexPath.substr(std::min(r.indexPath.size(), root.size()));
        out += std::string(names[r.outcome]) + " " + path + ";";
    }
    return out;
}

TEST(RecoverIndexSaves, EveryStateAKillLeavesLoadsAsOneSaveOrTheOther) {
    // An append writes the record, then the lines, then the counters, then
    // empties the record. Each row is what a kill at some point leaves.
    TempDir probeDir;
    Group probe(probeDir, "g");
    const std::string record = RecordOf(probeDir, {&probe});
    const std::string lines = probe.Lines();
    const std::string newCounters = probe.Counters(probe.after);
    struct Case {
        std::string what;
        size_t recordBytes;  // std::string::npos: no record file at all
        std::string index;
        bool wantAfter;  // else the index as it was before the append
    };
    std::string half = probe.before + lines.substr(0, lines.size() / 2);
    std::vector<Case> cases = {
        {"no record file", std::string::npos, probe.before, false},
        {"record empty", 0, probe.before, false},
        {"record header cut short", 20, probe.before, false},
        {"record one byte short", record.size() - 1, probe.before, false},
        {"record whole", record.size(), probe.before, true},
        {"lines half appended", record.size(), half, true},
        {"lines appended", record.size(), probe.before + lines, true},
        {"counters patched", record.size(), probe.after, true},
        {"record emptied", 0, probe.after, true},
        // Not an order a save writes in, but the record still settles it.
        {"counters patched, no lines", record.size(),
         std::string(probe.before).replace(0, newCounters.size(), newCounters), true},
    };
    for (size_t cut = 1; cut < record.size(); cut += 7)
        cases.push_back({"record cut at " + std::to_string(cut), cut, probe.before, false});
    for (const Case& c : cases) {
        TempDir dir;
        Group g(dir, "g");
        WriteFile(g.path, c.index);
        const std::string recordPath = dir / CSaveRecord::kFileName;
        if (c.recordBytes != std::string::npos)
            WriteFile(recordPath, record.substr(0, c.recordBytes));
        std::string want;
        if (c.recordBytes == record.size())
            want = "completed /g/Message.lst;";
        else if (c.recordBytes != std::string::npos && c.recordBytes > 0)
            want = "discarded /" + std::string(CSaveRecord::kFileName) + ";";
        EXPECT_EQ(want, Describe(RecoverIndexSaves(recordPath, nullptr), dir.path())) << c.what;
        EXPECT_EQ(c.wantAfter ? g.after : g.before, ReadAll(g.path)) << c.what;
        EXPECT_EQ("", ReadAll(recordPath)) << c.what << ": the record is emptied";
        // The counters load with the lines they belong to.
        GroupEntry loaded;
        ASSERT_TRUE(ReadGroupIndex(g.path, loaded)) << c.what;
        EXPECT_EQ(c.wantAfter ? 5 : 2, loaded.articleCount) << c.what;
        EXPECT_EQ(c.wantAfter ? 5u : 2u, loaded.articles.size()) << c.what;
    }
}

TEST(RecoverIndexSaves, TheWholeAppendsOfARecordCutShortAreCarriedOut) {
    // Two groups' appends in one record; the cut falls in the second.
    TempDir dir;
    Group one(dir, "one"), two(dir, "two");
    const std::string record = RecordOf(dir, {&one, &two});
    WriteFile(dir / CSaveRecord::kFileName, record.substr(0, record.size() - 5));
    EXPECT_EQ("completed /one/Message.lst;discarded /" + std::string(CSaveRecord::kFileName) + ";",
              Describe(RecoverIndexSaves(dir / CSaveRecord::kFileName, nullptr), dir.path()));
    EXPECT_EQ(one.after, ReadAll(one.path));
    EXPECT_EQ(two.before, ReadAll(two.path));
}

TEST(RecoverIndexSaves, RecordsThatDoNotFitTheirIndexChangeNothing) {
    TempDir probeDir;
    Group probe(probeDir, "g");
    const std::string record = RecordOf(probeDir, {&probe});
    std::string flipped = record;
    flipped[flipped.size() - 3] ^= 1;  // a line's byte: the hash no longer matches
    const std::string cut = "discarded /" + std::string(CSaveRecord::kFileName) + ";";
    const std::string misfit = "discarded /g/Message.lst;";
    struct Case {
        std::string what;
        std::string record;
        std::string index;  // empty: no index file
        std::string want;
    } cases[] = {
        {"a line changed", flipped, probe.before, cut},
        {"index shorter than the append began with", record, probe.before.substr(0, 20), misfit},
        {"index longer than the append ends", record, probe.after + "6\tx\tf\td\t<6@x>\t1\t1\t\r\n",
         misfit},
        {"counter line of another length", record, "10" + probe.before, misfit},
        {"no index", record, "", misfit},
        {"not a record", "garbage\n" + record, probe.before, cut},
    };
    for (const Case& c : cases) {
        TempDir dir;
        Group g(dir, "g");
        if (c.index.empty())
            std::filesystem::remove(g.path);
        else
            WriteFile(g.path, c.index);
        WriteFile(dir / CSaveRecord::kFileName, c.record);
        EXPECT_EQ(c.want,
                  Describe(RecoverIndexSaves(dir / CSaveRecord::kFileName, nullptr), dir.path()))
            << c.what;
        if (!c.index.empty()) EXPECT_EQ(c.index, ReadAll(g.path)) << c.what;
        EXPECT_FALSE(std::filesystem::exists(g.path) && c.index.empty()) << c.what;
    }
}

// Counts the syncs asked for.
class CountingSync : public IFileSync {
public:
    int data = 0;
    bool SyncData(int) override { return ++data > 0; }
    bool SyncDirectory(const std::string&) override { return true; }
};

TEST(SaveRecord, HoldsExactlyTheLastAppendsWritten) {
    TempDir dir;
    Group one(dir, "one"), two(dir, "two");
    CSaveRecord record;
    ASSERT_TRUE(record.Open(dir / CSaveRecord::kFileName));
    // A longer record written before must not leave entries behind the
    // shorter one written after it.
    ASSERT_TRUE(record.Write({&one.write, &two.write}, nullptr));
    ASSERT_TRUE(record.Write({&two.write}, nullptr));
    EXPECT_EQ(RecordOf(dir, {&two}), ReadAll(dir / CSaveRecord::kFileName));

    // Emptied records are synced once, before a batch that records nothing.
    CountingSync sync;
    record.Clear();
    EXPECT_EQ("", ReadAll(dir / CSaveRecord::kFileName));
    ASSERT_TRUE(record.Write({}, &sync));
    ASSERT_TRUE(record.Write({}, &sync));
    EXPECT_EQ(1, sync.data);
    ASSERT_TRUE(record.Write({&one.write}, &sync));
    EXPECT_EQ(2, sync.data);

    // A clean shutdown removes the file only when it holds nothing.
    record.Remove();
    EXPECT_TRUE(std::filesystem::exists(dir / CSaveRecord::kFileName));
    ASSERT_TRUE(record.Open(dir / CSaveRecord::kFileName));
    record.Clear();
    record.Remove();
    EXPECT_FALSE(std::filesystem::exists(dir / CSaveRecord::kFileName));
}

}  // namespace
