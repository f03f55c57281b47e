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
#include "store/file_sync.h"
#include "store/save_record.h"

namespace {

// Cuts an article line at every TAB, keeping empty fields, into at most
// `capacity` views; returns the number of fields (more than `capacity` when
// the line has too many).
size_t CutAtTabs(std::string_view line, std::string_view* fields, size_t capacity) {
    size_t count = 0;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        std::string_view field = line.substr(
            start, tab == std::string_view::npos ? std::string_view::npos : tab - start);
        if (count < capacity) fields[count] = field;
        ++count;
        if (tab == std::string_view::npos) return count;
        start = tab + 1;
    }
}

}  // namespace

void ParseGroupIndex(const std::string& content, GroupEntry& group) {
    bool counterLineSeen = false;
    std::vector<std::string> counterFields;
    std::string_view fields[9];
    size_t lines = 0;
    for (const char *p = content.data(), *end = p + content.size();
         (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)))); ++p)
        ++lines;
    group.articles.reserve(group.articles.size() + lines);
    size_t pos = 0;
    while (pos < content.size()) {
        // Lines are taken whole, however long, so a long subject never turns
        // into stray lines of its own.
        size_t lf = content.find('\n', pos);
        size_t end = (lf == std::string::npos) ? content.size() : lf + 1;
        std::string_view line(content.data() + pos, end - pos);
        pos = end;
        size_t nul = line.find('\0');
        if (nul != std::string_view::npos) line = line.substr(0, nul);
        if (line.empty() || line[0] == '#' || line[0] == '\n') continue;
        if (!counterLineSeen) {
            counterLineSeen = true;
            SplitFields(counterFields, line, "\t");
            if (counterFields.size() == 3) {
                group.firstNumber = ToDecimal(counterFields[0]);
                group.lastNumber = ToDecimal(counterFields[1]);
                group.articleCount = ToDecimal(counterFields[2]);
            }
            continue;
        }
        if (line.back() == '\n') line.remove_suffix(1);
        // Empty fields are kept, so an article without a subject or a date
        // reads back with every later field in its place.
        size_t count = CutAtTabs(line, fields, 9);
        if (count != 7 && count != 8) continue;
        auto article = std::make_unique<ArticleEntry>();
        article->number = ToDecimal(fields[0]);
        article->SetText(fields[1], fields[2], fields[3], fields[4],
                         count == 8 ? fields[7] : std::string_view());
        article->bytes = ToDecimal(fields[5]);
        article->lines = ToDecimal(fields[6]);
        group.articles.push_back(std::move(article));
    }
}

static void AppendIndexLine(std::string& out, const ArticleEntry& a);

// FormatGroupIndex(group) == raw, a line at a time: a large index is not
// written out whole just to be compared.
static bool HoldsWhatASaveWrites(const std::string& raw, const GroupEntry& group) {
    std::string line =
        Format("%d\t%d\t%d\r\n", group.firstNumber, group.lastNumber, group.articleCount);
    size_t at = 0;
    auto matches = [&] {
        if (raw.compare(at, line.size(), line) != 0) return false;
        at += line.size();
        return true;
    };
    if (!matches()) return false;
    for (const auto& article : group.articles) {
        line.clear();
        AppendIndexLine(line, *article);
        if (!matches()) return false;
    }
    return at == raw.size();
}

bool ReadGroupIndex(const std::string& path, GroupEntry& group) {
    std::string raw;
    if (!ReadFileBytes(path, raw)) return false;
    std::string content = raw;
    FoldLineEnds(content);
    bool fresh = group.articles.empty();
    ParseGroupIndex(content, group);
    content = std::string();
    // When the file is exactly what a save would write, the next save can
    // append to it instead of writing it all again.
    if (fresh && HoldsWhatASaveWrites(raw, group)) {
        IndexFileState& state = group.indexFile;
        state.known = true;
        state.entries = group.articles.size();
        state.removals = group.articles.RemovalCount();
        state.size = static_cast<long long>(raw.size());
        state.counterLine = raw.substr(0, raw.find('\n') + 1);
    }
    return true;
}

namespace {

void AppendNumber(std::string& out, int value) {
    char digits[16];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

}  // namespace

static void AppendIndexLine(std::string& out, const ArticleEntry& a) {
    AppendNumber(out, a.number);
    for (std::string_view s : {a.Subject(), a.From(), a.Date(), a.MessageId()}) {
        out += '\t';
        out += s;
    }
    out += '\t';
    AppendNumber(out, a.bytes);
    out += '\t';
    AppendNumber(out, a.lines);
    out += '\t';
    out += a.References();
    out += "\r\n";
}

std::string FormatIndexLine(const ArticleEntry& a) {
    std::string line;
    AppendIndexLine(line, a);
    return line;
}

void AppendOverviewLine(std::string& out, const ArticleEntry& a, int number) {
    AppendNumber(out, number);
    for (std::string_view s : {a.Subject(), a.From(), a.Date(), a.MessageId(), a.References()}) {
        out += '\t';
        out += s;
    }
    out += '\t';
    AppendNumber(out, a.bytes);
    out += '\t';
    AppendNumber(out, a.lines);
    out += "\r\n";
}

std::string FormatGroupIndex(const GroupEntry& group) {
    std::string out =
        Format("%d\t%d\t%d\r\n", group.firstNumber, group.lastNumber, group.articleCount);
    // Sized up front: a large index would otherwise be copied over and over
    // as it grows.
    size_t size = out.size();
    for (const auto& a : group.articles)
        size += 40 + a->Subject().size() + a->From().size() + a->Date().size() +
                a->MessageId().size() + a->References().size();
    out.reserve(size);
    for (const auto& article : group.articles) AppendIndexLine(out, *article);
    return out;
}

bool ReplaceFileAtomically(const std::string& path, const std::string& content) {
    std::string tempPath = path + ".tmp";
    int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const char* data = content.data();
    size_t left = content.size();
    bool ok = true;
    while (left > 0) {
        ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(tempPath.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) ::unlink(tempPath.c_str());
    return ok;
}

namespace {

std::string TempPathOf(const std::string& path) {
    return path + ".tmp";
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates (or empties) the file at `path` and writes `content` into it, on
// disk before the call returns when `sync` is given. On failure the file is
// removed again.
bool WriteNewFile(const std::string& path, std::string_view content, IFileSync* sync) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = PwriteAll(fd, content.data(), content.size(), 0) && (!sync || sync->SyncData(fd));
    if (::close(fd) != 0) ok = false;
    if (!ok) ::unlink(path.c_str());
    return ok;
}

}  // namespace

void AbandonIndexWrite(IndexWrite& write) {
    if (write.whole) ::unlink(TempPathOf(write.path).c_str());
    if (write.fd >= 0) ::close(write.fd);
    write.fd = -1;
}

IndexWrite PlanIndexWrite(const std::string& path, GroupEntry& group) {
    std::string counter =
        Format("%d\t%d\t%d\r\n", group.firstNumber, group.lastNumber, group.articleCount);
    IndexFileState& state = group.indexFile;
    IndexWrite write;
    write.path = path;
    if (state.known && state.removals == group.articles.RemovalCount() &&
        state.entries <= group.articles.size() && counter.size() == state.counterLine.size()) {
        write.whole = false;
        write.oldSize = state.size;
        write.oldCounterLine = state.counterLine;
        write.counterLine = counter;
        for (size_t i = state.entries; i < group.articles.size(); ++i)
            AppendIndexLine(write.bytes, *group.articles[i]);
        state.entries = group.articles.size();
        state.size += static_cast<long long>(write.bytes.size());
        state.counterLine = counter;
        return write;
    }
    write.bytes = FormatGroupIndex(group);
    state.known = true;
    state.entries = group.articles.size();
    state.removals = group.articles.RemovalCount();
    state.size = static_cast<long long>(write.bytes.size());
    state.counterLine = counter;
    return write;
}

bool MergeIndexWrites(IndexWrite& write, IndexWrite next) {
    if (next.path != write.path) return false;
    if (next.whole) {
        write = std::move(next);
        return true;
    }
    long long end = static_cast<long long>(write.bytes.size()) + (write.whole ? 0 : write.oldSize);
    if (next.oldSize != end) return false;
    if (write.whole) {
        // The new file is not written yet: it takes the lines and counters
        // itself.
        if (write.bytes.compare(0, next.oldCounterLine.size(), next.oldCounterLine) != 0)
            return false;
        write.bytes.replace(0, next.counterLine.size(), next.counterLine);
    } else {
        write.counterLine = std::move(next.counterLine);
    }
    write.bytes += next.bytes;
    return true;
}

bool PrepareIndexWrite(IndexWrite& write, IFileSync* sync) {
    if (write.whole) return WriteNewFile(TempPathOf(write.path), write.bytes, sync);
    if (write.Empty()) return true;
    write.fd = ::open(write.path.c_str(), O_WRONLY | O_CLOEXEC);
    if (write.fd < 0) return false;
    struct stat st;
    if (::fstat(write.fd, &st) == 0 && st.st_size == write.oldSize) return true;
    AbandonIndexWrite(write);
    return false;
}

bool CommitIndexWrite(IndexWrite& write, IFileSync* sync, bool* undone) {
    if (undone) *undone = false;
    if (write.whole) {
        const std::string temp = TempPathOf(write.path);
        if (::rename(temp.c_str(), write.path.c_str()) != 0) {
            ::unlink(temp.c_str());
            if (undone) *undone = true;
            return false;
        }
        return !sync || sync->SyncDirectory(DirectoryOf(write.path));
    }
    if (write.Empty()) return true;
    const int fd = write.fd;
    write.fd = -1;
    // The lines first, then the counters: whatever a crash interrupts here,
    // the record holds both.
    bool ok = PwriteAll(fd, write.bytes.data(), write.bytes.size(), write.oldSize) &&
              (write.counterLine == write.oldCounterLine ||
               PwriteAll(fd, write.counterLine.data(), write.counterLine.size(), 0)) &&
              (!sync || sync->SyncData(fd));
    // A failed append is taken back: no half-written line to be read as an
    // entry, and the old counters. Only when that fails too is the record
    // needed at the next start.
    bool back = !ok && ::ftruncate(fd, static_cast<off_t>(write.oldSize)) == 0 &&
                PwriteAll(fd, write.oldCounterLine.data(), write.oldCounterLine.size(), 0);
    if (::close(fd) != 0) ok = false;
    if (undone) *undone = back;
    return ok;
}

bool ApplyIndexWrite(IndexWrite& write, CSaveRecord* record) {
    if (!PrepareIndexWrite(write, nullptr)) return false;
    // Also for a whole file: the record must not hold an append left over
    // from an earlier failure, to be carried out on the new file.
    if (record && !record->Write({&write}, nullptr)) {
        AbandonIndexWrite(write);
        return false;
    }
    bool undone = false;
    bool ok = CommitIndexWrite(write, nullptr, &undone);
    if (record && (ok || undone)) record->Clear();
    return ok;
}

bool WriteGroupIndex(const std::string& path, GroupEntry& group, CSaveRecord* record) {
    IndexWrite write = PlanIndexWrite(path, group);
    if (ApplyIndexWrite(write, record)) return true;
    group.indexFile.known = false;
    if (write.whole) return false;
    // The file was not as the plan saw it (changed or removed by hand):
    // write it whole.
    write = PlanIndexWrite(path, group);
    if (ApplyIndexWrite(write, record)) return true;
    group.indexFile.known = false;
    return false;
}
