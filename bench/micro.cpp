#include "micro.h"

#include <array>
#include <cstdint>
#include <map>
#include <string_view>

namespace tessaloom::bench {

namespace {

constexpr std::array<std::string_view, 5> kContentNames{"mixed", "random", "text", "zeros",
                                                        "tagged"};

Content contentArgument(const benchmark::State& state) {
    return static_cast<Content>(state.range(0));
}

const ByteBuffer& cached(Content content, bool changed) {
    static std::map<std::pair<Content, bool>, ByteBuffer> made;
    auto [place, inserted] = made.try_emplace({content, changed});
    if (inserted) {
        place->second = makeContent(content, kMicroSize);
        if (changed) {
            changeOneInEvery4096(place->second);
        }
    }
    return place->second;
}

}  // namespace

void eachContent(benchmark::internal::Benchmark* benchmark) {
    for (std::size_t content = 0; content < kContentNames.size(); ++content) {
        benchmark->Arg(static_cast<std::int64_t>(content));
    }
    benchmark->Unit(benchmark::kMillisecond);
}

const ByteBuffer& contentOf(benchmark::State& state) {
    state.SetLabel(std::string(kContentNames[static_cast<std::size_t>(state.range(0))]));
    return cached(contentArgument(state), false);
}

const ByteBuffer& changedContentOf(benchmark::State& state) {
    return cached(contentArgument(state), true);
}

void countBytes(benchmark::State& state, std::size_t bytes) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(bytes));
}

}  // namespace tessaloom::bench
