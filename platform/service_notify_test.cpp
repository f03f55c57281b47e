// The notify protocol against a datagram socket of the test's own, and the
// recognition of a journal stream on stdout.

#include "platform/service_notify.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <optional>

#include "common/text.h"
#include "tests/test_support.h"

namespace {

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (m_old)
            ::setenv(m_name, m_old->c_str(), 1);
        else
            ::unsetenv(m_name);
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

// A bound datagram socket standing in for the service manager. `name` is a
// path or, starting with '@', an abstract name.
class FakeManager {
public:
    explicit FakeManager(const std::string& name) {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.data(), name.size());
        if (name[0] == '@') address.sun_path[0] = '\0';
        socklen_t length = offsetof(sockaddr_un, sun_path) + name.size();
        EXPECT_EQ(0, ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), length)) << name;
        timeval timeout{2, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~FakeManager() { ::close(m_fd); }

    // The next datagram, or "(none)" after two seconds.
    std::string Receive() {
        char buffer[4096];
        ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        return n < 0 ? "(none)" : std::string(buffer, static_cast<size_t>(n));
    }

private:
    int m_fd = -1;
};

TEST(NotifyServiceManager, DeliversTheStateAsOneDatagram) {
    TempDir dir;
    std::string abstractName = Format("@marrowby-notify-test-%d", static_cast<int>(::getpid()));
    for (const std::string& name : {dir / "notify", abstractName}) {
        FakeManager manager(name);
        ScopedEnv env("NOTIFY_SOCKET", name);
        std::string error;
        EXPECT_TRUE(NotifyServiceManager("READY=1\nSTATUS=Listening on port 119", error)) << name;
        EXPECT_EQ("", error) << name;
        EXPECT_TRUE(NotifyServiceManager("WATCHDOG=1", error)) << name;
        EXPECT_EQ("READY=1\nSTATUS=Listening on port 119", manager.Receive()) << name;
        EXPECT_EQ("WATCHDOG=1", manager.Receive()) << name;
    }
}

TEST(NotifyServiceManager, SendsNothingWithoutAManagerAndNamesAnUnusableSocket) {
    TempDir dir;
    struct Case {
        std::optional<std::string> value;
        bool reportsError;  // false: nobody to tell, quietly
    } cases[] = {
        {std::nullopt, false},
        {"", false},
        {"relative/notify", true},
        {"/" + std::string(sizeof(sockaddr_un::sun_path), 'x'), true},  // no room for the NUL
        {dir / "nobody-listens-here", true},
        {"vsock:2:1234", true},
    };
    for (const Case& c : cases) {
        std::string shown = c.value ? "'" + *c.value + "'" : "unset";
        ScopedEnv env("NOTIFY_SOCKET", c.value);
        std::string error = "stale";
        EXPECT_FALSE(NotifyServiceManager("READY=1", error)) << shown;
        if (c.reportsError)
            EXPECT_EQ(0u, error.find(*c.value)) << shown << ": " << error;
        else
            EXPECT_EQ("", error) << shown;
    }
}

TEST(StdoutIsJournal, OnlyTheDeviceAndInodeOfStdoutMatch) {
    struct stat out;
    ASSERT_EQ(0, ::fstat(STDOUT_FILENO, &out));
    unsigned long long dev = out.st_dev;
    unsigned long long ino = out.st_ino;
    struct Case {
        std::optional<std::string> value;
        bool journal;
    } cases[] = {
        {std::nullopt, false},
        {"", false},
        {Format("%llu:%llu", dev, ino), true},
        {Format("%llu:%llu", dev, ino + 1), false},
        {Format("%llu:%llu", dev + 1, ino), false},
        {Format("%llu:%llu:", dev, ino), false},
        {Format("%llu:%llux", dev, ino), false},
        {Format("%llu", dev), false},
        {"journal", false},
    };
    for (const Case& c : cases) {
        ScopedEnv env("JOURNAL_STREAM", c.value);
        EXPECT_EQ(c.journal, StdoutIsJournal()) << (c.value ? *c.value : "unset");
    }
}

}  // namespace
