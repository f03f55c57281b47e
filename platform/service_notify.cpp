#include "platform/service_notify.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Fills `address` from NOTIFY_SOCKET's value and returns its length, or 0
// when the value is neither a path nor an abstract name, or does not fit.
socklen_t NotifyAddress(const char* name, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    size_t length = std::strlen(name);
    bool abstract = name[0] == '@';
    if (!abstract && name[0] != '/') return 0;
    // A path needs room for its terminating NUL; an abstract name is counted
    // exactly, without one, or the manager's socket would not match it.
    if (length + (abstract ? 0 : 1) > sizeof address.sun_path) return 0;
    std::memcpy(address.sun_path, name, length);
    if (abstract) address.sun_path[0] = '\0';
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (abstract ? 0 : 1));
}

}  // namespace

bool NotifyServiceManager(const std::string& state, std::string& error) {
    error.clear();
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (!name || !*name) return false;
    sockaddr_un address;
    socklen_t addressLength = NotifyAddress(name, address);
    if (addressLength == 0) {
        error = std::string(name) + ": not a socket path or abstract name";
        return false;
    }
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = std::string(name) + ": " + std::strerror(errno);
        return false;
    }
    ssize_t sent;
    do {
        sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), addressLength);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) error = std::string(name) + ": " + std::strerror(errno);
    ::close(fd);
    return sent >= 0;
}

bool StdoutIsJournal() {
    const char* value = std::getenv("JOURNAL_STREAM");
    if (!value || !*value) return false;
    uintmax_t device = 0;
    uintmax_t inode = 0;
    int consumed = 0;
    if (std::sscanf(value, "%" SCNuMAX ":%" SCNuMAX "%n", &device, &inode, &consumed) != 2 ||
        value[consumed] != '\0')
        return false;
    struct stat st;
    if (::fstat(STDOUT_FILENO, &st) != 0) return false;
    return static_cast<uintmax_t>(st.st_dev) == device &&
           static_cast<uintmax_t>(st.st_ino) == inode;
}
