// ELF structure: data that starts with 7F 'ELF' is an ELF32 or ELF64 file, of either byte order.
#include "struct_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return tessaloom::fuzz::checkStructure(
        data, size, [](tessaloom::ByteView bytes, const std::string& format) {
            const bool elf = bytes.size() >= 4 && bytes[0] == 0x7F && bytes[1] == 'E' &&
                             bytes[2] == 'L' && bytes[3] == 'F';
            return elf == format.starts_with("ELF");
        });
}
