#include "store/message_id.h"

#include <netdb.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace {

std::string Base36(uint64_t value) {
    char digits[16];
    size_t n = 0;
    do {
        digits[n++] = "0123456789abcdefghijklmnopqrstuvwxyz"[value % 36];
        value /= 36;
    } while (value > 0);
    std::string out;
    while (n > 0) out += digits[--n];
    return out;
}

// The part that sets this process apart from every other that makes
// Message-IDs on this host. The pid alone would repeat when the server is
// restarted within a second under the same pid (the first process of a
// container always has pid 1); the random number alone could, however
// unlikely, meet its twin in a concurrent process. A forked child would
// inherit both, so the tag is made again when the pid has changed.
const std::string& ProcessTag() {
    static pid_t s_nTagPid = 0;
    static std::string s_strTag;
    const pid_t pid = ::getpid();
    if (pid == s_nTagPid) return s_strTag;
    uint32_t random = 0;
    if (::getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        // No entropy to be had: the clock's finest digits will do.
        struct timespec ts {};
        ::clock_gettime(CLOCK_REALTIME, &ts);
        random = static_cast<uint32_t>(ts.tv_nsec) ^ static_cast<uint32_t>(ts.tv_sec);
    }
    s_nTagPid = pid;
    s_strTag = Base36(static_cast<uint64_t>(pid)) + "." + Base36(random);
    return s_strTag;
}

uint64_t s_nMessageIdCount = 0;

std::string Lowered(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return text;
}

}  // namespace

std::string NewMessageId(time_t now, std::string_view pathHost) {
    std::string id = "<" + Base36(static_cast<uint64_t>(now < 0 ? 0 : now)) + "." +
                     Base36(s_nMessageIdCount++) + "." + ProcessTag() + "@";
    id.append(pathHost);
    id += '>';
    return id;
}

std::string DefaultPathHost() {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "localhost";
    std::string name = host;
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_CANONNAME;
    struct addrinfo* info = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &info) == 0) {
        if (info && info->ai_canonname && std::strchr(info->ai_canonname, '.'))
            name = info->ai_canonname;
        ::freeaddrinfo(info);
    }
    return Lowered(name);
}
