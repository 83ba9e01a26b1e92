#include "signature.h"

#include <array>
#include <cstdio>

namespace tessaloom::scan {

std::string sizeText(std::uint64_t bytes) {
    if (bytes < 1024) {
        return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    }
    static constexpr std::array<std::string_view, 6> kUnits{"KiB", "MiB", "GiB",
                                                            "TiB", "PiB", "EiB"};
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < kUnits.size()) {
        value /= 1024.0;
        ++unit;
    }
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.1f ", value);
    return std::string(text.data()).append(kUnits[unit]);
}

ScanField numberField(std::string name, std::uint64_t value) {
    return {std::move(name), std::to_string(value), value};
}

ScanField hexField(std::string name, std::uint64_t value) {
    return {std::move(name), formats::hex(value), value};
}

ScanField textField(std::string name, std::string text) {
    return {std::move(name), std::move(text), std::nullopt};
}

std::string quoted(ByteView bytes) {
    constexpr std::size_t kShown = 48;
    std::string text = formats::safeText(bytes.first(std::min(bytes.size(), kShown)));
    if (bytes.size() > kShown) {
        text += "...";
    }
    return "\"" + text + "\"";
}

}  // namespace tessaloom::scan
