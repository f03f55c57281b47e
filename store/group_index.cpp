#include "store/group_index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "common/file_util.h"
#include "common/text.h"

namespace {

void AppendNumber(std::string& out, int value) {
    char digits[16];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

std::string CounterLine(const GroupEntry& group) {
    return Format("%d\t%d\t%d\r\n", group.firstNumber, group.lastNumber, group.articleCount);
}

// One line of the index text: what a text-mode read gives for it (CR LF
// read as LF, and a NUL ending the line there) without its LF.
struct RawLine {
    std::string_view text;    // the line as it is read
    size_t next = 0;          // where the next line starts
    bool terminated = false;  // an LF ends it in the text
};

RawLine NextLine(const char* data, size_t size, size_t pos) {
    RawLine line;
    const void* lf = std::memchr(data + pos, '\n', size - pos);
    size_t end = lf ? static_cast<size_t>(static_cast<const char*>(lf) - data) : size;
    line.next = lf ? end + 1 : size;
    line.terminated = lf != nullptr;
    std::string_view text(data + pos, end - pos);
    if (line.terminated && !text.empty() && text.back() == '\r') text.remove_suffix(1);
    size_t nul = text.find('\0');
    if (nul != std::string_view::npos) text = text.substr(0, nul);
    line.text = text;
    return line;
}

// Reads the index text into `group`. With `mapped`, the text is the group's
// mapped file and entries point into it; otherwise their lines are kept in
// memory. Lines of the wrong shape are skipped.
void ParseIndexText(const char* data, size_t size, GroupEntry& group, bool mapped) {
    bool counterLineSeen = false;
    std::vector<std::string> counterFields;
    size_t lines = 0;
    for (const char *p = data, *end = data + size;
         (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)))); ++p)
        ++lines;
    group.articles.reserve(group.articles.size() + lines);
    IndexFields fields;
    EntryTexts texts;
    for (size_t pos = 0; pos < size;) {
        // Lines are taken whole, however long, so a long subject never turns
        // into stray lines of its own.
        RawLine line = NextLine(data, size, pos);
        pos = line.next;
        if (line.text.empty() || line.text[0] == '#') continue;
        if (!counterLineSeen) {
            counterLineSeen = true;
            SplitFields(counterFields, line.text, "\t");
            if (counterFields.size() == 3) {
                group.firstNumber = ToDecimal(counterFields[0]);
                group.lastNumber = ToDecimal(counterFields[1]);
                group.articleCount = ToDecimal(counterFields[2]);
            }
            continue;
        }
        // Empty fields are kept, so an article without a subject or a date
        // reads back with every later field in its place.
        if (!ParseIndexLine(line.text, fields)) continue;
        // A last line without its LF is read past the end of the file: it is
        // kept in memory instead.
        if (mapped && line.terminated && line.text.data() + line.text.size() < data + size) {
            group.articles.AddMapped(fields.number, line.text.data(),
                                     MessageIdIndex::HashOf(fields.messageId));
            continue;
        }
        texts.subject = fields.subject;
        texts.from = fields.from;
        texts.date = fields.date;
        texts.messageId = fields.messageId;
        texts.references = fields.references;
        group.articles.Add(fields.number, texts, fields.bytes, fields.lines);
    }
}

void AppendCanonicalLine(std::string& out, const ArticleEntry& a) {
    IndexFields f = a.Fields();
    AppendNumber(out, a.number);
    for (std::string_view s : {f.subject, f.from, f.date, f.messageId}) {
        out += '\t';
        out += s;
    }
    out += '\t';
    AppendNumber(out, f.bytes);
    out += '\t';
    AppendNumber(out, f.lines);
    out += '\t';
    out += f.references;
    out += "\r\n";
}

// Whether the file holds exactly what a save would write, compared a line at
// a time: a large index is not written out whole just to be compared.
bool HoldsWhatASaveWrites(const char* data, size_t size, const GroupEntry& group) {
    std::string line = CounterLine(group);
    size_t at = 0;
    auto matches = [&] {
        if (size - at < line.size() || std::memcmp(data + at, line.data(), line.size()) != 0)
            return false;
        at += line.size();
        return true;
    };
    if (!matches()) return false;
    for (const ArticleEntry& article : group.articles) {
        line.clear();
        AppendCanonicalLine(line, article);
        if (!matches()) return false;
    }
    return at == size;
}

int OpenRetry(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do fd = ::open(path, flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

void ParseGroupIndex(const std::string& content, GroupEntry& group) {
    ParseIndexText(content.data(), content.size(), group, false);
}

bool ReadGroupIndex(const std::string& path, GroupEntry& group) {
    int fd = OpenRetry(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return false;
    }
    const bool fresh = group.articles.empty();
    CMappedFile& file = group.articles.File();
    // Only a regular file, read into an empty list, stays mapped; anything
    // else is read and its lines kept in memory.
    if (!fresh || !S_ISREG(st.st_mode) || !file.Map(fd, static_cast<size_t>(st.st_size))) {
        ::close(fd);
        std::string raw;
        if (!ReadFileBytes(path, raw)) return false;
        ParseIndexText(raw.data(), raw.size(), group, false);
        return true;
    }
    ::close(fd);
    ParseIndexText(file.Data(), file.Size(), group, true);
    // When the file is exactly what a save would write, the next save can
    // append to it instead of writing it all again.
    if (HoldsWhatASaveWrites(file.Data(), file.Size(), group)) {
        IndexFileState& state = group.indexFile;
        state.known = true;
        state.entries = group.articles.size();
        state.removals = group.articles.RemovalCount();
        state.size = static_cast<long long>(file.Size());
        state.counterLine = CounterLine(group);
    }
    return true;
}

std::string FormatIndexLine(const ArticleEntry& a) {
    std::string line;
    AppendCanonicalLine(line, a);
    return line;
}

void AppendOverviewLine(std::string& out, const ArticleEntry& a, int number) {
    IndexFields f = a.Fields();
    AppendNumber(out, number);
    for (std::string_view s : {f.subject, f.from, f.date, f.messageId, f.references}) {
        out += '\t';
        out += s;
    }
    out += '\t';
    AppendNumber(out, f.bytes);
    out += '\t';
    AppendNumber(out, f.lines);
    out += "\r\n";
}

std::string FormatGroupIndex(const GroupEntry& group) {
    std::string out = CounterLine(group);
    // Sized up front: a large index would otherwise be copied over and over
    // as it grows.
    size_t size = out.size();
    for (const ArticleEntry& a : group.articles) size += a.Line().size() + 16;
    out.reserve(size);
    for (const ArticleEntry& article : group.articles) AppendCanonicalLine(out, article);
    return out;
}

bool ReplaceFileAtomically(const std::string& path, const std::string& content) {
    std::string tempPath = path + ".tmp";
    int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, content.data(), content.size());
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(tempPath.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) ::unlink(tempPath.c_str());
    return ok;
}

namespace {

bool PwriteAll(int fd, const char* data, size_t size, off_t offset) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::pwrite(fd, data + done, size - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The lines of the entries added since the index was last written: they are
// the last ones of the list, each already an index line with its CR LF.
std::string PendingLines(const GroupEntry& group, size_t first) {
    std::string tail;
    for (size_t i = first; i < group.articles.size(); ++i) {
        tail += group.articles[i].Line();
        tail += "\r\n";
    }
    return tail;
}

// The mapped file grew to `size` through `fd`: the mapping follows, and the
// entries from `first` on read their lines from `offset` on there.
void FollowFile(GroupEntry& group, int fd, size_t size, size_t first, size_t offset) {
    ArticleList& articles = group.articles;
    const char* oldData = nullptr;
    size_t oldSize = articles.File().Size();
    if (!articles.File().Extend(fd, size, oldData)) return;  // the lines stay in memory
    if (oldData) articles.FileMoved(oldData, oldSize);
    articles.MovedToFile(first, offset);
}

// The cheap path: patch the counter line, which has kept its length, then
// append the entries added since the last write. In that order a crash in
// between leaves counters that already count the new articles, so the last
// number is never announced lower than a listed article.
bool AppendToGroupIndex(const std::string& path, GroupEntry& group, const std::string& counter) {
    IndexFileState& state = group.indexFile;
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && st.st_size == state.size;
    if (ok && counter != state.counterLine) {
        ok = PwriteAll(fd, counter.data(), counter.size(), 0);
        // The file no longer matches what was last written.
        if (!ok) state.known = false;
    }
    std::string tail;
    if (ok) {
        tail = PendingLines(group, state.entries);
        ok = PwriteAll(fd, tail.data(), tail.size(), static_cast<off_t>(state.size));
        // A failed append leaves the file as it was: no half-written line to
        // be read as an entry, and the old counters back.
        if (!ok && (::ftruncate(fd, static_cast<off_t>(state.size)) != 0 ||
                    !PwriteAll(fd, state.counterLine.data(), state.counterLine.size(), 0)))
            state.known = false;
    }
    if (ok) {
        size_t newSize = static_cast<size_t>(state.size) + tail.size();
        if (group.articles.File().Mapped())
            FollowFile(group, fd, newSize, state.entries, static_cast<size_t>(state.size));
    }
    if (::close(fd) != 0) ok = false;
    if (!ok) return false;
    state.entries = group.articles.size();
    state.size += static_cast<long long>(tail.size());
    state.counterLine = counter;
    return true;
}

// After a rewrite: the new file is mapped and every entry reads its line
// there, the old mapping and the lines kept in memory let go of.
void MapRewrittenFile(const std::string& path, GroupEntry& group, size_t size, size_t firstLine) {
    ArticleList& articles = group.articles;
    CMappedFile fresh;
    int fd = OpenRetry(path.c_str(), O_RDONLY);
    bool mapped = fd >= 0 && fresh.Map(fd, size);
    if (fd >= 0) ::close(fd);
    if (!mapped) {
        // Rare (no address space left): the lines are kept in memory.
        articles.KeepInMemory();
        articles.File().Unmap();
        return;
    }
    // The entries point into the old mapping until they are pointed at the
    // new one, which reads nothing of the old.
    articles.File() = std::move(fresh);
    articles.MovedToFile(0, firstLine);
}

}  // namespace

bool WriteGroupIndex(const std::string& path, GroupEntry& group) {
    std::string counter = CounterLine(group);
    IndexFileState& state = group.indexFile;
    if (state.known && state.removals == group.articles.RemovalCount() &&
        state.entries <= group.articles.size() && counter.size() == state.counterLine.size() &&
        AppendToGroupIndex(path, group, counter))
        return true;
    std::string content = FormatGroupIndex(group);
    state.known = false;
    if (!ReplaceFileAtomically(path, content)) return false;
    MapRewrittenFile(path, group, content.size(), counter.size());
    state.known = true;
    state.entries = group.articles.size();
    state.removals = group.articles.RemovalCount();
    state.size = static_cast<long long>(content.size());
    state.counterLine = counter;
    return true;
}
