#include "store/file_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

long long Nanoseconds(const timespec& t) {
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// Opens `path`, or its last part within `directory` when that is an open
// directory, which spares the lookup of every directory above.
int OpenForReading(const std::string& path, int directory = AT_FDCWD) {
    const char* name = path.c_str();
    if (directory != AT_FDCWD) name += path.rfind('/') + 1;
    // Reading an article is no reason to write its inode back to disk; the
    // flag is refused for files of another owner, which are opened without.
    // Never blocking: something other than a file (a FIFO) may stand there.
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
#ifdef O_NOATIME
    constexpr int kNoAccessTime = O_NOATIME;
#else
    constexpr int kNoAccessTime = 0;
#endif
    int fd;
    do fd = ::openat(directory, name, kFlags | kNoAccessTime);
    while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno == EPERM && kNoAccessTime != 0) {
        do fd = ::openat(directory, name, kFlags);
        while (fd < 0 && errno == EINTR);
    }
    return fd;
}

// A parent is watched for its names only: the server's own log, written
// beside the group directories, is then no report at all.
constexpr uint32_t kNameChanges = CDirectoryWatch::kNames;
constexpr uint32_t kContentChanges = CDirectoryWatch::kNames | CDirectoryWatch::kContents;

// The directory part of `path`: what comes before its last slash.
std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string Joined(const std::string& directory, const char* name) {
    return directory == "/" ? directory + name : directory + "/" + name;
}

}  // namespace

FileReadCache::Identity FileReadCache::IdentityOf(const struct stat& st) {
    Identity identity;
    identity.device = st.st_dev;
    identity.inode = st.st_ino;
    identity.size = static_cast<long long>(st.st_size);
    identity.modified = Nanoseconds(st.st_mtim);
    identity.changed = Nanoseconds(st.st_ctim);
    return identity;
}

FileReadCache::~FileReadCache() {
    Clear();
    for (auto& directory : m_directories)
        if (directory.second.fd >= 0) ::close(directory.second.fd);
}

size_t FileReadCache::HeldDescriptors() const {
    size_t held = m_nDescriptors + m_watch.Descriptors();
    for (const auto& directory : m_directories)
        if (directory.second.fd >= 0) ++held;
    return held;
}

void FileReadCache::Clear() {
    while (!m_lru.empty()) Forget(m_lru.begin());
}

void FileReadCache::KeepDescriptor(Entry& entry, int fd) {
    entry.fd = fd;
    m_fdOrder.push_front(&entry);
    entry.fdPlace = m_fdOrder.begin();
    ++m_nDescriptors;
    // The newest is never the one let go of.
    while (m_nDescriptors > m_limits.maxDescriptors && m_fdOrder.size() > 1)
        CloseDescriptor(*m_fdOrder.back());
}

void FileReadCache::CloseDescriptor(Entry& entry) {
    if (entry.fd < 0) return;
    ::close(entry.fd);
    entry.fd = -1;
    m_fdOrder.erase(entry.fdPlace);
    --m_nDescriptors;
}

void FileReadCache::DropContent(Entry& entry) {
    if (!entry.content) return;
    m_nContentBytes -= static_cast<int64_t>(entry.content.size);
    entry.content = FileContent();
    m_contentOrder.erase(entry.contentPlace);
}

void FileReadCache::LetGoOf(Entry& entry) {
    CloseDescriptor(entry);
    DropContent(entry);
}

void FileReadCache::Forget(List::iterator it) {
    LetGoOf(*it);
    m_index.erase(it->path);
    m_lru.erase(it);
}

FileReadCache::Entry& FileReadCache::Touch(const std::string& path) {
    auto found = m_index.find(path);
    if (found != m_index.end()) return Use(found->second);
    m_lru.emplace_front();
    m_lru.front().path = path;
    m_index.emplace(m_lru.front().path, m_lru.begin());
    // The newest is never the one let go of.
    while (m_index.size() > m_limits.maxEntries && m_lru.size() > 1) Forget(std::prev(m_lru.end()));
    return m_lru.front();
}

FileReadCache::Entry& FileReadCache::Use(List::iterator it) {
    Entry& entry = *it;
    m_lru.splice(m_lru.begin(), m_lru, it);
    if (entry.fd >= 0) m_fdOrder.splice(m_fdOrder.begin(), m_fdOrder, entry.fdPlace);
    if (entry.content)
        m_contentOrder.splice(m_contentOrder.begin(), m_contentOrder, entry.contentPlace);
    return entry;
}

int64_t FileReadCache::Size(const std::string& path) {
    ReadReports();
    auto found = m_index.find(path);
    if (found != m_index.end() && found->second->trusted) {
        return static_cast<int64_t>(Use(found->second).identity.size);
    }
    // Watched before it is looked at, so that any change after the look is
    // reported. The file is opened rather than looked up by name: it is about
    // to be read anyway, and the descriptor says which file was read.
    int directory = Watch(path);
    bool watched = directory != AT_FDCWD;
    int fd = OpenForReading(path, directory);
    struct stat st;
    bool examined = fd >= 0 ? ::fstat(fd, &st) == 0 : ::stat(path.c_str(), &st) == 0;
    if (!examined) {
        if (fd >= 0) ::close(fd);
        if (found != m_index.end()) Forget(found->second);
        return -1;
    }
    Identity now = IdentityOf(st);
    Entry& entry = Touch(path);
    if (!(entry.identity == now)) {
        // Another file now stands at the path, or this one was changed.
        LetGoOf(entry);
        entry.identity = now;
    }
    entry.trusted = watched;
    if (fd >= 0) Keep(entry, fd);
    return static_cast<int64_t>(st.st_size);
}

void FileReadCache::Keep(Entry& entry, int fd) {
    if (entry.content || entry.fd >= 0) {
        ::close(fd);
        return;
    }
    // Read only when the bytes are asked for: a lookup for STAT or HEAD
    // needs none of them.
    KeepDescriptor(entry, fd);
}

void FileReadCache::LoadContent(Entry& entry, int fd) {
    size_t size = static_cast<size_t>(entry.identity.size);
    std::shared_ptr<char> bytes = m_pool->Allocate(size);
    size_t total = 0;
    while (total < size) {
        ssize_t n = ::pread(fd, bytes.get() + total, size - total, static_cast<off_t>(total));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        total += static_cast<size_t>(n);
    }
    // Only a file read whole is kept.
    if (total != size) return;
    entry.content.bytes = std::move(bytes);
    entry.content.size = size;
    m_contentOrder.push_front(&entry);
    entry.contentPlace = m_contentOrder.begin();
    m_nContentBytes += static_cast<int64_t>(size);
    // The newest is never the one let go of.
    while (m_nContentBytes > m_limits.maxContentBytes && m_contentOrder.size() > 1)
        DropContent(*m_contentOrder.back());
}

int FileReadCache::Watch(const std::string& path) {
    std::string directory = DirectoryOf(path);
    std::string parent = DirectoryOf(directory);
    // The parent reports the directory itself being renamed, removed or
    // replaced (a symbolic link pointed elsewhere, say).
    if (!WatchDirectory(directory, kContentChanges) || !WatchDirectory(parent, kNameChanges) ||
        path.back() == '/')
        return AT_FDCWD;
    // Looked up again: watching the parent may have let go of the directory.
    auto found = m_directories.find(directory);
    if (found == m_directories.end() || found->second.watch < 0) return AT_FDCWD;
    return found->second.fd;
}

bool FileReadCache::WatchDirectory(const std::string& directory, uint32_t changes) {
    if (!m_limits.watchChanges || !m_watch.Open()) return false;
    auto found = m_directories.find(directory);
    if (found != m_directories.end()) {
        Directory& known = found->second;
        if (known.watch < 0) return false;
        if ((known.changes & changes) == changes) return true;
        // Watched for names only so far (as a parent); now for contents too.
        int watch = m_watch.Add(directory, changes, true);
        if (watch == known.watch) {
            known.changes |= changes;
            return true;
        }
        // Another directory stands there now.
        if (watch >= 0 && !m_watchedPaths.count(watch)) m_watch.Remove(watch);
        DropDirectory(directory);
        DistrustAll();
        return false;
    }
    if (m_directories.size() >= kMaxDirectories) {
        // Far more directories than groups: start over rather than hold a
        // watch and a descriptor for every one ever seen.
        while (!m_directories.empty()) {
            std::string first = m_directories.begin()->first;
            DropDirectory(first);
        }
        DistrustAll();
    }
    int watch = m_watch.Add(directory, changes, false);
    // Not there yet (a group before its first article): asked again next time.
    if (watch < 0) return false;
    Directory& record = m_directories[directory];
    record.path = directory;
    auto other = m_watchedPaths.find(watch);
    if (other != m_watchedPaths.end() && other->second != directory) {
        // The same directory under a second path: reports name only one of
        // them, so neither is relied on.
        m_directories[other->second].watch = -1;
        DistrustAll();
        return false;
    }
    // Opened after the watch was set: a later replacement is reported.
    int fd;
    do fd = ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        m_watch.Remove(watch);
        m_directories.erase(directory);
        return false;
    }
    record.watch = watch;
    record.changes = changes;
    record.fd = fd;
    m_watchedPaths[watch] = directory;
    return true;
}

void FileReadCache::ReadReports() {
    m_watch.ReadReports([this](const CDirectoryWatch::Report& report) { Apply(report); });
}

void FileReadCache::Apply(const CDirectoryWatch::Report& report) {
    if (report.overflow) {
        DistrustAll();
        return;
    }
    auto watched = m_watchedPaths.find(report.watch);
    if (watched == m_watchedPaths.end()) return;
    std::string directory = watched->second;
    if (report.selfGone) {
        DropDirectory(directory);
        DistrustAll();
        return;
    }
    if (report.name.empty()) return;
    std::string child = Joined(directory, std::string(report.name).c_str());
    auto entry = m_index.find(child);
    if (entry != m_index.end()) {
        // Gone from the name: nothing kept for it is of use again.
        if (report.nameGone)
            Forget(entry->second);
        else
            entry->second->trusted = false;
    }
    if (m_directories.count(child)) {
        DropDirectory(child);
        DistrustAll();
    }
}

void FileReadCache::DropDirectory(const std::string& directory) {
    auto found = m_directories.find(directory);
    if (found == m_directories.end()) return;
    if (found->second.fd >= 0) ::close(found->second.fd);
    int watch = found->second.watch;
    if (watch >= 0) {
        auto owner = m_watchedPaths.find(watch);
        if (owner != m_watchedPaths.end() && owner->second == directory) {
            m_watch.Remove(watch);
            m_watchedPaths.erase(owner);
        }
    }
    m_directories.erase(found);
}

void FileReadCache::DistrustAll() {
    for (Entry& entry : m_lru) entry.trusted = false;
}

FileContent FileReadCache::Content(const std::string& path) {
    Entry& entry = Touch(path);
    if (entry.content) return entry.content;
    if (entry.identity.size < 0 || entry.identity.size > m_limits.maxFileBytes) return {};
    if (entry.fd >= 0) {
        LoadContent(entry, entry.fd);
        if (entry.content) CloseDescriptor(entry);
        return entry.content;
    }
    int fd = OpenForReading(path);
    if (fd < 0) return {};
    // Only the file Size() looked at is kept.
    struct stat st;
    if (::fstat(fd, &st) == 0 && IdentityOf(st) == entry.identity) LoadContent(entry, fd);
    ::close(fd);
    return entry.content;
}

FileContent FileReadCache::KeptContent(const std::string& path) const {
    auto found = m_index.find(path);
    return found == m_index.end() ? FileContent() : found->second->content;
}

int FileReadCache::Read(const std::string& path, char* buffer, int64_t offset, int size) {
    Entry& entry = Touch(path);
    if (entry.fd < 0) {
        int fd = OpenForReading(path);
        if (fd < 0) return 0;
        // The identity noted by the last Size() stands for this descriptor:
        // both were taken within the same turn of the event loop.
        KeepDescriptor(entry, fd);
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
