// Firmware containers and partition tables: U-Boot images, flattened device trees (and FIT images
// built on them), Android boot images, MBR and GPT partition tables.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <vector>

#include "../byte_order.h"
#include "signature.h"

namespace tessaloom::scan {

namespace {

using formats::NamedValue;
using formats::nameOf;

std::uint32_t big32(ByteView bytes, std::size_t at) {
    return static_cast<std::uint32_t>(readBigEndian(bytes.subspan(at, 4)));
}
std::uint32_t little32(ByteView bytes, std::size_t at) {
    return static_cast<std::uint32_t>(readLittleEndian(bytes.subspan(at, 4)));
}
std::uint64_t little64(ByteView bytes, std::size_t at) {
    return readLittleEndian(bytes.subspan(at, 8));
}

// The bytes up to the first NUL.
ByteView untilNul(ByteView bytes) {
    return bytes.first(
        static_cast<std::size_t>(std::ranges::find(bytes, std::uint8_t{0}) - bytes.begin()));
}

std::string nameOr(std::span<const NamedValue> table, std::uint64_t value, std::string_view what) {
    const std::string_view name = nameOf(table, value);
    return name.empty() ? std::string(what).append(" ").append(formats::hex(value))
                        : std::string(name);
}

// A size found in the headers, exact where all of it lies in the input.
void setSize(Object& found, Bytes& object, std::uint64_t size) {
    found.size = size;
    found.exact = size <= object.size();
}

// ---- U-Boot legacy image --------------------------------------------------------------------

constexpr std::size_t kUimageHeader = 64;

constexpr NamedValue kUimageOs[] = {
    {1, "OpenBSD"},
    {2, "NetBSD"},
    {3, "FreeBSD"},
    {4, "4.4BSD"},
    {5, "Linux"},
    {6, "SVR4"},
    {7, "Esix"},
    {8, "Solaris"},
    {9, "Irix"},
    {10, "SCO"},
    {11, "Dell"},
    {12, "NCR"},
    {13, "LynxOS"},
    {14, "VxWorks"},
    {15, "pSOS"},
    {16, "QNX"},
    {17, "U-Boot"},
    {18, "RTEMS"},
    {19, "ARTOS"},
    {20, "Unity OS"},
    {21, "INTEGRITY"},
    {22, "OSE"},
    {23, "Plan 9"},
    {24, "OpenRTOS"},
    {25, "ARM Trusted Firmware"},
    {26, "TEE"},
    {27, "OpenSBI"},
    {28, "EFI"},
    {29, "ELF"},
};

constexpr NamedValue kUimageArch[] = {
    {1, "Alpha"},     {2, "ARM"},      {3, "x86"},      {4, "IA-64"},       {5, "MIPS"},
    {6, "MIPS64"},    {7, "PowerPC"},  {8, "S390"},     {9, "SuperH"},      {10, "SPARC"},
    {11, "SPARC64"},  {12, "M68K"},    {13, "Nios-32"}, {14, "MicroBlaze"}, {15, "Nios-II"},
    {16, "Blackfin"}, {17, "AVR32"},   {18, "ST200"},   {19, "Sandbox"},    {20, "NDS32"},
    {21, "OpenRISC"}, {22, "AArch64"}, {23, "ARC"},     {24, "x86-64"},     {25, "Xtensa"},
    {26, "RISC-V"},
};

constexpr NamedValue kUimageTypes[] = {
    {1, "standalone program"}, {2, "kernel"},    {3, "ramdisk"},    {4, "multi-file image"},
    {5, "firmware"},           {6, "script"},    {7, "filesystem"}, {8, "device tree"},
    {14, "kernel (no load)"},  {22, "loadable"}, {31, "TEE"},
};

constexpr NamedValue kUimageCompressions[] = {
    {0, "not compressed"}, {1, "gzip"}, {2, "bzip2"}, {3, "lzma"}, {4, "lzo"}, {5, "lz4"},
    {6, "zstd"},
};

std::optional<Object> validateUimage(Bytes& object) {
    std::array<std::uint8_t, kUimageHeader> header{};
    if (!object.read(0, header)) {
        return std::nullopt;
    }
    const std::uint32_t storedCrc = big32(header, 4);
    std::array<std::uint8_t, kUimageHeader> zeroed = header;
    std::fill_n(zeroed.begin() + 4, 4, std::uint8_t{0});
    if (formats::crc32Of(zeroed) != storedCrc) {
        return std::nullopt;
    }
    const std::uint32_t dataSize = big32(header, 12);
    const std::uint32_t dataCrc = big32(header, 24);
    const std::uint8_t os = header[28];
    const std::uint8_t arch = header[29];
    const std::uint8_t type = header[30];
    const std::uint8_t compression = header[31];
    const ByteView name = untilNul(ByteView(header).subspan(32, 32));

    Object found;
    setSize(found, object, kUimageHeader + std::uint64_t{dataSize});
    found.description = "uImage " + quoted(name) + ", " + nameOr(kUimageArch, arch, "arch") + " " +
                        nameOr(kUimageTypes, type, "type") + ", " +
                        nameOr(kUimageCompressions, compression, "compression");
    if (found.exact) {
        // The data's CRC costs a read of all of it, which only a header whose own CRC holds asks.
        const std::optional<std::uint32_t> crc = formats::crc32Of(object, kUimageHeader, dataSize);
        if (crc && *crc != dataCrc) {
            found.exact = false;
            found.description += ", data CRC mismatch";
        }
    } else {
        found.description += ", truncated";
    }
    found.fields = {
        numberField("data_size", dataSize),           hexField("load_address", big32(header, 16)),
        hexField("entry_point", big32(header, 20)),   numberField("time", big32(header, 8)),
        textField("os", nameOr(kUimageOs, os, "os")), hexField("data_crc", dataCrc)};
    return found;
}

// ---- Flattened device tree ------------------------------------------------------------------

constexpr std::uint32_t kBeginNode = 1;
constexpr std::uint32_t kEndNode = 2;
constexpr std::uint32_t kProperty = 3;
constexpr std::uint32_t kNop = 4;
constexpr std::uint32_t kEnd = 9;
// The structure block is walked this far: enough for the root's properties and the names of its
// children, with the large data of a FIT image's nodes skipped by their lengths.
constexpr int kTreeTokens = 4096;
constexpr std::size_t kMaxNodeName = 256;
constexpr std::uint64_t kMaxShownProperty = 256;

std::uint64_t align4(std::uint64_t value) {
    return (value + 3) & ~std::uint64_t{3};
}

// The bytes at offset up to their NUL, which must come within max bytes and before end.
std::optional<ByteBuffer> rawString(Bytes& bytes, std::uint64_t offset, std::uint64_t end,
                                    std::size_t max) {
    if (offset >= end) {
        return std::nullopt;
    }
    ByteBuffer text(static_cast<std::size_t>(std::min<std::uint64_t>(max, end - offset)));
    const std::uint64_t available = bytes.size() > offset ? bytes.size() - offset : 0;
    text.resize(static_cast<std::size_t>(std::min<std::uint64_t>(text.size(), available)));
    if (text.empty() || !bytes.read(offset, text)) {
        return std::nullopt;
    }
    const auto nul = std::ranges::find(text, std::uint8_t{0});
    if (nul == text.end()) {
        return std::nullopt;
    }
    text.erase(nul, text.end());
    return text;
}

bool equals(const ByteBuffer& bytes, std::string_view text) {
    return std::ranges::equal(bytes, text, {}, {},
                              [](char c) { return static_cast<std::uint8_t>(c); });
}

struct TreeWalk {
    bool valid = false;
    bool fit = false;
    std::optional<ByteBuffer> description;
    std::optional<ByteBuffer> model;
};

// Walks the first tokens of the structure block: the first token is the root node, every token
// is a known one, and property values lie inside the block.
TreeWalk walkTree(Bytes& object, std::uint64_t structStart, std::uint64_t structEnd,
                  std::uint64_t stringsStart, std::uint64_t stringsEnd) {
    TreeWalk walk;
    std::uint64_t at = structStart;
    int depth = 0;
    bool started = false;
    for (int tokens = 0; tokens < kTreeTokens; ++tokens) {
        if (at + 4 > structEnd) {
            return walk;
        }
        const std::optional<std::uint64_t> token = object.number(at, 4, ByteOrder::kBig);
        if (!token) {
            // The blob runs past the input: what was walked holds.
            walk.valid = started;
            return walk;
        }
        at += 4;
        if (*token == kNop) {
            continue;
        }
        if (!started && *token != kBeginNode) {
            return walk;
        }
        switch (*token) {
            case kBeginNode: {
                const std::optional<ByteBuffer> name =
                    rawString(object, at, structEnd, kMaxNodeName);
                if (!name || (!started && !name->empty())) {
                    walk.valid = started && !object.holds(at, 1);
                    return walk;
                }
                started = true;
                ++depth;
                if (depth == 2 && equals(*name, "images")) {
                    walk.fit = true;
                }
                at += align4(name->size() + 1);
                break;
            }
            case kEndNode:
                if (--depth < 0) {
                    return walk;
                }
                break;
            case kProperty: {
                const std::optional<std::uint64_t> length = object.number(at, 4, ByteOrder::kBig);
                const std::optional<std::uint64_t> nameOffset =
                    object.number(at + 4, 4, ByteOrder::kBig);
                if (!length || !nameOffset) {
                    walk.valid = true;
                    return walk;
                }
                const std::uint64_t value = at + 8;
                if (depth <= 0 || value + *length > structEnd ||
                    stringsStart + *nameOffset >= stringsEnd) {
                    return walk;
                }
                if (depth == 1 && *length <= kMaxShownProperty) {
                    const std::optional<ByteBuffer> name =
                        rawString(object, stringsStart + *nameOffset, stringsEnd, 64);
                    if (name && (equals(*name, "description") || equals(*name, "model"))) {
                        ByteBuffer text(static_cast<std::size_t>(*length));
                        if (object.read(value, text)) {
                            (equals(*name, "model") ? walk.model : walk.description) =
                                ByteBuffer(text.begin(), std::ranges::find(text, std::uint8_t{0}));
                        }
                    }
                }
                at = value + align4(*length);
                break;
            }
            case kEnd:
                walk.valid = depth == 0;
                return walk;
            default:
                return walk;
        }
        if (started && depth == 0) {
            // The root node closed: only FDT_END (or NOPs) may follow.
            walk.valid = true;
            return walk;
        }
    }
    walk.valid = started;
    return walk;
}

std::optional<Object> validateFdt(Bytes& object) {
    std::array<std::uint8_t, 40> header{};
    if (!object.read(0, header)) {
        return std::nullopt;
    }
    const std::uint32_t totalSize = big32(header, 4);
    const std::uint32_t offStruct = big32(header, 8);
    const std::uint32_t offStrings = big32(header, 12);
    const std::uint32_t offReserved = big32(header, 16);
    const std::uint32_t version = big32(header, 20);
    const std::uint32_t lastCompatible = big32(header, 24);
    const std::uint32_t stringsSize = big32(header, 32);
    const std::uint32_t structSize = big32(header, 36);
    if (version < 16 || version > 17 || lastCompatible > 16 || lastCompatible == 0) {
        return std::nullopt;
    }
    const std::uint64_t headerSize = version >= 17 ? 40 : 36;
    const std::uint64_t total = totalSize;
    if (total < headerSize + 16 + 16 || offReserved % 8 != 0 || offReserved < headerSize ||
        offReserved + std::uint64_t{16} > total || offStruct % 4 != 0 || offStruct < headerSize ||
        offStruct + std::uint64_t{16} > total || offStrings < headerSize || offStrings > total ||
        offStrings + std::uint64_t{stringsSize} > total) {
        return std::nullopt;
    }
    std::uint64_t structEnd = total;
    if (version >= 17) {
        if (structSize < 16 || offStruct + std::uint64_t{structSize} > total) {
            return std::nullopt;
        }
        structEnd = offStruct + std::uint64_t{structSize};
    }
    const TreeWalk walk =
        walkTree(object, offStruct, structEnd, offStrings, offStrings + std::uint64_t{stringsSize});
    if (!walk.valid) {
        return std::nullopt;
    }
    Object found;
    setSize(found, object, total);
    if (walk.fit) {
        found.description = "FIT image";
        if (walk.description) {
            found.description += " " + quoted(*walk.description);
        }
        found.description += ", " + sizeText(total);
    } else {
        found.description =
            "device tree, " + sizeText(total) + ", version " + std::to_string(version);
        if (walk.model) {
            found.description += ", model " + quoted(*walk.model);
        }
    }
    if (!found.exact) {
        found.description += ", truncated";
    }
    found.fields = {numberField("total_size", total),
                    numberField("version", version),
                    numberField("last_compatible_version", lastCompatible),
                    hexField("off_dt_struct", offStruct),
                    hexField("off_dt_strings", offStrings),
                    numberField("boot_cpuid", big32(header, 28))};
    return found;
}

// ---- Android boot image ---------------------------------------------------------------------

// Room for the longest header, that of version 2.
constexpr std::size_t kAndroidHeader = 1660;
constexpr std::uint64_t kAndroidV3Page = 4096;

std::uint64_t pages(std::uint64_t size, std::uint64_t page) {
    return (size + page - 1) / page * page;
}

std::optional<Object> validateAndroidBoot(Bytes& object) {
    ByteBuffer header(kAndroidHeader);
    if (!object.read(0, std::span(header).first(48))) {
        return std::nullopt;
    }
    const std::uint32_t version = little32(header, 40);
    if (version > 4) {
        return std::nullopt;
    }
    // Each version's header ends where its last field does.
    static constexpr std::array<std::size_t, 5> kHeaderLengths{1632, 1648, 1660, 1580, 1584};
    const std::size_t headerLength = kHeaderLengths[version];
    if (!object.read(0, std::span(header).first(headerLength))) {
        return std::nullopt;
    }
    std::uint64_t page = 0;
    std::uint64_t kernel = 0;
    std::uint64_t ramdisk = 0;
    std::uint64_t total = 0;
    ByteView cmdline;
    Object found;
    if (version <= 2) {
        kernel = little32(header, 8);
        ramdisk = little32(header, 16);
        const std::uint64_t second = little32(header, 24);
        page = little32(header, 36);
        if (page < 2048 || page > 65536 || (page & (page - 1)) != 0 || kernel == 0) {
            return std::nullopt;
        }
        total = page + pages(kernel, page) + pages(ramdisk, page) + pages(second, page);
        if (version >= 1) {
            const std::uint32_t headerSize = little32(header, 1644);
            if (headerSize != (version == 1 ? 1648U : 1660U)) {
                return std::nullopt;
            }
            total += pages(little32(header, 1632), page);
            if (version == 2) {
                total += pages(little32(header, 1648), page);
            }
        }
        cmdline = untilNul(ByteView(header).subspan(64, 512));
        const ByteView board = untilNul(ByteView(header).subspan(48, 16));
        if (!board.empty()) {
            found.fields.push_back(textField("board", formats::safeText(board)));
        }
    } else {
        kernel = little32(header, 8);
        ramdisk = little32(header, 12);
        page = kAndroidV3Page;
        const std::uint32_t headerSize = little32(header, 20);
        if (headerSize != (version == 3 ? 1580U : 1584U) || (kernel == 0 && ramdisk == 0)) {
            return std::nullopt;
        }
        total = page + pages(kernel, page) + pages(ramdisk, page);
        if (version == 4) {
            total += pages(little32(header, 1580), page);
        }
        cmdline = untilNul(ByteView(header).subspan(44, 1536));
    }
    setSize(found, object, total);
    found.description = "Android boot image v" + std::to_string(version) + ", kernel " +
                        sizeText(kernel) + ", ramdisk " + sizeText(ramdisk);
    if (!cmdline.empty()) {
        found.description += ", cmdline " + quoted(cmdline);
    }
    if (!found.exact) {
        found.description += ", truncated";
    }
    found.fields.insert(found.fields.begin(),
                        {numberField("header_version", version), numberField("page_size", page),
                         numberField("kernel_size", kernel), numberField("ramdisk_size", ramdisk)});
    return found;
}

// ---- Partition tables -----------------------------------------------------------------------

constexpr std::uint64_t kSector = 512;
constexpr std::uint8_t kProtectiveType = 0xEE;

constexpr NamedValue kMbrTypes[] = {
    {0x01, "FAT12"},
    {0x04, "FAT16 <32M"},
    {0x05, "Extended"},
    {0x06, "FAT16"},
    {0x07, "NTFS/exFAT"},
    {0x0B, "FAT32"},
    {0x0C, "FAT32 LBA"},
    {0x0E, "FAT16 LBA"},
    {0x0F, "Extended LBA"},
    {0x11, "Hidden FAT12"},
    {0x14, "Hidden FAT16 <32M"},
    {0x16, "Hidden FAT16"},
    {0x17, "Hidden NTFS"},
    {0x1B, "Hidden FAT32"},
    {0x1C, "Hidden FAT32 LBA"},
    {0x1E, "Hidden FAT16 LBA"},
    {0x27, "Windows RE"},
    {0x42, "Windows dynamic"},
    {0x82, "Linux swap"},
    {0x83, "Linux"},
    {0x85, "Linux extended"},
    {0x8E, "Linux LVM"},
    {0xA5, "FreeBSD"},
    {0xA6, "OpenBSD"},
    {0xA8, "Darwin UFS"},
    {0xA9, "NetBSD"},
    {0xAB, "Darwin boot"},
    {0xAF, "HFS+"},
    {0xBF, "Solaris"},
    {0xDA, "Non-FS data"},
    {0xEE, "GPT protective"},
    {0xEF, "EFI System"},
    {0xFB, "VMware VMFS"},
    {0xFC, "VMware swap"},
    {0xFD, "Linux RAID"},
};

std::string partitionText(std::uint64_t start, std::uint64_t length) {
    return "at " + formats::hex(start) + " (" + sizeText(length) + ")";
}

// Where a list of partitions in a description stops.
constexpr std::size_t kShownPartitions = 8;

template <std::uint64_t kSectorSize>
std::optional<Object> validateGpt(Bytes& object);

// A cylinder/head/sector address: left zero by some tools, else its sector counts from 1.
bool plausibleChs(ByteView chs) {
    return (chs[0] == 0 && chs[1] == 0 && chs[2] == 0) || (chs[1] & 0x3F) != 0;
}

std::optional<Object> validateMbr(Bytes& object) {
    std::array<std::uint8_t, 64> table{};
    if (!object.read(446, table)) {
        return std::nullopt;
    }
    struct Entry {
        std::uint8_t type;
        std::uint64_t first;
        std::uint64_t count;
    };
    std::vector<Entry> used;
    bool protective = false;
    int active = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const ByteView entry = ByteView(table).subspan(i * 16, 16);
        if (entry[0] != 0x00 && entry[0] != 0x80) {
            return std::nullopt;
        }
        // One partition at most is the one booted.
        if (entry[0] == 0x80 && ++active > 1) {
            return std::nullopt;
        }
        const std::uint8_t type = entry[4];
        if (type == 0) {
            // An unused entry is all zeros.
            if (std::ranges::any_of(entry, [](std::uint8_t b) { return b != 0; })) {
                return std::nullopt;
            }
            continue;
        }
        const Entry e{type, little32(entry, 8), little32(entry, 12)};
        if (e.first == 0 || e.count == 0 || !plausibleChs(entry.subspan(1, 3)) ||
            !plausibleChs(entry.subspan(5, 3))) {
            return std::nullopt;
        }
        protective = protective || type == kProtectiveType;
        used.push_back(e);
    }
    if (used.empty()) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < used.size(); ++i) {
        for (std::size_t j = i + 1; j < used.size(); ++j) {
            if (used[i].first < used[j].first + used[j].count &&
                used[j].first < used[i].first + used[i].count) {
                return std::nullopt;
            }
        }
    }
    // A FAT, NTFS or exFAT boot sector ends in the same two bytes; its file system is reported
    // as one.
    if (object.matches(0x36, "FAT") || object.matches(0x52, "FAT32") ||
        object.matches(3, "NTFS    ") || object.matches(3, "EXFAT   ")) {
        return std::nullopt;
    }
    // The protective MBR in front of a GPT belongs to that table's hit.
    if (protective && (validateGpt<kSector>(object) || validateGpt<4096>(object))) {
        return std::nullopt;
    }
    Object found;
    found.size = kSector;
    found.exact = true;
    found.description = "MBR, " + std::to_string(used.size()) +
                        (used.size() == 1 ? " partition: " : " partitions: ");
    for (std::size_t i = 0; i < used.size(); ++i) {
        const Entry& e = used[i];
        found.description.append(i == 0 ? "" : ", ").append(formats::upperHex(e.type));
        const std::string_view name = nameOf(kMbrTypes, e.type);
        if (!name.empty()) {
            found.description.append(" ").append(name);
        }
        found.description.append(" ").append(partitionText(e.first * kSector, e.count * kSector));
    }
    const auto last = std::ranges::max(used, {}, [](const Entry& e) { return e.first + e.count; });
    std::array<std::uint8_t, 4> signature{};
    const bool hasSignature = object.read(440, signature);
    found.fields = {numberField("partitions", used.size()),
                    numberField("disk_size", (last.first + last.count) * kSector),
                    hexField("disk_signature", hasSignature ? little32(signature, 0) : 0)};
    return found;
}

// The name of a GPT partition, UTF-16LE, with what is not printable ASCII as '?'.
ByteBuffer gptName(ByteView utf16) {
    ByteBuffer name;
    for (std::size_t i = 0; i + 1 < utf16.size(); i += 2) {
        const unsigned unit = utf16[i] | static_cast<unsigned>(utf16[i + 1]) << 8;
        if (unit == 0) {
            break;
        }
        name.push_back(unit >= 0x20 && unit < 0x7F ? static_cast<std::uint8_t>(unit)
                                                   : std::uint8_t{'?'});
    }
    return name;
}

constexpr std::uint64_t kMaxGptEntries = 16384;
constexpr std::uint64_t kMaxGptArray = std::uint64_t{4} << 20;

template <std::uint64_t kSectorSize>
std::optional<Object> validateGpt(Bytes& object) {
    std::array<std::uint8_t, 92> header{};
    if (!object.read(kSectorSize, header)) {
        return std::nullopt;
    }
    const std::uint32_t revision = little32(header, 8);
    const std::uint32_t headerSize = little32(header, 12);
    const std::uint32_t storedCrc = little32(header, 16);
    if (revision != 0x00010000 || headerSize < 92 || headerSize > kSectorSize ||
        little32(header, 20) != 0 || little64(header, 24) != 1) {
        return std::nullopt;
    }
    // The protective MBR in front of it.
    if (!object.matches(510, "\x55\xAA")) {
        return std::nullopt;
    }
    ByteBuffer full(headerSize);
    if (!object.read(kSectorSize, full)) {
        return std::nullopt;
    }
    std::fill_n(full.begin() + 16, 4, std::uint8_t{0});
    if (formats::crc32Of(full) != storedCrc) {
        return std::nullopt;
    }
    const std::uint64_t backup = little64(header, 32);
    const std::uint64_t firstUsable = little64(header, 40);
    const std::uint64_t lastUsable = little64(header, 48);
    const std::uint64_t entriesLba = little64(header, 72);
    const std::uint32_t entryCount = little32(header, 80);
    const std::uint32_t entrySize = little32(header, 84);
    const std::uint32_t entriesCrc = little32(header, 88);
    const std::uint64_t arraySize = std::uint64_t{entryCount} * entrySize;
    if (entrySize < 128 || entrySize % 8 != 0 || entryCount == 0 || entryCount > kMaxGptEntries ||
        arraySize > kMaxGptArray || entriesLba < 2 || firstUsable > lastUsable ||
        entriesLba >= firstUsable || lastUsable >= (std::uint64_t{1} << 48) ||
        entriesLba > (std::uint64_t{1} << 48)) {
        return std::nullopt;
    }
    const std::uint64_t arrayStart = entriesLba * kSectorSize;
    const std::optional<std::uint32_t> crc = formats::crc32Of(object, arrayStart, arraySize);
    if (!crc || *crc != entriesCrc) {
        return std::nullopt;
    }
    Object found;
    std::string list;
    std::uint64_t partitions = 0;
    ByteBuffer entry(entrySize);
    for (std::uint64_t i = 0; i < entryCount; ++i) {
        if (!object.read(arrayStart + i * entrySize, entry)) {
            return std::nullopt;
        }
        if (std::all_of(entry.begin(), entry.begin() + 16, [](std::uint8_t b) { return b == 0; })) {
            continue;
        }
        const std::uint64_t first = little64(entry, 32);
        const std::uint64_t last = little64(entry, 40);
        if (last < first) {
            return std::nullopt;
        }
        if (++partitions <= kShownPartitions) {
            list += (partitions == 1 ? ": " : ", ") +
                    quoted(gptName(ByteView(entry).subspan(56, 72))) + " " +
                    partitionText(first * kSectorSize, (last - first + 1) * kSectorSize);
        } else if (partitions == kShownPartitions + 1) {
            list += ", ...";
        }
    }
    // The disk ends with its backup header; a table that does not say where, with the backup
    // array behind the last usable block.
    const std::uint64_t diskBlocks = backup > lastUsable ? backup + 1 : lastUsable + 34;
    setSize(found, object, diskBlocks * kSectorSize);
    found.description = "GPT, " + std::to_string(partitions) +
                        (partitions == 1 ? " partition" : " partitions") + list;
    if (kSectorSize != kSector) {
        found.description += ", " + std::to_string(kSectorSize) + "-byte sectors";
    }
    if (!found.exact) {
        found.description += ", disk " + sizeText(diskBlocks * kSectorSize) + " truncated";
    }
    found.fields = {
        numberField("partitions", partitions),      numberField("sector_size", kSectorSize),
        numberField("entries", entryCount),         numberField("first_usable_lba", firstUsable),
        numberField("last_usable_lba", lastUsable), numberField("backup_lba", backup)};
    return found;
}

}  // namespace

std::span<const Signature> firmwareSignatures() {
    static constexpr Signature kRows[] = {
        {"uimage", std::string_view("\x27\x05\x19\x56", 4), 0, Interior::kScanned, validateUimage},
        {"fdt", std::string_view("\xD0\x0D\xFE\xED", 4), 0, Interior::kScanned, validateFdt},
        {"android-boot", "ANDROID!", 0, Interior::kScanned, validateAndroidBoot},
        {"mbr", "\x55\xAA", 510, Interior::kScanned, validateMbr},
        {"gpt", "EFI PART", 512, Interior::kScanned, validateGpt<512>},
        {"gpt", "EFI PART", 4096, Interior::kScanned, validateGpt<4096>},
    };
    return kRows;
}

}  // namespace tessaloom::scan
