// The group index file Message.lst: its exact bytes, reading it back, and
// replacing it without ever leaving a half-written file.

#include "store/group_index.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>

#include "store/save_record.h"
#include "tests/test_support.h"

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> DirectoryNames(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void AddArticle(GroupEntry& g, int number, std::string subject, std::string from, std::string date,
                std::string messageId, int bytes, int lines, std::string references) {
    g.articles.Add(number, EntryTexts{subject, from, date, messageId, references}, bytes, lines);
}

std::string Counters(const GroupEntry& g) {
    return std::to_string(g.firstNumber) + " " + std::to_string(g.lastNumber) + " " +
           std::to_string(g.articleCount);
}

// Every field of every article, one string each, in the index file's order.
std::vector<std::string> Articles(const GroupEntry& g) {
    std::vector<std::string> out;
    for (const ArticleEntry& a : g.articles)
        out.push_back(std::to_string(a.number) + "|" + std::string(a.Subject()) + "|" +
                      std::string(a.From()) + "|" + std::string(a.Date()) + "|" +
                      std::string(a.MessageId()) + "|" + std::to_string(a.Bytes()) + "|" +
                      std::to_string(a.Lines()) + "|" + std::string(a.References()));
    return out;
}

TEST(FormatGroupIndex, ExactBytes) {
    GroupEntry g;
    g.firstNumber = 1;
    g.lastNumber = 3;
    g.articleCount = 2;
    AddArticle(g, 1, "Hello", "alice <a@example>", "Mon, 4 Mar 2024 10:00:00 +0900", "<1@x>", 321,
               12, "");
    AddArticle(g, 3, "Re: Hello", "bob", "Tue", "<3@x>", 400, 15, "<1@x> <2@x>");
    // Bytes and lines come before references, which may be empty.
    EXPECT_EQ(
        "1\t3\t2\r\n"
        "1\tHello\talice <a@example>\tMon, 4 Mar 2024 10:00:00 +0900\t<1@x>\t321\t12\t\r\n"
        "3\tRe: Hello\tbob\tTue\t<3@x>\t400\t15\t<1@x> <2@x>\r\n",
        FormatGroupIndex(g));

    // The counters are written as held, whatever the articles say.
    GroupEntry empty;
    empty.firstNumber = -1;
    empty.lastNumber = 7;
    EXPECT_EQ("-1\t7\t0\r\n", FormatGroupIndex(empty));
}

TEST(GroupIndex, RoundTripsThroughTheFile) {
    TempDir dir;
    GroupEntry g;
    g.firstNumber = 2;
    g.lastNumber = 9;
    g.articleCount = 4;
    AddArticle(g, 2, "\x93\xFA\x96\x7B\x8C\xEA", "alice", "date", "<2@x>", 100, 5, "<1@x>");
    AddArticle(g, 5, "no references", "bob", "date", "<5@x>", 200, 6, "");
    // Empty fields in the middle keep the later fields in their places.
    AddArticle(g, 7, "", "", "", "", 0, 0, "<5@x>");
    AddArticle(g, 9, "subject", "", "date", "<9@x>", 300, 7, "");
    const std::string path = dir / "Message.lst";
    ASSERT_TRUE(ReplaceFileAtomically(path, FormatGroupIndex(g)));
    EXPECT_EQ(std::vector<std::string>{"Message.lst"}, DirectoryNames(dir.path()));

    GroupEntry back;
    back.dirty = 1;
    ASSERT_TRUE(ReadGroupIndex(path, back));
    EXPECT_EQ(Counters(g), Counters(back));
    EXPECT_EQ(Articles(g), Articles(back));
    EXPECT_EQ(1, back.dirty) << "reading leaves the dirty flag alone";
}

TEST(ParseGroupIndex, LineShapes) {
    const std::string article = "2\ts\tf\td\t<m>\t10\t3\t<r>\n";
    struct Case {
        const char* what;
        std::string content;
        std::string counters;
        std::vector<std::string> articles;
    } cases[] = {
        {"counter line only", "5\t9\t2\n", "5 9 2", {}},
        {"empty file", "", "0 0 0", {}},
        {"comments and empty lines anywhere",
         "#c\n\n1\t2\t1\n#x\n\n2\ts\tf\td\t<m>\t10\t3\t\n\n",
         "1 2 1",
         {"2|s|f|d|<m>|10|3|"}},
        {"seven fields: no references",
         "0\t0\t0\n4\ts\tf\td\t<m>\t10\t3\n",
         "0 0 0",
         {"4|s|f|d|<m>|10|3|"}},
        {"no counter line: the first article line is taken for it",
         "1\ts\tf\td\t<m>\t10\t3\t<r>\n" + article,
         "0 0 0",
         {"2|s|f|d|<m>|10|3|<r>"}},
        {"counter line of 2 numbers", "1\t2\n" + article, "0 0 0", {"2|s|f|d|<m>|10|3|<r>"}},
        {"counter line of 4 numbers", "1\t2\t3\t4\n" + article, "0 0 0", {"2|s|f|d|<m>|10|3|<r>"}},
        {"other field counts skipped",
         "0\t0\t0\n1\ta\tb\tc\td\t5\n" + article + "3\ta\tb\tc\td\t5\t6\t7\t8\n",
         "0 0 0",
         {"2|s|f|d|<m>|10|3|<r>"}},
        {"last line without LF",
         "0\t0\t0\n" + article + "3\ts\tf\td\t<n>\t1\t1\tr",
         "0 0 0",
         {"2|s|f|d|<m>|10|3|<r>", "3|s|f|d|<n>|1|1|r"}},
        {"numbers read like decimals",
         "+1\t 2\t3x\nx\ts\tf\td\t<m>\tbig\t-4\t\n",
         "1 2 3",
         {"0|s|f|d|<m>|0|-4|"}},
    };
    for (const Case& c : cases) {
        GroupEntry g;
        ParseGroupIndex(c.content, g);
        EXPECT_EQ(c.counters, Counters(g)) << c.what;
        EXPECT_EQ(c.articles, Articles(g)) << c.what;
    }
}

TEST(ParseGroupIndex, LongLinesAreReadWhole) {
    const std::string subject(3000, 's');
    GroupEntry g;
    ParseGroupIndex(
        "1\t2\t2\n1\t" + subject + "\tf\td\t<1@x>\t5000\t9\t\n2\tshort\tf\td\t<2@x>\t1\t1\t\n", g);
    ASSERT_EQ(2u, g.articles.size());
    EXPECT_EQ(subject, std::string(g.articles[0].Subject()));
    EXPECT_EQ(5000, g.articles[0].Bytes());
    EXPECT_EQ("short", std::string(g.articles[1].Subject()));
}

TEST(ReadGroupIndex, ReadsACrLfFile) {
    GroupEntry g;
    ASSERT_TRUE(ReadGroupIndex(MARROWBY_TEST_DATA "/index/Message.lst", g));
    EXPECT_EQ("1 4 3", Counters(g));
    EXPECT_EQ((std::vector<std::string>{
                  "1|Hello|alice <alice@example>|Mon, 4 Mar 2024 10:00:00 +0900|"
                  "<1@20240304100000>|321|12|",
                  "2|Re: Hello|bob <bob@example>|Mon, 4 Mar 2024 11:00:00 +0900|"
                  "<2@20240304110000>|400|15|<1@20240304100000>",
                  "4|\x93\xFA\x96\x7B\x8C\xEA|carol|Tue, 5 Mar 2024 09:30:00 +0900|<own@host>|"
                  "1024|30|",
              }),
              Articles(g));
}

TEST(ReadGroupIndex, UnreadablePathsFail) {
    TempDir dir;
    GroupEntry g;
    EXPECT_FALSE(ReadGroupIndex(dir / "Message.lst", g));
    // A directory in the index file's place opens but cannot be read.
    std::filesystem::create_directory(dir / "Message.lst");
    EXPECT_FALSE(ReadGroupIndex(dir / "Message.lst", g));
    EXPECT_EQ("0 0 0", Counters(g));
}

ino_t Inode(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(0, ::stat(path.c_str(), &st)) << path;
    return st.st_ino;
}

TEST(WriteGroupIndex, FileAlwaysEndsUpAsFormatted) {
    TempDir dir;
    const std::string path = dir / "Message.lst";
    GroupEntry g;
    g.firstNumber = 1;
    g.lastNumber = 2;
    g.articleCount = 2;
    AddArticle(g, 1, "one", "f", "d", "<1@x>", 10, 1, "");
    AddArticle(g, 2, "two", "f", "d", "<2@x>", 20, 2, "<1@x>");
    ASSERT_TRUE(WriteGroupIndex(path, g));
    EXPECT_EQ(FormatGroupIndex(g), ReadAll(path));

    // New articles with counters of the same width: appended in place.
    const ino_t before = Inode(path);
    AddArticle(g, 3, "three", "f", "d", "<3@x>", 30, 3, "");
    AddArticle(g, 4, "four", "f", "d", "<4@x>", 40, 4, "");
    g.lastNumber = 4;
    g.articleCount = 4;
    ASSERT_TRUE(WriteGroupIndex(path, g));
    EXPECT_EQ(FormatGroupIndex(g), ReadAll(path));
    EXPECT_EQ(before, Inode(path));

    // Nothing new, counters changed: still right.
    g.articleCount = 3;
    ASSERT_TRUE(WriteGroupIndex(path, g));
    EXPECT_EQ(FormatGroupIndex(g), ReadAll(path));

    // A counter line that grows cannot be patched in place.
    for (int n = 5; n <= 10; ++n)
        AddArticle(g, n, "more", "f", "d", "<" + std::to_string(n) + "@x>", n, n, "");
    g.lastNumber = 10;
    g.articleCount = 9;
    ASSERT_TRUE(WriteGroupIndex(path, g));
    EXPECT_EQ(FormatGroupIndex(g), ReadAll(path));

    // An entry gone from the middle.
    g.articles.erase(g.articles.begin() + 1);
    g.articleCount = 8;
    ASSERT_TRUE(WriteGroupIndex(path, g));
    EXPECT_EQ(FormatGroupIndex(g), ReadAll(path));

    // Someone else changed the file: it is rewritten whole.
    std::ofstream(path, std::ios::binary | std::ios::app)
        << "# a note added by hand, longer than the line that comes next\r\n";
    AddArticle(g, 11, "eleven", "f", "d", "<11@x>", 11, 11, "");
    g.lastNumber = 11;
    ASSERT_TRUE(WriteGroupIndex(path, g));
    EXPECT_EQ(FormatGroupIndex(g), ReadAll(path));

    // Cleared and refilled, as a rebuild does.
    g.articles.clear();
    AddArticle(g, 2, "two", "f", "d", "<2@x>", 20, 2, "");
    g.firstNumber = 2;
    g.lastNumber = 11;
    g.articleCount = 1;
    ASSERT_TRUE(WriteGroupIndex(path, g));
    EXPECT_EQ(FormatGroupIndex(g), ReadAll(path));
    EXPECT_EQ(std::vector<std::string>{"Message.lst"}, DirectoryNames(dir.path()));
}

TEST(WriteGroupIndex, FailureIsReportedAndRecovered) {
    TempDir dir;
    const std::string path = dir / "local.a/Message.lst";
    GroupEntry g;
    AddArticle(g, 1, "one", "f", "d", "<1@x>", 10, 1, "");
    EXPECT_FALSE(WriteGroupIndex(path, g));
    std::filesystem::create_directory(dir / "local.a");
    ASSERT_TRUE(WriteGroupIndex(path, g));
    EXPECT_EQ(FormatGroupIndex(g), ReadAll(path));

    // The file vanished after a write: the next one must not patch thin air.
    std::filesystem::remove(path);
    AddArticle(g, 2, "two", "f", "d", "<2@x>", 20, 2, "");
    ASSERT_TRUE(WriteGroupIndex(path, g));
    EXPECT_EQ(FormatGroupIndex(g), ReadAll(path));
}

// A group whose index was written whole with two articles, and then got
// three more: `write` is the append that brings the file up to date.
struct PendingAppend {
    TempDir dir;
    std::string path = dir / "Message.lst";
    GroupEntry group;
    IndexWrite write;

    PendingAppend() {
        group.firstNumber = 1;
        group.lastNumber = 2;
        group.articleCount = 2;
        AddArticle(group, 1, "one", "f", "d", "<1@x>", 10, 1, "");
        AddArticle(group, 2, "two", "f", "d", "<2@x>", 20, 2, "<1@x>");
        EXPECT_TRUE(WriteGroupIndex(path, group));
        for (int n = 3; n <= 5; ++n)
            AddArticle(group, n, "more", "f", "d", "<" + std::to_string(n) + "@x>", n, n, "");
        group.lastNumber = 5;
        group.articleCount = 5;
        write = PlanIndexWrite(path, group);
        EXPECT_FALSE(write.whole);
    }
};

TEST(WriteGroupIndex, GoesThroughTheSaveRecordAndLeavesItEmpty) {
    for (bool appendFirst : {true, false}) {
        PendingAppend p;
        CSaveRecord record;
        ASSERT_TRUE(record.Open(p.dir / CSaveRecord::kFileName));
        if (!appendFirst) {
            // An append left in the record by an earlier failure must not
            // outlive a whole write of its file.
            ASSERT_TRUE(PrepareIndexWrite(p.write, nullptr));
            ASSERT_TRUE(record.Write({&p.write}, nullptr));
            AbandonIndexWrite(p.write);
            p.group.articles.erase(p.group.articles.begin());
            p.group.indexFile.known = false;
        }
        if (appendFirst)
            ASSERT_TRUE(ApplyIndexWrite(p.write, &record));
        else
            ASSERT_TRUE(WriteGroupIndex(p.path, p.group, &record));
        EXPECT_EQ(FormatGroupIndex(p.group), ReadAll(p.path)) << appendFirst;
        EXPECT_EQ("", ReadAll(p.dir / CSaveRecord::kFileName)) << appendFirst;
        EXPECT_TRUE(RecoverIndexSaves(p.dir / CSaveRecord::kFileName, nullptr).empty());
    }
}

TEST(MergeIndexWrites, TwoWritesOfAFileBecomeOne) {
    // Each row: writes planned one after another; merged, they must leave the
    // file as applying them in turn does.
    struct Step {
        int added;    // articles added before the plan
        bool remove;  // an article removed first: a whole write
    };
    struct Case {
        std::string what;
        std::vector<Step> steps;
    } cases[] = {
        {"append, append", {{1, false}, {2, false}}},
        {"whole, append", {{1, true}, {1, false}}},
        {"append, whole", {{2, false}, {1, true}}},
        {"whole, whole, append", {{0, true}, {1, true}, {3, false}}},
        {"append of nothing new", {{1, false}, {0, false}}},
    };
    for (const Case& c : cases) {
        PendingAppend p;
        ApplyIndexWrite(p.write, nullptr);
        int next = 6;
        std::vector<IndexWrite> writes;
        for (const Step& step : c.steps) {
            if (step.remove) p.group.articles.erase(p.group.articles.begin());
            for (int i = 0; i < step.added; ++i, ++next)
                AddArticle(p.group, next, "n", "f", "d", "<" + std::to_string(next) + "@x>", 1, 1,
                           "");
            p.group.lastNumber = next - 1;
            writes.push_back(PlanIndexWrite(p.path, p.group));
        }
        IndexWrite merged = writes[0];
        for (size_t i = 1; i < writes.size(); ++i)
            ASSERT_TRUE(MergeIndexWrites(merged, writes[i])) << c.what << " step " << i;
        ASSERT_TRUE(ApplyIndexWrite(merged, nullptr)) << c.what;
        EXPECT_EQ(FormatGroupIndex(p.group), ReadAll(p.path)) << c.what;
    }
    // Writes that do not follow on from each other stay apart.
    PendingAppend p;
    IndexWrite first = p.write;
    IndexWrite unrelated = p.write;
    EXPECT_FALSE(MergeIndexWrites(first, unrelated));
    EXPECT_EQ(p.write.bytes, first.bytes);
}

// Entries read their lines from the mapped file once it is written, and from
// memory before; whatever is added, removed, written and read back, they
// must read as a plain model of the same steps says. Deferred, the writes
// are planned at once but carried out and followed later, merged where they
// follow on from each other, as the sync worker does them: entries come and
// go between a plan and its completion.
TEST(WriteGroupIndex, EntriesReadTheSameWhereverTheirLinesLive) {
    for (bool deferred : {false, true}) {
        TempDir dir;
        const std::string path = dir / "Message.lst";
        std::mt19937 random(7);
        auto group = std::make_unique<GroupEntry>();
        std::vector<std::string> model;
        std::vector<IndexWrite> inFlight;
        auto complete = [&] {
            std::vector<IndexWrite> batch;
            for (IndexWrite& w : inFlight)
                if (batch.empty() || !MergeIndexWrites(batch.back(), w))
                    batch.push_back(std::move(w));
            inFlight.clear();
            for (IndexWrite& w : batch) {
                ASSERT_TRUE(ApplyIndexWrite(w, nullptr));
                FollowIndexWrite(*group, w);
            }
        };
        int next = 1;
        for (int step = 0; step < 400; ++step) {
            int action = static_cast<int>(random() % 10);
            if (action < 5) {
                std::string n = std::to_string(next);
                AddArticle(*group, next, "subject " + n, "f", "d", "<" + n + "@x>", next, 1, "");
                model.push_back(n + "|subject " + n + "|f|d|<" + n + "@x>|" + n + "|1|");
                ++next;
            } else if (action == 5 && !model.empty()) {
                size_t at = random() % model.size();
                group->articles.erase(group->articles.begin() + static_cast<std::ptrdiff_t>(at));
                model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
            } else if (action < 9) {
                group->lastNumber = next - 1;
                group->articleCount = static_cast<int>(model.size());
                if (!deferred) {
                    ASSERT_TRUE(WriteGroupIndex(path, *group));
                } else {
                    inFlight.push_back(PlanIndexWrite(path, *group));
                    if (random() % 3 == 0) complete();
                }
            } else {
                // A restart: the file read back, now and then through a sidecar.
                complete();
                ASSERT_TRUE(WriteGroupIndex(path, *group));
                if (random() % 2) WriteIndexSidecar(path, *group);
                group = std::make_unique<GroupEntry>();
                ASSERT_TRUE(ReadGroupIndex(path, *group));
            }
            ASSERT_EQ(model, Articles(*group)) << "step " << step << " deferred " << deferred;
        }
        complete();
        ASSERT_EQ(model, Articles(*group)) << "deferred " << deferred;
    }
}

TEST(ReadGroupIndex, SidecarIsUsedOnlyForTheFileItDescribes) {
    // What a sidecar-less read of the same file gives is what must come out,
    // whatever happened to the file since the sidecar was written.
    TempDir dir;
    const std::string path = dir / "Message.lst";
    auto fill = [&](GroupEntry& g, int count) {
        for (int n = 1; n <= count; ++n)
            AddArticle(g, n, "s" + std::to_string(n), "f", "d", "<" + std::to_string(n) + "@x>", n,
                       n, "");
        g.firstNumber = 1;
        g.lastNumber = g.articleCount = count;
    };
    struct Case {
        const char* what;
        std::function<void()> change;
    } cases[] = {
        {"unchanged", [] {}},
        {"posts appended since",
         [&] {
             std::ofstream(path, std::ios::binary | std::ios::app)
                 << "21\tlate\tf\td\t<21@x>\t21\t21\t\r\n";
         }},
        {"a line without its end appended",
         [&] {
             std::ofstream(path, std::ios::binary | std::ios::app) << "22\tcut\tf\td\t<22@x>\t1\t1";
         }},
        {"rewritten",
         [&] {
             std::string text = ReadAll(path);
             std::filesystem::remove(path);
             WriteFile(path, text.substr(0, text.size() / 2) + "\r\n");
         }},
        {"cut short", [&] { std::filesystem::resize_file(path, 100); }},
        {"its end changed in place",
         [&] {
             std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
             f.seekp(-10, std::ios::end);
             f << "X";
         }},
        {"sidecar damaged",
         [&] {
             std::fstream f(path + ".idx", std::ios::binary | std::ios::in | std::ios::out);
             f.seekp(200);
             f << "junk";
         }},
        {"sidecar cut short", [&] { std::filesystem::resize_file(path + ".idx", 150); }},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(path);
        std::filesystem::remove(path + ".idx");
        GroupEntry written;
        fill(written, 20);
        ASSERT_TRUE(WriteGroupIndex(path, written));
        ASSERT_TRUE(WriteIndexSidecar(path, written)) << c.what;
        c.change();
        GroupEntry plain;
        ParseGroupIndex(ReadAll(path), plain);
        GroupEntry read;
        ASSERT_TRUE(ReadGroupIndex(path, read)) << c.what;
        EXPECT_EQ(Articles(plain), Articles(read)) << c.what;
        EXPECT_EQ(Counters(plain), Counters(read)) << c.what;
        // The next post's save gives the file a save would write.
        AddArticle(read, 30, "next", "f", "d", "<30@x>", 30, 30, "");
        read.lastNumber = 30;
        ASSERT_TRUE(WriteGroupIndex(path, read)) << c.what;
        EXPECT_EQ(FormatGroupIndex(read), ReadAll(path)) << c.what;
    }
    // The sidecar is trusted up to its end: a number edited in place there
    // (same file, same size) is not seen, as it would be by a full read.
    std::filesystem::remove(path);
    GroupEntry written;
    fill(written, 20);
    ASSERT_TRUE(WriteGroupIndex(path, written));
    ASSERT_TRUE(WriteIndexSidecar(path, written));
    std::string text = ReadAll(path);
    size_t at = text.find("\n5\t") + 1;
    std::fstream(path, std::ios::binary | std::ios::in | std::ios::out).seekp(at).put('9');
    GroupEntry read;
    ASSERT_TRUE(ReadGroupIndex(path, read));
    EXPECT_EQ(5, read.articles[4].number);
    // A sidecar that describes the file is kept at shutdown until the lines
    // appended since are many, or the file is rewritten.
    EXPECT_FALSE(SidecarIsStale(read));
    for (int n = 21; n <= 10025; ++n)
        AddArticle(read, n, "s", "f", "d", "<" + std::to_string(n) + "@x>", 1, 1, "");
    EXPECT_TRUE(SidecarIsStale(read));
    GroupEntry small;
    ASSERT_TRUE(ReadGroupIndex(path, small));
    small.articles.erase(small.articles.begin());
    ASSERT_TRUE(WriteGroupIndex(path, small));
    EXPECT_TRUE(SidecarIsStale(small));
}

// The lookups must answer exactly what a scan of the list in order would,
// whatever has been added and removed; checked against that scan after every
// step of a long, fixed series of random changes.
TEST(ArticleList, LookupsMatchAScanInListOrder) {
    std::mt19937 random(12345);
    auto pick = [&random](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    GroupEntry g;
    ArticleList& list = g.articles;
    int nextNumber = 1;
    for (int step = 0; step < 2000; ++step) {
        const int action = pick(10);
        if (action < 5 || list.size() < 2) {
            // Mostly ascending numbers, sometimes a repeat or a step back;
            // a few Message-IDs shared, some empty.
            const int kind = pick(12);
            const int number = kind == 0   ? pick(nextNumber + 1) - 1
                               : kind == 1 ? nextNumber - 1
                                           : nextNumber++;
            std::string id = pick(5) == 0 ? "" : "<" + std::to_string(pick(12)) + "@x>";
            list.Add(number, EntryTexts{"", "", "", id, ""}, 0, 0);
        } else if (action < 8) {
            list.erase(list.begin() + pick(static_cast<int>(list.size())));
        } else if (action == 8) {
            const int gone = pick(nextNumber + 1);
            list.RemoveIf([gone](const ArticleEntry& a) { return a.number == gone; });
        } else if (pick(4) == 0) {
            // A fresh start also brings back an ascending list.
            list.clear();
            nextNumber = 1;
        }
        for (int n = -1; n <= nextNumber; ++n) {
            const ArticleEntry* want = nullptr;
            for (const ArticleEntry& a : list)
                if (a.number == n) {
                    want = &a;
                    break;
                }
            ASSERT_EQ(want, list.FindNumber(n)) << "step " << step << " number " << n;
        }
        for (int id = -1; id < 12; ++id) {
            const std::string messageId = id < 0 ? "" : "<" + std::to_string(id) + "@x>";
            const ArticleEntry* want = nullptr;
            for (const ArticleEntry& a : list)
                if (a.MessageId() == messageId) {
                    want = &a;
                    break;
                }
            ASSERT_EQ(want, list.FindMessageId(messageId)) << "step " << step << " " << messageId;
        }
        for (size_t i = 0; i < list.size(); ++i)
            ASSERT_EQ(i, list.PositionOf(&list[i])) << "step " << step;
    }
    ArticleEntry stranger;
    EXPECT_EQ(list.size(), list.PositionOf(&stranger));
}

TEST(MessageIdIndex, AgreesWithAMapThroughInsertsInAnyOrder) {
    // Many keys in a table that grows and wraps around, checked against a
    // plain map that keeps the first position inserted under each key.
    std::mt19937 random(11);
    ArticleList source;
    for (int i = 0; i < 3000; ++i) {
        std::string id = i % 7 == 0 ? "" : "<" + std::to_string(i % 1000) + "@x>";
        source.Add(i, EntryTexts{"", "", "", id, ""}, 0, 0);
    }
    std::vector<ArticleEntry> entries(source.begin(), source.end());
    MessageIdIndex index;
    std::map<std::string, long, std::less<>> want;
    for (int round = 0; round < 6000; ++round) {
        size_t position = random() % entries.size();
        std::string id(entries[position].MessageId());
        bool fresh = !want.count(id);
        ASSERT_EQ(fresh, index.Insert(position, entries)) << round;
        if (fresh) want[id] = static_cast<long>(position);
        if (round % 500 == 0) {
            for (const ArticleEntry& e : entries) {
                auto it = want.find(e.MessageId());
                ASSERT_EQ(it == want.end() ? -1 : it->second,
                          index.Find(e.MessageId(), e.IdHash(), entries))
                    << round;
            }
        }
    }
    index.Clear();
    EXPECT_EQ(-1, index.Find(entries[1].MessageId(), entries[1].IdHash(), entries));
}

TEST(ArticleList, RemovalCountMovesOnlyWhenSomethingLeaves) {
    ArticleList list;
    auto add = [&list](int n) { list.Add(n, EntryTexts(), 0, 0); };
    const auto start = list.RemovalCount();
    list.clear();
    add(1);
    add(2);
    add(3);
    list.RemoveIf([](const ArticleEntry& a) { return a.number == 9; });
    EXPECT_EQ(start, list.RemovalCount());
    list.erase(list.begin());
    EXPECT_EQ(start + 1, list.RemovalCount());
    list.RemoveIf([](const ArticleEntry& a) { return a.number > 1; });
    EXPECT_EQ(start + 2, list.RemovalCount());
    EXPECT_TRUE(list.empty());
    add(4);
    list.clear();
    EXPECT_EQ(start + 3, list.RemovalCount());
}

TEST(ReplaceFileAtomically, ReplacesTheWholeFile) {
    TempDir dir;
    const std::string path = dir / "Message.lst";
    WriteFile(path, "a much longer old content\r\n");
    ASSERT_TRUE(ReplaceFileAtomically(path, "0\t0\t0\r\n"));
    EXPECT_EQ("0\t0\t0\r\n", ReadAll(path));
    EXPECT_EQ(std::vector<std::string>{"Message.lst"}, DirectoryNames(dir.path()));
}

TEST(ReplaceFileAtomically, FailureKeepsTheOldFile) {
    // Permission bits do not stop root, so the failures are made with
    // directories standing where files should go.
    {
        // The temporary file cannot be created.
        TempDir dir;
        const std::string path = dir / "Message.lst";
        WriteFile(path, "1\t1\t1\r\n");
        std::filesystem::create_directory(path + ".tmp");
        EXPECT_FALSE(ReplaceFileAtomically(path, "0\t0\t0\r\n"));
        EXPECT_EQ("1\t1\t1\r\n", ReadAll(path));
    }
    {
        // The temporary file is written but cannot be renamed over the
        // target; it must not be left behind.
        TempDir dir;
        const std::string path = dir / "Message.lst";
        std::filesystem::create_directory(path);
        WriteFile(path + "/keep", "x");
        EXPECT_FALSE(ReplaceFileAtomically(path, "0\t0\t0\r\n"));
        EXPECT_EQ(std::vector<std::string>{"Message.lst"}, DirectoryNames(dir.path()));
        EXPECT_EQ("x", ReadAll(path + "/keep"));
    }
    {
        // The directory is missing altogether.
        TempDir dir;
        EXPECT_FALSE(ReplaceFileAtomically(dir / "missing/Message.lst", "0\t0\t0\r\n"));
    }
}

}  // namespace
