#include <string>

#include "engine/format_detect.h"
#include "micro.h"

namespace tessaloom::bench {
namespace {

// A PE header with every field that detection reads: the most rows it builds.
ByteBuffer peHeader() {
    ByteBuffer header(256, 0);
    header[0] = 'M';
    header[1] = 'Z';
    header[60] = 0x80;
    header[128] = 'P';
    header[129] = 'E';
    header[132] = 0x64;
    header[133] = 0x86;
    header[134] = 6;
    return header;
}

// Detection reads a few fixed bytes whatever the length, so it is counted in calls.
void BM_DetectFormat(benchmark::State& state) {
    const ByteBuffer header = peHeader();
    std::string typeName;
    for (auto _ : state) {
        benchmark::DoNotOptimize(detectFormat(header, typeName));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DetectFormat);

}  // namespace
}  // namespace tessaloom::bench
