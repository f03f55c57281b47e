// The operation log keeps only its most recent 20 to 30 kilobytes: once it is
// longer than 30720 bytes, the next append first drops the oldest 10240 bytes
// and the rest of the line they cut into.

#include "common/log_text.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/text.h"

namespace {

// Log lines of the given lengths, CR LF included, each starting with its
// index so that a wrong cut shows which line it kept.
std::vector<std::string> MakeLines(const std::vector<size_t>& lengths) {
    std::vector<std::string> lines;
    for (size_t i = 0; i < lengths.size(); ++i) {
        std::string line = Format("L%05zu ", i);
        line.resize(lengths[i] - 2, 'x');
        lines.push_back(line + "\r\n");
    }
    return lines;
}

std::string Join(const std::vector<std::string>& lines, size_t from) {
    std::string out;
    for (size_t i = from; i < lines.size(); ++i) out += lines[i];
    return out;
}

// `count` lines of 32 bytes, with an optional line of another length before
// and after them (0: none).
std::vector<size_t> Lengths(size_t first, size_t count, size_t last = 0) {
    std::vector<size_t> lengths;
    if (first) lengths.push_back(first);
    lengths.insert(lengths.end(), count, 32);
    if (last) lengths.push_back(last);
    return lengths;
}

TEST(AppendLogText, TrimsFromTheFrontOnlyWhenLongerThanTheLimit) {
    struct Case {
        const char* what;
        std::vector<size_t> lengths;
        bool trims;
        size_t firstKept;  // index of the first old line left in the log
    } cases[] = {
        {"exactly 30720 bytes", Lengths(0, 960), false, 0},
        // 959 lines of 32 and one of 33: 30721 bytes, and the cut at 10240
        // falls exactly at the start of line 320, which still goes whole.
        {"30721 bytes, cut at a line start", Lengths(0, 959, 33), true, 321},
        // A first line of 40 bytes puts the cut inside line 319.
        {"cut inside a line", Lengths(40, 959), true, 320},
        // A first line of 12000 bytes goes in one trim with the cut inside it.
        {"first line longer than the cut", Lengths(12000, 600), true, 1},
    };
    for (const Case& c : cases) {
        std::vector<std::string> lines = MakeLines(c.lengths);
        std::string log = Join(lines, 0);
        const std::string entry = "[127.0.0.1/5000] Closed!!\r\n";
        EXPECT_EQ(c.trims, AppendLogText(log, entry)) << c.what;
        EXPECT_EQ(Join(lines, c.firstKept) + entry, log) << c.what;
    }
}

TEST(AppendLogText, LimitIsTestedBeforeTheEntryIsAdded) {
    std::vector<std::string> lines = MakeLines(Lengths(0, 960));
    std::string log = Join(lines, 0);
    EXPECT_FALSE(AppendLogText(log, "first\r\n"));
    EXPECT_EQ(30720u + 7, log.size());
    // Now over the limit: this append trims first, and the first entry,
    // being at the end, survives.
    EXPECT_TRUE(AppendLogText(log, "second\r\n"));
    EXPECT_EQ(Join(lines, 321) + "first\r\nsecond\r\n", log);
}

TEST(AppendLogText, WithoutLineBreaksTheWholeOldTextGoes) {
    // Nothing after the cut ends a line, so the rest of the cut line is all
    // of the remaining text.
    std::string log(30721, 'a');
    EXPECT_TRUE(AppendLogText(log, "new\r\n"));
    EXPECT_EQ("new\r\n", log);

    // The same when the only line breaks lie before the cut.
    log = "early\r\n" + std::string(30714, 'b');
    EXPECT_TRUE(AppendLogText(log, "new\r\n"));
    EXPECT_EQ("new\r\n", log);
}

TEST(AppendLogText, CutInsideADoubleByteCharacterRemovesItsRest) {
    // Line 0 is 10239 bytes of text and then a double-byte character whose
    // first byte is the last one cut, so its second byte is left behind.
    std::string first(10239, 'x');
    first += "\x82\xA0\r\n";
    std::string rest;
    while (first.size() + rest.size() <= 30720) rest += "\x82\xA0\x82\xA2 entry\r\n";
    std::string log = first + rest;
    EXPECT_TRUE(AppendLogText(log, "new\r\n"));
    EXPECT_EQ(rest + "new\r\n", log);
}

TEST(AppendJournalText, DropsEveryCarriageReturnAndNothingElse) {
    struct Case {
        const char* text;
        const char* want;
    } cases[] = {
        {"Create Listen Port[119] !!\r\n", "Create Listen Port[119] !!\n"},
        {"[127.0.0.1/5000] GROUP a\r\n[127.0.0.1/5000] 211 0 0 0 a\r\n",
         "[127.0.0.1/5000] GROUP a\n[127.0.0.1/5000] 211 0 0 0 a\n"},
        {"no line end", "no line end"},
        {"lone\rCR and CR CR LF\r\r\n", "loneCR and CR CR LF\n"},
        {"\r", ""},
        {"bare LF\n", "bare LF\n"},
        {"\x82\xA0\x82\xA2 \t\x1b[0m\r\n", "\x82\xA0\x82\xA2 \t\x1b[0m\n"},
        {"", ""},
    };
    for (const Case& c : cases) {
        std::string out = "kept\n";
        AppendJournalText(out, c.text);
        EXPECT_EQ(std::string("kept\n") + c.want, out) << c.text;
    }
}

TEST(AppendJournalText, LineEndSplitBetweenTwoTextsStillEndsOneEntry) {
    std::string out;
    AppendJournalText(out, "first\r");
    AppendJournalText(out, "\nsecond\r\n");
    EXPECT_EQ("first\nsecond\n", out);
}

}  // namespace
