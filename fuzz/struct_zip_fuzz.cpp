// ZIP structure: the central directory found from the end, or the local headers from the start;
// data that starts with PK 03 04 is a ZIP archive.
#include "struct_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return tessaloom::fuzz::checkStructure(
        data, size, [](tessaloom::ByteView bytes, const std::string& format) {
            const bool local = bytes.size() >= 4 && bytes[0] == 'P' && bytes[1] == 'K' &&
                               bytes[2] == 3 && bytes[3] == 4;
            return !local || format == "ZIP";
        });
}
