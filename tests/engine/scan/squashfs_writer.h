// A small squashfs 4.0 writer for the tests, written to the format's layout as mksquashfs lays an
// image out: the data blocks and fragment blocks after the superblock, then the inode table, the
// directory table, the fragment table and the id table. It writes either byte order (mksquashfs
// writes only little-endian images), stored or compressed blocks of each kind, fragments, sparse
// blocks, extended inodes, and entries that refer to any inode, so that lying images can be made.
#pragma once

#include <lz4.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/types.h"

namespace tessaloom::testing::squashfs {

struct Node {
    enum class Kind { kFile, kFolder, kSymlink, kDevice, kAlias };
    std::string name;
    Kind kind = Kind::kFile;
    ByteBuffer content;                        // a file's
    std::string target;                        // a symbolic link's
    std::vector<Node> children;                // a folder's, in the order they are listed
    std::uint64_t ref = 0;                     // what an alias's entry refers to (as a folder)
    std::optional<std::uint64_t> claimedSize;  // a file's size as its inode gives it
    std::vector<std::uint32_t> extraWords;     // size words written after its own
};

inline Node file(std::string name, ByteBuffer content) {
    return {std::move(name), Node::Kind::kFile, std::move(content), {}, {}, 0, {}, {}};
}
inline Node folder(std::string name, std::vector<Node> children) {
    return {std::move(name), Node::Kind::kFolder, {}, {}, std::move(children), 0, {}, {}};
}
inline Node symlink(std::string name, std::string target) {
    return {std::move(name), Node::Kind::kSymlink, {}, std::move(target), {}, 0, {}, {}};
}
inline Node device(std::string name) {
    return {std::move(name), Node::Kind::kDevice, {}, {}, {}, 0, {}, {}};
}
inline Node alias(std::string name, std::uint64_t ref) {
    return {std::move(name), Node::Kind::kAlias, {}, {}, {}, ref, {}, {}};
}

struct Options {
    bool big = false;
    std::uint16_t compression =
        1;  // 1 zlib, 3 lzo (never decoded: its blocks are left as they are), 4 xz, 5 lz4, 6 zstd
    std::uint32_t blockSize = 4096;
    bool dataStored = false;      // every data and fragment block stored as it is
    bool metadataStored = false;  // every metadata block stored as it is
    bool fragments = true;        // tails in fragment blocks, else in a last short block
    bool sparse = true;           // blocks of zeros not stored
    bool extended = false;        // extended inodes for files and folders
};

class Writer {
  public:
    explicit Writer(Options options) : o_(options) {}

    // The image of the root folder's children; rootRef is then where the root inode lies.
    ByteBuffer image(const std::vector<Node>& children) {
        data_.clear();
        inodes_ = {};
        listings_ = {};
        fragment_.clear();
        fragments_.clear();
        count_ = 0;
        const Written root = folderInode(children);
        flushFragment();
        rootRef = root.ref;
        ByteBuffer out(96, 0);
        out.insert(out.end(), data_.begin(), data_.end());
        const std::uint64_t inodeTable = out.size();
        inodes_.flush(*this);
        out.insert(out.end(), inodes_.out.begin(), inodes_.out.end());
        const std::uint64_t directoryTable = out.size();
        listings_.flush(*this);
        out.insert(out.end(), listings_.out.begin(), listings_.out.end());
        std::uint64_t fragmentTable = ~std::uint64_t{0};
        if (!fragments_.empty()) {
            Meta table;
            for (const auto& [start, word] : fragments_) {
                ByteBuffer entry;
                put(entry, start, 8);
                put(entry, word, 4);
                put(entry, 0, 4);
                table.write(*this, entry);
            }
            table.flush(*this);
            const std::uint64_t tableAt = out.size();
            out.insert(out.end(), table.out.begin(), table.out.end());
            fragmentTable = out.size();
            for (std::size_t i = 0; i + 1 < table.starts.size(); ++i) {
                put(out, tableAt + table.starts[i], 8);
            }
        }
        Meta ids;
        ByteBuffer id;
        put(id, 0, 4);
        ids.write(*this, id);
        ids.flush(*this);
        const std::uint64_t idsAt = out.size();
        out.insert(out.end(), ids.out.begin(), ids.out.end());
        const std::uint64_t idTable = out.size();
        put(out, idsAt, 8);
        ByteBuffer super = o_.big ? ByteBuffer{'s', 'q', 's', 'h'} : ByteBuffer{'h', 's', 'q', 's'};
        put(super, count_, 4);
        put(super, 1700000000, 4);
        put(super, o_.blockSize, 4);
        put(super, fragments_.size(), 4);
        put(super, o_.compression, 2);
        std::uint64_t log = 0;
        while ((std::uint64_t{1} << log) < o_.blockSize) {
            ++log;
        }
        put(super, log, 2);
        put(super, 0, 2);
        put(super, 1, 2);
        put(super, 4, 2);
        put(super, 0, 2);
        put(super, rootRef, 8);
        put(super, out.size(), 8);
        put(super, idTable, 8);
        put(super, ~std::uint64_t{0}, 8);
        put(super, inodeTable, 8);
        put(super, directoryTable, 8);
        put(super, fragmentTable, 8);
        put(super, ~std::uint64_t{0}, 8);
        std::copy(super.begin(), super.end(), out.begin());
        return out;
    }

    std::uint64_t rootRef = 0;

  private:
    struct Written {
        std::uint64_t ref = 0;  // block start << 16 | offset
        std::uint32_t number = 0;
        std::uint16_t type = 0;  // the basic type, as the listing gives it
    };

    // A table of metadata blocks being written: its blocks as stored, and the decoded bytes of
    // the block not yet full.
    struct Meta {
        ByteBuffer out;
        ByteBuffer pending;
        std::vector<std::uint64_t> starts{0};
        std::uint64_t here() const { return starts.back() << 16 | pending.size(); }
        void write(Writer& w, const ByteBuffer& bytes) {
            for (const std::uint8_t byte : bytes) {
                pending.push_back(byte);
                if (pending.size() == 8192) {
                    block(w);
                }
            }
        }
        void flush(Writer& w) {
            if (!pending.empty()) {
                block(w);
            }
        }
        void block(Writer& w) {
            bool compressed = false;
            const ByteBuffer packed =
                w.o_.metadataStored ? pending : w.compress(pending, compressed);
            w.put(out, packed.size() | (compressed ? 0 : 0x8000), 2);
            out.insert(out.end(), packed.begin(), packed.end());
            pending.clear();
            starts.push_back(out.size());
        }
    };

    void put(ByteBuffer& out, std::uint64_t value, int width) const {
        for (int i = 0; i < width; ++i) {
            const int shift = 8 * (o_.big ? width - 1 - i : i);
            out.push_back(static_cast<std::uint8_t>(value >> shift));
        }
    }

    // The block compressed by the image's compressor, or as it is where that is no shorter.
    ByteBuffer compress(const ByteBuffer& in, bool& compressed) const {
        ByteBuffer out(in.size() * 2 + 1024);
        std::size_t made = 0;
        switch (o_.compression) {
            case 1: {
                uLongf length = static_cast<uLongf>(out.size());
                compress2(out.data(), &length, in.data(), static_cast<uLong>(in.size()), 9);
                made = length;
                break;
            }
            case 3:
                out = in;  // left as it is, but marked compressed: no decoder reads it
                compressed = true;
                return out;
            case 4: {
                lzma_easy_buffer_encode(6, LZMA_CHECK_CRC32, nullptr, in.data(), in.size(),
                                        out.data(), &made, out.size());
                break;
            }
            case 5:
                made = static_cast<std::size_t>(LZ4_compress_default(
                    reinterpret_cast<const char*>(in.data()), reinterpret_cast<char*>(out.data()),
                    static_cast<int>(in.size()), static_cast<int>(out.size())));
                break;
            case 6:
                made = ZSTD_compress(out.data(), out.size(), in.data(), in.size(), 3);
                break;
            default:
                break;
        }
        if (made == 0 || made >= in.size()) {
            compressed = false;
            return in;
        }
        out.resize(made);
        compressed = true;
        return out;
    }

    // A data block written behind the others: its size word.
    std::uint32_t dataBlock(const ByteBuffer& block) {
        bool compressed = false;
        const ByteBuffer packed = o_.dataStored ? block : compress(block, compressed);
        data_.insert(data_.end(), packed.begin(), packed.end());
        return static_cast<std::uint32_t>(packed.size() | (compressed ? 0 : 1u << 24));
    }

    void flushFragment() {
        if (fragment_.empty()) {
            return;
        }
        const std::uint64_t start = 96 + data_.size();
        fragments_.emplace_back(start, dataBlock(fragment_));
        fragment_.clear();
    }

    Written fileInode(const Node& node) {
        const ByteBuffer& content = node.content;
        const std::uint64_t blockSize = o_.blockSize;
        const std::uint64_t tail = content.size() % blockSize;
        const bool inFragment = o_.fragments && tail != 0;
        const std::uint64_t blocks =
            content.size() / blockSize + (tail != 0 && !inFragment ? 1 : 0);
        const std::uint64_t blocksStart = 96 + data_.size();
        std::vector<std::uint32_t> words;
        bool sparse = false;
        for (std::uint64_t i = 0; i < blocks; ++i) {
            const auto from = content.begin() + static_cast<std::ptrdiff_t>(i * blockSize);
            const ByteBuffer block(from, from + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(
                                                    blockSize, content.size() - i * blockSize)));
            if (o_.sparse && std::ranges::all_of(block, [](std::uint8_t b) { return b == 0; })) {
                words.push_back(0);
                sparse = true;
            } else {
                words.push_back(dataBlock(block));
            }
        }
        std::uint64_t fragmentIndex = 0xFFFFFFFF;
        std::uint64_t fragmentOffset = 0;
        if (inFragment) {
            if (fragment_.size() + tail > blockSize) {
                flushFragment();
            }
            fragmentIndex = fragments_.size();
            fragmentOffset = fragment_.size();
            fragment_.insert(fragment_.end(), content.end() - static_cast<std::ptrdiff_t>(tail),
                             content.end());
        }
        words.insert(words.end(), node.extraWords.begin(), node.extraWords.end());
        const std::uint64_t size = node.claimedSize.value_or(content.size());
        const bool extended = o_.extended || sparse;
        ByteBuffer inode = header(extended ? 9 : 2);
        if (extended) {
            put(inode, blocksStart, 8);
            put(inode, size, 8);
            put(inode, 0, 8);
            put(inode, 1, 4);
            put(inode, fragmentIndex, 4);
            put(inode, fragmentOffset, 4);
            put(inode, 0xFFFFFFFF, 4);
        } else {
            put(inode, blocksStart, 4);
            put(inode, fragmentIndex, 4);
            put(inode, fragmentOffset, 4);
            put(inode, size, 4);
        }
        for (const std::uint32_t word : words) {
            put(inode, word, 4);
        }
        return written(inode, 2);
    }

    ByteBuffer header(std::uint16_t type) {
        ByteBuffer inode;
        put(inode, type, 2);
        put(inode, 0755, 2);
        put(inode, 0, 2);
        put(inode, 0, 2);
        put(inode, 1700000000, 4);
        put(inode, ++count_, 4);
        return inode;
    }

    Written written(const ByteBuffer& inode, std::uint16_t type) {
        const Written at{inodes_.here(), count_, type};
        inodes_.write(*this, inode);
        return at;
    }

    Written folderInode(const std::vector<Node>& children) {
        std::vector<std::pair<std::string, Written>> entries;
        for (const Node& child : children) {
            Written at;
            switch (child.kind) {
                case Node::Kind::kFile:
                    at = fileInode(child);
                    break;
                case Node::Kind::kFolder:
                    at = folderInode(child.children);
                    break;
                case Node::Kind::kSymlink: {
                    ByteBuffer inode = header(3);
                    put(inode, 1, 4);
                    put(inode, child.target.size(), 4);
                    inode.insert(inode.end(), child.target.begin(), child.target.end());
                    at = written(inode, 3);
                    break;
                }
                case Node::Kind::kDevice: {
                    ByteBuffer inode = header(5);
                    put(inode, 1, 4);
                    put(inode, 0x0103, 4);
                    at = written(inode, 5);
                    break;
                }
                case Node::Kind::kAlias:
                    at = {child.ref, 1, 1};
                    break;
            }
            entries.emplace_back(child.name, at);
        }
        // The listing: a header before each run of entries whose inodes share a metadata block.
        const std::uint64_t listingAt = listings_.here();
        ByteBuffer listing;
        for (std::size_t i = 0; i < entries.size();) {
            std::size_t j = i;
            while (j < entries.size() && j - i < 256 &&
                   entries[j].second.ref >> 16 == entries[i].second.ref >> 16) {
                ++j;
            }
            put(listing, j - i - 1, 4);
            put(listing, entries[i].second.ref >> 16, 4);
            put(listing, entries[i].second.number, 4);
            for (std::size_t k = i; k < j; ++k) {
                const Written& at = entries[k].second;
                put(listing, at.ref & 0xFFFF, 2);
                put(listing, static_cast<std::uint16_t>(at.number - entries[i].second.number), 2);
                put(listing, at.type, 2);
                put(listing, entries[k].first.size() - 1, 2);
                listing.insert(listing.end(), entries[k].first.begin(), entries[k].first.end());
            }
            i = j;
        }
        listings_.write(*this, listing);
        ByteBuffer inode = header(o_.extended ? 8 : 1);
        if (o_.extended) {
            put(inode, 2, 4);
            put(inode, listing.size() + 3, 4);
            put(inode, listingAt >> 16, 4);
            put(inode, 0, 4);
            put(inode, 0, 2);
            put(inode, listingAt & 0xFFFF, 2);
            put(inode, 0xFFFFFFFF, 4);
        } else {
            put(inode, listingAt >> 16, 4);
            put(inode, 2, 4);
            put(inode, listing.size() + 3, 2);
            put(inode, listingAt & 0xFFFF, 2);
            put(inode, 0, 4);
        }
        return written(inode, 1);
    }

    Options o_;
    ByteBuffer data_;  // what follows the superblock
    Meta inodes_;
    Meta listings_;
    ByteBuffer fragment_;  // the fragment block being filled
    std::vector<std::pair<std::uint64_t, std::uint32_t>> fragments_;
    std::uint32_t count_ = 0;
};

}  // namespace tessaloom::testing::squashfs
