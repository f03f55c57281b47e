// The inbound streaming feed: a peer sending 2 KB articles with TAKETHIS
// after MODE STREAM, pipelined, over one or more connections at once. Works
// against any server that lets the generator's address feed it (ours with
// the address in [Peers], INN with it in incoming.conf).
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_metrics.h"
#include "bench/nntp_connection.h"
#include "bench/workloads.h"

namespace {

// Writes all of `data` to `fd`; the writing side of a connection whose
// reading side another thread uses, so the error goes to `error`.
bool SendAll(int fd, const std::string& data, std::string& error) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = std::string("send: ") + (n < 0 ? std::strerror(errno) : "nothing");
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

struct FeedConnection {
    std::vector<std::string> ids;       // what this connection sends, in order
    std::vector<std::string> articles;  // "TAKETHIS <id>" and the article, each
    long accepted = 0;                  // answered 239
};

// Sends every article of `feed` on `conn`, keeping up to `window` of them
// sent ahead of their replies, as a streaming peer does: this thread writes
// whenever the window has room, a second one reads the replies as they
// come. Waiting for a batch of replies before writing again would stall on
// the server's small, Nagle-delayed replies and measure that instead.
bool Stream(CConnection& conn, FeedConnection& feed, int window, Clock::time_point deadline,
            std::string& error) {
    const size_t total = feed.articles.size();
    const size_t ahead = static_cast<size_t>(std::max(window, 1));
    std::mutex mutex;
    std::condition_variable answer;
    size_t answered = 0;
    bool readerDone = false;
    std::string readError;
    std::thread reader([&] {
        std::string line;
        for (size_t n = 0; n < total; ++n) {
            std::string problem;
            if (!conn.ReadLine(line))
                problem = conn.Error();
            else if (line.compare(0, 4, "239 ") != 0 ||
                     line.compare(4, feed.ids[n].size(), feed.ids[n]) != 0)
                problem = "TAKETHIS " + feed.ids[n] + ": \"" + line + "\"";
            std::lock_guard<std::mutex> lock(mutex);
            if (!problem.empty()) {
                readError = problem;
                break;
            }
            ++answered;
            answer.notify_one();
        }
        std::lock_guard<std::mutex> lock(mutex);
        readerDone = true;
        answer.notify_one();
    });
    std::string batch;
    size_t sent = 0;
    while (sent < total && error.empty()) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (!answer.wait_until(lock, deadline,
                                   [&] { return readerDone || sent - answered < ahead; })) {
                error = "time limit reached after " + std::to_string(answered) + " articles";
                break;
            }
            if (readerDone) break;
            batch.clear();
            for (size_t limit = answered + ahead; sent < total && sent < limit; ++sent)
                batch += feed.articles[sent];
        }
        if (!SendAll(conn.Descriptor(), batch, error)) break;
    }
    // The reader ends by itself once every reply is in or the connection
    // fails; shutting down the connection makes it fail at once.
    if (!error.empty()) ::shutdown(conn.Descriptor(), SHUT_RDWR);
    reader.join();
    if (error.empty()) error = readError;
    feed.accepted = static_cast<long>(answered);
    return error.empty();
}

}  // namespace

bool RunFeed(const Options& opt) {
    Clock::time_point deadline = DeadlineAfter(opt.timeLimitSeconds);
    const int connections = opt.feedConnections;
    std::vector<FeedConnection> feeds(static_cast<size_t>(connections));
    const std::string stamp = std::to_string(::getpid()) + "." +
                              std::to_string(Clock::now().time_since_epoch().count() % 1000000007);
    const std::string date = DateNow();
    for (int i = 0; i < opt.feedArticles; ++i) {
        FeedConnection& feed = feeds[static_cast<size_t>(i % connections)];
        std::string id = "<feed." + stamp + "." + std::to_string(i) + "@bench.invalid>";
        feed.articles.push_back("TAKETHIS " + id + "\r\n" +
                                MakeArticle(opt.feedGroup, id, "feed article " + std::to_string(i),
                                            date, opt.feedPath));
        feed.ids.push_back(std::move(id));
    }
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < connections; ++c) {
        threads.emplace_back([&, c] {
            FeedConnection& feed = feeds[static_cast<size_t>(c)];
            CConnection conn;
            std::string status;
            bool ok = conn.Open(opt.host, opt.port, opt.source) && conn.ReadStatus(200, status) &&
                      conn.Command("MODE STREAM", 203, status);
            ++ready;
            if (!ok) {
                ReportFailure("feed: " + conn.Error());
                return;
            }
            // The other connections are waited for, so that all start together.
            WaitForGo(go);
            std::string error;
            if (!Stream(conn, feed, opt.feedWindow, deadline, error)) {
                ReportFailure("feed: connection " + std::to_string(c) + ": " + error);
                return;
            }
            if (!Quit(conn)) ReportFailure("feed: " + conn.Error());
        });
    }
    auto [cpuStart, seconds] = RunWhenReady(threads, ready, connections, go, opt.serverPid);
    if (Failed()) return false;
    long accepted = 0;
    for (const FeedConnection& feed : feeds) accepted += feed.accepted;
    EmitServerCpu("feed", cpuStart, MarkServerCpu(opt.serverPid), static_cast<size_t>(accepted),
                  seconds);
    EmitCount("feed.connections", connections, "connections");
    EmitCount("feed.accepted", accepted, "articles");
    Emit("feed.seconds", seconds, "s");
    Emit("feed.articles_per_s", static_cast<double>(accepted) / seconds, "articles/s");
    return true;
}
