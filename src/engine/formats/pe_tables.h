// The tables of a PE file beyond its headers, imports and exports: the checksum, the debug
// directory, the resource tree with the version resource and the manifest, the Rich header, the
// TLS callbacks, the load configuration and a ZIP archive appended to it. Internal to the engine.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "decoder.h"

namespace tessaloom::formats {

// Where a section's bytes are in the file and in memory.
struct PeSectionPlace {
    std::uint64_t address = 0;
    std::uint64_t virtualSize = 0;
    std::uint64_t offset = 0;
    std::uint64_t rawSize = 0;
};

// What the PE decoder read of the headers, which the tables are found through.
struct PeLayout {
    static constexpr std::uint64_t kDirectories = 16;

    // The first sections, which addresses are mapped through.
    std::vector<PeSectionPlace> places;
    std::uint64_t headersSize = 0;
    std::uint64_t peOffset = 0;
    std::uint64_t imageBase = 0;
    std::uint64_t pointerSize = 4;
    // Where the data of the last section in the file ends.
    std::uint64_t sectionsEnd = 0;
    // The CheckSum field of the optional header, where the header holds it.
    std::optional<std::uint64_t> checksumOffset;
    std::uint64_t storedChecksum = 0;
    std::array<std::pair<std::uint64_t, std::uint64_t>, kDirectories> directories{};
    std::uint64_t directoryCount = 0;

    // Where the address relative to the image base lies in the file.
    std::optional<std::uint64_t> fileOffset(std::uint64_t rva) const;
    // Where the bytes of the section that maps rva end in the file (the headers' end for an
    // address in the headers); 0 where rva is not in the file.
    std::uint64_t mappedEnd(std::uint64_t rva) const;
    // The address and size of a data directory, where it is there and not 0.
    std::optional<std::pair<std::uint64_t, std::uint64_t>> directory(std::uint64_t index) const;
};

// Fills in the report's checksum (the stored one: the bytes are summed by describeStructure, with
// the entropies), debug entries, resources, version information, manifest, Rich
// header, TLS callbacks and load configuration, and the archive appended after the sections.
void readPeTables(Decoding& decoding, const PeLayout& layout);

// The checksum of a file as the Windows loader computes it, of its bytes handed in order from
// offset 0 in pieces of any size: the 16-bit words of the file summed with their carries folded
// back in, the four bytes of the CheckSum field at fieldOffset taken as 0, plus the length of
// the file.
class PeChecksum {
  public:
    explicit PeChecksum(std::uint64_t fieldOffset) : field_(fieldOffset) {}
    // The next bytes of the file.
    void add(ByteView piece);
    // The checksum of the bytes handed in, as those of the whole file.
    std::uint64_t value() const;

  private:
    std::uint64_t field_;
    std::uint64_t at_ = 0;
    std::uint64_t sum_ = 0;
};

// The checksum of the bytes, read pieceSize bytes at a time, each piece told to read (how many
// bytes are done). Empty when the bytes cannot be read.
std::optional<std::uint64_t> peChecksum(Bytes& bytes, std::uint64_t fieldOffset,
                                        std::size_t pieceSize,
                                        const std::function<void(std::uint64_t)>& read = {});

// UTF-16LE units as text made safe to show; an unpaired surrogate becomes U+FFFD.
std::string utf16Text(ByteView units);

}  // namespace tessaloom::formats
