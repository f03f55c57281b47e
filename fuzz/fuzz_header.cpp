// The article header parser and the header block reader on arbitrary bytes.
// Parsed values go into the tab-separated index and into replies, so none
// may hold CR, LF or TAB or begin or end with white space. The parser must
// look at nothing after the last LF or after the blank line, whatever the
// record held before. ReadHeaderBlock must return the file's 1000-byte
// blocks, each cut at its first NUL, up to the one in which "\r\n\r\n" is
// first seen; parsing that gives what parsing the whole file gives.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "store/xcontent.h"

namespace {

bool IsWhite(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

void CheckValue(const std::string& value, const char* name) {
    FUZZ_CHECK(value.find_first_of("\r\n\t") == std::string::npos,
               std::string(name) + " holds CR, LF or TAB: " + Escaped(value));
    if (value.empty()) return;
    FUZZ_CHECK(!IsWhite(value.front()) && !IsWhite(value.back()),
               std::string(name) + " is not trimmed: " + Escaped(value));
}

std::string Describe(const XContent& h) {
    return Escaped(h.subject) + "|" + Escaped(h.newsgroups) + "|" + Escaped(h.from) + "|" +
           Escaped(h.date) + "|" + Escaped(h.messageId) + "|" + Escaped(h.references) + "|" +
           std::to_string(h.bytes) + "|" + std::to_string(h.lines) + "|" + Escaped(h.control);
}

void CheckSame(const XContent& want, const std::string& text, const char* what) {
    XContent got;
    got.ParseHeader(text);
    FUZZ_CHECK(Describe(got) == Describe(want),
               std::string(what) + ": got " + Describe(got) + ", expected " + Describe(want));
}

// The header block as the rules give it: whole 1000-byte blocks, each up to
// its first NUL, until the result holds "\r\n\r\n".
std::string ExpectedBlock(const std::string& file) {
    std::string result;
    for (size_t at = 0; at < file.size(); at += 1000) {
        std::string block = file.substr(at, 1000);
        result.append(block.c_str());
        if (result.find("\r\n\r\n") != std::string::npos) break;
    }
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ScratchDir dir;
    static XContent reused;
    std::string text(reinterpret_cast<const char*>(data), size);

    XContent h;
    h.ParseHeader(text);
    CheckValue(h.subject, "subject");
    CheckValue(h.newsgroups, "newsgroups");
    CheckValue(h.from, "from");
    CheckValue(h.date, "date");
    CheckValue(h.messageId, "messageId");
    CheckValue(h.references, "references");
    CheckValue(h.control, "control");

    // A record that held the previous input's values parses the same.
    reused.ParseHeader(text);
    FUZZ_CHECK(Describe(reused) == Describe(h), "a reused record kept old values");

    size_t lastLf = text.rfind('\n');
    CheckSame(h, lastLf == std::string::npos ? std::string() : text.substr(0, lastLf + 1),
              "without the bytes after the last LF");
    for (size_t i = text.find("\r\n"); i != std::string::npos; i = text.find("\r\n", i + 1)) {
        if (i > 0 && text[i - 1] != '\n') continue;
        CheckSame(h, text.substr(0, i + 2) + "Subject: after the blank line\r\n",
                  "with other bytes after the blank line");
        break;
    }

    std::string path = dir.Path() + "/article";
    FUZZ_CHECK(WriteWholeFile(path, text), "cannot write " + path);
    std::string block = ReadHeaderBlock(path);
    std::string expected = ExpectedBlock(text);
    FUZZ_CHECK(block == expected,
               "header block [" + Escaped(block) + "], expected [" + Escaped(expected) + "]");
    if (text.find('\0') == std::string::npos)
        CheckSame(h, block, "from the header block instead of the whole file");
    return 0;
}
