#include <cstdint>
#include <string_view>

#include "engine/string_extract.h"
#include "micro.h"
#include "support/in_memory.h"

namespace tessaloom::bench {
namespace {

// Finding the runs of at least 4 printable bytes and counting them, as --strings does.
void BM_ScanStrings(benchmark::State& state) {
    const ByteBuffer& data = contentOf(state);
    std::uint64_t runs = 0;
    for (auto _ : state) {
        runs = 0;
        scanStrings(data, 4, [&runs](std::uint64_t, std::string_view) { ++runs; });
        benchmark::DoNotOptimize(runs);
    }
    countBytes(state, data.size());
    state.counters["runs"] = static_cast<double>(runs);
}
BENCHMARK(BM_ScanStrings)->Apply(eachContent);

}  // namespace
}  // namespace tessaloom::bench
