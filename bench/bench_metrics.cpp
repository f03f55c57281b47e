#include "bench/bench_metrics.h"

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double SecondsSince(Clock::time_point start) {
    return MsSince(start) / 1000.0;
}

namespace {

// Failures from any thread end up here; any one of them fails the run.
std::atomic<bool> g_failed{false};
std::mutex g_errorMutex;

// Time the server's threads have spent on a CPU (`field` 0) or waiting for
// one while runnable (`field` 1), in nanoseconds, or -1.
long long ServerSchedNs(pid_t pid, int field) {
    if (pid <= 0) return -1;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    std::vector<std::string> tasks;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') tasks.emplace_back(e->d_name);
        ::closedir(d);
    }
    if (tasks.empty()) return -1;
    long long total = 0;
    for (const std::string& task : tasks) {
        std::ifstream in(dir + "/" + task + "/schedstat");
        long long onCpu = 0, waiting = 0;
        if (in >> onCpu >> waiting) total += field == 0 ? onCpu : waiting;
    }
    return total;
}

}  // namespace

void ReportFailure(const std::string& what) {
    std::lock_guard<std::mutex> lock(g_errorMutex);
    std::fprintf(stderr, "nntp_bench: %s\n", what.c_str());
    g_failed = true;
}

bool Failed() {
    return g_failed;
}

void Emit(const std::string& metric, double value, const char* unit) {
    std::printf("%s %.3f %s\n", metric.c_str(), value, unit);
    std::fflush(stdout);
}

void EmitCount(const std::string& metric, long long value, const char* unit) {
    std::printf("%s %lld %s\n", metric.c_str(), value, unit);
    std::fflush(stdout);
}

double Percentile(std::vector<double>& values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t rank = static_cast<size_t>(p * static_cast<double>(values.size()) + 0.999999);
    if (rank < 1) rank = 1;
    if (rank > values.size()) rank = values.size();
    return values[rank - 1];
}

ServerCpuMark MarkServerCpu(pid_t pid) {
    return {ServerSchedNs(pid, 0), ServerSchedNs(pid, 1)};
}

Clock::time_point DeadlineAfter(double seconds) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

void WaitForGo(const std::atomic<bool>& go) {
    for (int i = 0; i < 30000 && !go && !Failed(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::vector<double> Joined(const std::vector<std::vector<double>>& perThread) {
    std::vector<double> all;
    for (const auto& v : perThread) all.insert(all.end(), v.begin(), v.end());
    return all;
}

void EmitLatencies(const std::string& prefix, std::vector<double>& latencies) {
    Emit(prefix + ".p50_ms", Percentile(latencies, 0.50), "ms");
    Emit(prefix + ".p99_ms", Percentile(latencies, 0.99), "ms");
    Emit(prefix + ".max_ms", Percentile(latencies, 1.0), "ms");
}

TimedRun RunWhenReady(std::vector<std::thread>& threads, const std::atomic<int>& ready, int count,
                      std::atomic<bool>& go, pid_t serverPid) {
    for (int i = 0; i < 30000 && ready < count; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    TimedRun run;
    run.cpuStart = MarkServerCpu(serverPid);
    Clock::time_point start = Clock::now();
    go = true;
    for (std::thread& t : threads) t.join();
    run.seconds = SecondsSince(start);
    return run;
}

void EmitServerCpu(const std::string& prefix, const ServerCpuMark& start, const ServerCpuMark& end,
                   size_t operations, double seconds) {
    if (start.onCpuNs < 0 || end.onCpuNs < 0 || seconds <= 0) return;
    double ns = static_cast<double>(end.onCpuNs - start.onCpuNs);
    if (operations > 0)
        Emit(prefix + ".server_cpu_us_per_op", ns / 1000.0 / static_cast<double>(operations), "us");
    Emit(prefix + ".server_busy_pct", ns / 1e9 / seconds * 100.0, "%");
    Emit(prefix + ".server_runq_wait_ms", static_cast<double>(end.waitNs - start.waitNs) / 1e6,
         "ms");
}

long CountServerFds(pid_t pid) {
    if (pid <= 0) return -1;
    DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!d) return -1;
    long n = 0;
    while (dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') ++n;
    ::closedir(d);
    return n;
}

long ReadRssKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}
