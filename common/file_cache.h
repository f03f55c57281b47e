// Open descriptors of the files most recently read, so that a file sent
// again and again (a popular article) costs one read per send instead of an
// open, a read and a close.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <unordered_map>

class FileReadCache {
public:
    explicit FileReadCache(size_t capacity = 256) : m_nCapacity(capacity) {}
    ~FileReadCache();
    FileReadCache(const FileReadCache&) = delete;
    FileReadCache& operator=(const FileReadCache&) = delete;

    // The size of the file at `path`, or -1 when it cannot be examined. A
    // descriptor kept for that path whose file has since been removed or
    // replaced is let go, so reads always see the file now at the path.
    int64_t Size(const std::string& path);

    // Reads up to `size` bytes at `offset` like ReadFileBlock (0 when the file
    // cannot be opened), through a kept descriptor when there is one.
    int Read(const std::string& path, char* buffer, int64_t offset, int size);

    void Clear();

private:
    struct Entry {
        int fd;  // -1 until the file is read
        dev_t device;
        ino_t inode;
        // With the device and inode, these tell a file re-created at the same
        // path (which may get the same inode back) from the one kept open.
        long long size;
        long long modified;  // nanoseconds
        uint64_t lastUse;
    };
    void Drop(std::unordered_map<std::string, Entry>::iterator it);
    // The entry for `path`, made (and the least recently used one let go)
    // when there is none.
    Entry& Slot(const std::string& path);

    size_t m_nCapacity;
    uint64_t m_nClock = 0;
    std::unordered_map<std::string, Entry> m_entries;
};
