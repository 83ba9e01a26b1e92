#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <string_view>
#include <vector>

#include "engine/scan/planted.h"

namespace tessaloom {
namespace {

using testing::plant;
using testing::randomFiller;
using testing::scanBytes;

void putBig(ByteBuffer& bytes, std::size_t at, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - i)));
    }
}
void putLittle(ByteBuffer& bytes, std::size_t at, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}
void putText(ByteBuffer& bytes, std::size_t at, std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        bytes[at + i] = static_cast<std::uint8_t>(text[i]);
    }
}
std::uint32_t crcOf(const std::uint8_t* data, std::size_t length) {
    return static_cast<std::uint32_t>(crc32(0, data, static_cast<uInt>(length)));
}

// Bytes that no format's magic starts in.
ByteBuffer pattern(std::size_t n) {
    ByteBuffer bytes(n);
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<std::uint8_t>('a' + i % 23);
    }
    return bytes;
}

// A legacy U-Boot image of an ARM Linux kernel, gzip-compressed, around data.
ByteBuffer uimage(const ByteBuffer& data, bool goodHeaderCrc = true, bool goodDataCrc = true,
                  std::uint32_t claimedSize = 0) {
    ByteBuffer image(64);
    putBig(image, 0, 0x27051956, 4);
    putBig(image, 8, 1700000000, 4);
    putBig(image, 12, claimedSize != 0 ? claimedSize : data.size(), 4);
    putBig(image, 16, 0x80008000, 4);
    putBig(image, 20, 0x80008000, 4);
    putBig(image, 24, crcOf(data.data(), data.size()) ^ (goodDataCrc ? 0U : 1U), 4);
    image[28] = 5;  // Linux
    image[29] = 2;  // ARM
    image[30] = 2;  // kernel
    image[31] = 1;  // gzip
    putText(image, 32, "Linux-5.4");
    putBig(image, 4, crcOf(image.data(), 64) ^ (goodHeaderCrc ? 0U : 1U), 4);
    image.insert(image.end(), data.begin(), data.end());
    return image;
}

// A flattened device tree written token by token.
class Tree {
  public:
    Tree& begin(std::string_view name) {
        token(1);
        text(name);
        return *this;
    }
    Tree& end() {
        token(2);
        return *this;
    }
    Tree& property(std::string_view name, const ByteBuffer& value) {
        token(3);
        token(static_cast<std::uint32_t>(value.size()));
        token(nameOffset(name));
        structure_.insert(structure_.end(), value.begin(), value.end());
        pad();
        return *this;
    }
    Tree& property(std::string_view name, std::string_view value) {
        ByteBuffer bytes(value.begin(), value.end());
        bytes.push_back(0);
        return property(name, bytes);
    }
    Tree& raw(std::uint32_t value) {
        token(value);
        return *this;
    }

    // The blob: header, an empty reservation map, the structure block, the strings.
    ByteBuffer blob(std::uint32_t version = 17) {
        token(9);
        ByteBuffer bytes(40 + 16);
        const std::size_t structAt = bytes.size();
        bytes.insert(bytes.end(), structure_.begin(), structure_.end());
        const std::size_t stringsAt = bytes.size();
        bytes.insert(bytes.end(), strings_.begin(), strings_.end());
        putBig(bytes, 0, 0xD00DFEED, 4);
        putBig(bytes, 4, bytes.size(), 4);
        putBig(bytes, 8, structAt, 4);
        putBig(bytes, 12, stringsAt, 4);
        putBig(bytes, 16, 40, 4);
        putBig(bytes, 20, version, 4);
        putBig(bytes, 24, 16, 4);
        putBig(bytes, 32, strings_.size(), 4);
        putBig(bytes, 36, structure_.size(), 4);
        return bytes;
    }

  private:
    void token(std::uint32_t value) {
        const std::size_t at = structure_.size();
        structure_.resize(at + 4);
        putBig(structure_, at, value, 4);
    }
    void text(std::string_view name) {
        structure_.insert(structure_.end(), name.begin(), name.end());
        structure_.push_back(0);
        pad();
    }
    void pad() {
        while (structure_.size() % 4 != 0) {
            structure_.push_back(0);
        }
    }
    std::uint32_t nameOffset(std::string_view name) {
        const std::string all(strings_.begin(), strings_.end());
        const std::size_t found = all.find(std::string(name) + '\0');
        if (found != std::string::npos) {
            return static_cast<std::uint32_t>(found);
        }
        const auto at = static_cast<std::uint32_t>(strings_.size());
        strings_.insert(strings_.end(), name.begin(), name.end());
        strings_.push_back(0);
        return at;
    }
    ByteBuffer structure_;
    ByteBuffer strings_;
};

ByteBuffer boardTree() {
    return Tree()
        .begin("")
        .property("model", "Test Board")
        .property("#address-cells", ByteBuffer{0, 0, 0, 1})
        .begin("cpus")
        .begin("cpu@0")
        .property("compatible", "arm,cortex-a53")
        .end()
        .end()
        .end()
        .blob();
}

ByteBuffer fitTree() {
    return Tree()
        .begin("")
        .property("description", "Kernel and FDT blob")
        .begin("images")
        .begin("kernel")
        .property("data", pattern(3000))
        .property("type", "kernel")
        .end()
        .end()
        .begin("configurations")
        .end()
        .end()
        .blob();
}

// An Android boot image: the header page and each part padded to whole pages.
ByteBuffer androidBoot(std::uint32_t version, std::uint32_t page, std::uint32_t kernel,
                       std::uint32_t ramdisk, std::uint32_t extra = 0) {
    ByteBuffer image(version >= 3 ? 4096 : page);
    putText(image, 0, "ANDROID!");
    putLittle(image, 8, kernel, 4);
    putLittle(image, 40, version, 4);
    if (version <= 2) {
        putLittle(image, 16, ramdisk, 4);
        putLittle(image, 36, page, 4);
        putText(image, 48, "board");
        putText(image, 64, "console=ttyS0 root=/dev/mmcblk0p2");
        if (version >= 1) {
            putLittle(image, 1632, 0, 4);
            putLittle(image, 1644, version == 1 ? 1648 : 1660, 4);
        }
        if (version == 2) {
            putLittle(image, 1648, extra, 4);
        }
    } else {
        putLittle(image, 12, ramdisk, 4);
        putLittle(image, 20, version == 3 ? 1580 : 1584, 4);
        putText(image, 44, "console=ttyS0 root=/dev/mmcblk0p2");
        if (version == 4) {
            putLittle(image, 1580, extra, 4);
        }
        page = 4096;
    }
    for (const std::uint32_t part : {kernel, ramdisk, extra}) {
        const std::size_t padded = (part + page - 1) / page * page;
        const ByteBuffer bytes = pattern(padded);
        image.insert(image.end(), bytes.begin(), bytes.end());
    }
    return image;
}

struct MbrEntry {
    std::uint8_t status;
    std::uint8_t type;
    std::uint32_t first;
    std::uint32_t count;
};

ByteBuffer mbr(const std::vector<MbrEntry>& entries) {
    ByteBuffer sector(512);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::size_t at = 446 + i * 16;
        sector[at] = entries[i].status;
        sector[at + 4] = entries[i].type;
        putLittle(sector, at + 8, entries[i].first, 4);
        putLittle(sector, at + 12, entries[i].count, 4);
    }
    sector[510] = 0x55;
    sector[511] = 0xAA;
    return sector;
}

struct GptPartition {
    std::string_view name;
    std::uint64_t first;
    std::uint64_t last;
};

// A whole GPT disk of `blocks` sectors: protective MBR, header, 128 entries, partitions, backup.
ByteBuffer gptDisk(std::size_t sector, std::uint64_t blocks,
                   const std::vector<GptPartition>& partitions, bool goodHeaderCrc = true,
                   bool goodEntriesCrc = true) {
    ByteBuffer disk(static_cast<std::size_t>(sector * blocks));
    const ByteBuffer protective =
        mbr({{0, 0xEE, 1,
              static_cast<std::uint32_t>(std::min<std::uint64_t>(blocks - 1, 0xFFFFFFFF))}});
    std::copy(protective.begin(), protective.end(), disk.begin());
    constexpr std::size_t kEntries = 128;
    const std::size_t entriesAt = 2 * sector;
    const std::uint64_t entryBlocks = kEntries * 128 / sector;
    for (std::size_t i = 0; i < partitions.size(); ++i) {
        const std::size_t at = entriesAt + i * 128;
        putLittle(disk, at, 0x0FC63DAF84834772, 8);  // Linux file system data
        putLittle(disk, at + 8, 0xE47D47D8693D798E, 8);
        putLittle(disk, at + 16, 0x1111 + i, 8);
        putLittle(disk, at + 32, partitions[i].first, 8);
        putLittle(disk, at + 40, partitions[i].last, 8);
        for (std::size_t c = 0; c < partitions[i].name.size(); ++c) {
            disk[at + 56 + 2 * c] = static_cast<std::uint8_t>(partitions[i].name[c]);
        }
    }
    const std::size_t header = sector;
    putText(disk, header, "EFI PART");
    putLittle(disk, header + 8, 0x00010000, 4);
    putLittle(disk, header + 12, 92, 4);
    putLittle(disk, header + 24, 1, 8);
    putLittle(disk, header + 32, blocks - 1, 8);
    putLittle(disk, header + 40, 2 + entryBlocks, 8);
    putLittle(disk, header + 48, blocks - 2 - entryBlocks, 8);
    putLittle(disk, header + 56, 0x0123456789ABCDEF, 8);
    putLittle(disk, header + 72, 2, 8);
    putLittle(disk, header + 80, kEntries, 4);
    putLittle(disk, header + 84, 128, 4);
    putLittle(disk, header + 88,
              crcOf(&disk[entriesAt], kEntries * 128) ^ (goodEntriesCrc ? 0U : 1U), 4);
    putLittle(disk, header + 16, crcOf(&disk[header], 92) ^ (goodHeaderCrc ? 0U : 1U), 4);
    // The backup header in the last block.
    std::copy_n(disk.begin() + static_cast<std::ptrdiff_t>(header), 92,
                disk.begin() + static_cast<std::ptrdiff_t>((blocks - 1) * sector));
    return disk;
}

struct Case {
    std::string_view what;
    ByteBuffer object;
    std::string_view format;
    std::uint64_t size;
    std::string_view description;
};

TEST(ScanFirmwareTest, FindsEachFormatAtItsOffsetWithItsSize) {
    const ByteBuffer board = boardTree();
    const ByteBuffer fit = fitTree();
    const Case cases[] = {
        {"uImage", uimage(pattern(300)), "uimage", 364, R"(uImage "Linux-5.4", ARM kernel, gzip)"},
        {"device tree", board, "fdt", board.size(), R"(device tree, )"},
        {"device tree model", board, "fdt", board.size(), R"(version 17, model "Test Board")"},
        {"FIT image", fit, "fdt", fit.size(), R"(FIT image "Kernel and FDT blob")"},
        {"Android v0", androidBoot(0, 2048, 5000, 3000), "android-boot", 2048 + 6144 + 4096,
         R"(Android boot image v0, kernel 4.9 KiB, ramdisk 2.9 KiB, cmdline "console=ttyS0 root=)"},
        {"Android v2 with dtb", androidBoot(2, 4096, 5000, 100, 100), "android-boot",
         4096 + 8192 + 4096 + 4096, "Android boot image v2"},
        {"Android v4", androidBoot(4, 4096, 9000, 5000, 1000), "android-boot",
         4096 + 12288 + 8192 + 4096, "Android boot image v4, kernel 8.8 KiB"},
        {"MBR", mbr({{0x80, 0x83, 2048, 1048576}, {0, 0x82, 2048 + 1048576, 2048}}), "mbr", 512,
         "MBR, 2 partitions: 0x83 Linux at 0x100000 (512.0 MiB), 0x82 Linux swap at 0x20100000 "
         "(1.0 MiB)"},
        {"GPT", gptDisk(512, 128, {{"EFI system", 34, 53}, {"root", 54, 90}}), "gpt", 128 * 512,
         R"(GPT, 2 partitions: "EFI system" at 0x4400 (10.0 KiB), "root" at 0x6c00 (18.5 KiB))"},
        {"GPT, 4096-byte sectors", gptDisk(4096, 16, {{"data", 6, 9}}), "gpt", 16 * 4096,
         R"(GPT, 1 partition: "data" at 0x6000 (16.0 KiB), 4096-byte sectors)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto planted = plant(c.object, 0x2001, 0x999);
        const std::vector<ScanHit> hits = scanBytes(planted.image);
        ASSERT_EQ(hits.size(), 1U);
        EXPECT_EQ(hits[0].offset, planted.offset);
        EXPECT_EQ(hits[0].format, c.format);
        EXPECT_EQ(hits[0].size, c.size);
        EXPECT_TRUE(hits[0].sizeExact);
        EXPECT_NE(hits[0].description.find(c.description), std::string::npos)
            << hits[0].description;
    }
}

// A uImage's header is scanned through: the object it wraps is found at its own offset.
TEST(ScanFirmwareTest, FindsTheTreeInsideAUimage) {
    const ByteBuffer inner = boardTree();
    const auto planted = plant(uimage(inner), 0x1003);
    const std::vector<ScanHit> hits = scanBytes(planted.image);
    ASSERT_EQ(hits.size(), 2U);
    EXPECT_EQ(hits[0].format, "uimage");
    EXPECT_EQ(hits[1].format, "fdt");
    EXPECT_EQ(hits[1].offset, planted.offset + 64);
    EXPECT_EQ(hits[1].size, inner.size());
}

struct Hostile {
    std::string_view what;
    ByteBuffer object;
    std::string_view format;
};

ByteBuffer changed(ByteBuffer bytes, std::size_t at, std::uint64_t value, std::size_t width,
                   bool big) {
    if (big) {
        putBig(bytes, at, value, width);
    } else {
        putLittle(bytes, at, value, width);
    }
    return bytes;
}

// The GPT header at `sector` with its CRC made right again, so that only the changed field lies.
ByteBuffer resealed(ByteBuffer disk, std::size_t sector = 512) {
    putLittle(disk, sector + 16, 0, 4);
    putLittle(disk, sector + 16, crcOf(&disk[sector], 92), 4);
    return disk;
}

ByteBuffer cut(ByteBuffer bytes, std::size_t size) {
    bytes.resize(size);
    return bytes;
}

TEST(ScanFirmwareTest, BrokenHeadersGiveNoExactHit) {
    const ByteBuffer board = boardTree();
    const ByteBuffer android = androidBoot(0, 2048, 5000, 3000);
    const ByteBuffer disk = gptDisk(512, 128, {{"root", 34, 90}});
    const Hostile cases[] = {
        {"uImage header CRC", uimage(pattern(300), false), "uimage"},
        {"uImage data CRC", uimage(pattern(300), true, false), "uimage"},
        {"uImage data beyond the input", uimage(pattern(300), true, true, 0xFFFFFF00), "uimage"},
        {"uImage truncated", cut(uimage(pattern(300)), 200), "uimage"},
        {"tree: total size below its blocks", changed(board, 4, 60, 4, true), "fdt"},
        {"tree: version 3", changed(board, 20, 3, 4, true), "fdt"},
        {"tree: first token not a node", changed(board, 56, 3, 4, true), "fdt"},
        {"tree: property longer than the block", changed(board, 64 + 4, 0x7FFFFFF0, 4, true),
         "fdt"},
        {"tree: unknown token", changed(board, 64, 7, 4, true), "fdt"},
        {"tree: name outside the strings", changed(board, 64 + 8, 0x100000, 4, true), "fdt"},
        {"tree: nothing but NOPs",
         [] {
             Tree tree;
             for (int i = 0; i < 10000; ++i) {
                 tree.raw(4);
             }
             return tree.blob();
         }(),
         "fdt"},
        {"tree: nodes never closed",
         [] {
             Tree tree;
             tree.begin("");
             for (int i = 0; i < 6000; ++i) {
                 tree.begin("n");
             }
             return cut(tree.blob(), 20000);
         }(),
         "fdt"},
        {"Android page size 1000", changed(android, 36, 1000, 4, false), "android-boot"},
        {"Android version 9", changed(android, 40, 9, 4, false), "android-boot"},
        {"Android kernel beyond the input", changed(android, 8, 0xFFFFFFF0, 4, false),
         "android-boot"},
        {"Android v1 header size", changed(androidBoot(1, 2048, 100, 100), 1644, 1660, 4, false),
         "android-boot"},
        {"MBR overlapping partitions", mbr({{0, 0x83, 2048, 4096}, {0, 0x83, 4095, 10}}), "mbr"},
        {"MBR status 0x01", mbr({{1, 0x83, 2048, 4096}}), "mbr"},
        {"MBR starts at block 0", mbr({{0, 0x83, 0, 4096}}), "mbr"},
        {"MBR empty", mbr({}), "mbr"},
        {"FAT boot sector",
         [] {
             ByteBuffer sector = mbr({{0, 0x83, 2048, 4096}});
             putText(sector, 0x52, "FAT32   ");
             return sector;
         }(),
         "mbr"},
        {"GPT header CRC", gptDisk(512, 128, {{"root", 34, 90}}, false), "gpt"},
        {"GPT entries CRC", gptDisk(512, 128, {{"root", 34, 90}}, true, false), "gpt"},
        {"GPT entry count that lies", resealed(changed(disk, 512 + 80, 0xFFFFFFFF, 4, false)),
         "gpt"},
        {"GPT entries beyond the input", resealed(changed(disk, 512 + 72, 0x7FFFFFFF, 8, false)),
         "gpt"},
        {"GPT entry size 0", resealed(changed(disk, 512 + 84, 0, 4, false)), "gpt"},
        {"GPT header size 0xFFFFFFFF", resealed(changed(disk, 512 + 12, 0xFFFFFFFF, 4, false)),
         "gpt"},
        {"GPT truncated", cut(disk, 40 * 512), "gpt"},
    };
    for (const Hostile& c : cases) {
        SCOPED_TRACE(c.what);
        const auto planted = plant(c.object, 0x3003, 0);
        for (const ScanHit& hit : scanBytes(planted.image)) {
            EXPECT_FALSE(hit.format == c.format && hit.sizeExact) << hit.description;
        }
    }
}

// The protective MBR of a GPT disk whose header is broken is still a partition table.
TEST(ScanFirmwareTest, ProtectiveMbrStandsAloneWithoutItsGpt) {
    const auto planted = plant(gptDisk(512, 128, {{"root", 34, 90}}, false), 0x1001);
    const std::vector<ScanHit> hits = scanBytes(planted.image);
    ASSERT_EQ(hits.size(), 1U);
    EXPECT_EQ(hits[0].format, "mbr");
    EXPECT_NE(hits[0].description.find("0xEE GPT protective"), std::string::npos);
}

TEST(ScanFirmwareTest, RandomBytesHoldNone) {
    for (const std::uint32_t seed : {1U, 2U, 3U}) {
        const ByteBuffer noise = randomFiller(std::size_t{8} << 20, seed);
        for (const ScanHit& hit : scanBytes(noise)) {
            EXPECT_TRUE(hit.format != "uimage" && hit.format != "fdt" &&
                        hit.format != "android-boot" && hit.format != "mbr" && hit.format != "gpt")
                << hit.format << " at " << hit.offset;
        }
    }
}

}  // namespace
}  // namespace tessaloom
