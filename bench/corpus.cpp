#include "corpus.h"

#include <algorithm>
#include <array>
#include <span>
#include <string>
#include <string_view>

namespace tessaloom::bench {

namespace {

constexpr std::size_t kTagStride = 64;
constexpr std::size_t kChangeStride = 4096;

constexpr std::array<std::string_view, 64> kWords{
    "the",    "of",     "and",     "to",     "in",       "is",     "that",   "for",
    "it",     "as",     "was",     "with",   "be",       "by",     "on",     "not",
    "he",     "this",   "are",     "or",     "his",      "from",   "at",     "which",
    "but",    "have",   "an",      "had",    "they",     "you",    "were",   "their",
    "one",    "all",    "we",      "can",    "her",      "has",    "there",  "been",
    "if",     "more",   "when",    "will",   "would",    "who",    "so",     "no",
    "file",   "header", "section", "offset", "loader",   "kernel", "image",  "table",
    "symbol", "memory", "address", "binary", "firmware", "device", "format", "version"};

// SplitMix64: small, fast and defined to the last bit, so the stream is the same with every
// library.
class Random {
  public:
    explicit Random(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return z ^ (z >> 31);
    }

    std::size_t below(std::size_t bound) { return static_cast<std::size_t>(next() % bound); }

    std::string_view word() { return kWords[below(kWords.size())]; }

  private:
    std::uint64_t state_;
};

using Bytes = std::span<std::uint8_t>;

void fillRandom(Bytes out, Random& random) {
    for (std::size_t i = 0; i < out.size(); i += 8) {
        std::uint64_t value = random.next();
        for (std::size_t j = i; j < std::min(i + 8, out.size()); ++j, value >>= 8) {
            out[j] = static_cast<std::uint8_t>(value);
        }
    }
}

// Sentences of 4 to 15 words, the first capitalised, now and then a comma, a few to a line.
void fillText(Bytes out, Random& random) {
    std::string text;
    text.reserve(out.size() + 256);
    while (text.size() < out.size()) {
        const std::size_t words = 4 + random.below(12);
        for (std::size_t w = 0; w < words; ++w) {
            const std::size_t start = text.size();
            text += random.word();
            if (w == 0) {
                text[start] = static_cast<char>(text[start] - 'a' + 'A');
            }
            if (w + 1 < words) {
                text += random.below(10) == 0 ? ", " : " ";
            }
        }
        text += random.below(4) == 0 ? ".\n" : ". ";
    }
    std::copy_n(text.begin(), out.size(), out.begin());
}

void fillTagged(Bytes out, Random& random) {
    fillRandom(out, random);
    for (std::size_t start = 0; start < out.size(); start += kTagStride) {
        std::string tag(random.word());
        tag += ' ';
        tag += random.word();
        std::copy_n(tag.begin(), std::min(tag.size(), out.size() - start),
                    out.begin() + static_cast<std::ptrdiff_t>(start));
    }
}

void fill(Content content, Bytes out, Random& random) {
    switch (content) {
        case Content::kMixed: {
            const std::size_t quarter = out.size() / 4;
            fill(Content::kRandom, out.first(quarter), random);
            fill(Content::kText, out.subspan(quarter, quarter), random);
            fill(Content::kZeros, out.subspan(2 * quarter, quarter), random);
            fill(Content::kTagged, out.subspan(3 * quarter), random);
            break;
        }
        case Content::kRandom:
            fillRandom(out, random);
            break;
        case Content::kText:
            fillText(out, random);
            break;
        case Content::kZeros:
            std::fill(out.begin(), out.end(), std::uint8_t{0});
            break;
        case Content::kTagged:
            fillTagged(out, random);
            break;
    }
}

}  // namespace

ByteBuffer makeContent(Content content, std::size_t size, std::uint64_t seed) {
    ByteBuffer data(size);
    Random random(seed);
    fill(content, data, random);
    return data;
}

void changeOneInEvery4096(ByteBuffer& data, std::uint64_t seed) {
    // A stream of its own, so that the changes do not depend on how the content was made.
    Random random(~seed);
    for (std::size_t start = 0; start < data.size(); start += kChangeStride) {
        const std::size_t at = start + random.below(std::min(kChangeStride, data.size() - start));
        data[at] ^= static_cast<std::uint8_t>(1 + random.below(255));
    }
}

}  // namespace tessaloom::bench
