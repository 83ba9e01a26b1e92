// Overwrites every occurrence of a byte pattern with zero bytes and prints where it was found.
// Usage: blank_pattern IN HEX_PATTERN OUT
#include <tessaloom/engine.h>

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: blank_pattern IN HEX_PATTERN OUT\n";
        return 2;
    }
    const tessaloom::ByteBuffer pattern = tessaloom::parseHexPattern(argv[2]);

    std::vector<tessaloom::DiffEntry> patches;
    for (const std::uint64_t offset : tessaloom::findPatternOffsets(argv[1], pattern)) {
        std::cout << "found at 0x" << std::hex << offset << '\n';
        for (std::size_t i = 0; i < pattern.size(); ++i) {
            patches.push_back({.offset = offset + i, .byteA = pattern[i], .byteB = 0x00});
        }
    }
    if (!tessaloom::applyPatches(argv[1], patches, argv[3])) {
        std::cerr << "cannot write " << argv[3] << '\n';
        return 1;
    }
    return 0;
}
