#include "format_detect.h"

#include <algorithm>
#include <span>
#include <string_view>

#include "byte_order.h"
#include "formats/decoder.h"

namespace tessaloom {

namespace {

using namespace std::string_view_literals;

// Every format needs at least this many bytes to be recognised.
constexpr std::uint64_t kMinimumLength = 16;
constexpr std::uint64_t kPeOffsetPosition = 60;
constexpr std::string_view kDosMagic = "MZ"sv;

bool bytesAre(const FormatSampler& data, std::uint64_t offset, std::string_view expected) {
    return data.holds(offset, expected.size()) &&
           std::ranges::equal(data.bytesAt(offset, expected.size()), expected, {}, {},
                              [](char c) { return static_cast<std::uint8_t>(c); });
}

std::uint64_t peHeaderOffset(ByteView head) {
    return readLittleEndian(head.subspan(kPeOffsetPosition, 4));
}

// The kept bytes as the decoders read a file: what was not kept reads as missing, so a decoder
// reads no further than the header rows need.
class SampleBytes : public ByteSource {
  public:
    explicit SampleBytes(const FormatSampler& sampler) : sampler_(sampler) {}
    std::uint64_t size() const override { return sampler_.length(); }
    Result<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> into) override {
        into = into.first(static_cast<std::size_t>(std::min<std::uint64_t>(
            into.size(), sampler_.length() - std::min(offset, sampler_.length()))));
        if (!sampler_.keeps(offset, into.size())) {
            return Failure{Failure::Kind::kRead, {}, "not kept for format detection", 0, {}};
        }
        const ByteView kept = sampler_.bytesAt(offset, into.size());
        std::ranges::copy(kept, into.begin());
        return into.size();
    }

  private:
    const FormatSampler& sampler_;
};

struct Format {
    std::string_view magic;
    std::string_view typeName;
    std::vector<HeaderField> (*rows)(formats::Bytes& sample);
};

// Each format begins with its own first byte, so at most one magic can match.
constexpr Format kFormats[] = {
    {kDosMagic, "Windows PE Executable", formats::peSummary},
    {"\177ELF"sv, "Linux ELF Executable", formats::elfSummary},
    {"PK\x03\x04"sv, "ZIP / APK Archive", formats::zipSummary},
    {"\x89PNG"sv, "PNG Bitmap Image", formats::pngSummary},
};

// Copies the bytes of piece, which starts at position, that fall into the part of the data that
// starts at partStart and fills part.
void copyOverlap(std::span<std::uint8_t> part, std::uint64_t partStart, ByteView piece,
                 std::uint64_t position) {
    const std::uint64_t from = std::max(partStart, position);
    const std::uint64_t to = std::min(partStart + part.size(), position + piece.size());
    if (from < to) {
        std::copy(piece.begin() + static_cast<std::ptrdiff_t>(from - position),
                  piece.begin() + static_cast<std::ptrdiff_t>(to - position),
                  part.begin() + static_cast<std::ptrdiff_t>(from - partStart));
    }
}

}  // namespace

void FormatSampler::write(ByteView bytes) {
    const std::uint64_t position = length_;
    length_ += bytes.size();
    copyOverlap(head_, 0, bytes, position);
    const bool headJustComplete = position < kHeadLength && length_ >= kHeadLength;
    if (headJustComplete && bytesAre(*this, 0, kDosMagic)) {
        // The PE header may begin inside the head, whose bytes have gone by already.
        peOffset_ = peHeaderOffset(head_);
        copyOverlap(peHeader_, *peOffset_, head_, 0);
    }
    if (peOffset_) {
        copyOverlap(peHeader_, *peOffset_, bytes, position);
    }
}

ByteView FormatSampler::bytesAt(std::uint64_t offset, std::uint64_t size) const {
    if (peOffset_ && offset >= *peOffset_ && offset + size <= *peOffset_ + kPeHeaderLength) {
        return ByteView(peHeader_).subspan(static_cast<std::size_t>(offset - *peOffset_),
                                           static_cast<std::size_t>(size));
    }
    return ByteView(head_).subspan(static_cast<std::size_t>(offset),
                                   static_cast<std::size_t>(size));
}

bool FormatSampler::keeps(std::uint64_t offset, std::uint64_t size) const {
    if (!holds(offset, size)) {
        return false;
    }
    const bool inHead = offset + size <= kHeadLength;
    const bool inPeHeader =
        peOffset_ && offset >= *peOffset_ && offset + size <= *peOffset_ + kPeHeaderLength;
    return inHead || inPeHeader;
}

std::vector<HeaderField> FormatSampler::detect(std::string& typeName) const {
    if (length_ < kMinimumLength) {
        typeName = "Raw Binary";
        return {};
    }
    for (const Format& format : kFormats) {
        if (bytesAre(*this, 0, format.magic)) {
            typeName = format.typeName;
            SampleBytes kept(*this);
            formats::Bytes sample(kept);
            return format.rows(sample);
        }
    }
    typeName = "Raw Binary Image";
    return {};
}

std::vector<HeaderField> detectFormat(ByteView data, std::string& typeName) {
    FormatSampler sampler;
    sampler.write(data);
    return sampler.detect(typeName);
}

std::vector<HeaderField> detectFormat(const std::uint8_t* data, std::uint64_t length,
                                      std::string& typeName) {
    if (data == nullptr) {
        typeName = "Raw Binary";
        return {};
    }
    return detectFormat(ByteView(data, static_cast<std::size_t>(length)), typeName);
}

}  // namespace tessaloom
