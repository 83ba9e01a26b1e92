// Compressed streams: gzip, zlib, xz, lzma, bzip2, zstd and lz4 frames. A stream whose format
// checks its data (gzip, zlib, xz, lzma, bzip2) is decoded to its end, through a small buffer
// that is thrown away, which measures it and proves it; zstd and lz4 frames are measured by
// walking their block headers.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <bzlib.h>
#include <lz4.h>
#include <lzma.h>
#include <zlib.h>

#include "../byte_order.h"
#include "signature.h"
#include "stream_decoder.h"

namespace tessaloom::scan {

namespace {

// No more than this is decoded for one stream: a larger one is reported with the compressed bytes
// read so far as a lower bound of its size.
constexpr std::uint64_t kMaxPayload = std::uint64_t{1} << 30;
// The decoders write into a buffer of this size, which is overwritten each time.
constexpr std::size_t kOutputChunk = std::size_t{64} << 10;
// The input is read in pieces that grow from the first to the largest: a false candidate, which
// fails within a few bytes, costs a small read.
constexpr std::size_t kFirstPiece = 512;
constexpr std::size_t kLargestPiece = std::size_t{64} << 10;
// A complete zlib stream must decode to at least this much: a few bytes after 78 9C in other data
// would otherwise decode now and then by chance.
constexpr std::uint64_t kMinZlibOutput = 16;
// A stream cut off by the end of the input is reported only where it decoded at least this much
// first; the headers of gzip and zlib alone are too weak to stand for a stream.
constexpr std::uint64_t kMinTruncatedOutput = 4096;
// The longest file name or comment accepted in a gzip header.
constexpr std::uint64_t kMaxGzipText = 4096;
// A scan's allowance for decoding: one stream up to kMaxPayload, and this much for each byte of
// the input on top. Real images, whose streams expand a few times on average, stay well inside it.
constexpr std::uint64_t kAllowancePerInputByte = 64;
// What one stream may still be decoded once the allowance is spent: enough for most streams to
// give kMinTruncatedOutput, little enough that a candidate every few bytes costs only a few KiB
// of decoding for each byte of the input.
constexpr std::uint64_t kLeastWork = std::uint64_t{8} << 10;

// The decoding one stream may do, in bytes read and written: what is left of the scan's
// allowance, and at least kLeastWork; charged to the allowance when the stream is done.
class Spending {
  public:
    explicit Spending(Bytes& object)
        : allowance_(static_cast<Candidate&>(object).allowance()),
          limit_(std::max(allowance_.left, kLeastWork)) {}
    ~Spending() { allowance_.left -= std::min(allowance_.left, spent_); }
    Spending(const Spending&) = delete;
    Spending& operator=(const Spending&) = delete;

    void charge(std::uint64_t bytes) { spent_ += bytes; }
    bool exhausted() const { return spent_ >= limit_; }
    // How much of an output buffer of `size` bytes the decoder may fill next.
    std::size_t room(std::size_t size) const {
        return static_cast<std::size_t>(
            std::min<std::uint64_t>(size, limit_ - std::min(limit_, spent_)));
    }

  private:
    DecodingAllowance& allowance_;
    std::uint64_t limit_;
    std::uint64_t spent_ = 0;
};

std::span<std::uint8_t> outputBuffer(Bytes& object) {
    return static_cast<Candidate&>(object).allowance().output();
}

// An object's bytes from an offset on, handed to a decoder a piece at a time.
class Input final : public PieceReader {
  public:
    Input(Bytes& bytes, std::uint64_t from) : bytes_(bytes), end_(from) {}

    // The next piece; empty at the end of the input or where a read failed.
    ByteView next() override {
        const std::uint64_t left = bytes_.size() > end_ ? bytes_.size() - end_ : 0;
        const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(piece_, left));
        buffer_.resize(length);
        if (length == 0 || !bytes_.read(end_, buffer_)) {
            return {};
        }
        end_ += length;
        piece_ = std::min(piece_ * 4, kLargestPiece);
        return buffer_;
    }

  private:
    Bytes& bytes_;
    std::uint64_t end_;
    std::size_t piece_ = kFirstPiece;
    ByteBuffer buffer_;
};

// How decoding a stream to prove it ended.
enum class Verdict : std::uint8_t {
    kEnd,        // at the stream's end, its checks passed
    kTruncated,  // the input ended first
    kCapped,     // more than kMaxPayload came out
    kBroken,     // the data is not a stream
    kTooLarge,   // the decoder needs more memory than it is given
    kUnchecked,  // the scan's allowance for decoding ran out first
};

struct Trial {
    Verdict ending = Verdict::kBroken;
    std::uint64_t consumed = 0;  // compressed bytes, from where decoding began
    std::uint64_t produced = 0;
    std::uint32_t crc = 0;  // CRC-32 of the output, where asked for
};

// Decodes the stream of codec that starts at `from`, through the scan's output buffer, which is
// thrown away, within what the stream may spend; with the CRC-32 of the output where withCrc.
// lzmaDictionary as makeDecoder takes it.
Trial decodeTrial(Bytes& object, std::uint64_t from, Codec codec, bool withCrc = false,
                  std::uint32_t lzmaDictionary = 0) {
    Trial result;
    const std::unique_ptr<Decoder> decoder = makeDecoder(codec, lzmaDictionary);
    if (!decoder) {
        return result;
    }
    Input input(object, from);
    Spending spending(object);
    uLong crc = crc32(0, nullptr, 0);
    std::uint64_t produced = 0;
    DecodeHooks hooks{
        .room = [&](std::size_t size) { return spending.room(size); },
        .output =
            [&](ByteView piece) {
                spending.charge(piece.size());
                produced += piece.size();
                if (withCrc) {
                    crc = crc32(crc, piece.data(), static_cast<uInt>(piece.size()));
                }
                return produced <= kMaxPayload && !spending.exhausted();
            },
        .input = [&](std::size_t size) { spending.charge(size); },
        .another = {},
    };
    StreamDriver driver(*decoder, input, outputBuffer(object), std::move(hooks));
    const Decoded decoded = driver.run();
    switch (decoded.ending) {
        case Ending::kEnd:
            result.ending = Verdict::kEnd;
            break;
        case Ending::kTruncated:
            result.ending = object.failure() ? Verdict::kBroken : Verdict::kTruncated;
            break;
        case Ending::kBroken:
            result.ending = Verdict::kBroken;
            break;
        case Ending::kTooLarge:
            result.ending = Verdict::kTooLarge;
            break;
        case Ending::kStopped:
            result.ending = decoded.produced > kMaxPayload ? Verdict::kCapped : Verdict::kUnchecked;
            break;
    }
    result.consumed = decoded.consumed;
    result.produced = decoded.produced;
    result.crc = static_cast<std::uint32_t>(crc);
    return result;
}

std::string ratioText(std::uint64_t compressed, std::uint64_t uncompressed) {
    return sizeText(compressed).append(" -> ").append(sizeText(uncompressed));
}

// The object that decoding found, with `head` (the format and what its header says) in front of
// the sizes. headerSize and trailerSize lie around the decoded bytes. A stream cut short or cut
// off is reported where `damagedToo` (the header alone is strong enough) or it decoded a fair
// amount first; a damaged one only where damagedToo.
std::optional<Object> decodedObject(Bytes& object, const Trial& decoded, std::string head,
                                    std::vector<ScanField> fields, std::uint64_t headerSize,
                                    std::uint64_t trailerSize, bool damagedToo) {
    Object found;
    const std::uint64_t measured = headerSize + decoded.consumed + trailerSize;
    switch (decoded.ending) {
        case Verdict::kEnd:
            found.size = measured;
            found.exact = true;
            head.append(", ").append(ratioText(measured, decoded.produced));
            fields.push_back(numberField("compressed_size", measured));
            fields.push_back(numberField("uncompressed_size", decoded.produced));
            break;
        case Verdict::kCapped:
            found.size = measured;
            head.append(", more than ").append(sizeText(kMaxPayload)).append(" uncompressed");
            break;
        case Verdict::kUnchecked:
            // Like a stream cut off: what decoded is all that speaks for it.
            if (!damagedToo && decoded.produced < kMinTruncatedOutput) {
                return std::nullopt;
            }
            found.size = headerSize + decoded.consumed;
            head.append(", not checked after ")
                .append(sizeText(decoded.produced))
                .append(", the scan's allowance for decoding is spent");
            break;
        case Verdict::kTruncated:
            if (!damagedToo && decoded.produced < kMinTruncatedOutput) {
                return std::nullopt;
            }
            found.size = object.size();
            head.append(", truncated after ").append(sizeText(decoded.produced));
            break;
        case Verdict::kTooLarge:
        case Verdict::kBroken:
            if (!damagedToo || object.failure()) {
                return std::nullopt;
            }
            found.size = measured;
            if (decoded.ending == Verdict::kTooLarge) {
                head.append(", needs more than ")
                    .append(sizeText(kMaxDecoderMemory))
                    .append(" to decode");
            } else {
                head.append(", damaged after ").append(sizeText(decoded.produced));
            }
            break;
    }
    found.description = std::move(head);
    found.fields = std::move(fields);
    return found;
}

// Where the NUL that ends a gzip header's text from `offset` lies.
std::optional<std::uint64_t> textEnd(Bytes& object, std::uint64_t offset) {
    std::array<std::uint8_t, 256> piece{};
    for (std::uint64_t at = offset; at - offset < kMaxGzipText && at < object.size();) {
        const auto length =
            static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), object.size() - at));
        const std::span<std::uint8_t> into = std::span(piece).first(length);
        if (!object.read(at, into)) {
            return std::nullopt;
        }
        const auto nul = std::ranges::find(into, std::uint8_t{0});
        if (nul != into.end()) {
            return at + static_cast<std::uint64_t>(nul - into.begin());
        }
        at += length;
    }
    return std::nullopt;
}

std::string_view gzipSystem(std::uint8_t os) {
    static constexpr std::array<std::string_view, 14> kSystems{
        "FAT",       "Amiga",    "VMS",  "Unix",    "VM/CMS", "Atari TOS", "HPFS",
        "Macintosh", "Z-System", "CP/M", "TOPS-20", "NTFS",   "QDOS",      "Acorn RISCOS"};
    return os < kSystems.size() ? kSystems[os] : "unknown";
}

std::optional<Object> validateGzip(Bytes& object) {
    std::array<std::uint8_t, 10> header{};
    if (!object.read(0, header) || (header[3] & 0xE0) != 0) {
        return std::nullopt;
    }
    const std::uint8_t flags = header[3];
    std::uint64_t at = header.size();
    if ((flags & 0x04) != 0) {
        const std::optional<std::uint64_t> extra = object.number(at, 2, ByteOrder::kLittle);
        if (!extra) {
            return std::nullopt;
        }
        at += 2 + *extra;
    }
    ByteBuffer name;
    if ((flags & 0x08) != 0) {
        const std::optional<std::uint64_t> end = textEnd(object, at);
        if (!end) {
            return std::nullopt;
        }
        name.resize(static_cast<std::size_t>(std::min<std::uint64_t>(*end - at, 64)));
        if (!object.read(at, name)) {
            return std::nullopt;
        }
        at = *end + 1;
    }
    if ((flags & 0x10) != 0) {
        const std::optional<std::uint64_t> end = textEnd(object, at);
        if (!end) {
            return std::nullopt;
        }
        at = *end + 1;
    }
    if ((flags & 0x02) != 0) {
        const std::optional<std::uint64_t> stored = object.number(at, 2, ByteOrder::kLittle);
        const std::optional<std::uint32_t> crc = formats::crc32Of(object, 0, at);
        if (!stored || !crc || (*crc & 0xFFFF) != *stored) {
            return std::nullopt;
        }
        at += 2;
    }
    if (!object.holds(at, 1)) {
        return std::nullopt;
    }
    Trial decoded = decodeTrial(object, at, Codec::kDeflate, true);
    if (decoded.ending == Verdict::kEnd) {
        const std::optional<std::uint64_t> crc =
            object.number(at + decoded.consumed, 4, ByteOrder::kLittle);
        const std::optional<std::uint64_t> length =
            object.number(at + decoded.consumed + 4, 4, ByteOrder::kLittle);
        if (!crc || !length) {
            decoded.ending = Verdict::kTruncated;
        } else if (*crc != decoded.crc || *length != (decoded.produced & 0xFFFFFFFF)) {
            return std::nullopt;
        }
    }
    std::string head = "gzip";
    std::vector<ScanField> fields;
    if ((flags & 0x08) != 0) {
        head.append(", name ").append(quoted(name));
        fields.push_back(textField("name", formats::safeText(name)));
    }
    const std::uint32_t mtime =
        static_cast<std::uint32_t>(header[4]) | static_cast<std::uint32_t>(header[5]) << 8 |
        static_cast<std::uint32_t>(header[6]) << 16 | static_cast<std::uint32_t>(header[7]) << 24;
    if (mtime != 0) {
        fields.push_back({"mtime", formats::utcTime(mtime), mtime});
    }
    fields.push_back(
        {"os", std::string(header[9] == 255 ? "unknown" : gzipSystem(header[9])), header[9]});
    return decodedObject(object, decoded, std::move(head), std::move(fields), at, 8, false);
}

std::optional<Object> validateZlib(Bytes& object) {
    std::array<std::uint8_t, 2> header{};
    if (!object.read(0, header) || (header[0] & 0x0F) != 8 || (header[0] >> 4) > 7 ||
        (header[0] * 256 + header[1]) % 31 != 0 || (header[1] & 0x20) != 0) {
        return std::nullopt;
    }
    const Trial decoded = decodeTrial(object, 0, Codec::kZlib);
    if (decoded.ending == Verdict::kEnd && decoded.produced < kMinZlibOutput) {
        return std::nullopt;
    }
    static constexpr std::array<std::string_view, 4> kLevels{"fastest", "fast", "default", "best"};
    const std::uint64_t window = std::uint64_t{1} << ((header[0] >> 4) + 8);
    std::vector<ScanField> fields{numberField("window_size", window),
                                  textField("level", std::string(kLevels[header[1] >> 6]))};
    return decodedObject(object, decoded, "zlib", std::move(fields), 0, 0, false);
}

std::string_view xzCheck(std::uint8_t check) {
    switch (check) {
        case 0x00:
            return "no check";
        case 0x01:
            return "CRC32";
        case 0x04:
            return "CRC64";
        case 0x0A:
            return "SHA-256";
        default:
            return "unknown check";
    }
}

std::optional<Object> validateXz(Bytes& object) {
    std::array<std::uint8_t, 12> header{};
    if (!object.read(0, header) || header[6] != 0 || (header[7] & 0xF0) != 0) {
        return std::nullopt;
    }
    const std::uint32_t stored =
        static_cast<std::uint32_t>(header[8]) | static_cast<std::uint32_t>(header[9]) << 8 |
        static_cast<std::uint32_t>(header[10]) << 16 | static_cast<std::uint32_t>(header[11]) << 24;
    if (crc32(0, header.data() + 6, 2) != stored) {
        return std::nullopt;
    }
    const Trial decoded = decodeTrial(object, 0, Codec::kXz);
    const std::string_view check = xzCheck(header[7]);
    std::vector<ScanField> fields{textField("check", std::string(check))};
    return decodedObject(object, decoded, std::string("xz, ").append(check), std::move(fields), 0,
                         0, true);
}

// The dictionary sizes that encoders write: 2^n or 2^n + 2^(n-1), from 4 KiB.
bool usualDictionary(std::uint32_t size) {
    if (size < 4096) {
        return false;
    }
    const std::uint32_t high = std::uint32_t{1} << (31 - std::countl_zero(size));
    return size == high || size == high + high / 2;
}

std::optional<Object> validateLzma(Bytes& object) {
    std::array<std::uint8_t, 13> header{};
    if (!object.read(0, header) || header[0] >= 225) {
        return std::nullopt;
    }
    const auto dictionary =
        static_cast<std::uint32_t>(readLittleEndian(ByteView(header).subspan(1, 4)));
    const std::uint64_t declared = readLittleEndian(ByteView(header).subspan(5, 8));
    const bool sized = declared != UINT64_MAX;
    if (!usualDictionary(dictionary) || (sized && declared > (std::uint64_t{1} << 40))) {
        return std::nullopt;
    }
    // The decoder allocates the dictionary the header names. It is given one no larger than what
    // the stream decodes to, and a larger one only once the output outgrows it, when a distance
    // beyond it fails.
    const std::uint32_t needed = std::min(dictionary, kMaxLzmaDictionary);
    std::uint32_t given = std::min<std::uint32_t>(needed, std::uint32_t{1} << 20);
    if (sized) {
        given = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(given, std::max<std::uint64_t>(declared, 4096)));
    }
    Trial decoded;
    for (;;) {
        decoded = decodeTrial(object, 0, Codec::kLzma, false, given);
        if (decoded.ending != Verdict::kBroken || decoded.produced <= given || given >= needed) {
            break;
        }
        given =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{given} * 8, needed));
    }
    // With no check over what it decodes to, a stream of nothing (a header and an end marker,
    // which executables hold by chance) is no object.
    if (decoded.ending == Verdict::kEnd &&
        (decoded.produced == 0 || (sized && decoded.produced != declared))) {
        return std::nullopt;
    }
    const unsigned props = header[0];
    std::string head = std::string("lzma, lc ")
                           .append(std::to_string(props % 9))
                           .append(" lp ")
                           .append(std::to_string(props / 9 % 5))
                           .append(" pb ")
                           .append(std::to_string(props / 45))
                           .append(", dictionary ")
                           .append(sizeText(dictionary));
    std::vector<ScanField> fields{numberField("dictionary_size", dictionary)};
    return decodedObject(object, decoded, std::move(head), std::move(fields), 0, 0, false);
}

std::optional<Object> validateBzip2(Bytes& object) {
    std::array<std::uint8_t, 10> header{};
    static constexpr std::array<std::uint8_t, 6> kBlock{0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
    if (!object.read(0, header) || header[3] < '1' || header[3] > '9' ||
        !std::ranges::equal(std::span(header).subspan(4), kBlock)) {
        return std::nullopt;
    }
    const Trial decoded = decodeTrial(object, 0, Codec::kBzip2);
    const unsigned level = header[3] - '0';
    std::vector<ScanField> fields{numberField("block_size", level * 100000)};
    return decodedObject(
        object, decoded,
        std::string("bzip2, block size ").append(std::to_string(level)).append("00k"),
        std::move(fields), 0, 0, true);
}

// A walk over a frame's blocks that the input cut off: at least all of it is the object.
Object truncatedFrame(Bytes& object, std::string head, std::vector<ScanField> fields) {
    Object found;
    found.size = object.size();
    found.description = head.append(", truncated");
    found.fields = std::move(fields);
    return found;
}

// A frame walked to its end from block header to block header: at bytes in blocks blocks, content
// bytes once decoded where its header says, and whether a checksum of them follows.
Object walkedFrame(std::string_view format, std::uint64_t at, std::optional<std::uint64_t> content,
                   std::uint64_t blocks, bool checksum, std::vector<ScanField> fields) {
    Object found;
    found.size = at;
    found.exact = true;
    found.description =
        std::string(format).append(", ").append(content ? ratioText(at, *content) : sizeText(at));
    found.description.append(", ")
        .append(std::to_string(blocks))
        .append(blocks == 1 ? " block" : " blocks");
    if (checksum) {
        found.description.append(", checksum");
    }
    fields.push_back(numberField("compressed_size", at));
    fields.push_back(numberField("blocks", blocks));
    found.fields = std::move(fields);
    return found;
}

std::optional<Object> validateZstd(Bytes& object) {
    std::array<std::uint8_t, 6> start{};
    if (!object.read(0, std::span(start).first(5))) {
        return std::nullopt;
    }
    const std::uint8_t descriptor = start[4];
    if ((descriptor & 0x08) != 0) {
        return std::nullopt;
    }
    const bool singleSegment = (descriptor & 0x20) != 0;
    const bool checksum = (descriptor & 0x04) != 0;
    static constexpr std::array<std::uint64_t, 4> kDictionaryBytes{0, 1, 2, 4};
    const unsigned sizeFlag = descriptor >> 6;
    const std::uint64_t sizeBytes =
        sizeFlag == 0 ? (singleSegment ? 1 : 0) : std::uint64_t{1} << sizeFlag;
    std::uint64_t at = 5;
    std::uint64_t window = 0;
    if (!singleSegment) {
        const std::optional<std::uint64_t> byte = object.number(at++, 1, ByteOrder::kLittle);
        if (!byte || (*byte >> 3) > 21) {
            return std::nullopt;
        }
        const std::uint64_t base = std::uint64_t{1} << (10 + (*byte >> 3));
        window = base + base / 8 * (*byte & 7);
    }
    at += kDictionaryBytes[descriptor & 3];
    std::optional<std::uint64_t> content;
    if (sizeBytes != 0) {
        content = object.number(at, static_cast<std::size_t>(sizeBytes), ByteOrder::kLittle);
        if (!content) {
            return std::nullopt;
        }
        if (sizeBytes == 2) {
            *content += 256;
        }
        at += sizeBytes;
        if (singleSegment) {
            window = *content;
        }
    }
    const std::uint64_t blockLimit = std::min<std::uint64_t>(window, std::uint64_t{128} << 10);
    std::vector<ScanField> fields;
    if (content) {
        fields.push_back(numberField("content_size", *content));
    }
    if (!singleSegment) {
        fields.push_back(numberField("window_size", window));
    }
    // Each block takes at least its 3-byte header, so the walk ends within the input.
    std::uint64_t blocks = 0;
    std::uint64_t stored = 0;  // what the raw and RLE blocks hold
    for (bool last = false; !last; ++blocks) {
        const std::optional<std::uint64_t> block = object.number(at, 3, ByteOrder::kLittle);
        if (!block) {
            return blocks == 0 ? std::nullopt
                               : std::optional(truncatedFrame(object, "zstd", std::move(fields)));
        }
        last = (*block & 1) != 0;
        const std::uint64_t type = (*block >> 1) & 3;
        const std::uint64_t size = *block >> 3;
        if (type == 3 || size > blockLimit) {
            return std::nullopt;
        }
        stored += size;
        if (content && type != 2 && stored > *content) {
            return std::nullopt;
        }
        at += 3 + (type == 1 ? 1 : size);
        if (!object.holds(0, at)) {
            return truncatedFrame(object, "zstd", std::move(fields));
        }
    }
    if (checksum) {
        at += 4;
        if (!object.holds(0, at)) {
            return truncatedFrame(object, "zstd", std::move(fields));
        }
    }
    return walkedFrame("zstd", at, content, blocks, checksum, std::move(fields));
}

// XXH32 with seed 0 of fewer than 16 bytes, as an lz4 frame descriptor's check byte takes it.
std::uint32_t shortXxh32(ByteView bytes) {
    constexpr std::uint32_t kPrime1 = 2654435761U;
    constexpr std::uint32_t kPrime2 = 2246822519U;
    constexpr std::uint32_t kPrime3 = 3266489917U;
    constexpr std::uint32_t kPrime4 = 668265263U;
    constexpr std::uint32_t kPrime5 = 374761393U;
    auto rotate = [](std::uint32_t value, int bits) {
        return (value << bits) | (value >> (32 - bits));
    };
    std::uint32_t hash = kPrime5 + static_cast<std::uint32_t>(bytes.size());
    std::size_t at = 0;
    for (; at + 4 <= bytes.size(); at += 4) {
        hash += static_cast<std::uint32_t>(readLittleEndian(bytes.subspan(at, 4))) * kPrime3;
        hash = rotate(hash, 17) * kPrime4;
    }
    for (; at < bytes.size(); ++at) {
        hash += bytes[at] * kPrime5;
        hash = rotate(hash, 11) * kPrime1;
    }
    hash ^= hash >> 15;
    hash *= kPrime2;
    hash ^= hash >> 13;
    hash *= kPrime3;
    hash ^= hash >> 16;
    return hash;
}

std::optional<Object> validateLz4(Bytes& object) {
    std::array<std::uint8_t, 15> header{};
    if (!object.read(4, std::span(header).first(2))) {
        return std::nullopt;
    }
    const std::uint8_t flags = header[0];
    const std::uint8_t blockDescriptor = header[1];
    const unsigned blockSizeCode = (blockDescriptor >> 4) & 7;
    if ((flags >> 6) != 1 || (flags & 0x02) != 0 || (blockDescriptor & 0x8F) != 0 ||
        blockSizeCode < 4) {
        return std::nullopt;
    }
    const bool hasContentSize = (flags & 0x08) != 0;
    const bool blockChecksum = (flags & 0x10) != 0;
    const bool contentChecksum = (flags & 0x04) != 0;
    const std::size_t descriptorSize =
        std::size_t{2} + (hasContentSize ? 8U : 0U) + ((flags & 0x01) != 0 ? 4U : 0U);
    if (!object.read(4, std::span(header).first(descriptorSize + 1))) {
        return std::nullopt;
    }
    const ByteView descriptor = ByteView(header).first(descriptorSize);
    if (((shortXxh32(descriptor) >> 8) & 0xFF) != header[descriptorSize]) {
        return std::nullopt;
    }
    const std::uint64_t blockLimit = std::uint64_t{1} << (2 * blockSizeCode + 8);
    std::vector<ScanField> fields{numberField("block_size", blockLimit)};
    std::optional<std::uint64_t> content;
    if (hasContentSize) {
        content = readLittleEndian(descriptor.subspan(2, 8));
        fields.push_back(numberField("content_size", *content));
    }
    std::uint64_t at = 4 + descriptorSize + 1;
    std::uint64_t blocks = 0;
    // Each block takes at least its 4-byte size, so the walk ends within the input.
    for (;;) {
        const std::optional<std::uint64_t> block = object.number(at, 4, ByteOrder::kLittle);
        if (!block) {
            return truncatedFrame(object, "lz4", std::move(fields));
        }
        at += 4;
        if (*block == 0) {
            break;
        }
        const std::uint64_t size = *block & 0x7FFFFFFF;
        if (size == 0 || size > blockLimit) {
            return std::nullopt;
        }
        at += size + (blockChecksum ? 4 : 0);
        ++blocks;
        if (!object.holds(0, at)) {
            return truncatedFrame(object, "lz4", std::move(fields));
        }
    }
    if (contentChecksum) {
        at += 4;
        if (!object.holds(0, at)) {
            return truncatedFrame(object, "lz4", std::move(fields));
        }
    }
    return walkedFrame("lz4", at, content, blocks, false, std::move(fields));
}

// The legacy lz4 frame that Linux kernels and initramfs images use: the magic, then blocks that
// each decode to 8 MiB but the last, each after its 4-byte size, with no end mark. The first
// block's beginning is decoded to prove it; the frame ends where the next size cannot be one, or
// is not all there, which the bytes after it may not show: its size is a lower bound.
std::optional<Object> validateLz4Legacy(Bytes& object) {
    constexpr std::uint64_t kLegacyBlock = std::uint64_t{8} << 20;
    constexpr std::uint64_t kLargestBlock = LZ4_COMPRESSBOUND(kLegacyBlock);
    // Decoding stops after kOutputChunk bytes, which this much of any block yields.
    constexpr std::uint64_t kProof = kOutputChunk + kOutputChunk / 128;
    const std::optional<std::uint64_t> first = object.number(4, 4, ByteOrder::kLittle);
    if (!first || *first == 0 || *first > kLargestBlock) {
        return std::nullopt;
    }
    const bool whole = object.holds(8, *first);
    ByteBuffer start(static_cast<std::size_t>(std::min({*first, kProof, object.size() - 8})));
    if (!object.read(8, start)) {
        return std::nullopt;
    }
    const std::span<std::uint8_t> output = outputBuffer(object);
    Spending spending(object);
    spending.charge(start.size());
    const int made = LZ4_decompress_safe_partial(
        reinterpret_cast<const char*>(start.data()), reinterpret_cast<char*>(output.data()),
        static_cast<int>(start.size()), static_cast<int>(output.size()),
        static_cast<int>(output.size()));
    spending.charge(made > 0 ? static_cast<std::uint64_t>(made) : 0);
    // Either the block's first kOutputChunk bytes decode, or all of a smaller one does.
    const bool proven =
        made >= 0 && (static_cast<std::size_t>(made) == output.size() || start.size() == *first);
    if (!proven) {
        return std::nullopt;
    }
    std::vector<ScanField> fields;
    if (!whole) {
        return truncatedFrame(object, "lz4 legacy frame", std::move(fields));
    }
    // Each block takes at least 5 bytes, so the walk ends within the input.
    std::uint64_t at = 8 + *first;
    std::uint64_t blocks = 1;
    for (;;) {
        const std::optional<std::uint64_t> block = object.number(at, 4, ByteOrder::kLittle);
        if (!block || *block == 0 || *block > kLargestBlock || !object.holds(at + 4, *block)) {
            break;
        }
        at += 4 + *block;
        ++blocks;
    }
    Object found;
    found.size = at;
    found.description = std::string("lz4 legacy frame, ")
                            .append(sizeText(at))
                            .append(", ")
                            .append(std::to_string(blocks))
                            .append(blocks == 1 ? " block" : " blocks");
    fields.push_back(numberField("blocks", blocks));
    found.fields = std::move(fields);
    return found;
}

}  // namespace

DecodingAllowance::DecodingAllowance(std::uint64_t inputSize)
    : left(kMaxPayload +
           std::min(inputSize, UINT64_MAX / 2 / kAllowancePerInputByte) * kAllowancePerInputByte) {}

std::span<std::uint8_t> DecodingAllowance::output() {
    if (output_.empty()) {
        output_.resize(kOutputChunk);
    }
    return output_;
}

std::span<const Signature> compressedSignatures() {
    static constexpr Signature kRows[] = {
        {"gzip", std::string_view("\x1f\x8b\x08", 3), 0, Interior::kSkipped, validateGzip},
        {"zlib", std::string_view("\x78\x01", 2), 0, Interior::kSkipped, validateZlib},
        {"zlib", std::string_view("\x78\x5e", 2), 0, Interior::kSkipped, validateZlib},
        {"zlib", std::string_view("\x78\x9c", 2), 0, Interior::kSkipped, validateZlib},
        {"zlib", std::string_view("\x78\xda", 2), 0, Interior::kSkipped, validateZlib},
        {"xz", std::string_view("\xfd\x37\x7a\x58\x5a\x00", 6), 0, Interior::kSkipped, validateXz},
        {"lzma", std::string_view("\x5d\x00\x00", 3), 0, Interior::kSkipped, validateLzma},
        {"bzip2", std::string_view("BZh", 3), 0, Interior::kSkipped, validateBzip2},
        {"zstd", std::string_view("\x28\xb5\x2f\xfd", 4), 0, Interior::kSkipped, validateZstd},
        {"lz4", std::string_view("\x04\x22\x4d\x18", 4), 0, Interior::kSkipped, validateLz4},
        {"lz4", std::string_view("\x02\x21\x4c\x18", 4), 0, Interior::kSkipped, validateLz4Legacy},
    };
    return kRows;
}

}  // namespace tessaloom::scan
