// Reads a file whole with one request into a fresh allocation of its size and prints nothing: the
// least that any program that holds a whole file in memory pays, the reference for the floor of
// the benchmark comparison.
//
//   tessaloom_read_whole FILE
#include <fstream>
#include <iostream>
#include <memory>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: tessaloom_read_whole FILE\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary | std::ios::ate);
    const std::streamsize size = in.tellg();
    if (!in || size < 0 || !in.seekg(0)) {
        std::cerr << "tessaloom_read_whole: cannot read " << argv[1] << '\n';
        return 1;
    }
    const auto bytes = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(size));
    in.read(bytes.get(), size);
    return in.gcount() == size ? 0 : 1;
}
