// A news server that does no work: it answers the commands the workloads
// send with fixed replies of the right shape and size, reading nothing from
// disk and storing nothing. What the generator measures against it is the
// floor of the machine (system calls, loopback delivery, scheduling), so our
// own numbers can be read against what the same machine could do at best.
//
//   null_server PORT [ARTICLES [DIR]]
//
// Every group holds ARTICLES articles (20000) numbered from 1, plus those
// posted since. With DIR, ARTICLE n sends the file DIR/n, opened, read and
// closed each time: the floor of a server that reads every article from disk.
// One thread, epoll, non-blocking sockets, TCP_NODELAY.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "bench/nntp_connection.h"

namespace {

struct Client {
    std::string in;
    std::string out;
    size_t sent = 0;
    bool posting = false;
    bool writing = false;  // asked for write readiness
    std::string group;
};

long g_base = 20000;
std::map<std::string, long> g_posted;  // group -> articles posted since start
std::string g_article;                 // the 2 KB article, terminating line included
int g_directory = -1;                  // where articles are read from, or -1

// Article n from the directory, or the fixed article.
void AppendArticle(std::string& out, const std::string& number) {
    if (g_directory < 0) {
        out += g_article;
        return;
    }
    int fd = ::openat(g_directory, number.c_str(), O_RDONLY | O_CLOEXEC | O_NOATIME);
    if (fd < 0) return;
    // A short read of a regular file is its end: no read that returns 0.
    size_t at = out.size();
    ssize_t n;
    do {
        out.resize(at + 65536);
        n = ::read(fd, &out[at], 65536);
        at += n > 0 ? static_cast<size_t>(n) : 0;
    } while (n == 65536);
    out.resize(at);
    ::close(fd);
}

std::string OverviewLine(long n) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "%ld\tfill article %ld\tbench <bench@bench.invalid>\tMon, 01 Jan 2024 00:00:00 "
                  "+0000\t<fill.%ld@bench.invalid>\t\t2048\t30\r\n",
                  n, n, n);
    return line;
}

void Answer(Client& c, const std::string& line) {
    auto word = [&](const char* w) { return strncasecmp(line.c_str(), w, std::strlen(w)) == 0; };
    long last = g_base + g_posted[c.group];
    if (word("GROUP ")) {
        c.group = line.substr(6);
        last = g_base + g_posted[c.group];
        c.out +=
            "211 " + std::to_string(last) + " 1 " + std::to_string(last) + " " + c.group + "\r\n";
    } else if (word("XOVER")) {
        long low = 1, high = last;
        std::sscanf(line.c_str() + 5, " %ld-%ld", &low, &high);
        // Made once per range: the floor should not pay for formatting.
        static std::map<std::pair<long, long>, std::string> listings;
        std::string& listing = listings[{low, std::min(high, last)}];
        if (listing.empty()) {
            listing = "224 overview\r\n";
            for (long n = low; n <= high && n <= last; ++n) listing += OverviewLine(n);
            listing += ".\r\n";
        }
        c.out += listing;
    } else if (word("ARTICLE ")) {
        c.out += "220 " + line.substr(8) + " article\r\n";
        AppendArticle(c.out, line.substr(8));
    } else if (word("POST")) {
        c.posting = true;
        c.out += "340 send article\r\n";
    } else if (word("QUIT")) {
        c.out += "205 bye\r\n";
    } else {
        c.out += "500 what?\r\n";
    }
}

// Takes whole lines (and whole posted articles) from the input.
void Consume(Client& c) {
    for (;;) {
        if (c.posting) {
            size_t end = c.in.find("\r\n.\r\n");
            if (end == std::string::npos) return;
            c.in.erase(0, end + 5);
            c.posting = false;
            ++g_posted[c.group.empty() ? "none" : c.group];
            c.out += "240 article posted\r\n";
            continue;
        }
        size_t end = c.in.find("\r\n");
        if (end == std::string::npos) return;
        std::string line = c.in.substr(0, end);
        c.in.erase(0, end + 2);
        Answer(c, line);
    }
}

// Sends what the socket takes; false when the connection is over.
bool Flush(int fd, Client& c) {
    while (c.sent < c.out.size()) {
        ssize_t n = ::send(fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
        if (n < 0) return errno == EAGAIN || errno == EINTR;
        c.sent += static_cast<size_t>(n);
    }
    c.out.clear();
    c.sent = 0;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: null_server PORT [ARTICLES [DIR]]\n");
        return 2;
    }
    if (argc > 2) g_base = std::atol(argv[2]);
    if (argc > 3 && (g_directory = ::open(argv[3], O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0) {
        std::perror(argv[3]);
        return 1;
    }
    g_article = MakeArticle("bench.read", "<null@bench.invalid>", "null", "");
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, SOMAXCONN) != 0) {
        std::perror("null_server");
        return 1;
    }
    int poller = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listener;
    ::epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);
    std::map<int, Client> clients;
    epoll_event ready[256];
    char buffer[65536];
    for (;;) {
        int count = ::epoll_wait(poller, ready, 256, -1);
        for (int i = 0; i < count; ++i) {
            int fd = ready[i].data.fd;
            if (fd == listener) {
                int accepted;
                while ((accepted = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) {
                    ::setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    epoll_event e{};
                    e.events = EPOLLIN;
                    e.data.fd = accepted;
                    ::epoll_ctl(poller, EPOLL_CTL_ADD, accepted, &e);
                    Client& c = clients[accepted];
                    c.out = "200 null server ready\r\n";
                    Flush(accepted, c);
                }
                continue;
            }
            Client& c = clients[fd];
            bool alive = true;
            if (ready[i].events & EPOLLIN) {
                ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n > 0) {
                    c.in.append(buffer, static_cast<size_t>(n));
                    Consume(c);
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    alive = false;
                }
            }
            if (alive) alive = Flush(fd, c);
            if (!alive) {
                ::close(fd);
                clients.erase(fd);
                continue;
            }
            if (c.writing == c.out.empty()) {
                c.writing = !c.out.empty();
                epoll_event e{};
                e.events = c.writing ? EPOLLIN | EPOLLOUT : EPOLLIN;
                e.data.fd = fd;
                ::epoll_ctl(poller, EPOLL_CTL_MOD, fd, &e);
            }
        }
    }
}
