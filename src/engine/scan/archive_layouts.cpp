#include "archive_layouts.h"

#include <algorithm>
#include <bit>

#include "../byte_order.h"
#include "../hex_text.h"

namespace tessaloom::scan::layout {

namespace {

constexpr ByteOrder kLittle = ByteOrder::kLittle;

// ---------------------------------------------------------------------------------------------
// zip

constexpr std::string_view kZip64End = "PK\x06\x06";
constexpr std::string_view kZip64Locator = "PK\x06\x07";
constexpr std::string_view kZipDescriptor = "PK\x07\x08";
constexpr std::string_view kZipSignature = "PK\x05\x05";
constexpr std::uint64_t kZipLocalSize = 30;
constexpr std::uint64_t kZipCentralSize = 46;
constexpr std::uint64_t kZip64LocatorSize = 20;
constexpr std::uint64_t kInZip64 = 0xFFFFFFFF;
constexpr std::uint64_t kDataDescriptorFlag = 0x8;

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

// Walks the central directory at directory to its end record, and returns what they say where
// they agree with each other and with the local headers starting at offset 0: the entry count
// and the directory's size and offset. The offsets may be relative to the archive or to a file
// that holds it behind a stub, such as a self-extractor: either way the first entry lies at 0.
// walked is set to the end of the directory headers read, whatever the outcome.
std::optional<ZipEnd> zipEnd(Bytes& bytes, std::uint64_t directory, std::uint64_t& walked) {
    ZipEnd found;
    found.directory = directory;
    std::uint64_t at = directory;
    std::uint64_t firstLocal = UINT64_MAX;
    for (; found.entries < kMaxEntries; ++found.entries) {
        const std::optional<ZipCentral> central = zipCentralHeader(bytes, at);
        if (!central) {
            break;
        }
        firstLocal = std::min(firstLocal, central->localOffset);
        found.compressed += std::min(central->compressed, UINT64_MAX - found.compressed);
        found.uncompressed += std::min(central->uncompressed, UINT64_MAX - found.uncompressed);
        at = central->next;
    }
    walked = at;
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

// What a search after an entry whose sizes only its descriptor gives meets first.
enum class ZipMark : std::uint8_t { kLocal, kDirectory };

// Finds the first local header, central directory header or end record at or after an offset,
// reading each piece of the archive once however often it is asked.
class ZipMarkFinder {
  public:
    explicit ZipMarkFinder(Bytes& bytes) : bytes_(bytes) {}

    std::optional<std::pair<std::uint64_t, ZipMark>> find(std::uint64_t from) {
        for (std::uint64_t at = from; at + 4 <= bytes_.size();) {
            if (at < start_ || at + 4 > start_ + length_) {
                start_ = at;
                length_ =
                    static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, bytes_.size() - at));
                if (!bytes_.read(at, std::span(piece_).first(length_))) {
                    return std::nullopt;
                }
            }
            const auto i = static_cast<std::size_t>(at - start_);
            if (piece_[i] == 'P' && piece_[i + 1] == 'K') {
                if (piece_[i + 2] == 3 && piece_[i + 3] == 4) {
                    return std::pair(at, ZipMark::kLocal);
                }
                if ((piece_[i + 2] == 1 && piece_[i + 3] == 2) ||
                    (piece_[i + 2] == 5 && piece_[i + 3] == 6)) {
                    return std::pair(at, ZipMark::kDirectory);
                }
            }
            ++at;
        }
        return std::nullopt;
    }

  private:
    static constexpr std::size_t kPiece = std::size_t{64} << 10;
    Bytes& bytes_;
    ByteBuffer piece_ = ByteBuffer(kPiece);
    std::uint64_t start_ = 0;
    std::size_t length_ = 0;
};

// ---------------------------------------------------------------------------------------------
// tar

constexpr std::uint64_t kTarRecord = 20 * kTarBlock;

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

std::string at(std::uint64_t offset) {
    return "0x" + hexNumber(offset);
}

// ---------------------------------------------------------------------------------------------
// cpio

constexpr std::string_view kCpioTrailer = "TRAILER!!!";

}  // namespace

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

std::optional<std::uint64_t> add(std::uint64_t a, std::uint64_t b) {
    if (b > UINT64_MAX - a) {
        return std::nullopt;
    }
    return a + b;
}

std::optional<ZipLocal> zipLocalHeader(Bytes& bytes, std::uint64_t offset) {
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
    ZipLocal header;
    header.flags = field(6, 2);
    header.method = field(8, 2);
    header.compressed = field(18, 4);
    header.uncompressed = field(22, 4);
    header.nameOffset = offset + kZipLocalSize;
    header.nameLength = field(26, 2);
    const std::uint64_t extraLength = field(28, 2);
    header.data = header.nameOffset + header.nameLength + extraLength;
    if (header.nameLength == 0 || !bytes.holds(0, header.data)) {
        return std::nullopt;
    }
    readZip64Extra(bytes, header.nameOffset + header.nameLength, extraLength,
                   {&header.uncompressed, &header.compressed}, header.zip64);
    const std::optional<std::uint64_t> next = add(header.data, header.compressed);
    if (!next) {
        return std::nullopt;
    }
    header.next = *next;
    if ((header.flags & kDataDescriptorFlag) != 0) {
        if (header.compressed == 0) {
            header.sizesAfterData = true;
        } else {
            header.next +=
                (bytes.matches(header.next, kZipDescriptor) ? 4U : 0U) + (header.zip64 ? 20U : 12U);
        }
    }
    return header;
}

std::optional<ZipCentral> zipCentralHeader(Bytes& bytes, std::uint64_t offset) {
    std::array<std::uint8_t, kZipCentralSize> h{};
    if (!bytes.read(offset, h) || !bytes.matches(offset, kZipCentral)) {
        return std::nullopt;
    }
    const auto field = [&h](std::size_t at, std::size_t width) {
        return readLittleEndian(ByteView(h).subspan(at, width));
    };
    ZipCentral central;
    central.madeBy = field(4, 2);
    central.flags = field(8, 2);
    central.method = field(10, 2);
    central.compressed = field(20, 4);
    central.uncompressed = field(24, 4);
    central.nameLength = field(28, 2);
    const std::uint64_t extraLength = field(30, 2);
    central.externalAttributes = field(38, 4);
    central.localOffset = field(42, 4);
    central.nameOffset = offset + kZipCentralSize;
    bool zip64 = false;
    readZip64Extra(bytes, central.nameOffset + central.nameLength, extraLength,
                   {&central.uncompressed, &central.compressed, &central.localOffset}, zip64);
    central.next = central.nameOffset + central.nameLength + extraLength + field(32, 2);
    return central;
}

ZipWalk walkZip(Bytes& bytes) {
    ZipWalk walk;
    ZipMarkFinder finder(bytes);
    std::uint64_t at = 0;
    // Where the next header is to be looked for rather than stepped to. Once an entry's sizes
    // follow its data, the next local header found goes on with the archive (those of a zip
    // stored in it too, whose directory is then passed); before that, after bytes that are not a
    // header (an APK's signing block) only a directory does, and a local header met first begins
    // an archive of its own. A directory that does not end this archive (one of a
    // zip stored in it) is passed with what its walk read: no byte is searched twice.
    std::optional<std::uint64_t> searchFrom;
    bool afterDescriptor = false;
    for (std::uint64_t steps = 0; steps < kMaxEntries && !walk.end; ++steps) {
        if (searchFrom) {
            const std::optional<std::pair<std::uint64_t, ZipMark>> mark = finder.find(*searchFrom);
            if (!mark) {
                break;
            }
            at = mark->first;
            searchFrom.reset();
            if (mark->second == ZipMark::kLocal && !afterDescriptor) {
                if (zipLocalHeader(bytes, at)) {
                    break;
                }
                searchFrom = at + 1;
                continue;
            }
        }
        if (bytes.matches(at, kZipCentral) || bytes.matches(at, kZipEnd)) {
            std::uint64_t walked = at;
            walk.end = zipEnd(bytes, at, walked);
            if (!walk.end) {
                searchFrom = std::max(walked, at + 1);
            }
            continue;
        }
        const bool signature = bytes.matches(at, kZipLocal);
        const std::optional<ZipLocal> local = signature ? zipLocalHeader(bytes, at) : std::nullopt;
        if (!local) {
            if (steps == 0) {
                break;
            }
            searchFrom = signature ? at + 1 : at;
            continue;
        }
        walk.walked = std::max(walk.walked, local->sizesAfterData ? local->data : local->next);
        afterDescriptor = afterDescriptor || local->sizesAfterData;
        if (local->sizesAfterData) {
            searchFrom = local->data;
            continue;
        }
        at = local->next;
        if (!bytes.holds(0, at)) {
            break;
        }
    }
    return walk;
}

ByteView tarText(const TarBlock& block, std::size_t offset, std::size_t length) {
    const ByteView field = ByteView(block).subspan(offset, length);
    return field.first(
        static_cast<std::size_t>(std::ranges::find(field, std::uint8_t{0}) - field.begin()));
}

ByteBuffer tarHeaderName(const TarBlock& block) {
    ByteBuffer name;
    const ByteView prefix = tarText(block, 345, 155);
    if (block[262] == 0 && !prefix.empty()) {
        name.assign(prefix.begin(), prefix.end());
        name.push_back('/');
    }
    const ByteView base = tarText(block, 0, 100);
    name.insert(name.end(), base.begin(), base.end());
    return name;
}

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

TarEnd walkTar(Bytes& bytes, const std::function<bool(const TarHeader&)>& onHeader) {
    TarBlock block{};
    TarEnd end;
    std::uint64_t offset = 0;
    for (std::uint64_t headers = 0;; ++headers) {
        if (headers == kMaxEntries) {
            end.end = offset;
            end.stoppedShort =
                "the archive lists more than " + std::to_string(kMaxEntries) + " headers";
            return end;
        }
        if (!bytes.read(offset, block)) {
            end.end = offset;
            end.stoppedShort = "the archive is cut short at " + at(offset);
            return end;
        }
        if (std::ranges::all_of(block, [](std::uint8_t b) { return b == 0; })) {
            // The end of the archive is two zero blocks; one alone is accepted by archivers,
            // but leaves the size an estimate.
            end.end = offset + kTarBlock;
            if (zeroesAt(bytes, offset + kTarBlock, kTarBlock)) {
                end.end = offset + 2 * kTarBlock;
                end.exact = true;
                while (end.end % kTarRecord != 0 && zeroesAt(bytes, end.end, kTarBlock)) {
                    end.end += kTarBlock;
                }
            }
            return end;
        }
        const std::optional<std::uint64_t> size = tarNumber(ByteView(block).subspan(124, 12));
        if (!tarChecksumOk(block) || !size) {
            end.end = offset;
            end.stoppedShort = "the header at " + at(offset) + " is damaged";
            return end;
        }
        const std::uint8_t type = block[156];
        const std::optional<std::uint64_t> next =
            add(offset + kTarBlock,
                tarTypeHasData(type) ? roundUp(std::min(*size, UINT64_MAX - 511), kTarBlock) : 0);
        if (!next || !bytes.holds(0, *next)) {
            end.end = next.value_or(UINT64_MAX);
            end.stoppedShort = "the entry at " + at(offset) + " runs past the archive's end";
            return end;
        }
        const TarHeader header{offset, &block, type, tarTypeHasData(type) ? *size : 0,
                               offset + kTarBlock};
        if (!onHeader(header)) {
            end.end = *next;
            return end;
        }
        offset = *next;
    }
}

std::optional<CpioEntry> cpioEntry(Bytes& bytes, std::uint64_t offset, CpioKind kind) {
    std::array<std::uint8_t, 110> h{};
    CpioEntry entry;
    std::uint64_t nameSize = 0;
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
        entry.mode = fields[1];
        entry.links = fields[4];
        entry.size = fields[6];
        nameSize = fields[11];
    } else if (kind == CpioKind::kOdc) {
        headerSize = 76;
        const std::span<std::uint8_t> header = std::span(h).first(76);
        if (!bytes.read(offset, header) || !bytes.matches(offset, "070707") ||
            !asciiNumber(header.subspan(6), 8)) {
            return std::nullopt;
        }
        entry.mode = asciiNumber(header.subspan(18, 6), 8).value_or(0);
        entry.links = asciiNumber(header.subspan(36, 6), 8).value_or(0);
        nameSize = asciiNumber(header.subspan(59, 6), 8).value_or(0);
        entry.size = asciiNumber(header.subspan(65, 11), 8).value_or(0);
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
        entry.mode = word(6);
        entry.links = word(12);
        nameSize = word(20);
        entry.size = word(22) << 16 | word(24);
    }
    const std::uint64_t type = entry.mode & 0170000;
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
    entry.trailer = std::ranges::equal(name, kCpioTrailer, {}, {},
                                       [](char c) { return static_cast<std::uint8_t>(c); });
    // The two-byte magic of the binary flavour is met by chance: its name must read as one.
    if (binary && std::ranges::any_of(name, [](std::uint8_t b) { return b < 0x20 || b == 0x7F; })) {
        return std::nullopt;
    }
    if (!typeOk && !(entry.trailer && entry.mode == 0)) {
        return std::nullopt;
    }
    entry.data = roundUp(offset + headerSize + nameSize, align);
    entry.next = roundUp(entry.data + entry.size, align);
    entry.name = std::move(name);
    return entry;
}

std::optional<CpioKind> cpioKind(Bytes& bytes) {
    static constexpr std::array<std::pair<std::string_view, CpioKind>, 5> kMagics{{
        {"070701", CpioKind::kNewc},
        {"070702", CpioKind::kCrc},
        {"070707", CpioKind::kOdc},
        {"\xC7\x71", CpioKind::kBinaryLittle},
        {"\x71\xC7", CpioKind::kBinaryBig},
    }};
    for (const auto& [magic, kind] : kMagics) {
        if (bytes.matches(0, magic)) {
            return kind;
        }
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// squashfs 4.0

std::optional<SquashfsSuper> squashfsSuper(Bytes& bytes) {
    std::array<std::uint8_t, kSquashfsSuperSize> block{};
    if (!bytes.read(0, block)) {
        return std::nullopt;
    }
    SquashfsSuper sb;
    const ByteView magic = ByteView(block).first(4);
    if (std::ranges::equal(magic, std::string_view("sqsh"))) {
        sb.order = ByteOrder::kBig;
    } else if (!std::ranges::equal(magic, std::string_view("hsqs"))) {
        return std::nullopt;
    }
    const auto number = [&](std::size_t at, std::size_t width) {
        const ByteView field = ByteView(block).subspan(at, width);
        return sb.order == ByteOrder::kLittle ? readLittleEndian(field) : readBigEndian(field);
    };
    sb.inodes = number(4, 4);
    sb.blockSize = number(12, 4);
    sb.fragments = number(16, 4);
    sb.compression = number(20, 2);
    const std::uint64_t blockLog = number(22, 2);
    sb.flags = number(24, 2);
    if (number(28, 2) != 4 || number(30, 2) != 0 || sb.compression == 0 ||
        sb.compression >= kSquashfsCompressors.size() || sb.blockSize < 4096 ||
        sb.blockSize > (1u << 20) || !std::has_single_bit(sb.blockSize) ||
        blockLog != static_cast<std::uint64_t>(std::countr_zero(sb.blockSize)) || sb.inodes == 0 ||
        sb.flags >= 0x1000) {
        return std::nullopt;
    }
    sb.rootInode = number(32, 8);
    sb.bytesUsed = number(40, 8);
    sb.idTable = number(48, 8);
    sb.xattrTable = number(56, 8);
    sb.inodeTable = number(64, 8);
    sb.directoryTable = number(72, 8);
    sb.fragmentTable = number(80, 8);
    sb.exportTable = number(88, 8);
    const auto optionalTableFits = [&](std::uint64_t start) {
        return start == kSquashfsAbsent || (start >= kSquashfsSuperSize && start < sb.bytesUsed);
    };
    // The tables follow the superblock in this order, all inside the bytes used.
    if (sb.bytesUsed < kSquashfsSuperSize || sb.inodeTable < kSquashfsSuperSize ||
        sb.directoryTable < sb.inodeTable || sb.idTable < sb.directoryTable ||
        sb.idTable >= sb.bytesUsed || !optionalTableFits(sb.xattrTable) ||
        !optionalTableFits(sb.fragmentTable) || !optionalTableFits(sb.exportTable) ||
        (sb.rootInode & 0xFFFF) >= 8192) {
        return std::nullopt;
    }
    return sb;
}

}  // namespace tessaloom::scan::layout
