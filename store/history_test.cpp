// The Message-ID history: its readable log, its mapped index, and how both
// come through crashes, damage, growth and compaction.

#include "store/history.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>

#include "tests/test_support.h"

namespace {

constexpr time_t kDay = 86400;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void AppendBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

uint64_t InodeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::string Describe(const HistoryEntry& e) {
    static const char* const kNames[] = {"unknown", "accepted", "refused", "gone"};
    std::string text = kNames[static_cast<int>(e.state)];
    if (e.state != HistoryState::Unknown)
        text += " " + std::to_string(e.arrived) + " " + std::to_string(e.changed);
    return text;
}

void OpenOrFail(CHistory& history, const TempDir& dir) {
    std::string error;
    ASSERT_TRUE(history.Open(dir.path(), error)) << error;
}

std::string Id(int n) {
    return "<" + std::to_string(n) + ".entry@history.test>";
}

TEST(History, RemembersAcrossReopenInAReadableLog) {
    TempDir dir;
    {
        CHistory history;
        OpenOrFail(history, dir);
        EXPECT_TRUE(history.RememberAccepted("<a@x>", 100));
        EXPECT_TRUE(history.RememberRefused("<b@x>", 200));
        EXPECT_TRUE(history.MarkGone("<a@x>", 300));
        EXPECT_TRUE(history.MarkGone("<c@x>", 400));  // a cancel before its article
        EXPECT_TRUE(history.Sync());
    }
    EXPECT_EQ(
        "<a@x>\taccepted\t100\t100\n<b@x>\trefused\t200\t200\n"
        "<a@x>\tgone\t100\t300\n<c@x>\tgone\t400\t400\n",
        ReadAll(dir / "history"));

    CHistory history;
    OpenOrFail(history, dir);
    struct Case {
        const char* id;
        const char* want;
    } cases[] = {
        {"<a@x>", "gone 100 300"}, {"<b@x>", "refused 200 200"}, {"<c@x>", "gone 400 400"},
        {"<d@x>", "unknown"},      {"<A@x>", "unknown"},  // compared byte for byte
    };
    for (const Case& c : cases) EXPECT_EQ(c.want, Describe(history.Lookup(c.id))) << c.id;
    EXPECT_EQ(3u, history.Count());
}

TEST(History, TakesOnlyMessageIdsThatFitOneLogField) {
    TempDir dir;
    CHistory history;
    EXPECT_FALSE(history.RememberAccepted("<a@x>", 1)) << "not open";
    EXPECT_EQ("unknown", Describe(history.Lookup("<a@x>")));
    OpenOrFail(history, dir);
    const std::string refused[] = {
        "",         "<a b@x>",
        "<a\t@x>",  "<a@x>\n",
        "<a@x>\r",  std::string("<a\0@x>", 6),
        "<\x7f@x>", std::string(CHistory::kMaxIdLength + 1, 'a'),
    };
    for (const std::string& id : refused) {
        EXPECT_FALSE(CHistory::IsRememberable(id)) << id;
        EXPECT_FALSE(history.RememberAccepted(id, 1)) << id;
        EXPECT_FALSE(history.MarkGone(id, 1)) << id;
        EXPECT_EQ("unknown", Describe(history.Lookup(id))) << id;
    }
    EXPECT_EQ("", ReadAll(dir / "history"));
    const std::string longest(CHistory::kMaxIdLength, 'a');
    EXPECT_TRUE(history.RememberRefused(longest, 5));
    EXPECT_TRUE(history.RememberAccepted("<\x95\x5C@sjis>", 6));
    history.Close();
    OpenOrFail(history, dir);
    EXPECT_EQ("refused 5 5", Describe(history.Lookup(longest)));
    EXPECT_EQ("accepted 6 6", Describe(history.Lookup("<\x95\x5C@sjis>")));
}

TEST(History, CutsOffALineLeftPartialByACrash) {
    TempDir dir;
    {
        CHistory history;
        OpenOrFail(history, dir);
        history.RememberAccepted("<a@x>", 1);
        history.RememberRefused("<b@x>", 2);
    }
    const std::string whole = ReadAll(dir / "history");
    AppendBytes(dir / "history", "<partial@x>\tacc");

    CHistory history;
    OpenOrFail(history, dir);
    EXPECT_EQ(whole, ReadAll(dir / "history"));
    EXPECT_EQ("accepted 1 1", Describe(history.Lookup("<a@x>")));
    EXPECT_EQ("refused 2 2", Describe(history.Lookup("<b@x>")));
    EXPECT_EQ("unknown", Describe(history.Lookup("<partial@x>")));
    EXPECT_TRUE(history.RememberAccepted("<c@x>", 3));
    history.Close();
    EXPECT_EQ(whole + "<c@x>\taccepted\t3\t3\n", ReadAll(dir / "history"));

    // A log that is nothing but a partial line.
    TempDir other;
    WriteFile(other / "history", "<only@x>\tgone\t1");
    OpenOrFail(history, other);
    EXPECT_EQ("", ReadAll(other / "history"));
    EXPECT_EQ(0u, history.Count());
}

TEST(History, BringsAnIndexUpToDateOrBuildsItAgain) {
    struct Case {
        const char* name;
        bool rebuilt;  // a new index file rather than the old one caught up
        std::function<void(const TempDir&, const std::string& earlierIndex)> damage;
        const char* want0;
        const char* want199;
    } cases[] = {
        {"nothing wrong", false, [](const TempDir&, const std::string&) {}, "gone 0 500",
         "refused 199 199"},
        {"behind the log", false,
         [](const TempDir& dir, const std::string& earlier) {
             std::filesystem::copy_file(earlier, dir / "history.index",
                                        std::filesystem::copy_options::overwrite_existing);
         },
         "gone 0 500", "refused 199 199"},
        {"lines added by hand", false,
         [](const TempDir& dir, const std::string&) {
             AppendBytes(dir / "history",
                         "not a line of ours\n<199.entry@history.test>\tgone\t7\t8\n");
         },
         "gone 0 500", "gone 7 8"},
        {"deleted", true,
         [](const TempDir& dir, const std::string&) {
             std::filesystem::remove(dir / "history.index");
         },
         "gone 0 500", "refused 199 199"},
        {"empty", true,
         [](const TempDir& dir, const std::string&) { WriteFile(dir / "history.index", ""); },
         "gone 0 500", "refused 199 199"},
        {"header overwritten", true,
         [](const TempDir& dir, const std::string&) {
             std::fstream f(dir / "history.index", std::ios::in | std::ios::out | std::ios::binary);
             f << std::string(64, 'x');
         },
         "gone 0 500", "refused 199 199"},
        {"cut short", true,
         [](const TempDir& dir, const std::string&) {
             std::filesystem::resize_file(dir / "history.index", 5000);
         },
         "gone 0 500", "refused 199 199"},
        {"log replaced by a new file of the same size", true,
         [](const TempDir& dir, const std::string&) {
             // Lines in reverse order: every offset the index holds is wrong.
             std::string log = ReadAll(dir / "history");
             std::string reversed;
             for (size_t end = log.size(); end > 0;) {
                 size_t start = log.rfind('\n', end - 2);
                 start = start == std::string::npos ? 0 : start + 1;
                 reversed += log.substr(start, end - start);
                 end = start;
             }
             WriteFile(dir / "rewritten", reversed);
             std::filesystem::rename(dir / "rewritten", dir / "history");
         },
         "accepted 0 0", "refused 199 199"},
        {"log lost lines the index covers", true,
         [](const TempDir& dir, const std::string&) {
             std::string log = ReadAll(dir / "history");
             WriteFile(dir / "history", log.substr(0, log.rfind('\n', log.size() - 2) + 1));
         },
         "accepted 0 0", "refused 199 199"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string earlier = dir / "earlier.index";
        {
            CHistory history;
            OpenOrFail(history, dir);
            for (int n = 0; n < 100; ++n) history.RememberAccepted(Id(n), n);
            history.Close();
            std::filesystem::copy_file(dir / "history.index", earlier);
            OpenOrFail(history, dir);
            for (int n = 100; n < 200; ++n) history.RememberRefused(Id(n), n);
            history.MarkGone(Id(0), 500);
        }
        c.damage(dir, earlier);
        const uint64_t inode = InodeOf(dir / "history.index");

        CHistory history;
        OpenOrFail(history, dir);
        EXPECT_EQ(c.rebuilt, InodeOf(dir / "history.index") != inode) << c.name;
        EXPECT_EQ(c.want0, Describe(history.Lookup(Id(0)))) << c.name;
        EXPECT_EQ("accepted 99 99", Describe(history.Lookup(Id(99)))) << c.name;
        EXPECT_EQ(c.want199, Describe(history.Lookup(Id(199)))) << c.name;
        EXPECT_EQ(200u, history.Count()) << c.name;
        EXPECT_TRUE(history.RememberAccepted(Id(200), 200)) << c.name;
        history.Close();
        OpenOrFail(history, dir);
        EXPECT_EQ("accepted 200 200", Describe(history.Lookup(Id(200)))) << c.name;
    }
}

TEST(History, KeepsTheIndexOfAProcessThatDied) {
    TempDir dir;
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Killed, in effect: the index is never closed.
        CHistory history;
        std::string error;
        if (!history.Open(dir.path(), error)) ::_exit(1);
        for (int n = 0; n < 50; ++n) history.RememberAccepted(Id(n), n);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const uint64_t inode = InodeOf(dir / "history.index");

    CHistory history;
    OpenOrFail(history, dir);
    // Within the same boot the page cache still holds what the process
    // wrote: the index is taken as it is, not built again.
    EXPECT_EQ(inode, InodeOf(dir / "history.index"));
    EXPECT_EQ(50u, history.Count());
    for (int n = 0; n < 50; ++n) EXPECT_EQ(HistoryState::Accepted, history.Lookup(Id(n)).state);
}

TEST(History, OneProcessAtATime) {
    TempDir dir;
    CHistory first;
    CHistory second;
    OpenOrFail(first, dir);
    std::string error;
    EXPECT_FALSE(second.Open(dir.path(), error));
    EXPECT_NE(std::string::npos, error.find("in use")) << error;
    EXPECT_FALSE(second.IsOpen());
    first.Close();
    EXPECT_TRUE(second.Open(dir.path(), error)) << error;
}

TEST(History, CompactionKeepsWhatIsStillNeeded) {
    const time_t now = 100 * kDay;
    const int keepDays = 10;
    struct Case {
        const char* id;
        std::function<void(CHistory&, const char*)> events;
        bool stillStored;
        const char* want;
    } cases[] = {
        {"<accepted-long-ago@x>", [](CHistory& h, const char* id) { h.RememberAccepted(id, 1); },
         false, "accepted 1 1"},
        {"<gone-11-days@x>",
         [=](CHistory& h, const char* id) {
             h.RememberAccepted(id, 2);
             h.MarkGone(id, now - 11 * kDay);
         },
         false, "unknown"},
        {"<gone-10-days@x>", [=](CHistory& h, const char* id) { h.MarkGone(id, now - 10 * kDay); },
         false, "gone 7776000 7776000"},
        {"<gone-9-days@x>",
         [=](CHistory& h, const char* id) {
             h.RememberAccepted(id, 3);
             h.MarkGone(id, now - 9 * kDay);
         },
         false, "gone 3 7862400"},
        {"<gone-but-cross-posted@x>",
         [=](CHistory& h, const char* id) {
             h.RememberAccepted(id, 4);
             h.MarkGone(id, now - 20 * kDay);
         },
         true, "accepted 4 4"},
        {"<refused-11-days@x>",
         [=](CHistory& h, const char* id) { h.RememberRefused(id, now - 11 * kDay); }, false,
         "unknown"},
        {"<refused-1-day@x>",
         [=](CHistory& h, const char* id) { h.RememberRefused(id, now - kDay); }, false,
         "refused 8553600 8553600"},
        {"<refused-but-stored@x>",
         [=](CHistory& h, const char* id) { h.RememberRefused(id, now - 30 * kDay); }, true,
         "accepted 6048000 6048000"},
    };
    TempDir dir;
    {
        CHistory history;
        OpenOrFail(history, dir);
        for (const Case& c : cases) c.events(history, c.id);
    }
    AppendBytes(dir / "history", "a line of no use\n");

    CHistory history;
    OpenOrFail(history, dir);
    std::set<std::string> asked;
    std::string error;
    ASSERT_TRUE(history.Compact(
        now, keepDays,
        [&](std::string_view id) {
            asked.insert(std::string(id));
            for (const Case& c : cases)
                if (id == c.id) return c.stillStored;
            return false;
        },
        error))
        << error;
    // Only what would otherwise go is asked about.
    EXPECT_EQ((std::set<std::string>{"<gone-11-days@x>", "<gone-but-cross-posted@x>",
                                     "<refused-11-days@x>", "<refused-but-stored@x>"}),
              asked);
    std::string kept;
    for (int pass = 0; pass < 2; ++pass) {
        for (const Case& c : cases)
            EXPECT_EQ(c.want, Describe(history.Lookup(c.id))) << c.id << " pass " << pass;
        EXPECT_EQ(6u, history.Count());
        kept = ReadAll(dir / "history");
        history.Close();
        OpenOrFail(history, dir);
    }
    // One line per kept Message-ID, in the order of their newest lines.
    EXPECT_EQ(
        "<accepted-long-ago@x>\taccepted\t1\t1\n"
        "<gone-10-days@x>\tgone\t7776000\t7776000\n"
        "<gone-9-days@x>\tgone\t3\t7862400\n"
        "<gone-but-cross-posted@x>\taccepted\t4\t4\n"
        "<refused-1-day@x>\trefused\t8553600\t8553600\n"
        "<refused-but-stored@x>\taccepted\t6048000\t6048000\n",
        kept);
    EXPECT_TRUE(history.RememberAccepted("<after@x>", now));
    EXPECT_EQ("accepted 8640000 8640000", Describe(history.Lookup("<after@x>")));
}

TEST(History, ACrashDuringCompactionLeavesALoadableHistory) {
    TempDir dir;
    const time_t now = 50 * kDay;
    {
        CHistory history;
        OpenOrFail(history, dir);
        for (int n = 0; n < 300; ++n) history.RememberAccepted(Id(n), n);
        for (int n = 0; n < 300; n += 2) history.MarkGone(Id(n), 1000);
    }
    std::filesystem::copy_file(dir / "history.index", dir / "old.index");
    {
        CHistory history;
        OpenOrFail(history, dir);
        std::string error;
        ASSERT_TRUE(history.Compact(now, 10, nullptr, error)) << error;
    }
    // The new log renamed into place, the old index not yet replaced; the
    // temporary files of a later, interrupted compaction still lying about.
    std::filesystem::copy_file(dir / "old.index", dir / "history.index",
                               std::filesystem::copy_options::overwrite_existing);
    WriteFile(dir / "history.new", "<half@x>\taccepted\t1\t1\n<half2@x>\tacc");
    WriteFile(dir / "history.index.new", std::string(5000, 'x'));

    CHistory history;
    OpenOrFail(history, dir);
    EXPECT_FALSE(std::filesystem::exists(dir / "history.new"));
    EXPECT_FALSE(std::filesystem::exists(dir / "history.index.new"));
    EXPECT_EQ(150u, history.Count());
    for (int n = 0; n < 300; ++n)
        EXPECT_EQ(n % 2 ? "accepted " + std::to_string(n) + " " + std::to_string(n) : "unknown",
                  Describe(history.Lookup(Id(n))))
            << n;
    EXPECT_EQ("unknown", Describe(history.Lookup("<half@x>")));
}

TEST(History, GrowsThroughSeveralRehashes) {
    TempDir dir;
    const int count = 30000;  // 4,096 slots at first; 65,536 after four growths
    CHistory history;
    OpenOrFail(history, dir);
    for (int n = 0; n < count; ++n) ASSERT_TRUE(history.RememberAccepted(Id(n), n)) << n;
    EXPECT_EQ(4096 + 65536 * 16, std::filesystem::file_size(dir / "history.index"));
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(static_cast<uint64_t>(count), history.Count());
        for (int n = 0; n < count; ++n)
            ASSERT_EQ(HistoryState::Accepted, history.Lookup(Id(n)).state) << n;
        EXPECT_EQ("unknown", Describe(history.Lookup(Id(count))));
        history.Close();
        OpenOrFail(history, dir);
    }
}

TEST(History, AgreesWithAMapUnderRandomOperations) {
    TempDir dir;
    std::mt19937 random(20240607);
    std::map<std::string, HistoryEntry> model;
    std::set<std::string> stored;  // what the groups hold, for compaction
    CHistory history;
    OpenOrFail(history, dir);
    time_t now = 1000000;
    auto check = [&](const std::string& id, int step) {
        auto it = model.find(id);
        EXPECT_EQ(it == model.end() ? "unknown" : Describe(it->second),
                  Describe(history.Lookup(id)))
            << id << " at step " << step;
    };
    for (int step = 0; step < 4000; ++step) {
        now += static_cast<time_t>(random() % 7200);
        const std::string id = Id(static_cast<int>(random() % 400));
        const int what = static_cast<int>(random() % 400);
        HistoryEntry& entry = model[id];
        if (what < 120) {
            ASSERT_TRUE(history.RememberAccepted(id, now));
            entry = {HistoryState::Accepted, now, now};
            stored.insert(id);
        } else if (what < 200) {
            ASSERT_TRUE(history.RememberRefused(id, now));
            entry = {HistoryState::Refused, now, now};
        } else if (what < 300) {
            ASSERT_TRUE(history.MarkGone(id, now));
            time_t arrived = entry.state == HistoryState::Unknown ? now : entry.arrived;
            entry = {HistoryState::Gone, arrived, now};
            if (random() % 2) stored.erase(id);
        } else if (what < 398) {
            // a lookup only
        } else if (what < 399) {
            history.Close();
            OpenOrFail(history, dir);
        } else {
            if (entry.state == HistoryState::Unknown) model.erase(id);
            const int keepDays = static_cast<int>(random() % 3);
            std::string error;
            ASSERT_TRUE(history.Compact(
                now, keepDays, [&](std::string_view m) { return stored.count(std::string(m)) > 0; },
                error))
                << error;
            for (auto it = model.begin(); it != model.end();) {
                HistoryEntry& e = it->second;
                if (e.state != HistoryState::Accepted && e.changed + keepDays * kDay < now) {
                    if (!stored.count(it->first)) {
                        it = model.erase(it);
                        continue;
                    }
                    e = {HistoryState::Accepted, e.arrived, e.arrived};
                }
                ++it;
            }
        }
        if (auto it = model.find(id);
            it != model.end() && it->second.state == HistoryState::Unknown)
            model.erase(it);
        check(id, step);
    }
    EXPECT_EQ(model.size(), history.Count());
    for (int n = 0; n < 400; ++n) check(Id(n), -1);
}

}  // namespace
