#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <string_view>

#include "engine/scan/planted.h"

namespace tessaloom::testing {
namespace {

enum class Order { kLittle, kBig };

// An image being built by hand: numbers in its byte order, growing as fields are written.
struct Image {
    ByteBuffer bytes;
    Order order = Order::kLittle;

    explicit Image(std::size_t size = 0, Order o = Order::kLittle, std::uint8_t fill = 0)
        : bytes(size, fill), order(o) {}
    void grow(std::size_t end) {
        if (bytes.size() < end) {
            bytes.resize(end, 0);
        }
    }
    void put(std::size_t offset, std::uint64_t value, std::size_t width, Order o) {
        grow(offset + width);
        for (std::size_t i = 0; i < width; ++i) {
            const std::size_t shift = 8 * (o == Order::kLittle ? i : width - 1 - i);
            bytes[offset + i] = static_cast<std::uint8_t>(value >> shift);
        }
    }
    void put(std::size_t offset, std::uint64_t value, std::size_t width) {
        put(offset, value, width, order);
    }
    void text(std::size_t offset, std::string_view value) {
        grow(offset + value.size());
        std::copy(value.begin(), value.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
    }
    void random(std::size_t offset, std::size_t length, std::uint32_t seed) {
        const ByteBuffer noise = randomFiller(length, seed);
        grow(offset + length);
        std::copy(noise.begin(), noise.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
    }
    ByteView view(std::size_t offset, std::size_t length) const {
        return ByteView(bytes).subspan(offset, length);
    }
};

// The reflected CRC a bit at a time, with the formats' own initial values and final inversions
// applied by the callers.
std::uint32_t crcBits(ByteView bytes, std::uint32_t state, std::uint32_t polynomial) {
    for (const std::uint8_t byte : bytes) {
        state ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            state = (state >> 1) ^ (polynomial & (0u - (state & 1u)));
        }
    }
    return state;
}
std::uint32_t zlibCrc(ByteView bytes) {
    return ~crcBits(bytes, 0xFFFFFFFF, 0xEDB88320);
}
std::uint32_t jffs2Crc(ByteView bytes) {
    return crcBits(bytes, 0, 0xEDB88320);
}
std::uint32_t ubiCrc(ByteView bytes) {
    return crcBits(bytes, 0xFFFFFFFF, 0xEDB88320);
}
std::uint32_t ext4Crc(ByteView bytes) {
    return crcBits(bytes, 0xFFFFFFFF, 0x82F63B78);
}

ByteView textBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// --- builders ------------------------------------------------------------------------------------

struct Squashfs {
    Order order = Order::kLittle;
    std::uint16_t compression = 4;
    std::uint32_t inodes = 412;
    std::uint64_t bytesUsed = 5000;
    std::uint32_t blockSize = 1u << 17;
    std::uint16_t blockLog = 17;
};

ByteBuffer squashfs(const Squashfs& s) {
    // A size past what the test builds lies: the image then holds 8 KiB.
    const std::uint64_t tables = s.bytesUsed <= (1u << 20) ? s.bytesUsed : 8192;
    Image image(0, s.order);
    image.random(96, static_cast<std::size_t>(tables - 96), 11);
    image.put(0, 0x73717368, 4);
    image.put(4, s.inodes, 4);
    image.put(8, 1700000000, 4);
    image.put(12, s.blockSize, 4);
    image.put(16, 3, 4);
    image.put(20, s.compression, 2);
    image.put(22, s.blockLog, 2);
    image.put(24, 0xC0, 2);
    image.put(26, 1, 2);
    image.put(28, 4, 2);
    image.put(30, 0, 2);
    image.put(32, std::uint64_t{0x120} << 16 | 0x40, 8);
    image.put(40, s.bytesUsed, 8);
    image.put(48, tables - 24, 8);
    image.put(56, ~std::uint64_t{0}, 8);
    image.put(64, tables / 2, 8);
    image.put(72, tables / 2 + 300, 8);
    image.put(80, tables - 40, 8);
    image.put(88, ~std::uint64_t{0}, 8);
    image.grow((static_cast<std::size_t>(tables) + 4095) / 4096 * 4096);  // padded with zeros
    return image.bytes;
}

// A cramfs image of size bytes, optionally behind the 512-byte pad that the size field counts.
ByteBuffer cramfs(Order order, std::size_t size, bool withCrc = true, bool padded = false) {
    const std::size_t pad = padded ? 512 : 0;
    Image image(0, order);
    image.random(pad, size - pad, 21);
    image.put(pad + 0, 0x28CD3D45, 4);
    image.put(pad + 4, size, 4);
    image.put(pad + 8, withCrc ? 0x3 : 0x2, 4);
    image.put(pad + 12, 0, 4);
    image.text(pad + 16, "Compressed ROMFS");
    image.put(pad + 32, 0, 4);
    image.put(pad + 36, 0, 4);
    image.put(pad + 40, size / 4096, 4);
    image.put(pad + 44, 7, 4);
    image.text(pad + 48, std::string_view("firmware\0\0\0\0\0\0\0\0", 16));
    for (std::size_t i = 0; i < pad; ++i) {
        image.bytes[i] = 0;
    }
    if (withCrc) {
        image.put(pad + 32, zlibCrc(image.view(pad, size - pad)), 4);
    }
    return image.bytes;
}

// A jffs2 node of type with length - 12 bytes of payload, padded to 4 bytes.
void jffs2Node(Image& image, std::uint16_t type, std::uint32_t length, std::uint32_t seed) {
    const std::size_t at = image.bytes.size();
    image.put(at + 0, 0x1985, 2);
    image.put(at + 2, type, 2);
    image.put(at + 4, length, 4);
    image.put(at + 8, jffs2Crc(image.view(at, 8)), 4);
    image.random(at + 12, length - 12, seed);
    image.grow((image.bytes.size() + 3) / 4 * 4);
}

// Clean marker, inode and dirent nodes in a first erase block of 4 KiB, erased flash to its end,
// and more nodes in the next one.
ByteBuffer jffs2(Order order, bool erasedTail = false) {
    Image image(0, order);
    jffs2Node(image, 0x2003, 12, 0);
    jffs2Node(image, 0xE002, 68 + 301, 31);
    jffs2Node(image, 0xE001, 40 + 7, 32);
    jffs2Node(image, 0xC002, 68 + 50, 33);  // made obsolete
    image.grow(4096);
    std::fill(image.bytes.begin() + 12 + 372 + 48 + 120, image.bytes.end(), 0xFF);
    jffs2Node(image, 0x2003, 12, 0);
    jffs2Node(image, 0xE002, 68 + 1000, 34);
    if (erasedTail) {
        image.bytes.resize(8192, 0xFF);
    }
    return image.bytes;
}

// A UBI image of blocks erase blocks, the first two holding the layout volume's table naming one
// volume, the others that volume's data.
ByteBuffer ubi(std::size_t blockSize, std::size_t blocks, std::string_view volume = "rootfs") {
    Image image(blockSize * blocks, Order::kBig, 0xFF);
    for (std::size_t block = 0; block < blocks; ++block) {
        const std::size_t base = block * blockSize;
        image.text(base, "UBI#");
        image.put(base + 4, 1, 1);
        for (std::size_t i = 5; i < 64; ++i) {
            image.bytes[base + i] = 0;
        }
        image.put(base + 8, 3, 8);
        image.put(base + 16, 64, 4);
        image.put(base + 20, 128, 4);
        image.put(base + 24, 0x1A2B3C4D, 4);
        image.put(base + 60, ubiCrc(image.view(base, 60)), 4);
        const std::size_t vid = base + 64;
        for (std::size_t i = 0; i < 64; ++i) {
            image.bytes[vid + i] = 0;
        }
        image.text(vid, "UBI!");
        image.put(vid + 4, 1, 1);
        image.put(vid + 5, 1, 1);
        image.put(vid + 8, block < 2 ? 0x7FFFEFFF : 0, 4);
        image.put(vid + 12, block < 2 ? block : block - 2, 4);
        image.put(vid + 60, ubiCrc(image.view(vid, 60)), 4);
        if (block >= 2) {
            image.random(base + 128, blockSize - 128, static_cast<std::uint32_t>(40 + block));
            continue;
        }
        const std::size_t records = std::min<std::size_t>(128, (blockSize - 128) / 172);
        for (std::size_t record = 0; record < records; ++record) {
            const std::size_t at = base + 128 + record * 172;
            for (std::size_t i = 0; i < 172; ++i) {
                image.bytes[at + i] = 0;
            }
            if (record == 0) {
                image.put(at + 0, blocks - 2, 4);
                image.put(at + 4, 1, 4);
                image.put(at + 12, 1, 1);
                image.put(at + 14, volume.size(), 2);
                image.text(at + 16, volume);
            }
            image.put(at + 168, ubiCrc(image.view(at, 168)), 4);
        }
    }
    return image.bytes;
}

struct Ext {
    std::string_view kind = "ext4";
    std::uint32_t logBlockSize = 2;
    std::uint64_t blocks = 64;
    std::string_view label = "rootfs";
    bool checksum = true;
    std::uint64_t inodes = 0;  // 16 for each group where 0
    std::uint16_t groupNumber = 0;
    bool truncated = false;  // only the first 64 KiB of the image
};

ByteBuffer ext(const Ext& e) {
    const std::uint64_t blockSize = std::uint64_t{1024} << e.logBlockSize;
    const std::uint64_t firstData = blockSize == 1024 ? 1 : 0;
    const std::uint64_t perGroup = 8 * blockSize;
    const std::uint64_t groups = (e.blocks - firstData + perGroup - 1) / perGroup;
    const std::uint64_t size = e.truncated ? 65536 : e.blocks * blockSize;
    Image image(static_cast<std::size_t>(size));
    image.random(0x2000, 0x1000, 51);
    const std::size_t sb = 0x400;
    image.put(sb + 0x00, e.inodes != 0 ? e.inodes : 16 * groups, 4);
    image.put(sb + 0x04, e.blocks & 0xFFFFFFFF, 4);
    image.put(sb + 0x14, firstData, 4);
    image.put(sb + 0x18, e.logBlockSize, 4);
    image.put(sb + 0x1C, e.logBlockSize, 4);
    image.put(sb + 0x20, perGroup, 4);
    image.put(sb + 0x24, perGroup, 4);
    image.put(sb + 0x28, 16, 4);
    image.put(sb + 0x38, 0xEF53, 2);
    image.put(sb + 0x3A, 1, 2);
    image.put(sb + 0x4C, 1, 4);
    image.put(sb + 0x54, 11, 4);
    image.put(sb + 0x58, 256, 2);
    image.put(sb + 0x5A, e.groupNumber, 2);
    std::uint64_t compat = 0x38;
    std::uint64_t incompat = 0x2;
    std::uint64_t roCompat = 0x3;
    if (e.kind != "ext2") {
        compat |= 0x4;
    }
    if (e.kind == "ext4") {
        incompat |= 0x40 | 0x200 | (e.blocks > 0xFFFFFFFF ? 0x80 : 0);
        roCompat |= e.checksum ? 0x400 : 0;
    }
    image.put(sb + 0x5C, compat, 4);
    image.put(sb + 0x60, incompat, 4);
    image.put(sb + 0x64, roCompat, 4);
    image.random(sb + 0x68, 16, 52);
    image.text(sb + 0x78, e.label);
    image.put(sb + 0x150, e.blocks >> 32, 4);
    image.put(sb + 0x175, 1, 1);
    if (e.checksum) {
        image.put(sb + 0x3FC, ext4Crc(image.view(sb, 0x3FC)), 4);
    }
    return image.bytes;
}

struct Fat {
    unsigned bits = 16;
    std::uint16_t bytesPerSector = 512;
    std::uint8_t sectorsPerCluster = 1;
    std::uint16_t reserved = 1;
    std::uint8_t fats = 2;
    std::uint16_t rootEntries = 512;
    std::uint32_t totalSectors = 2048;
    std::uint32_t fatSectors = 8;
    std::uint8_t media = 0xF8;
    std::string_view label = "BOOT       ";
    bool truncated = false;  // only the first 64 KiB
};

ByteBuffer fat(const Fat& f) {
    const std::uint64_t size = std::uint64_t{f.totalSectors} * f.bytesPerSector;
    Image image(f.truncated ? 65536 : static_cast<std::size_t>(size));
    image.put(0, 0xEB, 1);
    image.put(1, f.bits == 32 ? 0x58 : 0x3C, 1);
    image.put(2, 0x90, 1);
    image.text(3, "mkfs.fat");
    image.put(0x0B, f.bytesPerSector, 2);
    image.put(0x0D, f.sectorsPerCluster, 1);
    image.put(0x0E, f.reserved, 2);
    image.put(0x10, f.fats, 1);
    image.put(0x11, f.rootEntries, 2);
    image.put(0x13, f.totalSectors < 65536 && f.bits != 32 ? f.totalSectors : 0, 2);
    image.put(0x15, f.media, 1);
    image.put(0x16, f.bits == 32 ? 0 : f.fatSectors, 2);
    image.put(0x18, 32, 2);
    image.put(0x1A, 64, 2);
    image.put(0x20, f.totalSectors < 65536 && f.bits != 32 ? 0 : f.totalSectors, 4);
    const std::size_t extended = f.bits == 32 ? 0x40 : 0x24;
    if (f.bits == 32) {
        image.put(0x24, f.fatSectors, 4);
        image.put(0x2C, 2, 4);
        image.put(0x30, 1, 2);
        image.put(0x32, 6, 2);
    }
    image.put(extended, 0x80, 1);
    image.put(extended + 2, 0x29, 1);
    image.put(extended + 3, 0x1234ABCD, 4);
    image.text(extended + 7, f.label);
    image.text(extended + 18, f.bits == 12 ? "FAT12   " : f.bits == 16 ? "FAT16   " : "FAT32   ");
    image.put(510, 0xAA55, 2);
    image.put(f.reserved * std::size_t{f.bytesPerSector}, 0xFFFFFF00 | f.media, 4);
    return image.bytes;
}

struct Iso {
    std::uint32_t blocks = 20;
    std::uint16_t blockSize = 2048;
    std::string_view volume = "CDROM_TEST";
    std::uint8_t type = 1;
    std::uint32_t bigEndianBlocks = 0;  // the same as blocks where 0
    bool truncated = false;
};

ByteBuffer iso(const Iso& i) {
    Image image(i.truncated ? 0x9000 : std::size_t{i.blocks} * i.blockSize);
    const std::size_t pvd = 0x8000;
    image.put(pvd, i.type, 1);
    image.text(pvd + 1, "CD001");
    image.put(pvd + 6, 1, 1);
    image.text(pvd + 8, "LINUX                           ");
    std::string volume(i.volume);
    volume.resize(32, ' ');
    image.text(pvd + 40, volume);
    const auto both = [&](std::size_t at, std::uint64_t value, std::size_t width,
                          std::uint64_t big) {
        image.put(at, value, width, Order::kLittle);
        image.put(at + width, big, width, Order::kBig);
    };
    both(pvd + 80, i.blocks, 4, i.bigEndianBlocks != 0 ? i.bigEndianBlocks : i.blocks);
    both(pvd + 120, 1, 2, 1);
    both(pvd + 124, 1, 2, 1);
    both(pvd + 128, i.blockSize, 2, i.blockSize);
    both(pvd + 132, 10, 4, 10);
    image.put(pvd + 156, 34, 1);
    image.put(pvd + 881, 1, 1);
    image.put(pvd + 2048, 255, 1);
    image.text(pvd + 2049, "CD001");
    image.put(pvd + 2054, 1, 1);
    return image.bytes;
}

const std::set<std::string> kOurFormats{"squashfs", "cramfs", "jffs2",  "ubi",
                                        "ext",      "fat",    "iso9660"};

std::vector<ScanHit> ourHits(ByteView bytes) {
    std::vector<ScanHit> hits;
    for (ScanHit& hit : scanBytes(bytes)) {
        if (kOurFormats.contains(hit.format)) {
            hits.push_back(std::move(hit));
        }
    }
    return hits;
}

// --- tests ---------------------------------------------------------------------------------------

// The test's CRCs against the check values of zlib's crc32 (and the JFFS2 clean marker that every
// mkfs.jffs2 image holds), so that the images below carry the CRCs the formats' tools write.
TEST(ScanFileSystemTest, CrcModelsMatchReferenceValues) {
    const ByteView check = textBytes("123456789");
    EXPECT_EQ(zlibCrc(check), 0xCBF43926u);
    EXPECT_EQ(ubiCrc(check), 0x340BC6D9u);
    EXPECT_EQ(jffs2Crc(check), 0x2DFD2D88u);
    EXPECT_EQ(ext4Crc(check), ~0xE3069283u);
    const std::uint8_t cleanMarker[] = {0x85, 0x19, 0x03, 0x20, 0x0C, 0x00,
                                        0x00, 0x00, 0xB1, 0xB0, 0x1E, 0xE4};
    EXPECT_EQ(jffs2Crc(ByteView(cleanMarker).first(8)), 0xE41EB0B1u);
    // Alone, the clean marker is a whole jffs2 image.
    const Planted planted = plant(cleanMarker, 0x301, 0x100);
    const std::vector<ScanHit> hits = ourHits(planted.image);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].format, "jffs2");
    EXPECT_EQ(hits[0].size, 12u);
}

TEST(ScanFileSystemTest, PlantedImagesAreFoundAndMeasured) {
    const ByteBuffer paddedCramfs = cramfs(Order::kLittle, 6000, true, true);
    struct Case {
        std::string_view name;
        ByteBuffer bytes;
        std::string_view format;
        std::uint64_t at;  // where the object starts in bytes
        std::uint64_t size;
        std::string_view description;
    };
    const Case cases[] = {
        {"squashfs le", squashfs({}), "squashfs", 0, 5000,
         "squashfs 4.0 little endian, xz, 412 inodes, 4.9 KiB"},
        {"squashfs be", squashfs({Order::kBig, 6, 1, 20000, 1u << 20, 20}), "squashfs", 0, 20000,
         "squashfs 4.0 big endian, zstd, 1 inode, 19.5 KiB"},
        {"cramfs le", cramfs(Order::kLittle, 6000), "cramfs", 0, 6000,
         "cramfs little endian \"firmware\", 7 files, 5.9 KiB"},
        {"cramfs be", cramfs(Order::kBig, 4096), "cramfs", 0, 4096, "cramfs big endian"},
        {"cramfs padded", paddedCramfs, "cramfs", 512, 6000 - 512, "7 files"},
        {"jffs2 le", jffs2(Order::kLittle), "jffs2", 0, 4096 + 12 + 1068,
         "jffs2 little endian, 6 nodes, 5.1 KiB"},
        {"jffs2 be", jffs2(Order::kBig), "jffs2", 0, 4096 + 12 + 1068, "jffs2 big endian"},
        {"jffs2 erased tail", jffs2(Order::kLittle, true), "jffs2", 0, 8192, "6 nodes, 8.0 KiB"},
        {"ubi", ubi(32768, 5), "ubi", 0, 5 * 32768,
         "UBI, 5 erase blocks of 32.0 KiB, 160.0 KiB, volume \"rootfs\""},
        {"ext4", ext({}), "ext", 0, 64 * 4096, "ext4, 4.0 KiB blocks, 256.0 KiB, label \"rootfs\""},
        {"ext3", ext({"ext3", 0, 9000, "", false}), "ext", 0, 9000 * 1024,
         "ext3, 1.0 KiB blocks, 8.8 MiB"},
        {"ext2", ext({"ext2", 1, 300, "data", false}), "ext", 0, 300 * 2048,
         "ext2, 2.0 KiB blocks, 600.0 KiB, label \"data\""},
        {"fat12", fat({12, 512, 1, 1, 2, 224, 2880, 9, 0xF0, "FLOPPY     "}), "fat", 0, 2880 * 512,
         "FAT12, 1.4 MiB, label \"FLOPPY\""},
        {"fat16", fat({}), "fat", 0, 2048 * 512, "FAT16, 1.0 MiB, label \"BOOT\""},
        {"fat32", fat({32, 512, 1, 32, 2, 0, 4096, 32, 0xF8, "NO NAME    "}), "fat", 0, 4096 * 512,
         "FAT32, 2.0 MiB"},
        {"fat16 4k sectors", fat({16, 4096, 2, 1, 1, 512, 300, 1, 0xF8, "BIG        "}), "fat", 0,
         300 * 4096, "FAT16, 1.2 MiB"},
        {"iso9660", iso({}), "iso9660", 0, 20 * 2048, "ISO 9660, volume \"CDROM_TEST\", 40.0 KiB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Planted planted = plant(c.bytes, 0x1235);
        const std::vector<ScanHit> hits = ourHits(planted.image);
        EXPECT_EQ(hits.size(), 1u);
        if (hits.size() != 1) {
            continue;
        }
        EXPECT_EQ(hits[0].offset, planted.offset + c.at);
        EXPECT_EQ(hits[0].format, c.format);
        EXPECT_EQ(hits[0].size, c.size);
        EXPECT_TRUE(hits[0].sizeExact);
        EXPECT_NE(hits[0].description.find(c.description), std::string::npos)
            << hits[0].description;
    }
}

TEST(ScanFileSystemTest, BrokenImagesGiveNoHitOrAnEstimate) {
    // kCut: the whole part exactly, then the part cut short as an estimate.
    enum class Outcome { kNone, kEstimate, kExact, kCut };
    struct Case {
        std::string_view name;
        ByteBuffer bytes;
        Outcome outcome;
        std::uint64_t size = 0;  // where exact
    };
    ByteBuffer cramfsBadCrc = cramfs(Order::kLittle, 6000);
    cramfsBadCrc[3000] ^= 1;
    // A lone inode node (the nodes behind a broken one are found on their own).
    Image jffs2BadCrc(0);
    jffs2Node(jffs2BadCrc, 0xE002, 100, 61);
    jffs2BadCrc.bytes[8] ^= 1;
    // The second node claims no length: the walk ends before it.
    Image jffs2ZeroLength(0);
    jffs2Node(jffs2ZeroLength, 0x2003, 12, 0);
    jffs2ZeroLength.put(12, 0x1985, 2);
    jffs2ZeroLength.put(14, 0xE002, 2);
    jffs2ZeroLength.put(16, 0, 4);
    jffs2ZeroLength.put(20, jffs2Crc(jffs2ZeroLength.view(12, 8)), 4);
    // A node that runs past the end of the input.
    ByteBuffer jffs2Cut = jffs2(Order::kBig);
    jffs2Cut.resize(jffs2Cut.size() - 100);
    // Many nodes, the last one cut: measured once, not walked again from each node.
    Image jffs2Long(0, Order::kLittle);
    for (std::uint32_t i = 0; i < 20000; ++i) {
        jffs2Node(jffs2Long, 0xE001, 16, i);
    }
    jffs2Long.bytes.resize(jffs2Long.bytes.size() - 2);
    ByteBuffer jffs2UnknownType(12);
    {
        Image node(0);
        jffs2Node(node, 0xE005, 12, 0);
        jffs2UnknownType = node.bytes;
    }
    ByteBuffer ubiBadCrc = ubi(16384, 1);
    ubiBadCrc[10] ^= 1;
    ByteBuffer ubiCut = ubi(16384, 3);
    ubiCut.resize(ubiCut.size() - 1000);
    ByteBuffer ubiLone = ubi(16384, 1);
    ByteBuffer ubiBadOffsets = ubi(16384, 1);
    {
        Image first(0, Order::kBig);
        first.bytes.assign(ubiBadOffsets.begin(), ubiBadOffsets.begin() + 64);
        first.put(20, 64, 4);  // data where the volume header is
        first.put(60, ubiCrc(first.view(0, 60)), 4);
        std::copy(first.bytes.begin(), first.bytes.end(), ubiBadOffsets.begin());
    }
    ByteBuffer extBadChecksum = ext({});
    extBadChecksum[0x400 + 0x78] ^= 1;
    ByteBuffer cramfsCut = cramfs(Order::kBig, 6000);
    cramfsCut.resize(5000);
    ByteBuffer isoTypeTwo = iso({20, 2048, "X", 2});
    const Case cases[] = {
        {"squashfs past end", squashfs({Order::kLittle, 4, 9, 1u << 30}), Outcome::kEstimate},
        {"squashfs block log", squashfs({Order::kLittle, 4, 9, 5000, 1u << 17, 16}),
         Outcome::kNone},
        {"squashfs block size", squashfs({Order::kBig, 4, 9, 5000, 3u << 16, 17}), Outcome::kNone},
        {"squashfs compressor", squashfs({Order::kLittle, 7, 9, 5000}), Outcome::kNone},
        {"squashfs no inodes", squashfs({Order::kLittle, 1, 0, 5000}), Outcome::kNone},
        {"cramfs bad crc", cramfsBadCrc, Outcome::kNone},
        {"cramfs past end", cramfsCut, Outcome::kEstimate},
        {"cramfs without crc", cramfs(Order::kLittle, 4096, false), Outcome::kEstimate},
        {"jffs2 bad header crc", jffs2BadCrc.bytes, Outcome::kNone},
        {"jffs2 unknown node type", jffs2UnknownType, Outcome::kNone},
        {"jffs2 zero length node", jffs2ZeroLength.bytes, Outcome::kExact, 12},
        {"jffs2 cut", jffs2Cut, Outcome::kCut, 4096 + 12},
        {"jffs2 long and cut", jffs2Long.bytes, Outcome::kCut, 19999 * 16},
        {"jffs2 first node cut", ByteBuffer(jffs2Cut.begin() + 12, jffs2Cut.begin() + 112),
         Outcome::kEstimate},
        {"ubi bad crc", ubiBadCrc, Outcome::kNone},
        {"ubi cut", ubiCut, Outcome::kCut, 2 * 16384},
        {"ubi one erase block", ubiLone, Outcome::kEstimate},
        {"ubi data offset", ubiBadOffsets, Outcome::kNone},
        {"ext past end", ext({.truncated = true}), Outcome::kEstimate},
        {"ext huge 64-bit", ext({.blocks = std::uint64_t{1} << 40, .truncated = true}),
         Outcome::kEstimate},
        {"ext inode count", ext({.inodes = 17}), Outcome::kNone},
        {"ext bad checksum", extBadChecksum, Outcome::kNone},
        {"ext backup superblock", ext({.groupNumber = 1}), Outcome::kNone},
        {"ext block size", ext({.logBlockSize = 7, .blocks = 8}), Outcome::kNone},
        {"fat past end", fat({.truncated = true}), Outcome::kEstimate},
        {"fat media", fat({.media = 0x12}), Outcome::kNone},
        {"fat sector size", fat({.bytesPerSector = 768}), Outcome::kNone},
        {"fat three copies", fat({.fats = 3}), Outcome::kNone},
        {"fat table too small", fat({.totalSectors = 60000, .truncated = true}), Outcome::kNone},
        {"fat32 with root entries", fat({32, 512, 1, 32, 2, 16, 4096, 32}), Outcome::kNone},
        {"iso past end", iso({.blocks = 1000, .truncated = true}), Outcome::kEstimate},
        {"iso halves differ", iso({.bigEndianBlocks = 21}), Outcome::kNone},
        {"iso supplementary first", isoTypeTwo, Outcome::kNone},
        {"iso block size", iso({.blockSize = 1000}), Outcome::kNone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Objects cut short end the input.
        const bool cut = c.outcome == Outcome::kEstimate || c.outcome == Outcome::kCut;
        const Planted planted = plant(c.bytes, 0x777, cut ? 0 : 0x500);
        const std::vector<ScanHit> hits = ourHits(planted.image);
        if (c.outcome == Outcome::kNone) {
            EXPECT_TRUE(hits.empty()) << hits[0].format << ": " << hits[0].description;
            continue;
        }
        EXPECT_FALSE(hits.empty());
        if (hits.empty()) {
            continue;
        }
        EXPECT_EQ(hits[0].offset, planted.offset);
        if (c.outcome == Outcome::kExact) {
            EXPECT_EQ(hits.size(), 1u);
            EXPECT_TRUE(hits[0].sizeExact);
            EXPECT_EQ(hits[0].size, c.size);
        } else if (c.outcome == Outcome::kCut) {
            EXPECT_EQ(hits.size(), 2u);
            if (hits.size() != 2) {
                continue;
            }
            EXPECT_TRUE(hits[0].sizeExact);
            EXPECT_EQ(hits[0].size, c.size);
            EXPECT_EQ(hits[1].offset, planted.offset + c.size);
            EXPECT_FALSE(hits[1].sizeExact);
            EXPECT_EQ(hits[1].offset + hits[1].size, planted.image.size());
        } else {
            for (const ScanHit& hit : hits) {
                EXPECT_FALSE(hit.sizeExact) << hit.offset;
            }
        }
    }
}

TEST(ScanFileSystemTest, RandomBytesGiveNoHit) {
    for (const std::uint32_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        const std::vector<ScanHit> hits = ourHits(randomFiller(8 << 20, seed));
        EXPECT_TRUE(hits.empty()) << hits[0].format << " at " << hits[0].offset;
    }
}

// Images that mke2fs and mkfs.cramfs make, where they are installed.
TEST(ScanFileSystemTest, PeerToolImagesAreMeasured) {
#ifdef _WIN32
    GTEST_SKIP() << "no mkfs tools";
#else
    std::random_device entropy;
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("tessaloom-fs-" + std::to_string(entropy()));
    std::filesystem::create_directories(dir / "tree");
    std::ofstream(dir / "tree" / "hello.txt") << "hello from the test\n";
    const std::string image = (dir / "image").string();
    const std::string tree = (dir / "tree").string();
    struct Case {
        std::string command;
        std::string_view format;
        std::uint64_t skipped;  // bytes before the object
        std::string_view description;
    };
    const Case cases[] = {
        {"mke2fs -q -F -t ext4 -b 4096 -L rootfs " + image + " 4M", "ext", 0,
         "ext4, 4.0 KiB blocks, 4.0 MiB, label \"rootfs\""},
        {"mke2fs -q -F -t ext3 -b 1024 " + image + " 3M", "ext", 0, "ext3, 1.0 KiB blocks"},
        {"mke2fs -q -F -t ext2 -b 2048 " + image + " 2M", "ext", 0, "ext2, 2.0 KiB blocks"},
        {"mkfs.cramfs -n tools " + tree + " " + image, "cramfs", 0,
         "cramfs little endian \"tools\""},
        {"mkfs.cramfs -p " + tree + " " + image, "cramfs", 512, "cramfs little endian"},
    };
    int ran = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        std::filesystem::remove(image);
        if (std::system((c.command + " >/dev/null 2>&1").c_str()) != 0) {
            continue;
        }
        ++ran;
        std::ifstream in(image, std::ios::binary);
        const ByteBuffer bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        const Planted planted = plant(bytes, 0x2001);
        const std::vector<ScanHit> hits = ourHits(planted.image);
        EXPECT_EQ(hits.size(), 1u);
        if (hits.size() != 1) {
            continue;
        }
        EXPECT_EQ(hits[0].offset, planted.offset + c.skipped);
        EXPECT_EQ(hits[0].format, c.format);
        EXPECT_EQ(hits[0].size, bytes.size() - c.skipped);
        EXPECT_TRUE(hits[0].sizeExact);
        EXPECT_NE(hits[0].description.find(c.description), std::string::npos)
            << hits[0].description;
    }
    std::filesystem::remove_all(dir);
    if (ran == 0) {
        GTEST_SKIP() << "neither mke2fs nor mkfs.cramfs is installed";
    }
#endif
}

}  // namespace
}  // namespace tessaloom::testing
