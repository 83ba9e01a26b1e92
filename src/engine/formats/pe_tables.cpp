// PE checksum, debug directory, resources, version information, manifest, Rich header, TLS
// callbacks, load configuration and appended archive, read as pefile and the Windows loader read
// them. Every count is cut to the bytes its table has room for; the resource tree is walked at
// most three levels deep, and never into a directory twice.
#include "pe_tables.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>
#include <set>

#include "../utf8.h"

namespace tessaloom::formats {

namespace {

constexpr ByteOrder kLittle = ByteOrder::kLittle;

enum Directory : std::uint64_t {
    kResourceEntry = 2,
    kDebugEntry = 6,
    kTlsEntry = 9,
    kLoadConfigEntry = 10,
};

constexpr std::uint64_t kDebugEntrySize = 28;
constexpr std::uint64_t kMaxDebugEntries = 1024;
constexpr std::uint64_t kCodeView = 2;
constexpr NamedValue kDebugTypes[] = {
    {1, "coff"},
    {2, "codeview"},
    {3, "fpo"},
    {4, "misc"},
    {5, "exception"},
    {6, "fixup"},
    {7, "omap_to_src"},
    {8, "omap_from_src"},
    {9, "borland"},
    {10, "reserved10"},
    {11, "clsid"},
    {12, "vc_feature"},
    {13, "pogo"},
    {14, "iltcg"},
    {15, "mpx"},
    {16, "repro"},
    {17, "embedded_portable_pdb"},
    {19, "pdb_checksum"},
    {20, "ex_dllcharacteristics"},
};

constexpr NamedValue kResourceTypes[] = {
    {1, "RT_CURSOR"},      {2, "RT_BITMAP"},     {3, "RT_ICON"},          {4, "RT_MENU"},
    {5, "RT_DIALOG"},      {6, "RT_STRING"},     {7, "RT_FONTDIR"},       {8, "RT_FONT"},
    {9, "RT_ACCELERATOR"}, {10, "RT_RCDATA"},    {11, "RT_MESSAGETABLE"}, {12, "RT_GROUP_CURSOR"},
    {14, "RT_GROUP_ICON"}, {16, "RT_VERSION"},   {17, "RT_DLGINCLUDE"},   {19, "RT_PLUGPLAY"},
    {20, "RT_VXD"},        {21, "RT_ANICURSOR"}, {22, "RT_ANIICON"},      {23, "RT_HTML"},
    {24, "RT_MANIFEST"},
};
constexpr std::uint64_t kVersionType = 16;
constexpr std::uint64_t kManifestType = 24;
constexpr std::uint64_t kResourceDirectorySize = 16;
constexpr std::uint64_t kResourceEntrySize = 8;
constexpr std::uint64_t kResourceDataSize = 16;
constexpr std::uint64_t kHighBit = 0x80000000;
// Type, name, language.
constexpr std::size_t kResourceLevels = 3;

// A version resource is read whole up to this size.
constexpr std::uint64_t kMaxVersionSize = std::uint64_t{1} << 20;
constexpr std::uint64_t kFixedInfoSignature = 0xFEEF04BD;
constexpr std::uint64_t kFixedInfoSize = 52;

constexpr std::uint32_t kDans = 0x536E6144;
constexpr std::uint32_t kRich = 0x68636952;
// The Rich header is looked for in this much of what comes before the PE header.
constexpr std::uint64_t kRichSearch = std::uint64_t{64} << 10;
constexpr std::uint64_t kDosHeaderSize = 64;
constexpr std::uint64_t kLfanewOffset = 60;

constexpr std::uint64_t kMaxTlsCallbacks = 4096;

std::uint64_t align4(std::uint64_t value) {
    return (value + 3) & ~std::uint64_t{3};
}

std::uint32_t rotateLeft(std::uint32_t value, std::uint32_t by) {
    by &= 31;
    return by == 0 ? value : (value << by) | (value >> (32 - by));
}

std::uint64_t littleAt(ByteView bytes, std::uint64_t at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = width; i-- > 0;) {
        value = value << 8 | bytes[static_cast<std::size_t>(at) + i];
    }
    return value;
}

std::string hexDigits(std::uint64_t value, int width) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (int i = width; i-- > 0;) {
        text += kDigits[(value >> (4 * i)) & 0xF];
    }
    return text;
}

std::string dotted(std::uint64_t most, std::uint64_t least) {
    std::string text = decimal(most >> 16 & 0xFFFF);
    for (const std::uint64_t part : {most & 0xFFFF, least >> 16 & 0xFFFF, least & 0xFFFF}) {
        text += '.';
        text += decimal(part);
    }
    return text;
}

// The sum of the little-endian 16-bit words of bytes, an even number of them; on a
// little-endian machine four words at a time, in two 32-bit lanes that are folded before they
// can overflow.
std::uint64_t wordSum(ByteView bytes) {
    std::uint64_t total = 0;
    std::size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t kLanes = 0x0000FFFF0000FFFF;
        constexpr std::size_t kBlock = 8 * 16384;
        while (i + 8 <= bytes.size()) {
            std::uint64_t lanes = 0;
            const std::size_t end = std::min(bytes.size(), i + kBlock);
            for (; i + 8 <= end; i += 8) {
                std::uint64_t value = 0;
                std::memcpy(&value, bytes.data() + i, 8);
                lanes += (value & kLanes) + ((value >> 16) & kLanes);
            }
            total += (lanes & 0xFFFFFFFF) + (lanes >> 32);
        }
    }
    for (; i + 1 < bytes.size(); i += 2) {
        total += bytes[i] | std::uint64_t{bytes[i + 1]} << 8;
    }
    return total;
}

class PeTables {
  public:
    PeTables(Decoding& decoding, const PeLayout& layout)
        : d_(decoding), bytes_(decoding.bytes), layout_(layout) {}

    void read() {
        readChecksum();
        readRichHeader();
        readDebug();
        readResources();
        readLoadInfo();
        readOverlayArchive();
    }

  private:
    void readChecksum();
    void readRichHeader();
    void readDebug();
    void readCodeView(PeDebugInfo& entry, std::uint64_t at, std::uint64_t size);
    void readResources();
    // The name of a resource directory entry: its text, or empty with id set.
    std::string resourceName(std::uint64_t base, std::uint64_t limit, std::uint64_t name,
                             std::optional<std::uint64_t>& id);
    // Reads the version resource and the manifest among the resources.
    void finishResources();
    void readVersion(const PeResourceInfo& resource);
    void readManifest(const PeResourceInfo& resource);
    void readLoadInfo();
    void readOverlayArchive();

    Decoding& d_;
    Bytes& bytes_;
    const PeLayout& layout_;
};

void PeTables::readChecksum() {
    if (!layout_.checksumOffset) {
        return;
    }
    d_.report.checksum = {*layout_.checksumOffset, layout_.storedChecksum, std::nullopt};
}

void PeTables::readRichHeader() {
    const std::uint64_t end = std::min({layout_.peOffset, kRichSearch, bytes_.size()});
    if (end < kDosHeaderSize + 16) {
        return;
    }
    ByteBuffer stub(static_cast<std::size_t>(end));
    if (!bytes_.read(0, stub)) {
        return;
    }
    const auto word = [&stub](std::uint64_t at) {
        return static_cast<std::uint32_t>(littleAt(stub, at, 4));
    };
    std::uint64_t rich = kDosHeaderSize;
    for (; rich + 8 <= end; rich += 4) {
        if (word(rich) == kRich) {
            break;
        }
    }
    if (rich + 8 > end) {
        return;
    }
    const std::uint32_t key = word(rich + 4);
    std::uint64_t dans = rich;
    while (dans >= kDosHeaderSize + 4 && (word(dans - 4) ^ key) != kDans) {
        dans -= 4;
    }
    if (dans < kDosHeaderSize + 4) {
        d_.warn("A Rich signature at " + hex(rich) + " without the DanS that starts its header");
        return;
    }
    dans -= 4;
    RichHeaderInfo info;
    info.offset = dans;
    info.size = rich + 8 - dans;
    info.key = key;
    if (rich - dans < 16 || word(dans + 4) != key || word(dans + 8) != key ||
        word(dans + 12) != key) {
        d_.warn("The Rich header at " + hex(dans) + " lacks the padding after DanS");
    }
    std::uint32_t checksum = static_cast<std::uint32_t>(dans);
    for (std::uint64_t i = 0; i < dans; ++i) {
        if (i < kLfanewOffset || i >= kLfanewOffset + 4) {
            checksum +=
                rotateLeft(stub[static_cast<std::size_t>(i)], static_cast<std::uint32_t>(i));
        }
    }
    for (std::uint64_t at = dans + 16; at + 8 <= rich; at += 8) {
        const std::uint32_t id = word(at) ^ key;
        const std::uint32_t count = word(at + 4) ^ key;
        checksum += rotateLeft(id, count);
        info.entries.push_back({id >> 16, id & 0xFFFF, count});
    }
    info.computed = checksum;
    d_.report.richHeader = std::move(info);
}

void PeTables::readDebug() {
    const auto directory = layout_.directory(kDebugEntry);
    if (!directory) {
        return;
    }
    const auto [rva, size] = *directory;
    d_.report.debug.emplace();
    const std::optional<std::uint64_t> start = layout_.fileOffset(rva);
    if (!start) {
        d_.warn("The debug directory at RVA " + hex(rva) + " is not in the file");
        return;
    }
    std::uint64_t count = size / kDebugEntrySize;
    const std::uint64_t room =
        *start < bytes_.size() ? (bytes_.size() - *start) / kDebugEntrySize : 0;
    if (count > room) {
        d_.warn("The debug directory (" + decimal(count) + " entries at " + hex(*start) +
                ") runs past the end of the file");
        count = room;
    }
    if (count > kMaxDebugEntries) {
        d_.warn("The debug directory counts " + decimal(count) + " entries; only " +
                decimal(kMaxDebugEntries) + " are read");
        count = kMaxDebugEntries;
    }
    for (std::uint64_t i = 0; i < count; ++i) {
        std::array<std::uint8_t, kDebugEntrySize> raw{};
        if (!bytes_.read(*start + i * kDebugEntrySize, raw)) {
            break;
        }
        PeDebugInfo entry;
        entry.timestamp = littleAt(raw, 4, 4);
        entry.typeNumber = littleAt(raw, 12, 4);
        entry.size = littleAt(raw, 16, 4);
        entry.address = littleAt(raw, 20, 4);
        entry.offset = littleAt(raw, 24, 4);
        const std::string_view name = nameOf(kDebugTypes, entry.typeNumber);
        entry.type = name.empty() ? "unknown " + decimal(entry.typeNumber) : std::string(name);
        if (entry.typeNumber == kCodeView && entry.size > 0) {
            std::optional<std::uint64_t> at;
            if (entry.offset != 0) {
                at = entry.offset;
            } else if (entry.address != 0) {
                at = layout_.fileOffset(entry.address);
            }
            if (!at || !bytes_.holds(*at, entry.size)) {
                d_.warn("The CodeView data of a debug entry (" + decimal(entry.size) +
                        " bytes at " + hex(at.value_or(entry.offset)) + ") is not in the file");
            } else {
                readCodeView(entry, *at, entry.size);
            }
        }
        d_.report.debug->push_back(std::move(entry));
    }
}

void PeTables::readCodeView(PeDebugInfo& entry, std::uint64_t at, std::uint64_t size) {
    // RSDS: signature, GUID, age, path; NB10: signature, offset, time stamp, age, path.
    std::array<std::uint8_t, 24> head{};
    const std::size_t headSize = size >= 24 ? 24 : size >= 16 ? 16 : 0;
    if (headSize == 0 || !bytes_.read(at, std::span(head).first(headSize))) {
        return;
    }
    std::uint64_t pathAt = 0;
    if (headSize == 24 &&
        std::ranges::equal(std::span(head).first(4), std::string_view("RSDS"), {}, {},
                           [](char c) { return static_cast<std::uint8_t>(c); })) {
        entry.codeViewFormat = "RSDS";
        std::string guid = "{" + hexDigits(littleAt(head, 4, 4), 8) + "-" +
                           hexDigits(littleAt(head, 8, 2), 4) + "-" +
                           hexDigits(littleAt(head, 10, 2), 4) + "-";
        for (std::size_t i = 12; i < 20; ++i) {
            guid += hexDigits(head[i], 2);
            if (i == 13) {
                guid += '-';
            }
        }
        guid += '}';
        entry.guid = std::move(guid);
        entry.age = littleAt(head, 20, 4);
        pathAt = 24;
    } else if (std::ranges::equal(std::span(head).first(4), std::string_view("NB10"), {}, {},
                                  [](char c) { return static_cast<std::uint8_t>(c); })) {
        entry.codeViewFormat = "NB10";
        entry.age = littleAt(head, 12, 4);
        pathAt = 16;
    } else {
        return;
    }
    if (size > pathAt) {
        const auto length =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - pathAt, kMaxNameLength));
        entry.pdbPath = d_.text(at + pathAt, length, 2).value_or("");
    }
}

std::string PeTables::resourceName(std::uint64_t base, std::uint64_t limit, std::uint64_t name,
                                   std::optional<std::uint64_t>& id) {
    if ((name & kHighBit) == 0) {
        id = name & 0xFFFF;
        return {};
    }
    const std::uint64_t at = base + (name & ~kHighBit);
    const std::optional<std::uint64_t> length = bytes_.number(at, 2, kLittle);
    if (!length || at + 2 > limit) {
        d_.warn("A resource name at " + hex(at) + " is not in the resource section");
        return std::string(kNoName);
    }
    const std::uint64_t units =
        std::min<std::uint64_t>({*length, kMaxNameLength, (limit - at - 2) / 2});
    ByteBuffer raw(static_cast<std::size_t>(2 * units));
    if (!bytes_.read(at + 2, raw)) {
        return std::string(kNoName);
    }
    std::string text = utf16Text(raw);
    if (!d_.charge(2 * text.size())) {
        return std::string(kNoName);
    }
    return text;
}

void PeTables::readResources() {
    const auto directory = layout_.directory(kResourceEntry);
    if (!directory) {
        return;
    }
    const std::uint64_t rva = directory->first;
    d_.report.resources.emplace();
    const std::optional<std::uint64_t> base = layout_.fileOffset(rva);
    if (!base) {
        d_.warn("The resource directory at RVA " + hex(rva) + " is not in the file");
        return;
    }
    // Every directory, name and data entry of the tree lies in the section that holds its root.
    const std::uint64_t limit = std::min(layout_.mappedEnd(rva), bytes_.size());
    struct Pending {
        std::uint64_t at;
        std::size_t level;
        PeResourceInfo path;
    };
    std::vector<Pending> pending{{*base, 0, {}}};
    std::set<std::uint64_t> seen;
    // Each entry of a tree takes eight bytes of its own: directories that overlap, each read
    // once, cannot make more of them than the file has room for.
    const std::uint64_t mostEntries = std::min<std::uint64_t>(kMaxRows, bytes_.size() / 8);
    std::uint64_t entries = 0;
    bool loopWarned = false;
    bool deepWarned = false;
    while (!pending.empty()) {
        const Pending directoryAt = std::move(pending.back());
        pending.pop_back();
        if (!seen.insert(directoryAt.at).second) {
            if (!loopWarned) {
                loopWarned = true;
                d_.warn("A resource directory at " + hex(directoryAt.at) +
                        " is reached a second time: the tree loops, or shares it; it is read once");
            }
            continue;
        }
        std::array<std::uint8_t, kResourceDirectorySize> head{};
        if (directoryAt.at + kResourceDirectorySize > limit || !bytes_.read(directoryAt.at, head)) {
            d_.warn("A resource directory at " + hex(directoryAt.at) +
                    " is not in the resource section");
            continue;
        }
        std::uint64_t count = littleAt(head, 12, 2) + littleAt(head, 14, 2);
        const std::uint64_t first = directoryAt.at + kResourceDirectorySize;
        if (first + count * kResourceEntrySize > limit) {
            d_.warn("The resource directory at " + hex(directoryAt.at) + " counts " +
                    decimal(count) + " entries, past the end of its section");
            count = (limit - first) / kResourceEntrySize;
        }
        // In reverse, so that the stack hands them out in order.
        std::vector<Pending> children;
        for (std::uint64_t i = 0; i < count; ++i) {
            if (entries++ == mostEntries) {
                d_.warn("More than " + decimal(mostEntries) +
                        " resource entries; the rest are left out");
            }
            if (entries > mostEntries || d_.spent()) {
                return finishResources();
            }
            std::array<std::uint8_t, kResourceEntrySize> raw{};
            if (!bytes_.read(first + i * kResourceEntrySize, raw)) {
                break;
            }
            const std::uint64_t name = littleAt(raw, 0, 4);
            const std::uint64_t target = littleAt(raw, 4, 4);
            PeResourceInfo path = directoryAt.path;
            std::optional<std::uint64_t> id;
            std::string text = resourceName(*base, limit, name, id);
            if (directoryAt.level == 0) {
                path.typeId = id;
                const std::string_view standard = id ? nameOf(kResourceTypes, *id) : "";
                path.type = id ? (standard.empty() ? decimal(*id) : std::string(standard)) : text;
            } else if (directoryAt.level == 1) {
                path.nameId = id;
                path.name = id ? decimal(*id) : text;
            } else {
                path.language = id.value_or(0);
            }
            const std::uint64_t at = *base + (target & ~kHighBit);
            if ((target & kHighBit) != 0) {
                if (directoryAt.level + 1 >= kResourceLevels) {
                    if (!deepWarned) {
                        deepWarned = true;
                        d_.warn("The resource tree is more than " + decimal(kResourceLevels) +
                                " levels deep; the deeper directories are left out");
                    }
                    continue;
                }
                children.push_back({at, directoryAt.level + 1, std::move(path)});
                continue;
            }
            if (directoryAt.level + 1 != kResourceLevels) {
                d_.warn("A resource at level " + decimal(directoryAt.level + 1) +
                        " of the tree, not under a type, name and language, is left out");
                continue;
            }
            std::array<std::uint8_t, kResourceDataSize> data{};
            if (at + kResourceDataSize > limit || !bytes_.read(at, data)) {
                d_.warn("A resource data entry at " + hex(at) + " is not in the resource section");
                continue;
            }
            path.address = littleAt(data, 0, 4);
            path.size = littleAt(data, 4, 4);
            path.codePage = littleAt(data, 8, 4);
            path.offset = layout_.fileOffset(path.address);
            d_.report.resources->push_back(std::move(path));
        }
        std::move(children.rbegin(), children.rend(), std::back_inserter(pending));
    }
    finishResources();
}

void PeTables::finishResources() {
    for (const PeResourceInfo& resource : *d_.report.resources) {
        if (resource.typeId == kVersionType && !d_.report.versionInfo) {
            readVersion(resource);
        } else if (resource.typeId == kManifestType && !d_.report.manifest) {
            readManifest(resource);
        }
    }
}

// One block of a version resource: a length, the length of its value, its type (1 for text), a
// key, the value and the blocks inside it, each at a multiple of four bytes.
struct VersionBlock {
    std::uint64_t end = 0;
    std::uint64_t valueAt = 0;
    std::uint64_t valueEnd = 0;
    std::uint64_t childrenAt = 0;
    std::string key;
};

std::optional<VersionBlock> versionBlock(ByteView data, std::uint64_t at, std::uint64_t limit) {
    if (at + 6 > limit) {
        return std::nullopt;
    }
    const std::uint64_t length = littleAt(data, at, 2);
    const std::uint64_t valueLength = littleAt(data, at + 2, 2);
    const std::uint64_t type = littleAt(data, at + 4, 2);
    if (length < 6 || length > limit - at) {
        return std::nullopt;
    }
    VersionBlock block;
    block.end = at + length;
    std::uint64_t keyEnd = at + 6;
    while (keyEnd + 2 <= block.end && littleAt(data, keyEnd, 2) != 0) {
        keyEnd += 2;
    }
    block.key = utf16Text(
        data.subspan(static_cast<std::size_t>(at + 6), static_cast<std::size_t>(keyEnd - at - 6)));
    block.valueAt = std::min(align4(keyEnd + 2), block.end);
    block.valueEnd =
        std::min(block.valueAt + (type == 1 ? 2 * valueLength : valueLength), block.end);
    block.childrenAt = std::min(align4(block.valueEnd), block.end);
    return block;
}

void PeTables::readVersion(const PeResourceInfo& resource) {
    if (!resource.offset || !bytes_.holds(*resource.offset, resource.size)) {
        d_.warn("The version resource (" + decimal(resource.size) + " bytes at RVA " +
                hex(resource.address) + ") is not in the file");
        return;
    }
    if (resource.size > kMaxVersionSize) {
        d_.warn("The version resource's size (" + decimal(resource.size) + ") is past " +
                decimal(kMaxVersionSize) + " bytes; it is not read");
        return;
    }
    ByteBuffer data(static_cast<std::size_t>(resource.size));
    if (!bytes_.read(*resource.offset, data)) {
        return;
    }
    PeVersionInfo info;
    const std::optional<VersionBlock> root = versionBlock(data, 0, data.size());
    if (!root || root->key != "VS_VERSION_INFO") {
        d_.warn("The version resource at " + hex(*resource.offset) +
                " does not start with a VS_VERSION_INFO block that fits it");
        d_.report.versionInfo = std::move(info);
        return;
    }
    if (root->valueEnd - root->valueAt >= kFixedInfoSize &&
        littleAt(data, root->valueAt, 4) == kFixedInfoSignature) {
        info.fileVersion =
            dotted(littleAt(data, root->valueAt + 8, 4), littleAt(data, root->valueAt + 12, 4));
        info.productVersion =
            dotted(littleAt(data, root->valueAt + 16, 4), littleAt(data, root->valueAt + 20, 4));
    }
    bool warned = false;
    const auto children = [&](const VersionBlock& parent, auto each) {
        for (std::uint64_t at = parent.childrenAt; at + 6 <= parent.end;) {
            const std::optional<VersionBlock> child = versionBlock(data, at, parent.end);
            if (!child) {
                if (!warned) {
                    warned = true;
                    d_.warn("A block of the version resource at " + hex(*resource.offset + at) +
                            " has a length that does not fit its parent; the rest is left out");
                }
                return;
            }
            each(*child);
            at = align4(child->end);
        }
    };
    children(*root, [&](const VersionBlock& fileInfo) {
        if (fileInfo.key != "StringFileInfo") {
            return;
        }
        children(fileInfo, [&](const VersionBlock& table) {
            children(table, [&](const VersionBlock& text) {
                if (info.strings.size() >= kMaxRows || !d_.charge(text.key.size())) {
                    return;
                }
                std::uint64_t end = text.valueAt;
                while (end + 2 <= text.end && littleAt(data, end, 2) != 0) {
                    end += 2;
                }
                std::string value =
                    utf16Text(ByteView(data).subspan(static_cast<std::size_t>(text.valueAt),
                                                     static_cast<std::size_t>(end - text.valueAt)));
                if (!d_.charge(2 * value.size() + table.key.size())) {
                    return;
                }
                info.strings.push_back({table.key, text.key, std::move(value)});
            });
        });
    });
    d_.report.versionInfo = std::move(info);
}

void PeTables::readManifest(const PeResourceInfo& resource) {
    if (!resource.offset || !bytes_.holds(*resource.offset, resource.size)) {
        d_.warn("The manifest (" + decimal(resource.size) + " bytes at RVA " +
                hex(resource.address) + ") is not in the file");
        return;
    }
    ByteBuffer data(static_cast<std::size_t>(std::min(resource.size, kShownManifest)));
    if (!bytes_.read(*resource.offset, data)) {
        return;
    }
    std::size_t at =
        data.size() >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF ? 3 : 0;
    std::string text;
    while (at < data.size()) {
        const auto end = static_cast<std::size_t>(
            std::find(data.begin() + static_cast<std::ptrdiff_t>(at), data.end(), '\n') -
            data.begin());
        std::size_t lineEnd = end;
        if (lineEnd > at && data[lineEnd - 1] == '\r') {
            --lineEnd;
        }
        text += safeText(ByteView(data).subspan(at, lineEnd - at));
        if (end < data.size()) {
            text += '\n';
        }
        at = end + 1;
    }
    d_.report.manifest = std::move(text);
    d_.report.manifestSize = resource.size;
}

void PeTables::readLoadInfo() {
    const std::uint64_t word = layout_.pointerSize;
    const auto tls = layout_.directory(kTlsEntry);
    const auto config = layout_.directory(kLoadConfigEntry);
    if (!tls && !config) {
        return;
    }
    PeLoadInfo info;
    if (tls) {
        const std::optional<std::uint64_t> at = layout_.fileOffset(tls->first);
        const std::optional<std::uint64_t> callbacks =
            at ? bytes_.number(*at + 3 * word, static_cast<std::size_t>(word), kLittle)
               : std::nullopt;
        if (!callbacks) {
            d_.warn("The TLS directory at RVA " + hex(tls->first) + " is not in the file");
        } else if (*callbacks != 0) {
            const std::optional<std::uint64_t> list =
                *callbacks >= layout_.imageBase ? layout_.fileOffset(*callbacks - layout_.imageBase)
                                                : std::nullopt;
            for (std::uint64_t i = 0;; ++i) {
                const std::optional<std::uint64_t> callback =
                    list ? bytes_.number(*list + i * word, static_cast<std::size_t>(word), kLittle)
                         : std::nullopt;
                if (!callback) {
                    d_.warn("The TLS callbacks at " + hex(*callbacks) +
                            " are not in the file, or not ended by 0");
                    break;
                }
                if (*callback == 0) {
                    break;
                }
                if (i == kMaxTlsCallbacks) {
                    d_.warn("More than " + decimal(kMaxTlsCallbacks) +
                            " TLS callbacks; the rest are left out");
                    break;
                }
                info.tlsCallbacks.push_back(*callback);
            }
        }
    }
    if (config) {
        const std::optional<std::uint64_t> at = layout_.fileOffset(config->first);
        const std::optional<std::uint64_t> size =
            at ? bytes_.number(*at, 4, kLittle) : std::nullopt;
        if (!size) {
            d_.warn("The load configuration at RVA " + hex(config->first) + " is not in the file");
        } else {
            info.configSize = size;
            const bool wide = word == 8;
            // Where each field lies in the structure of each kind, and its width.
            const auto field = [&](std::uint64_t narrow, std::uint64_t wideAt,
                                   std::uint64_t width) {
                const std::uint64_t offset = wide ? wideAt : narrow;
                if (offset + width > *size) {
                    return std::optional<std::uint64_t>();
                }
                return bytes_.number(*at + offset, static_cast<std::size_t>(width), kLittle);
            };
            info.securityCookie = field(0x3C, 0x58, word);
            info.sehTable = field(0x40, 0x60, word);
            info.sehCount = field(0x44, 0x68, word);
            info.guardCheck = field(0x48, 0x70, word);
            info.guardFunctionTable = field(0x50, 0x80, word);
            info.guardFunctionCount = field(0x54, 0x88, word);
            info.guardFlags = field(0x58, 0x90, 4);
        }
    }
    d_.report.loadInfo = std::move(info);
}

void PeTables::readOverlayArchive() {
    const std::uint64_t start =
        std::max(std::min(layout_.headersSize, bytes_.size()), layout_.sectionsEnd);
    if (start == 0 || start >= bytes_.size()) {
        return;
    }
    StructureReport scratch;
    Decoding zip(bytes_, scratch, false);
    if (!decodeZip(zip)) {
        return;
    }
    zip.finish();
    const auto end = std::ranges::find(
        scratch.fields, std::string_view("End of central directory record"), &StructField::name);
    if (end == scratch.fields.end() || end->offset < start || !scratch.entries) {
        return;
    }
    d_.report.overlayArchive.emplace();
    for (const ZipEntryInfo& entry : *scratch.entries) {
        if (entry.offset < start || !d_.charge(entry.name.size())) {
            continue;
        }
        d_.report.overlayArchive->push_back(
            {entry.name, entry.size, renderValue(Render::kDosDate, entry.dosDate),
             renderValue(Render::kDosTime, entry.dosTime).substr(0, 5)});
    }
    for (const std::string& warning : scratch.warnings) {
        if (!warning.ends_with("offsets are taken from where it starts")) {
            d_.warn("In the appended archive: " + warning);
        }
    }
}

}  // namespace

std::optional<std::uint64_t> PeLayout::fileOffset(std::uint64_t rva) const {
    for (const PeSectionPlace& place : places) {
        const std::uint64_t span = std::max(place.virtualSize, place.rawSize);
        if (rva >= place.address && rva - place.address < span) {
            const std::uint64_t delta = rva - place.address;
            if (delta < place.rawSize) {
                return place.offset + delta;
            }
            return std::nullopt;
        }
    }
    if (rva < headersSize || places.empty()) {
        return rva;
    }
    return std::nullopt;
}

std::uint64_t PeLayout::mappedEnd(std::uint64_t rva) const {
    for (const PeSectionPlace& place : places) {
        const std::uint64_t span = std::max(place.virtualSize, place.rawSize);
        if (rva >= place.address && rva - place.address < span) {
            return rva - place.address < place.rawSize ? place.offset + place.rawSize : 0;
        }
    }
    if (places.empty()) {
        return UINT64_MAX;
    }
    return rva < headersSize ? headersSize : 0;
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> PeLayout::directory(
    std::uint64_t index) const {
    if (index >= directoryCount || directories[index].first == 0) {
        return std::nullopt;
    }
    return directories[index];
}

void readPeTables(Decoding& decoding, const PeLayout& layout) {
    PeTables(decoding, layout).read();
}

void PeChecksum::add(ByteView piece) {
    const std::size_t length = piece.size();
    for (std::size_t i = 0; i < length;) {
        const std::uint64_t position = at_ + i;
        const bool nearField = position < field_ + 4 && position + 16 > field_;
        if ((position & 1) != 0 || nearField || length - i < 16) {
            if (position - field_ >= 4) {
                sum_ += std::uint64_t{piece[i]} << (8 * (position & 1));
            }
            ++i;
            continue;
        }
        // A run of whole words up to the field or the end of the piece.
        std::size_t end = length;
        if (field_ > position) {
            end = static_cast<std::size_t>(std::min<std::uint64_t>(end, i + (field_ - position)));
        }
        const std::size_t run = (end - i) & ~std::size_t{1};
        sum_ += wordSum(piece.subspan(i, run));
        i += run;
    }
    // 2^32 is 1 in the sum's arithmetic, as 2^16 is.
    sum_ = (sum_ & 0xFFFFFFFF) + (sum_ >> 32);
    at_ += length;
}

std::uint64_t PeChecksum::value() const {
    std::uint64_t sum = sum_;
    while ((sum >> 16) != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return (sum + at_) & 0xFFFFFFFF;
}

std::optional<std::uint64_t> peChecksum(Bytes& bytes, std::uint64_t fieldOffset,
                                        std::size_t pieceSize,
                                        const std::function<void(std::uint64_t)>& read) {
    const std::uint64_t size = bytes.size();
    ByteBuffer piece(std::max<std::size_t>(
        1, static_cast<std::size_t>(std::min<std::uint64_t>(pieceSize, size))));
    PeChecksum checksum(fieldOffset);
    for (std::uint64_t at = 0; at < size;) {
        const auto length =
            static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), size - at));
        const std::span<std::uint8_t> into = std::span(piece).first(length);
        if (!bytes.read(at, into)) {
            return std::nullopt;
        }
        checksum.add(into);
        at += length;
        if (read) {
            read(at);
        }
    }
    return checksum.value();
}

std::string utf16Text(ByteView units) {
    std::string text;
    appendUtf16(text, units, false);
    return escapedText(text);
}

}  // namespace tessaloom::formats
