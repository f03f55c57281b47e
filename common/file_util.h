// Small file operations. Every file is opened and closed within one call and
// read or written as raw bytes (no line-end translation).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// Creates a new, empty, uniquely named file whose name starts with "qmv" in
// the system's temporary directory ($TMPDIR, else /tmp), stores its full path
// in `path` and returns a descriptor open for reading and writing; -1 (with
// `path` empty) when no file could be created.
int CreateTempFile(std::string& path);

// Writes all `length` bytes to `fd`; false when any could not be written.
bool WriteAll(int fd, const char* data, size_t length);
// The same at `offset`, leaving the file position alone.
bool PwriteAll(int fd, const char* data, size_t length, int64_t offset);
// Reads up to `length` bytes at `offset` into `buffer`, retrying short
// reads: how many, fewer only at the end of the file or on an error.
size_t PreadUpTo(int fd, char* buffer, size_t length, int64_t offset);
// Reads exactly `length` bytes at `offset` into `out`; false when the file
// holds fewer or cannot be read.
bool PreadAll(int fd, std::string& out, size_t length, int64_t offset);

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

// Reads a whole file as text: CR LF becomes LF, as a text-mode read gives it.
// False when the file cannot be opened.
bool ReadTextFile(const std::string& path, std::string& content);

// Reads a whole file's bytes as they are. False when it cannot be read.
bool ReadFileBytes(const std::string& path, std::string& content);

// Turns every CR LF into LF; a lone CR stays.
void FoldLineEnds(std::string& content);
