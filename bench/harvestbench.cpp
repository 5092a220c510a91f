// Harvesting speed: scanning throughput, and staying linear on values full of
// candidates, as a hostile or broken directory entry can hold.
#include "directory/harvest.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

namespace {

const stringlist properties{"mail"};

void harvest(benchmark::State& state, const std::string& value)
{
    for (auto _ : state) {
        stringlist results;
        harvestaddresses(properties, "mail", value.c_str(), results);
        benchmark::DoNotOptimize(results.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(value.size()));
}

// (a) no '@' at all: the search for it is the whole cost.
void noatsign(benchmark::State& state)
{
    std::string value(static_cast<std::size_t>(state.range(0)) << 20, 'x');
    for (std::size_t i = 0; i < value.size(); i += 61)
        value[i] = ' ';
    harvest(state, value);
}

// Candidates of 16 bytes each, distinct or all the same.
std::string candidates(std::size_t mebibytes, bool distinct)
{
    std::string value;
    value.reserve(mebibytes << 20);
    char candidate[32];
    for (unsigned i = 0; value.size() + 16 <= (mebibytes << 20); ++i) {
        std::snprintf(candidate, sizeof candidate, "u%07u@ex.test ", distinct ? i : 0u);
        value += candidate;
    }
    return value;
}

// (b) about a million distinct candidates in 16 MiB.
void distinctcandidates(benchmark::State& state)
{
    const std::string value = candidates(static_cast<std::size_t>(state.range(0)), true);
    harvest(state, value);
    state.counters["candidates"] = static_cast<double>(value.size() / 16);
}

// (c) the same candidate a million times.
void equalcandidates(benchmark::State& state)
{
    harvest(state, candidates(static_cast<std::size_t>(state.range(0)), false));
}

// (d) what a directory normally holds.
void typicalvalue(benchmark::State& state)
{
    harvest(state, "sip:first.last@example.com");
}

} // namespace

BENCHMARK(noatsign)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK(distinctcandidates)->Arg(4)->Arg(8)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK(equalcandidates)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK(typicalvalue);

BENCHMARK_MAIN();
