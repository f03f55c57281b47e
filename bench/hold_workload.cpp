#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

#include "bench/bench_metrics.h"
#include "bench/nntp_connection.h"
#include "bench/workloads.h"

namespace {

bool RaiseFileLimit(size_t needed) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    if (limit.rlim_cur >= needed) return true;
    if (limit.rlim_max < needed) limit.rlim_max = needed;  // works only with privilege
    limit.rlim_cur = needed;
    if (::setrlimit(RLIMIT_NOFILE, &limit) == 0) return true;
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur >= needed;
}

// A few ARTICLE requests on one fresh connection: how a lone reader fares.
bool Probe(const Options& opt, std::vector<double>& latencies) {
    CConnection conn;
    GroupInfo info;
    if (!conn.OpenAndGreet(opt.host, opt.port) || !SelectGroup(conn, opt.readGroup, info)) {
        ReportFailure("w4 probe: " + conn.Error());
        return false;
    }
    std::mt19937 random(opt.seed);
    std::uniform_int_distribution<long> pick(info.first, info.last);
    std::string status;
    for (int i = 0; i < opt.probeRequests; ++i) {
        size_t lines = 0, bytes = 0;
        std::string argument = std::to_string(pick(random));
        Clock::time_point t = Clock::now();
        if (!conn.Command("ARTICLE " + argument, 220, status) || !conn.ReadBlock(lines, bytes)) {
            ReportFailure("w4 probe: ARTICLE " + argument + ": " + conn.Error());
            return false;
        }
        latencies.push_back(MsSince(t));
    }
    return Quit(conn);
}

struct HeldConnection {
    enum class State { WaitGreeting, WaitGroup, Held, Failed };
    int fd = -1;
    State state = State::WaitGreeting;
    Clock::time_point started;
    std::string buffer;
};

// Reads what is waiting on `c` and advances its state. False on a wrong
// reply code (a failure of the run, not just of this connection).
bool AdvanceConnection(HeldConnection& c, const std::string& group, std::vector<double>& greetingMs,
                       std::string& error) {
    char chunk[4096];
    for (;;) {
        ssize_t n = ::recv(c.fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n <= 0) {
            c.state = HeldConnection::State::Failed;
            return true;
        }
        c.buffer.append(chunk, static_cast<size_t>(n));
        if (c.buffer.size() > 65536) break;
    }
    size_t lf = c.buffer.find('\n');
    if (lf == std::string::npos) return true;
    std::string line = c.buffer.substr(0, lf);
    c.buffer.erase(0, lf + 1);
    if (c.state == HeldConnection::State::WaitGreeting) {
        if (line.compare(0, 3, "200") != 0) {
            error = "greeting: " + line;
            return false;
        }
        greetingMs.push_back(MsSince(c.started));
        std::string command = "GROUP " + group + "\r\n";
        if (::send(c.fd, command.data(), command.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(command.size())) {
            c.state = HeldConnection::State::Failed;
            return true;
        }
        c.state = HeldConnection::State::WaitGroup;
    } else if (c.state == HeldConnection::State::WaitGroup) {
        if (line.compare(0, 3, "211") != 0) {
            error = "GROUP: " + line;
            return false;
        }
        c.state = HeldConnection::State::Held;
    } else {
        error = "unexpected bytes on a held connection: " + line;
        return false;
    }
    return true;
}

}  // namespace

bool RunW4(const Options& opt) {
    const size_t total = static_cast<size_t>(opt.w4Connections);
    if (!RaiseFileLimit(total + 256)) {
        ReportFailure("w4: cannot raise the open file limit to " + std::to_string(total + 256));
        return false;
    }
    std::vector<double> probeBefore, probeHeld;
    if (!Probe(opt, probeBefore)) return false;

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(std::atoi(opt.port.c_str())));
    if (::inet_pton(AF_INET, opt.host.c_str(), &addr.sin_addr) != 1) {
        ReportFailure("w4: host must be a dotted IPv4 address");
        return false;
    }
    long rssBefore = opt.serverPid ? ReadRssKb(opt.serverPid) : -1;
    long fdsBefore = CountServerFds(opt.serverPid);
    int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<HeldConnection> conns(total);
    std::vector<double> greetingMs;
    std::string error;
    size_t timedOut = 0, notTried = 0;
    Clock::time_point openStart = Clock::now();
    for (size_t begin = 0; begin < total && error.empty(); begin += opt.w4Batch) {
        if (SecondsSince(openStart) > opt.timeLimitSeconds) {
            notTried = total - begin;
            for (size_t i = begin; i < total; ++i) conns[i].state = HeldConnection::State::Failed;
            break;
        }
        size_t end = std::min(total, begin + static_cast<size_t>(opt.w4Batch));
        for (size_t i = begin; i < end; ++i) {
            HeldConnection& c = conns[i];
            c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            c.started = Clock::now();
            if (c.fd < 0) {
                error = std::string("socket: ") + std::strerror(errno);
                break;
            }
            int one = 1;
            ::setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            if (::connect(c.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
                errno != EINPROGRESS) {
                c.state = HeldConnection::State::Failed;
                continue;
            }
            epoll_event ev{};
            ev.events = EPOLLIN | EPOLLRDHUP;
            ev.data.u64 = i;
            ::epoll_ctl(epoll, EPOLL_CTL_ADD, c.fd, &ev);
        }
        // Wait for this batch to be greeted and to have its group selected.
        Clock::time_point batchStart = Clock::now();
        auto pending = [&] {
            size_t n = 0;
            for (size_t i = begin; i < end; ++i)
                if (conns[i].state == HeldConnection::State::WaitGreeting ||
                    conns[i].state == HeldConnection::State::WaitGroup)
                    ++n;
            return n;
        };
        epoll_event events[256];
        while (error.empty() && pending() > 0 &&
               SecondsSince(batchStart) < opt.w4BatchWaitSeconds) {
            int n = ::epoll_wait(epoll, events, 256, 100);
            for (int e = 0; e < n && error.empty(); ++e) {
                HeldConnection& c = conns[events[e].data.u64];
                if (c.state == HeldConnection::State::Failed) continue;
                if (!AdvanceConnection(c, opt.readGroup, greetingMs, error)) break;
                // A closed socket stays readable; watching it would spin.
                if (c.state == HeldConnection::State::Failed)
                    ::epoll_ctl(epoll, EPOLL_CTL_DEL, c.fd, nullptr);
            }
        }
        for (size_t i = begin; i < end; ++i) {
            if (conns[i].state == HeldConnection::State::WaitGreeting ||
                conns[i].state == HeldConnection::State::WaitGroup) {
                conns[i].state = HeldConnection::State::Failed;
                ++timedOut;
            }
        }
    }
    double openSeconds = SecondsSince(openStart);

    // Hold: halfway through, look at the server's memory and at how a lone
    // reader fares beside all these idle connections.
    long rssHeld = -1;
    ServerCpuMark holdStartCpu = MarkServerCpu(opt.serverPid), holdEndCpu;
    double holdSeconds = 0;
    if (error.empty()) {
        Clock::time_point holdStart = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(opt.w4HoldSeconds / 2));
        if (opt.serverPid) rssHeld = ReadRssKb(opt.serverPid);
        Probe(opt, probeHeld);
        double left = opt.w4HoldSeconds - SecondsSince(holdStart);
        if (left > 0) std::this_thread::sleep_for(std::chrono::duration<double>(left));
        holdSeconds = SecondsSince(holdStart);
        holdEndCpu = MarkServerCpu(opt.serverPid);
    }
    // A connection still counts as held when the server has neither closed it
    // nor sent anything on it.
    size_t held = 0, failed = 0;
    for (HeldConnection& c : conns) {
        if (c.state != HeldConnection::State::Held) {
            ++failed;
            continue;
        }
        pollfd p{c.fd, POLLIN, 0};
        if (::poll(&p, 1, 0) == 0)
            ++held;
        else
            ++failed;
    }
    // Then all go at once, and the server has to notice and reap them.
    ServerCpuMark reapStartCpu = MarkServerCpu(opt.serverPid), reapEndCpu;
    Clock::time_point reapStart = Clock::now();
    for (HeldConnection& c : conns)
        if (c.fd >= 0) ::close(c.fd);
    ::close(epoll);
    double reapMs = -1;
    if (fdsBefore >= 0) {
        for (int i = 0; i < 6000 && SecondsSince(reapStart) < 60; ++i) {
            if (CountServerFds(opt.serverPid) <= fdsBefore) {
                reapMs = MsSince(reapStart);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        reapEndCpu = MarkServerCpu(opt.serverPid);
        if (reapMs < 0) ReportFailure("w4: the server still held the connections after 60 s");
    }
    if (!error.empty()) {
        ReportFailure("w4: " + error);
        return false;
    }
    EmitCount("w4.connections", static_cast<long long>(total), "connections");
    EmitCount("w4.connections_held", static_cast<long long>(held), "connections");
    EmitCount("w4.connections_failed", static_cast<long long>(failed), "connections");
    EmitCount("w4.connections_timed_out", static_cast<long long>(timedOut), "connections");
    if (notTried > 0)
        EmitCount("w4.connections_not_tried", static_cast<long long>(notTried), "connections");
    Emit("w4.open_s", openSeconds, "s");
    std::vector<double> copy = greetingMs;
    Emit("w4.greeting_p50_ms", Percentile(copy, 0.50), "ms");
    Emit("w4.greeting_p99_ms", Percentile(copy, 0.99), "ms");
    Emit("w4.greeting_max_ms", Percentile(copy, 1.0), "ms");
    Emit("w4.probe_before_p50_ms", Percentile(probeBefore, 0.5), "ms");
    Emit("w4.probe_held_p50_ms", Percentile(probeHeld, 0.5), "ms");
    // What the server does while every connection is silent (the probe's
    // few requests included): an idle server should be near 0 %.
    if (holdSeconds > 0) EmitServerCpu("w4.hold", holdStartCpu, holdEndCpu, 0, holdSeconds);
    if (reapMs >= 0) Emit("w4.reap_ms", reapMs, "ms");
    if (reapMs >= 0) EmitServerCpu("w4.reap", reapStartCpu, reapEndCpu, 0, reapMs / 1000.0);
    if (rssBefore > 0 && rssHeld > 0) {
        EmitCount("w4.rss_before_kb", rssBefore, "kB");
        EmitCount("w4.rss_held_kb", rssHeld, "kB");
        Emit("w4.rss_per_conn_kb",
             static_cast<double>(rssHeld - rssBefore) /
                 static_cast<double>(std::max<size_t>(held, 1)),
             "kB");
    }
    if (held < total)
        ReportFailure("w4: only " + std::to_string(held) + " of " + std::to_string(total) +
                      " connections held");
    return !Failed();
}
