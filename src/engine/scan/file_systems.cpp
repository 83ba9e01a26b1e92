// File system images: squashfs, cramfs, jffs2, UBI, ext2/3/4, FAT and ISO 9660. Each is found by
// its superblock (or first node) and measured by the size the superblock gives or by walking its
// nodes and erase blocks.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../byte_order.h"
#include "archive_layouts.h"
#include "signature.h"

namespace tessaloom::scan {

namespace {

// CRC-32 over the reflected polynomial, as the table step alone: neither the initial nor the final
// inversion, since each format sets those its own way.
//  - zlib's crc32 (cramfs): ~step(0xFFFFFFFF, ...).
//  - jffs2: crc32(0, ...) of the kernel and mtd-utils, which is the bare step: step(0, ...).
//  - UBI: crc32(0xFFFFFFFF, ...) of the same function: step(0xFFFFFFFF, ...).
//  - ext4's metadata checksum: CRC-32C, step(0xFFFFFFFF, ...).
struct CrcTable {
    std::array<std::uint32_t, 256> entries{};
};

constexpr CrcTable makeCrcTable(std::uint32_t polynomial) {
    CrcTable table;
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t value = i;
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1) != 0 ? (value >> 1) ^ polynomial : value >> 1;
        }
        table.entries[i] = value;
    }
    return table;
}

constexpr CrcTable kCrc32 = makeCrcTable(0xEDB88320);
constexpr CrcTable kCrc32c = makeCrcTable(0x82F63B78);

std::uint32_t crcStep(const CrcTable& table, std::uint32_t state, ByteView bytes) {
    for (const std::uint8_t byte : bytes) {
        state = table.entries[(state ^ byte) & 0xFF] ^ (state >> 8);
    }
    return state;
}

// The step over length bytes of object from offset, read a piece at a time; empty where they are
// not all there.
std::optional<std::uint32_t> crcStepOver(Bytes& object, const CrcTable& table, std::uint32_t state,
                                         std::uint64_t offset, std::uint64_t length) {
    if (!object.holds(offset, length)) {
        return std::nullopt;
    }
    constexpr std::uint64_t kPiece = std::uint64_t{64} << 10;
    std::vector<std::uint8_t> piece(static_cast<std::size_t>(std::min(length, kPiece)));
    while (length > 0) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(length, piece.size()));
        const std::span<std::uint8_t> into = std::span(piece).first(n);
        if (!object.read(offset, into)) {
            return std::nullopt;
        }
        state = crcStep(table, state, into);
        offset += n;
        length -= n;
    }
    return state;
}

// A header's bytes, read at once, with its numbers in the format's byte order.
template <std::size_t N>
class Header {
  public:
    explicit Header(ByteOrder order) : order_(order) {}
    bool load(Bytes& object, std::uint64_t offset) { return object.read(offset, bytes_); }
    std::uint64_t number(std::size_t offset, std::size_t width) const {
        const ByteView field = view(offset, width);
        return order_ == ByteOrder::kLittle ? readLittleEndian(field) : readBigEndian(field);
    }
    std::uint64_t little(std::size_t offset, std::size_t width) const {
        return readLittleEndian(view(offset, width));
    }
    std::uint64_t big(std::size_t offset, std::size_t width) const {
        return readBigEndian(view(offset, width));
    }
    std::uint8_t at(std::size_t offset) const { return bytes_[offset]; }
    ByteView view(std::size_t offset, std::size_t length) const {
        return ByteView(bytes_).subspan(offset, length);
    }

  private:
    std::array<std::uint8_t, N> bytes_{};
    ByteOrder order_;
};

std::string_view orderName(ByteOrder order) {
    return order == ByteOrder::kLittle ? "little endian" : "big endian";
}

// A name field: up to its first NUL, without the spaces that pad it.
ByteView trimmedName(ByteView text) {
    const auto nul = std::ranges::find(text, std::uint8_t{0});
    text = text.first(static_cast<std::size_t>(nul - text.begin()));
    while (!text.empty() && text.back() == ' ') {
        text = text.first(text.size() - 1);
    }
    return text;
}

// The size the headers give: exact where the object lies inside the input, else an estimate.
void setSize(Object& found, const Bytes& object, std::uint64_t size) {
    found.size = size;
    found.exact = size <= object.size();
}

bool isPowerOfTwo(std::uint64_t value) {
    return std::has_single_bit(value);
}

// --- squashfs 4.0 ------------------------------------------------------------------------------

std::optional<Object> validateSquashfs(Bytes& object) {
    const std::optional<layout::SquashfsSuper> sb = layout::squashfsSuper(object);
    if (!sb) {
        return std::nullopt;
    }
    const std::uint64_t inodes = sb->inodes;
    const std::uint64_t bytesUsed = sb->bytesUsed;
    Object found;
    setSize(found, object, bytesUsed);
    const std::string_view compressor = layout::kSquashfsCompressors[sb->compression];
    found.description = std::string("squashfs 4.0 ")
                            .append(orderName(sb->order))
                            .append(", ")
                            .append(compressor)
                            .append(", ")
                            .append(std::to_string(inodes))
                            .append(inodes == 1 ? " inode, " : " inodes, ")
                            .append(sizeText(bytesUsed));
    found.fields = {textField("compression", std::string(compressor)),
                    numberField("block_size", sb->blockSize),
                    numberField("inodes", inodes),
                    numberField("fragments", sb->fragments),
                    numberField("bytes_used", bytesUsed),
                    hexField("flags", sb->flags)};
    return found;
}

// --- cramfs -------------------------------------------------------------------------------------

constexpr std::uint64_t kCramfsSuperSize = 76;
constexpr std::uint64_t kCramfsCrcPresent = 0x1;
// Flags beyond these make the kernel refuse the image.
constexpr std::uint64_t kCramfsKnownFlags = 0xFFF;
// mkcramfs can put the superblock behind a 512-byte pad for a boot loader; the size field then
// counts the pad too.
constexpr std::uint64_t kCramfsPad = 512;

// Whether the image's CRC (of the length bytes from the superblock, with the CRC field taken as
// zero) is stored.
bool cramfsCrcHolds(Bytes& object, std::uint64_t length, std::uint32_t stored) {
    const std::optional<std::uint32_t> head = crcStepOver(object, kCrc32, 0xFFFFFFFF, 0, 32);
    if (!head) {
        return false;
    }
    constexpr std::array<std::uint8_t, 4> kZero{};
    const std::uint32_t state = crcStep(kCrc32, *head, kZero);
    const std::optional<std::uint32_t> all = crcStepOver(object, kCrc32, state, 36, length - 36);
    return all && ~*all == stored;
}

template <ByteOrder kOrder>
std::optional<Object> validateCramfs(Bytes& object) {
    Header<kCramfsSuperSize> sb(kOrder);
    if (!sb.load(object, 0) || !object.matches(16, "Compressed ROMFS")) {
        return std::nullopt;
    }
    const std::uint64_t declared = sb.number(4, 4);
    const std::uint64_t flags = sb.number(8, 4);
    if ((flags & ~kCramfsKnownFlags) != 0) {
        return std::nullopt;
    }
    Object found;
    const bool hasCrc = (flags & kCramfsCrcPresent) != 0;
    if (hasCrc) {
        if (declared < kCramfsSuperSize) {
            return std::nullopt;
        }
        const auto stored = static_cast<std::uint32_t>(sb.number(32, 4));
        if (declared > object.size()) {
            setSize(found, object, declared);
        } else if (cramfsCrcHolds(object, declared, stored)) {
            found.size = declared;
            found.exact = true;
        } else if (declared >= kCramfsPad + kCramfsSuperSize &&
                   cramfsCrcHolds(object, declared - kCramfsPad, stored)) {
            found.size = declared - kCramfsPad;
            found.exact = true;
        } else {
            return std::nullopt;
        }
    } else if (declared >= kCramfsSuperSize) {
        // The first edition of the format has no CRC to prove the size right.
        found.size = declared;
        found.exact = false;
    }
    const std::uint64_t files = sb.number(44, 4);
    std::string description = std::string("cramfs ").append(orderName(kOrder));
    const ByteView name = trimmedName(sb.view(48, 16));
    if (!name.empty()) {
        description.append(" ").append(quoted(name));
    }
    if (hasCrc) {
        description.append(", ")
            .append(std::to_string(files))
            .append(files == 1 ? " file" : " files");
    }
    if (found.size) {
        description.append(", ").append(sizeText(*found.size));
    }
    found.description = std::move(description);
    found.fields = {numberField("size", declared), hexField("flags", flags)};
    if (hasCrc) {
        found.fields.push_back(hexField("crc", sb.number(32, 4)));
        found.fields.push_back(numberField("edition", sb.number(36, 4)));
        found.fields.push_back(numberField("blocks", sb.number(40, 4)));
        found.fields.push_back(numberField("files", files));
    }
    found.fields.push_back(textField("name", formats::safeText(name)));
    return found;
}

// --- jffs2 --------------------------------------------------------------------------------------

constexpr std::uint64_t kJffs2NodeHeader = 12;
constexpr std::uint64_t kJffs2Accurate = 0x2000;  // cleared on nodes made obsolete
constexpr std::uint64_t kJffs2Dirent = 0xC001;
constexpr std::uint64_t kJffs2Inode = 0xC002;
constexpr std::array<std::uint64_t, 7> kJffs2NodeTypes{kJffs2Dirent,
                                                       kJffs2Inode,
                                                       0x0003 /* clean marker */,
                                                       0x0004 /* padding */,
                                                       0x0006 /* summary */,
                                                       0xC008 /* xattr */,
                                                       0xC009 /* xattr reference */};

// The total length of the node at offset, padded to 4 bytes, where a node whose header checks out
// starts there; its type in type.
std::optional<std::uint64_t> jffs2Node(Bytes& object, std::uint64_t offset, ByteOrder order,
                                       std::uint64_t& type) {
    Header<kJffs2NodeHeader> node(order);
    if (!node.load(object, offset) || node.number(0, 2) != 0x1985) {
        return std::nullopt;
    }
    type = node.number(2, 2) & ~kJffs2Accurate;
    const std::uint64_t length = node.number(4, 4);
    if (std::ranges::find(kJffs2NodeTypes, type) == kJffs2NodeTypes.end() ||
        length < kJffs2NodeHeader ||
        crcStep(kCrc32, 0, node.view(0, 8)) != static_cast<std::uint32_t>(node.number(8, 4))) {
        return std::nullopt;
    }
    return (length + 3) & ~std::uint64_t{3};
}

// The end of the run of 4-byte words of erased (0xFF) or zeroed flash from offset.
std::uint64_t jffs2FillEnd(Bytes& object, std::uint64_t offset) {
    std::array<std::uint8_t, 4096> piece{};
    std::optional<std::uint8_t> fill;
    while (offset + 4 <= object.size()) {
        const auto n = static_cast<std::size_t>(
            std::min<std::uint64_t>(piece.size(), (object.size() - offset) & ~std::uint64_t{3}));
        if (!object.read(offset, std::span(piece).first(n))) {
            return offset;
        }
        if (!fill) {
            if (piece[0] != 0xFF && piece[0] != 0x00) {
                return offset;
            }
            fill = piece[0];
        }
        const std::span<const std::uint8_t> got = std::span(piece).first(n);
        const auto first =
            std::ranges::find_if(got, [&](std::uint8_t byte) { return byte != *fill; });
        const auto same = static_cast<std::uint64_t>(first - got.begin());
        if (same < n) {
            return offset + (same & ~std::uint64_t{3});
        }
        offset += n;
    }
    return offset;
}

template <ByteOrder kOrder>
std::optional<Object> validateJffs2(Bytes& object) {
    std::uint64_t type = 0;
    if (!jffs2Node(object, 0, kOrder, type)) {
        return std::nullopt;
    }
    // Nodes follow each other, 4-byte aligned; an erase block's unused end is erased flash. Each
    // step moves on by at least 4 bytes. A node cut short by the end of the input ends the image
    // before it and is found as one of its own, an estimate: an image measured to the nodes that
    // are whole hides the nodes inside it from the scan, which would otherwise walk on from each
    // of them to the end again.
    constexpr std::uint64_t kEraseBoundary = 4096;
    std::uint64_t position = 0;
    std::uint64_t end = 0;
    std::uint64_t nodes = 0;
    std::uint64_t inodes = 0;
    std::uint64_t dirents = 0;
    bool truncated = false;
    while (position < object.size()) {
        if (const std::optional<std::uint64_t> length = jffs2Node(object, position, kOrder, type)) {
            if (position + *length > object.size()) {
                if (nodes == 0) {
                    truncated = true;
                    nodes = 1;
                    end = *length;
                }
                break;
            }
            ++nodes;
            inodes += type == kJffs2Inode ? 1 : 0;
            dirents += type == kJffs2Dirent ? 1 : 0;
            position += *length;
            end = position;
            continue;
        }
        const std::uint64_t fillEnd = jffs2FillEnd(object, position);
        if (fillEnd == position) {
            break;
        }
        // Fill that reaches an erase-block boundary or the end of the input belongs to the image.
        if (fillEnd == object.size() || fillEnd % kEraseBoundary == 0) {
            end = fillEnd;
        }
        position = fillEnd;
    }
    Object found;
    found.size = end;
    found.exact = !truncated;
    found.description = std::string("jffs2 ")
                            .append(orderName(kOrder))
                            .append(", ")
                            .append(std::to_string(nodes))
                            .append(nodes == 1 ? " node, " : " nodes, ")
                            .append(sizeText(end));
    found.fields = {textField("byte_order", std::string(orderName(kOrder))),
                    numberField("nodes", nodes), numberField("inode_nodes", inodes),
                    numberField("dirent_nodes", dirents)};
    return found;
}

// --- UBI ----------------------------------------------------------------------------------------

constexpr std::uint64_t kUbiHeader = 64;
constexpr std::uint64_t kUbiLayoutVolume = 0x7FFFEFFF;
constexpr std::uint64_t kUbiVolumeRecord = 172;
constexpr std::uint64_t kUbiMaxVolumes = 128;

struct UbiEraseCounter {
    std::uint64_t vidHeaderOffset = 0;
    std::uint64_t dataOffset = 0;
    std::uint64_t imageSequence = 0;
    bool operator==(const UbiEraseCounter&) const = default;
};

// A UBI header (erase counter "UBI#" or volume "UBI!") whose CRC over all but its last field is
// that field.
bool ubiHeaderHolds(const Header<kUbiHeader>& header) {
    return crcStep(kCrc32, 0xFFFFFFFF, header.view(0, 60)) ==
           static_cast<std::uint32_t>(header.big(60, 4));
}

std::optional<UbiEraseCounter> ubiEraseCounter(Bytes& object, std::uint64_t offset) {
    Header<kUbiHeader> ec(ByteOrder::kBig);
    if (!ec.load(object, offset) || ec.big(0, 4) != 0x55424923 || ec.at(4) != 1 ||
        !ubiHeaderHolds(ec)) {
        return std::nullopt;
    }
    UbiEraseCounter counter{ec.big(16, 4), ec.big(20, 4), ec.big(24, 4)};
    if (counter.vidHeaderOffset < kUbiHeader || counter.vidHeaderOffset % 4 != 0 ||
        counter.dataOffset < counter.vidHeaderOffset + kUbiHeader ||
        counter.dataOffset > (std::uint64_t{1} << 22)) {
        return std::nullopt;
    }
    return counter;
}

// The names of the volumes that the layout volume's table lists, where one of the first erase
// blocks holds it.
std::vector<std::string> ubiVolumeNames(Bytes& object, const UbiEraseCounter& counter,
                                        std::uint64_t blockSize, std::uint64_t blocks) {
    std::vector<std::string> names;
    for (std::uint64_t block = 0; block < std::min<std::uint64_t>(blocks, 4); ++block) {
        const std::uint64_t base = block * blockSize;
        Header<kUbiHeader> vid(ByteOrder::kBig);
        if (!vid.load(object, base + counter.vidHeaderOffset) || vid.big(0, 4) != 0x55424921 ||
            !ubiHeaderHolds(vid) || vid.big(8, 4) != kUbiLayoutVolume) {
            continue;
        }
        const std::uint64_t records =
            std::min(kUbiMaxVolumes, (blockSize - counter.dataOffset) / kUbiVolumeRecord);
        for (std::uint64_t i = 0; i < records; ++i) {
            Header<kUbiVolumeRecord> record(ByteOrder::kBig);
            if (!record.load(object, base + counter.dataOffset + i * kUbiVolumeRecord)) {
                break;
            }
            const std::uint64_t nameLength = record.big(14, 2);
            if (record.big(0, 4) == 0 || nameLength == 0 || nameLength > 127 ||
                crcStep(kCrc32, 0xFFFFFFFF, record.view(0, 168)) !=
                    static_cast<std::uint32_t>(record.big(168, 4))) {
                continue;
            }
            names.push_back(quoted(record.view(16, static_cast<std::size_t>(nameLength))));
        }
        break;
    }
    return names;
}

std::optional<Object> validateUbi(Bytes& object) {
    const std::optional<UbiEraseCounter> first = ubiEraseCounter(object, 0);
    if (!first) {
        return std::nullopt;
    }
    // Every erase block starts with its erase counter header: the block size is the distance to
    // the next one, a power of two.
    std::uint64_t blockSize = 0;
    for (int shift = 12; shift <= 24; ++shift) {
        const std::uint64_t distance = std::uint64_t{1} << shift;
        if (distance <= first->dataOffset) {
            continue;
        }
        if (!object.holds(distance, kUbiHeader)) {
            break;
        }
        if (ubiEraseCounter(object, distance) == first) {
            blockSize = distance;
            break;
        }
    }
    Object found;
    std::uint64_t blocks = 1;
    if (blockSize != 0) {
        while (ubiEraseCounter(object, blocks * blockSize) == first) {
            ++blocks;
        }
        // An erase block cut short by the end of the input is left to be found on its own, as
        // the nodes of jffs2 are.
        if (blocks * blockSize > object.size()) {
            --blocks;
        }
        found.size = blocks * blockSize;
        found.exact = true;
    }
    std::string description = "UBI";
    if (blockSize != 0) {
        description.append(", ")
            .append(std::to_string(blocks))
            .append(" erase blocks of ")
            .append(sizeText(blockSize))
            .append(", ")
            .append(sizeText(*found.size));
    }
    const std::vector<std::string> names = blockSize != 0
                                               ? ubiVolumeNames(object, *first, blockSize, blocks)
                                               : std::vector<std::string>{};
    constexpr std::size_t kShownNames = 4;
    for (std::size_t i = 0; i < std::min(names.size(), kShownNames); ++i) {
        description.append(i == 0 ? (names.size() == 1 ? ", volume " : ", volumes ") : ", ")
            .append(names[i]);
    }
    if (names.size() > kShownNames) {
        description.append(", ...");
    }
    found.description = std::move(description);
    found.fields = {numberField("vid_header_offset", first->vidHeaderOffset),
                    numberField("data_offset", first->dataOffset),
                    hexField("image_sequence", first->imageSequence)};
    if (blockSize != 0) {
        found.fields.push_back(numberField("erase_block_size", blockSize));
        found.fields.push_back(numberField("erase_blocks", blocks));
        found.fields.push_back(numberField("volumes", names.size()));
    }
    return found;
}

// --- ext2/3/4 -----------------------------------------------------------------------------------

constexpr std::uint64_t kExtSuperblock = 0x400;
constexpr std::uint64_t kExtHasJournal = 0x4;          // compatible
constexpr std::uint64_t kExtExtents = 0x40;            // incompatible
constexpr std::uint64_t kExt64Bit = 0x80;              // incompatible
constexpr std::uint64_t kExtFlexGroups = 0x200;        // incompatible
constexpr std::uint64_t kExtBigAlloc = 0x200;          // read-only compatible
constexpr std::uint64_t kExtMetadataChecksum = 0x400;  // read-only compatible
constexpr std::size_t kExtChecksumOffset = 0x3FC;

std::optional<Object> validateExt(Bytes& object) {
    Header<1024> sb(ByteOrder::kLittle);
    if (!sb.load(object, kExtSuperblock) || sb.little(0x38, 2) != 0xEF53) {
        return std::nullopt;
    }
    const std::uint64_t logBlockSize = sb.little(0x18, 4);
    const std::uint64_t revision = sb.little(0x4C, 4);
    if (logBlockSize > 6 || revision > 1) {
        return std::nullopt;
    }
    const std::uint64_t blockSize = std::uint64_t{1024} << logBlockSize;
    const std::uint64_t inodes = sb.little(0x00, 4);
    const std::uint64_t firstDataBlock = sb.little(0x14, 4);
    const std::uint64_t blocksPerGroup = sb.little(0x20, 4);
    const std::uint64_t inodesPerGroup = sb.little(0x28, 4);
    const std::uint64_t compat = sb.little(0x5C, 4);
    const std::uint64_t incompat = sb.little(0x60, 4);
    const std::uint64_t roCompat = sb.little(0x64, 4);
    std::uint64_t blocks = sb.little(0x04, 4);
    if ((incompat & kExt64Bit) != 0) {
        blocks |= sb.little(0x150, 4) << 32;
    }
    // Each group's bitmaps take one block; the superblock copies in later groups say so.
    if (blocksPerGroup == 0 || inodesPerGroup == 0 || inodesPerGroup > 8 * blockSize ||
        ((roCompat & kExtBigAlloc) == 0 && blocksPerGroup > 8 * blockSize) ||
        firstDataBlock > (blockSize == 1024 ? 1u : 0u) || blocks <= firstDataBlock ||
        sb.little(0x5A, 2) != 0) {
        return std::nullopt;
    }
    // A size that does not fit in 64 bits is no file system's.
    if (blocks > (~std::uint64_t{0} >> (10 + logBlockSize))) {
        return std::nullopt;
    }
    const std::uint64_t groups = (blocks - firstDataBlock + blocksPerGroup - 1) / blocksPerGroup;
    if (groups > 0xFFFFFFFF || inodes != groups * inodesPerGroup) {
        return std::nullopt;
    }
    if (revision == 1) {
        const std::uint64_t inodeSize = sb.little(0x58, 2);
        if (inodeSize < 128 || inodeSize > blockSize || !isPowerOfTwo(inodeSize)) {
            return std::nullopt;
        }
    }
    if ((roCompat & kExtMetadataChecksum) != 0 &&
        crcStep(kCrc32c, 0xFFFFFFFF, sb.view(0, kExtChecksumOffset)) !=
            static_cast<std::uint32_t>(sb.little(kExtChecksumOffset, 4))) {
        return std::nullopt;
    }
    const std::string_view kind = (incompat & (kExtExtents | kExt64Bit | kExtFlexGroups)) != 0
                                      ? "ext4"
                                      : ((compat & kExtHasJournal) != 0 ? "ext3" : "ext2");
    const std::uint64_t size = blocks * blockSize;
    Object found;
    setSize(found, object, size);
    const ByteView label = trimmedName(sb.view(0x78, 16));
    std::string description = std::string(kind)
                                  .append(", ")
                                  .append(sizeText(blockSize))
                                  .append(" blocks, ")
                                  .append(sizeText(size));
    if (!label.empty()) {
        description.append(", label ").append(quoted(label));
    }
    found.description = std::move(description);
    found.fields = {textField("type", std::string(kind)),
                    numberField("block_size", blockSize),
                    numberField("blocks", blocks),
                    numberField("inodes", inodes),
                    textField("label", formats::safeText(label)),
                    hexField("feature_compat", compat),
                    hexField("feature_incompat", incompat),
                    hexField("feature_ro_compat", roCompat)};
    return found;
}

// --- FAT ----------------------------------------------------------------------------------------

template <unsigned kBits>
std::optional<Object> validateFat(Bytes& object) {
    Header<512> boot(ByteOrder::kLittle);
    if (!boot.load(object, 0) ||
        !((boot.at(0) == 0xEB && boot.at(2) == 0x90) || boot.at(0) == 0xE9)) {
        return std::nullopt;
    }
    const std::uint64_t bytesPerSector = boot.little(0x0B, 2);
    const std::uint64_t sectorsPerCluster = boot.at(0x0D);
    const std::uint64_t reserved = boot.little(0x0E, 2);
    const std::uint64_t fats = boot.at(0x10);
    const std::uint64_t rootEntries = boot.little(0x11, 2);
    const std::uint64_t media = boot.at(0x15);
    const std::uint64_t totalSectors =
        boot.little(0x13, 2) != 0 ? boot.little(0x13, 2) : boot.little(0x20, 4);
    if (bytesPerSector < 512 || bytesPerSector > 4096 || !isPowerOfTwo(bytesPerSector) ||
        sectorsPerCluster == 0 || !isPowerOfTwo(sectorsPerCluster) || reserved == 0 || fats < 1 ||
        fats > 2 || (media != 0xF0 && media < 0xF8) || totalSectors == 0) {
        return std::nullopt;
    }
    const std::uint64_t fatSectors = kBits == 32 ? boot.little(0x24, 4) : boot.little(0x16, 2);
    if (fatSectors == 0 || (kBits == 32) != (rootEntries == 0) ||
        (kBits == 32 && (boot.little(0x16, 2) != 0 || boot.little(0x2C, 4) < 2))) {
        return std::nullopt;
    }
    const std::uint64_t rootSectors = (rootEntries * 32 + bytesPerSector - 1) / bytesPerSector;
    const std::uint64_t dataStart = reserved + fats * fatSectors + rootSectors;
    if (dataStart >= totalSectors) {
        return std::nullopt;
    }
    // Each FAT has an entry for every cluster, and for the two that come before the first.
    const std::uint64_t clusters = (totalSectors - dataStart) / sectorsPerCluster;
    if (fatSectors * bytesPerSector * 8 / kBits < clusters + 2) {
        return std::nullopt;
    }
    const std::size_t extended = kBits == 32 ? 0x42 : 0x26;
    ByteView label;
    std::optional<std::uint64_t> volumeId;
    if (boot.at(extended) == 0x29) {
        volumeId = boot.little(extended + 1, 4);
        label = trimmedName(boot.view(extended + 5, 11));
        if (std::ranges::equal(label, std::string_view("NO NAME"))) {
            label = {};
        }
    }
    const std::uint64_t size = totalSectors * bytesPerSector;
    Object found;
    setSize(found, object, size);
    std::string description =
        std::string("FAT").append(std::to_string(kBits)).append(", ").append(sizeText(size));
    if (!label.empty()) {
        description.append(", label ").append(quoted(label));
    }
    found.description = std::move(description);
    found.fields = {numberField("bytes_per_sector", bytesPerSector),
                    numberField("sectors_per_cluster", sectorsPerCluster),
                    numberField("total_sectors", totalSectors),
                    numberField("fats", fats),
                    numberField("clusters", clusters),
                    textField("label", formats::safeText(label))};
    if (volumeId) {
        found.fields.push_back(hexField("volume_id", *volumeId));
    }
    return found;
}

// --- ISO 9660 -----------------------------------------------------------------------------------

constexpr std::uint64_t kIsoDescriptors = 0x8000;

// A number stored twice, little endian then big endian; empty where the halves differ.
std::optional<std::uint64_t> bothEndian(const Header<190>& pvd, std::size_t offset,
                                        std::size_t width) {
    const std::uint64_t little = pvd.little(offset, width);
    if (little != pvd.big(offset + width, width)) {
        return std::nullopt;
    }
    return little;
}

std::optional<Object> validateIso9660(Bytes& object) {
    Header<190> pvd(ByteOrder::kLittle);
    if (!pvd.load(object, kIsoDescriptors) || pvd.at(0) != 1 || pvd.at(6) != 1 ||
        !object.matches(kIsoDescriptors + 1, "CD001")) {
        return std::nullopt;
    }
    const std::optional<std::uint64_t> blocks = bothEndian(pvd, 80, 4);
    const std::optional<std::uint64_t> blockSize = bothEndian(pvd, 128, 2);
    if (!blocks || !blockSize || *blockSize < 512 || *blockSize > 2048 ||
        !isPowerOfTwo(*blockSize) || !bothEndian(pvd, 120, 2) || !bothEndian(pvd, 124, 2) ||
        !bothEndian(pvd, 132, 4)) {
        return std::nullopt;
    }
    // The system area and the volume descriptors, this one and the set's terminator, at least.
    const std::uint64_t size = *blocks * *blockSize;
    if (size < kIsoDescriptors + 2 * 2048) {
        return std::nullopt;
    }
    Object found;
    setSize(found, object, size);
    const ByteView volume = trimmedName(pvd.view(40, 32));
    std::string description = "ISO 9660";
    if (!volume.empty()) {
        description.append(", volume ").append(quoted(volume));
    }
    description.append(", ").append(sizeText(size));
    found.description = std::move(description);
    found.fields = {textField("volume_id", formats::safeText(volume)),
                    textField("system_id", formats::safeText(trimmedName(pvd.view(8, 32)))),
                    numberField("block_size", *blockSize), numberField("blocks", *blocks)};
    return found;
}

}  // namespace

std::span<const Signature> fileSystemSignatures() {
    static constexpr Signature kRows[] = {
        {"squashfs", "hsqs", 0, Interior::kSkipped, validateSquashfs},
        {"squashfs", "sqsh", 0, Interior::kSkipped, validateSquashfs},
        {"cramfs", "\x45\x3d\xcd\x28", 0, Interior::kSkipped, validateCramfs<ByteOrder::kLittle>},
        {"cramfs", "\x28\xcd\x3d\x45", 0, Interior::kSkipped, validateCramfs<ByteOrder::kBig>},
        {"jffs2", "\x85\x19", 0, Interior::kSkipped, validateJffs2<ByteOrder::kLittle>},
        {"jffs2", "\x19\x85", 0, Interior::kSkipped, validateJffs2<ByteOrder::kBig>},
        {"ubi", "UBI#\x01", 0, Interior::kSkipped, validateUbi},
        {"ext", "\x53\xef", 0x438, Interior::kSkipped, validateExt},
        {"fat", "FAT12   ", 0x36, Interior::kSkipped, validateFat<12>},
        {"fat", "FAT16   ", 0x36, Interior::kSkipped, validateFat<16>},
        {"fat", "FAT32   ", 0x52, Interior::kSkipped, validateFat<32>},
        {"iso9660", "CD001\x01", 0x8001, Interior::kSkipped, validateIso9660},
    };
    return kRows;
}

}  // namespace tessaloom::scan
