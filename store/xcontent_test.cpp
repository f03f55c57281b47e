// The article header parser and the reader that fetches a header block.

#include "store/xcontent.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/test_support.h"

namespace {

// The record's non-empty fields as "name[value]" in declaration order, so a
// value that lands in the wrong field shows.
std::string Describe(const XContent& x) {
    std::string out;
    auto add = [&out](const char* name, const std::string& value) {
        if (!value.empty()) out += std::string(out.empty() ? "" : " ") + name + "[" + value + "]";
    };
    add("subject", x.subject);
    add("newsgroups", x.newsgroups);
    add("from", x.from);
    add("date", x.date);
    add("messageId", x.messageId);
    add("references", x.references);
    if (x.bytes) add("bytes", std::to_string(x.bytes));
    if (x.lines) add("lines", std::to_string(x.lines));
    add("control", x.control);
    return out;
}

TEST(ParseHeader, Headers) {
    struct Case {
        std::string text;
        std::string want;
    } cases[] = {
        {"Date: d\r\nFrom: f\r\nSubject: s\r\nNewsgroups: a,b\r\nReferences: <r>\r\n"
         "Control: cancel <x>\r\nMessage-ID: <m>\r\nBytes: 99\r\nLines: 5\r\n\r\n",
         "subject[s] newsgroups[a,b] from[f] date[d] messageId[<m>] references[<r>] bytes[99] "
         "lines[5] control[cancel <x>]"},
        {"", ""},
        {"\r\n", ""},
        {"Subject:\r\n\r\n", ""},
        {"Subject:x\r\n\r\n", "subject[x]"},
        // Folding: the line break and the indentation become blanks.
        {"Subject: one\r\n\ttwo\r\n\r\n", "subject[one  two]"},
        {"Subject: one\r\n two\r\n\r\n", "subject[one  two]"},
        {"References: <a>\r\n <b>\r\n <c>\r\n\r\n", "references[<a>  <b>  <c>]"},
        // Of a repeated header the last one wins, and a continuation line
        // extends the latest one.
        {"Subject: a\r\nSubject: b\r\n c\r\n\r\n", "subject[b  c]"},
        {"Subject: a\r\n more\r\nSubject: b\r\n\r\n", "subject[b]"},
        // Names are exact and case-sensitive, at the very first byte.
        {"Message-Id: <m>\r\nmessage-id: <n>\r\nSUBJECT: s\r\n\r\n", ""},
        {" Subject: s\r\n\r\n", ""},
        {"From: f\r\n Subject: s\r\n\r\n", "from[f  Subject: s]"},
        // Continuations of an unrecognised header are dropped, never glued to
        // an earlier recognised one.
        {"X-Foo: bar\r\n baz\r\nSubject: s\r\n\r\n", "subject[s]"},
        {"Subject: s\r\nX-Foo: bar\r\n baz\r\n\r\n", "subject[s]"},
        // A bare LF line is not the end of the header, but it is no
        // continuation either.
        {"Subject: s\r\n\n more\r\nFrom: f\r\n\r\n", "subject[s] from[f]"},
        // With bare LF line ends the header never ends: body lines that look
        // like headers are taken too.
        {"Subject: s\nFrom: f\n\nSubject: body\n", "subject[body] from[f]"},
        // The blank line ends the header.
        {"Subject: s\r\n\r\nFrom: body\r\n", "subject[s]"},
        // A last line without its line end is never looked at.
        {"Subject: s\r\nFrom: f", "subject[s]"},
        {"Subject: s\r\n\tmore", "subject[s]"},
        {"Lines: 12 lines\r\n\r\n", "lines[12]"},
        {"Lines: abc\r\n\r\n", ""},
        {"Lines: 3\r\n 4\r\nSubject: s\r\n\r\n", "subject[s] lines[3]"},
        {"Bytes: -7\r\n\r\n", "bytes[-7]"},
        {"Lines: 1\r\nLines: 0\r\n\r\n", ""},
        {"Subject: a\tb\r\n\r\n", "subject[a b]"},
        {"Subject: \t  spaced out \t\v\f \r\n\r\n", "subject[spaced out]"},
        {"Newsgroups: a, b\r\n\r\n", "newsgroups[a, b]"},
        {"Subject: \x95\x5C\x8E\xA6\r\n\r\n", "subject[\x95\x5C\x8E\xA6]"},
        {"Control: cancel\t<x>\r\n\r\n", "control[cancel <x>]"},
    };
    for (const Case& c : cases) {
        XContent x;
        x.ParseHeader(c.text);
        EXPECT_EQ(c.want, Describe(x)) << "text: " << c.text;
    }
}

TEST(ParseHeader, EachParseStartsFromAnEmptyRecord) {
    XContent x;
    x.ParseHeader("Subject: s\r\nLines: 4\r\nControl: cancel <x>\r\n\r\n");
    x.ParseHeader("From: f\r\n\r\n");
    EXPECT_EQ("from[f]", Describe(x));
}

TEST(NormalizeValue, RemovesCrAndBlanksLfAndTab) {
    struct Case {
        std::string value;
        std::string want;
    } cases[] = {
        {"a\r\nb", "a b"},    {"\t", " "}, {"\r\r", ""},
        {"x\ny\tz", "x y z"}, {"", ""},    {"\x95\x5C\t", "\x95\x5C "},
    };
    for (const Case& c : cases) {
        std::string value = c.value;
        NormalizeValue(value);
        EXPECT_EQ(c.want, value) << "value: " << c.value;
    }
}

TEST(ReadHeaderBlock, ReadsAnArticleFile) {
    const std::string path = MARROWBY_TEST_DATA "/articles/folded.txt";
    std::ifstream in(path, std::ios::binary);
    const std::string whole((std::istreambuf_iterator<char>(in)), {});
    ASSERT_FALSE(whole.empty());
    const std::string block = ReadHeaderBlock(path);
    EXPECT_EQ(whole, block);

    XContent x;
    x.ParseHeader(block);
    EXPECT_EQ(
        "subject[Meeting notes  for Tuesday] newsgroups[local.general, local.staff] "
        "from[alice <alice@example>] date[Tue, 5 Mar 2024 09:30:00 +0900] "
        "messageId[<20240305093000.1@example>] references[<a@example>  <b@example>] lines[3]",
        Describe(x));
}

TEST(ReadHeaderBlock, StopsAtTheBlockThatCompletesTheBlankLine) {
    // The header's end "\r\n\r\n" starts at `at`; blocks are 1000 bytes, so
    // when it straddles the first block boundary the second block is read too.
    struct Case {
        size_t at;
        size_t want;
    } cases[] = {
        {20, 1000},  {996, 1000},  {997, 2000},  {998, 2000},
        {999, 2000}, {1000, 2000}, {2996, 3000}, {2997, 3500},
    };
    TempDir dir;
    for (const Case& c : cases) {
        std::string file = "Subject: s\r\nX-Pad: ";
        file.resize(c.at, 'h');
        file += "\r\n\r\n";
        file.resize(3500, 'b');
        const std::string path = dir / "article";
        WriteFile(path, file);
        EXPECT_EQ(file.substr(0, c.want), ReadHeaderBlock(path)) << "blank line at " << c.at;
    }
}

TEST(ReadHeaderBlock, WithoutABlankLineReadsTheWholeFile) {
    TempDir dir;
    std::string file;
    while (file.size() < 2500) file += "X-Line: no blank line here\r\n";
    WriteFile(dir / "article", file);
    EXPECT_EQ(file, ReadHeaderBlock(dir / "article"));

    WriteFile(dir / "empty", "");
    EXPECT_EQ("", ReadHeaderBlock(dir / "empty"));
}

TEST(ReadHeaderBlock, NulCutsItsBlock) {
    TempDir dir;
    std::string first = "Subject: s\r\nX-Pad: ";
    first += '\0';
    first.resize(1000, 'h');
    const std::string second = "x\r\nFrom: f\r\n\r\nbody\r\n.\r\n";
    WriteFile(dir / "article", first + second);
    const std::string block = ReadHeaderBlock(dir / "article");
    EXPECT_EQ("Subject: s\r\nX-Pad: " + second, block);
}

TEST(ReadHeaderBlock, MissingFileGivesAnEmptyRecord) {
    TempDir dir;
    const std::string block = ReadHeaderBlock(dir / "missing");
    EXPECT_EQ("", block);
    XContent x;
    x.subject = "stale";
    x.ParseHeader(block);
    EXPECT_EQ("", Describe(x));
}

// Every field as "name[value]", then what follows the header.
std::string DescribeFields(const HeaderFields& h) {
    std::string out;
    for (const HeaderField& f : h.fields) out += f.name + "[" + f.value + "] ";
    out += h.ended ? "| body" : "| no end";
    if (!h.badLine.empty()) out += " bad[" + h.badLine + "]";
    return out;
}

TEST(ParseHeaderFields, KeepsEveryFieldAndFindsTheBody) {
    struct Case {
        std::string text;
        std::string fields;  // DescribeFields without the body part
        std::string body;    // text from bodyOffset on
        bool bodyEmpty;
    } cases[] = {
        {"Subject: s\r\nFrom: f\r\n\r\nbody\r\n.\r\n", "Subject[s] From[f] | body", "body\r\n.\r\n",
         false},
        // Unfolding removes the line breaks only; blanks around are trimmed.
        {"Subject:  one\r\n\ttwo\r\n three \r\n\r\n", "Subject[one\ttwo three] | body", "", true},
        // Repeats stay, in order and as written.
        {"subject: a\r\nSUBJECT: b\r\nX-A: 1\r\n\r\n", "subject[a] SUBJECT[b] X-A[1] | body", "",
         true},
        {"X-Empty:\r\nX-Blank: \t \r\n\r\n", "X-Empty[] X-Blank[] | body", "", true},
        {"Subject: s\n\nbody\n", "Subject[s] | body", "body\n", false},
        {"Subject: \xe3\x81\x82 \x95\x5C\r\n\r\n", "Subject[\xe3\x81\x82 \x95\x5C] | body", "",
         true},
        // No blank line: the header never ended; a last line without its LF
        // is taken all the same.
        {"Subject: s\r\n", "Subject[s] | no end", "", true},
        {"Subject: s\r\nFrom: f", "Subject[s] From[f] | no end", "", true},
        {"\r\nbody\r\n", "| body", "body\r\n", false},
        // Blank lines and the terminating line are no body; a dot-stuffed
        // line or a "." before the end is.
        {"Subject: s\r\n\r\n\r\n \t\r\n.\r\n", "Subject[s] | body", "\r\n \t\r\n.\r\n", true},
        {"Subject: s\r\n\r\n.\r\n", "Subject[s] | body", ".\r\n", true},
        {"Subject: s\r\n\r\n.", "Subject[s] | body", ".", true},
        {"Subject: s\r\n\r\n..\r\n.\r\n", "Subject[s] | body", "..\r\n.\r\n", false},
        {"Subject: s\r\n\r\n.\r\nmore\r\n", "Subject[s] | body", ".\r\nmore\r\n", false},
        // Lines that are no field are reported; their continuations are
        // dropped, never glued to another field.
        {"No colon here\r\n more\r\nSubject: s\r\n\r\n", "Subject[s] | body bad[No colon here]", "",
         true},
        {"Subject : s\r\n\r\n", "| body bad[Subject : s]", "", true},
        {"Subject:s\r\n\r\n", "| body bad[Subject:s]", "", true},
        {" early\r\nSubject: s\r\n\r\n", "Subject[s] | body bad[ early]", "", true},
        {"Subject: a\rb\r\n\r\n", "| body bad[Subject: a\rb]", "", true},
        {std::string("Subject: a\0b\r\n\r\n", 16),
         "| body bad[" + std::string("Subject: a\0b", 12) + "]", "", true},
        {"X-\x95\x5C: v\r\nFrom: f\r\n\r\n", "From[f] | body bad[X-\x95\x5C: v]", "", true},
        {"From: f\r\n\tgood\r\nBad\r\n\tdropped\r\n\r\n", "From[f\tgood] | body bad[Bad]", "",
         true},
    };
    for (const Case& c : cases) {
        HeaderFields h;
        h.badLine = "stale";
        ParseHeaderFields(c.text, h);
        EXPECT_EQ(c.fields, DescribeFields(h)) << "text: " << c.text;
        EXPECT_EQ(c.body, c.text.substr(h.bodyOffset)) << "text: " << c.text;
        EXPECT_EQ(c.bodyEmpty, h.bodyEmpty) << "text: " << c.text;
    }
}

TEST(ParseHeaderFields, FindsAndCountsNamesInAnyLetterCase) {
    HeaderFields h;
    ParseHeaderFields("Message-Id: <a@b>\r\nmessage-ID: <c@d>\r\nSubject: s\r\n\r\n", h);
    ASSERT_NE(nullptr, h.Find("MESSAGE-ID"));
    EXPECT_EQ("<a@b>", *h.Find("MESSAGE-ID"));
    EXPECT_EQ(2, h.Count("Message-ID"));
    EXPECT_EQ(1, h.Count("subject"));
    EXPECT_EQ(0, h.Count("Subjec"));
    EXPECT_EQ(nullptr, h.Find("From"));
}

}  // namespace
