#include "engine/entropy.h"
#include "micro.h"
#include "support/in_memory.h"

namespace tessaloom::bench {
namespace {

// Whole-file and block entropies and format detection: what --entropy computes.
void BM_AnalyzeBytes(benchmark::State& state) {
    const ByteBuffer& data = contentOf(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(analyzeBytes("corpus", data));
    }
    countBytes(state, data.size());
}
BENCHMARK(BM_AnalyzeBytes)->Apply(eachContent);

void BM_ComputeEntropy(benchmark::State& state) {
    const ByteBuffer& data = contentOf(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(computeEntropy(data.data(), data.size()));
    }
    countBytes(state, data.size());
}
BENCHMARK(BM_ComputeEntropy)->Apply(eachContent);

}  // namespace
}  // namespace tessaloom::bench
