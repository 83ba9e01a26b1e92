// PNG structure: data that starts with the PNG signature is a PNG image, its chunks checked
// against their CRC-32.
#include <string_view>

#include "struct_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return tessaloom::fuzz::checkStructure(
        data, size, [](tessaloom::ByteView bytes, const std::string& format) {
            constexpr std::string_view kSignature = "\x89PNG\r\n\x1A\n";
            const bool png =
                bytes.size() >= 8 && std::equal(kSignature.begin(), kSignature.end(), bytes.begin(),
                                                [](char c, std::uint8_t b) {
                                                    return static_cast<std::uint8_t>(c) == b;
                                                });
            return png == (format == "PNG");
        });
}
