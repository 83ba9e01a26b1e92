#include "analysis.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "document.h"
#include "engine/format_detect.h"

namespace tessaloom::cli::view {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// How much of the file format detection reads: its headers lie at the start.
constexpr std::size_t kStructureWindow = std::size_t{64} << 10;

}  // namespace

std::optional<SearchPattern> parseSearchPattern(std::string_view text, std::string& why) {
    SearchPattern pattern;
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        for (const char c : text.substr(1, text.size() - 2)) {
            pattern.bytes.push_back(static_cast<std::uint8_t>(c));
            pattern.any.push_back(false);
        }
    } else {
        std::string digits;
        for (const char c : text) {
            if (c != ' ') {
                digits.push_back(c);
            }
        }
        if (digits.size() % 2 != 0) {
            why = "Hex digits come in pairs";
            return std::nullopt;
        }
        for (std::size_t i = 0; i < digits.size(); i += 2) {
            if (digits[i] == '?' && digits[i + 1] == '?') {
                pattern.bytes.push_back(0);
                pattern.any.push_back(true);
                continue;
            }
            const int high = hexValue(digits[i]);
            const int low = hexValue(digits[i + 1]);
            if (high < 0 || low < 0) {
                why = "Not hex digits, ?? or \"text\": " + std::string(text);
                return std::nullopt;
            }
            pattern.bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
            pattern.any.push_back(false);
        }
    }
    if (pattern.size() == 0 || std::ranges::all_of(pattern.any, [](bool any) { return any; })) {
        why = "The pattern needs at least one byte that is not ??";
        return std::nullopt;
    }
    return pattern;
}

std::size_t findFirst(ByteView data, const SearchPattern& pattern, std::size_t from) {
    const std::size_t length = pattern.size();
    if (length == 0 || data.size() < length) {
        return SIZE_MAX;
    }
    // The first fixed byte is looked for with memchr, the rest compared where it is found.
    const std::size_t anchor =
        static_cast<std::size_t>(std::ranges::find(pattern.any, false) - pattern.any.begin());
    const std::size_t last = data.size() - length;
    for (std::size_t start = from; start <= last;) {
        const void* hit =
            std::memchr(data.data() + start + anchor, pattern.bytes[anchor], last - start + 1);
        if (hit == nullptr) {
            return SIZE_MAX;
        }
        start =
            static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data.data()) - anchor;
        bool matches = true;
        for (std::size_t i = 0; i < length && matches; ++i) {
            matches = pattern.any[i] || data[start + i] == pattern.bytes[i];
        }
        if (matches) {
            return start;
        }
        ++start;
    }
    return SIZE_MAX;
}

RegionClass classifyCounts(const ByteCounts& counts) {
    std::uint64_t total = 0;
    std::uint64_t text = 0;
    for (std::size_t value = 0; value < counts.size(); ++value) {
        total += counts[value];
        if (isPrintableAscii(static_cast<std::uint8_t>(value)) || value == '\t' || value == '\n' ||
            value == '\r') {
            text += counts[value];
        }
    }
    if (total == 0) {
        return RegionClass::kUnknown;
    }
    if (counts[0] == total) {
        return RegionClass::kZero;
    }
    if (text * 10 >= total * 9) {
        return RegionClass::kText;
    }
    double entropy = 0;
    for (const std::uint64_t count : counts) {
        if (count != 0) {
            const double share = static_cast<double>(count) / static_cast<double>(total);
            entropy -= share * std::log2(share);
        }
    }
    return entropy < 4.0   ? RegionClass::kLow
           : entropy < 7.2 ? RegionClass::kMedium
                           : RegionClass::kHigh;
}

std::vector<StructureField> readStructure(Document& document) {
    ByteBuffer head(
        static_cast<std::size_t>(std::min<std::uint64_t>(document.size(), kStructureWindow)));
    head.resize(document.read(0, head));
    std::string typeName;
    std::vector<StructureField> fields;
    fields.push_back({"File", typeName, 0, document.size()});
    for (HeaderField& field : detectFormat(head, typeName)) {
        fields.push_back(
            {std::move(field.label), std::move(field.value), field.offset, field.size});
    }
    fields.front().value = typeName;
    return fields;
}

}  // namespace tessaloom::cli::view
