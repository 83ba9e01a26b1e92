#include "engine/patch.h"
#include "engine/search_replace.h"
#include "micro.h"
#include "support/in_memory.h"

namespace tessaloom::bench {
namespace {

const ByteBuffer kPattern{0x41, 0x41};

// Replacing AA, as --replace F 4141 7a7a O does. The replacement is AA itself, so that every
// iteration finds the same occurrences in the same data.
void BM_ReplaceAll(benchmark::State& state) {
    ByteBuffer data = contentOf(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(replaceAll(data, kPattern, kPattern));
    }
    countBytes(state, data.size());
}
BENCHMARK(BM_ReplaceAll)->Apply(eachContent);

// Every offset of AA, overlapping ones included.
void BM_FindPatternOffsets(benchmark::State& state) {
    const ByteBuffer& data = contentOf(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(findPatternOffsets(data, kPattern));
    }
    countBytes(state, data.size());
}
BENCHMARK(BM_FindPatternOffsets)->Apply(eachContent);

}  // namespace
}  // namespace tessaloom::bench
