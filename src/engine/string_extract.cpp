#include "string_extract.h"

#include <algorithm>

#include "file_io.h"

namespace tessaloom {

void scanStrings(ByteView data, std::uint64_t minLength, const StringRunSink& onRun) {
    const std::uint64_t shortest = std::max<std::uint64_t>(minLength, 1);
    const std::uint8_t* const begin = data.data();
    const std::uint8_t* const end = begin + data.size();
    for (const std::uint8_t* runStart = begin; runStart != end;) {
        runStart = std::find_if(runStart, end, isPrintableAscii);
        const std::uint8_t* const runEnd = std::find_if_not(runStart, end, isPrintableAscii);
        const auto length = static_cast<std::size_t>(runEnd - runStart);
        if (length >= shortest) {
            onRun(static_cast<std::uint64_t>(runStart - begin),
                  {reinterpret_cast<const char*>(runStart), length});
        }
        runStart = runEnd;
    }
}

std::vector<FoundString> extractStrings(ByteView data, std::uint64_t minLength) {
    std::vector<FoundString> found;
    scanStrings(data, minLength, [&found](std::uint64_t offset, std::string_view text) {
        found.push_back({offset, std::string(text)});
    });
    return found;
}

std::vector<FoundString> extractStrings(const std::string& path, std::uint64_t minLength) {
    return extractStrings(loadFile(path), minLength);
}

}  // namespace tessaloom
