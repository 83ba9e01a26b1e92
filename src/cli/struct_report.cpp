#include "struct_report.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "console.h"
#include "json.h"

namespace tessaloom::cli {

namespace {

// --- Text -------------------------------------------------------------------------------------

std::string hexDigits(std::uint64_t value, std::size_t width) {
    std::array<char, 17> digits{};
    const auto [end, error] = std::to_chars(digits.data(), digits.data() + 16, value, 16);
    std::string text(digits.data(), end);
    return std::string(width > text.size() ? width - text.size() : 0, '0') + text;
}

std::string padded(std::string text, std::size_t width) {
    text.resize(std::max(width, text.size()), ' ');
    return text;
}

std::string rightAligned(const std::string& text, std::size_t width) {
    return std::string(width > text.size() ? width - text.size() : 0, ' ') + text;
}

std::string entropyText(const std::optional<double>& entropy) {
    if (!entropy) {
        return "-";
    }
    return fixedDecimals(*entropy, 3);
}

// The fields inside field: its own, or those read for it into holder where they were deferred (an
// archive of many entries), which go once they are written.
const std::vector<StructField>& innerFields(const StructField& field, const FieldReader& read,
                                            std::vector<StructField>& holder) {
    if (field.deferred == 0 || !read) {
        return field.fields;
    }
    holder = read(field);
    return holder;
}

// The symbols of a table are read from the file this many at a time where it deferred them.
constexpr std::uint64_t kSymbolBatch = 4096;

// Calls each with every symbol of table in order: those it holds, or those read for it a batch at
// a time, which go once they are written.
template <typename Each>
void forEachSymbol(const SymbolTableInfo& table, const SymbolReader& read, Each each) {
    if (!table.deferred) {
        for (const SymbolInfo& symbol : table.symbols) {
            each(symbol);
        }
        return;
    }
    if (!read) {
        return;
    }
    std::uint64_t charged = 0;
    for (std::uint64_t first = 0; first < table.count; first += kSymbolBatch) {
        for (const SymbolInfo& symbol : read(table, first, kSymbolBatch, charged)) {
            each(symbol);
        }
    }
}

// name@version, or name@@version for the version a defined symbol has by default.
std::string versionedName(const SymbolInfo& symbol) {
    if (symbol.version.empty()) {
        return symbol.name;
    }
    return symbol.name + (symbol.defaultVersion ? "@@" : "@") + symbol.version;
}

std::string versionFlags(std::uint64_t flags) {
    static constexpr std::pair<std::uint64_t, std::string_view> kNames[] = {
        {1, "BASE"}, {2, "WEAK"}, {4, "INFO"}};
    std::string text;
    for (const auto& [bit, name] : kNames) {
        if ((flags & bit) != 0) {
            text += (text.empty() ? "" : " | ") + std::string(name);
        }
    }
    if ((flags & ~std::uint64_t{7}) != 0) {
        text += (text.empty() ? "0x" : " | 0x") + hexDigits(flags & ~std::uint64_t{7}, 0);
    }
    return text.empty() ? "none" : text;
}

// How much of a report is gathered before it goes to the sink: a report of many rows (an
// archive of many entries) goes out as it is written, never held whole.
constexpr std::size_t kPieceSize = 64 << 10;

// Writes lines, which go to the sink a piece of whole lines at a time.
class TextWriter {
  public:
    TextWriter(const StructureReport& report, const TextSink& sink, const FieldReader& read,
               const SymbolReader& symbols)
        : report_(report), sink_(sink), read_(read), symbols_(symbols) {
        offsetWidth_ = std::max<std::size_t>(hexDigits(report.size, 0).size(), 8);
        addressWidth_ = report.format == "ELF64" ? 16 : 8;
    }

    void write() {
        summary();
        fields();
        if (report_.checksum) {
            checksum();
        }
        if (report_.segments) {
            segments();
        }
        if (report_.sections) {
            sections();
        }
        if (report_.imports) {
            imports();
        }
        if (report_.exports) {
            exports();
        }
        peTables();
        if (report_.entries) {
            entries();
        }
        if (report_.chunks) {
            chunks();
        }
        if (report_.symbolTables) {
            for (const SymbolTableInfo& table : *report_.symbolTables) {
                symbols(table);
            }
        }
        if (report_.notes) {
            notes();
        }
        if (report_.versions) {
            versions();
        }
        if (report_.relocations) {
            relocations();
        }
        if (!report_.warnings.empty()) {
            heading("Warnings", report_.warnings.size());
            for (const std::string& warning : report_.warnings) {
                line("  " + warning);
            }
        }
        sink_(text_);
    }

  private:
    void line(const std::string& text) {
        text_ += text;
        text_ += '\n';
        if (text_.size() >= kPieceSize) {
            sink_(text_);
            text_.clear();
        }
    }
    void heading(const std::string& title, std::size_t count) {
        line("");
        line(title + " (" + std::to_string(count) + "):");
    }
    std::string offset(std::uint64_t value) const { return "0x" + hexDigits(value, offsetWidth_); }
    std::string address(std::uint64_t value) const {
        return "0x" + hexDigits(value, addressWidth_);
    }
    std::string fileOffsetOf(const std::optional<std::uint64_t>& value) const {
        return value ? offset(*value) : padded("-", offsetWidth_ + 2);
    }

    void summary() {
        line("File:         " + report_.path);
        line("Size:         " + std::to_string(report_.size) + " bytes");
        line("Format:       " + report_.format);
        if (report_.machine) {
            line("Machine:      " + *report_.machine);
        }
        if (report_.entryPoint) {
            line("Entry point:  0x" + hexDigits(*report_.entryPoint, 0) +
                 (report_.entryPointOffset
                      ? " (file offset 0x" + hexDigits(*report_.entryPointOffset, 0) + ")"
                      : ""));
        }
        if (report_.interpreter) {
            line("Interpreter:  " + *report_.interpreter);
        }
        if (report_.libraries && !report_.libraries->empty()) {
            std::string names;
            for (const std::string& library : *report_.libraries) {
                names += (names.empty() ? "" : ", ") + library;
            }
            line("Libraries:    " + names);
        }
    }

    void fields() {
        if (report_.fields.empty()) {
            return;
        }
        line("");
        line("Fields:");
        line("  " + padded("Offset", offsetWidth_ + 2) + "  " + rightAligned("Size", 10) + "  " +
             padded("Field", kNameWidth) + "  Value");
        for (const StructField& field : report_.fields) {
            fieldLine(field, 0);
        }
    }
    void fieldLine(const StructField& field, std::size_t depth) {
        const std::string name = std::string(2 * depth, ' ') + field.name;
        std::string row = "  " + offset(field.offset) + "  " +
                          rightAligned(std::to_string(field.size), 10) + "  " +
                          padded(name, kNameWidth);
        if (!field.value.empty()) {
            row += "  " + field.value;
        }
        row.erase(row.find_last_not_of(' ') + 1);
        line(row);
        std::vector<StructField> holder;
        for (const StructField& inner : innerFields(field, read_, holder)) {
            fieldLine(inner, depth + 1);
        }
    }

    std::size_t nameWidth(std::size_t shortest, std::size_t longest, auto names) const {
        std::size_t width = shortest;
        for (const std::string& name : names) {
            width = std::max(width, std::min(name.size(), longest));
        }
        return width;
    }

    void sections() {
        const auto& table = *report_.sections;
        heading("Sections", table.size());
        std::vector<std::string> names;
        for (const SectionInfo& section : table) {
            names.push_back(section.name);
        }
        const std::size_t width = nameWidth(4, 24, names);
        // "[Nr]" is as wide as the widest "[12]", and at least 4.
        const std::size_t numberWidth =
            std::max<std::size_t>(std::to_string(table.empty() ? 0 : table.size() - 1).size(), 2);
        const std::string number = "[Nr]" + std::string(numberWidth - 2, ' ');
        const bool elf = report_.format.starts_with("ELF");
        if (elf) {
            line("  " + number + " " + padded("Name", width) + "  " + padded("Type", 14) + "  " +
                 padded("Address", addressWidth_ + 2) + "  " + padded("Offset", offsetWidth_ + 2) +
                 "  " + padded("Size", offsetWidth_ + 2) + "  Flags  Entropy");
        } else {
            line("  " + number + " " + padded("Name", width) + "  " + padded("VirtAddr", 10) +
                 "  " + padded("VirtSize", 10) + "  " + padded("RawOffset", offsetWidth_ + 2) +
                 "  " + padded("RawSize", 10) + "  Entropy  Characteristics");
        }
        for (std::size_t i = 0; i < table.size(); ++i) {
            const SectionInfo& s = table[i];
            const std::string index =
                "[" + rightAligned(std::to_string(i), numberWidth) + "] " + padded(s.name, width);
            std::string row;
            if (elf) {
                row = "  " + index + "  " + padded(s.type, 14) + "  " + address(s.address) + "  " +
                      offset(s.offset) + "  " + offset(s.virtualSize) + "  " + padded(s.flags, 5) +
                      "  " + rightAligned(entropyText(s.entropy), 7);
            } else {
                row = "  " + index + "  0x" + hexDigits(s.address, 8) + "  0x" +
                      hexDigits(s.virtualSize, 8) + "  " + offset(s.offset) + "  0x" +
                      hexDigits(s.size, 8) + "  " + rightAligned(entropyText(s.entropy), 7) + "  " +
                      s.flags;
            }
            row.erase(row.find_last_not_of(' ') + 1);
            line(row);
        }
    }

    void segments() {
        const auto& table = *report_.segments;
        heading("Segments", table.size());
        line("  " + padded("Type", 14) + "  " + padded("Offset", offsetWidth_ + 2) + "  " +
             padded("Address", addressWidth_ + 2) + "  " + padded("FileSize", offsetWidth_ + 2) +
             "  " + padded("MemSize", addressWidth_ + 2) + "  Flags");
        for (const SegmentInfo& s : table) {
            line("  " + padded(s.type, 14) + "  " + offset(s.offset) + "  " + address(s.address) +
                 "  " + offset(s.size) + "  " + address(s.memorySize) + "  " + s.flags);
        }
    }

    void imports() {
        const auto& table = *report_.imports;
        std::size_t functions = 0;
        for (const ImportInfo& import : table) {
            functions += import.functions.size();
        }
        line("");
        line("Imports (" + std::to_string(table.size()) + " libraries, " +
             std::to_string(functions) + " functions):");
        for (const ImportInfo& import : table) {
            line("  " + import.library + " (" + (import.delayLoaded ? "delay-load, " : "") +
                 std::to_string(import.functions.size()) + ")");
            for (const std::string& function : import.functions) {
                line("    " + function);
            }
        }
    }

    void exports() {
        const auto& table = *report_.exports;
        heading("Exports", table.size());
        if (table.empty()) {
            return;
        }
        line("  Ordinal  RVA         " + padded("File offset", offsetWidth_ + 2) + "  Name");
        for (const ExportInfo& e : table) {
            std::string row = "  " + rightAligned(std::to_string(e.ordinal), 7) + "  0x" +
                              hexDigits(e.address, 8) + "  " + fileOffsetOf(e.offset) + "  " +
                              (e.name.empty() ? "(by ordinal)" : e.name);
            if (!e.forwarder.empty()) {
                row += " -> " + e.forwarder;
            }
            line(row);
        }
    }

    // The tables of a PE file beyond its imports and exports, each where the file has it.
    void peTables() {
        if (report_.richHeader) {
            richHeader();
        }
        if (report_.debug) {
            debug();
        }
        if (report_.resources) {
            resources();
        }
        if (report_.versionInfo) {
            versionInfo();
        }
        if (report_.manifest) {
            manifest();
        }
        if (report_.loadInfo) {
            loadInfo();
        }
        if (report_.overlayArchive) {
            overlayArchive();
        }
    }

    // After the fields, as the optional header's own: the bytes of the whole file, summed.
    void checksum() {
        const PeChecksumInfo& c = *report_.checksum;
        std::string row = "Checksum: 0x" + hexDigits(c.stored, 8) + " stored";
        if (c.computed) {
            row += ", 0x" + hexDigits(*c.computed, 8) + " computed";
            row += *c.computed == c.stored ? ": they match" : ": they differ";
        }
        line("");
        line(row);
    }

    void richHeader() {
        const RichHeaderInfo& r = *report_.richHeader;
        line("");
        line("Rich header (" + std::to_string(r.entries.size()) + " entries at " +
             offset(r.offset) + ", key 0x" + hexDigits(r.key, 8) +
             (r.computed == r.key
                  ? ", which its checksum matches):"
                  : ", 0x" + hexDigits(r.computed, 8) + " computed: they differ):"));
        if (r.entries.empty()) {
            return;
        }
        line("  Product  Build       Count");
        for (const RichHeaderInfo::Entry& e : r.entries) {
            line("  " + rightAligned(std::to_string(e.product), 7) + "  " +
                 rightAligned(std::to_string(e.build), 5) + "  " +
                 rightAligned(std::to_string(e.count), 10));
        }
    }

    void debug() {
        const auto& table = *report_.debug;
        heading("Debug directory", table.size());
        if (table.empty()) {
            return;
        }
        line("  " + padded("Type", 22) + "  " + padded("Offset", offsetWidth_ + 2) +
             "        Size  Details");
        for (const PeDebugInfo& d : table) {
            std::string details;
            if (!d.codeViewFormat.empty()) {
                details = d.codeViewFormat;
                if (!d.guid.empty()) {
                    details += " " + d.guid;
                }
                if (d.age) {
                    details += " age " + std::to_string(*d.age);
                }
                if (!d.pdbPath.empty()) {
                    details += " " + d.pdbPath;
                }
            }
            std::string row = "  " + padded(d.type, 22) + "  " + offset(d.offset) + "  " +
                              rightAligned(std::to_string(d.size), 10) + "  " + details;
            row.erase(row.find_last_not_of(' ') + 1);
            line(row);
        }
    }

    void resources() {
        const auto& table = *report_.resources;
        heading("Resources", table.size());
        if (table.empty()) {
            return;
        }
        std::vector<std::string> types;
        std::vector<std::string> names;
        for (const PeResourceInfo& r : table) {
            types.push_back(r.type);
            names.push_back(r.name);
        }
        const std::size_t typeWidth = nameWidth(4, 24, types);
        const std::size_t width = nameWidth(4, 24, names);
        line("  " + padded("Type", typeWidth) + "  " + padded("Name", width) + "  Language  " +
             padded("Offset", offsetWidth_ + 2) + "        Size");
        for (const PeResourceInfo& r : table) {
            line("  " + padded(r.type, typeWidth) + "  " + padded(r.name, width) + "  " +
                 rightAligned(std::to_string(r.language), 8) + "  " + fileOffsetOf(r.offset) +
                 "  " + rightAligned(std::to_string(r.size), 10));
        }
    }

    void versionInfo() {
        const PeVersionInfo& v = *report_.versionInfo;
        line("");
        line("Version information (" + std::to_string(v.strings.size()) + " strings):");
        if (!v.fileVersion.empty()) {
            line("  FileVersion     " + v.fileVersion);
            line("  ProductVersion  " + v.productVersion);
        }
        std::vector<std::string> keys;
        for (const PeVersionInfo::Text& t : v.strings) {
            keys.push_back(t.key);
        }
        const std::size_t width = nameWidth(3, 24, keys);
        for (const PeVersionInfo::Text& t : v.strings) {
            std::string row = "  " + t.table + "  " + padded(t.key, width) + "  " + t.value;
            row.erase(row.find_last_not_of(' ') + 1);
            line(row);
        }
    }

    void manifest() {
        const std::string& text = *report_.manifest;
        line("");
        std::string title = "Manifest (" + std::to_string(report_.manifestSize) + " bytes";
        if (report_.manifestSize > text.size() && report_.manifestSize > kShownManifest) {
            title += ", the first " + std::to_string(kShownManifest) + " shown";
        }
        line(title + "):");
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t end = std::min(text.find('\n', at), text.size());
            std::string row = "  " + text.substr(at, end - at);
            row.erase(row.find_last_not_of(' ') + 1);
            line(row);
            at = end + 1;
        }
    }

    void loadInfo() {
        const PeLoadInfo& l = *report_.loadInfo;
        line("");
        line("TLS callbacks (" + std::to_string(l.tlsCallbacks.size()) + "):");
        for (const std::uint64_t callback : l.tlsCallbacks) {
            line("  0x" + hexDigits(callback, addressWidth_));
        }
        if (!l.configSize) {
            return;
        }
        line("");
        line("Load configuration (" + std::to_string(*l.configSize) + " bytes):");
        const std::pair<const char*, const std::optional<std::uint64_t>*> rows[] = {
            {"SecurityCookie", &l.securityCookie},
            {"SEHandlerTable", &l.sehTable},
            {"SEHandlerCount", &l.sehCount},
            {"GuardCFCheckFunctionPointer", &l.guardCheck},
            {"GuardCFFunctionTable", &l.guardFunctionTable},
            {"GuardCFFunctionCount", &l.guardFunctionCount},
            {"GuardFlags", &l.guardFlags},
        };
        for (const auto& [name, value] : rows) {
            if (*value) {
                line("  " + padded(name, 28) + "  0x" + hexDigits(**value, 0));
            }
        }
    }

    void overlayArchive() {
        const auto& table = *report_.overlayArchive;
        heading("Archive in the overlay", table.size());
        line("      Length  Date        Time   Name");
        for (const OverlayEntryInfo& e : table) {
            line("  " + rightAligned(std::to_string(e.size), 10) + "  " + padded(e.date, 10) +
                 "  " + padded(e.time, 5) + "  " + e.name);
        }
    }

    void entries() {
        const auto& table = *report_.entries;
        heading("Entries", table.size());
        line("  " + padded("Offset", offsetWidth_ + 2) + "  " + padded("Method", 10) +
             "  Compressed            Size  CRC-32    Name");
        for (const ZipEntryInfo& e : table) {
            line("  " + offset(e.offset) + "  " + padded(e.method, 10) + "  " +
                 rightAligned(std::to_string(e.compressedSize), 10) + "  " +
                 rightAligned(std::to_string(e.size), 14) + "  " + hexDigits(e.crc32, 8) + "  " +
                 e.name + (e.dataDescriptor ? " (data descriptor)" : ""));
        }
    }

    void chunks() {
        const auto& table = *report_.chunks;
        heading("Chunks", table.size());
        line("  " + padded("Offset", offsetWidth_ + 2) + "  Type      Length  CRC");
        for (const PngChunkInfo& c : table) {
            line("  " + offset(c.offset) + "  " + padded(c.type, 4) + "  " +
                 rightAligned(std::to_string(c.length), 10) + "  " +
                 (!c.crcOk   ? "not checked"
                  : *c.crcOk ? "ok"
                             : "WRONG"));
        }
    }

    void symbols(const SymbolTableInfo& table) {
        heading("Symbols " + table.section, static_cast<std::size_t>(table.count));
        const std::size_t numberWidth =
            std::max<std::size_t>(std::to_string(table.count == 0 ? 0 : table.count - 1).size(), 3);
        line("  " + rightAligned("Num", numberWidth) + "  " + padded("Value", addressWidth_ + 2) +
             "  " + rightAligned("Size", 8) + "  " + padded("Type", 7) + "  " + padded("Bind", 6) +
             "  " + padded("Vis", 9) + "  " + padded("Section", 12) + "  Name");
        std::uint64_t number = 0;
        forEachSymbol(table, symbols_, [&](const SymbolInfo& s) {
            std::string row = "  " + rightAligned(std::to_string(number++), numberWidth) + "  " +
                              address(s.value) + "  " + rightAligned(std::to_string(s.size), 8) +
                              "  " + padded(s.type, 7) + "  " + padded(s.bind, 6) + "  " +
                              padded(s.visibility, 9) + "  " + padded(s.section, 12) + "  " +
                              versionedName(s);
            if (!s.demangled.empty()) {
                row += "  (" + s.demangled + ")";
            }
            row.erase(row.find_last_not_of(' ') + 1);
            line(row);
        });
    }

    void notes() {
        const auto& table = *report_.notes;
        heading("Notes", table.size());
        line("  " + padded("Offset", offsetWidth_ + 2) + "  " + padded("Section", 20) + "  " +
             padded("Owner", 8) + "  " + padded("Type", 22) + "  Description");
        for (const NoteInfo& n : table) {
            std::string row = "  " + offset(n.offset) + "  " + padded(n.section, 20) + "  " +
                              padded(n.owner, 8) + "  " + padded(n.typeName, 22) + "  " +
                              n.description;
            row.erase(row.find_last_not_of(' ') + 1);
            line(row);
        }
    }

    void versions() {
        const VersionsInfo& v = *report_.versions;
        heading("Version definitions", v.definitions.size());
        if (!v.definitions.empty()) {
            line("  Index  " + padded("Flags", 10) + "  Name");
        }
        for (const VersionDefinitionInfo& d : v.definitions) {
            std::string row = "  " + rightAligned(std::to_string(d.index), 5) + "  " +
                              padded(versionFlags(d.flags), 10) + "  " + d.name;
            for (const std::string& parent : d.parents) {
                row += (&parent == &d.parents.front() ? " (parents: " : ", ") + parent;
            }
            line(row + (d.parents.empty() ? "" : ")"));
        }
        std::size_t needed = 0;
        for (const VersionNeedInfo& need : v.requirements) {
            needed += need.versions.size();
        }
        line("");
        line("Version needs (" + std::to_string(v.requirements.size()) + " libraries, " +
             std::to_string(needed) + " versions):");
        for (const VersionNeedInfo& need : v.requirements) {
            line("  " + need.file + " (" + std::to_string(need.versions.size()) + ")");
            for (const VersionNeedInfo::Version& version : need.versions) {
                line("    " + rightAligned(std::to_string(version.index), 5) + "  " +
                     padded(versionFlags(version.flags), 10) + "  0x" + hexDigits(version.hash, 8) +
                     "  " + version.name);
            }
        }
    }

    void relocations() {
        const auto& table = *report_.relocations;
        heading("Relocation sections", table.size());
        std::vector<std::string> names;
        for (const RelocationInfo& r : table) {
            names.push_back(r.section);
        }
        const std::size_t width = nameWidth(7, 24, names);
        line("  " + padded("Section", width) + "  Type  " + padded("Offset", offsetWidth_ + 2) +
             "       Count  Applies to");
        for (const RelocationInfo& r : table) {
            std::string row = "  " + padded(r.section, width) + "  " + padded(r.type, 4) + "  " +
                              offset(r.offset) + "  " + rightAligned(std::to_string(r.count), 10) +
                              "  " + r.appliesTo;
            row.erase(row.find_last_not_of(' ') + 1);
            line(row);
        }
    }

    static constexpr std::size_t kNameWidth = 36;
    const StructureReport& report_;
    const TextSink& sink_;
    const FieldReader& read_;
    const SymbolReader& symbols_;
    std::string text_;
    std::size_t offsetWidth_ = 0;
    std::size_t addressWidth_ = 8;
};

// --- JSON -------------------------------------------------------------------------------------

// Builds objects and arrays, one member or element per line, indented by depth.
class JsonWriter {
  public:
    explicit JsonWriter(const TextSink& sink) : sink_(sink) {}
    void open(char bracket) {
        text_ += bracket;
        first_ = true;
        ++depth_;
    }
    void close(char bracket) {
        --depth_;
        if (!first_) {
            newline();
        }
        text_ += bracket;
        first_ = false;
    }
    // The start of the next member (key given) or element.
    void next(std::string_view key = {}) {
        if (!first_) {
            text_ += ',';
        }
        newline();
        first_ = false;
        if (!key.empty()) {
            text_ += jsonString(key) + ": ";
        }
    }
    void member(std::string_view key, const std::string& raw) {
        next(key);
        text_ += raw;
    }
    void element(const std::string& raw) {
        next();
        text_ += raw;
    }
    void string(std::string_view key, std::string_view value) { member(key, jsonString(value)); }
    void strings(std::string_view key, const std::vector<std::string>& values) {
        next(key);
        open('[');
        for (const std::string& value : values) {
            element(jsonString(value));
        }
        close(']');
    }
    // A number past 2^53 also as hex text under key + "_hex": readers that hold numbers as
    // doubles (JavaScript, jq) read it back wrong.
    void unsignedNumber(std::string_view key, std::uint64_t value) {
        member(key, std::to_string(value));
        if (value > kLargestExactDouble) {
            string(std::string(key) + "_hex", "0x" + hexDigits(value, 0));
        }
    }
    void boolean(std::string_view key, bool value) { member(key, value ? "true" : "false"); }
    void finish() {
        text_ += '\n';
        sink_(text_);
    }

  private:
    static constexpr std::uint64_t kLargestExactDouble = std::uint64_t{1} << 53;
    void newline() {
        // Between two members or elements: the pieces end at whole tokens.
        if (text_.size() >= kPieceSize) {
            sink_(text_);
            text_.clear();
        }
        text_ += '\n';
        text_.append(2 * depth_, ' ');
    }
    const TextSink& sink_;
    std::string text_;
    std::size_t depth_ = 0;
    bool first_ = true;
};

void writeField(JsonWriter& json, const StructField& field, const FieldReader& read) {
    json.next();
    json.open('{');
    json.string("name", field.name);
    json.unsignedNumber("offset", field.offset);
    json.unsignedNumber("size", field.size);
    if (field.number) {
        json.unsignedNumber("value", *field.number);
        if (field.value != std::to_string(*field.number)) {
            json.string("text", field.value);
        }
    } else {
        json.string("value", field.value);
    }
    json.next("fields");
    json.open('[');
    std::vector<StructField> holder;
    for (const StructField& inner : innerFields(field, read, holder)) {
        writeField(json, inner, read);
    }
    json.close(']');
    json.close('}');
}

// An array of objects under key, each written by one call of write.
template <typename Row, typename Write>
void table(JsonWriter& json, std::string_view key, const std::optional<std::vector<Row>>& rows,
           Write write) {
    if (!rows) {
        return;
    }
    json.next(key);
    json.open('[');
    for (const Row& row : *rows) {
        json.next();
        json.open('{');
        write(row);
        json.close('}');
    }
    json.close(']');
}

// The symbols of all tables, the notes, the versions and the relocation sections of an ELF file.
void writeElfTables(JsonWriter& json, const StructureReport& report, const SymbolReader& read) {
    if (report.symbolTables) {
        json.next("symbols");
        json.open('[');
        for (const SymbolTableInfo& table : *report.symbolTables) {
            forEachSymbol(table, read, [&](const SymbolInfo& s) {
                json.next();
                json.open('{');
                json.string("name", s.name);
                if (!s.demangled.empty() && s.demangled != s.name) {
                    json.string("demangled", s.demangled);
                }
                json.unsignedNumber("value", s.value);
                json.unsignedNumber("size", s.size);
                json.string("type", s.type);
                json.string("bind", s.bind);
                json.string("visibility", s.visibility);
                json.string("section", s.section);
                json.unsignedNumber("section_index", s.sectionIndex);
                if (!s.version.empty()) {
                    json.string("version", s.version);
                    json.boolean("default_version", s.defaultVersion);
                }
                json.string("table", table.table);
                json.close('}');
            });
        }
        json.close(']');
    }
    table(json, "notes", report.notes, [&json](const NoteInfo& n) {
        json.string("owner", n.owner);
        json.string("type", n.typeName);
        json.unsignedNumber("type_number", n.type);
        json.string("section", n.section);
        json.unsignedNumber("offset", n.offset);
        json.unsignedNumber("size", n.descriptionSize);
        json.string("description", n.description);
        if (!n.buildId.empty()) {
            json.string("build_id", n.buildId);
        }
    });
    if (report.versions) {
        json.next("versions");
        json.open('{');
        const std::optional definitions = report.versions->definitions;
        table(json, "definitions", definitions, [&json](const VersionDefinitionInfo& d) {
            json.unsignedNumber("index", d.index);
            json.string("flags", versionFlags(d.flags));
            json.string("name", d.name);
            json.strings("parents", d.parents);
        });
        const std::optional requirements = report.versions->requirements;
        table(json, "requirements", requirements, [&json](const VersionNeedInfo& need) {
            json.string("file", need.file);
            const std::optional versions = need.versions;
            table(json, "versions", versions, [&json](const VersionNeedInfo::Version& v) {
                json.string("name", v.name);
                json.unsignedNumber("index", v.index);
                json.string("flags", versionFlags(v.flags));
                json.unsignedNumber("hash", v.hash);
            });
        });
        json.close('}');
    }
    table(json, "relocations", report.relocations, [&json](const RelocationInfo& r) {
        json.string("section", r.section);
        json.string("type", r.type);
        json.unsignedNumber("offset", r.offset);
        json.unsignedNumber("count", r.count);
        if (!r.appliesTo.empty()) {
            json.string("applies_to", r.appliesTo);
        }
    });
}

// The checksum, debug entries, resources, version information, manifest, Rich header, TLS
// callbacks, load configuration and appended archive of a PE file.
void writePeTables(JsonWriter& json, const StructureReport& report) {
    if (report.checksum) {
        json.next("checksum");
        json.open('{');
        json.unsignedNumber("offset", report.checksum->offset);
        json.unsignedNumber("stored", report.checksum->stored);
        if (report.checksum->computed) {
            json.unsignedNumber("computed", *report.checksum->computed);
        } else {
            json.member("computed", "null");
        }
        json.close('}');
    }
    table(json, "debug", report.debug, [&json](const PeDebugInfo& d) {
        json.string("type", d.type);
        json.unsignedNumber("type_number", d.typeNumber);
        json.unsignedNumber("timestamp", d.timestamp);
        json.unsignedNumber("size", d.size);
        json.unsignedNumber("address", d.address);
        json.unsignedNumber("offset", d.offset);
        if (!d.codeViewFormat.empty()) {
            json.string("format", d.codeViewFormat);
            json.string("pdb_path", d.pdbPath);
            if (!d.guid.empty()) {
                json.string("guid", d.guid);
            }
            if (d.age) {
                json.unsignedNumber("age", *d.age);
            }
        }
    });
    table(json, "resources", report.resources, [&json](const PeResourceInfo& r) {
        if (r.typeId && r.type == std::to_string(*r.typeId)) {
            json.unsignedNumber("type", *r.typeId);
        } else {
            json.string("type", r.type);
        }
        if (r.typeId) {
            json.unsignedNumber("type_id", *r.typeId);
        }
        if (r.nameId) {
            json.unsignedNumber("name", *r.nameId);
        } else {
            json.string("name", r.name);
        }
        json.unsignedNumber("language", r.language);
        json.unsignedNumber("address", r.address);
        if (r.offset) {
            json.unsignedNumber("offset", *r.offset);
        } else {
            json.member("offset", "null");
        }
        json.unsignedNumber("size", r.size);
        json.unsignedNumber("code_page", r.codePage);
    });
    if (report.versionInfo) {
        json.next("version_info");
        json.open('{');
        if (!report.versionInfo->fileVersion.empty()) {
            json.string("file_version", report.versionInfo->fileVersion);
            json.string("product_version", report.versionInfo->productVersion);
        }
        const std::optional strings = report.versionInfo->strings;
        table(json, "strings", strings, [&json](const PeVersionInfo::Text& t) {
            json.string("table", t.table);
            json.string("key", t.key);
            json.string("value", t.value);
        });
        json.close('}');
    }
    if (report.manifest) {
        json.string("manifest", *report.manifest);
        json.unsignedNumber("manifest_size", report.manifestSize);
    }
    if (report.richHeader) {
        const RichHeaderInfo& r = *report.richHeader;
        json.next("rich_header");
        json.open('{');
        json.unsignedNumber("offset", r.offset);
        json.unsignedNumber("size", r.size);
        json.unsignedNumber("key", r.key);
        json.unsignedNumber("computed_checksum", r.computed);
        json.boolean("checksum_ok", r.computed == r.key);
        const std::optional entries = r.entries;
        table(json, "entries", entries, [&json](const RichHeaderInfo::Entry& e) {
            json.unsignedNumber("product", e.product);
            json.unsignedNumber("build", e.build);
            json.unsignedNumber("count", e.count);
        });
        json.close('}');
    }
    if (report.loadInfo) {
        const PeLoadInfo& l = *report.loadInfo;
        json.next("tls_callbacks");
        json.open('[');
        for (const std::uint64_t callback : l.tlsCallbacks) {
            json.element(std::to_string(callback));
        }
        json.close(']');
        if (l.configSize) {
            json.next("load_config");
            json.open('{');
            json.unsignedNumber("size", *l.configSize);
            const std::pair<const char*, const std::optional<std::uint64_t>*> rows[] = {
                {"security_cookie", &l.securityCookie},
                {"seh_handler_table", &l.sehTable},
                {"seh_handler_count", &l.sehCount},
                {"guard_cf_check_function", &l.guardCheck},
                {"guard_cf_function_table", &l.guardFunctionTable},
                {"guard_cf_function_count", &l.guardFunctionCount},
                {"guard_flags", &l.guardFlags},
            };
            for (const auto& [name, value] : rows) {
                if (*value) {
                    json.unsignedNumber(name, **value);
                }
            }
            json.close('}');
        }
    }
    table(json, "overlay_archive", report.overlayArchive, [&json](const OverlayEntryInfo& e) {
        json.unsignedNumber("length", e.size);
        json.string("date", e.date);
        json.string("time", e.time);
        json.string("name", e.name);
    });
}

}  // namespace

void writeStructureText(const StructureReport& report, const TextSink& sink,
                        const FieldReader& read, const SymbolReader& symbols) {
    TextWriter(report, sink, read, symbols).write();
}

std::string structureText(const StructureReport& report, const FieldReader& read,
                          const SymbolReader& symbols) {
    std::string text;
    writeStructureText(
        report, [&text](std::string_view piece) { text += piece; }, read, symbols);
    return text;
}

std::string structureJson(const StructureReport& report, const FieldReader& read,
                          const SymbolReader& symbols) {
    std::string text;
    writeStructureJson(
        report, [&text](std::string_view piece) { text += piece; }, read, symbols);
    return text;
}

void writeStructureJson(const StructureReport& report, const TextSink& sink,
                        const FieldReader& read, const SymbolReader& symbols) {
    JsonWriter json(sink);
    json.open('{');
    json.string("path", report.path);
    json.unsignedNumber("size", report.size);
    json.string("format", report.format);
    json.next("fields");
    json.open('[');
    for (const StructField& field : report.fields) {
        writeField(json, field, read);
    }
    json.close(']');
    if (report.machine) {
        json.string("machine", *report.machine);
    }
    if (report.entryPoint) {
        json.unsignedNumber("entry_point", *report.entryPoint);
    }
    if (report.entryPointOffset) {
        json.unsignedNumber("entry_point_offset", *report.entryPointOffset);
    }
    // An ELF section's size is its header's, as readelf shows it, also for one that has no bytes
    // in the file (.bss); file_size counts the bytes it has there.
    const bool elf = report.format.starts_with("ELF");
    table(json, "sections", report.sections, [&json, elf](const SectionInfo& s) {
        json.string("name", s.name);
        if (!s.type.empty()) {
            json.string("type", s.type);
        }
        json.unsignedNumber("offset", s.offset);
        json.unsignedNumber("size", elf ? s.virtualSize : s.size);
        if (elf) {
            json.unsignedNumber("file_size", s.size);
        }
        json.unsignedNumber("address", s.address);
        json.unsignedNumber("virtual_size", s.virtualSize);
        json.string("flags", s.flags);
        json.unsignedNumber("raw_flags", s.rawFlags);
        json.member("entropy", s.entropy ? jsonNumber(*s.entropy) : "null");
    });
    table(json, "segments", report.segments, [&json](const SegmentInfo& s) {
        json.string("type", s.type);
        json.unsignedNumber("offset", s.offset);
        json.unsignedNumber("size", s.size);
        json.unsignedNumber("address", s.address);
        json.unsignedNumber("memory_size", s.memorySize);
        json.string("flags", s.flags);
    });
    table(json, "imports", report.imports, [&json](const ImportInfo& i) {
        json.string("library", i.library);
        json.strings("functions", i.functions);
        json.boolean("delay_load", i.delayLoaded);
    });
    table(json, "exports", report.exports, [&json](const ExportInfo& e) {
        json.string("name", e.name);
        json.unsignedNumber("ordinal", e.ordinal);
        json.unsignedNumber("address", e.address);
        if (e.offset) {
            json.unsignedNumber("offset", *e.offset);
        }
        if (!e.forwarder.empty()) {
            json.string("forwarder", e.forwarder);
        }
    });
    table(json, "entries", report.entries, [&json](const ZipEntryInfo& e) {
        json.string("name", e.name);
        json.unsignedNumber("offset", e.offset);
        json.unsignedNumber("compressed_size", e.compressedSize);
        json.unsignedNumber("size", e.size);
        json.string("method", e.method);
        json.unsignedNumber("crc32", e.crc32);
        json.boolean("data_descriptor", e.dataDescriptor);
    });
    table(json, "chunks", report.chunks, [&json](const PngChunkInfo& c) {
        json.string("type", c.type);
        json.unsignedNumber("offset", c.offset);
        json.unsignedNumber("length", c.length);
        json.member("crc_ok", !c.crcOk ? "null" : *c.crcOk ? "true" : "false");
    });
    if (report.interpreter) {
        json.string("interpreter", *report.interpreter);
    }
    if (report.libraries) {
        json.strings("libraries", *report.libraries);
    }
    writeElfTables(json, report, symbols);
    writePeTables(json, report);
    json.strings("warnings", report.warnings);
    json.close('}');
    json.finish();
}

}  // namespace tessaloom::cli
