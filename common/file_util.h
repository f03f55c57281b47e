// Small file operations. Every file is opened and closed within one call and
// read or written as raw bytes (no line-end translation).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// Creates a new, empty, uniquely named file whose name starts with "qmv" in
// the system's temporary directory ($TMPDIR, else /tmp) and stores its full
// path in `path`. Returns false (and leaves `path` empty) when no file could
// be created.
bool MakeTempFileName(std::string& path);

// Like MakeTempFileName, but keeps the new file open: returns a descriptor
// open for reading and writing, or -1 (with `path` empty).
int CreateTempFile(std::string& path);

// Writes all `length` bytes to `fd`; false when any could not be written.
bool WriteAll(int fd, const char* data, size_t length);

// Appends `length` bytes to the file, creating it if needed. A file that
// cannot be opened is silently skipped; returns false then, or when the write
// fell short, for callers that care.
bool AppendToFile(const std::string& path, const char* data, size_t length);

// Reads up to `size` bytes starting at `offset` into `buffer`. Returns the
// number of bytes read; 0 when the file cannot be opened.
int ReadFileBlock(const std::string& path, char* buffer, int64_t offset, int size);

bool FileExists(const std::string& path);
bool IsDirectory(const std::string& path);
// True when this process may list, enter and create files in the directory
// `path`; false also on a file system mounted read-only.
bool IsWritableDirectory(const std::string& path);
// Size in bytes, or -1 when the file cannot be examined.
int64_t FileSize(const std::string& path);
// Last-modification time; false when the path cannot be examined.
bool FileModTime(const std::string& path, time_t& mtime);
// Every name in the directory, "." and ".." included, in listing order.
// False when the directory cannot be listed.
bool ListDirectory(const std::string& dir, std::vector<std::string>& names);
bool MakeDirectory(const std::string& path);
bool RemoveFile(const std::string& path);

// Creation time, where the file system records it; false otherwise.
bool FileBirthTime(const std::string& path, time_t& btime);
