// Archives in a scan: zip, 7z, tar, cpio and ar. Each is measured by walking its own chain of
// headers (a zip's local headers and central directory, a tar's 512-byte blocks, a cpio's entries
// up to its trailer, an ar's members), bounded by the input and by a count of entries.
#include <algorithm>
#include <array>
#include <string>

#include "../byte_order.h"
#include "archive_layouts.h"
#include "signature.h"

namespace tessaloom::scan {

namespace {

constexpr ByteOrder kLittle = ByteOrder::kLittle;
constexpr std::uint64_t kCpioBlock = 512;

using namespace layout;

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

std::string plural(std::uint64_t count, std::string_view one, std::string_view many) {
    return std::to_string(count).append(" ").append(count == 1 ? one : many);
}

// ---------------------------------------------------------------------------------------------
// zip

std::optional<Object> validateZip(Bytes& bytes) {
    const std::optional<ZipLocal> first = zipLocalHeader(bytes, 0);
    if (!first) {
        return std::nullopt;
    }
    const ZipWalk walk = walkZip(bytes);
    const std::optional<ZipEnd>& end = walk.end;
    Object object;
    const std::string name = quotedAt(bytes, first->nameOffset, first->nameLength);
    object.fields.push_back(textField("first_name", name.substr(1, name.size() - 2)));
    if (!end) {
        // The local headers walked are the archive's at least: as a lower bound of its size they
        // hide the headers after the first, which would each walk the rest of the chain again.
        object.size = walk.walked;
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

std::string tarName(Bytes& bytes, const TarHeader& header,
                    std::optional<std::pair<std::uint64_t, std::uint64_t>> longName) {
    if (longName) {
        ByteBuffer text(static_cast<std::size_t>(std::min(longName->second, kShownName)));
        if (!bytes.read(longName->first, text)) {
            return "\"\"";
        }
        return quoted(ByteView(text).first(
            static_cast<std::size_t>(std::ranges::find(text, std::uint8_t{0}) - text.begin())));
    }
    return quoted(tarHeaderName(*header.block));
}

std::optional<Object> validateTar(Bytes& bytes) {
    TarBlock block{};
    if (!bytes.read(0, block)) {
        return std::nullopt;
    }
    const bool gnu = block[262] == ' ';
    std::uint64_t entries = 0;
    std::uint64_t headers = 0;
    std::string firstName;
    // The data of a GNU long name just read, where it lies and its size.
    std::optional<std::pair<std::uint64_t, std::uint64_t>> longName;
    const TarEnd end = walkTar(bytes, [&](const TarHeader& header) {
        ++headers;
        if (!tarMetaType(header.type)) {
            if (entries == 0) {
                firstName = tarName(bytes, header, longName);
            }
            ++entries;
        }
        longName =
            header.type == 'L' ? std::optional(std::pair(header.data, header.size)) : std::nullopt;
        return true;
    });
    if (end.end == 0) {
        return std::nullopt;  // its first header is not one
    }
    const bool exact = end.exact;
    Object object;
    object.size = end.end;
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
            firstName = quoted(
                ByteView(entry->name).first(std::min<std::size_t>(entry->name.size(), kShownName)));
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
