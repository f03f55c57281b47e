// A posted article received in arbitrary pieces. Wherever the blocks are
// cut, the article ends at the first "\r\n.\r\n", is stored exactly as a
// connection that got it in one block stores it, and what follows the
// terminating line is taken as commands, answered as they would be after a
// post received in one piece.
//
// Input: byte 0 chooses the setting, byte 1 the number of cuts (modulo 32),
// then one byte per cut giving the length of a block (the byte plus one);
// the rest is the stream after the 340 reply, and what the cuts leave of it
// is the last block.
//   bit 0     the standard reader mode
//   bit 1     the stream begins with "Newsgroups: local.general\r\n"
//   bit 2     ... and then with a Message-ID and a Date line
//   bit 3     POST and the first block arrive together (reader mode only)
//   bits 4-6  how much each send takes
//
// The reference connection gets "POST\r\n", the article in one block, and
// then the same blocks after the article as the connection under test. Its
// stored copies must be the article behind the lines the server adds
// (Message-ID, Date, Lines, each only where the article lacks it; in the
// reader mode a Path in front, which replaces the article's own).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "common/text.h"
#include "fuzz/fuzz_support.h"
#include "store/cancel.h"
#include "store/xcontent.h"

namespace {

const CaptureSocket::Budget kBudgets[8] = {
    {0, false},    {1, false}, {3, false}, {61, false},
    {4096, false}, {0, true},  {5, true},  {1000, false},
};

constexpr char kTerminator[] = "\r\n.\r\n";
constexpr char kPost340[] = "340 continue posting!!\r\n";

using Files = std::map<std::string, std::string>;  // "group/name" -> content

Files ListFiles(const FakeServer& server) {
    Files files;
    for (const auto& group : server.m_groups) {
        for (const auto& entry : std::filesystem::directory_iterator(server.GroupDir(*group))) {
            std::string name = entry.path().filename().string();
            if (name == "Message.lst") continue;
            files[group->name + "/" + name] = ReadWholeFile(entry.path().string());
        }
    }
    return files;
}

size_t CountLf(const std::string& text, size_t from = 0) {
    size_t n = 0;
    for (size_t i = from; i < text.size(); ++i) n += text[i] == '\n';
    return n;
}

bool IsDigits(const std::string& s, size_t from, size_t count) {
    if (from + count > s.size()) return false;
    for (size_t i = from; i < from + count; ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

// Removes the first line of `text` if it begins with `name`; false if not.
bool TakeLine(std::string& text, const std::string& name, std::string& line) {
    size_t eol = text.find("\r\n");
    if (text.compare(0, name.size(), name) != 0 || eol == std::string::npos) return false;
    line = text.substr(name.size(), eol - name.size());
    text.erase(0, eol + 2);
    return true;
}

// What the server goes by in an article's header: in the classic mode the
// exact names it parses, in the reader mode every field in any letter case.
struct Header {
    explicit Header(const std::string& article, bool reader) : readerMode(reader) {
        classic.ParseHeader(article);
        ParseHeaderFields(article, fields);
    }
    bool Has(const char* name) const {
        if (readerMode) return fields.Find(name) != nullptr;
        std::string n = name;
        if (n == "Message-ID") return !classic.messageId.empty();
        if (n == "Date") return !classic.date.empty();
        return classic.lines != 0;  // Lines
    }
    bool IsCancel() const {
        if (!readerMode) {
            std::string target;
            return GetCancelTarget(classic, target);
        }
        std::vector<std::string> words;
        const std::string* control = fields.Find("Control");
        if (control) SplitFields(words, *control, " \t");
        return words.size() == 2 && SjisUpper(words[0]) == "CANCEL" && words[1][0] == '<';
    }
    bool readerMode;
    XContent classic;
    HeaderFields fields;
};

constexpr char kPathHost[] = "fuzz.test";

// What of a stored copy is neither generated nor the article: the stored
// copy without the Path, Message-ID and Date lines the server made up.
std::string WithoutGeneratedLines(std::string stored, const Header& h) {
    std::string line;
    if (h.readerMode) {
        const std::string* own = h.fields.Find("Path");
        std::string want = std::string(kPathHost) + "!" + (own ? *own : "not-for-mail");
        FUZZ_CHECK(TakeLine(stored, "Path: ", line) && line == want,
                   "no Path line " + Escaped(want) + " in front: " + Escaped(stored));
    }
    if (!h.Has("Message-ID")) {
        FUZZ_CHECK(TakeLine(stored, "Message-ID: ", line), "no Message-ID line was added");
        size_t at = line.find('@');
        bool good = line.size() >= 4 && line.front() == '<' && line.back() == '>' &&
                    at != std::string::npos;
        if (h.readerMode)
            good = good &&
                   line.compare(at, std::string::npos, std::string("@") + kPathHost + ">") == 0;
        else
            good = good && IsDigits(line, 1, at - 1) && line.size() == at + 16 &&
                   IsDigits(line, at + 1, 14);
        FUZZ_CHECK(good, "a generated Message-ID looks wrong: " + Escaped(line));
    }
    if (h.readerMode && !h.Has("Date"))
        FUZZ_CHECK(TakeLine(stored, "Date: ", line) && !line.empty(), "no Date line was added");
    return stored;
}

// The article's stored copy: the added lines, then the article as received
// (in the reader mode without its own Path line).
void CheckStoredCopy(const std::string& stored, const std::string& article, const Header& h) {
    std::string rest = WithoutGeneratedLines(stored, h);
    if (!h.Has("Lines")) {
        size_t lines = CountLf(article);
        if (h.readerMode) {
            // The body's lines: after the blank line, without the dot line.
            size_t blank = article.find("\r\n\r\n");
            size_t body = blank == std::string::npos ? 0 : CountLf(article, blank + 4);
            lines = body > 0 ? body - 1 : 0;
        }
        std::string want = "Lines: " + std::to_string(lines) + "\r\n";
        FUZZ_CHECK(rest.compare(0, want.size(), want) == 0,
                   "expected " + Escaped(want) + " in front of the article: " + Escaped(stored));
        rest.erase(0, want.size());
    }
    std::string expected = article;
    if (h.readerMode) {
        size_t headerEnd = article.find("\r\n\r\n") + 2;
        expected =
            WithoutHeaderField(article.substr(0, headerEnd), "Path") + article.substr(headerEnd);
    }
    FUZZ_CHECK(rest == expected,
               "stored [" + Escaped(stored) + "] for the article [" + Escaped(article) + "]");
}

struct Run {
    std::string sent;
    Files files;
    int postMode = 0;
};

// Feeds `blocks` after POST; `firstWithPost` sends POST in front of the
// first block instead of alone.
void Drive(FakeServer& server, const std::vector<std::string>& blocks, bool firstWithPost,
           const CaptureSocket::Budget& budget, Run& run,
           const std::vector<std::string>& after = {}) {
    CaptureSocket client(server);
    client.m_budget = budget;
    client.Greet();
    std::vector<std::string> all = blocks;
    if (firstWithPost && !all.empty())
        all.front().insert(0, "POST\r\n");
    else
        all.insert(all.begin(), "POST\r\n");
    for (const std::string& block : all) {
        if (block.empty()) continue;
        client.InputArrived();
        server.StartStackWatch();
        client.HandleReceived(block.data(), block.size());
        server.CheckStack("one received block");
        client.Drain();
    }
    run.postMode = client.InBodyMode();
    run.files = ListFiles(server);
    for (const std::string& block : after) {
        if (block.empty()) continue;
        client.HandleReceived(block.data(), block.size());
        client.Drain();
    }
    run.sent = client.m_strSent;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const std::string& tempDir = PrivateTempDir();
    const uint8_t flags = data[0];
    const bool readerMode = flags & 1;
    size_t cuts = data[1] % 32;
    size_t at = 2;
    std::vector<size_t> lengths;
    for (; lengths.size() < cuts && at < size; ++at) lengths.push_back(data[at] + 1u);

    std::string stream;
    if (flags & 2) stream += "Newsgroups: local.general\r\n";
    if (flags & 4) stream += "Message-ID: <body@fuzz>\r\nDate: Mon, 1 Jan 2024 00:00:00 +0000\r\n";
    stream.append(reinterpret_cast<const char*>(data) + at, size - at);

    std::vector<std::string> blocks;
    size_t pos = 0;
    for (size_t length : lengths) {
        if (pos >= stream.size()) break;
        blocks.push_back(stream.substr(pos, length));
        pos += blocks.back().size();
    }
    if (pos < stream.size()) blocks.push_back(stream.substr(pos));
    const bool firstWithPost = readerMode && (flags & 8);

    FakeServer server;
    server.m_bUseRfc3977 = readerMode;
    const Files before = ListFiles(server);
    Run run;
    Drive(server, blocks, firstWithPost, kBudgets[(flags >> 4) & 7], run);
    FUZZ_CHECK(std::filesystem::is_empty(tempDir), "a posting temporary file was left behind");
    CheckDescriptors(server);
    CheckIndexesRoundTrip(server);

    size_t end = stream.find(kTerminator);
    size_t nul = stream.find('\0');
    const std::string opening = std::string("200 connected!!\r\n") + kPost340;
    if (end == std::string::npos) {
        // A NUL hides what follows it in its block from the search, so only
        // a stream without one is sure to leave the article unfinished.
        if (nul != std::string::npos) return 0;
        FUZZ_CHECK(run.postMode == 1, "an article without its terminating line was finished");
        FUZZ_CHECK(run.sent == opening, "replies before the article ended: " + Escaped(run.sent));
        FUZZ_CHECK(run.files == before, "files changed before the article ended");
        return 0;
    }
    end += std::strlen(kTerminator);
    if (nul < end) return 0;
    const std::string article = stream.substr(0, end);
    const std::string remainder = stream.substr(end);
    const Header h(article, readerMode);

    // The reference: the article in one block, then the rest as the
    // connection under test got it.
    std::vector<std::string> after;
    size_t offset = 0;
    for (const std::string& block : blocks) {
        size_t blockEnd = offset + block.size();
        if (blockEnd > end) after.push_back(block.substr(end > offset ? end - offset : 0));
        offset = blockEnd;
    }
    FakeServer reference;
    reference.m_bUseRfc3977 = readerMode;
    Run ref;
    Drive(reference, {article}, false, CaptureSocket::Budget(), ref, after);
    FUZZ_CHECK(ref.postMode == 0, "the reference did not finish the article");

    Files made;
    for (const auto& [name, content] : ref.files)
        if (!before.count(name)) made[name] = content;
    for (const auto& [name, content] : made) CheckStoredCopy(content, article, h);
    if (!h.IsCancel()) {
        // The reader mode refuses what its checks find wrong with its reason.
        const std::string stored = "240 article posted successfully!!\r\n";
        const std::string refused =
            readerMode ? "441 " : "411 no such news group [" + h.classic.newsgroups + "]!!\r\n";
        FUZZ_CHECK(ref.sent.compare(opening.size(), (made.empty() ? refused : stored).size(),
                                    made.empty() ? refused : stored) == 0,
                   "reply after the article: " + Escaped(ref.sent.substr(opening.size())));
    }

    // Remaining commands that post or depend on the clock would make the two
    // runs differ for reasons of their own.
    std::string upper = SjisUpper(remainder);
    bool remainderRepeats = upper.find("POST") == std::string::npos &&
                            upper.find("DATE") == std::string::npos &&
                            upper.find("NEW") == std::string::npos;
    if (!remainderRepeats) return 0;
    for (const auto& [name, content] : made) {
        auto found = run.files.find(name);
        FUZZ_CHECK(found != run.files.end(), name + " was stored only by the reference");
        FUZZ_CHECK(WithoutGeneratedLines(found->second, h) == WithoutGeneratedLines(content, h),
                   name + " differs from the reference: [" + Escaped(found->second) + "] [" +
                       Escaped(content) + "]");
    }
    bool articleRepeats = h.Has("Message-ID") && !(readerMode && !h.Has("Date"));
    if (!articleRepeats) return 0;
    FUZZ_CHECK(run.sent == ref.sent,
               "replies [" + Escaped(run.sent) + "], reference [" + Escaped(ref.sent) + "]");
    FUZZ_CHECK(ListFiles(server) == ListFiles(reference), "the stores differ from the reference");
    return 0;
}
