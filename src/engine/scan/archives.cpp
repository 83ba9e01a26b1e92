// Archives in a scan: zip, 7z, tar, cpio and ar. Each is measured by walking its own chain of
// headers (a zip's local headers and central directory, a tar's 512-byte blocks, a cpio's entries
// up to its trailer, an ar's members), bounded by the input and by a count of entries.
#include <algorithm>
#include <array>
#include <string>

#include "../byte_order.h"
#include "signature.h"

namespace tessaloom::scan {

namespace {

constexpr ByteOrder kLittle = ByteOrder::kLittle;

// A walk over an archive's headers gives up after this many: a chain of tiny hostile headers
// cannot make one candidate cost more than this many reads.
constexpr std::uint64_t kMaxEntries = std::uint64_t{1} << 20;

// The text of the first name in a description: at most one byte more than quoted() shows, so
// that it still marks a longer name as cut.
constexpr std::uint64_t kShownName = 49;

std::string quotedAt(Bytes& bytes, std::uint64_t offset, std::uint64_t length) {
    ByteBuffer text(static_cast<std::size_t>(std::min(length, kShownName)));
    if (!bytes.read(offset, text)) {
        return "\"\"";
    }
    return quoted(text);
}

// Whether length bytes at offset are all zero (and there).
bool zeroesAt(Bytes& bytes, std::uint64_t offset, std::uint64_t length) {
    std::array<std::uint8_t, 512> piece{};
    while (length > 0) {
        const std::size_t part =
            static_cast<std::size_t>(std::min<std::uint64_t>(length, piece.size()));
        const std::span<std::uint8_t> into = std::span(piece).first(part);
        if (!bytes.read(offset, into) ||
            std::ranges::any_of(into, [](std::uint8_t b) { return b != 0; })) {
            return false;
        }
        offset += part;
        length -= part;
    }
    return true;
}

constexpr std::uint64_t roundUp(std::uint64_t value, std::uint64_t to) {
    return value + (to - value % to) % to;
}

// a + b, or nothing where the sum of numbers from the input would wrap.
std::optional<std::uint64_t> add(std::uint64_t a, std::uint64_t b) {
    if (b > UINT64_MAX - a) {
        return std::nullopt;
    }
    return a + b;
}

std::string plural(std::uint64_t count, std::string_view one, std::string_view many) {
    return std::to_string(count).append(" ").append(count == 1 ? one : many);
}

// ---------------------------------------------------------------------------------------------
// zip

constexpr std::string_view kZipLocal = "PK\x03\x04";
constexpr std::string_view kZipCentral = "PK\x01\x02";
constexpr std::string_view kZipEnd = "PK\x05\x06";
constexpr std::string_view kZip64End = "PK\x06\x06";
constexpr std::string_view kZip64Locator = "PK\x06\x07";
constexpr std::string_view kZipDescriptor = "PK\x07\x08";
constexpr std::string_view kZipSignature = "PK\x05\x05";
constexpr std::uint64_t kZipLocalSize = 30;
constexpr std::uint64_t kZipCentralSize = 46;
constexpr std::uint64_t kZipEndSize = 22;
constexpr std::uint64_t kZip64LocatorSize = 20;
constexpr std::uint64_t kInZip64 = 0xFFFFFFFF;
constexpr std::uint64_t kDataDescriptorFlag = 0x8;
// How far past an entry whose sizes only its data descriptor holds the central directory is
// looked for.
constexpr std::uint64_t kZipSearchLimit = std::uint64_t{64} << 20;

constexpr bool knownZipMethod(std::uint64_t method) {
    constexpr std::array<std::uint16_t, 22> kMethods{0,  1,  2,  3,  4,  5,  6,  8,  9,  10, 12,
                                                     14, 16, 18, 19, 20, 93, 94, 95, 96, 97, 98};
    return method == 99 || std::ranges::find(kMethods, method) != kMethods.end();
}

// Whether an MS-DOS time and date could have been written by an archiver; zero counts as unset.
constexpr bool plausibleDosTime(std::uint64_t time, std::uint64_t date) {
    const bool timeOk = (time >> 11) < 24 && ((time >> 5) & 0x3F) < 60 && (time & 0x1F) < 30;
    const std::uint64_t month = (date >> 5) & 0xF;
    const std::uint64_t day = date & 0x1F;
    return timeOk && (date == 0 || (month >= 1 && month <= 12 && day >= 1));
}

// The fields of a local or central header as the walk needs them.
struct ZipHeader {
    std::uint64_t flags = 0;
    std::uint64_t compressed = 0;
    std::uint64_t uncompressed = 0;
    std::uint64_t localOffset = 0;
    std::uint64_t nameOffset = 0;
    std::uint64_t nameLength = 0;
    std::uint64_t next = 0;  // the offset just past the header (and, for a local one, its data)
    bool zip64 = false;
};

// Replaces those of the values that read 0xFFFFFFFF by the ZIP64 extended information in the
// extra field at offset, in the order the values are given.
void readZip64Extra(Bytes& bytes, std::uint64_t offset, std::uint64_t length,
                    std::initializer_list<std::uint64_t*> values, bool& found) {
    const std::uint64_t end = offset + length;
    for (std::uint64_t at = offset; at + 4 <= end;) {
        const std::uint64_t id = bytes.number(at, 2, kLittle).value_or(0);
        const std::uint64_t size = bytes.number(at + 2, 2, kLittle).value_or(0);
        if (id == 0x0001) {
            std::uint64_t field = at + 4;
            for (std::uint64_t* value : values) {
                if (*value != kInZip64 || field + 8 > at + 4 + size) {
                    continue;
                }
                *value = bytes.number(field, 8, kLittle).value_or(*value);
                field += 8;
                found = true;
            }
            return;
        }
        at += 4 + size;
    }
}

// The local header at offset with its data, when its fields are those of one.
std::optional<ZipHeader> zipLocalHeader(Bytes& bytes, std::uint64_t offset) {
    std::array<std::uint8_t, kZipLocalSize> h{};
    if (!bytes.read(offset, h)) {
        return std::nullopt;
    }
    const auto field = [&h](std::size_t at, std::size_t width) {
        return readLittleEndian(ByteView(h).subspan(at, width));
    };
    const std::uint64_t version = field(4, 2);
    if ((version & 0xFF) > 100 || (version >> 8) > 20 || !knownZipMethod(field(8, 2)) ||
        !plausibleDosTime(field(10, 2), field(12, 2))) {
        return std::nullopt;
    }
    ZipHeader header;
    header.flags = field(6, 2);
    header.compressed = field(18, 4);
    header.uncompressed = field(22, 4);
    header.nameOffset = offset + kZipLocalSize;
    header.nameLength = field(26, 2);
    const std::uint64_t extraLength = field(28, 2);
    const std::uint64_t data = header.nameOffset + header.nameLength + extraLength;
    if (header.nameLength == 0 || !bytes.holds(0, data)) {
        return std::nullopt;
    }
    readZip64Extra(bytes, header.nameOffset + header.nameLength, extraLength,
                   {&header.uncompressed, &header.compressed}, header.zip64);
    const std::optional<std::uint64_t> next = add(data, header.compressed);
    if (!next) {
        return std::nullopt;
    }
    header.next = *next;
    return header;
}

// What a walk of the central directory and the end records found.
struct ZipEnd {
    std::uint64_t end = 0;
    std::uint64_t entries = 0;
    std::uint64_t compressed = 0;
    std::uint64_t uncompressed = 0;
    std::uint64_t directoryOffset = 0;  // as the end record gives it
    std::uint64_t commentLength = 0;
};

// Walks the central directory at directory to its end record, and returns what they say where
// they agree with each other and with the local headers starting at offset 0: the entry count
// and the directory's size and offset. The offsets may be relative to the archive or to a file
// that holds it behind a stub, such as a self-extractor: either way the first entry lies at 0.
std::optional<ZipEnd> zipEnd(Bytes& bytes, std::uint64_t directory) {
    ZipEnd found;
    std::uint64_t at = directory;
    std::uint64_t firstLocal = UINT64_MAX;
    std::array<std::uint8_t, kZipCentralSize> h{};
    while (found.entries < kMaxEntries && bytes.read(at, h) &&
           std::ranges::equal(ByteView(h).first(4), kZipCentral, {}, {},
                              [](char c) { return static_cast<std::uint8_t>(c); })) {
        const auto field = [&h](std::size_t offset, std::size_t width) {
            return readLittleEndian(ByteView(h).subspan(offset, width));
        };
        std::uint64_t compressed = field(20, 4);
        std::uint64_t uncompressed = field(24, 4);
        std::uint64_t local = field(42, 4);
        const std::uint64_t nameLength = field(28, 2);
        const std::uint64_t extraLength = field(30, 2);
        bool zip64 = false;
        readZip64Extra(bytes, at + kZipCentralSize + nameLength, extraLength,
                       {&uncompressed, &compressed, &local}, zip64);
        firstLocal = std::min(firstLocal, local);
        found.compressed += std::min(compressed, UINT64_MAX - found.compressed);
        found.uncompressed += std::min(uncompressed, UINT64_MAX - found.uncompressed);
        ++found.entries;
        at += kZipCentralSize + nameLength + extraLength + field(32, 2);
    }
    const std::uint64_t directoryEnd = at;
    if (bytes.matches(at, kZipSignature)) {
        at += 6 + bytes.number(at + 4, 2, kLittle).value_or(0);
    }
    std::optional<std::array<std::uint64_t, 3>> zip64;  // entries, directory size and offset
    if (bytes.matches(at, kZip64End)) {
        const std::optional<std::uint64_t> recordSize = bytes.number(at + 4, 8, kLittle);
        const std::optional<std::uint64_t> entries = bytes.number(at + 32, 8, kLittle);
        const std::optional<std::uint64_t> size = bytes.number(at + 40, 8, kLittle);
        const std::optional<std::uint64_t> offset = bytes.number(at + 48, 8, kLittle);
        if (!recordSize || !entries || !size || !offset || *recordSize > bytes.size()) {
            return std::nullopt;
        }
        zip64 = {*entries, *size, *offset};
        at += 12 + *recordSize;
    }
    if (bytes.matches(at, kZip64Locator)) {
        at += kZip64LocatorSize;
    }
    std::array<std::uint8_t, kZipEndSize> e{};
    if (!bytes.read(at, e) || !bytes.matches(at, kZipEnd)) {
        return std::nullopt;
    }
    const auto field = [&e](std::size_t offset, std::size_t width) {
        return readLittleEndian(ByteView(e).subspan(offset, width));
    };
    std::uint64_t onDisk = field(8, 2);
    std::uint64_t total = field(10, 2);
    std::uint64_t size = field(12, 4);
    std::uint64_t offset = field(16, 4);
    if (zip64) {
        onDisk = onDisk == 0xFFFF ? (*zip64)[0] : onDisk;
        total = total == 0xFFFF ? (*zip64)[0] : total;
        size = size == kInZip64 ? (*zip64)[1] : size;
        offset = offset == kInZip64 ? (*zip64)[2] : offset;
    }
    // Old archivers without ZIP64 keep only the low 16 bits of a larger count.
    const bool countAgrees =
        total == found.entries || (found.entries > 0xFFFF && total == (found.entries & 0xFFFF));
    const bool oneDisk =
        (field(4, 2) == 0 || field(4, 2) == 0xFFFF) && (field(6, 2) == 0 || field(6, 2) == 0xFFFF);
    if (found.entries == 0 || !oneDisk || onDisk != total || !countAgrees ||
        size != directoryEnd - directory || offset < directory ||
        (found.entries > 0 && firstLocal != offset - directory)) {
        return std::nullopt;
    }
    found.directoryOffset = offset;
    found.commentLength = field(20, 2);
    found.end = at + kZipEndSize + found.commentLength;
    return found;
}

// The offset of the first central directory header or end record at or after from, looking
// through at most limit bytes.
std::optional<std::uint64_t> findZipDirectory(Bytes& bytes, std::uint64_t from,
                                              std::uint64_t limit) {
    constexpr std::size_t kPiece = std::size_t{64} << 10;
    ByteBuffer piece(kPiece + 3);
    const std::uint64_t end = from + std::min(limit, bytes.size() - std::min(from, bytes.size()));
    for (std::uint64_t at = from; at < end; at += kPiece) {
        const auto length = static_cast<std::size_t>(
            std::min<std::uint64_t>(piece.size(), std::min(end + 3, bytes.size()) - at));
        const std::span<std::uint8_t> into = std::span(piece).first(length);
        if (!bytes.read(at, into)) {
            return std::nullopt;
        }
        for (std::size_t i = 0; i + 4 <= length && at + i < end; ++i) {
            if (into[i] == 'P' && into[i + 1] == 'K' &&
                ((into[i + 2] == 1 && into[i + 3] == 2) ||
                 (into[i + 2] == 5 && into[i + 3] == 6))) {
                return at + i;
            }
        }
    }
    return std::nullopt;
}

std::optional<Object> validateZip(Bytes& bytes) {
    const std::optional<ZipHeader> first = zipLocalHeader(bytes, 0);
    if (!first) {
        return std::nullopt;
    }
    // Walks the local headers to the central directory. An entry whose sizes only its data
    // descriptor gives cannot be stepped over: the directory is then looked for after it.
    std::optional<ZipEnd> end;
    std::uint64_t at = 0;
    std::optional<std::uint64_t> searchFrom;
    for (std::uint64_t entries = 0; entries < kMaxEntries; ++entries) {
        if (bytes.matches(at, kZipCentral)) {
            end = zipEnd(bytes, at);
            break;
        }
        const std::optional<ZipHeader> local =
            bytes.matches(at, kZipLocal) ? zipLocalHeader(bytes, at) : std::nullopt;
        if (!local) {
            searchFrom = at;
            break;
        }
        if ((local->flags & kDataDescriptorFlag) != 0 && local->compressed == 0) {
            searchFrom = local->next;
            break;
        }
        at = local->next;
        if ((local->flags & kDataDescriptorFlag) != 0) {
            at += (bytes.matches(at, kZipDescriptor) ? 4U : 0U) + (local->zip64 ? 20U : 12U);
        }
        if (!bytes.holds(0, at)) {
            break;
        }
    }
    // A search may meet a directory inside a stored entry (a zip kept in a zip) before the
    // archive's own: it goes on past any that does not end this archive.
    for (std::uint64_t from = searchFrom.value_or(UINT64_MAX), searched = 0;
         !end && from < bytes.size() && searched < kZipSearchLimit;) {
        const std::optional<std::uint64_t> directory =
            findZipDirectory(bytes, from, kZipSearchLimit - searched);
        if (!directory) {
            break;
        }
        end = zipEnd(bytes, *directory);
        searched += *directory + 1 - from;
        from = *directory + 1;
    }

    Object object;
    const std::string name = quotedAt(bytes, first->nameOffset, first->nameLength);
    object.fields.push_back(textField("first_name", name.substr(1, name.size() - 2)));
    if (!end) {
        // The local headers walked are the archive's at least: as a lower bound of its size they
        // hide the headers after the first, which would each walk the rest of the chain again.
        object.size = searchFrom.value_or(at);
        object.description = "zip, first " + name + ", no end of central directory";
        return object;
    }
    object.size = end->end;
    object.exact = bytes.holds(0, end->end);
    object.description = std::string("zip, ")
                             .append(plural(end->entries, "entry", "entries"))
                             .append(", first ")
                             .append(name)
                             .append(", ")
                             .append(sizeText(end->compressed))
                             .append(" -> ")
                             .append(sizeText(end->uncompressed));
    object.fields.insert(object.fields.begin(), numberField("entries", end->entries));
    object.fields.push_back(numberField("compressed_size", end->compressed));
    object.fields.push_back(numberField("uncompressed_size", end->uncompressed));
    object.fields.push_back(hexField("central_directory_offset", end->directoryOffset));
    return object;
}

// An archive of no entries is its end record alone.
std::optional<Object> validateEmptyZip(Bytes& bytes) {
    std::array<std::uint8_t, kZipEndSize> e{};
    if (!bytes.read(0, e) ||
        std::ranges::any_of(ByteView(e).subspan(4, 16), [](std::uint8_t b) { return b != 0; })) {
        return std::nullopt;
    }
    const std::uint64_t end = kZipEndSize + readLittleEndian(ByteView(e).subspan(20, 2));
    if (!bytes.holds(0, end)) {
        return std::nullopt;
    }
    Object object;
    object.size = end;
    object.exact = true;
    object.description = "zip, empty";
    object.fields.push_back(numberField("entries", 0));
    return object;
}

// ---------------------------------------------------------------------------------------------
// 7z

constexpr std::uint64_t k7zHeaderSize = 32;
// The next header's CRC is checked where it is at most this long.
constexpr std::uint64_t k7zCheckedHeader = std::uint64_t{1} << 20;

std::optional<Object> validate7z(Bytes& bytes) {
    std::array<std::uint8_t, k7zHeaderSize> h{};
    if (!bytes.read(0, h) || h[6] != 0 ||
        formats::crc32Of(ByteView(h).subspan(12, 20)) !=
            readLittleEndian(ByteView(h).subspan(8, 4))) {
        return std::nullopt;
    }
    const std::uint64_t nextOffset = readLittleEndian(ByteView(h).subspan(12, 8));
    const std::uint64_t nextSize = readLittleEndian(ByteView(h).subspan(20, 8));
    const std::uint64_t nextCrc = readLittleEndian(ByteView(h).subspan(28, 4));
    Object object;
    const std::optional<std::uint64_t> nextStart = add(k7zHeaderSize, nextOffset);
    const std::optional<std::uint64_t> end = nextStart ? add(*nextStart, nextSize) : std::nullopt;
    std::string note;
    if (end && bytes.holds(0, *end)) {
        object.size = *end;
        object.exact = true;
        // A header that does not begin as one or fails its CRC leaves the size an estimate.
        const std::uint64_t kind = bytes.number(*nextStart, 1, kLittle).value_or(0);
        if (nextSize > 0 && kind != 0x01 && kind != 0x17) {
            object.exact = false;
            note = ", damaged header";
        } else if (nextSize > 0 && nextSize <= k7zCheckedHeader &&
                   formats::crc32Of(bytes, *nextStart, nextSize) != nextCrc) {
            object.exact = false;
            note = ", header CRC mismatch";
        } else if (kind == 0x17) {
            note = ", compressed header";
        }
    } else {
        object.size = end;
        note = ", truncated";
    }
    object.description = std::string("7z archive ")
                             .append(std::to_string(h[6]))
                             .append(".")
                             .append(std::to_string(h[7]))
                             .append(note);
    if (object.size) {
        object.description.append(", ").append(sizeText(*object.size));
    }
    object.fields.push_back(
        textField("version", std::to_string(h[6]).append(".").append(std::to_string(h[7]))));
    object.fields.push_back(hexField("next_header_offset", nextOffset));
    object.fields.push_back(numberField("next_header_size", nextSize));
    return object;
}

// ---------------------------------------------------------------------------------------------
// tar

constexpr std::uint64_t kTarBlock = 512;
// Archivers write whole records of twenty blocks; the zero blocks that fill the last record
// belong to the archive.
constexpr std::uint64_t kTarRecord = 20 * kTarBlock;
using TarBlock = std::array<std::uint8_t, kTarBlock>;

// An octal field: optional leading spaces, digits, then only NULs and spaces.
std::optional<std::uint64_t> octalField(ByteView field) {
    std::size_t i = 0;
    while (i < field.size() && field[i] == ' ') {
        ++i;
    }
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (; i < field.size() && field[i] >= '0' && field[i] <= '7'; ++i, ++digits) {
        if (value > (UINT64_MAX >> 3)) {
            return std::nullopt;
        }
        value = value << 3 | (field[i] - '0');
    }
    if (digits == 0 ||
        std::ranges::any_of(field.subspan(i), [](std::uint8_t b) { return b != 0 && b != ' '; })) {
        return std::nullopt;
    }
    return value;
}

// A number field: octal, or big-endian binary behind a first byte of 0x80 (a GNU extension
// for sizes beyond eleven octal digits).
std::optional<std::uint64_t> tarNumber(ByteView field) {
    if (field[0] != 0x80) {
        return octalField(field);
    }
    if (std::ranges::any_of(field.subspan(1, field.size() - 9),
                            [](std::uint8_t b) { return b != 0; })) {
        return std::nullopt;
    }
    return readBigEndian(field.last(8));
}

bool tarChecksumOk(const TarBlock& block) {
    const std::optional<std::uint64_t> stored = octalField(ByteView(block).subspan(148, 8));
    if (!stored) {
        return false;
    }
    std::uint64_t sum = 8 * ' ';
    std::int64_t signedSum = 8 * ' ';
    for (std::size_t i = 0; i < block.size(); ++i) {
        if (i < 148 || i >= 156) {
            sum += block[i];
            signedSum += static_cast<std::int8_t>(block[i]);
        }
    }
    return *stored == sum || static_cast<std::int64_t>(*stored) == signedSum;
}

// Whether the data of an entry of type follows its header: links, devices, directories and
// FIFOs have none whatever their size field says.
constexpr bool tarTypeHasData(std::uint8_t type) {
    return type < '1' || type > '6';
}

// Entries that only carry a long name or attributes for the entry behind them.
constexpr bool tarMetaType(std::uint8_t type) {
    return type == 'L' || type == 'K' || type == 'x' || type == 'g';
}

std::string tarName(Bytes& bytes, std::uint64_t offset, const TarBlock& block,
                    std::optional<std::uint64_t> longName) {
    if (longName) {
        ByteBuffer text(static_cast<std::size_t>(std::min(*longName, kShownName)));
        if (!bytes.read(offset - roundUp(*longName, kTarBlock), text)) {
            return "\"\"";
        }
        return quoted(ByteView(text).first(
            static_cast<std::size_t>(std::ranges::find(text, std::uint8_t{0}) - text.begin())));
    }
    const auto cString = [&block](std::size_t at, std::size_t length) {
        const ByteView field = ByteView(block).subspan(at, length);
        return field.first(
            static_cast<std::size_t>(std::ranges::find(field, std::uint8_t{0}) - field.begin()));
    };
    ByteBuffer name;
    const ByteView prefix = cString(345, 155);
    if (block[262] == 0 && !prefix.empty()) {
        name.assign(prefix.begin(), prefix.end());
        name.push_back('/');
    }
    const ByteView base = cString(0, 100);
    name.insert(name.end(), base.begin(), base.end());
    return quoted(name);
}

std::optional<Object> validateTar(Bytes& bytes) {
    TarBlock block{};
    if (!bytes.read(0, block) || !tarChecksumOk(block)) {
        return std::nullopt;
    }
    const bool gnu = block[262] == ' ';
    std::uint64_t at = 0;
    std::uint64_t entries = 0;
    std::string firstName;
    std::optional<std::uint64_t> longName;  // the size of a GNU long name's data just read
    std::optional<std::uint64_t> end;
    bool exact = false;
    for (std::uint64_t headers = 0; headers < kMaxEntries; ++headers) {
        if (!bytes.read(at, block)) {
            end = at;
            break;
        }
        if (std::ranges::all_of(block, [](std::uint8_t b) { return b == 0; })) {
            // The end of the archive is two zero blocks; one alone is accepted by archivers,
            // but leaves the size an estimate.
            end = at + kTarBlock;
            if (zeroesAt(bytes, at + kTarBlock, kTarBlock)) {
                end = at + 2 * kTarBlock;
                exact = true;
                while (*end % kTarRecord != 0 && zeroesAt(bytes, *end, kTarBlock)) {
                    *end += kTarBlock;
                }
            }
            break;
        }
        const std::optional<std::uint64_t> size = tarNumber(ByteView(block).subspan(124, 12));
        if (!tarChecksumOk(block) || !size) {
            end = at;
            break;
        }
        const std::uint8_t type = block[156];
        const std::optional<std::uint64_t> next =
            add(at + kTarBlock,
                tarTypeHasData(type) ? roundUp(std::min(*size, UINT64_MAX - 511), kTarBlock) : 0);
        if (!next || !bytes.holds(0, *next)) {
            end = next.value_or(UINT64_MAX);
            break;
        }
        if (!tarMetaType(type)) {
            if (entries == 0) {
                firstName = tarName(bytes, at, block, longName);
            }
            ++entries;
        }
        longName = type == 'L' ? size : std::nullopt;
        at = *next;
    }
    Object object;
    object.size = end.value_or(at);
    object.exact = exact;
    object.description = std::string("tar, ").append(plural(entries, "entry", "entries"));
    if (entries > 0) {
        object.description.append(", first ").append(firstName);
    }
    if (!exact) {
        object.description.append(", no end of archive");
    }
    object.fields.push_back(textField("variant", gnu ? "gnu" : "ustar"));
    object.fields.push_back(numberField("entries", entries));
    if (entries > 0) {
        object.fields.push_back(textField("first_name", firstName.substr(1, firstName.size() - 2)));
    }
    return object;
}

// ---------------------------------------------------------------------------------------------
// cpio

enum class CpioKind : std::uint8_t { kNewc, kCrc, kOdc, kBinaryLittle, kBinaryBig };

constexpr std::uint64_t kCpioMaxName = 4096;
constexpr std::uint64_t kCpioBlock = 512;
constexpr std::string_view kCpioTrailer = "TRAILER!!!";

struct CpioEntry {
    bool trailer = false;
    ByteBuffer name;  // the first bytes of the name, without its NUL
    std::uint64_t next = 0;
};

std::optional<std::uint64_t> asciiNumber(ByteView field, unsigned base) {
    std::uint64_t value = 0;
    for (const std::uint8_t c : field) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        if (digit >= base) {
            return std::nullopt;
        }
        value = value * base + digit;
    }
    return value;
}

// The entry at offset, when its header and name read as one.
std::optional<CpioEntry> cpioEntry(Bytes& bytes, std::uint64_t offset, CpioKind kind) {
    std::array<std::uint8_t, 110> h{};
    std::uint64_t mode = 0;
    std::uint64_t nameSize = 0;
    std::uint64_t fileSize = 0;
    std::uint64_t headerSize = 0;
    std::uint64_t align = 1;
    const bool binary = kind == CpioKind::kBinaryLittle || kind == CpioKind::kBinaryBig;
    if (kind == CpioKind::kNewc || kind == CpioKind::kCrc) {
        headerSize = 110;
        align = 4;
        if (!bytes.read(offset, h) ||
            !bytes.matches(offset, kind == CpioKind::kNewc ? "070701" : "070702")) {
            return std::nullopt;
        }
        std::array<std::uint64_t, 13> fields{};
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const std::optional<std::uint64_t> value =
                asciiNumber(ByteView(h).subspan(6 + 8 * i, 8), 16);
            if (!value) {
                return std::nullopt;
            }
            fields[i] = *value;
        }
        mode = fields[1];
        fileSize = fields[6];
        nameSize = fields[11];
    } else if (kind == CpioKind::kOdc) {
        headerSize = 76;
        const std::span<std::uint8_t> header = std::span(h).first(76);
        if (!bytes.read(offset, header) || !bytes.matches(offset, "070707") ||
            !asciiNumber(header.subspan(6), 8)) {
            return std::nullopt;
        }
        mode = asciiNumber(header.subspan(18, 6), 8).value_or(0);
        nameSize = asciiNumber(header.subspan(59, 6), 8).value_or(0);
        fileSize = asciiNumber(header.subspan(65, 11), 8).value_or(0);
    } else {
        headerSize = 26;
        align = 2;
        const ByteOrder order = kind == CpioKind::kBinaryLittle ? kLittle : ByteOrder::kBig;
        const auto word = [&](std::uint64_t at) {
            return bytes.number(offset + at, 2, order).value_or(0);
        };
        if (!bytes.holds(offset, headerSize) || word(0) != 070707) {
            return std::nullopt;
        }
        mode = word(6);
        nameSize = word(20);
        fileSize = word(22) << 16 | word(24);
    }
    const std::uint64_t type = mode & 0170000;
    const bool typeOk = type == 0140000 || type == 0120000 || type == 0100000 || type == 060000 ||
                        type == 040000 || type == 020000 || type == 010000;
    if (nameSize < 2 || nameSize > kCpioMaxName) {
        return std::nullopt;
    }
    ByteBuffer name(static_cast<std::size_t>(nameSize));
    if (!bytes.read(offset + headerSize, name) || name.back() != 0 || name.front() == 0) {
        return std::nullopt;
    }
    name.pop_back();
    CpioEntry entry;
    entry.trailer = std::ranges::equal(name, kCpioTrailer, {}, {},
                                       [](char c) { return static_cast<std::uint8_t>(c); });
    // The two-byte magic of the binary flavour is met by chance: its name must read as one.
    if (binary && std::ranges::any_of(name, [](std::uint8_t b) { return b < 0x20 || b == 0x7F; })) {
        return std::nullopt;
    }
    if (!typeOk && !(entry.trailer && mode == 0)) {
        return std::nullopt;
    }
    const std::uint64_t data = roundUp(offset + headerSize + nameSize, align);
    entry.next = roundUp(data + fileSize, align);
    name.resize(std::min<std::size_t>(name.size(), kShownName));
    entry.name = std::move(name);
    return entry;
}

template <CpioKind kind>
std::optional<Object> validateCpio(Bytes& bytes) {
    constexpr bool binary = kind == CpioKind::kBinaryLittle || kind == CpioKind::kBinaryBig;
    std::uint64_t at = 0;
    std::uint64_t entries = 0;
    std::uint64_t headers = 0;
    std::string firstName;
    std::optional<std::uint64_t> end;
    bool exact = false;
    while (headers < kMaxEntries) {
        const std::optional<CpioEntry> entry = cpioEntry(bytes, at, kind);
        if (!entry) {
            break;
        }
        ++headers;
        if (entry->trailer) {
            // Archivers fill the last block of 512 bytes with zeroes.
            end = entry->next;
            const std::uint64_t block = roundUp(*end, kCpioBlock);
            if (block > *end && zeroesAt(bytes, *end, block - *end)) {
                end = block;
            }
            exact = bytes.holds(0, *end);
            break;
        }
        if (entries++ == 0) {
            firstName = quoted(entry->name);
        }
        if (!bytes.holds(0, entry->next)) {
            end = entry->next;
            break;
        }
        at = entry->next;
    }
    if (headers == 0 || (binary && headers < 2)) {
        return std::nullopt;
    }
    static constexpr std::array<std::string_view, 5> kNames{
        "newc", "crc", "odc", "binary little endian", "binary big endian"};
    const std::string_view flavour = kNames[static_cast<std::size_t>(kind)];
    Object object;
    object.size = end.value_or(at);
    object.exact = exact;
    object.description = std::string("cpio ").append(flavour).append(", ").append(
        plural(entries, "entry", "entries"));
    if (entries > 0) {
        object.description.append(", first ").append(firstName);
    }
    if (!end || !exact) {
        object.description.append(", no trailer");
    }
    object.fields.push_back(textField("variant", std::string(flavour)));
    object.fields.push_back(numberField("entries", entries));
    if (entries > 0) {
        object.fields.push_back(textField("first_name", firstName.substr(1, firstName.size() - 2)));
    }
    return object;
}

// ---------------------------------------------------------------------------------------------
// ar

constexpr std::uint64_t kArMagicSize = 8;
constexpr std::uint64_t kArHeaderSize = 60;

// A decimal (or octal) field of digits padded with spaces; blank reads as 0.
bool arNumberField(ByteView field, unsigned base, std::uint64_t* value = nullptr) {
    std::size_t digits = 0;
    while (digits < field.size() && field[digits] >= '0' &&
           static_cast<unsigned>(field[digits] - '0') < base) {
        ++digits;
    }
    if (std::ranges::any_of(field.subspan(digits), [](std::uint8_t b) { return b != ' '; })) {
        return false;
    }
    if (value != nullptr) {
        if (digits == 0) {
            return false;
        }
        *value = asciiNumber(field.first(digits), base).value_or(0);
    }
    return true;
}

// The name of the member whose header's name field is field, quoted; empty for the indexes that
// archivers keep as members (symbol tables, the GNU table of long names).
std::string arMemberName(Bytes& bytes, ByteView field, std::uint64_t data, std::uint64_t size,
                         std::optional<std::pair<std::uint64_t, std::uint64_t>> longNames) {
    std::size_t length = field.size();
    while (length > 0 && field[length - 1] == ' ') {
        --length;
    }
    const std::string_view name(reinterpret_cast<const char*>(field.data()), length);
    if (name == "/" || name == "//" || name == "/SYM64/" || name.starts_with("__.SYMDEF")) {
        return {};
    }
    std::uint64_t number = 0;
    // A BSD long name begins the member's data; a GNU one lies in the table of long names, up to
    // its "/\n".
    const bool bsd = name.starts_with("#1/") && arNumberField(field.subspan(3), 10, &number);
    const bool gnu = !bsd && name.size() > 1 && name[0] == '/' && longNames &&
                     arNumberField(field.subspan(1), 10, &number) && number < longNames->second;
    if (bsd || gnu) {
        const std::uint64_t available = bsd ? std::min(number, size) : longNames->second - number;
        ByteBuffer text(static_cast<std::size_t>(std::min(available, kShownName)));
        if (!bytes.read(bsd ? data : longNames->first + number, text)) {
            return "\"\"";
        }
        auto cut = std::ranges::find(text, static_cast<std::uint8_t>(bsd ? 0 : '\n'));
        if (gnu && cut != text.begin() && cut != text.end() && cut[-1] == '/') {
            --cut;
        }
        text.erase(cut, text.end());
        return quoted(text);
    }
    if (length > 1 && name.back() == '/') {
        --length;  // GNU ends a short name with a slash
    }
    return quoted(field.first(length));
}

std::optional<Object> validateAr(Bytes& bytes) {
    // An archive has no end marker: it ends with the input, or where the next member's header is
    // not one (the bytes there belong to whatever follows). Only a member whose data runs past the
    // input's end leaves the size an estimate.
    std::uint64_t at = kArMagicSize;
    std::uint64_t members = 0;
    std::string firstName;  // of the first member that is not an index
    std::optional<std::pair<std::uint64_t, std::uint64_t>> longNames;
    bool exact = true;
    std::array<std::uint8_t, kArHeaderSize> h{};
    for (; members < kMaxEntries && at < bytes.size(); ++members) {
        std::uint64_t size = 0;
        if (!bytes.read(at, h) || h[58] != '`' || h[59] != '\n' ||
            !arNumberField(ByteView(h).subspan(16, 12), 10) ||
            !arNumberField(ByteView(h).subspan(28, 6), 10) ||
            !arNumberField(ByteView(h).subspan(34, 6), 10) ||
            !arNumberField(ByteView(h).subspan(40, 8), 8) ||
            !arNumberField(ByteView(h).subspan(48, 10), 10, &size) ||
            std::ranges::any_of(ByteView(h).first(16),
                                [](std::uint8_t b) { return b < 0x20 || b >= 0x7F; })) {
            break;
        }
        const std::uint64_t data = at + kArHeaderSize;
        const ByteView field = ByteView(h).first(16);
        if (field[0] == '/' && field[1] == '/' && field[2] == ' ') {
            longNames = {data, size};
        }
        if (firstName.empty()) {
            firstName = arMemberName(bytes, field, data, size, longNames);
        }
        if (!bytes.holds(data, size)) {
            exact = false;
            at = data + size;
            ++members;
            break;
        }
        // Members are padded to an even size; the last one may lack its pad.
        at = std::min(data + size + size % 2, bytes.size());
    }
    if (members == 0) {
        return std::nullopt;
    }
    if (firstName.empty()) {
        firstName = "\"/\"";
    }
    Object object;
    object.size = at;
    object.exact = exact;
    object.description = std::string("ar archive, ")
                             .append(plural(members, "member", "members"))
                             .append(", first ")
                             .append(firstName);
    if (!exact) {
        object.description.append(", truncated");
    }
    object.fields.push_back(numberField("members", members));
    object.fields.push_back(textField("first_name", firstName.substr(1, firstName.size() - 2)));
    return object;
}

}  // namespace

std::span<const Signature> archiveSignatures() {
    static constexpr Signature kRows[] = {
        {"zip", kZipLocal, 0, Interior::kSkipped, validateZip},
        {"zip", kZipEnd, 0, Interior::kSkipped, validateEmptyZip},
        {"7z", std::string_view("7z\xBC\xAF\x27\x1C", 6), 0, Interior::kSkipped, validate7z},
        {"tar",
         std::string_view("ustar\0"
                          "00",
                          8),
         257, Interior::kSkipped, validateTar},
        {"tar", std::string_view("ustar  \0", 8), 257, Interior::kSkipped, validateTar},
        {"cpio", "070701", 0, Interior::kSkipped, validateCpio<CpioKind::kNewc>},
        {"cpio", "070702", 0, Interior::kSkipped, validateCpio<CpioKind::kCrc>},
        {"cpio", "070707", 0, Interior::kSkipped, validateCpio<CpioKind::kOdc>},
        {"cpio", "\xC7\x71", 0, Interior::kSkipped, validateCpio<CpioKind::kBinaryLittle>},
        {"cpio", "\x71\xC7", 0, Interior::kSkipped, validateCpio<CpioKind::kBinaryBig>},
        {"ar", "!<arch>\n", 0, Interior::kSkipped, validateAr},
    };
    return kRows;
}

}  // namespace tessaloom::scan
