#include "payload.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <vector>

#include "signature.h"
#include "stream_decoder.h"

namespace tessaloom::scan {

namespace {

// A format whose objects hold a payload: its decoder, and the magic that starts another stream of
// it right after one ends (gzip members, zstd and lz4 frames, xz and bzip2 streams written one
// after another decode as one payload); empty where streams do not follow each other.
struct PayloadFormat {
    std::string_view format;
    Codec codec;
    std::string_view following;
};

constexpr std::array kPayloadFormats{
    PayloadFormat{"gzip", Codec::kGzip, std::string_view("\x1f\x8b\x08", 3)},
    PayloadFormat{"zlib", Codec::kZlib, {}},
    PayloadFormat{"xz", Codec::kXz, std::string_view("\xfd\x37\x7a\x58\x5a\x00", 6)},
    PayloadFormat{"lzma", Codec::kLzma, {}},
    PayloadFormat{"bzip2", Codec::kBzip2, std::string_view("BZh", 3)},
    PayloadFormat{"zstd", Codec::kZstd, std::string_view("\x28\xb5\x2f\xfd", 4)},
    PayloadFormat{"lz4", Codec::kLz4, std::string_view("\x04\x22\x4d\x18", 4)},
    PayloadFormat{"deflate", Codec::kDeflate, {}},
};

constexpr std::string_view kLz4LegacyMagic("\x02\x21\x4c\x18", 4);

// The stream is read, and decoded, this much at a time.
constexpr std::size_t kPiece = std::size_t{64} << 10;
// A source keeps at least this many of the bytes it decoded last (and at most twice as many), for
// each of the places it decodes at.
constexpr std::size_t kWindow = std::size_t{256} << 10;
// The places a source decodes at: the reads of a scan go forward at the block it is at and at the
// candidates a little ahead of it, each served by its own decoder.
constexpr std::size_t kCursors = 2;

const PayloadFormat* payloadFormat(std::string_view format) {
    const auto found = std::ranges::find(kPayloadFormats, format, &PayloadFormat::format);
    return found == kPayloadFormats.end() ? nullptr : &*found;
}

// "64 MiB": a limit in words, in whole units where it is one.
std::string limitText(std::uint64_t bytes) {
    static constexpr std::array<std::string_view, 4> kUnits{"KiB", "MiB", "GiB", "TiB"};
    std::string unit;
    std::uint64_t value = bytes;
    for (std::size_t i = 0; i < kUnits.size() && value >= 1024 && value % 1024 == 0; ++i) {
        value /= 1024;
        unit = kUnits[i];
    }
    return unit.empty() ? sizeText(bytes) : std::to_string(value) + " " + unit;
}

// A stream's bytes from its start, a piece at a time; a read that fails ends them and is kept.
class SourcePieces final : public PieceReader {
  public:
    explicit SourcePieces(ByteSource& source) : source_(source), buffer_(kPiece) {}

    ByteView next() override {
        if (failure_ || at_ >= source_.size()) {
            return {};
        }
        const auto length =
            static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, source_.size() - at_));
        const Result<std::size_t> got = source_.readAt(at_, std::span(buffer_).first(length));
        if (!got) {
            failure_ = got.failure();
            return {};
        }
        at_ += *got;
        return ByteView(buffer_).first(*got);
    }
    const std::optional<Failure>& failure() const { return failure_; }

  private:
    ByteSource& source_;
    ByteBuffer buffer_;
    std::uint64_t at_ = 0;
    std::optional<Failure> failure_;
};

// One decoding of a payload from its start, each decoded byte charged to the budget, no further
// than `cap` bytes.
class Decoding {
  public:
    Decoding(ByteSource& stream, const PayloadFormat& format, PayloadBudget& budget,
             std::uint64_t cap, std::function<bool(ByteView)> sink)
        : stream_(stream),
          format_(format),
          budget_(budget),
          cap_(cap),
          sink_(std::move(sink)),
          pieces_(stream),
          output_(kPiece) {
        Codec codec = format.codec;
        if (codec == Codec::kLz4 && startsWith(0, kLz4LegacyMagic)) {
            codec = Codec::kLz4Legacy;
        }
        decoder_ = makeDecoder(codec);
        if (!decoder_) {
            return;
        }
        DecodeHooks hooks{
            .room =
                [this](std::size_t size) {
                    const std::uint64_t left =
                        std::min(cap_ - std::min(cap_, produced_), budget_.left());
                    return static_cast<std::size_t>(std::min<std::uint64_t>(size, left));
                },
            .output =
                [this](ByteView piece) {
                    budget_.take(piece.size());
                    produced_ += piece.size();
                    return sink_(piece);
                },
            .input = {},
            .another = {},
        };
        if (!format.following.empty()) {
            hooks.another = [this](std::uint64_t at) { return followedAt(at); };
        }
        driver_.emplace(*decoder_, pieces_, output_, std::move(hooks));
    }

    bool decodes() const { return driver_.has_value(); }
    Decoded run() { return driver_->run(); }
    std::uint64_t produced() const { return produced_; }
    const std::optional<Failure>& failure() const { return pieces_.failure(); }
    // Whether the budget stopped it, rather than the sink.
    bool limited() const { return produced_ >= cap_ || budget_.left() == 0; }

    // How the run ended, in the words of PayloadEnd.
    PayloadEnd end(const Decoded& decoded) const {
        PayloadEnd end{decoded.produced, decoded.consumed, {}, false};
        switch (decoded.ending) {
            case Ending::kEnd:
                break;
            case Ending::kTruncated:
                end.cutShort = "the stream is cut short";
                break;
            case Ending::kBroken:
                end.cutShort = "the stream is damaged at byte " + std::to_string(decoded.consumed);
                break;
            case Ending::kTooLarge:
                end.cutShort = "the stream needs more than " + limitText(kMaxDecoderMemory) +
                               " of memory to decode";
                break;
            case Ending::kStopped:
                if (limited()) {
                    end.limited = true;
                    end.cutShort =
                        produced_ >= cap_ ? perPayloadText(budget_) : totalLimitText(budget_);
                } else {
                    end.cutShort = "decoding was stopped";
                }
                break;
        }
        return end;
    }

  private:
    bool startsWith(std::uint64_t at, std::string_view magic) {
        std::array<std::uint8_t, 8> bytes{};
        const std::span<std::uint8_t> into = std::span(bytes).first(magic.size());
        const Result<std::size_t> got = stream_.readAt(at, into);
        return got && *got == magic.size() &&
               std::memcmp(into.data(), magic.data(), magic.size()) == 0;
    }
    bool followedAt(std::uint64_t at) { return startsWith(at, format_.following); }

    ByteSource& stream_;
    const PayloadFormat& format_;
    PayloadBudget& budget_;
    std::uint64_t cap_;
    std::function<bool(ByteView)> sink_;
    SourcePieces pieces_;
    ByteBuffer output_;
    std::unique_ptr<Decoder> decoder_;
    std::optional<StreamDriver> driver_;
    std::uint64_t produced_ = 0;
};

Failure noPayload(std::string_view format) {
    return Failure{Failure::Kind::kInvalid, "", "no payload in " + std::string(format), 0, {}};
}

Result<PayloadEnd> decodeOnce(ByteSource& stream, const PayloadFormat& format,
                              PayloadBudget& budget, const std::function<bool(ByteView)>& sink) {
    Decoding decoding(stream, format, budget, budget.perPayload(), sink);
    if (!decoding.decodes()) {
        return PayloadEnd{0, 0, "the " + std::string(format.format) + " stream is not decoded",
                          false};
    }
    const Decoded decoded = decoding.run();
    if (decoding.failure()) {
        return *decoding.failure();
    }
    return decoding.end(decoded);
}

// The payload at any offset: up to kCursors decodings, each at its own place, each keeping the
// bytes it decoded last. A read is served by the one that is at or before it, and, where none
// is, by the one used least recently, started over.
class DecodedSource final : public PayloadSource {
  public:
    DecodedSource(ByteSource& stream, const PayloadFormat& format, PayloadBudget& budget,
                  PayloadEnd end)
        : stream_(stream), format_(format), budget_(budget), end_(std::move(end)) {}

    std::uint64_t size() const override { return end_.produced; }
    const PayloadEnd& end() const override { return end_; }

    Result<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> into) override {
        if (offset >= size()) {
            return std::size_t{0};
        }
        const auto length =
            static_cast<std::size_t>(std::min<std::uint64_t>(into.size(), size() - offset));
        Cursor& cursor = cursorFor(offset);
        cursor.lastUse = ++uses_;
        const std::uint64_t until = offset + length;
        const std::uint64_t kept = cursor.keptUntil();
        if (kept > offset) {
            const std::uint64_t shown = std::min(kept, until) - offset;
            std::memcpy(into.data(), cursor.window.data() + (offset - cursor.windowStart),
                        static_cast<std::size_t>(shown));
        }
        if (kept >= until) {
            return length;
        }
        cursor.target = until;
        cursor.into = into.first(length);
        cursor.intoStart = offset;
        const Decoded decoded = cursor.decoding->run();
        cursor.into = {};
        if (cursor.keptUntil() >= until) {
            return length;
        }
        if (cursor.decoding->failure()) {
            return *cursor.decoding->failure();
        }
        if (decoded.ending == Ending::kStopped && budget_.left() == 0) {
            return Failure{Failure::Kind::kMemory, "", totalLimitText(budget_), 0, {}};
        }
        return Failure{Failure::Kind::kChanged, "", "the stream decodes differently", 0, {}};
    }

  private:
    struct Cursor {
        std::unique_ptr<Decoding> decoding;
        // The bytes kept, which run from windowStart up to where the decoding is.
        ByteBuffer window;
        std::uint64_t windowStart = 0;
        std::uint64_t lastUse = 0;
        // The read being served: where its bytes go, and where it ends.
        std::span<std::uint8_t> into;
        std::uint64_t intoStart = 0;
        std::uint64_t target = 0;

        std::uint64_t keptUntil() const { return windowStart + window.size(); }
        bool keep(ByteView piece) {
            const std::uint64_t at = keptUntil();
            const std::uint64_t intoEnd = intoStart + into.size();
            const std::uint64_t from = std::max(at, intoStart);
            const std::uint64_t to = std::min(at + piece.size(), intoEnd);
            if (from < to) {
                std::memcpy(into.data() + (from - intoStart), piece.data() + (from - at),
                            static_cast<std::size_t>(to - from));
            }
            if (window.size() + piece.size() > 2 * kWindow) {
                const std::size_t dropped = window.size() - std::min(window.size(), kWindow);
                window.erase(window.begin(), window.begin() + static_cast<std::ptrdiff_t>(dropped));
                windowStart += dropped;
            }
            window.insert(window.end(), piece.begin(), piece.end());
            return keptUntil() < target;
        }
    };

    // The cursor whose bytes hold offset, or reach up to it; else, of those before it, the one
    // used least recently, so that a read far ahead leaves the one that reads in order where it
    // is; else one started over.
    Cursor& cursorFor(std::uint64_t offset) {
        Cursor* holding = nullptr;
        Cursor* before = nullptr;
        for (Cursor& cursor : cursors_) {
            if (cursor.windowStart > offset) {
                continue;
            }
            if (cursor.keptUntil() >= offset &&
                (holding == nullptr || cursor.keptUntil() > holding->keptUntil())) {
                holding = &cursor;
            }
            if (before == nullptr || cursor.lastUse < before->lastUse) {
                before = &cursor;
            }
        }
        if (holding != nullptr) {
            return *holding;
        }
        if (before != nullptr) {
            return *before;
        }
        Cursor* chosen = nullptr;
        if (cursors_.size() < kCursors) {
            cursors_.emplace_back();
            chosen = &cursors_.back();
        } else {
            chosen = &*std::ranges::min_element(cursors_, {}, &Cursor::lastUse);
        }
        start(*chosen);
        return *chosen;
    }
    void start(Cursor& cursor) {
        cursor.window.clear();
        cursor.window.reserve(2 * kWindow);
        cursor.windowStart = 0;
        Cursor* self = &cursor;
        cursor.decoding =
            std::make_unique<Decoding>(stream_, format_, budget_, size(),
                                       [self](ByteView piece) { return self->keep(piece); });
    }

    ByteSource& stream_;
    const PayloadFormat& format_;
    PayloadBudget& budget_;
    PayloadEnd end_;
    // A deque would do as well; the vector is reserved so that cursors never move.
    std::vector<Cursor> cursors_ = [] {
        std::vector<Cursor> cursors;
        cursors.reserve(kCursors);
        return cursors;
    }();
    std::uint64_t uses_ = 0;
};

}  // namespace

std::string totalLimitText(const PayloadBudget& budget) {
    return "the limit of " + limitText(budget.total()) + " in all";
}

std::string perPayloadText(const PayloadBudget& budget) {
    return "the limit of " + limitText(budget.perPayload()) + " per stream";
}

bool hasPayload(std::string_view format) {
    return payloadFormat(format) != nullptr;
}

Result<PayloadEnd> decodePayload(ByteSource& stream, std::string_view format, PayloadBudget& budget,
                                 const std::function<bool(ByteView piece)>& sink) {
    const PayloadFormat* known = payloadFormat(format);
    if (known == nullptr) {
        return noPayload(format);
    }
    return decodeOnce(stream, *known, budget, sink);
}

Result<std::unique_ptr<PayloadSource>> openPayload(ByteSource& stream, std::string_view format,
                                                   PayloadBudget& budget) {
    const PayloadFormat* known = payloadFormat(format);
    if (known == nullptr) {
        return noPayload(format);
    }
    Result<PayloadEnd> end = decodeOnce(stream, *known, budget, [](ByteView) { return true; });
    if (!end) {
        return end.failure();
    }
    return std::unique_ptr<PayloadSource>(
        std::make_unique<DecodedSource>(stream, *known, budget, std::move(*end)));
}

}  // namespace tessaloom::scan
