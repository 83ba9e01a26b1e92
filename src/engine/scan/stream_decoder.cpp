#include "stream_decoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include <bzlib.h>
#include <lz4.h>
#include <lz4frame.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include "../byte_order.h"

namespace tessaloom::scan {

namespace {

using Status = Decoder::Status;
using Step = Decoder::Step;

// zlib for raw deflate (-15), the zlib wrapper (15) and gzip members (31).
class ZlibDecoder final : public Decoder {
  public:
    explicit ZlibDecoder(int windowBits) : ready_(inflateInit2(&stream_, windowBits) == Z_OK) {}
    ~ZlibDecoder() override {
        if (ready_) {
            inflateEnd(&stream_);
        }
    }
    ZlibDecoder(const ZlibDecoder&) = delete;
    ZlibDecoder& operator=(const ZlibDecoder&) = delete;

    bool ready() const { return ready_; }
    Step step(ByteView in, std::span<std::uint8_t> out) override {
        // zlib takes its input through a pointer to non-const, which it only reads.
        stream_.next_in = const_cast<Bytef*>(in.data());
        stream_.avail_in = static_cast<uInt>(std::min<std::size_t>(in.size(), UINT32_MAX));
        const uInt given = stream_.avail_in;
        stream_.next_out = out.data();
        stream_.avail_out = static_cast<uInt>(std::min<std::size_t>(out.size(), UINT32_MAX));
        const uInt room = stream_.avail_out;
        const int status = inflate(&stream_, Z_NO_FLUSH);
        Step result{Status::kMore, given - stream_.avail_in, room - stream_.avail_out};
        if (status == Z_STREAM_END) {
            result.status = Status::kEnd;
        } else if ((status != Z_OK && status != Z_BUF_ERROR) ||
                   (status == Z_BUF_ERROR && stream_.avail_in != 0)) {
            result.status = Status::kBroken;
        }
        return result;
    }
    bool restart() override { return inflateReset(&stream_) == Z_OK; }

  private:
    z_stream stream_{};
    bool ready_;
};

// liblzma for xz streams and for .lzma streams, whose header's dictionary size can be replaced
// by a smaller one: the decoder allocates what the header names.
class LzmaDecoder final : public Decoder {
  public:
    LzmaDecoder(bool alone, std::uint32_t dictionary) : alone_(alone), dictionary_(dictionary) {
        ready_ = begin();
    }
    ~LzmaDecoder() override { lzma_end(&stream_); }
    LzmaDecoder(const LzmaDecoder&) = delete;
    LzmaDecoder& operator=(const LzmaDecoder&) = delete;

    bool ready() const { return ready_; }
    Step step(ByteView in, std::span<std::uint8_t> out) override {
        Step result;
        if (alone_ && headerHeld_ < header_.size()) {
            // The header is held back until its dictionary size is known and rewritten.
            result.read = std::min(in.size(), header_.size() - headerHeld_);
            std::memcpy(header_.data() + headerHeld_, in.data(), result.read);
            headerHeld_ += result.read;
            if (headerHeld_ < header_.size()) {
                return result;
            }
            rewriteDictionary();
            const Step rest = code(header_, out);
            result.status = rest.status;
            result.made = rest.made;
            return result;
        }
        return code(in, out);
    }
    bool restart() override {
        lzma_end(&stream_);
        stream_ = LZMA_STREAM_INIT;
        headerHeld_ = 0;
        return ready_ = begin();
    }

  private:
    bool begin() {
        return (alone_ ? lzma_alone_decoder(&stream_, kMaxDecoderMemory)
                       : lzma_stream_decoder(&stream_, kMaxDecoderMemory, 0)) == LZMA_OK;
    }
    void rewriteDictionary() {
        std::uint32_t given = dictionary_;
        if (given == 0) {
            // No larger than the header names, nor than what the stream decodes to.
            const auto named =
                static_cast<std::uint32_t>(readLittleEndian(ByteView(header_).subspan(1, 4)));
            const std::uint64_t declared = readLittleEndian(ByteView(header_).subspan(5, 8));
            given = std::min(named, kMaxLzmaDictionary);
            if (declared != UINT64_MAX) {
                given = static_cast<std::uint32_t>(
                    std::min<std::uint64_t>(given, std::max<std::uint64_t>(declared, 4096)));
            }
        }
        for (std::size_t i = 0; i < 4; ++i) {
            header_[1 + i] = static_cast<std::uint8_t>(given >> (8 * i));
        }
    }
    Step code(ByteView in, std::span<std::uint8_t> out) {
        stream_.next_in = in.data();
        stream_.avail_in = in.size();
        stream_.next_out = out.data();
        stream_.avail_out = out.size();
        const lzma_ret status = lzma_code(&stream_, LZMA_RUN);
        Step result{Status::kMore, in.size() - stream_.avail_in, out.size() - stream_.avail_out};
        if (status == LZMA_STREAM_END) {
            result.status = Status::kEnd;
        } else if (status == LZMA_MEMLIMIT_ERROR || status == LZMA_MEM_ERROR) {
            result.status = Status::kTooLarge;
        } else if (status != LZMA_OK) {
            result.status = Status::kBroken;
        }
        return result;
    }

    lzma_stream stream_ = LZMA_STREAM_INIT;
    bool alone_;
    std::uint32_t dictionary_;
    bool ready_ = false;
    std::array<std::uint8_t, 13> header_{};
    std::size_t headerHeld_ = 0;
};

class Bzip2Decoder final : public Decoder {
  public:
    Bzip2Decoder() : ready_(BZ2_bzDecompressInit(&stream_, 0, 0) == BZ_OK) {}
    ~Bzip2Decoder() override {
        if (ready_) {
            BZ2_bzDecompressEnd(&stream_);
        }
    }
    Bzip2Decoder(const Bzip2Decoder&) = delete;
    Bzip2Decoder& operator=(const Bzip2Decoder&) = delete;

    bool ready() const { return ready_; }
    Step step(ByteView in, std::span<std::uint8_t> out) override {
        // libbz2 takes its input through a pointer to non-const, which it only reads.
        stream_.next_in = const_cast<char*>(reinterpret_cast<const char*>(in.data()));
        stream_.avail_in = static_cast<unsigned>(std::min<std::size_t>(in.size(), UINT32_MAX));
        const unsigned given = stream_.avail_in;
        stream_.next_out = reinterpret_cast<char*>(out.data());
        stream_.avail_out = static_cast<unsigned>(std::min<std::size_t>(out.size(), UINT32_MAX));
        const unsigned room = stream_.avail_out;
        const int status = BZ2_bzDecompress(&stream_);
        Step result{Status::kMore, given - stream_.avail_in, room - stream_.avail_out};
        if (status == BZ_STREAM_END) {
            result.status = Status::kEnd;
        } else if (status != BZ_OK) {
            result.status = Status::kBroken;
        }
        return result;
    }
    bool restart() override {
        if (ready_) {
            BZ2_bzDecompressEnd(&stream_);
        }
        stream_ = {};
        return ready_ = BZ2_bzDecompressInit(&stream_, 0, 0) == BZ_OK;
    }

  private:
    bz_stream stream_{};
    bool ready_;
};

class ZstdDecoder final : public Decoder {
  public:
    // A frame may ask for a window of at most 2^26 bytes, which the decoder allocates.
    static constexpr int kWindowLogMax = 26;

    ZstdDecoder() : context_(ZSTD_createDCtx()) {
        if (context_ != nullptr) {
            ZSTD_DCtx_setParameter(context_, ZSTD_d_windowLogMax, kWindowLogMax);
        }
    }
    ~ZstdDecoder() override { ZSTD_freeDCtx(context_); }
    ZstdDecoder(const ZstdDecoder&) = delete;
    ZstdDecoder& operator=(const ZstdDecoder&) = delete;

    bool ready() const { return context_ != nullptr; }
    Step step(ByteView in, std::span<std::uint8_t> out) override {
        ZSTD_inBuffer input{in.data(), in.size(), 0};
        ZSTD_outBuffer output{out.data(), out.size(), 0};
        const std::size_t status = ZSTD_decompressStream(context_, &output, &input);
        Step result{Status::kMore, input.pos, output.pos};
        if (ZSTD_isError(status) != 0) {
            result.status = ZSTD_getErrorCode(status) == ZSTD_error_frameParameter_windowTooLarge
                                ? Status::kTooLarge
                                : Status::kBroken;
        } else if (status == 0) {
            result.status = Status::kEnd;
        }
        return result;
    }
    bool restart() override {
        return ZSTD_isError(ZSTD_DCtx_reset(context_, ZSTD_reset_session_only)) == 0;
    }

  private:
    ZSTD_DCtx* context_;
};

class Lz4Decoder final : public Decoder {
  public:
    Lz4Decoder() {
        if (LZ4F_isError(LZ4F_createDecompressionContext(&context_, LZ4F_VERSION)) != 0) {
            context_ = nullptr;
        }
    }
    ~Lz4Decoder() override { LZ4F_freeDecompressionContext(context_); }
    Lz4Decoder(const Lz4Decoder&) = delete;
    Lz4Decoder& operator=(const Lz4Decoder&) = delete;

    bool ready() const { return context_ != nullptr; }
    Step step(ByteView in, std::span<std::uint8_t> out) override {
        std::size_t read = in.size();
        std::size_t made = out.size();
        const std::size_t status =
            LZ4F_decompress(context_, out.data(), &made, in.data(), &read, nullptr);
        Step result{Status::kMore, read, made};
        if (LZ4F_isError(status) != 0) {
            result.status = Status::kBroken;
        } else if (status == 0) {
            result.status = Status::kEnd;
        }
        return result;
    }
    bool restart() override {
        LZ4F_resetDecompressionContext(context_);
        return true;
    }

  private:
    LZ4F_dctx* context_ = nullptr;
};

// The legacy lz4 frame: its magic, then blocks each after its 4-byte little-endian size, each
// decoding to 8 MiB but the last, with no end mark: the frame ends where the input does or where
// the next size cannot be one (another frame's magic, say). One block is held at a time, as read
// and as decoded.
class Lz4LegacyDecoder final : public Decoder {
  public:
    bool ready() const { return true; }
    Step step(ByteView in, std::span<std::uint8_t> out) override {
        Step result;
        if (!pending_.empty()) {
            const std::size_t n = std::min(pending_.size(), out.size());
            std::memcpy(out.data(), pending_.data(), n);
            pending_ = pending_.subspan(n);
            result.made = n;
            return result;
        }
        if (phase_ == Phase::kSize && held_.empty() && in.size() >= 4 &&
            !blockSize(readLe32(in.data()))) {
            result.status = Status::kEnd;  // what follows is not a block
            return result;
        }
        const std::size_t wanted = (phase_ == Phase::kBlock ? block_ : 4) - held_.size();
        const std::size_t taken = std::min(wanted, in.size());
        held_.insert(held_.end(), in.begin(), in.begin() + static_cast<std::ptrdiff_t>(taken));
        result.read = taken;
        if (held_.size() < (phase_ == Phase::kBlock ? block_ : 4)) {
            return result;
        }
        switch (phase_) {
            case Phase::kMagic:
                if (readLe32(held_.data()) != kMagic) {
                    result.status = Status::kBroken;
                    return result;
                }
                phase_ = Phase::kSize;
                break;
            case Phase::kSize:
                if (!blockSize(readLe32(held_.data()))) {
                    result.status = Status::kEnd;  // its size was split between pieces
                    return result;
                }
                block_ = readLe32(held_.data());
                phase_ = Phase::kBlock;
                break;
            case Phase::kBlock: {
                decoded_.resize(kBlock);
                const int made = LZ4_decompress_safe(reinterpret_cast<const char*>(held_.data()),
                                                     reinterpret_cast<char*>(decoded_.data()),
                                                     static_cast<int>(held_.size()),
                                                     static_cast<int>(decoded_.size()));
                if (made < 0) {
                    result.status = Status::kBroken;
                    return result;
                }
                pending_ = ByteView(decoded_).first(static_cast<std::size_t>(made));
                phase_ = Phase::kSize;
                break;
            }
        }
        held_.clear();
        return result;
    }
    // A frame of another kind may follow; this one ends the payload.
    bool restart() override { return false; }
    bool mayEndHere() const override { return phase_ == Phase::kSize && held_.empty(); }

  private:
    enum class Phase : std::uint8_t { kMagic, kSize, kBlock };
    static constexpr std::uint32_t kMagic = 0x184C2102;
    static constexpr std::size_t kBlock = std::size_t{8} << 20;

    static bool blockSize(std::uint32_t size) {
        // What lz4 makes of a block at worst (LZ4_COMPRESSBOUND).
        constexpr std::size_t kLargest = kBlock + kBlock / 255 + 16;
        return size != 0 && size <= kLargest;
    }
    static std::uint32_t readLe32(const std::uint8_t* bytes) {
        return static_cast<std::uint32_t>(readLittleEndian(ByteView(bytes, 4)));
    }

    Phase phase_ = Phase::kMagic;
    std::size_t block_ = 0;
    std::vector<std::uint8_t> held_;     // of the size or block being read
    std::vector<std::uint8_t> decoded_;  // the last block decoded
    ByteView pending_;                   // of it, not handed out yet
};

template <typename D, typename... Arguments>
std::unique_ptr<Decoder> readyOrNone(Arguments... arguments) {
    auto decoder = std::make_unique<D>(arguments...);
    if (!decoder->ready()) {
        return nullptr;
    }
    return decoder;
}

}  // namespace

std::unique_ptr<Decoder> makeDecoder(Codec codec, std::uint32_t lzmaDictionary) {
    switch (codec) {
        case Codec::kDeflate:
            return readyOrNone<ZlibDecoder>(-MAX_WBITS);
        case Codec::kZlib:
            return readyOrNone<ZlibDecoder>(MAX_WBITS);
        case Codec::kGzip:
            return readyOrNone<ZlibDecoder>(16 + MAX_WBITS);
        case Codec::kXz:
            return readyOrNone<LzmaDecoder>(false, std::uint32_t{0});
        case Codec::kLzma:
            return readyOrNone<LzmaDecoder>(true, lzmaDictionary);
        case Codec::kBzip2:
            return readyOrNone<Bzip2Decoder>();
        case Codec::kZstd:
            return readyOrNone<ZstdDecoder>();
        case Codec::kLz4:
            return readyOrNone<Lz4Decoder>();
        case Codec::kLz4Legacy:
            return readyOrNone<Lz4LegacyDecoder>();
    }
    return nullptr;
}

Decoded StreamDriver::run() {
    if (decoded_.ending != Ending::kStopped) {
        return decoded_;
    }
    // A decoder that neither reads nor writes twice in a row, with input and room, is stuck.
    int idle = 0;
    for (;;) {
        // The input is over where the stream may end: the decoder hands out what it holds.
        bool draining = false;
        if (piece_.empty()) {
            piece_ = reader_.next();
            if (piece_.empty()) {
                if (!decoder_.mayEndHere()) {
                    decoded_.ending = Ending::kTruncated;
                    return decoded_;
                }
                draining = true;
            } else if (hooks_.input) {
                hooks_.input(piece_.size());
            }
        }
        const std::size_t room = hooks_.room ? hooks_.room(output_.size()) : output_.size();
        if (room == 0) {
            decoded_.ending = Ending::kStopped;
            return decoded_;
        }
        const Decoder::Step step = decoder_.step(piece_, output_.first(room));
        piece_ = piece_.subspan(step.read);
        decoded_.consumed += step.read;
        decoded_.produced += step.made;
        const bool goOn =
            step.made == 0 || !hooks_.output || hooks_.output(ByteView(output_.data(), step.made));
        idle = step.read == 0 && step.made == 0 ? idle + 1 : 0;
        if (draining && step.made == 0 && step.status == Status::kMore) {
            decoded_.ending = Ending::kEnd;
            return decoded_;
        }
        if (step.status == Status::kEnd) {
            if (!hooks_.another) {
                decoded_.ending = Ending::kEnd;
                return decoded_;
            }
            if (piece_.empty()) {
                piece_ = reader_.next();
                if (!piece_.empty() && hooks_.input) {
                    hooks_.input(piece_.size());
                }
            }
            if (piece_.empty() || !hooks_.another(decoded_.consumed) || !decoder_.restart()) {
                decoded_.ending = Ending::kEnd;
                return decoded_;
            }
        } else if (step.status == Status::kBroken || idle > 1) {
            decoded_.ending = Ending::kBroken;
            return decoded_;
        } else if (step.status == Status::kTooLarge) {
            decoded_.ending = Ending::kTooLarge;
            return decoded_;
        }
        if (!goOn) {
            decoded_.ending = Ending::kStopped;
            return decoded_;
        }
    }
}

}  // namespace tessaloom::scan
