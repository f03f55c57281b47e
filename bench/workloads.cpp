#include "bench/workloads.h"

#include <openssl/ssl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>
#include <thread>

#include "bench/bench_metrics.h"
#include "bench/nntp_connection.h"

namespace {

// Runs XOVER over the numbers from `low` to `high` and hands each overview
// line to `onLine`.
bool XoverRange(CConnection& conn, long low, long high, size_t& lines, size_t& bytes,
                const std::function<void(const std::string&)>& onLine) {
    std::string status;
    return conn.Command("XOVER " + std::to_string(low) + "-" + std::to_string(high), 224, status) &&
           conn.ReadBlock(lines, bytes, onLine);
}

// Runs XOVER first-last and hands each overview line to `onLine`.
bool Xover(CConnection& conn, const GroupInfo& info, size_t& lines, size_t& bytes,
           const std::function<void(const std::string&)>& onLine) {
    return XoverRange(conn, info.first, info.last, lines, bytes, onLine);
}

// The first number W3 reads: the group's first, or the first of the newest.
long FirstRead(const Options& opt, const GroupInfo& info) {
    return opt.newest > 0 ? std::max(info.first, info.last - opt.newest + 1) : info.first;
}

}  // namespace

bool RunPosts(const Options& opt, const char* name, const std::string& group, int count) {
    Clock::time_point deadline = DeadlineAfter(opt.timeLimitSeconds);
    CConnection conn;
    GroupInfo before;
    if (!conn.OpenAndGreet(opt.host, opt.port) || !SelectGroup(conn, group, before)) {
        ReportFailure(std::string(name) + ": " + conn.Error());
        return false;
    }
    std::vector<std::string> articles;
    articles.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        std::string id = "<" + std::string(name) + "." + std::to_string(getpid()) + "." +
                         std::to_string(i) + "@bench.invalid>";
        articles.push_back(
            MakeArticle(group, id, std::string(name) + " article " + std::to_string(i), DateNow()));
    }
    std::vector<double> latencies;
    latencies.reserve(articles.size());
    ServerCpuMark cpuStart = MarkServerCpu(opt.serverPid);
    Clock::time_point start = Clock::now();
    for (const std::string& article : articles) {
        if (Clock::now() > deadline) {
            ReportFailure(std::string(name) + ": time limit reached after " +
                          std::to_string(latencies.size()) + " posts");
            return false;
        }
        Clock::time_point t = Clock::now();
        if (!PostOne(conn, article)) {
            ReportFailure(std::string(name) + ": post " + std::to_string(latencies.size()) + ": " +
                          conn.Error());
            return false;
        }
        latencies.push_back(MsSince(t));
    }
    double seconds = SecondsSince(start);
    std::string prefix(name);
    EmitServerCpu(prefix, cpuStart, MarkServerCpu(opt.serverPid), latencies.size(), seconds);
    GroupInfo after;
    if (!SelectGroup(conn, group, after) || !Quit(conn)) {
        ReportFailure(std::string(name) + ": " + conn.Error());
        return false;
    }
    if (after.count - before.count != count)
        ReportFailure(std::string(name) + ": group count grew by " +
                      std::to_string(after.count - before.count) + ", expected " +
                      std::to_string(count));
    Emit(prefix + ".posts_per_s", count / seconds, "posts/s");
    // The first post into a group may pay for what start-up left undone.
    Emit(prefix + ".first_ms", latencies.front(), "ms");
    EmitLatencies(prefix, latencies);
    EmitCount(prefix + ".group_articles", after.count, "articles");
    return !Failed();
}

bool RunConcurrentPosts(const Options& opt, const char* name, const std::string& group, int clients,
                        int perClient) {
    Clock::time_point deadline = DeadlineAfter(opt.timeLimitSeconds);
    std::string prefix(name);
    GroupInfo before;
    {
        CConnection conn;
        if (!conn.OpenAndGreet(opt.host, opt.port) || !SelectGroup(conn, group, before) ||
            !Quit(conn)) {
            ReportFailure(prefix + ": " + conn.Error());
            return false;
        }
    }
    std::vector<std::vector<double>> latencies(static_cast<size_t>(clients));
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            std::vector<std::string> articles;
            for (int i = 0; i < perClient; ++i) {
                std::string id = "<" + prefix + "." + std::to_string(getpid()) + "." +
                                 std::to_string(c) + "." + std::to_string(i) + "@bench.invalid>";
                articles.push_back(MakeArticle(group, id, prefix + " article", DateNow()));
            }
            std::vector<double>& mine = latencies[static_cast<size_t>(c)];
            mine.reserve(articles.size());
            CConnection conn;
            bool ok = conn.OpenAndGreet(opt.host, opt.port);
            ++ready;
            if (!ok) {
                ReportFailure(prefix + ": " + conn.Error());
                return;
            }
            // The other clients are waited for, so that all start together.
            WaitForGo(go);
            for (const std::string& article : articles) {
                if (Failed()) return;
                if (Clock::now() > deadline) {
                    ReportFailure(prefix + ": time limit reached");
                    return;
                }
                Clock::time_point t = Clock::now();
                if (!PostOne(conn, article)) {
                    ReportFailure(prefix + ": post: " + conn.Error());
                    return;
                }
                mine.push_back(MsSince(t));
            }
            if (!Quit(conn)) ReportFailure(prefix + ": " + conn.Error());
        });
    }
    auto [cpuStart, seconds] = RunWhenReady(threads, ready, clients, go, opt.serverPid);
    if (Failed()) return false;
    std::vector<double> all = Joined(latencies);
    EmitServerCpu(prefix, cpuStart, MarkServerCpu(opt.serverPid), all.size(), seconds);
    CConnection conn;
    GroupInfo after;
    if (!conn.OpenAndGreet(opt.host, opt.port) || !SelectGroup(conn, group, after) || !Quit(conn)) {
        ReportFailure(prefix + ": " + conn.Error());
        return false;
    }
    if (after.count - before.count != clients * perClient)
        ReportFailure(prefix + ": group count grew by " +
                      std::to_string(after.count - before.count) + ", expected " +
                      std::to_string(clients * perClient));
    Emit(prefix + ".posts_per_s", static_cast<double>(all.size()) / seconds, "posts/s");
    EmitLatencies(prefix, all);
    return !Failed();
}

bool RunXoverNewest(const Options& opt) {
    CConnection conn;
    GroupInfo info;
    if (!conn.OpenAndGreet(opt.host, opt.port) || !SelectGroup(conn, opt.readGroup, info)) {
        ReportFailure("xnew: " + conn.Error());
        return false;
    }
    std::vector<double> times;
    for (int run = 0; run < std::max(2, opt.xoverRuns); ++run) {
        size_t lines = 0, bytes = 0;
        Clock::time_point t = Clock::now();
        if (!XoverRange(conn, std::max(info.first, info.last - 99), info.last, lines, bytes,
                        [](const std::string&) {})) {
            ReportFailure("xnew: " + conn.Error());
            return false;
        }
        times.push_back(MsSince(t));
        if (lines != 100 && info.count >= 100)
            ReportFailure("xnew: " + std::to_string(lines) + " lines for the newest 100");
    }
    if (!Quit(conn)) ReportFailure("xnew: " + conn.Error());
    Emit("xnew.first_ms", times.front(), "ms");
    Emit("xnew.p50_ms", Percentile(times, 0.5), "ms");
    return !Failed();
}

bool RunW2(const Options& opt) {
    Clock::time_point deadline = DeadlineAfter(opt.timeLimitSeconds);
    CConnection conn;
    GroupInfo info;
    if (!conn.OpenAndGreet(opt.host, opt.port) || !SelectGroup(conn, opt.readGroup, info)) {
        ReportFailure("w2: " + conn.Error());
        return false;
    }
    std::vector<double> times;
    size_t lines = 0, bytes = 0;
    ServerCpuMark cpuStart = MarkServerCpu(opt.serverPid);
    Clock::time_point start = Clock::now();
    for (int run = 0; run < opt.xoverRuns && Clock::now() < deadline; ++run) {
        Clock::time_point t = Clock::now();
        if (!Xover(conn, info, lines, bytes, [](const std::string&) {})) {
            ReportFailure("w2: " + conn.Error());
            return false;
        }
        times.push_back(MsSince(t));
    }
    EmitServerCpu("w2", cpuStart, MarkServerCpu(opt.serverPid), times.size(), SecondsSince(start));
    if (!Quit(conn)) {
        ReportFailure("w2: " + conn.Error());
        return false;
    }
    if (static_cast<long>(lines) != info.count)
        ReportFailure("w2: " + std::to_string(lines) + " overview lines for a group of " +
                      std::to_string(info.count));
    EmitCount("w2.runs", static_cast<long long>(times.size()), "runs");
    Emit("w2.xover_ms", Percentile(times, 0.5), "ms");
    EmitCount("w2.lines", static_cast<long long>(lines), "lines");
    EmitCount("w2.bytes", static_cast<long long>(bytes), "bytes");
    return !Failed();
}

bool LearnMessageIds(const Options& opt, std::vector<std::string>& ids) {
    CConnection conn;
    GroupInfo info;
    if (!conn.OpenAndGreet(opt.host, opt.port) || !SelectGroup(conn, opt.readGroup, info)) {
        ReportFailure("w3id: " + conn.Error());
        return false;
    }
    size_t lines = 0, bytes = 0;
    bool ok = XoverRange(
        conn, FirstRead(opt, info), info.last, lines, bytes, [&ids](const std::string& line) {
            // number, subject, from, date, Message-ID, ...
            size_t pos = 0;
            for (int field = 0; field < 4 && pos != std::string::npos; ++field)
                pos = line.find('\t', pos) + 1;
            if (pos == 0) return;
            size_t end = line.find('\t', pos);
            ids.push_back(line.substr(pos, end == std::string::npos ? end : end - pos));
        });
    if (!ok || !Quit(conn)) {
        ReportFailure("w3id: " + conn.Error());
        return false;
    }
    if (ids.empty()) {
        ReportFailure("w3id: XOVER gave no Message-IDs");
        return false;
    }
    return true;
}

namespace {

using SessionPtr = std::unique_ptr<SSL_SESSION, decltype(&SSL_SESSION_free)>;

// The TLS session every client of `name` resumes: from one connection that
// has had its first reply, with which the server's ticket comes. False after
// a failure, reported.
bool SessionToResume(const Options& opt, const char* name, SessionPtr& session) {
    CConnection first;
    GroupInfo info;
    if (!first.OpenAndGreet(opt.host, opt.port, true) || !SelectGroup(first, opt.readGroup, info) ||
        !Quit(first)) {
        ReportFailure(std::string(name) + ": " + first.Error());
        return false;
    }
    session.reset(first.Session());
    return true;
}

// What W3 asks for next: a number of the group, or one of `ids` when given.
std::string PickArticle(const Options& opt, const GroupInfo& info,
                        const std::vector<std::string>& ids, std::mt19937& random) {
    if (!ids.empty()) {
        std::uniform_int_distribution<size_t> pick(0, ids.size() - 1);
        return ids[pick(random)];
    }
    std::uniform_int_distribution<long> pick(FirstRead(opt, info), info.last);
    return std::to_string(pick(random));
}

}  // namespace

bool RunW3(const Options& opt, const char* name, const std::vector<std::string>& ids, bool tls) {
    Clock::time_point deadline = DeadlineAfter(opt.timeLimitSeconds);
    SessionPtr session(nullptr, SSL_SESSION_free);
    if (tls && !SessionToResume(opt, name, session)) return false;
    std::atomic<int> resumed{0};
    std::vector<std::vector<double>> latencies(static_cast<size_t>(opt.w3Clients));
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < opt.w3Clients; ++c) {
        threads.emplace_back([&, c] {
            std::vector<double>& mine = latencies[static_cast<size_t>(c)];
            mine.reserve(static_cast<size_t>(opt.w3Requests));
            CConnection conn;
            GroupInfo info;
            bool ok = conn.OpenAndGreet(opt.host, opt.port, tls, session.get()) &&
                      SelectGroup(conn, opt.readGroup, info);
            if (conn.Resumed()) ++resumed;
            ++ready;
            if (!ok) {
                ReportFailure(std::string(name) + ": " + conn.Error());
                return;
            }
            // The other clients are waited for, so that all start together.
            WaitForGo(go);
            std::mt19937 random(opt.seed + static_cast<unsigned>(c));
            std::string status;
            for (int r = 0; r < opt.w3Requests && !Failed(); ++r) {
                if (Clock::now() > deadline) {
                    ReportFailure(std::string(name) + ": time limit reached");
                    return;
                }
                std::string argument = PickArticle(opt, info, ids, random);
                size_t lines = 0, bytes = 0;
                Clock::time_point t = Clock::now();
                if (!conn.Command("ARTICLE " + argument, 220, status) ||
                    !conn.ReadBlock(lines, bytes)) {
                    ReportFailure(std::string(name) + ": ARTICLE " + argument + ": " +
                                  conn.Error());
                    return;
                }
                mine.push_back(MsSince(t));
            }
            if (!Quit(conn)) ReportFailure(std::string(name) + ": " + conn.Error());
        });
    }
    auto [cpuStart, seconds] = RunWhenReady(threads, ready, opt.w3Clients, go, opt.serverPid);
    if (Failed()) return false;
    std::vector<double> all = Joined(latencies);
    std::string prefix(name);
    EmitServerCpu(prefix, cpuStart, MarkServerCpu(opt.serverPid), all.size(), seconds);
    Emit(prefix + ".articles_per_s", static_cast<double>(all.size()) / seconds, "articles/s");
    EmitLatencies(prefix, all);
    if (tls) EmitCount(prefix + ".resumed_clients", resumed, "clients");
    return true;
}

bool RunHandshakes(const Options& opt) {
    Clock::time_point deadline = DeadlineAfter(opt.timeLimitSeconds);
    std::vector<std::vector<double>> latencies(static_cast<size_t>(opt.w3Clients));
    std::atomic<int> resumed{0};
    ServerCpuMark cpuStart = MarkServerCpu(opt.serverPid);
    Clock::time_point start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < opt.w3Clients; ++c) {
        threads.emplace_back([&, c] {
            std::vector<double>& mine = latencies[static_cast<size_t>(c)];
            int count = opt.handshakes / opt.w3Clients + (c < opt.handshakes % opt.w3Clients);
            for (int i = 0; i < count && !Failed(); ++i) {
                if (Clock::now() > deadline) {
                    ReportFailure("handshakes: time limit reached");
                    return;
                }
                Clock::time_point t = Clock::now();
                CConnection conn;
                if (!conn.OpenAndGreet(opt.host, opt.port, true)) {
                    ReportFailure("handshakes: " + conn.Error());
                    return;
                }
                if (conn.Resumed()) ++resumed;
                conn.Close();
                mine.push_back(MsSince(t));
            }
        });
    }
    for (std::thread& t : threads) t.join();
    double seconds = SecondsSince(start);
    if (Failed()) return false;
    std::vector<double> all = Joined(latencies);
    EmitServerCpu("handshakes", cpuStart, MarkServerCpu(opt.serverPid), all.size(), seconds);
    Emit("handshakes.per_s", static_cast<double>(all.size()) / seconds, "handshakes/s");
    EmitLatencies("handshakes", all);
    EmitCount("handshakes.resumed", resumed, "handshakes");
    return true;
}

bool RunReady(const Options& opt) {
    Clock::time_point start = Clock::now();
    for (int attempt = 0; attempt < 60000 && SecondsSince(start) < opt.timeLimitSeconds;
         ++attempt) {
        CConnection conn;
        if (conn.OpenAndGreet(opt.host, opt.port)) {
            double ms = MsSince(start);
            if (!Quit(conn)) {
                ReportFailure("ready: " + conn.Error());
                return false;
            }
            Emit("ready.wait_ms", ms, "ms");
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ReportFailure("ready: the server did not greet in time");
    return false;
}
