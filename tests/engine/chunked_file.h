// Feeding the streaming cores data cut into pieces, and reading files through readers of tiny
// chunk sizes: every boundary a core must carry its state across falls somewhere.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "engine/file_reader.h"
#include "engine/types.h"

namespace tessaloom {

// Single bytes, pairs, odd sizes that never line up with anything, and a 64-byte group.
inline constexpr std::size_t kChunkSizes[] = {1, 2, 3, 7, 64};

// Hands data to write in pieces of size bytes, the last one shorter.
template <typename Write>
void writeInPieces(ByteView data, std::size_t size, Write&& write) {
    for (std::size_t start = 0; start < data.size(); start += size) {
        write(data.subspan(start, std::min(size, data.size() - start)));
    }
}

// A file holding the given bytes in a fresh temporary folder, removed with it.
class TemporaryFile {
  public:
    explicit TemporaryFile(ByteView data) {
        std::random_device random;
        do {
            dir_ = std::filesystem::temp_directory_path() /
                   ("tessaloom-chunks-" + std::to_string(random()));
        } while (!std::filesystem::create_directory(dir_));
        std::ofstream(path(), std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()),
                   static_cast<std::streamsize>(data.size()));
    }
    ~TemporaryFile() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    std::string path() const { return (dir_ / "data").string(); }
    // Another name in the same folder, for an output.
    std::string sibling(const std::string& name) const { return (dir_ / name).string(); }

  private:
    std::filesystem::path dir_;
};

// The bytes of data as a stream hands them out: no size, in pieces of at most pieceSize bytes,
// failing (as a bad disk does, with an I/O error) once failAt bytes have been handed out.
class StreamOf : public InputStream {
  public:
    explicit StreamOf(ByteView data, std::size_t pieceSize = SIZE_MAX,
                      std::uint64_t failAt = UINT64_MAX)
        : data_(data.begin(), data.end()), pieceSize_(pieceSize), failAt_(failAt) {}
    ReadResult read(std::span<std::uint8_t> into) override {
        const std::uint64_t offset = offset_;
        if (offset >= failAt_) {
            return {0, FileError{5, "Input/output error"}};
        }
        const std::uint64_t end = std::min<std::uint64_t>(data_.size(), failAt_);
        const auto count = static_cast<std::size_t>(
            std::min<std::uint64_t>({into.size(), pieceSize_, end - std::min(end, offset)}));
        std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(offset), count, into.begin());
        offset_ += count;
        return {count, std::nullopt};
    }

  private:
    std::uint64_t offset_ = 0;
    ByteBuffer data_;
    std::size_t pieceSize_;
    std::uint64_t failAt_;
};

// Calls run with a reader of a file holding data, once for each chunk size.
template <typename Run>
void forEachChunkSize(ByteView data, Run&& run) {
    const TemporaryFile file(data);
    for (const std::size_t chunkSize : kChunkSizes) {
        SCOPED_TRACE("chunks of " + std::to_string(chunkSize) + " bytes");
        FileReader reader(file.path(), chunkSize);
        run(reader, file);
    }
}

}  // namespace tessaloom
