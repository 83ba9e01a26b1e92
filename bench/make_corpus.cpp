// Writes the benchmark corpus: FILE of mixed content (a quarter each of random bytes, English-like
// text, zero bytes, and random bytes with a short text every 64 bytes) and COPY, the same but for
// one byte in every 4096. The bytes depend only on the size and the seed.
//
//   tessaloom_corpus SIZE_MIB FILE COPY [SEED]
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "corpus.h"

namespace {

bool writeFile(const std::string& path, const tessaloom::ByteBuffer& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    out.close();
    if (out.fail()) {
        std::cerr << "tessaloom_corpus: cannot write " << path << '\n';
    }
    return !out.fail();
}

}  // namespace

int main(int argc, char** argv) {
    const long mebibytes = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 0;
    if (argc < 4 || argc > 5 || mebibytes <= 0) {
        std::cerr << "usage: tessaloom_corpus SIZE_MIB FILE COPY [SEED]\n";
        return 2;
    }
    const std::uint64_t seed =
        argc == 5 ? std::strtoull(argv[4], nullptr, 10) : tessaloom::bench::kDefaultSeed;
    tessaloom::ByteBuffer data = tessaloom::bench::makeContent(
        tessaloom::bench::Content::kMixed, static_cast<std::size_t>(mebibytes) << 20, seed);
    if (!writeFile(argv[2], data)) {
        return 1;
    }
    tessaloom::bench::changeOneInEvery4096(data, seed);
    return writeFile(argv[3], data) ? 0 : 1;
}
