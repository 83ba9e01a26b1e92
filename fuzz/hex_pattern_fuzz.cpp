// Hex patterns: without its separators the text is read in pairs, so the pattern is half the
// filtered length, and each byte is what strtol makes of its pair in base 16.
#include <cstdlib>
#include <string>

#include "engine/search_replace.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using tessaloom::fuzz::check;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const tessaloom::ByteBuffer pattern = tessaloom::parseHexPattern(text);

    std::string filtered;
    for (const char c : text) {
        if (c != ' ' && c != '-' && c != ':') {
            filtered.push_back(c);
        }
    }
    check(pattern.size() == filtered.size() / 2, "the pattern is half the filtered length");
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char pair[3] = {filtered[2 * i], filtered[2 * i + 1], '\0'};
        check(pattern[i] == std::strtol(pair, nullptr, 16), "each byte is strtol of its pair");
    }
    return 0;
}
