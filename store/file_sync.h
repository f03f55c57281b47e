// The calls that put written bytes and names on disk, behind an interface so
// that tests can see their order and make them fail.
#pragma once

#include <string>

class IFileSync {
public:
    virtual ~IFileSync() = default;
    // The bytes and the size of the file open on `fd` (fdatasync). False,
    // with errno set, when the system reports that they may not be on disk.
    virtual bool SyncData(int fd) = 0;
    // The names in the directory at `path` (fsync of the directory): files
    // created, linked, renamed or removed in it. False, with errno set, on
    // failure.
    virtual bool SyncDirectory(const std::string& path) = 0;
};

// The system's calls.
IFileSync& SystemFileSync();
