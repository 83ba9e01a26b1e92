#include <filesystem>
#include <fstream>
#include <string>

#include "engine/file_io.h"
#include "micro.h"

namespace tessaloom::bench {
namespace {

// Loading a file that the page cache holds: the allocation, its first-touch page faults and the
// copy out of the cache, which every command pays before its own work. The file is larger than
// the C library hands out from memory it keeps, so every load maps fresh pages, as a command's
// one load does.
void BM_LoadFile(benchmark::State& state) {
    const ByteBuffer data = makeContent(Content::kMixed, 4 * kMicroSize);
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / "tessaloom_bench_load.bin";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
    for (auto _ : state) {
        benchmark::DoNotOptimize(loadFile(path.string()));
    }
    countBytes(state, data.size());
    std::filesystem::remove(path);
}
BENCHMARK(BM_LoadFile)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tessaloom::bench
