// Micro-benchmarks of the core's hot text paths: cutting commands and index
// lines into fields, parsing a posted header, and reading and writing the
// group index, which start-up reads whole and every accepted post rewrites;
// the Message-ID history's lookup, which every offered article costs; and
// the server's half of a full TLS handshake in memory, the floor that
// OpenSSL sets for every encrypted connection.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/ssl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/tls_context.h"
#include "store/group_index.h"
#include "store/history.h"
#include "store/records.h"
#include "store/xcontent.h"

namespace {

// An entry of a list of its own, as the filled groups hold them.
const ArticleEntry& MakeEntry(ArticleList& list, int number) {
    EntryTexts texts{"Re: fill article " + std::to_string(number) + " about something",
                     "bench <bench@bench.invalid>", "Mon, 01 Jan 2024 00:00:00 +0000",
                     "<fill." + std::to_string(number) + "@bench.invalid>",
                     number > 1 ? "<fill." + std::to_string(number - 1) + "@bench.invalid>" : ""};
    return list.Add(number, texts, 2048, 31);
}

// The text of a Message.lst with `count` articles, as read from disk (LF only).
std::string MakeIndexText(int count) {
    std::string text = "1\t" + std::to_string(count) + "\t" + std::to_string(count) + "\n";
    for (int n = 1; n <= count; ++n) {
        ArticleList list;
        std::string line = FormatIndexLine(MakeEntry(list, n));
        line.erase(line.size() - 2, 1);  // CR LF read in text mode
        text += line;
    }
    return text;
}

void BM_SplitFields_Command(benchmark::State& state) {
    const std::string command = "ARTICLE <12345@20240101120000>\r\n";
    std::vector<std::string> fields;
    for (auto _ : state) {
        SplitFields(fields, command, " \t\r\n");
        benchmark::DoNotOptimize(fields.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SplitFields_Command);

void BM_SplitFields_IndexLine(benchmark::State& state) {
    ArticleList list;
    const std::string line = FormatIndexLine(MakeEntry(list, 12345));
    std::vector<std::string> fields;
    for (auto _ : state) {
        SplitFields(fields, line, "\t\n");
        benchmark::DoNotOptimize(fields.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(line.size()));
}
BENCHMARK(BM_SplitFields_IndexLine);

void BM_ParseHeader(benchmark::State& state) {
    const std::string header =
        "Path: news.bench.invalid!not-for-mail\r\n"
        "From: bench <bench@bench.invalid>\r\n"
        "Newsgroups: bench.one,bench.two\r\n"
        "Subject: Re: a subject of an ordinary length for a reply\r\n"
        "Date: Mon, 01 Jan 2024 00:00:00 +0000\r\n"
        "Organization: Bench\r\n"
        "Message-ID: <12345@bench.invalid>\r\n"
        "References: <12340@bench.invalid>\r\n"
        " <12344@bench.invalid>\r\n"
        "User-Agent: bench/1.0\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: text/plain; charset=Shift_JIS\r\n"
        "Lines: 31\r\n"
        "\r\n";
    XContent content;
    for (auto _ : state) {
        content.ParseHeader(header);
        benchmark::DoNotOptimize(content.subject.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(header.size()));
}
BENCHMARK(BM_ParseHeader);

void BM_FormatIndexLine(benchmark::State& state) {
    ArticleList list;
    const ArticleEntry& entry = MakeEntry(list, 12345);
    for (auto _ : state) {
        std::string line = FormatIndexLine(entry);
        benchmark::DoNotOptimize(line.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormatIndexLine);

// What start-up spends per group on its index; destruction is left out.
void BM_ParseGroupIndex(benchmark::State& state) {
    const std::string text = MakeIndexText(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        auto group = std::make_unique<GroupEntry>();
        ParseGroupIndex(text, *group);
        size_t loaded = group->articles.size();
        benchmark::DoNotOptimize(loaded);
        state.PauseTiming();
        group.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ParseGroupIndex)->Arg(1000)->Arg(20000)->Arg(100000)->Unit(benchmark::kMillisecond);

// What every accepted post spends building the index text of its group before
// the file is rewritten.
void BM_FormatGroupIndex(benchmark::State& state) {
    GroupEntry group;
    const std::string text = MakeIndexText(static_cast<int>(state.range(0)));
    ParseGroupIndex(text, group);
    for (auto _ : state) {
        std::string out = FormatGroupIndex(group);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FormatGroupIndex)->Arg(1000)->Arg(20000)->Arg(100000)->Unit(benchmark::kMillisecond);

std::string BenchId(uint64_t n) {
    return "<" + std::to_string(n) + ".bench@history.invalid>";
}

// A history of `count` accepted Message-IDs in a directory of its own. The
// log is written directly (ten million appends one write(2) at a time would
// take minutes) and opened, which builds the index from it; how long that
// took is kept. One per size for the whole run; removed at exit.
struct BenchHistory {
    std::string dir;
    CHistory history;
    double buildSeconds = 0;

    explicit BenchHistory(uint64_t count) {
        std::string pattern = (std::filesystem::temp_directory_path() / "marrowby-bench-XXXXXX");
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        dir = pattern;
        int fd = ::open((dir + "/history").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::string block;
        for (uint64_t n = 0; n < count; ++n) {
            block += BenchId(n) + "\taccepted\t1700000000\t1700000000\n";
            if (block.size() >= (4 << 20) || n + 1 == count) {
                if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size()))
                    std::abort();
                block.clear();
            }
        }
        ::close(fd);
        auto start = std::chrono::steady_clock::now();
        std::string error;
        if (!history.Open(dir, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::abort();
        }
        buildSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    ~BenchHistory() {
        history.Close();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

BenchHistory& HistoryOf(uint64_t count) {
    static std::map<uint64_t, std::unique_ptr<BenchHistory>> histories;
    auto& slot = histories[count];
    if (!slot) slot = std::make_unique<BenchHistory>(count);
    return *slot;
}

// Lookups spread over the whole history, as duplicates offered by peers
// would be: hits of random remembered Message-IDs, or misses.
void HistoryLookups(benchmark::State& state, bool hits) {
    const uint64_t count = static_cast<uint64_t>(state.range(0));
    BenchHistory& bench = HistoryOf(count);
    std::vector<std::string> ids;
    uint64_t x = 88172645463325252ull;
    for (int i = 0; i < 4096; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        ids.push_back(BenchId(hits ? x % count : count + x % count));
    }
    size_t i = 0;
    for (auto _ : state) {
        HistoryEntry entry = bench.history.Lookup(ids[i++ & 4095]);
        benchmark::DoNotOptimize(entry);
        if ((entry.state == HistoryState::Accepted) != hits) state.SkipWithError("wrong answer");
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["build_s"] = bench.buildSeconds;
}

void BM_HistoryLookupHit(benchmark::State& state) {
    HistoryLookups(state, true);
}
BENCHMARK(BM_HistoryLookupHit)->Arg(1000)->Arg(10000000);

void BM_HistoryLookupMiss(benchmark::State& state) {
    HistoryLookups(state, false);
}
BENCHMARK(BM_HistoryLookupMiss)->Arg(1000)->Arg(10000000);

// The server's context with a self-signed certificate for localhost, made
// by the openssl tool: ECDSA P-256 (range 0) or RSA 2048 (range 1).
const CTlsContext& ServerContext(int kind) {
    static std::map<int, std::unique_ptr<CTlsContext>> contexts;
    auto& slot = contexts[kind];
    if (slot) return *slot;
    std::string pattern = (std::filesystem::temp_directory_path() / "marrowby-bench-XXXXXX");
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    std::string key =
        kind == 0 ? "-newkey ec -pkeyopt ec_paramgen_curve:P-256" : "-newkey rsa:2048";
    std::string command = "cd " + pattern + " && openssl req -x509 " + key +
                          " -nodes -days 1 -subj /CN=localhost -keyout key.pem -out cert.pem "
                          ">/dev/null 2>&1";
    slot = std::make_unique<CTlsContext>();
    std::string error;
    if (std::system(command.c_str()) != 0 ||
        !slot->Load(pattern + "/cert.pem", pattern + "/key.pem", error)) {
        std::fprintf(stderr, "cannot make a test certificate: %s\n", error.c_str());
        std::abort();
    }
    std::filesystem::remove_all(pattern);
    return *slot;
}

// One full handshake per iteration between a server made from our context
// and an OpenSSL client, over a pair of memory buffers. Only the server's
// steps are timed, its ticket included; the client's are paused out.
void BM_TlsHandshakeServerSide(benchmark::State& state) {
    SSL_CTX* server = ServerContext(static_cast<int>(state.range(0))).Handle();
    static SSL_CTX* client = [] {
        SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
        return ctx;
    }();
    for (auto _ : state) {
        state.PauseTiming();
        SSL* s = SSL_new(server);
        SSL* c = SSL_new(client);
        BIO *serverSide = nullptr, *clientSide = nullptr;
        BIO_new_bio_pair(&serverSide, 0, &clientSide, 0);
        SSL_set_bio(s, serverSide, serverSide);
        SSL_set_bio(c, clientSide, clientSide);
        SSL_set_accept_state(s);
        SSL_set_connect_state(c);
        bool done = false;
        for (int step = 0; step < 8 && !done; ++step) {
            SSL_do_handshake(c);
            state.ResumeTiming();
            done = SSL_do_handshake(s) == 1;
            state.PauseTiming();
        }
        if (!done) state.SkipWithError("handshake did not finish");
        SSL_free(c);
        state.ResumeTiming();
        SSL_free(s);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(state.range(0) == 0 ? "ECDSA P-256" : "RSA 2048");
}
BENCHMARK(BM_TlsHandshakeServerSide)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
