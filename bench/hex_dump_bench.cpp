#include <string_view>

#include "engine/hex_dump.h"
#include "micro.h"
#include "support/in_memory.h"

namespace tessaloom::bench {
namespace {

// The dump of the whole data, handed on in blocks and dropped, as the --dump command writes it.
void BM_WriteHexDump(benchmark::State& state) {
    const ByteBuffer& data = contentOf(state);
    for (auto _ : state) {
        std::size_t textSize = 0;
        writeHexDump(data, 0, data.size(),
                     [&textSize](std::string_view text) { textSize += text.size(); });
        benchmark::DoNotOptimize(textSize);
    }
    countBytes(state, data.size());
}
BENCHMARK(BM_WriteHexDump)->Apply(eachContent);

}  // namespace
}  // namespace tessaloom::bench
