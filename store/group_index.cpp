#include "store/group_index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "common/file_util.h"
#include "common/text.h"
#include "store/file_sync.h"

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

bool PwriteAll(int fd, std::string_view data, off_t offset) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n =
            ::pwrite(fd, data.data() + done, data.size() - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool PreadAll(int fd, std::string& out, size_t size, off_t offset) {
    out.resize(size);
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::pread(fd, out.data() + done, size - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

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
    bool ok = PwriteAll(fd, content, 0) && (!sync || sync->SyncData(fd));
    if (::close(fd) != 0) ok = false;
    if (!ok) ::unlink(path.c_str());
    return ok;
}

// The save record: a header line naming the size of the file the save goes
// to, the lengths of the counter line and of the new lines, and a hash over
// both; then the counter line and the lines. A record whose length or hash
// does not match was cut short (or never reached the disk whole) and is not
// used.
constexpr char kRecordMagic[] = "MARROWBY-SAVE-RECORD 1";

uint64_t RecordHash(long long oldSize, std::string_view counter, std::string_view lines) {
    uint64_t seed =
        XXH3_64bits_withSeed(counter.data(), counter.size(), static_cast<uint64_t>(oldSize));
    return XXH3_64bits_withSeed(lines.data(), lines.size(), seed);
}

std::string EncodeSaveRecord(const IndexWrite& write) {
    std::string record = Format(
        "%s %lld %zu %zu %016llx\n", kRecordMagic, write.oldSize, write.counterLine.size(),
        write.bytes.size(),
        static_cast<unsigned long long>(RecordHash(write.oldSize, write.counterLine, write.bytes)));
    record += write.counterLine;
    record += write.bytes;
    return record;
}

// Reads a whole record back into `write` (oldSize, counterLine, bytes).
bool DecodeSaveRecord(const std::string& record, IndexWrite& write) {
    size_t lf = record.find('\n');
    if (lf == std::string::npos || lf > 200) return false;
    std::string header = record.substr(0, lf);
    char magic[32] = {};
    long long oldSize = -1;
    size_t counterSize = 0, linesSize = 0;
    unsigned long long hash = 0;
    int consumed = 0;
    if (std::sscanf(header.c_str(), "%31s 1 %lld %zu %zu %16llx%n", magic, &oldSize, &counterSize,
                    &linesSize, &hash, &consumed) != 5 ||
        static_cast<size_t>(consumed) != header.size() ||
        header.compare(0, std::strlen(kRecordMagic), kRecordMagic) != 0 || oldSize < 0 ||
        counterSize < 2 || record.size() - lf - 1 != counterSize + linesSize)
        return false;
    std::string_view counter(record.data() + lf + 1, counterSize);
    std::string_view lines(record.data() + lf + 1 + counterSize, linesSize);
    if (RecordHash(oldSize, counter, lines) != hash || counter.substr(counterSize - 2) != "\r\n" ||
        counter.find('\n') != counterSize - 1)
        return false;
    write.whole = false;
    write.oldSize = oldSize;
    write.counterLine = std::string(counter);
    write.bytes = std::string(lines);
    return true;
}

}  // namespace

std::string SaveRecordPath(const std::string& indexPath) {
    return indexPath + ".rec";
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
    const std::string record = SaveRecordPath(write.path);
    if (write.whole) {
        // A record left by an append that failed belongs to the file about
        // to be replaced; carried out on the new one, it would spoil it.
        if (::unlink(record.c_str()) != 0 && errno != ENOENT) return false;
        return WriteNewFile(TempPathOf(write.path), write.bytes, sync);
    }
    if (write.Empty()) return true;
    write.fd = ::open(write.path.c_str(), O_WRONLY | O_CLOEXEC);
    if (write.fd < 0) return false;
    struct stat st;
    if (::fstat(write.fd, &st) == 0 && st.st_size == write.oldSize &&
        WriteNewFile(record, EncodeSaveRecord(write), sync))
        return true;
    ::close(write.fd);
    write.fd = -1;
    return false;
}

bool CommitIndexWrite(IndexWrite& write, IFileSync* sync) {
    if (write.whole) {
        const std::string temp = TempPathOf(write.path);
        if (::rename(temp.c_str(), write.path.c_str()) != 0) {
            ::unlink(temp.c_str());
            return false;
        }
        return !sync || sync->SyncDirectory(DirectoryOf(write.path));
    }
    if (write.Empty()) return true;
    const int fd = write.fd;
    write.fd = -1;
    // The lines first, then the counters: whatever a crash interrupts here,
    // the record holds both.
    bool ok = PwriteAll(fd, write.bytes, static_cast<off_t>(write.oldSize)) &&
              (write.counterLine == write.oldCounterLine || PwriteAll(fd, write.counterLine, 0)) &&
              (!sync || sync->SyncData(fd));
    // A failed append is taken back: no half-written line to be read as an
    // entry, and the old counters. Only when that fails too does the record
    // stay, for the next start.
    bool undone = !ok && ::ftruncate(fd, static_cast<off_t>(write.oldSize)) == 0 &&
                  PwriteAll(fd, write.oldCounterLine, 0);
    if (::close(fd) != 0) ok = false;
    if (ok || undone) ::unlink(SaveRecordPath(write.path).c_str());
    return ok;
}

bool ApplyIndexWrite(IndexWrite& write) {
    return PrepareIndexWrite(write, nullptr) && CommitIndexWrite(write, nullptr);
}

bool WriteGroupIndex(const std::string& path, GroupEntry& group) {
    IndexWrite write = PlanIndexWrite(path, group);
    if (ApplyIndexWrite(write)) return true;
    group.indexFile.known = false;
    if (write.whole) return false;
    // The file was not as the plan saw it (changed or removed by hand):
    // write it whole.
    write = PlanIndexWrite(path, group);
    if (ApplyIndexWrite(write)) return true;
    group.indexFile.known = false;
    return false;
}

SaveRecovery RecoverIndexSave(const std::string& indexPath, IFileSync* sync) {
    const std::string recordPath = SaveRecordPath(indexPath);
    std::string record;
    // Looked for before it is opened: a start-up without a record (every
    // start after a clean shutdown) opens nothing of the name.
    if (!FileExists(recordPath) || !ReadFileBytes(recordPath, record)) return SaveRecovery::None;
    IndexWrite write;
    int fd = -1;
    struct stat st;
    std::string first;
    // The save it describes went to a file of its old size; a file of any
    // size from there to the size the save gives may hold part of it. The
    // counter line it patches must have the record's length.
    bool usable = DecodeSaveRecord(record, write) &&
                  (fd = ::open(indexPath.c_str(), O_RDWR | O_CLOEXEC)) >= 0 &&
                  ::fstat(fd, &st) == 0 && st.st_size >= write.oldSize &&
                  st.st_size <= write.oldSize + static_cast<long long>(write.bytes.size()) &&
                  PreadAll(fd, first, write.counterLine.size(), 0) &&
                  first.find('\n') == first.size() - 1;
    if (!usable) {
        if (fd >= 0) ::close(fd);
        ::unlink(recordPath.c_str());
        return SaveRecovery::Discarded;
    }
    bool ok = PwriteAll(fd, write.bytes, static_cast<off_t>(write.oldSize)) &&
              ::ftruncate(fd, static_cast<off_t>(write.oldSize + write.bytes.size())) == 0 &&
              PwriteAll(fd, write.counterLine, 0) && (!sync || sync->SyncData(fd));
    if (::close(fd) != 0) ok = false;
    if (!ok) return SaveRecovery::Failed;
    ::unlink(recordPath.c_str());
    return SaveRecovery::Completed;
}
