#include "common/file_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int CreateTempFile(std::string& path) {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = (dir && *dir) ? dir : "/tmp";
    if (pattern.back() != '/') pattern += '/';
    pattern += "qmvXXXXXX";
    int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        path.clear();
        return -1;
    }
    path = pattern;
    return fd;
}

bool WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool PwriteAll(int fd, const char* data, size_t length, int64_t offset) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::pwrite(fd, data + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

size_t PreadUpTo(int fd, char* buffer, size_t length, int64_t offset) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

bool PreadAll(int fd, std::string& out, size_t length, int64_t offset) {
    out.resize(length);
    return PreadUpTo(fd, out.data(), length, offset) == length;
}

bool FileExists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsWritableDirectory(const std::string& path) {
    return IsDirectory(path) && ::access(path.c_str(), R_OK | W_OK | X_OK) == 0;
}

int64_t FileSize(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return -1;
    return st.st_size;
}

bool FileModTime(const std::string& path, time_t& mtime) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    mtime = st.st_mtime;
    return true;
}

bool ListDirectory(const std::string& dir, std::vector<std::string>& names) {
    names.clear();
    DIR* d = ::opendir(dir.c_str());
    if (!d) return false;
    while (struct dirent* e = ::readdir(d)) names.emplace_back(e->d_name);
    ::closedir(d);
    return true;
}

bool MakeDirectory(const std::string& path) {
    return ::mkdir(path.c_str(), 0755) == 0;
}

bool RemoveFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

bool FileBirthTime(const std::string& path, time_t& btime) {
    struct statx stx;
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &stx) != 0) return false;
    if (!(stx.stx_mask & STATX_BTIME)) return false;
    btime = static_cast<time_t>(stx.stx_btime.tv_sec);
    return true;
}

bool ReadFileBytes(const std::string& path, std::string& content) {
    content.clear();
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    // Only a regular file has a size worth reserving; a directory opens here
    // and may report a huge end position.
    struct stat st;
    if (::fstat(::fileno(f), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        content.reserve(static_cast<size_t>(st.st_size));
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) content.append(buffer, n);
    // A directory opens on this platform but cannot be read.
    bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        content.clear();
        return false;
    }
    return true;
}

void FoldLineEnds(std::string& content) {
    // Runs between CRs are moved as blocks.
    size_t out = content.find('\r');
    if (out == std::string::npos) return;
    size_t in = out;
    while (in < content.size()) {
        size_t cr = content.find('\r', in + 1);
        size_t stop = cr == std::string::npos ? content.size() : cr;
        // content[in] is a CR: drop it when an LF follows.
        size_t from = (in + 1 < content.size() && content[in + 1] == '\n') ? in + 1 : in;
        std::memmove(&content[out], &content[from], stop - from);
        out += stop - from;
        in = stop;
    }
    content.resize(out);
}

bool ReadTextFile(const std::string& path, std::string& content) {
    if (!ReadFileBytes(path, content)) return false;
    FoldLineEnds(content);
    return true;
}
