// nntp_bench: a load generator for NNTP servers that speak the reading and
// posting subset (GROUP, XOVER, ARTICLE, POST, QUIT), and for peers' feeds
// (MODE STREAM, TAKETHIS).
//
// Every reader connection sends one command and reads its whole reply before
// the next: in the classic mode our server hands each received block to the
// interpreter as one command, so pipelined commands would be read as one
// long, unknown command. The feed pipelines, as peers do.
// Every reply code is checked; a wrong one ends the run with exit status 1.
// Every loop stops by itself, by count and by a per-workload time limit.
//
//   nntp_bench HOST PORT GROUP WORKLOAD... [OPTIONS]
//   nntp_bench --fill GROUP_DIR COUNT [--index-only]
//
// Results go to stdout, one per line: "workload.metric value unit".
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_metrics.h"
#include "bench/nntp_connection.h"
#include "bench/workloads.h"

namespace {

size_t CountLf(const std::string& text) {
    return std::count(text.begin(), text.end(), '\n');
}

bool WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return static_cast<bool>(out);
}

// Writes the group directory `dir` directly in the server's own formats, so
// that large groups need not be posted one by one: articles 1 to `count`
// (unless `indexOnly`) and a Message.lst listing them. Returns the exit status.
int Fill(const std::string& dir, long count, bool indexOnly, long filesFrom) {
    ::mkdir(dir.c_str(), 0755);
    std::string group = dir;
    while (!group.empty() && group.back() == '/') group.pop_back();
    size_t slash = group.rfind('/');
    if (slash != std::string::npos) group = group.substr(slash + 1);
    const std::string date = "Mon, 01 Jan 2024 00:00:00 +0000";
    std::string index = "1\t" + std::to_string(count) + "\t" + std::to_string(count) + "\r\n";
    if (count == 0) index = "0\t0\t0\r\n";
    for (long n = 1; n <= count; ++n) {
        std::string id = "<fill." + std::to_string(n) + "@bench.invalid>";
        std::string subject = "fill article " + std::to_string(n);
        std::string article = MakeArticle(group, id, subject, date);
        if (!indexOnly && n >= filesFrom && !WriteFile(dir + "/" + std::to_string(n), article)) {
            std::fprintf(stderr, "nntp_bench: cannot write %s/%ld\n", dir.c_str(), n);
            return 1;
        }
        index += std::to_string(n) + "\t" + subject + "\tbench <bench@bench.invalid>\t" + date +
                 "\t" + id + "\t" + std::to_string(article.size()) + "\t" +
                 std::to_string(CountLf(article)) + "\t\r\n";
    }
    if (!WriteFile(dir + "/Message.lst", index)) {
        std::fprintf(stderr, "nntp_bench: cannot write %s/Message.lst\n", dir.c_str());
        return 1;
    }
    return 0;
}

void Usage() {
    std::fprintf(stderr,
                 "usage: nntp_bench HOST PORT GROUP WORKLOAD... [OPTIONS]\n"
                 "       nntp_bench --fill GROUP_DIR COUNT [--index-only | --files-from N]\n"
                 "workloads: w1 w2 w3 w3id w3tls handshakes w4 w5 w6 xnew feed ready\n"
                 "  (w3tls and handshakes need PORT to be a TLS port)\n"
                 "options:\n"
                 "  --w1-group NAME     group W1 and W6 post to (default GROUP)\n"
                 "  --read-group NAME   group W2, W3 and W4 read (default GROUP)\n"
                 "  --w5-group NAME     group W5 posts to (default GROUP)\n"
                 "  --w1-posts N        (2000)    --w5-posts N      (500)\n"
                 "  --w6-clients N      (8)       --w6-posts N      (250 per client)\n"
                 "  --xover-runs N      (5)\n"
                 "  --clients N         (8)       --requests N      (500 per client)\n"
                 "  --newest N          W3 reads only the newest N articles (all)\n"
                 "  --connections N     (1000)    --batch N         (100)\n"
                 "  --hold S            (5)       --server-pid PID  (for RSS in w4)\n"
                 "  --batch-wait S      (5)       longest wait for one batch's greetings\n"
                 "  --handshakes N      (4000)    full TLS handshakes, over --clients\n"
                 "  --feed-group NAME   group the feed's articles name (default GROUP)\n"
                 "  --feed-articles N   (20000)   --feed-connections N (1)\n"
                 "  --feed-window N     (64)      TAKETHIS sent ahead of replies\n"
                 "  --source ADDR       local address to connect from (a peer's)\n"
                 "  --time-limit S      (300 per workload)\n");
}

bool ParseInt(const char* text, int& value, int low, int high) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (!end || *end || v < low || v > high) return false;
    value = static_cast<int>(v);
    return true;
}

bool ParseOptions(int argc, char** argv, Options& opt) {
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a.rfind("--", 0) != 0) {
            positional.push_back(a);
            continue;
        }
        if (i + 1 >= argc) return false;
        const char* v = argv[++i];
        int pid = 0;
        bool ok = true;
        if (a == "--w1-group")
            opt.w1Group = v;
        else if (a == "--read-group")
            opt.readGroup = v;
        else if (a == "--w5-group")
            opt.w5Group = v;
        else if (a == "--w1-posts")
            ok = ParseInt(v, opt.w1Posts, 1, 1000000);
        else if (a == "--w5-posts")
            ok = ParseInt(v, opt.w5Posts, 1, 1000000);
        else if (a == "--w6-clients")
            ok = ParseInt(v, opt.w6Clients, 1, 256);
        else if (a == "--w6-posts")
            ok = ParseInt(v, opt.w6Posts, 1, 1000000);
        else if (a == "--xover-runs")
            ok = ParseInt(v, opt.xoverRuns, 1, 1000);
        else if (a == "--clients")
            ok = ParseInt(v, opt.w3Clients, 1, 256);
        else if (a == "--requests")
            ok = ParseInt(v, opt.w3Requests, 1, 1000000);
        else if (a == "--newest")
            opt.newest = std::atol(v);
        else if (a == "--handshakes")
            ok = ParseInt(v, opt.handshakes, 1, 10000000);
        else if (a == "--connections")
            ok = ParseInt(v, opt.w4Connections, 1, 60000);
        else if (a == "--batch")
            ok = ParseInt(v, opt.w4Batch, 1, 10000);
        else if (a == "--server-pid")
            ok = ParseInt(v, pid, 1, 1 << 30);
        else if (a == "--hold")
            opt.w4HoldSeconds = std::atof(v);
        else if (a == "--batch-wait")
            opt.w4BatchWaitSeconds = std::atof(v);
        else if (a == "--feed-group")
            opt.feedGroup = v;
        else if (a == "--feed-articles")
            ok = ParseInt(v, opt.feedArticles, 1, 10000000);
        else if (a == "--feed-connections")
            ok = ParseInt(v, opt.feedConnections, 1, 64);
        else if (a == "--feed-window")
            ok = ParseInt(v, opt.feedWindow, 1, 100000);
        else if (a == "--source")
            opt.source = v;
        else if (a == "--time-limit")
            opt.timeLimitSeconds = std::atof(v);
        else
            ok = false;
        if (!ok) return false;
        if (pid) opt.serverPid = pid;
    }
    if (positional.size() < 4) return false;
    opt.host = positional[0];
    opt.port = positional[1];
    opt.group = positional[2];
    opt.workloads.assign(positional.begin() + 3, positional.end());
    if (opt.w1Group.empty()) opt.w1Group = opt.group;
    if (opt.readGroup.empty()) opt.readGroup = opt.group;
    if (opt.w5Group.empty()) opt.w5Group = opt.group;
    if (opt.feedGroup.empty()) opt.feedGroup = opt.group;
    return opt.timeLimitSeconds > 0 && opt.timeLimitSeconds <= 3600 && opt.w4HoldSeconds >= 0 &&
           opt.w4HoldSeconds <= 600 && opt.w4BatchWaitSeconds > 0 && opt.w4BatchWaitSeconds <= 600;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "--fill") == 0) {
        long count = std::atol(argv[3]);
        bool indexOnly = argc >= 5 && std::strcmp(argv[4], "--index-only") == 0;
        // Only the newest articles as files: a large group's index, and the
        // articles a reading workload asks for.
        long filesFrom =
            argc >= 6 && std::strcmp(argv[4], "--files-from") == 0 ? std::atol(argv[5]) : 1;
        if (count < 0 || count > 10000000) {
            Usage();
            return 2;
        }
        return Fill(argv[2], count, indexOnly, filesFrom);
    }
    Options opt;
    if (!ParseOptions(argc, argv, opt)) {
        Usage();
        return 2;
    }
    // A close_notify sent to a server that has already closed must not end
    // the generator.
    std::signal(SIGPIPE, SIG_IGN);
    for (const std::string& w : opt.workloads) {
        bool ok;
        if (w == "w1") {
            ok = RunPosts(opt, "w1", opt.w1Group, opt.w1Posts);
        } else if (w == "w2") {
            ok = RunW2(opt);
        } else if (w == "w3") {
            ok = RunW3(opt, "w3", {});
        } else if (w == "w3tls") {
            ok = RunW3(opt, "w3tls", {}, true);
        } else if (w == "handshakes") {
            ok = RunHandshakes(opt);
        } else if (w == "w3id") {
            std::vector<std::string> ids;
            ok = LearnMessageIds(opt, ids) && RunW3(opt, "w3id", ids);
        } else if (w == "w4") {
            ok = RunW4(opt);
        } else if (w == "w5") {
            ok = RunPosts(opt, "w5", opt.w5Group, opt.w5Posts);
        } else if (w == "w6") {
            ok = RunConcurrentPosts(opt, "w6", opt.w1Group, opt.w6Clients, opt.w6Posts);
        } else if (w == "xnew") {
            ok = RunXoverNewest(opt);
        } else if (w == "feed") {
            ok = RunFeed(opt);
        } else if (w == "ready") {
            ok = RunReady(opt);
        } else {
            std::fprintf(stderr, "nntp_bench: unknown workload %s\n", w.c_str());
            Usage();
            return 2;
        }
        if (!ok) return 1;
    }
    return Failed() ? 1 : 0;
}
