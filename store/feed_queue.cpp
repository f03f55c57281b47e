#include "store/feed_queue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/file_util.h"

namespace {

constexpr size_t kReadBlock = 64 * 1024;

std::string Reason(const std::string& path) {
    return path + ": " + std::strerror(errno);
}

// pread of the whole range; false on an error or end of file.
bool ReadAt(int fd, char* buffer, size_t length, uint64_t offset) {
    return PreadUpTo(fd, buffer, length, static_cast<int64_t>(offset)) == length;
}

}  // namespace

CFeedQueue::~CFeedQueue() {
    Close();
}

bool CFeedQueue::Open(const std::string& path, std::string& error) {
    Close();
    m_strPath = path;
    // A compaction cut short left its new file behind, never yet in use.
    RemoveFile(path + ".tmp");
    RemoveFile(path + ".done.tmp");
    m_nFd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (m_nFd < 0) {
        error = Reason(path);
        return false;
    }
    struct stat st;
    if (::fstat(m_nFd, &st) != 0) {
        error = Reason(path);
        Close();
        return false;
    }
    m_inode = st.st_ino;
    m_nSize = static_cast<uint64_t>(st.st_size);
    if (!CutPartialLine(error)) {
        Close();
        return false;
    }
    m_nCursor = ReadDoneOffset();
    m_nSavedOffset = m_nCursor;
    m_nBufferStart = m_nCursor;
    m_strBuffer.clear();
    m_pending.clear();
    m_nPendingBytes = 0;
    return true;
}

void CFeedQueue::Close() {
    if (m_nFd < 0) return;
    SaveProgress();
    ::close(m_nFd);
    m_nFd = -1;
    m_strBuffer.clear();
    m_pending.clear();
    m_nPendingBytes = 0;
}

bool CFeedQueue::CutPartialLine(std::string& error) {
    // Only the end is looked at: Append writes whole lines, so a line
    // without its LF can only be the last, from a write a crash cut short.
    uint64_t end = m_nSize;
    char block[4096];
    while (end > 0) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(end, sizeof block));
        if (!ReadAt(m_nFd, block, n, end - n)) break;
        const void* lf = ::memrchr(block, '\n', n);
        if (lf) {
            end = end - n + static_cast<uint64_t>(static_cast<const char*>(lf) - block) + 1;
            break;
        }
        end -= n;
    }
    if (end == m_nSize) return true;
    if (::ftruncate(m_nFd, static_cast<off_t>(end)) != 0) {
        error = Reason(m_strPath);
        return false;
    }
    m_nSize = end;
    return true;
}

uint64_t CFeedQueue::ReadDoneOffset() const {
    std::string text;
    if (!ReadFileBytes(m_strPath + ".done", text)) return 0;
    unsigned long long offset = 0, inode = 0;
    if (std::sscanf(text.c_str(), "%llu %llu", &offset, &inode) != 2) return 0;
    if (inode != static_cast<unsigned long long>(m_inode) || offset > m_nSize) return 0;
    // The offset must start a line; anything else is not a companion this
    // queue wrote for this file.
    if (offset > 0) {
        char before = 0;
        if (!ReadAt(m_nFd, &before, 1, offset - 1) || before != '\n') return 0;
    }
    return offset;
}

bool CFeedQueue::WriteDoneFile(uint64_t offset, ino_t inode) {
    char text[64];
    int n = std::snprintf(text, sizeof text, "%" PRIu64 " %llu\n", offset,
                          static_cast<unsigned long long>(inode));
    std::string temp = m_strPath + ".done.tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, text, static_cast<size_t>(n));
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temp.c_str(), (m_strPath + ".done").c_str()) == 0) return true;
    RemoveFile(temp);
    return false;
}

bool CFeedQueue::Append(std::string_view line, std::string& error) {
    if (m_nFd < 0) {
        error = m_strPath + ": not open";
        return false;
    }
    std::string bytes;
    bytes.reserve(line.size() + 1);
    bytes.append(line);
    bytes += '\n';
    if (WriteAll(m_nFd, bytes.data(), bytes.size())) {
        m_nSize += bytes.size();
        return true;
    }
    error = Reason(m_strPath);
    // A part of the line may have been written: cut it off again, or the
    // next line would be glued to it.
    if (::ftruncate(m_nFd, static_cast<off_t>(m_nSize)) != 0) {
        // The next Open() cuts it off at the latest.
    }
    return false;
}

bool CFeedQueue::Fill() {
    uint64_t end = m_nBufferStart + m_strBuffer.size();
    if (end >= m_nSize) return false;
    size_t n = static_cast<size_t>(std::min<uint64_t>(m_nSize - end, kReadBlock));
    size_t old = m_strBuffer.size();
    m_strBuffer.resize(old + n);
    if (!ReadAt(m_nFd, &m_strBuffer[old], n, end)) {
        m_strBuffer.resize(old);
        return false;
    }
    return true;
}

bool CFeedQueue::Take(std::string& line, uint64_t& ticket) {
    if (m_nFd < 0 || m_nCursor >= m_nSize) return false;
    if (m_nCursor < m_nBufferStart || m_nCursor > m_nBufferStart + m_strBuffer.size()) {
        m_strBuffer.clear();
        m_nBufferStart = m_nCursor;
    }
    size_t at = static_cast<size_t>(m_nCursor - m_nBufferStart);
    size_t lf;
    while ((lf = m_strBuffer.find('\n', at)) == std::string::npos) {
        if (m_strBuffer.size() - at > kMaxLine) break;
        // What lies before the cursor goes only when more must be read:
        // the buffer stays a block or two long, and is not shifted per line.
        m_strBuffer.erase(0, at);
        m_nBufferStart = m_nCursor;
        at = 0;
        if (!Fill()) break;
    }
    size_t length;
    if (lf == std::string::npos) {
        if (m_strBuffer.size() == at) return false;  // unreadable now
        // No LF within reach: what there is goes out as one damaged line.
        length = std::min(m_strBuffer.size() - at, kMaxLine);
        line.assign(m_strBuffer, at, length);
    } else {
        length = lf + 1 - at;
        line.assign(m_strBuffer, at, std::min(length - 1, kMaxLine));
    }
    ticket = m_nNextTicket++;
    m_pending.emplace(ticket, Span{m_nCursor, length});
    m_nPendingBytes += length;
    m_nCursor += length;
    return true;
}

void CFeedQueue::Done(uint64_t ticket) {
    auto it = m_pending.find(ticket);
    if (it == m_pending.end()) return;
    m_nPendingBytes -= it->second.length;
    m_pending.erase(it);
}

uint64_t CFeedQueue::DoneOffset() const {
    return m_pending.empty() ? m_nCursor : m_pending.begin()->second.offset;
}

bool CFeedQueue::SaveProgress() {
    if (m_nFd < 0) return false;
    uint64_t offset = DoneOffset();
    if (offset == m_nSavedOffset) return true;
    if (!WriteDoneFile(offset, m_inode)) return false;
    m_nSavedOffset = offset;
    return true;
}

bool CFeedQueue::WorthCompacting() const {
    uint64_t live = m_nPendingBytes + (m_nSize - m_nCursor);
    uint64_t done = m_nSize - live;
    if (live == 0) return done >= kAllDoneCompactBytes;
    return done >= kCompactDoneBytes && done >= live;
}

bool CFeedQueue::CopyLive(int to, uint64_t& written) {
    std::string block;
    for (const auto& entry : m_pending) {
        block.resize(static_cast<size_t>(entry.second.length));
        if (!ReadAt(m_nFd, &block[0], block.size(), entry.second.offset) ||
            !WriteAll(to, block.data(), block.size()))
            return false;
        written += block.size();
    }
    block.resize(kReadBlock);
    for (uint64_t at = m_nCursor; at < m_nSize;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(m_nSize - at, kReadBlock));
        if (!ReadAt(m_nFd, &block[0], n, at) || !WriteAll(to, block.data(), n)) return false;
        at += n;
        written += n;
    }
    return true;
}

bool CFeedQueue::Compact(std::string& error) {
    if (m_nFd < 0) {
        error = m_strPath + ": not open";
        return false;
    }
    std::string temp = m_strPath + ".tmp";
    int fd = ::open(temp.c_str(), O_RDWR | O_APPEND | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = Reason(temp);
        return false;
    }
    struct stat st;
    uint64_t written = 0;
    bool ok = ::fstat(fd, &st) == 0 && CopyLive(fd, written);
    // What is still to be sent must be on disk before the old file goes;
    // an empty queue has nothing to lose.
    if (ok && written > 0) ok = ::fdatasync(fd) == 0;
    if (!ok) error = Reason(temp);
    // The companion names the new file before the new file takes the
    // queue's name: a crash in between leaves the old file with a companion
    // for another one, which means "nothing done", never "all done". It
    // also cannot name a later file that happens to get the old file's
    // inode, which is still in use here.
    if (ok && !WriteDoneFile(0, st.st_ino)) {
        error = Reason(m_strPath + ".done");
        ok = false;
    }
    if (ok && ::rename(temp.c_str(), m_strPath.c_str()) != 0) {
        error = Reason(m_strPath);
        ok = false;
        // The companion now names the new file: put it back for the old.
        WriteDoneFile(m_nSavedOffset == UINT64_MAX ? 0 : m_nSavedOffset, m_inode);
    }
    if (!ok) {
        ::close(fd);
        RemoveFile(temp);
        return false;
    }
    ::close(m_nFd);
    m_nFd = fd;
    m_inode = st.st_ino;
    uint64_t offset = 0;
    for (auto& entry : m_pending) {
        entry.second.offset = offset;
        offset += entry.second.length;
    }
    m_nCursor = offset;
    m_nSize = written;
    m_nSavedOffset = 0;
    m_strBuffer.clear();
    m_nBufferStart = m_nCursor;
    return true;
}
