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
#include "store/save_record.h"

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

// Reads the index text into `group`, from `from` on. With `mapped`, the text
// is the group's mapped file and entries point into it; otherwise their lines
// are kept in memory. Lines of the wrong shape are skipped. The first line
// that is not skipped is the counter line, unless `counterLineSeen`.
void ParseIndexText(const char* data, size_t size, GroupEntry& group, bool mapped, size_t from = 0,
                    bool counterLineSeen = false) {
    std::vector<std::string> counterFields;
    size_t lines = 0;
    for (const char *p = data + from, *end = data + size;
         (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)))); ++p)
        ++lines;
    group.articles.reserve(group.articles.size() + lines);
    IndexFields fields;
    EntryTexts texts;
    for (size_t pos = from; pos < size;) {
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

// --- the sidecar ------------------------------------------------------------------
// Message.lst.idx keeps what the entries of a large index need (number, hash
// of the Message-ID, where the line is), so a start-up reads a few bytes an
// article instead of parsing every line. It describes the file it was made
// for up to a size: lines appended since are parsed as usual; a file
// rewritten since (a new inode), cut shorter or changed before that size is
// parsed whole. It is never needed: a missing or damaged one costs time only.

// Below this, parsing the index costs less than reading a sidecar would save.
constexpr size_t kSidecarWorthIt = 10000;

constexpr char kSidecarMagic[8] = {'M', 'B', 'I', 'D', 'X', '0', '0', '1'};

// The header, then `count` entries, then `slots` positions of the
// Message-ID lookup as it stood, so that neither needs building again.
struct SidecarHeader {
    char magic[8];
    uint64_t device;
    uint64_t inode;
    uint64_t covered;  // bytes of the index file described
    uint64_t count;    // entries
    uint64_t slots;    // of the Message-ID lookup
    uint64_t used;     // slots taken
    uint64_t duplicateIds;
    uint64_t known;  // 1: the file is what a save writes, up to `covered`
    uint64_t tailLength;
    char tail[64];      // the bytes just before `covered`, to tell a changed file
    uint64_t checksum;  // of the entries and the slots
};

std::string SidecarPath(const std::string& indexPath) {
    return indexPath + ".idx";
}

bool ReadWhole(int fd, char* out, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t n = ::read(fd, out + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// Loads the entries the sidecar describes, when it fits the mapped file;
// `covered` and `known` receive what it says. False (nothing added) when it
// does not fit.
bool LoadSidecar(const std::string& indexPath, const struct stat& st, GroupEntry& group,
                 size_t& covered, bool& known) {
    int fd = OpenRetry(SidecarPath(indexPath).c_str(), O_RDONLY);
    if (fd < 0) return false;
    SidecarHeader header;
    std::vector<MappedEntry> entries;
    std::vector<uint32_t> slots;
    const CMappedFile& file = group.articles.File();
    bool ok = ReadWhole(fd, reinterpret_cast<char*>(&header), sizeof header) &&
              std::memcmp(header.magic, kSidecarMagic, sizeof kSidecarMagic) == 0 &&
              header.device == static_cast<uint64_t>(st.st_dev) &&
              header.inode == static_cast<uint64_t>(st.st_ino) && header.covered <= file.Size() &&
              header.tailLength <= sizeof header.tail && header.tailLength <= header.covered &&
              header.count <= header.covered && header.slots <= 2 * header.count + 64 &&
              std::memcmp(file.Data() + header.covered - header.tailLength, header.tail,
                          header.tailLength) == 0;
    if (ok) {
        entries.resize(header.count);
        slots.resize(header.slots);
        size_t entryBytes = entries.size() * sizeof(MappedEntry);
        size_t slotBytes = slots.size() * sizeof(uint32_t);
        ok = ReadWhole(fd, reinterpret_cast<char*>(entries.data()), entryBytes) &&
             ReadWhole(fd, reinterpret_cast<char*>(slots.data()), slotBytes);
        if (ok) {
            XXH3_state_t* hash = XXH3_createState();
            XXH3_64bits_reset(hash);
            XXH3_64bits_update(hash, entries.data(), entryBytes);
            XXH3_64bits_update(hash, slots.data(), slotBytes);
            ok = XXH3_64bits_digest(hash) == header.checksum;
            XXH3_freeState(hash);
        }
    }
    ::close(fd);
    // Every line must lie in the part of the file the sidecar describes.
    for (size_t i = 0; ok && i < entries.size(); ++i) ok = entries[i].offset < header.covered;
    if (!ok || !group.articles.AdoptMapped(entries.data(), entries.size(), std::move(slots),
                                           header.used, header.duplicateIds != 0))
        return false;
    covered = header.covered;
    known = header.known != 0;
    return true;
}

// The counter line: the first line that is neither empty nor a comment. Its
// counters go to `group`; false when there is none.
void ReadCounterLine(const char* data, size_t size, GroupEntry& group) {
    std::vector<std::string> counterFields;
    for (size_t pos = 0; pos < size;) {
        RawLine line = NextLine(data, size, pos);
        pos = line.next;
        if (line.text.empty() || line.text[0] == '#') continue;
        SplitFields(counterFields, line.text, "\t");
        if (counterFields.size() == 3) {
            group.firstNumber = ToDecimal(counterFields[0]);
            group.lastNumber = ToDecimal(counterFields[1]);
            group.articleCount = ToDecimal(counterFields[2]);
        }
        return;
    }
}

// Whether the lines of the entries from `first` on, and the counter line,
// are what a save writes, and nothing follows them: then a file that was so
// up to where they start still is.
bool TailIsCanonical(const char* data, size_t size, const GroupEntry& group, size_t first,
                     size_t from) {
    std::string line = CounterLine(group);
    if (size < line.size() || std::memcmp(data, line.data(), line.size()) != 0) return false;
    size_t at = from;
    for (size_t i = first; i < group.articles.size(); ++i) {
        line.clear();
        AppendCanonicalLine(line, group.articles[i]);
        if (size - at < line.size() || std::memcmp(data + at, line.data(), line.size()) != 0)
            return false;
        at += line.size();
    }
    return at == size;
}

}  // namespace

bool WorthASidecar(size_t articles) {
    return articles >= kSidecarWorthIt;
}

bool SidecarIsStale(const GroupEntry& group) {
    size_t described = group.indexFile.sidecarEntries;
    size_t size = group.articles.size();
    return described == 0 || described > size ||
           size - described > std::max(kSidecarWorthIt, size / 10);
}

bool WriteIndexSidecar(const std::string& indexPath, const GroupEntry& group) {
    const ArticleList& articles = group.articles;
    const CMappedFile& file = articles.File();
    if (!file.Mapped() || articles.Pending() > 0) return false;
    int fd = OpenRetry(indexPath.c_str(), O_RDONLY);
    struct stat st;
    bool ok = fd >= 0 && ::fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) >= file.Size();
    if (fd >= 0) ::close(fd);
    if (!ok) return false;
    std::vector<MappedEntry> entries(articles.size());
    for (size_t i = 0; i < articles.size(); ++i) {
        entries[i].number = articles[i].number;
        entries[i].idHash = articles[i].IdHash();
        if (!articles.FileOffset(i, entries[i].offset)) return false;
    }
    const std::vector<uint32_t>& slots = articles.LookupTable().Slots();
    SidecarHeader header{};
    std::memcpy(header.magic, kSidecarMagic, sizeof kSidecarMagic);
    header.device = static_cast<uint64_t>(st.st_dev);
    header.inode = static_cast<uint64_t>(st.st_ino);
    header.covered = file.Size();
    header.count = entries.size();
    header.slots = slots.size();
    header.used = articles.LookupTable().Used();
    header.duplicateIds = articles.DuplicateIds() ? 1 : 0;
    header.known =
        group.indexFile.known && static_cast<size_t>(group.indexFile.size) == file.Size();
    header.tailLength = std::min<uint64_t>(sizeof header.tail, header.covered);
    std::memcpy(header.tail, file.Data() + header.covered - header.tailLength, header.tailLength);
    size_t entryBytes = entries.size() * sizeof(MappedEntry);
    size_t slotBytes = slots.size() * sizeof(uint32_t);
    XXH3_state_t* hash = XXH3_createState();
    XXH3_64bits_reset(hash);
    XXH3_64bits_update(hash, entries.data(), entryBytes);
    XXH3_64bits_update(hash, slots.data(), slotBytes);
    header.checksum = XXH3_64bits_digest(hash);
    XXH3_freeState(hash);
    std::string content(reinterpret_cast<const char*>(&header), sizeof header);
    content.append(reinterpret_cast<const char*>(entries.data()), entryBytes);
    content.append(reinterpret_cast<const char*>(slots.data()), slotBytes);
    return ReplaceFileAtomically(SidecarPath(indexPath), content);
}

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
    size_t covered = 0;
    bool known = false;
    bool canonical;
    size_t described = 0;
    if (LoadSidecar(path, st, group, covered, known)) {
        // Only what was appended since the sidecar was made is parsed.
        described = group.articles.size();
        ReadCounterLine(file.Data(), file.Size(), group);
        ParseIndexText(file.Data(), file.Size(), group, true, covered, true);
        canonical = known && TailIsCanonical(file.Data(), file.Size(), group, described, covered);
    } else {
        ParseIndexText(file.Data(), file.Size(), group, true);
        canonical = HoldsWhatASaveWrites(file.Data(), file.Size(), group);
        // A large index read whole is worth a sidecar for the next start.
        if (WorthASidecar(group.articles.size())) {
            group.indexFile.known = canonical;
            group.indexFile.size = static_cast<long long>(file.Size());
            if (WriteIndexSidecar(path, group)) described = group.articles.size();
        }
    }
    // When the file is exactly what a save would write, the next save can
    // append to it instead of writing it all again.
    group.indexFile = IndexFileState();
    group.indexFile.sidecarEntries = described;
    if (canonical) {
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

// After a rewrite: the new file is mapped and the `count` first entries read
// their lines there, the old mapping let go of. Entries added after the
// write was planned keep their lines in memory.
void MapRewrittenFile(const std::string& path, GroupEntry& group, size_t size, size_t firstLine,
                      size_t count) {
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
    articles.MovedToFile(0, firstLine, count);
}

// After an append: the mapping grows to the file's new end, and the entries
// the append wrote read their lines there.
void FollowAppend(GroupEntry& group, const IndexWrite& write) {
    ArticleList& articles = group.articles;
    CMappedFile& file = articles.File();
    if (!file.Mapped() || write.entryCount == 0) return;
    const size_t end = static_cast<size_t>(write.oldSize) + write.bytes.size();
    const char* oldData = nullptr;
    const size_t oldSize = file.Size();
    // Past the reserve the file is mapped again, through a descriptor of
    // its own; the append's is closed by now.
    int fd = file.Covers(end) ? -1 : OpenRetry(write.path.c_str(), O_RDONLY);
    bool grown = (fd >= 0 || file.Covers(end)) && file.Extend(fd, end, oldData);
    if (fd >= 0) ::close(fd);
    if (!grown) return;  // the lines stay in memory
    if (oldData) articles.FileMoved(oldData, oldSize);
    articles.MovedToFile(write.firstEntry, static_cast<size_t>(write.oldSize), write.entryCount);
}

}  // namespace

void AbandonIndexWrite(IndexWrite& write) {
    if (write.whole) ::unlink(TempPathOf(write.path).c_str());
    if (write.fd >= 0) ::close(write.fd);
    write.fd = -1;
}

IndexWrite PlanIndexWrite(const std::string& path, GroupEntry& group) {
    std::string counter = CounterLine(group);
    IndexFileState& state = group.indexFile;
    IndexWrite write;
    write.path = path;
    write.removals = group.articles.RemovalCount();
    if (state.known && state.removals == group.articles.RemovalCount() &&
        state.entries <= group.articles.size() && counter.size() == state.counterLine.size()) {
        write.whole = false;
        write.oldSize = state.size;
        write.oldCounterLine = state.counterLine;
        write.counterLine = counter;
        write.bytes = PendingLines(group, state.entries);
        write.firstEntry = state.entries;
        write.entryCount = group.articles.size() - state.entries;
        state.entries = group.articles.size();
        state.size += static_cast<long long>(write.bytes.size());
        state.counterLine = counter;
        return write;
    }
    write.bytes = FormatGroupIndex(group);
    write.entryCount = group.articles.size();
    state.sidecarEntries = 0;  // it describes the file about to be replaced
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
    if (next.oldSize != end || next.removals != write.removals ||
        next.firstEntry != write.firstEntry + write.entryCount)
        return false;
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
    write.entryCount += next.entryCount;
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

void FollowIndexWrite(GroupEntry& group, const IndexWrite& write) {
    // An entry left the list since the plan: the positions it counted on
    // have moved. The lines stay where they are until the whole write that
    // a removal always brings.
    if (group.articles.RemovalCount() != write.removals ||
        write.firstEntry + write.entryCount > group.articles.size())
        return;
    if (write.whole)
        MapRewrittenFile(write.path, group, write.bytes.size(), write.bytes.find('\n') + 1,
                         write.entryCount);
    else
        FollowAppend(group, write);
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
    for (int attempt = 0; attempt < 2; ++attempt) {
        IndexWrite write = PlanIndexWrite(path, group);
        if (ApplyIndexWrite(write, record)) {
            FollowIndexWrite(group, write);
            return true;
        }
        group.indexFile.known = false;
        // An append found the file other than planned (changed or removed by
        // hand): it is written whole.
        if (write.whole) return false;
    }
    return false;
}
