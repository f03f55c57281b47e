// What the load generator measures and how it reports it: elapsed time,
// quantiles, result lines, failures, and what /proc says about the server.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start);
double SecondsSince(Clock::time_point start);
// `seconds` from now: when a workload gives up.
Clock::time_point DeadlineAfter(double seconds);

// Prints "nntp_bench: <what>" to stderr and marks the run as failed. Safe to
// call from any thread.
void ReportFailure(const std::string& what);
// True once any failure has been reported.
bool Failed();

// One result line on stdout: "metric value unit".
void Emit(const std::string& metric, double value, const char* unit);
void EmitCount(const std::string& metric, long long value, const char* unit);

// The p-quantile (0..1) of `values` by the nearest-rank rule; sorts them.
// 0 for no values.
double Percentile(std::vector<double>& values, double p);

// The server's scheduler counters, summed over its threads; -1 when the pid
// is 0 or its /proc entries cannot be read.
struct ServerCpuMark {
    long long onCpuNs = -1;  // time spent running
    long long waitNs = -1;   // time spent runnable but waiting for a CPU
};
ServerCpuMark MarkServerCpu(pid_t pid);

// Reports, under `prefix`, the server's CPU time between two marks per
// operation (left out for 0 operations), how busy that made it over
// `seconds` of wall time, and how long it waited for its CPU. A server near
// 100 % busy is what limits the rate; a long wait means something else ran
// on the server's CPU, which on a shared machine makes the latency tail.
// Nothing is reported when either mark is missing.
void EmitServerCpu(const std::string& prefix, const ServerCpuMark& start, const ServerCpuMark& end,
                   size_t operations, double seconds);

// Starts a timed run of `threads`, each of which counts itself `ready` once
// connected and then waits for `go`: waits (30 s at most) for all `count`,
// marks the server's CPU, lets them go and joins them. The CPU mark at the
// start and the seconds the run took.
struct TimedRun {
    ServerCpuMark cpuStart;
    double seconds = 0;
};
TimedRun RunWhenReady(std::vector<std::thread>& threads, const std::atomic<int>& ready, int count,
                      std::atomic<bool>& go, pid_t serverPid);

// In one of RunWhenReady's threads, once connected and counted ready: waits
// for `go` (30 s at most, or until a failure).
void WaitForGo(const std::atomic<bool>& go);
// The latencies of every thread in one list.
std::vector<double> Joined(const std::vector<std::vector<double>>& perThread);
// Reports, under `prefix`, the median, the 99th percentile and the maximum
// of `latencies` (ms); sorts them.
void EmitLatencies(const std::string& prefix, std::vector<double>& latencies);

// Open descriptors of the server, or -1.
long CountServerFds(pid_t pid);
// The server's resident set in kB, or -1.
long ReadRssKb(pid_t pid);
