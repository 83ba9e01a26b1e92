// The payload decoders: whatever the stream, decoding stays within the budget and the stream,
// and the payload read back through its source is the one decoded in pieces.
#include <algorithm>
#include <array>
#include <memory>
#include <string_view>

#include "engine/scan/payload.h"
#include "fuzz_support.h"

namespace {

constexpr std::array<std::string_view, 8> kFormats{"gzip",  "zlib", "xz",  "lzma",
                                                   "bzip2", "zstd", "lz4", "deflate"};
constexpr std::uint64_t kPerPayload = std::uint64_t{1} << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using tessaloom::fuzz::check;
    tessaloom::fuzz::FuzzInput input(data, size);
    const std::string_view format = kFormats[input.byte() % kFormats.size()];
    const tessaloom::ByteView stream = input.rest();
    tessaloom::SpanSource source(stream);

    tessaloom::scan::PayloadBudget budget(kPerPayload, 4 * kPerPayload);
    tessaloom::ByteBuffer decoded;
    const tessaloom::Result<tessaloom::scan::PayloadEnd> end =
        tessaloom::scan::decodePayload(source, format, budget, [&](tessaloom::ByteView piece) {
            decoded.insert(decoded.end(), piece.begin(), piece.end());
            return true;
        });
    check(end.ok(), "a stream in memory is always read");
    check(end->produced == decoded.size(), "the end counts the bytes given");
    check(end->produced <= kPerPayload, "no payload passes the limit per payload");
    check(end->consumed <= stream.size(), "no more is read than the stream holds");
    check(!end->limited || !end->cutShort.empty(), "a limit that cut the payload says which");

    tessaloom::scan::PayloadBudget again(kPerPayload, 4 * kPerPayload);
    tessaloom::Result<std::unique_ptr<tessaloom::scan::PayloadSource>> opened =
        tessaloom::scan::openPayload(source, format, again);
    check(opened.ok(), "a stream in memory always opens");
    tessaloom::scan::PayloadSource& payload = **opened;
    check(payload.size() == decoded.size(), "the payload opened is as long as the one decoded");
    // Read back from the end first, then from the start, in pieces of odd sizes.
    tessaloom::ByteBuffer piece(777);
    for (const std::uint64_t at :
         {payload.size() - std::min<std::uint64_t>(payload.size(), 1000), std::uint64_t{0}}) {
        for (std::uint64_t offset = at; offset < payload.size() && offset < at + 5000;
             offset += piece.size()) {
            const tessaloom::Result<std::size_t> got = payload.readAt(offset, piece);
            if (!got) {
                check(got.failure().kind == tessaloom::Failure::Kind::kMemory,
                      "a read back fails only where the budget is spent");
                return 0;
            }
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(*got, payload.size() - offset));
            check(std::equal(piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(n),
                             decoded.begin() + static_cast<std::ptrdiff_t>(offset)),
                  "the payload read back is the one decoded");
        }
    }
    return 0;
}
