#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/scan/planted.h"

namespace tessaloom {
namespace {

using testing::plant;
using testing::randomFiller;
using testing::scanBytes;

// Archives written here byte by byte, the way their archivers lay them out.

void put(ByteBuffer& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
}

void putLittle(ByteBuffer& out, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

void setLittle(ByteBuffer& out, std::size_t at, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint32_t crcOf(const std::uint8_t* bytes, std::size_t length) {
    return static_cast<std::uint32_t>(crc32(0, bytes, static_cast<uInt>(length)));
}

std::uint32_t crcOf(std::string_view text) {
    return crcOf(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::string formatted(const char* format, std::uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, format, static_cast<unsigned long long>(value));
    return text;
}

struct Entry {
    std::string name;
    std::string data;
};

const std::vector<Entry> kFiles = {{"hello.txt", "Hello, world!\n"},
                                   {"docs/readme.md", "# readme\n\nsome words\n"},
                                   {"empty", ""}};

struct ZipLayout {
    bool descriptors = false;      // sizes and CRC after the data, zero in the local header
    std::uint32_t offsetBase = 0;  // added to every offset, as behind a self-extractor stub
    std::string comment;
};

// A zip of stored entries.
ByteBuffer makeZip(const std::vector<Entry>& entries, const ZipLayout& layout = {}) {
    ByteBuffer out;
    ByteBuffer central;
    const std::uint64_t time = 12 << 11;
    const std::uint64_t date = (44 << 9) | (1 << 5) | 2;
    const std::uint64_t flags = layout.descriptors ? 8 : 0;
    for (const Entry& entry : entries) {
        const std::uint64_t offset = out.size();
        const std::uint32_t crc = crcOf(entry.data);
        put(out, "PK\x03\x04");
        putLittle(out, 20, 2);
        putLittle(out, flags, 2);
        putLittle(out, 0, 2);
        putLittle(out, time, 2);
        putLittle(out, date, 2);
        putLittle(out, layout.descriptors ? 0 : crc, 4);
        putLittle(out, layout.descriptors ? 0 : entry.data.size(), 4);
        putLittle(out, layout.descriptors ? 0 : entry.data.size(), 4);
        putLittle(out, entry.name.size(), 2);
        putLittle(out, 0, 2);
        put(out, entry.name);
        put(out, entry.data);
        if (layout.descriptors) {
            put(out, "PK\x07\x08");
            putLittle(out, crc, 4);
            putLittle(out, entry.data.size(), 4);
            putLittle(out, entry.data.size(), 4);
        }
        put(central, "PK\x01\x02");
        putLittle(central, 0x031E, 2);
        putLittle(central, 20, 2);
        putLittle(central, flags, 2);
        putLittle(central, 0, 2);
        putLittle(central, time, 2);
        putLittle(central, date, 2);
        putLittle(central, crc, 4);
        putLittle(central, entry.data.size(), 4);
        putLittle(central, entry.data.size(), 4);
        putLittle(central, entry.name.size(), 2);
        putLittle(central, 0, 2);
        putLittle(central, 0, 2);
        putLittle(central, 0, 2);
        putLittle(central, 0, 2);
        putLittle(central, std::uint64_t{0100644} << 16, 4);
        putLittle(central, offset + layout.offsetBase, 4);
        put(central, entry.name);
    }
    const std::uint64_t directory = out.size();
    out.insert(out.end(), central.begin(), central.end());
    put(out, "PK\x05\x06");
    putLittle(out, 0, 4);
    putLittle(out, entries.size(), 2);
    putLittle(out, entries.size(), 2);
    putLittle(out, central.size(), 4);
    putLittle(out, directory + layout.offsetBase, 4);
    putLittle(out, layout.comment.size(), 2);
    put(out, layout.comment);
    return out;
}

// Where a zip's end record lies.
std::size_t zipEnd(const ByteBuffer& zip, std::size_t commentLength = 0) {
    return zip.size() - 22 - commentLength;
}

enum class TarKind { kUstar, kGnu };

// One 512-byte tar header.
ByteBuffer tarHeader(std::string_view name, std::uint64_t size, char type, TarKind kind) {
    ByteBuffer block(512, 0);
    const auto set = [&block](std::size_t at, std::string_view text) {
        std::copy(text.begin(), text.end(), block.begin() + static_cast<std::ptrdiff_t>(at));
    };
    set(0, name.substr(0, 100));
    set(100, "0000644");
    set(108, "0001750");
    set(116, "0001750");
    set(124, formatted("%011llo", size));
    set(136, "14510452740");
    set(148, "        ");
    block[156] = static_cast<std::uint8_t>(type);
    set(257, kind == TarKind::kGnu ? std::string_view("ustar  \0", 8)
                                   : std::string_view("ustar\0"
                                                      "00",
                                                      8));
    set(265, "user");
    set(297, "group");
    std::uint64_t sum = 0;
    for (const std::uint8_t byte : block) {
        sum += byte;
    }
    set(148, formatted("%06llo", sum));
    block[154] = 0;
    return block;
}

void putTarData(ByteBuffer& out, std::string_view data) {
    put(out, data);
    out.resize(out.size() + (512 - data.size() % 512) % 512, 0);
}

struct TarLayout {
    TarKind kind = TarKind::kUstar;
    bool endBlocks = true;
    bool recordPadding = true;  // zero blocks up to a whole record of 10240 bytes
};

ByteBuffer makeTar(const std::vector<Entry>& entries, const TarLayout& layout = {}) {
    ByteBuffer out;
    for (const Entry& entry : entries) {
        if (entry.name.size() > 100) {
            const ByteBuffer longName =
                tarHeader("././@LongLink", entry.name.size() + 1, 'L', TarKind::kGnu);
            out.insert(out.end(), longName.begin(), longName.end());
            putTarData(out, std::string(entry.name).append(1, '\0'));
        }
        const bool directory = entry.name.ends_with('/');
        const ByteBuffer header =
            tarHeader(entry.name, entry.data.size(), directory ? '5' : '0', layout.kind);
        out.insert(out.end(), header.begin(), header.end());
        putTarData(out, entry.data);
    }
    if (layout.endBlocks) {
        out.resize(out.size() + 1024, 0);
    }
    if (layout.recordPadding) {
        out.resize((out.size() + 10239) / 10240 * 10240, 0);
    }
    return out;
}

enum class CpioKind { kNewc, kCrc, kOdc, kBinaryLittle, kBinaryBig };

void putCpioEntry(ByteBuffer& out, CpioKind kind, std::string_view name, std::string_view data,
                  std::uint64_t mode, std::uint64_t ino) {
    const std::uint64_t nameSize = name.size() + 1;
    const std::uint64_t nlink = 1;
    const std::uint64_t mtime = 1700000000;
    if (kind == CpioKind::kNewc || kind == CpioKind::kCrc) {
        std::uint64_t check = 0;
        for (const char c : data) {
            check += static_cast<std::uint8_t>(c);
        }
        put(out, kind == CpioKind::kNewc ? "070701" : "070702");
        for (const std::uint64_t field :
             {ino, mode, std::uint64_t{1000}, std::uint64_t{1000}, nlink, mtime,
              std::uint64_t{data.size()}, std::uint64_t{8}, std::uint64_t{1}, std::uint64_t{0},
              std::uint64_t{0}, nameSize, kind == CpioKind::kCrc ? check : 0}) {
            put(out, formatted("%08llX", field));
        }
        put(out, name);
        out.push_back(0);
        out.resize((out.size() + 3) / 4 * 4, 0);
        put(out, data);
        out.resize((out.size() + 3) / 4 * 4, 0);
    } else if (kind == CpioKind::kOdc) {
        put(out, "070707");
        for (const std::uint64_t field : {std::uint64_t{0x801}, ino, mode, std::uint64_t{1000},
                                          std::uint64_t{1000}, nlink, std::uint64_t{0}}) {
            put(out, formatted("%06llo", field));
        }
        put(out, formatted("%011llo", mtime));
        put(out, formatted("%06llo", nameSize));
        put(out, formatted("%011llo", data.size()));
        put(out, name);
        out.push_back(0);
        put(out, data);
    } else {
        const bool little = kind == CpioKind::kBinaryLittle;
        const auto word = [&out, little](std::uint64_t value) {
            const auto high = static_cast<std::uint8_t>(value >> 8);
            const auto low = static_cast<std::uint8_t>(value);
            out.push_back(little ? low : high);
            out.push_back(little ? high : low);
        };
        for (const std::uint64_t field :
             {std::uint64_t{070707}, std::uint64_t{0x801}, ino, mode, std::uint64_t{1000},
              std::uint64_t{1000}, nlink, std::uint64_t{0}, mtime >> 16, mtime & 0xFFFF, nameSize,
              std::uint64_t{data.size() >> 16}, std::uint64_t{data.size() & 0xFFFF}}) {
            word(field);
        }
        put(out, name);
        out.push_back(0);
        out.resize((out.size() + 1) / 2 * 2, 0);
        put(out, data);
        out.resize((out.size() + 1) / 2 * 2, 0);
    }
}

ByteBuffer makeCpio(CpioKind kind, const std::vector<Entry>& entries, bool trailer = true,
                    bool blockPadding = true) {
    ByteBuffer out;
    std::uint64_t ino = 100;
    for (const Entry& entry : entries) {
        const bool directory = entry.name.ends_with('/');
        putCpioEntry(out, kind,
                     directory ? std::string_view(entry.name).substr(0, entry.name.size() - 1)
                               : std::string_view(entry.name),
                     entry.data, directory ? 040755 : 0100644, ino++);
    }
    if (trailer) {
        putCpioEntry(out, kind, "TRAILER!!!", "", 0, 0);
    }
    if (blockPadding) {
        out.resize((out.size() + 511) / 512 * 512, 0);
    }
    return out;
}

ByteBuffer makeAr(const std::vector<Entry>& members) {
    ByteBuffer out;
    put(out, "!<arch>\n");
    for (const Entry& member : members) {
        std::string header = member.name;
        header.resize(16, ' ');
        for (const auto& [text, width] : std::vector<std::pair<std::string, std::size_t>>{
                 {"1700000000", 12},
                 {"0", 6},
                 {"0", 6},
                 {"100644", 8},
                 {std::to_string(member.data.size()), 10}}) {
            header.append(text).append(width - text.size(), ' ');
        }
        header.append("`\n");
        put(out, header);
        put(out, member.data);
        if (member.data.size() % 2 != 0) {
            out.push_back('\n');
        }
    }
    return out;
}

// A 7z archive of packed bytes and the header behind them, with both CRCs right.
ByteBuffer make7z(std::string_view packed, std::string_view header) {
    ByteBuffer out;
    put(out, std::string_view("7z\xBC\xAF\x27\x1C", 6));
    out.push_back(0);
    out.push_back(4);
    putLittle(out, 0, 4);
    putLittle(out, packed.size(), 8);
    putLittle(out, header.size(), 8);
    putLittle(out, crcOf(header), 4);
    setLittle(out, 8, crcOf(out.data() + 12, 20), 4);
    put(out, packed);
    put(out, header);
    return out;
}

const std::vector<Entry> kDebMembers = {{"debian-binary", "2.0\n"},
                                        {"control.tar.xz", "control bytes"},
                                        {"data.tar.xz", "data bytes!"}};

struct Case {
    std::string label;
    ByteBuffer object;
    std::string format;
    std::uint64_t size;
    std::string description;
};

std::vector<Case> archiveCases() {
    std::vector<Case> cases;
    const auto add = [&cases](std::string label, ByteBuffer object, std::string format,
                              std::string description) {
        const std::uint64_t size = object.size();
        cases.push_back(
            {std::move(label), std::move(object), std::move(format), size, std::move(description)});
    };
    add("zip", makeZip(kFiles), "zip", "zip, 3 entries, first \"hello.txt\", 35 bytes -> 35 bytes");
    add("zip with comment",
        makeZip(kFiles, {.descriptors = false, .offsetBase = 0, .comment = "made here"}), "zip",
        "3 entries");
    add("zip with data descriptors",
        makeZip(kFiles, {.descriptors = true, .offsetBase = 0, .comment = {}}), "zip",
        "zip, 3 entries, first \"hello.txt\"");
    add("zip behind a stub, offsets from the file's start",
        makeZip(kFiles, {.descriptors = false, .offsetBase = 0x4000, .comment = {}}), "zip",
        "zip, 3 entries");
    {
        // A stored zip inside a streamed one: the search for the outer directory meets the
        // inner one first.
        const ByteBuffer inner = makeZip(kFiles);
        add("zip in a streamed zip",
            makeZip({{"inner.zip", std::string(inner.begin(), inner.end())}, {"after", "x"}},
                    {.descriptors = true, .offsetBase = 0, .comment = {}}),
            "zip", "zip, 2 entries, first \"inner.zip\"");
    }
    {
        ByteBuffer empty;
        put(empty, "PK\x05\x06");
        empty.resize(22, 0);
        add("empty zip", empty, "zip", "zip, empty");
    }
    add("7z", make7z("packed streams", std::string_view("\x01\x04\x06\x00\x00", 6)), "7z",
        "7z archive 0.4, 52 bytes");
    add("7z with a compressed header", make7z("xyz", std::string_view("\x17\x06\x00\x00", 4)), "7z",
        "7z archive 0.4, compressed header");
    add("empty 7z", make7z("", ""), "7z", "7z archive 0.4, 32 bytes");
    const std::vector<Entry> etc = {
        {"etc/", ""}, {"etc/passwd", "root:x:0:0::/root:/bin/sh\n"}, {"etc/hosts", "127.0.0.1\n"}};
    add("ustar", makeTar(etc), "tar", "tar, 3 entries, first \"etc/\"");
    add("gnu tar with a long name",
        makeTar({{std::string(60, 'a') + "/" + std::string(60, 'b'), "long"}, {"x", "y"}},
                {.kind = TarKind::kGnu}),
        "tar", "tar, 2 entries, first \"" + std::string(48, 'a') + "...\"");
    add("tar without record padding", makeTar(etc, {.recordPadding = false}), "tar",
        "tar, 3 entries");
    const std::vector<Entry> root = {{"bin/", ""}, {"bin/sh", "#!ELF"}, {"init", "exec sh\n"}};
    add("cpio newc", makeCpio(CpioKind::kNewc, root), "cpio",
        "cpio newc, 3 entries, first \"bin\"");
    add("cpio newc unpadded", makeCpio(CpioKind::kNewc, root, true, false), "cpio",
        "cpio newc, 3 entries");
    add("cpio crc", makeCpio(CpioKind::kCrc, root), "cpio", "cpio crc, 3 entries");
    add("cpio odc", makeCpio(CpioKind::kOdc, root), "cpio", "cpio odc, 3 entries, first \"bin\"");
    add("cpio binary little endian", makeCpio(CpioKind::kBinaryLittle, root), "cpio",
        "cpio binary little endian, 3 entries, first \"bin\"");
    add("cpio binary big endian", makeCpio(CpioKind::kBinaryBig, root, true, false), "cpio",
        "cpio binary big endian, 3 entries");
    add("ar", makeAr(kDebMembers), "ar", "ar archive, 3 members, first \"debian-binary\"");
    add("ar with gnu names",
        makeAr({{"/", "symbols"}, {"//", "a_long_member_name.o/\n"}, {"/0", "obj"}}), "ar",
        "ar archive, 3 members, first \"a_long_member_name.o\"");
    add("ar with a bsd long name",
        makeAr({{"#1/20",
                 "a_rather_long_name.o"
                 "code"}}),
        "ar", "ar archive, 1 member, first \"a_rather_long_name.o\"");
    return cases;
}

TEST(ScanArchiveTest, FindsEachArchivePlantedInFillerWithItsExactSize) {
    for (const Case& c : archiveCases()) {
        SCOPED_TRACE(c.label);
        for (const std::uint64_t offset : {std::uint64_t{0x1235}, std::uint64_t{0x20001}}) {
            const testing::Planted planted = plant(c.object, offset);
            const std::vector<ScanHit> hits = scanBytes(planted.image);
            ASSERT_EQ(hits.size(), 1U);
            EXPECT_EQ(hits[0].offset, offset);
            EXPECT_EQ(hits[0].format, c.format);
            EXPECT_EQ(hits[0].size, c.size);
            EXPECT_TRUE(hits[0].sizeExact);
            EXPECT_NE(hits[0].description.find(c.description), std::string::npos)
                << hits[0].description;
        }
    }
}

TEST(ScanArchiveTest, ArchivesBackToBackAreEachFound) {
    ByteBuffer image = randomFiller(0x101);
    std::vector<std::pair<std::uint64_t, std::string>> expected;
    for (const Case& c : archiveCases()) {
        expected.emplace_back(image.size(), c.format);
        image.insert(image.end(), c.object.begin(), c.object.end());
    }
    const std::vector<ScanHit> hits = scanBytes(image);
    ASSERT_EQ(hits.size(), expected.size());
    for (std::size_t i = 0; i < hits.size(); ++i) {
        EXPECT_EQ(hits[i].offset, expected[i].first) << i;
        EXPECT_EQ(hits[i].format, expected[i].second) << i;
        EXPECT_TRUE(hits[i].sizeExact) << i;
    }
}

enum class Expect { kNothing, kEstimate };

struct Hostile {
    std::string label;
    ByteBuffer object;
    std::string format;
    Expect expect;
    std::size_t after = 0x777;  // random bytes behind the object
};

std::vector<Hostile> hostileCases() {
    std::vector<Hostile> cases;
    const auto changed = [](ByteBuffer bytes, const std::function<void(ByteBuffer&)>& change) {
        change(bytes);
        return bytes;
    };
    const ByteBuffer zip = makeZip(kFiles);
    cases.push_back({"zip end record counts too many",
                     changed(zip,
                             [](ByteBuffer& b) {
                                 setLittle(b, zipEnd(b) + 8, 4, 2);
                                 setLittle(b, zipEnd(b) + 10, 4, 2);
                             }),
                     "zip", Expect::kEstimate});
    cases.push_back({"zip directory offset points back into the data",
                     changed(zip, [](ByteBuffer& b) { setLittle(b, zipEnd(b) + 16, 10, 4); }),
                     "zip", Expect::kEstimate});
    cases.push_back({"zip directory size lies",
                     changed(zip, [](ByteBuffer& b) { setLittle(b, zipEnd(b) + 12, 0xFFFF, 4); }),
                     "zip", Expect::kEstimate});
    cases.push_back({"zip entry size runs past the end",
                     changed(zip, [](ByteBuffer& b) { setLittle(b, 18, 0xFFFFFFF0, 4); }), "zip",
                     Expect::kEstimate});
    cases.push_back({"zip cut in its central directory", ByteBuffer(zip.begin(), zip.end() - 40),
                     "zip", Expect::kEstimate, 0});
    cases.push_back({"streamed zip without a directory",
                     changed(makeZip(kFiles, {.descriptors = true, .offsetBase = 0, .comment = {}}),
                             [](ByteBuffer& b) { b.resize(b.size() - 150); }),
                     "zip", Expect::kEstimate});
    cases.push_back({"zip name runs past the input",
                     changed(zip,
                             [](ByteBuffer& b) {
                                 setLittle(b, 26, 0xFFFF, 2);
                                 b.resize(40);
                             }),
                     "zip", Expect::kNothing, 0});
    cases.push_back({"zip unknown method",
                     changed(zip, [](ByteBuffer& b) { setLittle(b, 8, 0x4242, 2); }), "zip",
                     Expect::kNothing});
    cases.push_back({"empty zip with a comment past the end",
                     changed(ByteBuffer(22, 0),
                             [](ByteBuffer& b) {
                                 std::copy_n("PK\x05\x06", 4, b.begin());
                                 setLittle(b, 20, 0xFFFF, 2);
                             }),
                     "zip", Expect::kNothing, 0});

    const ByteBuffer sevenZip = make7z("packed", std::string_view("\x01\x00", 2));
    cases.push_back({"7z start header CRC wrong",
                     changed(sevenZip, [](ByteBuffer& b) { b[8] ^= 1; }), "7z", Expect::kNothing});
    cases.push_back({"7z next header past the end",
                     changed(sevenZip,
                             [](ByteBuffer& b) {
                                 setLittle(b, 12, 0x7FFFFFFFFFFFFF00, 8);
                                 setLittle(b, 8, crcOf(b.data() + 12, 20), 4);
                             }),
                     "7z", Expect::kEstimate});
    cases.push_back({"7z next header offset and size wrap",
                     changed(sevenZip,
                             [](ByteBuffer& b) {
                                 setLittle(b, 12, 0xFFFFFFFFFFFFFFF0, 8);
                                 setLittle(b, 20, 0x100, 8);
                                 setLittle(b, 8, crcOf(b.data() + 12, 20), 4);
                             }),
                     "7z", Expect::kEstimate});
    cases.push_back({"7z next header CRC wrong",
                     changed(sevenZip, [](ByteBuffer& b) { b.back() ^= 0x40; }), "7z",
                     Expect::kEstimate});
    cases.push_back({"7z version 1", changed(sevenZip, [](ByteBuffer& b) { b[6] = 1; }), "7z",
                     Expect::kNothing});

    const std::vector<Entry> files = {{"a", "1"}, {"b", std::string(700, 'b')}, {"c", "3"}};
    const ByteBuffer tar = makeTar(files);
    cases.push_back({"tar checksum wrong", changed(tar, [](ByteBuffer& b) { b[0] = 'z'; }), "tar",
                     Expect::kNothing});
    cases.push_back({"tar checksum not octal", changed(tar, [](ByteBuffer& b) { b[149] = '9'; }),
                     "tar", Expect::kNothing});
    cases.push_back({"tar second header broken", changed(tar, [](ByteBuffer& b) { b[1024] ^= 1; }),
                     "tar", Expect::kEstimate});
    cases.push_back({"tar without end blocks",
                     makeTar(files, {.endBlocks = false, .recordPadding = false}), "tar",
                     Expect::kEstimate});
    cases.push_back({"tar cut in an entry's data", ByteBuffer(tar.begin(), tar.begin() + 1500),
                     "tar", Expect::kEstimate, 0});
    {
        // A base-256 size of 2^64 - 512, whose rounding up to blocks would wrap.
        ByteBuffer huge = tarHeader("huge", 0, '0', TarKind::kUstar);
        huge[124] = 0x80;
        std::fill(huge.begin() + 125, huge.begin() + 128, 0);
        std::fill(huge.begin() + 128, huge.begin() + 135, 0xFF);
        huge[135] = 0xFE;
        std::fill(huge.begin() + 148, huge.begin() + 156, ' ');
        std::uint64_t sum = 0;
        for (const std::uint8_t byte : huge) {
            sum += byte;
        }
        const std::string checksum = formatted("%06llo", sum);
        std::copy(checksum.begin(), checksum.end(), huge.begin() + 148);
        huge[154] = 0;
        cases.push_back({"tar size near 2^64", huge, "tar", Expect::kEstimate});
    }

    const std::vector<Entry> root = {{"bin/", ""}, {"bin/sh", "#!ELF"}};
    const ByteBuffer newc = makeCpio(CpioKind::kNewc, root);
    cases.push_back({"cpio name size huge",
                     changed(newc,
                             [](ByteBuffer& b) {
                                 const std::string size = "7FFFFFFF";
                                 std::copy(size.begin(), size.end(), b.begin() + 94);
                             }),
                     "cpio", Expect::kNothing});
    cases.push_back({"cpio name not ending in NUL",
                     changed(newc, [](ByteBuffer& b) { b[110 + 3] = 'x'; }), "cpio",
                     Expect::kNothing});
    cases.push_back({"cpio field not hexadecimal",
                     changed(newc, [](ByteBuffer& b) { b[20] = 'g'; }), "cpio", Expect::kNothing});
    cases.push_back({"cpio file size past the end",
                     changed(newc,
                             [](ByteBuffer& b) {
                                 const std::string size = "FFFFFFFF";
                                 std::copy(size.begin(), size.end(), b.begin() + 54);
                             }),
                     "cpio", Expect::kEstimate});
    cases.push_back({"cpio without trailer", makeCpio(CpioKind::kNewc, root, false, false), "cpio",
                     Expect::kEstimate});
    cases.push_back({"cpio odc without trailer", makeCpio(CpioKind::kOdc, root, false, false),
                     "cpio", Expect::kEstimate});
    {
        ByteBuffer binary;
        putCpioEntry(binary, CpioKind::kBinaryLittle, "lonely", "data", 0100644, 1);
        cases.push_back({"binary cpio of one entry and no more", binary, "cpio", Expect::kNothing});
    }
    cases.push_back({"binary cpio bad mode",
                     changed(makeCpio(CpioKind::kBinaryBig, root),
                             [](ByteBuffer& b) {
                                 b[6] = 0xF0;
                                 b[7] = 0;
                             }),
                     "cpio", Expect::kNothing});

    const ByteBuffer ar = makeAr(kDebMembers);
    cases.push_back({"ar member size past the end",
                     changed(ar,
                             [](ByteBuffer& b) {
                                 const std::string size = "999999999 ";
                                 std::copy(size.begin(), size.end(), b.begin() + 8 + 48);
                             }),
                     "ar", Expect::kEstimate});
    cases.push_back({"ar first header not ending in its marker",
                     changed(ar, [](ByteBuffer& b) { b[8 + 58] = '\''; }), "ar", Expect::kNothing});
    cases.push_back({"ar magic alone",
                     changed(ar, [](ByteBuffer& b) { b.erase(b.begin() + 8, b.end()); }), "ar",
                     Expect::kNothing});
    return cases;
}

TEST(ScanArchiveTest, BrokenOrLyingHeadersGiveNoHitOrAnEstimate) {
    for (const Hostile& c : hostileCases()) {
        SCOPED_TRACE(c.label);
        const testing::Planted planted = plant(c.object, 0x3001, c.after);
        const std::vector<ScanHit> hits = scanBytes(planted.image);
        const auto hit = std::ranges::find_if(hits, [&](const ScanHit& h) {
            return h.offset == planted.offset && h.format == c.format;
        });
        if (c.expect == Expect::kNothing) {
            EXPECT_EQ(hit, hits.end()) << hit->description;
            continue;
        }
        ASSERT_NE(hit, hits.end());
        EXPECT_FALSE(hit->sizeExact) << hit->description;
        EXPECT_LE(hit->offset + hit->size, planted.image.size());
    }
}

// A chain of tiny local headers that no central directory ends: each header is a candidate whose
// walk runs over all the headers after it. The first one's walk is a lower bound of its size and
// hides the others, which are not walked again.
TEST(ScanArchiveTest, LocalHeadersWithoutADirectoryAreWalkedOnce) {
    constexpr std::size_t kHeaders = 20000;
    ByteBuffer object;
    for (std::size_t i = 0; i < kHeaders; ++i) {
        ByteBuffer header(30);
        setLittle(header, 0, 0x04034B50, 4);
        setLittle(header, 4, 20, 2);
        setLittle(header, 26, 1, 2);
        header.push_back('a');
        object.insert(object.end(), header.begin(), header.end());
    }
    const testing::Planted planted = plant(object, 0x123);
    const std::vector<ScanHit> hits = scanBytes(planted.image);
    ASSERT_EQ(hits.size(), 1U);
    EXPECT_EQ(hits[0].offset, planted.offset);
    EXPECT_EQ(hits[0].format, "zip");
    EXPECT_FALSE(hits[0].sizeExact);
    EXPECT_GE(hits[0].size, object.size());
    EXPECT_NE(hits[0].description.find("no end of central directory"), std::string::npos)
        << hits[0].description;
}

TEST(ScanArchiveTest, RandomBytesHoldNoArchive) {
    for (const std::uint32_t seed : {1U, 2U, 3U}) {
        for (const ScanHit& hit : scanBytes(randomFiller(std::size_t{8} << 20, seed))) {
            for (const std::string_view format : {"zip", "7z", "tar", "cpio", "ar"}) {
                EXPECT_NE(hit.format, format) << seed << " at " << hit.offset;
            }
        }
    }
}

// Archives written by Python's zipfile and tarfile, where python3 is on the machine: each is
// found with the size of the file it wrote.
TEST(ScanArchiveTest, ArchivesWrittenByPythonMeasureAsTheirFiles) {
    namespace fs = std::filesystem;
    std::random_device device;
    const fs::path dir =
        fs::temp_directory_path() / ("tessaloom-scan-archives-" + std::to_string(device()));
    fs::create_directories(dir);
    const fs::path script = dir / "make.py";
    {
        std::ofstream out(script);
        out << R"(import io, os, sys, tarfile, zipfile
d = sys.argv[1]
files = {'a.txt': b'alpha\n' * 300, 'sub/b.bin': bytes(range(256)) * 9, 'c': b''}
def zip_to(target, **kw):
    with zipfile.ZipFile(target, 'w', **kw) as z:
        for name, data in files.items():
            z.writestr(name, data)
zip_to(os.path.join(d, 'deflated.zip'), compression=zipfile.ZIP_DEFLATED)
class Stream:
    def __init__(self, f): self.f = f
    def write(self, b): return self.f.write(b)
    def flush(self): pass
with open(os.path.join(d, 'streamed.zip'), 'wb') as f:
    zip_to(Stream(f), compression=zipfile.ZIP_DEFLATED)
with zipfile.ZipFile(os.path.join(d, 'zip64.zip'), 'w') as z:
    for name, data in files.items():
        with z.open(name, 'w', force_zip64=True) as e:
            e.write(data)
for fmt, name in ((tarfile.GNU_FORMAT, 'gnu.tar'), (tarfile.PAX_FORMAT, 'pax.tar'),
                  (tarfile.USTAR_FORMAT, 'ustar.tar')):
    with tarfile.open(os.path.join(d, name), 'w', format=fmt) as t:
        for n, data in files.items():
            info = tarfile.TarInfo(('x' * 120 + '/' if fmt == tarfile.GNU_FORMAT else '') + n)
            info.size = len(data)
            t.addfile(info, io.BytesIO(data))
)";
    }
    const std::string command =
        "python3 \"" + script.string() + "\" \"" + dir.string() + "\" > /dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
        fs::remove_all(dir);
        GTEST_SKIP() << "python3 is not available";
    }
    for (const auto& [name, format] :
         std::vector<std::pair<std::string, std::string>>{{"deflated.zip", "zip"},
                                                          {"streamed.zip", "zip"},
                                                          {"zip64.zip", "zip"},
                                                          {"gnu.tar", "tar"},
                                                          {"pax.tar", "tar"},
                                                          {"ustar.tar", "tar"}}) {
        SCOPED_TRACE(name);
        std::ifstream in(dir / name, std::ios::binary);
        const ByteBuffer file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        ASSERT_FALSE(file.empty());
        const testing::Planted planted = plant(file, 0x777);
        const std::vector<ScanHit> hits = scanBytes(planted.image);
        ASSERT_EQ(hits.size(), 1U);
        EXPECT_EQ(hits[0].offset, planted.offset);
        EXPECT_EQ(hits[0].format, format);
        EXPECT_EQ(hits[0].size, file.size());
        EXPECT_TRUE(hits[0].sizeExact);
        EXPECT_NE(hits[0].description.find("3 entries"), std::string::npos) << hits[0].description;
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace tessaloom
