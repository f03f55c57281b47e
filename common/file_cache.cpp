#include "common/file_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

FileReadCache::~FileReadCache() {
    Clear();
}

void FileReadCache::Clear() {
    for (auto& entry : m_entries)
        if (entry.second.fd >= 0) ::close(entry.second.fd);
    m_entries.clear();
}

void FileReadCache::Drop(std::unordered_map<std::string, Entry>::iterator it) {
    if (it->second.fd >= 0) ::close(it->second.fd);
    m_entries.erase(it);
}

FileReadCache::Entry& FileReadCache::Slot(const std::string& path) {
    auto it = m_entries.find(path);
    if (it != m_entries.end()) return it->second;
    if (m_entries.size() >= m_nCapacity) {
        auto oldest = m_entries.begin();
        for (auto e = m_entries.begin(); e != m_entries.end(); ++e)
            if (e->second.lastUse < oldest->second.lastUse) oldest = e;
        Drop(oldest);
    }
    return m_entries.emplace(path, Entry{-1, 0, 0, -1, -1, 0}).first->second;
}

int64_t FileReadCache::Size(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        auto it = m_entries.find(path);
        if (it != m_entries.end()) Drop(it);
        return -1;
    }
    Entry& entry = Slot(path);
    long long modified =
        static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    if (entry.fd >= 0 &&
        (entry.device != st.st_dev || entry.inode != st.st_ino ||
         entry.size != static_cast<long long>(st.st_size) || entry.modified != modified)) {
        // Another file now stands at the path.
        ::close(entry.fd);
        entry.fd = -1;
    }
    entry.device = st.st_dev;
    entry.inode = st.st_ino;
    entry.size = static_cast<long long>(st.st_size);
    entry.modified = modified;
    entry.lastUse = ++m_nClock;
    return static_cast<int64_t>(st.st_size);
}

int FileReadCache::Read(const std::string& path, char* buffer, int64_t offset, int size) {
    Entry& entry = Slot(path);
    entry.lastUse = ++m_nClock;
    if (entry.fd < 0) {
        int fd;
        do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        while (fd < 0 && errno == EINTR);
        if (fd < 0) return 0;
        // The identity noted by the last Size() stands for this descriptor:
        // both were taken within the same turn of the event loop.
        entry.fd = fd;
    }
    int total = 0;
    while (total < size) {
        ssize_t n =
            ::pread(entry.fd, buffer + total, static_cast<size_t>(size - total), offset + total);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        total += static_cast<int>(n);
    }
    return total;
}
