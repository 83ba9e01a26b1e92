// The one loop through which every compressed stream is decoded: the validators that prove a
// stream by decoding it, and the payloads that hand its decoded bytes on. Each library sits behind
// a Decoder that takes one step; the loop feeds it input a piece at a time, bounds its output and
// hands the output on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "../types.h"

namespace tessaloom::scan {

enum class Codec : std::uint8_t {
    kDeflate,    // raw deflate data
    kZlib,       // deflate in the zlib wrapper, its Adler-32 checked
    kGzip,       // gzip members, their CRC-32 and length checked
    kXz,         // an xz stream
    kLzma,       // an .lzma stream (lzma alone)
    kBzip2,      // a bzip2 stream
    kZstd,       // zstd frames
    kLz4,        // lz4 frames
    kLz4Legacy,  // the older lz4 frame of kernels: sized blocks without an end mark
};

// What liblzma may allocate for one stream; an LZMA dictionary is made no larger either.
inline constexpr std::uint64_t kMaxDecoderMemory = std::uint64_t{96} << 20;
inline constexpr std::uint32_t kMaxLzmaDictionary = std::uint32_t{64} << 20;

// One library's decoder, a step at a time.
class Decoder {
  public:
    enum class Status : std::uint8_t {
        kMore,      // give it more input or more room
        kEnd,       // the stream ended here, its checks passed
        kBroken,    // the data is not a stream of the format
        kTooLarge,  // it needs more memory than it is given
    };
    struct Step {
        Status status = Status::kMore;
        std::size_t read = 0;  // bytes of `in` taken
        std::size_t made = 0;  // bytes written at the start of `out`
    };

    virtual ~Decoder() = default;
    // Decodes from in into out, which is never empty; in is empty only after the input ended
    // where mayEndHere(), for the decoder to hand out what it holds.
    virtual Step step(ByteView in, std::span<std::uint8_t> out) = 0;
    // Makes the decoder ready for another stream of its format, after the one that ended.
    virtual bool restart() = 0;
    // Whether the stream may end where the input ended, for a format without an end mark (once
    // the decoder has handed out what it holds).
    virtual bool mayEndHere() const { return false; }
};

// A decoder for codec. For kLzma, a dictionary other than 0 replaces the one the header names
// (which the decoder allocates). Empty where the library cannot set one up.
std::unique_ptr<Decoder> makeDecoder(Codec codec, std::uint32_t lzmaDictionary = 0);

// Where the loop takes its input: the next piece, empty at the end or where a read failed (which
// the reader itself keeps).
class PieceReader {
  public:
    virtual ~PieceReader() = default;
    virtual ByteView next() = 0;
};

// What the caller of the loop decides.
struct DecodeHooks {
    // How much of an output buffer of this size the next step may fill; 0 stops the loop.
    std::function<std::size_t(std::size_t)> room;
    // Each piece of output as it is made; false stops the loop after it.
    std::function<bool(ByteView)> output;
    // Told of each piece of input as it is read.
    std::function<void(std::size_t)> input;
    // Whether another stream of the format starts where the input consumed so far ends; where it
    // does the decoder starts over there. Unset: the loop ends with the first stream.
    std::function<bool(std::uint64_t consumed)> another;
};

// How (so far) a stream's decoding went.
enum class Ending : std::uint8_t {
    kEnd,        // at the stream's end, its checks passed
    kTruncated,  // the input ended first
    kBroken,     // the data is not a stream, or a read failed
    kTooLarge,   // the decoder needs more memory than it is given
    kStopped,    // a hook stopped it: run() goes on from there
};

struct Decoded {
    Ending ending = Ending::kBroken;
    std::uint64_t consumed = 0;  // bytes of input the decoder took
    std::uint64_t produced = 0;
};

// The loop: feeds the decoder from the reader, writes into output and hands it to the hooks,
// until the stream ends, breaks or a hook stops it; run() again goes on where it stopped.
class StreamDriver {
  public:
    StreamDriver(Decoder& decoder, PieceReader& reader, std::span<std::uint8_t> output,
                 DecodeHooks hooks)
        : decoder_(decoder), reader_(reader), output_(output), hooks_(std::move(hooks)) {}

    Decoded run();
    const Decoded& decoded() const { return decoded_; }

  private:
    Decoder& decoder_;
    PieceReader& reader_;
    std::span<std::uint8_t> output_;
    DecodeHooks hooks_;
    ByteView piece_;
    Decoded decoded_{Ending::kStopped, 0, 0};
};

}  // namespace tessaloom::scan
