// ZIP archives: the entries of the central directory with their local headers, ZIP64 sizes and
// offsets, data descriptors, the end of central directory records, and data before the first
// entry (a self-extracting stub) or after the end.
#include <algorithm>
#include <set>

#include "decoder.h"

namespace tessaloom::formats {

namespace {

constexpr ByteOrder kLittle = ByteOrder::kLittle;
constexpr std::string_view kLocalSignature = "PK\x03\x04";
constexpr std::string_view kCentralSignature = "PK\x01\x02";
constexpr std::string_view kEndSignature = "PK\x05\x06";
constexpr std::string_view kZip64EndSignature = "PK\x06\x06";
constexpr std::string_view kZip64LocatorSignature = "PK\x06\x07";
constexpr std::string_view kDescriptorSignature = "PK\x07\x08";
constexpr std::uint64_t kLocalHeaderSize = 30;
constexpr std::uint64_t kCentralHeaderSize = 46;
constexpr std::uint64_t kEndSize = 22;
constexpr std::uint64_t kZip64EndSize = 56;
constexpr std::uint64_t kZip64LocatorSize = 20;
constexpr std::uint64_t kMaxCommentLength = 0xFFFF;
constexpr std::uint64_t kZip64Extra = 0x0001;
constexpr std::uint64_t kDataDescriptorFlag = 0x8;
// A 32-bit size or offset with this value is kept in the ZIP64 extra field.
constexpr std::uint64_t kInZip64 = 0xFFFFFFFF;

constexpr NamedValue kMethods[] = {
    {0, "Stored", "Stored"},
    {1, "Shrunk"},
    {2, "Reduced (factor 1)"},
    {3, "Reduced (factor 2)"},
    {4, "Reduced (factor 3)"},
    {5, "Reduced (factor 4)"},
    {6, "Imploded"},
    {8, "Deflated", "Deflate"},
    {9, "Deflate64"},
    {10, "PKWARE DCL Imploded"},
    {12, "BZIP2"},
    {14, "LZMA"},
    {16, "IBM z/OS CMPSC"},
    {18, "IBM TERSE"},
    {19, "IBM LZ77"},
    {20, "Zstandard (old)"},
    {93, "Zstandard"},
    {94, "MP3"},
    {95, "XZ"},
    {96, "JPEG"},
    {97, "WavPack"},
    {98, "PPMd"},
    {99, "AES encrypted"},
};

constexpr NamedValue kFlags[] = {
    {0x0001, "ENCRYPTED"},          {0x0002, "OPTION_1"},
    {0x0004, "OPTION_2"},           {0x0008, "DATA_DESCRIPTOR"},
    {0x0010, "ENHANCED_DEFLATION"}, {0x0020, "PATCHED_DATA"},
    {0x0040, "STRONG_ENCRYPTION"},  {0x0800, "UTF8"},
    {0x2000, "MASKED_HEADERS"},
};

constexpr FieldLayout kLocalHeader[] = {
    {"Signature", 0, 4, Render::kBytes},
    {"Version needed to extract", 4, 2, Render::kDecimal},
    {"General purpose flags", 6, 2, Render::kFlags, kFlags},
    {"Compression method", 8, 2, Render::kName, kMethods},
    {"Last modified time", 10, 2, Render::kDosTime},
    {"Last modified date", 12, 2, Render::kDosDate},
    {"CRC-32", 14, 4, Render::kHex},
    {"Compressed size", 18, 4, Render::kDecimal},
    {"Uncompressed size", 22, 4, Render::kDecimal},
    {"File name length", 26, 2, Render::kDecimal},
    {"Extra field length", 28, 2, Render::kDecimal},
};

constexpr FieldLayout kCentralHeader[] = {
    {"Signature", 0, 4, Render::kBytes},
    {"Version made by", 4, 2, Render::kHex},
    {"Version needed to extract", 6, 2, Render::kDecimal},
    {"General purpose flags", 8, 2, Render::kFlags, kFlags},
    {"Compression method", 10, 2, Render::kName, kMethods},
    {"Last modified time", 12, 2, Render::kDosTime},
    {"Last modified date", 14, 2, Render::kDosDate},
    {"CRC-32", 16, 4, Render::kHex},
    {"Compressed size", 20, 4, Render::kDecimal},
    {"Uncompressed size", 24, 4, Render::kDecimal},
    {"File name length", 28, 2, Render::kDecimal},
    {"Extra field length", 30, 2, Render::kDecimal},
    {"File comment length", 32, 2, Render::kDecimal},
    {"Disk number start", 34, 2, Render::kDecimal},
    {"Internal attributes", 36, 2, Render::kHex},
    {"External attributes", 38, 4, Render::kHex},
    {"Local header offset", 42, 4, Render::kHex},
};

constexpr FieldLayout kEndRecord[] = {
    {"Signature", 0, 4, Render::kBytes},
    {"Number of this disk", 4, 2, Render::kDecimal},
    {"Disk where the central directory starts", 6, 2, Render::kDecimal},
    {"Entries on this disk", 8, 2, Render::kDecimal},
    {"Entries", 10, 2, Render::kDecimal},
    {"Central directory size", 12, 4, Render::kDecimal},
    {"Central directory offset", 16, 4, Render::kHex},
    {"Comment length", 20, 2, Render::kDecimal},
};

constexpr FieldLayout kZip64Locator[] = {
    {"Signature", 0, 4, Render::kBytes},
    {"Disk of the ZIP64 end record", 4, 4, Render::kDecimal},
    {"ZIP64 end record offset", 8, 8, Render::kHex},
    {"Number of disks", 16, 4, Render::kDecimal},
};

constexpr FieldLayout kZip64End[] = {
    {"Signature", 0, 4, Render::kBytes},
    {"Record size", 4, 8, Render::kDecimal},
    {"Version made by", 12, 2, Render::kHex},
    {"Version needed to extract", 14, 2, Render::kDecimal},
    {"Number of this disk", 16, 4, Render::kDecimal},
    {"Disk where the central directory starts", 20, 4, Render::kDecimal},
    {"Entries on this disk", 24, 8, Render::kDecimal},
    {"Entries", 32, 8, Render::kDecimal},
    {"Central directory size", 40, 8, Render::kDecimal},
    {"Central directory offset", 48, 8, Render::kHex},
};

// What the central directory says of an entry, its ZIP64 extra field applied.
struct CentralEntry {
    std::string name;
    std::uint64_t flags = 0;
    std::uint64_t method = 0;
    std::uint64_t crc = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    std::uint64_t localOffset = 0;
    std::uint64_t time = 0;
    std::uint64_t date = 0;
    bool zip64 = false;
};

class ZipDecoder {
  public:
    explicit ZipDecoder(Decoding& decoding) : d_(decoding), bytes_(decoding.bytes) {}
    void decode(std::uint64_t end);
    void walkLocalHeaders();
    // The fields inside a field that decode() deferred.
    std::vector<StructField> expand(const StructField& field);

  private:
    // The name at offset, charged for each of the places it is shown in; empty when that does
    // not fit in the budget for names.
    std::string name(std::uint64_t offset, std::uint64_t length, std::uint64_t places = 1);
    // The same without the charge.
    std::string text(std::uint64_t offset, std::uint64_t length);
    // Reads what follows the fixed fields of the central header at `at` into header and entry;
    // returns the header's whole length.
    std::uint64_t readCentral(std::uint64_t at, StructField& header, CentralEntry& entry,
                              std::uint64_t shift, std::optional<std::uint64_t>& localOffset);
    // Makes field a row without its fields, which expand() reads again from key.
    void deferFields(StructField& field, std::uint64_t key);
    void applyZip64(std::uint64_t extra, std::uint64_t length, CentralEntry& entry);
    // Reads the local header of entry into a field of its own and returns where the next one
    // would start; empty when the header is not there.
    std::optional<std::uint64_t> readLocal(CentralEntry& entry, bool fromCentral);
    void addEntry(const CentralEntry& entry, bool descriptor);

    Decoding& d_;
    Bytes& bytes_;
    // Whether the headers' fields are deferred: an archive of many entries.
    bool defer_ = false;
    // Where the central header of the entry whose local header is read lies.
    std::uint64_t central_ = 0;
    // For an entry read again, the name as it was shown the first time (the budget for names was
    // spent then, not now).
    std::optional<std::string> shown_;
    std::uint64_t firstLocal_ = UINT64_MAX;
    // The local headers read so far: entries of the central directory that share one (as the
    // overlapping entries of a ZIP bomb do) do not repeat it.
    std::set<std::uint64_t> locals_;
};

std::string ZipDecoder::text(std::uint64_t offset, std::uint64_t length) {
    ByteBuffer raw(static_cast<std::size_t>(length));
    return bytes_.read(offset, raw) ? safeText(raw) : std::string();
}

std::string ZipDecoder::name(std::uint64_t offset, std::uint64_t length, std::uint64_t places) {
    std::string shown = text(offset, length);
    return d_.charge(shown.size() * places) ? shown : std::string();
}

void ZipDecoder::deferFields(StructField& field, std::uint64_t key) {
    // Its bytes as they will be once its fields are in.
    std::vector<StructField> alone;
    alone.push_back(std::move(field));
    fitFields(alone, bytes_.size());
    field = std::move(alone.front());
    // Its fields go, and the room they took with them.
    std::vector<StructField>().swap(field.fields);
    field.deferred = key;
}

void ZipDecoder::applyZip64(std::uint64_t extra, std::uint64_t length, CentralEntry& entry) {
    for (std::uint64_t at = extra; at + 4 <= extra + length;) {
        const std::uint64_t id = bytes_.number(at, 2, kLittle).value_or(0);
        const std::uint64_t size = bytes_.number(at + 2, 2, kLittle).value_or(0);
        if (id == kZip64Extra) {
            entry.zip64 = true;
            std::uint64_t field = at + 4;
            for (std::uint64_t* value : {&entry.size, &entry.compressedSize, &entry.localOffset}) {
                if (*value == kInZip64 && field + 8 <= at + 4 + size) {
                    *value = bytes_.number(field, 8, kLittle).value_or(*value);
                    field += 8;
                }
            }
            return;
        }
        at += 4 + size;
    }
}

std::optional<std::uint64_t> ZipDecoder::readLocal(CentralEntry& entry, bool fromCentral) {
    const std::uint64_t at = entry.localOffset;
    StructField local{"", at, 0, {}, std::nullopt, {}};
    StructField& header = addField(local, "Local file header", at, kLocalHeaderSize);
    if (!bytes_.matches(at, kLocalSignature) ||
        !readFields(bytes_, at, kLocalHeader, kLittle, header)) {
        d_.warn("No local header at " + hex(at) + " for " +
                (entry.name.empty() ? "an entry" : entry.name));
        if (fromCentral) {
            addEntry(entry, false);
        }
        return std::nullopt;
    }
    if (!locals_.insert(at).second) {
        d_.warn("The local header at " + hex(at) + " of " +
                (entry.name.empty() ? "an entry" : entry.name) + " is that of an earlier entry");
        addEntry(entry, (entry.flags & kDataDescriptorFlag) != 0);
        return std::nullopt;
    }
    firstLocal_ = std::min(firstLocal_, at);
    const auto number = [&header](std::string_view field) {
        return numberOf(header, field).value_or(0);
    };
    const std::uint64_t nameLength = number("File name length");
    const std::uint64_t extraLength = number("Extra field length");
    const std::uint64_t nameAt = at + kLocalHeaderSize;
    // The local header shows the name as its label and in its field; a name read here is shown in
    // the table of entries too, one of the central directory has been charged for its own places.
    std::string shown;
    if (!fromCentral) {
        entry.name = name(nameAt, nameLength, 3);
        shown = entry.name;
        entry.flags = number("General purpose flags");
        entry.method = number("Compression method");
        entry.crc = number("CRC-32");
        entry.compressedSize = number("Compressed size");
        entry.size = number("Uncompressed size");
        entry.localOffset = at;
        entry.time = number("Last modified time");
        entry.date = number("Last modified date");
        applyZip64(nameAt + nameLength, extraLength, entry);
    } else {
        CentralEntry fromLocal = entry;
        fromLocal.compressedSize = number("Compressed size");
        fromLocal.size = number("Uncompressed size");
        applyZip64(nameAt + nameLength, extraLength, fromLocal);
        entry.zip64 = entry.zip64 || fromLocal.zip64;
        shown = shown_ ? *shown_ : d_.charge(2 * entry.name.size()) ? entry.name : std::string();
    }
    local.name = shown;
    addField(local, "File name", nameAt, nameLength, std::move(shown));
    if (extraLength > 0) {
        addField(local, "Extra field", nameAt + nameLength, extraLength);
    }
    const std::uint64_t dataAt = nameAt + nameLength + extraLength;
    if (entry.compressedSize > 0) {
        if (!bytes_.holds(dataAt, entry.compressedSize)) {
            d_.warn("The data of " + entry.name + " reaches past the end of the file");
        }
        addField(local, "File data", dataAt, entry.compressedSize,
                 decimal(entry.compressedSize) + " bytes, " +
                     renderValue(Render::kName, entry.method, kMethods));
    }
    std::optional<std::uint64_t> next =
        d_.checkedAdd(dataAt, entry.compressedSize, "The end of an entry's data");
    const bool descriptor = (entry.flags & kDataDescriptorFlag) != 0;
    if (descriptor && next) {
        std::uint64_t field = *next;
        StructField& record = addField(local, "Data descriptor", field, 0);
        if (bytes_.matches(field, kDescriptorSignature)) {
            addField(record, "Signature", field, 4, "50 4B 07 08");
            field += 4;
        }
        const std::size_t width = entry.zip64 ? 8 : 4;
        if (bytes_.holds(field, 4 + 2 * width)) {
            const std::optional<std::uint64_t> crc = bytes_.number(field, 4, kLittle);
            const std::optional<std::uint64_t> compressed =
                bytes_.number(field + 4, width, kLittle);
            const std::optional<std::uint64_t> size =
                bytes_.number(field + 4 + width, width, kLittle);
            addField(record, "CRC-32", field, 4, hex(*crc), crc);
            addField(record, "Compressed size", field + 4, width, decimal(*compressed), compressed);
            addField(record, "Uncompressed size", field + 4 + width, width, decimal(*size), size);
            next = field + 4 + 2 * width;
            if (fromCentral && (*crc != entry.crc || *compressed != entry.compressedSize)) {
                d_.warn("The data descriptor of " + entry.name +
                        " differs from the central directory");
            }
        } else {
            d_.warn("The data descriptor of " + entry.name +
                    " is cut short by the end of the file");
        }
    }
    if (defer_ && fromCentral) {
        deferFields(local, central_ + 1);
    }
    d_.top.push_back(std::move(local));
    addEntry(entry, descriptor);
    return next;
}

void ZipDecoder::addEntry(const CentralEntry& entry, bool descriptor) {
    d_.report.entries->push_back({entry.name, entry.localOffset, entry.compressedSize, entry.size,
                                  renderValue(Render::kName, entry.method, kMethods),
                                  static_cast<std::uint32_t>(entry.crc), descriptor,
                                  static_cast<std::uint16_t>(entry.date),
                                  static_cast<std::uint16_t>(entry.time)});
}

std::uint64_t ZipDecoder::readCentral(std::uint64_t at, StructField& header, CentralEntry& entry,
                                      std::uint64_t shift,
                                      std::optional<std::uint64_t>& localOffset) {
    const auto field = [&header](std::string_view name) {
        return numberOf(header, name).value_or(0);
    };
    const std::uint64_t nameLength = field("File name length");
    const std::uint64_t extraLength = field("Extra field length");
    const std::uint64_t commentSize = field("File comment length");
    // As the header's label, its field and in the table of entries.
    entry.name = shown_ ? *shown_ : name(at + kCentralHeaderSize, nameLength, 3);
    entry.flags = field("General purpose flags");
    entry.method = field("Compression method");
    entry.crc = field("CRC-32");
    entry.compressedSize = field("Compressed size");
    entry.size = field("Uncompressed size");
    entry.localOffset = field("Local header offset");
    entry.time = field("Last modified time");
    entry.date = field("Last modified date");
    applyZip64(at + kCentralHeaderSize + nameLength, extraLength, entry);
    localOffset = d_.checkedAdd(entry.localOffset, shift, "A local header");
    header.name = entry.name;
    addField(header, "File name", at + kCentralHeaderSize, nameLength, entry.name);
    if (extraLength > 0) {
        addField(header, "Extra field", at + kCentralHeaderSize + nameLength, extraLength);
    }
    if (commentSize > 0) {
        addField(header, "File comment", at + kCentralHeaderSize + nameLength + extraLength,
                 commentSize,
                 name(at + kCentralHeaderSize + nameLength + extraLength, commentSize));
    }
    return kCentralHeaderSize + nameLength + extraLength + commentSize;
}

void ZipDecoder::decode(std::uint64_t end) {
    d_.report.entries.emplace();
    StructField& endRecord = d_.add("End of central directory record", end, kEndSize);
    readFields(bytes_, end, kEndRecord, kLittle, endRecord);
    const auto number = [](const StructField& group, std::string_view field) {
        return numberOf(group, field).value_or(0);
    };
    std::uint64_t count = number(endRecord, "Entries");
    std::uint64_t directorySize = number(endRecord, "Central directory size");
    std::uint64_t directoryOffset = number(endRecord, "Central directory offset");
    const std::uint64_t commentLength = number(endRecord, "Comment length");
    const std::uint64_t recordsEnd = std::min(bytes_.size(), end + kEndSize + commentLength);
    if (commentLength > 0) {
        addField(endRecord, "Comment", end + kEndSize, recordsEnd - end - kEndSize,
                 name(end + kEndSize, recordsEnd - end - kEndSize));
    }
    // The central directory ends where the ZIP64 end record, or else the end record, starts.
    std::uint64_t directoryEnd = end;
    const std::uint64_t locatorAt = end >= kZip64LocatorSize ? end - kZip64LocatorSize : 0;
    if (end >= kZip64LocatorSize + kZip64EndSize &&
        bytes_.matches(locatorAt, kZip64LocatorSignature)) {
        StructField& locator =
            d_.add("ZIP64 end of central directory locator", locatorAt, kZip64LocatorSize);
        readFields(bytes_, locatorAt, kZip64Locator, kLittle, locator);
        const std::uint64_t recordAt = locatorAt - kZip64EndSize;
        if (bytes_.matches(recordAt, kZip64EndSignature)) {
            StructField& record =
                d_.add("ZIP64 end of central directory record", recordAt, kZip64EndSize);
            readFields(bytes_, recordAt, kZip64End, kLittle, record);
            count = number(record, "Entries");
            directorySize = number(record, "Central directory size");
            directoryOffset = number(record, "Central directory offset");
            directoryEnd = recordAt;
        } else {
            d_.warn("No ZIP64 end of central directory record before its locator");
        }
    }
    defer_ = count > d_.eagerEntries;
    // Data in front of the archive (a self-extracting program) moves everything by its length.
    std::uint64_t shift = 0;
    if (directorySize > directoryEnd) {
        d_.warn("The central directory's size (" + decimal(directorySize) + ") exceeds its room");
        directorySize = 0;
    }
    const std::uint64_t directoryAt = directoryEnd - directorySize;
    if (directoryAt >= directoryOffset) {
        shift = directoryAt - directoryOffset;
    } else {
        d_.warn("The central directory's offset (" + hex(directoryOffset) +
                ") lies past where it is");
    }
    if (shift > 0) {
        d_.warn(decimal(shift) +
                " bytes before the archive: offsets are taken from where it starts");
    }
    StructField directory{"Central directory",         directoryAt,  directorySize,
                          decimal(count) + " entries", std::nullopt, {}};
    std::uint64_t read = 0;
    bool cut = false;
    for (std::uint64_t at = directoryAt; at + kCentralHeaderSize <= directoryAt + directorySize;) {
        if (read == kMaxRows) {
            d_.warn("Only the first " + decimal(kMaxRows) + " entries are read");
        }
        if (read == kMaxRows || d_.spent()) {
            cut = true;
            break;
        }
        StructField header{"", at, kCentralHeaderSize, {}, std::nullopt, {}};
        if (!bytes_.matches(at, kCentralSignature) ||
            !readFields(bytes_, at, kCentralHeader, kLittle, header)) {
            d_.warn("No central directory header at " + hex(at));
            break;
        }
        ++read;
        CentralEntry entry;
        std::optional<std::uint64_t> localOffset;
        const std::uint64_t length = readCentral(at, header, entry, shift, localOffset);
        if (defer_ && !fieldOf(header, "File comment")) {
            deferFields(header, at + 1);
        }
        directory.fields.push_back(std::move(header));
        if (localOffset) {
            entry.localOffset = *localOffset;
            central_ = at;
            readLocal(entry, true);
        } else {
            addEntry(entry, false);
        }
        at += length;
    }
    if (read != count && !cut) {
        d_.warn("The end record counts " + decimal(count) +
                " entries; the central directory holds " + decimal(read));
    }
    d_.top.push_back(std::move(directory));
    const std::uint64_t start = std::min(firstLocal_, directoryAt);
    if (start > 0) {
        d_.add("Data before the first entry", 0, start, decimal(start) + " bytes");
    }
    if (recordsEnd < bytes_.size()) {
        d_.add("Data after the end", recordsEnd, bytes_.size() - recordsEnd,
               decimal(bytes_.size() - recordsEnd) + " bytes");
    }
}

void ZipDecoder::walkLocalHeaders() {
    d_.report.entries.emplace();
    d_.warn("No end of central directory record: the entries are read from their local headers");
    std::uint64_t at = 0;
    for (std::size_t read = 0;
         read < kMaxRows && !d_.spent() && bytes_.matches(at, kLocalSignature); ++read) {
        CentralEntry entry;
        entry.localOffset = at;
        const std::optional<std::uint64_t> next = readLocal(entry, false);
        if (!next || *next <= at) {
            break;
        }
        if ((entry.flags & kDataDescriptorFlag) != 0 && entry.compressedSize == 0) {
            d_.warn("The size of " + entry.name +
                    " is in its data descriptor: the entries after it cannot be found");
            break;
        }
        at = *next;
    }
}

std::vector<StructField> ZipDecoder::expand(const StructField& field) {
    const std::uint64_t at = field.deferred - 1;
    StructField header{"", at, kCentralHeaderSize, {}, std::nullopt, {}};
    if (!bytes_.matches(at, kCentralSignature) ||
        !readFields(bytes_, at, kCentralHeader, kLittle, header)) {
        return {};
    }
    // The name as the field shows it, unless that is only the stand-in for a name not shown.
    const std::string real =
        text(at + kCentralHeaderSize, numberOf(header, "File name length").value_or(0));
    shown_ = field.name == kNoName && real != kNoName ? std::string() : field.name;
    CentralEntry entry;
    std::optional<std::uint64_t> localOffset;
    readCentral(at, header, entry, 0, localOffset);
    std::vector<StructField> read;
    read.push_back(std::move(header));
    if (at != field.offset) {
        // The entry's local header, where the first reading found it.
        entry.localOffset = field.offset;
        d_.report.entries.emplace();
        readLocal(entry, true);
        if (d_.top.empty()) {
            return {};
        }
        read.front() = std::move(d_.top.back());
    }
    fitFields(read, bytes_.size());
    return std::move(read.front().fields);
}

// Where the end of central directory record is: the last signature in the last 64 KiB and 22
// bytes, as unzip and Python's zipfile take it.
std::optional<std::uint64_t> findEndRecord(Bytes& bytes) {
    if (bytes.size() < kEndSize) {
        return std::nullopt;
    }
    const std::uint64_t tail = std::min(bytes.size(), kEndSize + kMaxCommentLength);
    const std::uint64_t tailAt = bytes.size() - tail;
    ByteBuffer data(static_cast<std::size_t>(tail));
    if (!bytes.read(tailAt, data)) {
        return std::nullopt;
    }
    for (std::size_t at = data.size() - kEndSize + 1; at-- > 0;) {
        if (std::ranges::equal(ByteView(data).subspan(at, 4), kEndSignature, {}, {},
                               [](char c) { return static_cast<std::uint8_t>(c); })) {
            return tailAt + at;
        }
    }
    return std::nullopt;
}

}  // namespace

bool decodeZip(Decoding& decoding) {
    if (const std::optional<std::uint64_t> end = findEndRecord(decoding.bytes)) {
        decoding.report.format = "ZIP";
        ZipDecoder(decoding).decode(*end);
        return true;
    }
    if (decoding.bytes.matches(0, kLocalSignature)) {
        decoding.report.format = "ZIP";
        ZipDecoder(decoding).walkLocalHeaders();
        return true;
    }
    return false;
}

std::vector<StructField> expandZipField(Bytes& bytes, const StructField& field) {
    StructureReport scratch;
    Decoding decoding(bytes, scratch, false);
    return ZipDecoder(decoding).expand(field);
}

std::vector<HeaderField> zipSummary(Bytes& sample) {
    StructField header;
    readFields(sample, 0, kLocalHeader, kLittle, header);
    std::vector<HeaderField> rows;
    const auto row = [&](std::string_view label, std::size_t index, auto render) {
        if (index < header.fields.size()) {
            rows.push_back(summaryRow(label, header.fields[index],
                                      render(header.fields[index].number.value_or(0))));
        }
    };
    row("Signature", 0,
        [](std::uint64_t) { return std::string(R"(PK\x03\x04 (Local File Header))"); });
    row("Version Needed To Extract", 1, decimal);
    row("Compression Method", 3, [](std::uint64_t method) {
        const std::string_view brief = briefOf(kMethods, method);
        return brief.empty() ? decimal(method) : std::string(brief);
    });
    const auto bytesCount = [](std::uint64_t size) { return decimal(size) + " bytes"; };
    row("Compressed Size", 7, bytesCount);
    row("Uncompressed Size", 8, bytesCount);
    return rows;
}

}  // namespace tessaloom::formats
