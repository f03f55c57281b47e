#include "store/save_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <cstdio>
#include <cstring>

#include "common/file_util.h"
#include "common/text.h"
#include "store/file_sync.h"
#include "store/group_index.h"

namespace {

// Each append in the record: a header line naming the index (relative to
// the record's directory when it lies below it), the size of the file the
// append goes to, the lengths of the counter line and of the new lines, and
// a hash over all of it; then the name, the counter line and the lines. An
// entry whose length or hash does not match was cut short, or never reached
// the disk whole, and neither it nor anything after it is used.
constexpr char kMagic[] = "MARROWBY-SAVE-RECORD";

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

uint64_t EntryHash(long long oldSize, std::string_view name, std::string_view counter,
                   std::string_view lines) {
    uint64_t hash = XXH3_64bits_withSeed(name.data(), name.size(), static_cast<uint64_t>(oldSize));
    hash = XXH3_64bits_withSeed(counter.data(), counter.size(), hash);
    return XXH3_64bits_withSeed(lines.data(), lines.size(), hash);
}

void AppendEntry(std::string& out, const IndexWrite& write, const std::string& directory) {
    std::string name = write.path;
    if (name.compare(0, directory.size() + 1, directory + "/") == 0)
        name = name.substr(directory.size() + 1);
    out += Format("%s 1 %zu %lld %zu %zu %016llx\n", kMagic, name.size(), write.oldSize,
                  write.counterLine.size(), write.bytes.size(),
                  static_cast<unsigned long long>(
                      EntryHash(write.oldSize, name, write.counterLine, write.bytes)));
    out += name;
    out += write.counterLine;
    out += write.bytes;
}

// Reads the entry at `pos` of `record` into `write` and moves `pos` past it.
// False when there is no whole entry there.
bool ReadEntry(const std::string& record, size_t& pos, const std::string& directory,
               IndexWrite& write) {
    size_t lf = record.find('\n', pos);
    if (lf == std::string::npos || lf - pos > 200) return false;
    std::string header = record.substr(pos, lf - pos);
    char magic[32] = {};
    size_t nameSize = 0, counterSize = 0, linesSize = 0;
    long long oldSize = -1;
    unsigned long long hash = 0;
    int consumed = 0;
    if (std::sscanf(header.c_str(), "%31s 1 %zu %lld %zu %zu %16llx%n", magic, &nameSize, &oldSize,
                    &counterSize, &linesSize, &hash, &consumed) != 6 ||
        static_cast<size_t>(consumed) != header.size() || std::strcmp(magic, kMagic) != 0 ||
        oldSize < 0 || nameSize == 0 || counterSize < 2 ||
        record.size() - lf - 1 < nameSize + counterSize + linesSize)
        return false;
    const char* body = record.data() + lf + 1;
    std::string_view name(body, nameSize);
    std::string_view counter(body + nameSize, counterSize);
    std::string_view lines(body + nameSize + counterSize, linesSize);
    if (EntryHash(oldSize, name, counter, lines) != hash ||
        counter.substr(counterSize - 2) != "\r\n" || counter.find('\n') != counterSize - 1)
        return false;
    write.path = name[0] == '/' ? std::string(name) : directory + "/" + std::string(name);
    write.whole = false;
    write.oldSize = oldSize;
    write.counterLine = std::string(counter);
    write.bytes = std::string(lines);
    pos = lf + 1 + nameSize + counterSize + linesSize;
    return true;
}

// Carries out one append from the record on its index.
SaveRecovery::Outcome Redo(const IndexWrite& write, IFileSync* sync) {
    int fd = ::open(write.path.c_str(), O_RDWR | O_CLOEXEC);
    struct stat st;
    std::string first;
    // The append went to a file of its old size; a file of any size from
    // there to the size the append gives may hold part of it. The counter
    // line it patches must have the record's length.
    bool fits = fd >= 0 && ::fstat(fd, &st) == 0 && st.st_size >= write.oldSize &&
                st.st_size <= write.oldSize + static_cast<long long>(write.bytes.size()) &&
                PreadAll(fd, first, write.counterLine.size(), 0) &&
                first.find('\n') == first.size() - 1;
    if (!fits) {
        if (fd >= 0) ::close(fd);
        return SaveRecovery::Discarded;
    }
    bool ok = PwriteAll(fd, write.bytes.data(), write.bytes.size(), write.oldSize) &&
              ::ftruncate(fd, static_cast<off_t>(write.oldSize + write.bytes.size())) == 0 &&
              PwriteAll(fd, write.counterLine.data(), write.counterLine.size(), 0) &&
              (!sync || sync->SyncData(fd));
    if (::close(fd) != 0) ok = false;
    return ok ? SaveRecovery::Completed : SaveRecovery::Failed;
}

}  // namespace

CSaveRecord::~CSaveRecord() {
    if (m_fd >= 0) ::close(m_fd);
}

bool CSaveRecord::Open(const std::string& path) {
    if (m_fd >= 0) ::close(m_fd);
    m_path = path;
    m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    struct stat st;
    m_nSize = m_fd >= 0 && ::fstat(m_fd, &st) == 0 ? st.st_size : 0;
    m_bSettled = m_nSize == 0;
    return m_fd >= 0;
}

void CSaveRecord::Remove() {
    if (m_fd < 0) return;
    ::close(m_fd);
    m_fd = -1;
    // A record that still holds an append is for the next start.
    if (m_nSize == 0) ::unlink(m_path.c_str());
}

bool CSaveRecord::Write(const std::vector<const IndexWrite*>& writes, IFileSync* sync) {
    std::string content;
    const std::string directory = DirectoryOf(m_path);
    for (const IndexWrite* write : writes)
        if (!write->whole && !write->Empty()) AppendEntry(content, *write, directory);
    if (m_fd < 0) return content.empty();
    // Emptied first: new entries written over longer old ones would leave
    // whole old entries behind them.
    if (m_nSize > 0) {
        if (::ftruncate(m_fd, 0) != 0) return false;
        m_nSize = 0;
        m_bSettled = false;
    }
    if (content.empty()) {
        if (sync && !m_bSettled) {
            if (!sync->SyncData(m_fd)) return false;
            m_bSettled = true;
        }
        return true;
    }
    m_bSettled = false;
    if (!PwriteAll(m_fd, content.data(), content.size(), 0)) {
        if (::ftruncate(m_fd, 0) == 0) m_nSize = 0;
        return false;
    }
    m_nSize = static_cast<long long>(content.size());
    return !sync || sync->SyncData(m_fd);
}

void CSaveRecord::Clear() {
    if (m_fd < 0 || m_nSize == 0) return;
    if (::ftruncate(m_fd, 0) != 0) return;
    m_nSize = 0;
    m_bSettled = false;
}

std::vector<SaveRecovery> RecoverIndexSaves(const std::string& recordPath, IFileSync* sync) {
    std::vector<SaveRecovery> found;
    std::string record;
    if (!ReadFileBytes(recordPath, record) || record.empty()) return found;
    const std::string directory = DirectoryOf(recordPath);
    bool failed = false;
    for (size_t pos = 0; pos < record.size();) {
        IndexWrite write;
        if (!ReadEntry(record, pos, directory, write)) {
            found.push_back({SaveRecovery::Discarded, recordPath});
            break;
        }
        SaveRecovery::Outcome outcome = Redo(write, sync);
        failed |= outcome == SaveRecovery::Failed;
        found.push_back({outcome, write.path});
    }
    // After a failure the record stays, for the next start to try again.
    if (!failed) {
        int fd = ::open(recordPath.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd >= 0 && sync) sync->SyncData(fd);
        if (fd >= 0) ::close(fd);
    }
    return found;
}
