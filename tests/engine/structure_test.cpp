#include "engine/structure.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/chunked_file.h"
#include "engine/entropy.h"
#include "struct_report.h"

namespace tessaloom {
namespace {

struct Section {
    std::string name;
    std::uint32_t type;  // 1 PROGBITS, 8 NOBITS
    std::uint64_t offset;
    std::uint64_t size;
    std::uint32_t link = 0;
    std::uint32_t info = 0;
};

// An ELF file of the given class and byte order (machine 8, MIPS) holding content from byte 256
// on, the section name table after it and the section headers at the end: section 0, the given
// sections, then the name table.
ByteBuffer elfFile(bool is64, bool big, const ByteBuffer& content, std::vector<Section> sections) {
    ByteBuffer file(256);
    file.insert(file.end(), content.begin(), content.end());
    const auto put = [&file, big](std::size_t at, std::uint64_t value, std::size_t width) {
        for (std::size_t i = 0; i < width; ++i) {
            file[at + (big ? width - 1 - i : i)] = static_cast<std::uint8_t>(value >> (8 * i));
        }
    };
    std::string names(1, '\0');
    std::vector<std::uint64_t> nameAt;
    sections.push_back({".shstrtab", 3, file.size(), 0});
    for (const Section& section : sections) {
        nameAt.push_back(names.size());
        names += section.name + '\0';
    }
    sections.back().size = names.size();
    file.insert(file.end(), names.begin(), names.end());
    const std::size_t word = is64 ? 8 : 4;
    const std::size_t entry = is64 ? 64 : 40;
    const std::size_t table = file.size();
    file.resize(table + entry * (sections.size() + 1));
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const std::size_t at = table + entry * (i + 1);
        put(at, nameAt[i], 4);
        put(at + 4, sections[i].type, 4);
        put(at + 8 + 2 * word, sections[i].offset, word);
        put(at + 8 + 3 * word, sections[i].size, word);
        put(at + 8 + 4 * word, sections[i].link, 4);
        put(at + 12 + 4 * word, sections[i].info, 4);
    }
    const ByteBuffer ident{0x7F,
                           'E',
                           'L',
                           'F',
                           static_cast<std::uint8_t>(is64 ? 2 : 1),
                           static_cast<std::uint8_t>(big ? 2 : 1),
                           1};
    std::copy(ident.begin(), ident.end(), file.begin());
    put(16, 2, 2);                     // EXEC
    put(18, 8, 2);                     // MIPS
    put(is64 ? 40 : 32, table, word);  // e_shoff
    const std::size_t counts = is64 ? 58 : 46;
    put(counts, entry, 2);
    put(counts + 2, sections.size() + 1, 2);
    put(counts + 4, sections.size(), 2);  // the name table is last
    return file;
}

ByteBuffer mixedContent() {
    ByteBuffer content(3000);
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<std::uint8_t>((i * i) % 251 + (i > 1000 ? 3 : 0));
    }
    return content;
}

// Sections that overlap, one inside another, one reaching past the end and one without bytes.
const std::vector<Section> kSections = {{".a", 1, 256, 1500},  {".b", 1, 1000, 2000},
                                        {".c", 1, 1200, 100},  {".d", 8, 300, 5000},
                                        {".e", 1, 3000, 9000}, {".f", 1, 256, 0}};

TEST(StructureTest, SectionEntropiesAreThoseOfTheirBytes) {
    for (const bool is64 : {false, true}) {
        for (const bool big : {false, true}) {
            const ByteBuffer file = elfFile(is64, big, mixedContent(), kSections);
            SpanSource source(file);
            const StructureReport report = describeStructure(source, "elf");
            SCOPED_TRACE(report.format + (big ? " big-endian" : " little-endian"));
            EXPECT_EQ(report.format, is64 ? "ELF64" : "ELF32");
            EXPECT_EQ(report.machine, "MIPS R3000");
            ASSERT_TRUE(report.sections);
            ASSERT_EQ(report.sections->size(), kSections.size() + 2);
            for (std::size_t i = 0; i < kSections.size(); ++i) {
                const SectionInfo& section = (*report.sections)[i + 1];
                const Section& made = kSections[i];
                EXPECT_EQ(section.name, made.name);
                if (made.type == 8 || made.size == 0) {
                    EXPECT_FALSE(section.entropy) << made.name;
                    continue;
                }
                const std::uint64_t end =
                    std::min<std::uint64_t>(made.offset + made.size, file.size());
                ASSERT_TRUE(section.entropy) << made.name;
                EXPECT_EQ(*section.entropy,
                          computeEntropy(file.data() + made.offset, end - made.offset))
                    << made.name;
            }
            EXPECT_EQ(report.warnings,
                      std::vector<std::string>{"Section [5] .e (9000 bytes at 0xbb8) reaches past "
                                               "the end of the file"});
        }
    }
}

// The same report from bytes in memory, from a file read at any chunk size, and from a stream,
// which is copied aside first.
TEST(StructureTest, FileAndStreamGiveTheReportOfTheBytes) {
    const ByteBuffer file = elfFile(true, false, mixedContent(), kSections);
    SpanSource source(file);
    const StructureReport expected = describeStructure(source, "x");
    TemporaryFile temporary(file);
    for (const std::size_t size : kChunkSizes) {
        FileReader reader(temporary.path(), size);
        StructureReport report = describeStructure(reader);
        report.path = expected.path;
        EXPECT_TRUE(report == expected);
        FileReader stream("x", std::make_unique<StreamOf>(file, size));
        EXPECT_TRUE(describeStructure(stream) == expected);
    }
}

TEST(StructureTest, FieldsAtGivesTheInnermostField) {
    const ByteBuffer file = elfFile(true, false, mixedContent(), kSections);
    SpanSource source(file);
    const StructureReport report = describeStructure(source, "x");
    const auto names = [&report](std::uint64_t offset) {
        std::vector<std::string> chain;
        for (const StructField* field : fieldsAt(report.fields, offset)) {
            chain.push_back(field->name);
        }
        return chain;
    };
    const std::uint64_t table = file.size() - 64 * 8;
    using Names = std::vector<std::string>;
    EXPECT_EQ(names(19), (Names{"ELF header", "e_machine"}));
    EXPECT_EQ(names(5), (Names{"ELF header", "e_ident", "EI_DATA"}));
    EXPECT_EQ(names(table + 64 * 2 + 24), (Names{"Section headers", "[2] .b", "sh_offset"}));
    // .c lies inside .b and .a: the smallest wins.
    EXPECT_EQ(names(1250), (Names{"Section contents", ".c"}));
    EXPECT_EQ(names(100), Names{});
    EXPECT_EQ(names(file.size()), Names{});
}

// n little-endian bytes of value.
std::string le(std::uint64_t value, int n) {
    std::string bytes;
    for (int i = 0; i < n; ++i, value >>= 8) {
        bytes.push_back(static_cast<char>(value & 0xFF));
    }
    return bytes;
}

std::string times(int count, const std::string& text) {
    std::string all;
    while (count-- > 0) {
        all += text;
    }
    return all;
}

ByteBuffer withPieces(const std::vector<std::pair<std::size_t, std::string>>& pieces) {
    ByteBuffer file;
    for (const auto& [at, text] : pieces) {
        file.resize(std::max(file.size(), at + text.size()));
        std::copy(text.begin(), text.end(), file.begin() + static_cast<std::ptrdiff_t>(at));
    }
    return file;
}

// A PE32 without sections, so that addresses are offsets: 66 import descriptors share one table
// of 1000 thunks; each library and function is called name.
ByteBuffer sharedImports(const std::string& name) {
    return withPieces({{0, "MZ"},
                       {60, le(0x40, 4)},
                       {0x40, std::string("PE\0\0\x4C\x01", 6)},
                       {0x54, le(224, 2)},
                       {0x58, le(0x10B, 2)},
                       {0xB4, le(16, 4)},
                       {0xC0, le(0x200, 4)},
                       {0x742, name},
                       {0x200, times(66, le(0xB44, 4) + le(0, 8) + le(0x742, 4) + le(0xB44, 4))},
                       {0xB44, times(1000, le(0x740, 4)) + le(0, 4)}});
}

// An ELF64 whose dynamic section holds entries, a NULL entry and strings; its string table is
// at base (section 0, linked to the dynamic section).
ByteBuffer dynamicEntries(const std::string& entries, const std::string& strings,
                          std::uint64_t base = 0) {
    const std::string dynamic = entries + std::string(16, '\0') + strings;
    ByteBuffer file = elfFile(true, false, ByteBuffer(dynamic.begin(), dynamic.end()),
                              {{".dynamic", 6, 256, entries.size() + 16}});
    const std::string offset = le(base, 8);
    std::copy(offset.begin(), offset.end(), file.end() - 3 * 64 + 24);
    return file;
}

// An ELF64 whose count sections of one byte all share one name.
ByteBuffer sharedSectionNames(const std::string& name, std::size_t count) {
    std::vector<Section> sections(count, {"", 1, 256, 1});
    sections.front().name = name;
    ByteBuffer file = elfFile(true, false, ByteBuffer(1), sections);
    const std::size_t table = file.size() - 64 * (count + 2);
    for (std::size_t i = 1; i <= count; ++i) {
        file[table + 64 * i] = 1;  // the first name, after the NUL that starts the table
        file[table + 64 * i + 1] = 0;
    }
    return file;
}

// An ELF64 holding one section of the given type and contents, from byte 256 on, that claims
// info entries and links to section link (0, the empty one, by default).
ByteBuffer elfTable(const std::string& name, std::uint32_t type, const std::string& contents,
                    std::uint32_t info, std::uint64_t claimed = 0, std::uint32_t link = 0) {
    return elfFile(true, false, ByteBuffer(contents.begin(), contents.end()),
                   {{name, type, 256, claimed != 0 ? claimed : contents.size(), link, info}});
}

// Version definitions: one of 20 bytes (version 1, index 1, names names at aux, the next one at
// next bytes on).
std::string versionDefinition(std::uint64_t names, std::uint64_t aux, std::uint64_t next) {
    return le(1, 2) + le(0, 2) + le(1, 2) + le(names, 2) + le(0, 4) + le(aux, 4) + le(next, 4);
}

// An ELF64 whose symbol table of count empty symbols links to a string table of name alone, so
// that every symbol is called name.
ByteBuffer symbolsNamed(const std::string& name, std::size_t count) {
    const std::string strings = name + '\0';
    const std::string contents = strings + std::string(24 * count, '\0');
    return elfFile(true, false, ByteBuffer(contents.begin(), contents.end()),
                   {{".strtab", 3, 256, strings.size()},
                    {".symtab", 2, 256 + strings.size(), 24 * count, 1, 0}});
}

std::uint64_t occurrences(const std::string& text, const std::string& part) {
    std::uint64_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// A name shown for many rows, sums of offsets that wrap, CRCs not to be read, a header cut
// short: warnings, and a report in proportion to the file, whose names stay within 8 characters
// for each byte of the file and 64 KiB. A path of an overlong form, a surrogate and a character
// past U+10FFFF is valid JSON, with one U+FFFD for each byte that starts no character.
TEST(StructureTest, HostileFilesGiveWarningsAndReportsInProportion) {
    const std::string zip64 = "PK\x01\x02" + std::string(26, '\0') + le(12, 2) +
                              std::string(10, '\0') + le(0xFFFFFFFF, 4) + le(0x80001, 4) +
                              le(~std::uint64_t{7}, 8);
    const std::string png = std::string("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR", 16) +
                            std::string(17, '\0') + std::string("\0\0\0\0IEND\0\0\0\0", 12);
    const std::string emptyHeader =
        png.substr(0, 8) + std::string("\0\0\0\0IHDR\0\0\0\0", 12) + png.substr(33);
    const std::string xff(1023, '\xFF');
    const struct {
        ByteBuffer file;
        std::string warning;  // held by one of the warnings; none when empty
    } cases[] = {
        {sharedImports(xff), "are left out"},
        {sharedImports("f"), "is read for an earlier library"},
        {sharedSectionNames(xff, 2000), "are left out"},
        {dynamicEntries(times(4000, le(1, 8) + le(256 + 16 * 4001, 8)), xff), "are left out"},
        {dynamicEntries(le(1, 8) + le(0x220, 8), "libc.so.6", ~std::uint64_t{0xFF}),
         "A dynamic entry's name lies past the end of 64-bit offsets (0xffffffffffffff00 + 0x220)"},
        {withPieces({{16, zip64}, {74, "PK\x05\x06" + le(0, 4) + le(0x10001, 4) + le(58, 10)}}),
         "A local header lies past the end of 64-bit offsets"},
        {elfTable(".gnu.version_d", 0x6FFFFFFD,
                  versionDefinition(0, 0, 20) + versionDefinition(0, 0, 20), 1000),
         "The version definitions of .gnu.version_d stop at 0x28: past the section's end"},
        // Names 4 bytes apart, each of 8 bytes: a chain that reads its own bytes again.
        {elfTable(".gnu.version_d", 0x6FFFFFFD,
                  versionDefinition(0xFFFF, 20, 0) + times(100, le(4, 4)), 1),
         "The names of version 1 in .gnu.version_d loop"},
        {elfTable(".gnu.version_r", 0x6FFFFFFE, times(2, le(1, 2) + le(0, 10) + le(16, 4)), 1000),
         "The version needs of .gnu.version_r stop at 0x20: past the section's end"},
        {elfTable(".dynsym", 11, std::string(48, '\0'), 0, 1 << 20),
         "Symbol table .dynsym reaches past the end of the file"},
        {elfTable(".symtab", 2, std::string(48, '\0'), 0, 0, 7), "which is no section"},
        {symbolsNamed(std::string(1023, 'a'), 200), "those past the budget are left out"},
        {withPieces({{0, png}}), ""},
        {withPieces({{0, emptyHeader}}),
         "Chunk IHDR at 0x8 holds 0 bytes, not 13: the image header is not decoded"},
    };
    for (const auto& c : cases) {
        SpanSource source(c.file);
        const StructureReport report =
            describeStructure(source, "x\xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80y",
                              {.entropies = SectionEntropies::kSkipped, .progress = {}});
        SCOPED_TRACE(report.format + ": " + c.warning);
        EXPECT_EQ(std::ranges::any_of(report.warnings,
                                      [&c](const std::string& warning) {
                                          return warning.find(c.warning) != std::string::npos;
                                      }),
                  !c.warning.empty());
        const std::string json = cli::structureJson(report);
        const std::string text = cli::structureText(report);
        EXPECT_EQ(json.substr(0, json.find(",\n")),
                  "{\n  \"path\": \"x" + times(9, "\\ufffd") + "y\"");
        EXPECT_LE(json.size() + text.size(), 64 * c.file.size() + (1 << 20));
        const std::uint64_t budget = 8 * c.file.size() + (64 << 10);
        EXPECT_LE(4 * occurrences(text, "\\xFF"), budget);
        EXPECT_LE(4 * occurrences(json, "\\\\xFF"), budget);
        for (const PngChunkInfo& chunk : report.chunks.value_or(std::vector<PngChunkInfo>{})) {
            EXPECT_FALSE(chunk.crcOk);
        }
    }
}

// A small archive of one stored entry, its central directory and its end record.
ByteBuffer zipArchive() {
    const std::string name = "dir/a.txt";
    const std::string data = "hello, archive";
    const std::string common = le(20, 2) + le(0, 2) + le(0, 2) + le(0x5A21, 2) + le(0x5821, 2) +
                               le(0x12345678, 4) + le(data.size(), 4) + le(data.size(), 4) +
                               le(name.size(), 2) + le(0, 2);
    const std::string local = "PK\x03\x04" + common + name + data;
    const std::string central = "PK\x01\x02" + le(20, 2) + common + le(0, 2) + le(0, 2) + le(0, 2) +
                                le(0, 4) + le(0, 4) + name;
    const std::string end = "PK\x05\x06" + le(0, 2) + le(0, 2) + le(1, 2) + le(1, 2) +
                            le(central.size(), 4) + le(local.size(), 4) + le(0, 2);
    return withPieces({{0, local + central + end}});
}

// An archive of count stored entries of a few bytes each, with their central directory.
ByteBuffer zipOfEntries(std::size_t count) {
    std::string locals;
    std::string centrals;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string name = "entry" + std::to_string(i) + ".txt";
        const std::string common = le(20, 2) + le(0, 2) + le(0, 2) + le(0, 2) + le(0, 2) +
                                   le(0, 4) + le(1, 4) + le(1, 4) + le(name.size(), 2) + le(0, 2);
        centrals += "PK\x01\x02" + le(20, 2) + common + le(0, 2) + le(0, 2) + le(0, 2) + le(0, 4) +
                    le(locals.size(), 4) + name;
        locals += "PK\x03\x04" + common + name + "x";
    }
    const std::string end = "PK\x05\x06" + le(0, 2) + le(0, 2) + le(count, 2) + le(count, 2) +
                            le(centrals.size(), 4) + le(locals.size(), 4) + le(0, 2);
    return withPieces({{0, locals + centrals + end}});
}

// An entry of a hand-made archive, and what is odd about it.
struct ZipEntrySpec {
    std::string name;
    std::string data = "x";
    bool descriptor = false;   // its sizes follow its data, in a data descriptor
    std::string comment = {};  // in its central header
    bool sharesLocal = false;  // its central header points at the local header before
};

// An archive of entries (stored), after prefix (a self-extracting stub: every offset moves by it).
ByteBuffer zipOf(const std::vector<ZipEntrySpec>& entries, const std::string& prefix = {}) {
    std::string locals;
    std::string centrals;
    std::uint64_t lastLocal = 0;
    for (const ZipEntrySpec& e : entries) {
        const std::uint64_t flags = e.descriptor ? 8 : 0;
        const auto common = [&](bool central) {
            const std::uint64_t size = e.descriptor && !central ? 0 : e.data.size();
            return le(20, 2) + le(flags, 2) + le(0, 2) + le(0, 2) + le(0, 2) + le(0x1234, 4) +
                   le(size, 4) + le(size, 4) + le(e.name.size(), 2) + le(0, 2);
        };
        if (!e.sharesLocal) {
            lastLocal = locals.size();
            locals += "PK\x03\x04" + common(false) + e.name + e.data;
            if (e.descriptor) {
                locals +=
                    "PK\x07\x08" + le(0x1234, 4) + le(e.data.size(), 4) + le(e.data.size(), 4);
            }
        }
        centrals += "PK\x01\x02" + le(20, 2) + common(true) + le(e.comment.size(), 2) + le(0, 2) +
                    le(0, 2) + le(0, 4) + le(lastLocal, 4) + e.name + e.comment;
    }
    const std::string end = "PK\x05\x06" + le(0, 2) + le(0, 2) + le(entries.size(), 2) +
                            le(entries.size(), 2) + le(centrals.size(), 4) + le(locals.size(), 4) +
                            le(0, 2);
    return withPieces({{0, prefix + locals + centrals + end}});
}

// An archive of many entries keeps a row for each of its headers and reads their fields when
// they are written: read so, its reports are those of the same archive read at once, whatever
// is odd about its entries.
TEST(StructureTest, DeferredFieldsAreReadAsTheyWouldHaveBeenAtOnce) {
    std::vector<ZipEntrySpec> odd = {
        {"first.txt", "hello"},
        {"", "no name"},
        {"(no name)", "a name that reads as the stand-in"},
        {"described.bin", "data after which its sizes come", true},
        {"commented.txt", "x", false, "a comment"},
        {"again.txt", "x", false, {}, true},
        {"caf\xc3\xa9 \xff.txt", "not all UTF-8"},
    };
    const struct {
        const char* what;
        ByteBuffer file;
    } kCases[] = {
        {"many small entries", zipOfEntries(300)},
        {"one entry", zipArchive()},
        {"odd entries", zipOf(odd)},
        {"odd entries after a stub", zipOf(odd, std::string(37, 'S'))},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        SpanSource source(c.file);
        const auto describe = [&](std::uint64_t eager) {
            return describeStructure(source, "a.zip",
                                     {.entropies = SectionEntropies::kSkipped,
                                      .progress = {},
                                      .streamLimit = kStreamCopyLimit,
                                      .eagerEntries = eager});
        };
        const StructureReport whole = describe(UINT64_MAX);
        const StructureReport deferred = describe(0);
        const cli::FieldReader read = [&](const StructField& field) {
            Result<std::vector<StructField>> fields = expandField(source, deferred, field);
            EXPECT_TRUE(fields.ok());
            return fields ? *fields : std::vector<StructField>{};
        };
        std::size_t rows = 0;
        const auto count = [&rows](const auto& self,
                                   const std::vector<StructField>& fields) -> void {
            for (const StructField& field : fields) {
                rows += field.deferred != 0 ? 1 : 0;
                self(self, field.fields);
            }
        };
        count(count, deferred.fields);
        EXPECT_GT(rows, 0U);
        EXPECT_EQ(deferred.warnings, whole.warnings);
        EXPECT_EQ(deferred.entries, whole.entries);
        EXPECT_EQ(cli::structureText(deferred, read), cli::structureText(whole));
        EXPECT_EQ(cli::structureJson(deferred, read), cli::structureJson(whole));
        // A field that was read at once has nothing deferred to read.
        EXPECT_TRUE(expandField(source, whole, whole.fields.front())->empty());
    }
}

// The reports of an archive of many entries go out in pieces as they are written, never held
// whole: each piece ends at a line's end (text) or between two tokens (JSON), so that a terminal's
// escaping of a piece never cuts a character, and none is much larger than a piece's size.
TEST(StructureTest, LargeReportsGoOutInPiecesOfWholeLines) {
    const ByteBuffer file = zipOfEntries(2000);
    SpanSource source(file);
    const StructureReport report = describeStructure(source, "many.zip");
    ASSERT_EQ(report.entries->size(), 2000U);
    for (const bool json : {false, true}) {
        SCOPED_TRACE(json ? "JSON" : "text");
        std::vector<std::string> pieces;
        const TextSink sink = [&pieces](std::string_view piece) { pieces.emplace_back(piece); };
        if (json) {
            cli::writeStructureJson(report, sink);
        } else {
            cli::writeStructureText(report, sink);
        }
        ASSERT_GT(pieces.size(), 4U);
        std::string whole;
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            EXPECT_LE(pieces[i].size(), (64U << 10) + 4096) << i;
            if (i + 1 < pieces.size()) {
                EXPECT_EQ(json ? pieces[i + 1].front() : pieces[i].back(), '\n') << i;
            }
            whole += pieces[i];
        }
        EXPECT_EQ(whole, json ? cli::structureJson(report) : cli::structureText(report));
        EXPECT_NE(whole.find("entry1999.txt"), std::string::npos);
    }
}

// A PNG of a 3 x 2 image: its header, a data chunk and its end (the CRCs are not right).
ByteBuffer pngImage() {
    const auto be = [](std::uint32_t value) {
        std::string bytes;
        for (int shift = 24; shift >= 0; shift -= 8) {
            bytes.push_back(static_cast<char>(value >> shift & 0xFF));
        }
        return bytes;
    };
    return withPieces({{0, "\x89PNG\r\n\x1a\n" + be(13) + "IHDR" + be(3) + be(2) +
                               std::string("\x08\x06\x00\x00\x00", 5) + be(1) + be(5) + "IDAT" +
                               "abcde" + be(2) + be(0) + "IEND" + be(3)}});
}

// A decoder reads the object it is given from 0 whatever lies around it: a PE, an ELF, a ZIP and
// a PNG placed at an odd offset inside other bytes (a firmware image), read through a window, give
// the report of the file alone.
TEST(StructureTest, AnObjectInsideOtherBytesDecodesAsTheFileAlone) {
    const struct {
        const char* format;
        ByteBuffer file;
    } cases[] = {
        {"PE32", sharedImports("lib")},
        {"ELF64", elfFile(true, false, mixedContent(), kSections)},
        {"ELF32", elfFile(false, true, mixedContent(), kSections)},
        {"ZIP", zipArchive()},
        {"PNG", pngImage()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        SpanSource alone(c.file);
        const StructureReport expected = describeStructure(alone, "object");
        EXPECT_EQ(expected.format, c.format);
        for (const std::uint64_t at : {std::uint64_t{1}, std::uint64_t{0x40001}}) {
            ByteBuffer image(static_cast<std::size_t>(at) + c.file.size() + 777);
            for (std::size_t i = 0; i < image.size(); ++i) {
                image[i] = static_cast<std::uint8_t>(i * 7 + i / 13);
            }
            std::ranges::copy(c.file, image.begin() + static_cast<std::ptrdiff_t>(at));
            SpanSource whole(image);
            SourceWindow window(whole, at, c.file.size());
            EXPECT_TRUE(describeStructure(window, "object") == expected) << at;
        }
    }
}

}  // namespace
}  // namespace tessaloom
