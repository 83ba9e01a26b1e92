// A squashfs 4.0 image read as an archive. Its metadata (the inodes, the folders' listings, the
// fragment table) lies in blocks of up to 8 KiB, each behind a two-byte header whose bit 15 is set
// where the block is stored as it is and whose low 15 bits give its stored length. A file's data
// lies in blocks of the image's block size, each with a size word in the file's inode (bit 24 set
// where the block is stored as it is, 0 for a block of zeros that is not stored), and its tail in
// a fragment block that it shares with other files.
#include "squashfs.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <lz4.h>

#include "../byte_order.h"
#include "../formats/decoder.h"
#include "../hex_text.h"
#include "archive_layouts.h"

namespace tessaloom::scan {

namespace {

using Callback = std::function<bool(const Member&, ByteSource&)>;

constexpr std::uint64_t kMetadataSize = 8192;
constexpr std::uint64_t kMetadataStored = 0x8000;
constexpr std::uint64_t kMetadataLength = 0x7FFF;
constexpr std::uint64_t kDataStored = std::uint64_t{1} << 24;
constexpr std::uint64_t kDataLength = kDataStored - 1;
constexpr std::uint64_t kNoFragment = 0xFFFFFFFF;
constexpr std::uint64_t kFragmentEntry = 16;
constexpr std::uint64_t kFragmentsPerBlock = kMetadataSize / kFragmentEntry;
constexpr std::uint64_t kInodeHeader = 16;
constexpr std::uint64_t kListingHeader = 12;
constexpr std::uint64_t kListingEntry = 8;
constexpr std::uint64_t kMaxHeaderEntries = 256;
constexpr std::uint64_t kMaxName = 256;
constexpr std::uint64_t kMaxLinkTarget = std::uint64_t{64} << 10;
// What a folder's size counts beyond its listing: the "." and ".." it does not store.
constexpr std::uint64_t kListingExtra = 3;
constexpr std::size_t kMaxDepth = 256;
// A file's list of size words is read as its blocks are measured, a few words at first and at
// most this many at a time.
constexpr std::uint64_t kFirstWords = 16;
constexpr std::uint64_t kWordsAtOnce = 1024;
// Decoded blocks kept: metadata blocks, and data and fragment blocks, up to 4 MiB of those (and
// between 4 and 128 of them), so that a file measured when it is handed out is most often read
// without being decoded again.
constexpr std::size_t kKeptMetadata = 32;
constexpr std::uint64_t kKeptDataBytes = std::uint64_t{4} << 20;
constexpr std::uint64_t kKeptDataMin = 4;
constexpr std::uint64_t kKeptDataMax = 128;

// The inode types; each extended one is its basic one plus kExtended.
constexpr std::uint64_t kDirectoryInode = 1;
constexpr std::uint64_t kFileInode = 2;
constexpr std::uint64_t kSymlinkInode = 3;
constexpr std::uint64_t kLastBasicInode = 7;  // block and character devices, FIFOs, sockets
constexpr std::uint64_t kExtended = 7;

constexpr std::uint64_t kLzo = 3;
constexpr std::uint64_t kLz4 = 5;
// The payload format of each compressor but lzo and lz4 (whose blocks are bare lz4 blocks).
constexpr std::array<std::string_view, 7> kPayloadFormats{"", "zlib", "lzma", "", "xz", "", "zstd"};

std::string at(std::uint64_t offset) {
    return "0x" + hexNumber(offset);
}

// Appended piece by piece: GCC 12 warns of an overlapping copy (-Wrestrict) in a literal plus a
// temporary string at -O3.
std::string shownName(const std::string& name) {
    std::string shown = "\"";
    shown += formats::safeText(
        ByteView(reinterpret_cast<const std::uint8_t*>(name.data()), name.size()));
    shown += '"';
    return shown;
}

// Where bytes of metadata lie: the start of a metadata block in the image, and an offset into
// what it decodes to.
struct Position {
    std::uint64_t block = 0;
    std::uint64_t offset = 0;
};

// The stretch of the image that a table's metadata blocks lie in.
struct Table {
    std::uint64_t from = 0;
    std::uint64_t until = 0;
};

enum class BlockEnd : std::uint8_t {
    kDecoded,
    kDamaged,      // it lies outside the image, or does not decode to what it must
    kLimited,      // the budget ran out
    kUndecodable,  // its compressor is not one decoded here
    kFailed,       // the image could not be read: Image::failure says why
};

// The image's bytes and the blocks decoded last, with the budget their decoding is charged to.
class Image {
  public:
    Image(ByteSource& source, const layout::SquashfsSuper& super, PayloadBudget& budget)
        : source_(source),
          super_(super),
          budget_(budget),
          end_(std::min(super.bytesUsed, source.size())) {
        metadata_.reserve(kKeptMetadata);
        keptData_ = static_cast<std::size_t>(
            std::clamp(kKeptDataBytes / super.blockSize, kKeptDataMin, kKeptDataMax));
        data_.reserve(keptData_);
    }

    const layout::SquashfsSuper& super() const { return super_; }
    PayloadBudget& budget() { return budget_; }
    ByteSource& source() { return source_; }
    std::uint64_t end() const { return end_; }
    std::uint64_t blockSize() const { return super_.blockSize; }
    Table inodes() const { return {super_.inodeTable, std::min(super_.directoryTable, end_)}; }
    Table listings() const { return {super_.directoryTable, end_}; }

    std::uint64_t number(ByteView field) const {
        return super_.order == ByteOrder::kLittle ? readLittleEndian(field) : readBigEndian(field);
    }
    bool decodes() const { return super_.compression != kLzo; }
    std::string undecodable() const {
        return "its compression, " + std::string(layout::kSquashfsCompressors[super_.compression]) +
               ", is not one this program decodes";
    }
    // The budget's limit that stopped a decoding, in the words of PayloadEnd::cutShort.
    std::string limitText() const {
        return budget_.left() == 0 ? totalLimitText(budget_) : perPayloadText(budget_);
    }
    // Takes bytes from the budget: false, with what was left taken, where it has fewer.
    bool charge(std::uint64_t bytes) {
        if (budget_.left() < bytes) {
            budget_.take(bytes);
            return false;
        }
        budget_.take(bytes);
        return true;
    }

    // Decodes the block of `stored` bytes at `offset` into out (or copies it, where it is stored
    // as it is), which must give at most `most` bytes.
    BlockEnd decode(std::uint64_t offset, std::uint64_t stored, bool compressed, std::uint64_t most,
                    ByteBuffer& out);

    // The metadata block at `offset`, which must lie inside table: its decoded bytes and where the
    // block after it starts; valid until the next call. Empty, with why set, where it cannot be
    // read.
    struct Metadata {
        std::uint64_t offset = 0;
        std::uint64_t next = 0;
        std::uint64_t lastUse = 0;
        ByteBuffer bytes;
    };
    const Metadata* metadata(std::uint64_t offset, Table table);

    // Reads into's bytes of metadata from pos on, into the blocks after its own where it must,
    // all inside table; pos is then just past them. False, with why set, where they are not all
    // there.
    bool read(Position& pos, Table table, std::span<std::uint8_t> into);

    // The data block of size word `word` at `offset`, decoded; valid until the next call. Empty,
    // with end set, where it cannot be had.
    const ByteBuffer* dataBlock(std::uint64_t offset, std::uint64_t word, BlockEnd& end);

    // The fragment table's entry `index`: where its block starts and its size word.
    std::optional<std::pair<std::uint64_t, std::uint64_t>> fragment(std::uint64_t index);

    std::optional<Failure> failure;
    std::string why;  // of the last metadata read that failed

  private:
    ByteSource& source_;
    const layout::SquashfsSuper& super_;
    PayloadBudget& budget_;
    std::uint64_t end_;
    std::vector<Metadata> metadata_;
    struct Data {
        std::uint64_t offset = 0;
        std::uint64_t word = 0;
        std::uint64_t lastUse = 0;
        bool valid = false;
        ByteBuffer bytes;
    };
    std::vector<Data> data_;
    std::size_t keptData_ = 0;
    ByteBuffer spare_;  // an lz4 block as stored
    std::uint64_t uses_ = 0;
};

BlockEnd Image::decode(std::uint64_t offset, std::uint64_t stored, bool compressed,
                       std::uint64_t most, ByteBuffer& out) {
    out.clear();
    if (offset > end_ || stored > end_ - offset || (!compressed && stored > most)) {
        return BlockEnd::kDamaged;
    }
    if (!compressed || super_.compression == kLz4) {
        ByteBuffer& raw = compressed ? spare_ : out;
        raw.resize(static_cast<std::size_t>(stored));
        if (Result<void> got = readExactly(source_, offset, raw); !got) {
            failure = got.failure();
            return BlockEnd::kFailed;
        }
        if (!compressed) {
            return BlockEnd::kDecoded;
        }
        out.resize(static_cast<std::size_t>(most));
        const int made = LZ4_decompress_safe(
            reinterpret_cast<const char*>(raw.data()), reinterpret_cast<char*>(out.data()),
            static_cast<int>(raw.size()), static_cast<int>(out.size()));
        if (made < 0) {
            out.clear();
            return BlockEnd::kDamaged;
        }
        out.resize(static_cast<std::size_t>(made));
        return out.size() <= budget_.perPayload() && charge(out.size()) ? BlockEnd::kDecoded
                                                                        : BlockEnd::kLimited;
    }
    const std::string_view format = kPayloadFormats[super_.compression];
    if (format.empty()) {
        return BlockEnd::kUndecodable;
    }
    SourceWindow window(source_, offset, stored);
    bool tooLong = false;
    const Result<PayloadEnd> decoded = decodePayload(window, format, budget_, [&](ByteView piece) {
        if (piece.size() > most - out.size()) {
            tooLong = true;
            return false;
        }
        out.insert(out.end(), piece.begin(), piece.end());
        return true;
    });
    if (!decoded) {
        failure = decoded.failure();
        return BlockEnd::kFailed;
    }
    if (tooLong) {
        return BlockEnd::kDamaged;
    }
    if (decoded->limited) {
        return BlockEnd::kLimited;
    }
    return decoded->cutShort.empty() ? BlockEnd::kDecoded : BlockEnd::kDamaged;
}

const Image::Metadata* Image::metadata(std::uint64_t offset, Table table) {
    for (Metadata& kept : metadata_) {
        if (kept.offset == offset && !kept.bytes.empty()) {
            kept.lastUse = ++uses_;
            return &kept;
        }
    }
    std::array<std::uint8_t, 2> header{};
    if (offset < table.from || offset >= table.until || table.until - offset < header.size()) {
        why = "the metadata block at " + at(offset) + " lies outside its table";
        return nullptr;
    }
    if (Result<void> got = readExactly(source_, offset, header); !got) {
        failure = got.failure();
        why = got.failure().reason;
        return nullptr;
    }
    const std::uint64_t word = number(header);
    const std::uint64_t stored = word & kMetadataLength;
    const std::uint64_t start = offset + header.size();
    if (stored == 0 || stored > kMetadataSize || stored > table.until - start) {
        why = "the metadata block at " + at(offset) + " has a length of " + std::to_string(stored) +
              " bytes";
        return nullptr;
    }
    Metadata* slot = nullptr;
    if (metadata_.size() < kKeptMetadata) {
        slot = &metadata_.emplace_back();
    } else {
        slot = &*std::ranges::min_element(metadata_, {}, &Metadata::lastUse);
    }
    slot->offset = offset;
    slot->next = start + stored;
    slot->lastUse = ++uses_;
    switch (decode(start, stored, (word & kMetadataStored) == 0, kMetadataSize, slot->bytes)) {
        case BlockEnd::kDecoded:
            if (!slot->bytes.empty()) {
                return slot;
            }
            [[fallthrough]];
        case BlockEnd::kDamaged:
            why = "the metadata block at " + at(offset) + " is damaged";
            break;
        case BlockEnd::kLimited:
            why = "decoding its metadata passes " + limitText();
            break;
        case BlockEnd::kUndecodable:
            why = "its metadata is compressed: " + undecodable();
            break;
        case BlockEnd::kFailed:
            why = failure->reason;
            break;
    }
    slot->bytes.clear();
    return nullptr;
}

bool Image::read(Position& pos, Table table, std::span<std::uint8_t> into) {
    std::size_t done = 0;
    // Each turn copies a byte or more, or moves on to a block further into the image.
    while (done < into.size()) {
        const Metadata* block = metadata(pos.block, table);
        if (block == nullptr) {
            return false;
        }
        if (pos.offset >= block->bytes.size()) {
            if (pos.offset > block->bytes.size()) {
                why = "an offset of " + std::to_string(pos.offset) +
                      " points past the end of the metadata block at " + at(pos.block);
                return false;
            }
            pos = {block->next, 0};
            continue;
        }
        const std::size_t n = std::min(into.size() - done,
                                       block->bytes.size() - static_cast<std::size_t>(pos.offset));
        std::memcpy(into.data() + done, block->bytes.data() + pos.offset, n);
        done += n;
        pos.offset += n;
    }
    return true;
}

const ByteBuffer* Image::dataBlock(std::uint64_t offset, std::uint64_t word, BlockEnd& end) {
    for (Data& kept : data_) {
        if (kept.valid && kept.offset == offset && kept.word == word) {
            kept.lastUse = ++uses_;
            end = BlockEnd::kDecoded;
            return &kept.bytes;
        }
    }
    if ((word & ~(kDataStored | kDataLength)) != 0 || (word & kDataLength) > blockSize()) {
        end = BlockEnd::kDamaged;
        return nullptr;
    }
    const bool compressed = (word & kDataStored) == 0;
    if (compressed && !decodes()) {
        end = BlockEnd::kUndecodable;
        return nullptr;
    }
    Data* slot = nullptr;
    if (data_.size() < keptData_) {
        slot = &data_.emplace_back();
    } else {
        slot = &*std::ranges::min_element(data_, {}, &Data::lastUse);
    }
    slot->offset = offset;
    slot->word = word;
    slot->lastUse = ++uses_;
    end = decode(offset, word & kDataLength, compressed, blockSize(), slot->bytes);
    slot->valid = end == BlockEnd::kDecoded;
    return slot->valid ? &slot->bytes : nullptr;
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> Image::fragment(std::uint64_t index) {
    if (index >= super_.fragments || super_.fragmentTable == layout::kSquashfsAbsent) {
        why = "its fragment " + std::to_string(index) + " is not in the fragment table";
        return std::nullopt;
    }
    std::array<std::uint8_t, 8> pointer{};
    const std::uint64_t pointerAt = super_.fragmentTable + index / kFragmentsPerBlock * 8;
    if (!source_.holds(pointerAt, pointer.size()) || pointerAt + pointer.size() > end_) {
        why = "the fragment table is cut short";
        return std::nullopt;
    }
    if (Result<void> got = readExactly(source_, pointerAt, pointer); !got) {
        failure = got.failure();
        why = got.failure().reason;
        return std::nullopt;
    }
    Position pos{number(pointer), index % kFragmentsPerBlock * kFragmentEntry};
    std::array<std::uint8_t, kFragmentEntry> entry{};
    if (!read(pos, {layout::kSquashfsSuperSize, end_}, entry)) {
        return std::nullopt;
    }
    return std::pair{number(ByteView(entry).first(8)), number(ByteView(entry).subspan(8, 4))};
}

// A file's inode: where its blocks are and how long each is stored.
struct FileInode {
    std::uint64_t blocksStart = 0;
    std::uint64_t size = 0;
    std::uint64_t fragment = kNoFragment;
    std::uint64_t fragmentOffset = 0;
    std::uint64_t blocks = 0;  // the whole blocks of data, without the tail in a fragment
    Position list;             // where its size words start, one for each whole block
};

struct Inode {
    std::uint64_t type = 0;  // the basic type, for extended inodes too
    Position at;
    // A folder's listing: where it lies from the directory table's start, and its length.
    Position listing;
    std::uint64_t listingSize = 0;
    FileInode file;
    std::string target;  // a symbolic link's
};

// The content of a file, decoded a block at a time as it is read; the tail that lies in a
// fragment counts as the block after the last whole one.
class FileContent final : public ByteSource {
  public:
    FileContent(Image& image, const FileInode& file)
        : image_(image), file_(file), next_(file.blocksStart), list_(file.list) {}

    std::uint64_t size() const override { return size_; }

    // Decodes the content once through, as far as it goes, and sets the member's size and why its
    // content is cut short or cannot be had; the failure where the image cannot be read.
    Result<void> measure(Member& member);

    Result<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> into) override;

  private:
    struct Piece {
        BlockEnd end = BlockEnd::kDamaged;
        ByteView bytes;      // where it is decoded
        bool zeros = false;  // a block of zeros that is not stored: length() of them
    };
    // The length of piece i: a whole block, the last block, or the tail in a fragment.
    std::uint64_t length(std::uint64_t i) const {
        return std::min(image_.blockSize(), file_.size - i * image_.blockSize());
    }
    bool tailInFragment() const {
        return file_.fragment != kNoFragment && file_.blocks * image_.blockSize() < file_.size;
    }
    Piece piece(std::uint64_t i);
    // Whether block i, stored as it is, lies inside the image and holds its length, where it is
    // one stored so: it is measured without being read.
    std::optional<bool> storedHolds(std::uint64_t i) const;
    // Reads more of the size words, up to that of block i at least where they are there.
    void readWords(std::uint64_t i);
    // Why piece i cannot be had, for cutShort.
    std::string damaged(std::uint64_t i) const;

    Image& image_;
    FileInode file_;
    std::vector<std::uint32_t> words_;   // the size words read so far
    std::vector<std::uint64_t> starts_;  // where each of their blocks starts
    std::uint64_t next_;                 // where the block after the last of them starts
    Position list_;                      // where the words not read yet start
    std::string listCut_;                // why no more words can be read
    std::uint64_t size_ = 0;
    std::optional<std::pair<std::uint64_t, std::uint64_t>> fragment_;
    std::string fragmentWhy_;
};

FileContent::Piece FileContent::piece(std::uint64_t i) {
    Piece result;
    const ByteBuffer* block = nullptr;
    std::uint64_t from = 0;
    if (i < words_.size()) {
        if (words_[i] == 0) {
            result.zeros = true;
            result.end = BlockEnd::kDecoded;
            return result;
        }
        block = image_.dataBlock(starts_[i], words_[i], result.end);
    } else if (i == file_.blocks && fragment_) {
        block = image_.dataBlock(fragment_->first, fragment_->second, result.end);
        from = file_.fragmentOffset;
    } else {
        return result;
    }
    if (block == nullptr) {
        return result;
    }
    if (from > block->size() || block->size() - from < length(i)) {
        result.end = BlockEnd::kDamaged;
        return result;
    }
    result.bytes = ByteView(*block).subspan(static_cast<std::size_t>(from),
                                            static_cast<std::size_t>(length(i)));
    return result;
}

std::optional<bool> FileContent::storedHolds(std::uint64_t i) const {
    std::uint64_t offset = 0;
    std::uint64_t word = 0;
    std::uint64_t from = 0;
    if (i < words_.size()) {
        offset = starts_[i];
        word = words_[i];
    } else if (i == file_.blocks && fragment_) {
        offset = fragment_->first;
        word = fragment_->second;
        from = file_.fragmentOffset;
    }
    if (word == 0 || (word & kDataStored) == 0) {
        return std::nullopt;
    }
    const std::uint64_t stored = word & kDataLength;
    return (word & ~(kDataStored | kDataLength)) == 0 && stored <= image_.blockSize() &&
           offset <= image_.end() && stored <= image_.end() - offset && from <= stored &&
           stored - from >= length(i);
}

void FileContent::readWords(std::uint64_t i) {
    const Table table = image_.inodes();
    std::array<std::uint8_t, kWordsAtOnce * 4> bytes{};
    while (words_.size() <= i && words_.size() < file_.blocks && listCut_.empty()) {
        const std::uint64_t n = std::min({file_.blocks - words_.size(), kWordsAtOnce,
                                          std::max<std::uint64_t>(kFirstWords, words_.size())});
        const std::span<std::uint8_t> into =
            std::span(bytes).first(static_cast<std::size_t>(n * 4));
        if (!image_.read(list_, table, into)) {
            listCut_ = "its list of blocks cannot be read: " + image_.why;
            return;
        }
        for (std::size_t k = 0; k < n; ++k) {
            const auto word =
                static_cast<std::uint32_t>(image_.number(ByteView(into).subspan(k * 4, 4)));
            words_.push_back(word);
            starts_.push_back(next_);
            next_ = layout::add(next_, word & kDataLength).value_or(UINT64_MAX);
        }
    }
}

std::string FileContent::damaged(std::uint64_t i) const {
    if (i < words_.size()) {
        return "its data block at " + at(starts_[i]) + " is damaged";
    }
    if (i < file_.blocks) {
        return listCut_.empty() ? std::string("its list of blocks ends early") : listCut_;
    }
    if (!fragment_) {
        return fragmentWhy_;
    }
    return "its fragment block at " + at(fragment_->first) + " is damaged";
}

Result<void> FileContent::measure(Member& member) {
    if (tailInFragment()) {
        fragment_ = image_.fragment(file_.fragment);
        if (image_.failure) {
            return *image_.failure;
        }
        if (!fragment_) {
            fragmentWhy_ = "its tail cannot be found: " + image_.why;
        }
    }
    const std::uint64_t cap = std::min(file_.size, image_.budget().perPayload());
    std::uint64_t produced = 0;
    // Each piece gives a byte or more, up to the file's size. A block stored as it is counts
    // against the budget as a decoded one does, unread, so that entries that share the blocks
    // of one large file cannot make the walk cost more than the budget.
    for (std::uint64_t i = 0; produced < cap; ++i) {
        if (i < file_.blocks) {
            readWords(i);
            if (image_.failure) {
                return *image_.failure;
            }
        }
        const std::optional<bool> stored = storedHolds(i);
        const Piece got =
            stored ? Piece{*stored ? BlockEnd::kDecoded : BlockEnd::kDamaged, {}, false} : piece(i);
        if (got.end == BlockEnd::kFailed) {
            return *image_.failure;
        }
        if (got.end == BlockEnd::kUndecodable) {
            member.unreadable = image_.undecodable();
            member.size = 0;
            size_ = 0;
            return {};
        }
        if (got.end == BlockEnd::kDecoded && (got.zeros || stored) && !image_.charge(length(i))) {
            member.cutShort = image_.limitText();
            member.limited = true;
            break;
        }
        if (got.end == BlockEnd::kLimited) {
            member.cutShort = image_.limitText();
            member.limited = true;
            break;
        }
        if (got.end != BlockEnd::kDecoded) {
            member.cutShort = damaged(i);
            break;
        }
        produced += length(i);
    }
    size_ = std::min(produced, cap);
    if (member.cutShort.empty() && file_.size > cap) {
        member.cutShort = perPayloadText(image_.budget());
        member.limited = true;
    }
    member.size = size_;
    return {};
}

Result<std::size_t> FileContent::readAt(std::uint64_t offset, std::span<std::uint8_t> into) {
    if (offset >= size_) {
        return std::size_t{0};
    }
    const auto wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(into.size(), size_ - offset));
    const std::uint64_t blockSize = image_.blockSize();
    std::size_t done = 0;
    while (done < wanted) {
        const std::uint64_t pos = offset + done;
        const std::uint64_t i = pos / blockSize;
        const std::uint64_t within = pos - i * blockSize;
        const Piece got = piece(i);
        const std::uint64_t pieceLength = got.zeros ? length(i) : got.bytes.size();
        if (got.end != BlockEnd::kDecoded || within >= pieceLength) {
            if (got.end == BlockEnd::kFailed) {
                return *image_.failure;
            }
            if (got.end == BlockEnd::kLimited) {
                return Failure{Failure::Kind::kMemory, "", image_.limitText(), 0, {}};
            }
            return Failure{Failure::Kind::kChanged, "", "the image decodes differently", 0, {}};
        }
        const auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(wanted - done, pieceLength - within));
        if (got.zeros) {
            if (!image_.charge(n)) {
                return Failure{Failure::Kind::kMemory, "", totalLimitText(image_.budget()), 0, {}};
            }
            std::memset(into.data() + done, 0, n);
        } else {
            std::memcpy(into.data() + done, got.bytes.data() + within, n);
        }
        done += n;
    }
    return wanted;
}

// The walk from the root folder down.
class Walk {
  public:
    Walk(Image& image, const Callback& onMember)
        : image_(image), onMember_(onMember), limit_(std::min(layout::kMaxEntries, image.end())) {}

    MembersEnd end;

    void fromRoot() {
        const std::uint64_t root = image_.super().rootInode;
        const std::optional<Position> at = inodeAt(root >> 16, root & 0xFFFF);
        std::optional<Inode> inode;
        if (at) {
            inode = readInode(*at);
        }
        if (!inode) {
            stop("the root folder's inode cannot be read: " + image_.why);
            return;
        }
        if (inode->type != kDirectoryInode) {
            stop("the root inode is not a folder's");
            return;
        }
        listed_.insert({at->block, at->offset});
        folder(*inode, "", 0);
    }

  private:
    bool stop(std::string why) {
        if (!image_.failure) {
            end.stoppedShort = std::move(why);
        }
        return false;
    }

    // Where the inode with this reference lies.
    std::optional<Position> inodeAt(std::uint64_t block, std::uint64_t offset) {
        const std::optional<std::uint64_t> start = layout::add(image_.inodes().from, block);
        if (!start || *start >= image_.inodes().until) {
            image_.why = "its metadata block lies outside the inode table";
            return std::nullopt;
        }
        return Position{*start, offset};
    }

    std::optional<Inode> readInode(Position at);
    // Hands out the members of the folder's listing, each name after prefix; false where the
    // walk stops.
    bool folder(const Inode& folder, const std::string& prefix, std::size_t depth);
    bool entry(const std::string& name, Position at, std::size_t depth);

    Image& image_;
    const Callback& onMember_;
    std::uint64_t limit_;
    // The folders listed, by where their inodes lie: none is listed twice, so that a folder that
    // holds itself or an ancestor ends the walk.
    std::set<std::pair<std::uint64_t, std::uint64_t>> listed_;
};

std::optional<Inode> Walk::readInode(Position at) {
    Inode inode;
    inode.at = at;
    const Table table = image_.inodes();
    std::array<std::uint8_t, 40> fields{};
    const auto take = [&](std::size_t length) {
        return image_.read(at, table, std::span(fields).first(length));
    };
    const auto field = [&](std::size_t offset, std::size_t width) {
        return image_.number(ByteView(fields).subspan(offset, width));
    };
    if (!take(kInodeHeader)) {
        return std::nullopt;
    }
    const std::uint64_t stored = field(0, 2);
    if (stored == 0 || stored > kLastBasicInode + kExtended) {
        image_.why = "its type is " + std::to_string(stored);
        return std::nullopt;
    }
    const bool extended = stored > kLastBasicInode;
    inode.type = extended ? stored - kExtended : stored;
    if (inode.type == kDirectoryInode) {
        std::uint64_t size = 0;
        if (!extended) {
            if (!take(16)) {
                return std::nullopt;
            }
            inode.listing = {field(0, 4), field(10, 2)};
            size = field(8, 2);
        } else {
            if (!take(24)) {
                return std::nullopt;
            }
            inode.listing = {field(8, 4), field(18, 2)};
            size = field(4, 4);
        }
        inode.listingSize = size > kListingExtra ? size - kListingExtra : 0;
    } else if (inode.type == kFileInode) {
        FileInode& file = inode.file;
        if (!extended) {
            if (!take(16)) {
                return std::nullopt;
            }
            file.blocksStart = field(0, 4);
            file.fragment = field(4, 4);
            file.fragmentOffset = field(8, 4);
            file.size = field(12, 4);
        } else {
            if (!take(40)) {
                return std::nullopt;
            }
            file.blocksStart = field(0, 8);
            file.size = field(8, 8);
            file.fragment = field(28, 4);
            file.fragmentOffset = field(32, 4);
        }
        const std::uint64_t blockSize = image_.blockSize();
        file.blocks = file.fragment != kNoFragment
                          ? file.size / blockSize
                          : file.size / blockSize + (file.size % blockSize != 0 ? 1 : 0);
        file.list = at;
    } else if (inode.type == kSymlinkInode) {
        if (!take(8)) {
            return std::nullopt;
        }
        const std::uint64_t length = field(4, 4);
        if (length > kMaxLinkTarget) {
            image_.why = "its link's target is " + std::to_string(length) + " bytes long";
            return std::nullopt;
        }
        inode.target.resize(static_cast<std::size_t>(length));
        if (!image_.read(at, table,
                         std::span(reinterpret_cast<std::uint8_t*>(inode.target.data()),
                                   inode.target.size()))) {
            return std::nullopt;
        }
    }
    return inode;
}

bool Walk::folder(const Inode& folder, const std::string& prefix, std::size_t depth) {
    const Table table = image_.listings();
    const std::optional<std::uint64_t> block = layout::add(table.from, folder.listing.block);
    const std::string which = prefix.empty()
                                  ? std::string("the root folder")
                                  : "the folder " + shownName(prefix.substr(0, prefix.size() - 1));
    if (!block) {
        return stop("the listing of " + which + " lies outside the directory table");
    }
    Position pos{*block, folder.listing.offset};
    std::uint64_t left = folder.listingSize;
    std::array<std::uint8_t, kListingHeader> header{};
    std::array<std::uint8_t, kListingEntry> record{};
    const auto damaged = [&](const std::string& why) {
        return stop("the listing of " + which + " is damaged: " + why);
    };
    // Each turn reads a header and an entry at least, or stops.
    while (left > 0) {
        if (left < kListingHeader + kListingEntry) {
            return damaged("it ends inside a header");
        }
        if (!image_.read(pos, table, header)) {
            return damaged(image_.why);
        }
        left -= kListingHeader;
        const std::uint64_t count = image_.number(ByteView(header).first(4)) + 1;
        const std::uint64_t start = image_.number(ByteView(header).subspan(4, 4));
        if (count > kMaxHeaderEntries) {
            return damaged("a header gives " + std::to_string(count) + " entries");
        }
        for (std::uint64_t k = 0; k < count; ++k) {
            if (left < kListingEntry) {
                return damaged("it ends inside an entry");
            }
            if (!image_.read(pos, table, record)) {
                return damaged(image_.why);
            }
            left -= kListingEntry;
            const std::uint64_t offset = image_.number(ByteView(record).first(2));
            const std::uint64_t nameLength = image_.number(ByteView(record).subspan(6, 2)) + 1;
            if (nameLength > kMaxName || nameLength > left) {
                return damaged("a name of " + std::to_string(nameLength) + " bytes");
            }
            std::string name(static_cast<std::size_t>(nameLength), '\0');
            if (!image_.read(
                    pos, table,
                    std::span(reinterpret_cast<std::uint8_t*>(name.data()), name.size()))) {
                return damaged(image_.why);
            }
            left -= nameLength;
            const std::optional<Position> at = inodeAt(start, offset);
            if (!at) {
                return stop("the inode of " + shownName(prefix + name) +
                            " cannot be read: " + image_.why);
            }
            if (!entry(prefix + name, *at, depth)) {
                return false;
            }
        }
    }
    return true;
}

bool Walk::entry(const std::string& name, Position at, std::size_t depth) {
    if (end.members >= limit_) {
        return stop("the image lists more than " + std::to_string(limit_) + " entries");
    }
    std::optional<Inode> inode = readInode(at);
    if (!inode) {
        return stop("the inode of " + shownName(name) + " cannot be read: " + image_.why);
    }
    Member member;
    member.name = name;
    member.offset = at.block;
    SourceWindow nothing(image_.source(), 0, 0);
    switch (inode->type) {
        case kDirectoryInode: {
            const std::pair<std::uint64_t, std::uint64_t> key{at.block, at.offset};
            if (listed_.contains(key)) {
                return stop("the folder " + shownName(name) +
                            " is one listed before, which would hold itself");
            }
            member.kind = MemberKind::kDirectory;
            ++end.members;
            if (!onMember_(member, nothing)) {
                return false;
            }
            if (depth + 1 >= kMaxDepth) {
                return stop("its folders nest deeper than " + std::to_string(kMaxDepth) +
                            " levels");
            }
            listed_.insert(key);
            return folder(*inode, name + "/", depth + 1);
        }
        case kFileInode: {
            if (inode->file.blocks > 0 && inode->file.blocksStart <= image_.end()) {
                member.offset = inode->file.blocksStart;
            }
            FileContent content(image_, inode->file);
            if (Result<void> measured = content.measure(member); !measured) {
                return false;
            }
            ++end.members;
            if (!member.unreadable.empty()) {
                return onMember_(member, nothing);
            }
            return onMember_(member, content);
        }
        case kSymlinkInode:
            member.kind = MemberKind::kSymbolicLink;
            member.linkTarget = std::move(inode->target);
            break;
        default:
            member.kind = MemberKind::kDevice;
            break;
    }
    ++end.members;
    return onMember_(member, nothing);
}

}  // namespace

Result<MembersEnd> walkSquashfsMembers(ByteSource& image, PayloadBudget& budget,
                                       const Callback& onMember) {
    formats::Bytes bytes(image);
    const std::optional<layout::SquashfsSuper> super = layout::squashfsSuper(bytes);
    if (bytes.failure()) {
        return *bytes.failure();
    }
    if (!super) {
        return MembersEnd{0, "it does not begin with a squashfs 4.0 superblock"};
    }
    Image decoded(image, *super, budget);
    Walk walk(decoded, onMember);
    walk.fromRoot();
    if (decoded.failure) {
        return *decoded.failure;
    }
    return walk.end;
}

}  // namespace tessaloom::scan
