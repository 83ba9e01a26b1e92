#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "micro.h"
#include "view/layout.h"
#include "view/model.h"

namespace tessaloom::bench {
namespace {

using cli::view::Document;
using cli::view::Model;

// A sparse image of 100 GiB with a few bytes at its end, which costs no room on the disk.
std::filesystem::path sparseImage() {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / "tessaloom_bench_view_sparse.img";
    std::ofstream(path, std::ios::binary).write("start", 5);
    std::filesystem::resize_file(path, std::uint64_t{100} << 30);
    std::fstream(path, std::ios::binary | std::ios::in | std::ios::out)
        .seekp(static_cast<std::streamoff>((std::uint64_t{100} << 30) - 4))
        .write("end!", 4);
    return path;
}

// What the viewer does before its first screen and after G: open the file, read its structure,
// go to the last byte and lay out an 80 by 24 screen around it. The peak memory of the process is
// reported with it.
void BM_ViewOpenAndGoToEnd(benchmark::State& state) {
    const std::filesystem::path path = sparseImage();
    for (auto _ : state) {
        std::vector<std::unique_ptr<Document>> documents;
        documents.push_back(std::make_unique<Document>(path.string()));
        Model model(std::move(documents));
        model.resize(cli::view::geometryFor(80, 24, 1, model.length()).pane);
        model.handle({cli::view::KeyCode::kChar, 'G'});
        benchmark::DoNotOptimize(cli::view::render(model, 80, 24));
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
    std::filesystem::remove(path);
}
BENCHMARK(BM_ViewOpenAndGoToEnd)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tessaloom::bench
