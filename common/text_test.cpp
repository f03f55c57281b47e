// The byte-string helpers and the small file operations every layer builds on.

#include "common/text.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include "common/file_util.h"
#include "common/wildmat.h"
#include "tests/test_support.h"

namespace {

constexpr size_t npos = std::string::npos;

using Fields = std::vector<std::string>;

std::string Show(const Fields& fields) {
    std::string out = "{";
    for (const auto& f : fields) out += "[" + f + "]";
    return out + "}";
}

TEST(SplitFields, DropsEmptyFieldsAndCutsAtAnyDelimiterByte) {
    struct Case {
        std::string text;
        std::string delimiters;
        Fields want;
    } cases[] = {
        {"LIST overview.fmt\r\n", " \t\r\n", {"LIST", "overview.fmt"}},
        {"  a \t\t b  ", " \t", {"a", "b"}},
        {"", " \t", {}},
        {" \t \r\n", " \t\r\n", {}},
        {"abc", ",", {"abc"}},
        {",local.a,,local.b,\r\n", ",\r\n", {"local.a", "local.b"}},
        {"3-", "-", {"3"}},
        {"-5", "-", {"5"}},
        // Order and repetition of the delimiter set do not matter.
        {"a;b,c", ",;,", {"a", "b", "c"}},
        // No quoting: everything between delimiters is taken as it is.
        {"\"a b\"", " ", {"\"a", "b\""}},
        // Shift-JIS text passes whole: no ASCII delimiter is ever a trail byte.
        {"\x95\x5C,\x83\x41", ",", {"\x95\x5C", "\x83\x41"}},
    };
    for (const Case& c : cases) {
        Fields got = {"left over"};
        SplitFields(got, c.text, c.delimiters);
        EXPECT_EQ(Show(c.want), Show(got)) << "text: " << c.text;
    }
}

TEST(ToDecimal, ReadsTheLeadingNumberAndSaturates) {
    struct Case {
        std::string text;
        int want;
    } cases[] = {
        {"42", 42},
        {"007", 7},
        {"  \t-17x", -17},
        {"\r\n\v\f 8", 8},
        {"+5", 5},
        {"12 lines", 12},
        {"8119\r\n", 8119},
        {"3.9", 3},
        {"", 0},
        {"abc", 0},
        {"-", 0},
        {"- 5", 0},
        {"+-5", 0},
        {"0x1", 0},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},
        {"-2147483648", INT_MIN},
        {"-2147483649", INT_MIN},
        {"99999999999999999999999", INT_MAX},
        {"-99999999999999999999999", INT_MIN},
    };
    for (const Case& c : cases) EXPECT_EQ(c.want, ToDecimal(c.text)) << "text: " << c.text;
}

TEST(SjisFindLast, NeverTakesTheSecondByteOfADoubleByteCharacter) {
    // 0x95 0x5C is one double-byte character whose second byte is the
    // backslash; it must not be mistaken for a path separator.
    struct Case {
        std::string text;
        char c;
        size_t want;
    } cases[] = {
        {"a\\b\\c", '\\', 3},
        {"\x95\x5C", '\\', npos},
        {"dir\\\x95\x5C", '\\', 3},
        {"\x95\x5C\\x", '\\', 2},
        {"\x95\x5C\x95\x5C", '\\', npos},
        {"", '\\', npos},
        {"abc", '/', npos},
        // A lead byte followed by a byte that cannot be a trail byte stands
        // alone, so the byte behind it is a character of its own.
        {"\x95\r\n", '\r', 1},
        // A lead byte as the very last byte is a character of its own.
        {"ab\x95", '\x95', 2},
    };
    for (const Case& c : cases) EXPECT_EQ(c.want, SjisFindLast(c.text, c.c)) << "text: " << c.text;
}

TEST(SjisFind, MatchesOnlyAtCharacterBoundaries) {
    struct Case {
        std::string text;
        std::string needle;
        size_t from;
        size_t want;
    } cases[] = {
        {"abcabc", "c", 0, 2},
        {"abcabc", "c", 3, 5},
        {"abcabc", "x", 0, npos},
        {"ab", "abc", 0, npos},
        // "\x83\x41" is one character; the "AB" that starts inside it does not count.
        {"\x83\x41"
         "B",
         "AB", 0, npos},
        {"\x83\x41"
         "AB",
         "AB", 0, 2},
        {"\x95\x5C\r\n", "\\", 0, npos},
        {"\x95\r\n", "\r\n", 0, 1},
        {"x\x95\r\n.\r\n", "\r\n.\r\n", 0, 2},
        {"\r\n.\r\n\r\n.\r\n", "\r\n.\r\n", 1, 5},
        {"\r\n", "\r\n", 3, npos},
        {"abc", "", 2, 2},
        {"abc", "", 4, npos},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.want, SjisFind(c.text, c.needle, c.from))
            << "text: " << c.text << " needle: " << c.needle << " from: " << c.from;
}

TEST(SjisUpper, UpperCasesOnlySingleByteLetters) {
    struct Case {
        std::string text;
        std::string want;
    } cases[] = {
        {"cancel", "CANCEL"},
        {"CaNcEl 1-z", "CANCEL 1-Z"},
        // 0x83 0x61 is one character whose second byte is 'a': left alone.
        {"a\x83\x61z", "A\x83\x61Z"},
        // Half-width katakana and other high single bytes stay as they are.
        {"\xB1\xB2", "\xB1\xB2"},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(c.want, SjisUpper(c.text)) << "text: " << c.text;
}

TEST(SjisTrim, RemovesAsciiWhiteSpaceAtBothEnds) {
    struct Case {
        std::string text;
        std::string want;
    } cases[] = {
        {"  a b \r\n", "a b"},
        {"\t\v\fx\v\f", "x"},
        {" \t\r\n", ""},
        {"", ""},
        {"\x83\x40 ", "\x83\x40"},
        {"x\x95\x5C\t", "x\x95\x5C"},
        // The double-byte ideographic space is not ASCII white space.
        {"\x81\x40"
         "a"
         "\x81\x40",
         "\x81\x40"
         "a"
         "\x81\x40"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.want, SjisTrim(c.text)) << "text: " << c.text;
}

TEST(Wildmat, LastMatchingPatternDecides) {
    struct Case {
        std::string text;
        std::string wildmat;
        bool want;
    } cases[] = {
        {"local.test", "local.test", true},
        {"local.test", "local.", false},
        {"local.test", "local.*", true},
        {"local.test", "*", true},
        {"local.test", "*.test", true},
        {"local.test", "*t*t", true},
        {"local.test", "*x*", false},
        {"local.test", "local.?est", true},
        {"local.test", "local.??est", false},
        {"local.test", "local.[st]est", true},
        {"local.test", "local.[a-s]est", false},
        {"local.test", "local.[^t]est", false},
        {"local.test", "local.[^a-s]est", true},
        {"local.test", "!local.*", false},
        {"local.test", "*,!local.*", false},
        {"local.test", "!local.*,local.test", true},
        {"local.test", "other.*,local.*", true},
        {"", "*", true},
        {"", "", true},
        {"abc", "", false},
        {"abc", "a*d", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.want, Wildmat(c.text, c.wildmat)) << c.text << " against " << c.wildmat;
}

TEST(CreateTempFile, CreatesDistinctEmptyFilesInTmpdir) {
    TempDir dir;
    for (std::string tmpdir : {dir.path(), dir.path() + "/"}) {
        ScopedEnv env("TMPDIR", tmpdir.c_str());
        std::string first, second;
        int a = CreateTempFile(first), b = CreateTempFile(second);
        ASSERT_GE(a, 0) << "TMPDIR=" << tmpdir;
        ASSERT_GE(b, 0) << "TMPDIR=" << tmpdir;
        ::close(a);
        ::close(b);
        EXPECT_NE(first, second);
        for (const std::string& path : {first, second}) {
            EXPECT_EQ(0u, path.rfind(dir.path() + "/qmv", 0)) << path;
            EXPECT_EQ(0, FileSize(path)) << path;
        }
    }
}

TEST(CreateTempFile, FailsWithEmptyPathWhenTheDirectoryIsMissing) {
    TempDir dir;
    ScopedEnv env("TMPDIR", (dir / "missing").c_str());
    std::string path = "stale";
    EXPECT_EQ(-1, CreateTempFile(path));
    EXPECT_EQ("", path);
}

TEST(FileStatus, ReportsMissingPaths) {
    TempDir dir;
    std::vector<std::string> names;
    EXPECT_FALSE(ListDirectory(dir / "missing", names));
    EXPECT_EQ(-1, FileSize(dir / "missing"));
    time_t mtime;
    EXPECT_FALSE(FileModTime(dir / "missing", mtime));

    WriteFile(dir / "7", "abc");
    ASSERT_TRUE(ListDirectory(dir.path(), names));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(Show({".", "..", "7"}), Show(names));
}

}  // namespace
