// How zip, tar, cpio and squashfs lay out their headers: read in one place for the validators that
// measure an archive and for the walk that hands out its members.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "signature.h"

namespace tessaloom::scan::layout {

// A walk over an archive's headers gives up after this many: a chain of tiny hostile headers
// cannot make one archive cost more than this many reads.
inline constexpr std::uint64_t kMaxEntries = std::uint64_t{1} << 20;

constexpr std::uint64_t roundUp(std::uint64_t value, std::uint64_t to) {
    return value + (to - value % to) % to;
}

// a + b, or nothing where the sum of numbers from the input would wrap.
std::optional<std::uint64_t> add(std::uint64_t a, std::uint64_t b);

// Whether length bytes at offset are all zero (and there).
bool zeroesAt(Bytes& bytes, std::uint64_t offset, std::uint64_t length);

// The number the digits of field give in base (up to 16); none where one is not a digit.
std::optional<std::uint64_t> asciiNumber(ByteView field, unsigned base);

// ---------------------------------------------------------------------------------------------
// zip

inline constexpr std::string_view kZipLocal = "PK\x03\x04";
inline constexpr std::string_view kZipCentral = "PK\x01\x02";
inline constexpr std::string_view kZipEnd = "PK\x05\x06";
inline constexpr std::uint64_t kZipEndSize = 22;

// The fields of a local header as a walk needs them.
struct ZipLocal {
    std::uint64_t flags = 0;
    std::uint64_t method = 0;
    std::uint64_t compressed = 0;
    std::uint64_t uncompressed = 0;
    std::uint64_t nameOffset = 0;
    std::uint64_t nameLength = 0;
    std::uint64_t data = 0;  // where the entry's stored bytes start
    std::uint64_t next = 0;  // just past its data (and its data descriptor, where it has one)
    // Whether only the data descriptor behind the data gives the sizes, so that next is unknown.
    bool sizesAfterData = false;
    bool zip64 = false;
};

// The local header at offset, when its fields are those of one.
std::optional<ZipLocal> zipLocalHeader(Bytes& bytes, std::uint64_t offset);

// One header of the central directory.
struct ZipCentral {
    std::uint64_t madeBy = 0;  // the system in the high byte: 3 for Unix
    std::uint64_t flags = 0;
    std::uint64_t method = 0;
    std::uint64_t compressed = 0;
    std::uint64_t uncompressed = 0;
    std::uint64_t externalAttributes = 0;  // on Unix, the mode in the high 16 bits
    std::uint64_t localOffset = 0;         // as stored
    std::uint64_t nameOffset = 0;
    std::uint64_t nameLength = 0;
    std::uint64_t next = 0;
};

// The central directory header at offset, when its signature is there.
std::optional<ZipCentral> zipCentralHeader(Bytes& bytes, std::uint64_t offset);

// What a walk of the central directory and the end records found.
struct ZipEnd {
    std::uint64_t end = 0;
    std::uint64_t entries = 0;
    std::uint64_t compressed = 0;
    std::uint64_t uncompressed = 0;
    std::uint64_t directory = 0;        // where the directory lies
    std::uint64_t directoryOffset = 0;  // as the end record gives it
    std::uint64_t commentLength = 0;
    // What the stored offsets hold more than the offsets from the archive's start (a stub before
    // a self-extractor's archive).
    std::uint64_t offsetBase() const { return directoryOffset - directory; }
};

// What walking a zip from its first local header at 0 found: the end records where they agree
// with the headers, or else how far the local headers go.
struct ZipWalk {
    std::optional<ZipEnd> end;
    std::uint64_t walked = 0;
};

// Walks the local headers from 0 to the central directory. An entry whose sizes only its data
// descriptor gives cannot be stepped over: the next header is then looked for after it, each
// byte looked at once, so that the walk costs no more than a read of the archive.
ZipWalk walkZip(Bytes& bytes);

// ---------------------------------------------------------------------------------------------
// tar

inline constexpr std::uint64_t kTarBlock = 512;
using TarBlock = std::array<std::uint8_t, kTarBlock>;

// A number field: octal, or big-endian binary behind a first byte of 0x80 (a GNU extension
// for sizes beyond eleven octal digits).
std::optional<std::uint64_t> tarNumber(ByteView field);

// Whether the data of an entry of type follows its header: links, devices, directories and
// FIFOs have none whatever their size field says.
constexpr bool tarTypeHasData(std::uint8_t type) {
    return type < '1' || type > '6';
}

// Entries that only carry a long name or attributes for the entry behind them.
constexpr bool tarMetaType(std::uint8_t type) {
    return type == 'L' || type == 'K' || type == 'x' || type == 'g';
}

// The name the header itself holds: the ustar prefix, a slash and the name field.
ByteBuffer tarHeaderName(const TarBlock& block);
// A NUL-ended field of the header.
ByteView tarText(const TarBlock& block, std::size_t at, std::size_t length);

// One header of a tar walk.
struct TarHeader {
    std::uint64_t offset = 0;
    const TarBlock* block = nullptr;
    std::uint8_t type = 0;
    std::uint64_t size = 0;  // of the data behind the header, from its size field
    std::uint64_t data = 0;
};

// How a tar walk ended.
struct TarEnd {
    std::uint64_t end = 0;
    bool exact = false;  // at the two zero blocks that end an archive
    // Why it stopped before those: empty when it reached them or the callback stopped it.
    std::string stoppedShort;
};

// Walks the headers from 0, handing each to onHeader (false stops the walk).
TarEnd walkTar(Bytes& bytes, const std::function<bool(const TarHeader&)>& onHeader);

// ---------------------------------------------------------------------------------------------
// cpio

enum class CpioKind : std::uint8_t { kNewc, kCrc, kOdc, kBinaryLittle, kBinaryBig };

inline constexpr std::uint64_t kCpioMaxName = 4096;

struct CpioEntry {
    bool trailer = false;
    ByteBuffer name;  // without its NUL
    std::uint64_t mode = 0;
    std::uint64_t links = 1;
    std::uint64_t data = 0;
    std::uint64_t size = 0;
    std::uint64_t next = 0;
};

// The entry at offset, when its header and name read as one.
std::optional<CpioEntry> cpioEntry(Bytes& bytes, std::uint64_t offset, CpioKind kind);

// The flavour of the archive whose magic is at 0.
std::optional<CpioKind> cpioKind(Bytes& bytes);

// ---------------------------------------------------------------------------------------------
// squashfs 4.0

inline constexpr std::uint64_t kSquashfsSuperSize = 96;
// What an optional table's start reads where the image has none.
inline constexpr std::uint64_t kSquashfsAbsent = ~std::uint64_t{0};
// The compressors by the number the superblock gives; 0 names none.
inline constexpr std::array<std::string_view, 7> kSquashfsCompressors{"",   "gzip", "lzma", "lzo",
                                                                      "xz", "lz4",  "zstd"};

// The superblock's fields; every number of the image is in its byte order.
struct SquashfsSuper {
    ByteOrder order = ByteOrder::kLittle;
    std::uint64_t inodes = 0;
    std::uint64_t blockSize = 0;
    std::uint64_t fragments = 0;
    std::uint64_t compression = 0;  // an index of kSquashfsCompressors
    std::uint64_t flags = 0;
    // Where the root folder's inode is: the start of its metadata block from the inode table's
    // in the high 48 bits, its offset in the decoded block in the low 16.
    std::uint64_t rootInode = 0;
    std::uint64_t bytesUsed = 0;
    std::uint64_t idTable = 0;
    std::uint64_t xattrTable = 0;
    std::uint64_t inodeTable = 0;
    std::uint64_t directoryTable = 0;
    std::uint64_t fragmentTable = 0;
    std::uint64_t exportTable = 0;
};

// The superblock at 0, "hsqs" for a little-endian image and "sqsh" for a big-endian one, where
// its fields are those of squashfs 4.0: a known compressor, a block size of 4 KiB to 1 MiB that
// its logarithm matches, and the tables in their order inside the bytes used.
std::optional<SquashfsSuper> squashfsSuper(Bytes& bytes);

}  // namespace tessaloom::scan::layout
