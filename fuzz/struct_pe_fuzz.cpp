// PE structure: data that starts with MZ and has "PE\0\0" where e_lfanew points is a PE32 or
// PE32+ file, with sections, imports and exports.
#include "struct_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return tessaloom::fuzz::checkStructure(
        data, size, [](tessaloom::ByteView bytes, const std::string& format) {
            const bool pe = bytes.size() >= 64 && bytes[0] == 'M' && bytes[1] == 'Z';
            const std::uint64_t at =
                pe ? (std::uint64_t{bytes[60]} | std::uint64_t{bytes[61]} << 8 |
                      std::uint64_t{bytes[62]} << 16 | std::uint64_t{bytes[63]} << 24)
                   : 0;
            const bool signature = pe && at + 4 <= bytes.size() && bytes[at] == 'P' &&
                                   bytes[at + 1] == 'E' && bytes[at + 2] == 0 && bytes[at + 3] == 0;
            return signature == (format == "PE32" || format == "PE32+");
        });
}
