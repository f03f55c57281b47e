// The files most recently sent, kept so that an article read again and again
// costs a look at its metadata instead of an open, a read and a close: small
// files are kept whole in memory, larger ones as open descriptors. Whatever
// is kept is used only while the same file (device, inode, size, modification
// and change times) still stands at its path.
//
// Where the system reports changes to a directory, a file whose
// directory and that directory's parent are watched is not even looked at
// again until a change to its name is reported: pending reports are read at
// every lookup, so a change finished before the lookup is always seen.
// Changes made through another name of the file (a hard link elsewhere) or
// through a shared mapping are not reported; the spool is not written so.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/dir_watch.h"
#include "store/content_pool.h"

// A file's bytes as the cache keeps them; never changed once read.
struct FileContent {
    std::shared_ptr<const char> bytes;
    size_t size = 0;
    explicit operator bool() const { return static_cast<bool>(bytes); }
};

class FileReadCache {
public:
    struct Limits {
        size_t maxDescriptors = 256;                   // descriptors kept open
        size_t maxEntries = 32768;                     // paths remembered, with or without content
        int64_t maxContentBytes = 64LL * 1024 * 1024;  // file bytes kept in memory
        int64_t maxFileBytes = 256 * 1024;             // larger files are read when sent
        bool watchChanges = true;  // false: every lookup looks at the file again
    };

    FileReadCache() : FileReadCache(Limits{}) {}
    explicit FileReadCache(Limits limits) : m_limits(limits), m_pool(ContentPool::Create()) {}
    ~FileReadCache();
    FileReadCache(const FileReadCache&) = delete;
    FileReadCache& operator=(const FileReadCache&) = delete;

    // The size of the file at `path`, or -1 when it cannot be examined. What
    // is kept for that path from a file since removed or replaced is let go,
    // so reads and contents always come from the file now at the path.
    int64_t Size(const std::string& path);

    // The whole file at `path` as Size() last found it, or null when it is
    // too large to keep, has changed since, or cannot be read whole. The
    // block never changes; a later change to the file makes a new one.
    FileContent Content(const std::string& path);

    // The same, but only when it is already kept: nothing is read.
    FileContent KeptContent(const std::string& path) const;

    // Reads up to `size` bytes at `offset` into `buffer` and returns how many
    // were read (0 when the file cannot be opened), through a kept descriptor
    // when there is one.
    int Read(const std::string& path, char* buffer, int64_t offset, int size);

    void Clear();

    size_t Entries() const { return m_index.size(); }
    // Every descriptor the cache holds: kept files, watched directories and
    // the change reports.
    size_t HeldDescriptors() const;
    int64_t ContentBytes() const { return m_nContentBytes; }

private:
    struct Identity {
        dev_t device = 0;
        ino_t inode = 0;
        long long size = -1;
        // With the device and inode these tell a file re-created at the
        // same path (which may get the same inode back) from the one kept.
        long long modified = -1;  // nanoseconds
        long long changed = -1;   // nanoseconds
        bool operator==(const Identity& o) const {
            return device == o.device && inode == o.inode && size == o.size &&
                   modified == o.modified && changed == o.changed;
        }
    };
    static Identity IdentityOf(const struct stat& st);

    struct Entry;
    using Order = std::list<Entry*>;  // most recently used first
    struct Entry {
        std::string path;
        Identity identity;
        // The identity still holds: taken while the directories were watched,
        // and nothing has been reported for the path since.
        bool trusted = false;
        int fd = -1;              // a kept descriptor, or -1
        Order::iterator fdPlace;  // in m_fdOrder while fd >= 0
        FileContent content;
        Order::iterator contentPlace;  // in m_contentOrder while content is set
    };
    using List = std::list<Entry>;  // most recently used first

    // The entry for `path`, made when there is none, moved to the front.
    Entry& Touch(const std::string& path);
    Entry& Use(List::iterator it);
    void Forget(List::iterator it);
    // Takes over `fd`, open on the file the entry's identity describes: kept
    // unless the entry already has what it needs.
    void Keep(Entry& entry, int fd);
    // Reads the file whole into the entry's content; nothing on a short read.
    void LoadContent(Entry& entry, int fd);
    void KeepDescriptor(Entry& entry, int fd);
    void CloseDescriptor(Entry& entry);
    void DropContent(Entry& entry);
    void LetGoOf(Entry& entry);

    // Change reports: a watched directory and what happened under it.
    struct Directory {
        std::string path;
        int watch = -1;        // -1: cannot be watched
        uint32_t changes = 0;  // what the watch reports
        int fd = -1;           // the directory, for opening names within it
    };
    // Watches the directory of `path` and its parent. Returns the directory's
    // descriptor, or AT_FDCWD when either cannot be watched.
    int Watch(const std::string& path);
    // Whether the directory is watched for at least `changes` (and opened).
    // May let go of other directories.
    bool WatchDirectory(const std::string& directory, uint32_t changes);
    // Reads every pending report and withdraws trust where one applies.
    void ReadReports();
    void Apply(const CDirectoryWatch::Report& report);
    void DropDirectory(const std::string& directory);
    void DistrustAll();

    static constexpr size_t kMaxDirectories = 1024;
    CDirectoryWatch m_watch;
    std::unordered_map<std::string, Directory> m_directories;  // by path
    std::unordered_map<int, std::string> m_watchedPaths;       // watch -> path

    Limits m_limits;
    List m_lru;
    std::unordered_map<std::string_view, List::iterator> m_index;  // views Entry::path
    // Entries with a descriptor, and with content, each in order of use, so
    // the one to let go of is always at the back.
    Order m_fdOrder;
    Order m_contentOrder;
    size_t m_nDescriptors = 0;
    int64_t m_nContentBytes = 0;
    std::shared_ptr<ContentPool> m_pool;
};
