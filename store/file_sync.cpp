#include "store/file_sync.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

class SystemSync : public IFileSync {
public:
    bool SyncData(int fd) override {
        int rc;
        do rc = ::fdatasync(fd);
        while (rc != 0 && errno == EINTR);
        return rc == 0;
    }

    bool SyncDirectory(const std::string& path) override {
        int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return false;
        int rc;
        do rc = ::fsync(fd);
        while (rc != 0 && errno == EINTR);
        int error = errno;
        ::close(fd);
        errno = error;
        return rc == 0;
    }
};

}  // namespace

IFileSync& SystemFileSync() {
    static SystemSync sync;
    return sync;
}
