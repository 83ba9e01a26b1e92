// What a compressed stream holds, decoded as it is read: the deep scan looks inside it and the
// carver writes it out, with no temporary file, within limits that a small input packed from
// gigabytes of zeros reaches long before the disk or the memory fills.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "../byte_source.h"
#include "../failure.h"
#include "../types.h"

namespace tessaloom::scan {

// How many decoded bytes one payload, and all the payloads opened with the budget together, may
// give; each payload's bytes are charged as they are decoded, once per decoding.
class PayloadBudget {
  public:
    PayloadBudget(std::uint64_t perPayload, std::uint64_t total)
        : perPayload_(perPayload), left_(total), total_(total) {}

    std::uint64_t perPayload() const { return perPayload_; }
    std::uint64_t total() const { return total_; }
    // What is left of the total.
    std::uint64_t left() const { return left_; }
    // Takes up to `bytes` from what is left and returns how many it took.
    std::uint64_t take(std::uint64_t bytes) {
        const std::uint64_t taken = bytes < left_ ? bytes : left_;
        left_ -= taken;
        return taken;
    }

  private:
    std::uint64_t perPayload_;
    std::uint64_t left_;
    std::uint64_t total_;
};

// "the limit of 1 GiB in all": the budget's limit in all, in the words of PayloadEnd::cutShort.
std::string totalLimitText(const PayloadBudget& budget);
// "the limit of 64 MiB per stream": its limit for one payload, in the same words.
std::string perPayloadText(const PayloadBudget& budget);

// How decoding a payload ended.
struct PayloadEnd {
    std::uint64_t produced = 0;  // decoded bytes given
    std::uint64_t consumed = 0;  // bytes of the stream read
    // Why the payload ends before its stream does, where it does, in words for a warning line:
    // "the limit of 64 MiB per stream", "the limit of 1 GiB in all", "the stream is damaged at
    // byte 5120", "the stream is cut short". Empty when the whole stream decoded and checked out.
    std::string cutShort;
    // Whether a limit of the budget (not the stream itself) cut it short.
    bool limited = false;
};

// Whether the format's objects hold a payload that openPayload and decodePayload decode:
// "gzip", "zlib", "xz", "lzma", "bzip2", "zstd", "lz4", and "deflate" (raw deflate data, as zip
// members hold it).
bool hasPayload(std::string_view format);

// Hands the payload of the stream of `format` that starts at 0 in `stream` to sink a piece at a
// time, as it is decoded; sink returns false to stop. The failure where the stream cannot be
// read; a damaged or cut stream gives the good bytes before the damage and says so in the end.
Result<PayloadEnd> decodePayload(ByteSource& stream, std::string_view format, PayloadBudget& budget,
                                 const std::function<bool(ByteView piece)>& sink);

// The payload read at any offset, as the scanner reads a file: its size is what decoding it once
// gave when it was opened (within the budget), and a read that goes back before what the source
// keeps decodes again from the start, charged again.
class PayloadSource : public ByteSource {
  public:
    // How the decoding when it was opened ended.
    virtual const PayloadEnd& end() const = 0;
};

// Opens the payload of the stream of `format` at 0 in `stream` (which must outlive it).
Result<std::unique_ptr<PayloadSource>> openPayload(ByteSource& stream, std::string_view format,
                                                   PayloadBudget& budget);

}  // namespace tessaloom::scan
