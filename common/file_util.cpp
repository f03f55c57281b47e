#include "common/file_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

static int OpenRetry(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do fd = ::open(path, flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

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

bool MakeTempFileName(std::string& path) {
    int fd = CreateTempFile(path);
    if (fd < 0) return false;
    ::close(fd);
    return true;
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

bool AppendToFile(const std::string& path, const char* data, size_t length) {
    int fd = OpenRetry(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (fd < 0) return false;
    bool ok = true;
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    ::close(fd);
    return ok;
}

int ReadFileBlock(const std::string& path, char* buffer, int64_t offset, int size) {
    int fd = OpenRetry(path.c_str(), O_RDONLY);
    if (fd < 0) return 0;
    int total = 0;
    while (total < size) {
        ssize_t n = ::pread(fd, buffer + total, static_cast<size_t>(size - total),
                            offset > 0 ? offset + total : total);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        total += static_cast<int>(n);
    }
    ::close(fd);
    return total;
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
