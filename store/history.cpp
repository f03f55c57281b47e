#include "store/history.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "store/history_index.h"
#include "store/history_log.h"

namespace {

constexpr char kLogName[] = "history";
constexpr char kIndexName[] = "history.index";
// Temporary names: a compaction's new log, a new index (built, grown or
// compacted), and the growth of an index that is itself still being built.
constexpr char kLogTemp[] = "history.new";
constexpr char kIndexTemp[] = "history.index.new";
constexpr char kGrowTemp[] = "history.index.grow";

constexpr size_t kWriteBlock = 1 << 20;

std::string SystemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

bool WriteWhole(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void SyncDirectory(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

CHistory::CHistory() = default;

CHistory::~CHistory() {
    Close();
}

std::string CHistory::PathOf(const char* name) const {
    return m_strDir + "/" + name;
}

bool CHistory::IsRememberable(std::string_view messageId) {
    if (messageId.empty() || messageId.size() > kMaxIdLength) return false;
    for (char c : messageId) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u <= ' ' || u == 0x7F) return false;
    }
    return true;
}

bool CHistory::Open(const std::string& baseDir, std::string& error) {
    Close();
    error.clear();
    m_strDir = baseDir;
    m_strIndexPath = PathOf(kIndexName);
    m_strIndexTemp = PathOf(kIndexTemp);
    const std::string logPath = PathOf(kLogName);
    int fd = ::open(logPath.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = SystemError("cannot open", logPath);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? logPath + " is in use by another process"
                                     : SystemError("cannot lock", logPath);
        ::close(fd);
        return false;
    }
    // Only now, holding the lock, is it safe to remove what an interrupted
    // run left behind.
    for (const char* name : {kLogTemp, kIndexTemp, kGrowTemp}) ::unlink(PathOf(name).c_str());
    int64_t size = RepairHistoryLog(fd);
    struct stat st;
    if (size < 0 || ::fstat(fd, &st) != 0) {
        error = SystemError("cannot repair", logPath);
        ::close(fd);
        return false;
    }
    m_nLogFd = fd;
    m_nLogSize = static_cast<uint64_t>(size);
    if (!OpenIndex(static_cast<uint64_t>(st.st_ino), error)) {
        Close();
        return false;
    }
    return true;
}

bool CHistory::OpenIndex(uint64_t logInode, std::string& error) {
    const std::string& indexPath = m_strIndexPath;
    const std::string& tempPath = m_strIndexTemp;
    const HistoryLogView log{m_nLogFd, m_nLogSize};
    auto index = std::make_unique<CHistoryIndex>();
    if (index->OpenTrusted(indexPath, log, logInode)) {
        if (!index->TakeLines(log, index->Covered(), tempPath, indexPath, error)) return false;
    } else {
        if (!index->Build(log, logInode, tempPath, PathOf(kGrowTemp), error)) return false;
        if (::rename(tempPath.c_str(), indexPath.c_str()) != 0) {
            error = SystemError("cannot rename", tempPath);
            ::unlink(tempPath.c_str());
            return false;
        }
    }
    index->MarkOpen();
    m_pIndex = std::move(index);
    return true;
}

void CHistory::Close() {
    if (m_pIndex) {
        // The log first: an index closed cleanly must never cover lines that
        // the disk may still lose.
        if (m_nLogFd >= 0) ::fdatasync(m_nLogFd);
        m_pIndex->CloseCleanly();
        m_pIndex.reset();
    }
    if (m_nLogFd >= 0) ::close(m_nLogFd);
    m_nLogFd = -1;
    m_nLogSize = 0;
    m_bCutPending = false;
}

HistoryEntry CHistory::Lookup(std::string_view messageId) const {
    HistoryEntry entry;
    HistoryLine line;
    if (IsOpen() && IsRememberable(messageId) &&
        m_pIndex->Find(HistoryLogView{m_nLogFd, m_nLogSize}, messageId, line)) {
        entry.state = line.state;
        entry.arrived = line.arrived;
        entry.changed = line.changed;
    }
    return entry;
}

bool CHistory::Append(std::string_view messageId, HistoryState state, time_t arrived,
                      time_t changed) {
    if (!IsOpen() || !IsRememberable(messageId)) return false;
    std::string error;
    if (!m_pIndex->EnsureRoom(m_strIndexTemp, m_strIndexPath, error)) return false;
    // A failed append whose bytes could not be cut off must not have the
    // next line glued to it.
    if (m_bCutPending) {
        if (::ftruncate(m_nLogFd, static_cast<off_t>(m_nLogSize)) != 0) return false;
        m_bCutPending = false;
    }
    const std::string line = FormatHistoryLine(messageId, state, arrived, changed);
    // One write(2) of the whole line to the O_APPEND descriptor, so that a
    // crash leaves at most one partial line, which the next Open() cuts off.
    ssize_t n;
    do n = ::write(m_nLogFd, line.data(), line.size());
    while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(line.size())) {
        if (n > 0) m_bCutPending = ::ftruncate(m_nLogFd, static_cast<off_t>(m_nLogSize)) != 0;
        return false;
    }
    const uint64_t offset = m_nLogSize;
    m_nLogSize += line.size();
    // Room was made above, so the entry always finds a slot. The covered
    // size goes last: a crash before it only makes the next Open() read the
    // new line again.
    m_pIndex->Upsert(HistoryLogView{m_nLogFd, m_nLogSize}, messageId, offset);
    m_pIndex->SetCovered(m_nLogSize);
    return true;
}

bool CHistory::RememberAccepted(std::string_view messageId, time_t now) {
    return Append(messageId, HistoryState::Accepted, now, now);
}

bool CHistory::RememberRefused(std::string_view messageId, time_t now) {
    return Append(messageId, HistoryState::Refused, now, now);
}

bool CHistory::MarkGone(std::string_view messageId, time_t now) {
    HistoryEntry earlier = Lookup(messageId);
    time_t arrived = earlier.state == HistoryState::Unknown ? now : earlier.arrived;
    return Append(messageId, HistoryState::Gone, arrived, now);
}

std::string CHistory::LogPath() const {
    return PathOf(kLogName);
}

bool CHistory::Sync() {
    return IsOpen() && ::fdatasync(m_nLogFd) == 0;
}

uint64_t CHistory::Count() const {
    return m_pIndex ? m_pIndex->Count() : 0;
}

// Writes the kept entries to `fd`, in the order of their newest lines.
bool CHistory::WriteCompacted(int fd, time_t now, int keepDays, const StillStoredFn& stillStored,
                              std::string& error) {
    const time_t keepSeconds = static_cast<time_t>(std::max(keepDays, 0)) * 86400;
    std::string out;
    out.reserve(kWriteBlock + kMaxIdLength + kHistoryLineTail);
    bool written = true;
    auto keep = [&](uint64_t offset, std::string_view text) {
        HistoryLine line;
        if (!ParseHistoryLine(text, line) || !m_pIndex->IsNewest(line.messageId, offset))
            return true;
        if (line.state != HistoryState::Accepted && line.changed + keepSeconds < now) {
            if (!stillStored || !stillStored(line.messageId)) return true;
            line.state = HistoryState::Accepted;
            line.changed = line.arrived;
        }
        out += FormatHistoryLine(line.messageId, line.state, line.arrived, line.changed);
        if (out.size() >= kWriteBlock) {
            written = WriteWhole(fd, out.data(), out.size());
            out.clear();
        }
        return written;
    };
    bool read = ForEachHistoryLine(m_nLogFd, 0, m_nLogSize, keep);
    written = written && WriteWhole(fd, out.data(), out.size()) && ::fdatasync(fd) == 0;
    if (!written)
        error = SystemError("cannot write", PathOf(kLogTemp));
    else if (!read)
        error = "cannot read the history log";
    return read && written;
}

bool CHistory::Compact(time_t now, int keepDays, const StillStoredFn& stillStored,
                       std::string& error) {
    error.clear();
    if (!IsOpen()) {
        error = "the history is not open";
        return false;
    }
    const std::string logTemp = PathOf(kLogTemp);
    const std::string& indexTemp = m_strIndexTemp;
    int fd = ::open(logTemp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = SystemError("cannot create", logTemp);
        return false;
    }
    // The new log is locked before it takes the old one's name.
    ::flock(fd, LOCK_EX | LOCK_NB);
    struct stat st;
    CHistoryIndex fresh;
    bool ok = WriteCompacted(fd, now, keepDays, stillStored, error) && ::fstat(fd, &st) == 0 &&
              fresh.Build(HistoryLogView{fd, static_cast<uint64_t>(st.st_size)},
                          static_cast<uint64_t>(st.st_ino), indexTemp, PathOf(kGrowTemp), error);
    // The log first: until the index follows, the old index names the old
    // log's inode, so an Open() in between builds the index again.
    if (ok && ::rename(logTemp.c_str(), PathOf(kLogName).c_str()) != 0) {
        error = SystemError("cannot rename", logTemp);
        ok = false;
    }
    if (!ok) {
        fresh.Release();
        ::unlink(indexTemp.c_str());
        ::unlink(logTemp.c_str());
        ::close(fd);
        return false;
    }
    // Should this rename fail, the old index stays behind, made for the old
    // log: the next Open() builds a new one.
    if (::rename(indexTemp.c_str(), m_strIndexPath.c_str()) != 0) ::unlink(indexTemp.c_str());
    SyncDirectory(m_strDir);
    ::close(m_nLogFd);
    m_nLogFd = fd;
    m_nLogSize = static_cast<uint64_t>(st.st_size);
    m_bCutPending = false;
    m_pIndex->Adopt(fresh);
    return true;
}
