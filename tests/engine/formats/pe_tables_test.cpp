#include "engine/formats/pe_tables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine/structure.h"

namespace tessaloom {
namespace {

void put(ByteBuffer& bytes, std::size_t at, std::uint64_t value, std::size_t width) {
    if (bytes.size() < at + width) {
        bytes.resize(at + width);
    }
    for (std::size_t i = 0; i < width; ++i) {
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

void putText(ByteBuffer& bytes, std::size_t at, const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        put(bytes, at + i, static_cast<std::uint8_t>(text[i]), 1);
    }
}

// UTF-16LE units of ASCII text, with the terminating NUL.
void putWide(ByteBuffer& bytes, std::size_t at, const std::string& text) {
    for (std::size_t i = 0; i <= text.size(); ++i) {
        put(bytes, at + 2 * i, i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0, 2);
    }
}

constexpr std::size_t kPeOffset = 0x100;
constexpr std::size_t kOptional = kPeOffset + 24;
constexpr std::size_t kContent = 0x400;
constexpr std::uint64_t kRva = 0x1000;

// A PE32+ file of one section, mapped at RVA 0x1000 from file offset 0x400, holding content;
// directories are (index, RVA, size).
ByteBuffer peFile(const ByteBuffer& content,
                  const std::vector<std::tuple<std::size_t, std::uint64_t, std::uint64_t>>& dirs,
                  const ByteBuffer& stub = {}) {
    ByteBuffer file(kContent);
    putText(file, 0, "MZ");
    put(file, 60, kPeOffset, 4);
    std::copy(stub.begin(), stub.end(), file.begin() + 64);
    putText(file, kPeOffset, std::string("PE\0\0", 4));
    put(file, kPeOffset + 4, 0x8664, 2);
    put(file, kPeOffset + 6, 1, 2);
    put(file, kPeOffset + 20, 240, 2);
    put(file, kOptional, 0x20B, 2);
    put(file, kOptional + 24, 0x140000000, 8);
    put(file, kOptional + 60, kContent, 4);
    put(file, kOptional + 64, 0x1234, 4);
    put(file, kOptional + 108, 16, 4);
    for (const auto& [index, rva, size] : dirs) {
        put(file, kOptional + 112 + 8 * index, rva, 4);
        put(file, kOptional + 116 + 8 * index, size, 4);
    }
    const std::size_t section = kOptional + 240;
    putText(file, section, ".data");
    put(file, section + 8, content.size(), 4);
    put(file, section + 12, kRva, 4);
    put(file, section + 16, content.size(), 4);
    put(file, section + 20, kContent, 4);
    file.insert(file.end(), content.begin(), content.end());
    return file;
}

StructureReport described(const ByteBuffer& file) {
    SpanSource source(file);
    return describeStructure(source, "test.exe");
}

bool warned(const StructureReport& report, const std::string& part) {
    return std::ranges::any_of(report.warnings, [&part](const std::string& warning) {
        return warning.find(part) != std::string::npos;
    });
}

// The checksum as pefile computes it: 32-bit words summed with the carries folded back in, then
// folded to 16 bits; here over the bytes with those of the field set to 0 instead of skipped.
std::uint64_t modelChecksum(ByteBuffer data, std::uint64_t field) {
    for (std::uint64_t i = field; i < field + 4 && i < data.size(); ++i) {
        data[static_cast<std::size_t>(i)] = 0;
    }
    const std::size_t length = data.size();
    data.resize((length + 3) / 4 * 4);
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < data.size(); i += 4) {
        sum += data[i] | std::uint64_t{data[i + 1]} << 8 | std::uint64_t{data[i + 2]} << 16 |
               std::uint64_t{data[i + 3]} << 24;
        if (sum >= std::uint64_t{1} << 32) {
            sum = (sum & 0xFFFFFFFF) + (sum >> 32);
        }
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum = (sum + (sum >> 16)) & 0xFFFF;
    return sum + length;
}

TEST(PeTablesTest, ChecksumMatchesAWordModelAcrossPieceSizes) {
    struct Case {
        std::size_t size;
        std::uint64_t field;
    };
    const Case cases[] = {{0, 0},        {1, 0},        {3, 64},       {4, 0},
                          {7, 2},        {216, 0xD8},   {1001, 0x99},  {1001, 997},
                          {4099, 0x158}, {65537, 0xF0}, {70000, 69998}};
    std::mt19937 random(7);
    for (const Case& c : cases) {
        ByteBuffer data(c.size);
        for (std::uint8_t& byte : data) {
            byte = static_cast<std::uint8_t>(random());
        }
        // All ones, where the folding of carries matters most.
        ByteBuffer ones(c.size, 0xFF);
        for (const ByteBuffer* bytes : {&data, &ones}) {
            for (const std::size_t piece :
                 {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7}, std::size_t{64},
                  std::size_t{1} << 18}) {
                SpanSource source(*bytes);
                formats::Bytes reader(source);
                EXPECT_EQ(formats::peChecksum(reader, c.field, piece),
                          modelChecksum(*bytes, c.field))
                    << c.size << " bytes, field at " << c.field << ", pieces of " << piece;
            }
        }
    }
}

TEST(PeTablesTest, ReportHoldsTheStoredAndComputedChecksum) {
    const ByteBuffer file = peFile(ByteBuffer(0x200, 0x5A), {});
    const StructureReport report = described(file);
    ASSERT_TRUE(report.checksum);
    EXPECT_EQ(report.checksum->stored, 0x1234u);
    EXPECT_EQ(report.checksum->offset, kOptional + 64);
    EXPECT_EQ(report.checksum->computed, modelChecksum(file, kOptional + 64));
    SpanSource source(file);
    // Every byte of the file is read once, for the section's entropy and the checksum in one
    // pass: the progress runs once over the file, to its end.
    StructureOptions options;
    std::vector<ScanProgress> steps;
    options.progress = [&steps](const ScanProgress& step) { steps.push_back(step); };
    describeStructure(source, "test.exe", options);
    ASSERT_FALSE(steps.empty());
    EXPECT_EQ(steps.back().done, file.size());
    EXPECT_EQ(steps.back().total, file.size());
    EXPECT_TRUE(std::ranges::all_of(steps, [&](const ScanProgress& step) {
        return step.total == steps.back().total && step.done <= *step.total;
    }));
    EXPECT_TRUE(std::ranges::is_sorted(steps, {}, &ScanProgress::done));
    options.progress = {};
    options.entropies = SectionEntropies::kSkipped;
    const StructureReport skipped = describeStructure(source, "test.exe", options);
    ASSERT_TRUE(skipped.checksum);
    EXPECT_FALSE(skipped.checksum->computed);
}

// A resource directory at `at` of content, its entries (name or id, target) after it.
void putDirectory(ByteBuffer& content, std::size_t at,
                  const std::vector<std::pair<std::uint64_t, std::uint64_t>>& entries,
                  std::uint64_t countedIds = UINT64_MAX) {
    put(content, at + 14, countedIds != UINT64_MAX ? countedIds : entries.size(), 2);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        put(content, at + 16 + 8 * i, entries[i].first, 4);
        put(content, at + 20 + 8 * i, entries[i].second, 4);
    }
}

constexpr std::uint64_t kSub = 0x80000000;

// type -> name -> language -> data at 0x300 of content, of the given bytes.
ByteBuffer resourceTree(std::uint64_t type, const ByteBuffer& data) {
    ByteBuffer content(0x300);
    putDirectory(content, 0x00, {{type, kSub | 0x20}});
    putDirectory(content, 0x20, {{1, kSub | 0x40}});
    putDirectory(content, 0x40, {{1033, 0x60}});
    put(content, 0x60, kRva + 0x300, 4);
    put(content, 0x64, data.size(), 4);
    content.insert(content.end(), data.begin(), data.end());
    return content;
}

TEST(PeTablesTest, HostileResourceTreesStopWithAWarning) {
    struct Case {
        const char* what;
        ByteBuffer content;
        std::size_t resources;
        const char* warning;
    };
    ByteBuffer loop(0x100);
    putDirectory(loop, 0x00, {{3, kSub | 0x20}});
    putDirectory(loop, 0x20, {{1, kSub | 0x00}});
    ByteBuffer deep(0x100);
    putDirectory(deep, 0x00, {{3, kSub | 0x20}});
    putDirectory(deep, 0x20, {{1, kSub | 0x40}});
    putDirectory(deep, 0x40, {{1033, kSub | 0x60}});
    putDirectory(deep, 0x60, {{1, 0x80}});
    ByteBuffer counted(0x100);
    putDirectory(counted, 0x00, {{3, kSub | 0x20}}, 0xFFFF);
    ByteBuffer outside(0x100);
    putDirectory(outside, 0x00, {{3, kSub | 0x7FFFFF00}});
    ByteBuffer dataOutside = resourceTree(3, {});
    put(dataOutside, 0x60, 0x7FFFFFF0, 4);
    const Case cases[] = {
        {"an entry that points back at its parent", loop, 0, "reached a second time"},
        {"a language directory with a directory under it", deep, 0, "levels deep"},
        {"more entries than the section holds", counted, 0, "past the end of its section"},
        {"a subdirectory outside the section", outside, 0, "not in the resource section"},
        {"data outside the file", dataOutside, 1, ""},
    };
    for (const Case& c : cases) {
        const StructureReport report = described(peFile(c.content, {{2, kRva, 0x100}}));
        ASSERT_TRUE(report.resources) << c.what;
        EXPECT_EQ(report.resources->size(), c.resources) << c.what;
        if (*c.warning != '\0') {
            EXPECT_TRUE(warned(report, c.warning)) << c.what;
        }
    }
    const StructureReport report = described(peFile(dataOutside, {{2, kRva, 0x100}}));
    EXPECT_FALSE(report.resources->front().offset);
}

TEST(PeTablesTest, OverlappingResourceDirectoriesGiveNoMoreEntriesThanTheFileHolds) {
    // Language directories eight bytes apart, each reading the entries of those after it.
    ByteBuffer content(0x800);
    putDirectory(content, 0x00, {{3, kSub | 0x20}});
    std::vector<std::pair<std::uint64_t, std::uint64_t>> names;
    for (std::uint64_t i = 0; i < 0x60; ++i) {
        names.emplace_back(i + 1, kSub | (0x400 + 8 * i));
    }
    putDirectory(content, 0x20, names);
    put(content, 0x340, kRva + 0x350, 4);
    put(content, 0x344, 4, 4);
    for (std::size_t at = 0x400; at < content.size(); at += 8) {
        put(content, at, 1033, 4);
        put(content, at + 4, 0x340, 4);
    }
    const ByteBuffer file = peFile(content, {{2, kRva, 0x800}});
    const StructureReport report = described(file);
    ASSERT_TRUE(report.resources);
    EXPECT_GT(report.resources->size(), 100u);
    EXPECT_LE(report.resources->size(), file.size() / 8);
    EXPECT_TRUE(warned(report, "resource entries; the rest are left out"));
}

TEST(PeTablesTest, ResourcesAreNamedByTypeNameAndLanguage) {
    const std::string manifest = "\xEF\xBB\xBF<assembly>\r\n  <x/>\x01\r\n</assembly>";
    ByteBuffer content = resourceTree(24, ByteBuffer(manifest.begin(), manifest.end()));
    const StructureReport report = described(peFile(content, {{2, kRva, 0x100}}));
    ASSERT_TRUE(report.resources);
    ASSERT_EQ(report.resources->size(), 1u);
    const PeResourceInfo& r = report.resources->front();
    EXPECT_EQ(r.type, "RT_MANIFEST");
    EXPECT_EQ(r.typeId, 24u);
    EXPECT_EQ(r.nameId, 1u);
    EXPECT_EQ(r.language, 1033u);
    EXPECT_EQ(r.offset, kContent + 0x300);
    EXPECT_EQ(r.size, manifest.size());
    EXPECT_EQ(report.manifest, "<assembly>\n  <x/>\\x01\n</assembly>");

    // A named type and name: a length and UTF-16 units from the tree's start.
    ByteBuffer named = resourceTree(kSub | 0x200, {});
    put(named, 0x20 + 16, kSub | 0x220, 4);
    put(named, 0x200, 6, 2);
    putWide(named, 0x202, "MYTYPE");
    put(named, 0x220, 2, 2);
    put(named, 0x222, 0xE9, 2);
    put(named, 0x224, 0xD83D, 2);
    const StructureReport other = described(peFile(named, {{2, kRva, 0x100}}));
    ASSERT_EQ(other.resources->size(), 1u);
    EXPECT_EQ(other.resources->front().type, "MYTYPE");
    EXPECT_FALSE(other.resources->front().typeId);
    // An unpaired surrogate stands for U+FFFD.
    EXPECT_EQ(other.resources->front().name, "\xC3\xA9\xEF\xBF\xBD");
}

// A version block: length, value length, type, key, value, children, each 4-aligned.
ByteBuffer versionBlock(const std::string& key, const ByteBuffer& value, bool text,
                        const std::vector<ByteBuffer>& children, std::size_t length = SIZE_MAX) {
    ByteBuffer block(6);
    putWide(block, 6, key);
    block.resize((block.size() + 3) / 4 * 4);
    block.insert(block.end(), value.begin(), value.end());
    for (const ByteBuffer& child : children) {
        block.resize((block.size() + 3) / 4 * 4);
        block.insert(block.end(), child.begin(), child.end());
    }
    put(block, 0, length != SIZE_MAX ? length : block.size(), 2);
    put(block, 2, text ? value.size() / 2 : value.size(), 2);
    put(block, 4, text ? 1 : 0, 2);
    return block;
}

ByteBuffer wide(const std::string& text) {
    ByteBuffer units;
    putWide(units, 0, text);
    return units;
}

ByteBuffer versionResource(std::size_t badLength = SIZE_MAX) {
    ByteBuffer fixed(52);
    put(fixed, 0, 0xFEEF04BD, 4);
    put(fixed, 8, 0x00010002, 4);
    put(fixed, 12, 0x00030004, 4);
    put(fixed, 16, 0x00050006, 4);
    put(fixed, 20, 0x00070008, 4);
    const ByteBuffer company = versionBlock("CompanyName", wide("Acme"), true, {});
    const ByteBuffer product = versionBlock("ProductName", wide("Thing\x01"), true, {}, badLength);
    const ByteBuffer table = versionBlock("040904B0", {}, true, {company, product});
    const ByteBuffer strings = versionBlock("StringFileInfo", {}, true, {table});
    return versionBlock("VS_VERSION_INFO", fixed, false, {strings});
}

TEST(PeTablesTest, VersionBlocksOfBadLengthsAreCutWithAWarning) {
    struct Case {
        const char* what;
        ByteBuffer resource;
        std::size_t strings;
        bool fixed;
        const char* warning;
    };
    ByteBuffer longRoot = versionResource();
    put(longRoot, 0, 0xFFFF, 2);
    ByteBuffer shortRoot = versionResource();
    put(shortRoot, 0, 4, 2);
    const Case cases[] = {
        {"blocks that fit", versionResource(), 2, true, ""},
        {"a string longer than its table", versionResource(0x7FFF), 1, true, "does not fit"},
        {"a string of length 0", versionResource(0), 1, true, "does not fit"},
        {"a string shorter than its header", versionResource(3), 1, true, "does not fit"},
        {"a root longer than the resource", longRoot, 0, false, "VS_VERSION_INFO"},
        {"a root shorter than its header", shortRoot, 0, false, "VS_VERSION_INFO"},
    };
    for (const Case& c : cases) {
        const StructureReport report =
            described(peFile(resourceTree(16, c.resource), {{2, kRva, 0x100}}));
        ASSERT_TRUE(report.versionInfo) << c.what;
        EXPECT_EQ(report.versionInfo->strings.size(), c.strings) << c.what;
        EXPECT_EQ(report.versionInfo->fileVersion, c.fixed ? "1.2.3.4" : "") << c.what;
        EXPECT_EQ(report.versionInfo->productVersion, c.fixed ? "5.6.7.8" : "") << c.what;
        if (*c.warning != '\0') {
            EXPECT_TRUE(warned(report, c.warning)) << c.what;
        } else {
            EXPECT_TRUE(report.warnings.empty()) << c.what << ": " << report.warnings.front();
        }
        if (c.strings == 2) {
            const PeVersionInfo::Text& second = report.versionInfo->strings[1];
            EXPECT_EQ(second.table, "040904B0");
            EXPECT_EQ(second.key, "ProductName");
            EXPECT_EQ(second.value, "Thing\\x01");
        }
    }
}

TEST(PeTablesTest, DebugEntriesNameTheirProgramDatabase) {
    ByteBuffer content(0x200);
    const auto entry = [&content](std::size_t at, std::uint64_t type, std::uint64_t size,
                                  std::uint64_t rva, std::uint64_t pointer) {
        put(content, at + 12, type, 4);
        put(content, at + 16, size, 4);
        put(content, at + 20, rva, 4);
        put(content, at + 24, pointer, 4);
    };
    const std::string path = "C:\\build\\x.pdb";
    entry(0, 2, 24 + path.size() + 1, kRva + 0x100, kContent + 0x100);
    entry(28, 2, 40, 0, 0x7FFFFFF0);
    entry(56, 13, 8, 0, 0);
    entry(84, 99, 0, 0, 0);
    putText(content, 0x100, "RSDS");
    put(content, 0x104, 0x01234567, 4);
    put(content, 0x108, 0x89AB, 2);
    put(content, 0x10A, 0xCDEF, 2);
    for (std::size_t i = 0; i < 8; ++i) {
        put(content, 0x10C + i, 0x10 * i + 1, 1);
    }
    put(content, 0x114, 7, 4);
    putText(content, 0x118, path);
    const StructureReport report = described(peFile(content, {{6, kRva, 4 * 28}}));
    ASSERT_TRUE(report.debug);
    ASSERT_EQ(report.debug->size(), 4u);
    const PeDebugInfo& codeView = (*report.debug)[0];
    EXPECT_EQ(codeView.type, "codeview");
    EXPECT_EQ(codeView.guid, "{01234567-89AB-CDEF-0111-213141516171}");
    EXPECT_EQ(codeView.age, 7u);
    EXPECT_EQ(codeView.pdbPath, path);
    EXPECT_EQ((*report.debug)[1].type, "codeview");
    EXPECT_TRUE((*report.debug)[1].pdbPath.empty());
    EXPECT_TRUE(warned(report, "is not in the file"));
    EXPECT_EQ((*report.debug)[2].type, "pogo");
    EXPECT_EQ((*report.debug)[3].type, "unknown 99");

    // A directory that claims more entries than the file holds.
    const StructureReport cut = described(peFile(content, {{6, kRva + 0x1F0, 0xFFFFFF00}}));
    EXPECT_TRUE(warned(cut, "runs past the end of the file"));
    EXPECT_LE(cut.debug->size(), 1u);
}

std::uint32_t rotated(std::uint32_t value, std::uint32_t by) {
    by %= 32;
    return by == 0 ? value : value << by | value >> (32 - by);
}

TEST(PeTablesTest, RichHeaderEntriesAndChecksum) {
    // DanS at 0x80 with three words of padding, two entries, then Rich and the key.
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> tools = {{0x010E7809, 3},
                                                                        {0x00FF0001, 40}};
    ByteBuffer head(0x80);
    putText(head, 0, "MZ");
    put(head, 60, kPeOffset, 4);
    std::uint32_t key = 0x80;
    for (std::uint32_t i = 0; i < 0x80; ++i) {
        if (i < 60 || i >= 64) {
            key += rotated(head[i], i);
        }
    }
    for (const auto& [id, count] : tools) {
        key += rotated(id, count);
    }
    for (const std::uint32_t stored : {key, key ^ 1}) {
        ByteBuffer stub(0x40);
        put(stub, 0x40, 0x536E6144 ^ stored, 4);
        for (std::size_t i = 1; i < 4; ++i) {
            put(stub, 0x40 + 4 * i, stored, 4);
        }
        std::size_t at = 0x50;
        for (const auto& [id, count] : tools) {
            put(stub, at, id ^ stored, 4);
            put(stub, at + 4, count ^ stored, 4);
            at += 8;
        }
        putText(stub, at, "Rich");
        put(stub, at + 4, stored, 4);
        const StructureReport report = described(peFile(ByteBuffer(0x200), {}, stub));
        ASSERT_TRUE(report.richHeader);
        EXPECT_EQ(report.richHeader->offset, 0x80u);
        EXPECT_EQ(report.richHeader->key, stored);
        EXPECT_EQ(report.richHeader->computed, key);
        if (stored == key) {
            ASSERT_EQ(report.richHeader->entries.size(), 2u);
            EXPECT_EQ(report.richHeader->entries[0], (RichHeaderInfo::Entry{0x010E, 0x7809, 3}));
            EXPECT_EQ(report.richHeader->entries[1], (RichHeaderInfo::Entry{0x00FF, 1, 40}));
        }
    }
}

TEST(PeTablesTest, LoadConfigurationFieldsAreThoseItsSizeHolds) {
    struct Case {
        std::uint64_t size;
        bool cookie;
        bool seh;
        bool guardFlags;
    };
    const Case cases[] = {
        {0x40, false, false, false},
        {0x60, true, false, false},
        {0x70, true, true, false},
        {0x94, true, true, true},
    };
    for (const Case& c : cases) {
        ByteBuffer content(0x200);
        put(content, 0, c.size, 4);
        put(content, 0x58, 0x140003000, 8);
        put(content, 0x60, 0x140004000, 8);
        put(content, 0x68, 5, 8);
        put(content, 0x90, 0x10500, 4);
        // The TLS directory's callbacks at 0x140001100: two, then 0.
        put(content, 0x100 + 24, 0x140000000 + kRva + 0x180, 8);
        put(content, 0x180, 0x140001010, 8);
        put(content, 0x188, 0x140001020, 8);
        const StructureReport report =
            described(peFile(content, {{9, kRva + 0x100, 40}, {10, kRva, c.size}}));
        ASSERT_TRUE(report.loadInfo) << c.size;
        EXPECT_EQ(report.loadInfo->configSize, c.size);
        EXPECT_EQ(report.loadInfo->securityCookie.has_value(), c.cookie) << c.size;
        EXPECT_EQ(report.loadInfo->sehTable.has_value(), c.seh) << c.size;
        EXPECT_EQ(report.loadInfo->sehCount.has_value(), c.seh) << c.size;
        EXPECT_EQ(report.loadInfo->guardFlags.has_value(), c.guardFlags) << c.size;
        if (c.cookie) {
            EXPECT_EQ(report.loadInfo->securityCookie, 0x140003000u);
        }
        if (c.guardFlags) {
            EXPECT_EQ(report.loadInfo->guardFlags, 0x10500u);
        }
        EXPECT_EQ(report.loadInfo->tlsCallbacks,
                  (std::vector<std::uint64_t>{0x140001010, 0x140001020}));
    }
}

}  // namespace
}  // namespace tessaloom
