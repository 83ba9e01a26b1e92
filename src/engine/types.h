// The byte buffer and the plain result records shared by every engine operation.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tessaloom {

// A whole file's bytes, or a byte pattern.
using ByteBuffer = std::vector<std::uint8_t>;

// Read-only view of bytes that some caller owns; the engine's operations work on these.
using ByteView = std::span<const std::uint8_t>;

// One labelled row of a file's structure; offset and size give the bytes it was read from.
struct HeaderField {
    std::string label;
    std::string value;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

// Everything the entropy analysis learns about one file.
struct AnalysisReport {
    std::string path;
    std::uint64_t fileSize = 0;
    double entropy = 0.0;
    std::string typeName;
    std::vector<HeaderField> headers;
    std::vector<double> blockEntropies;
};

// One position at which two files differ; also one change of a patch list.
struct DiffEntry {
    std::uint64_t offset = 0;
    std::uint8_t byteA = 0;
    std::uint8_t byteB = 0;

    bool operator==(const DiffEntry&) const = default;
};

// One run of printable bytes and where it starts.
struct FoundString {
    std::uint64_t offset = 0;
    std::string text;

    bool operator==(const FoundString&) const = default;
};

// Printable ASCII, the space included: what the dump sidebar shows and what strings are made of.
constexpr bool isPrintableAscii(std::uint8_t byte) {
    return byte >= 0x20 && byte <= 0x7E;
}

// White space as the C library's number conversions skip it: space, tab, newline, vertical tab,
// form feed and carriage return.
constexpr bool isConversionSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The value of c as a digit of those conversions: 0-9, then a-z or A-Z for 10-35; -1 otherwise.
constexpr int conversionDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'Z') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace tessaloom
