// The workloads of the load generator. Each runs against the server named
// in the options, prints its results as "workload.metric value unit" lines
// and returns false after reporting a failure.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct Options {
    std::string host = "127.0.0.1";
    std::string port;
    std::string group;
    std::vector<std::string> workloads;
    std::string w1Group, readGroup, w5Group;  // default: GROUP
    int w1Posts = 2000;
    int xoverRuns = 5;
    int w3Clients = 8;
    int w3Requests = 500;  // per client
    long newest = 0;       // W3 and W3 by Message-ID read only the newest this many; 0: all
    int w4Connections = 1000;
    int w4Batch = 100;
    double w4HoldSeconds = 5;
    // How long a batch may take to be greeted. A connection the server's
    // kernel dropped after the handshake never hears anything, since the
    // server speaks first; waiting longer would not save it.
    double w4BatchWaitSeconds = 5;
    int w5Posts = 500;
    int w6Clients = 8;
    int w6Posts = 250;      // per client
    int handshakes = 4000;  // full TLS handshakes, spread over the clients
    int probeRequests = 20;
    // The streaming feed: the articles in all, shared out over the
    // connections, each keeping up to the window sent ahead of the replies.
    std::string feedGroup;  // default: GROUP
    std::string feedPath = "bench.feeder!not-for-mail";
    int feedArticles = 20000;
    int feedConnections = 1;
    int feedWindow = 64;
    std::string source;  // local address to connect from; empty: any
    pid_t serverPid = 0;
    double timeLimitSeconds = 300;  // per workload
    unsigned seed = 12345;
};

// W1 and W5: one client posting `count` articles one after another into
// `group`; results under `name`.
bool RunPosts(const Options& opt, const char* name, const std::string& group, int count);
// W6: several clients posting into `group` at once, each `perClient`
// articles one after another; results under `name`.
bool RunConcurrentPosts(const Options& opt, const char* name, const std::string& group, int clients,
                        int perClient);
// W2: XOVER over the whole read group, read to the final dot, several runs.
bool RunW2(const Options& opt);
// W3: several clients fetching random articles of the read group, by number
// when `ids` is empty, else by one of these Message-IDs. With `tls` the
// clients connect under TLS, each resuming the session of one connection
// made first, as returning readers do.
bool RunW3(const Options& opt, const char* name, const std::vector<std::string>& ids,
           bool tls = false);
// Full TLS handshakes: the clients connect, complete a handshake without
// resumption, read the greeting and close (with close_notify), again and
// again.
bool RunHandshakes(const Options& opt);
// The Message-IDs of the read group, from one XOVER.
bool LearnMessageIds(const Options& opt, std::vector<std::string>& ids);
// The newest 100 articles of the read group by XOVER: the first time, then
// the median of several runs.
bool RunXoverNewest(const Options& opt);
// W4: many connections opened a batch at a time, greeted, a group selected,
// then held open.
bool RunW4(const Options& opt);
// The streaming feed: MODE STREAM, then TAKETHIS with pipelined 2 KB
// articles, every one of which must be accepted (239).
bool RunFeed(const Options& opt);
// Waits until the server greets, for timing start-up.
bool RunReady(const Options& opt);
