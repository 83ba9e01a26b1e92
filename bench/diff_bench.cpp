#include "engine/diff.h"
#include "micro.h"
#include "support/in_memory.h"

namespace tessaloom::bench {
namespace {

// Comparing the data with a copy that differs in one byte of every 4096, with the limit of the
// --diff command.
void BM_DiffBytes(benchmark::State& state) {
    const ByteBuffer& a = contentOf(state);
    const ByteBuffer& b = changedContentOf(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(diffBytes(a, b, 100000));
    }
    countBytes(state, a.size());
}
BENCHMARK(BM_DiffBytes)->Apply(eachContent);

}  // namespace
}  // namespace tessaloom::bench
