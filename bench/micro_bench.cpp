// Micro-benchmarks of the core's hot text paths: cutting commands and index
// lines into fields, parsing a posted header, and reading and writing the
// group index, which start-up reads whole and every accepted post rewrites.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "common/text.h"
#include "store/group_index.h"
#include "store/records.h"
#include "store/xcontent.h"

namespace {

ArticleEntry MakeEntry(int number) {
    ArticleEntry a;
    a.number = number;
    a.SetText("Re: fill article " + std::to_string(number) + " about something",
              "bench <bench@bench.invalid>", "Mon, 01 Jan 2024 00:00:00 +0000",
              "<fill." + std::to_string(number) + "@bench.invalid>",
              number > 1 ? "<fill." + std::to_string(number - 1) + "@bench.invalid>" : "");
    a.bytes = 2048;
    a.lines = 31;
    return a;
}

// The text of a Message.lst with `count` articles, as read from disk (LF only).
std::string MakeIndexText(int count) {
    std::string text = "1\t" + std::to_string(count) + "\t" + std::to_string(count) + "\n";
    for (int n = 1; n <= count; ++n) {
        std::string line = FormatIndexLine(MakeEntry(n));
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
    const std::string line = FormatIndexLine(MakeEntry(12345));
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
    const ArticleEntry entry = MakeEntry(12345);
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

}  // namespace

BENCHMARK_MAIN();
