#include "file_io.h"

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <utility>

#include "platform/file_replace.h"

namespace tessaloom {

namespace {

namespace fs = std::filesystem;

// Beyond this many links in a row a name is taken as a loop, as the system itself does.
constexpr int kMaxLinkHops = 40;
// Tries at fresh names before a folder is taken to refuse new files.
constexpr int kTempNameAttempts = 8;
// So that a long file name still leaves room for the temporary file's own name.
constexpr std::size_t kMaxNameInTempName = 64;

// Only regular files and block devices have a size that seeking can find. Anything else (a
// directory, a FIFO, a socket, a character device) would block, fail or never end, so it is
// never opened at all.
bool hasSeekableSize(const std::string& path) {
    std::error_code error;
    const auto status = fs::status(path, error);
    return !error && (fs::is_regular_file(status) || fs::is_block_file(status));
}

// The name that a write to path really replaces: the end of its chain of symbolic links.
fs::path followLinks(fs::path path) {
    std::error_code error;
    for (int hop = 0; hop < kMaxLinkHops && fs::is_symlink(fs::symlink_status(path, error));
         ++hop) {
        const fs::path target = fs::read_symlink(path, error);
        if (error) {
            break;
        }
        // A relative link is relative to its own folder; an absolute one replaces the whole path.
        path = path.parent_path() / target;
    }
    return path;
}

// Produces the content into file and flushes it: true when every byte reached the system.
bool writeAll(std::FILE* file, const ContentProducer& produce) {
    const bool written = produce([file](ByteView data) {
        return data.empty() || std::fwrite(data.data(), 1, data.size(), file) == data.size();
    });
    return written && std::fflush(file) == 0;
}

// Writes into the target itself: what is already written stays if this fails. It is truncated
// first unless the content is being read from it.
bool writeInPlace(const std::string& path, const ContentProducer& produce, bool truncate) {
    std::FILE* file = std::fopen(path.c_str(), truncate ? "wb" : "r+b");
    if (file == nullptr) {
        return false;
    }
    const bool written = writeAll(file, produce);
    return std::fclose(file) == 0 && written;
}

// Opening for update changes nothing, and fails exactly when a direct write could not open it.
bool acceptsWrites(const fs::path& file) {
    std::FILE* probe = std::fopen(file.string().c_str(), "r+b");
    const bool opened = probe != nullptr;
    if (opened) {
        std::fclose(probe);
    }
    return opened;
}

struct TempFile {
    std::string path;
    std::FILE* file = nullptr;
};

std::string tempName(const fs::path& target, int attempt) {
    // Names only need to differ from one try to the next; creation itself is exclusive.
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    char suffix[9];
    std::snprintf(suffix, sizeof suffix, "%08x",
                  static_cast<unsigned>(ticks) + static_cast<unsigned>(attempt));
    std::string name = ".";
    name += target.filename().string().substr(0, kMaxNameInTempName);
    name += ".tessaloom-";
    name += suffix;
    name += ".tmp";
    return name;
}

// A new, empty file in the target's folder, or nothing when the folder takes no new files.
std::optional<TempFile> createTempBeside(const fs::path& target) {
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        std::string path = (target.parent_path() / tempName(target, attempt)).string();
        if (std::FILE* file = platform::createNewFile(path)) {
            return TempFile{std::move(path), file};
        }
        std::error_code error;
        if (!fs::exists(path, error)) {
            return std::nullopt;  // the name was free, so the folder itself refused
        }
    }
    return std::nullopt;
}

// Closes and removes the temporary file. Allocates nothing, so that it also works when memory
// ran out half way through saving.
void discard(TempFile& temp) {
    if (temp.file != nullptr) {
        std::fclose(temp.file);
        temp.file = nullptr;
    }
    std::remove(temp.path.c_str());
}

// Writes the temporary file whole and renames it over the target; on any failure removes it
// and leaves the target untouched.
bool replaceThroughTemp(TempFile& temp, const fs::path& target, const fs::file_status& old,
                        const ContentProducer& produce) {
    std::error_code error;
    bool ok = writeAll(temp.file, produce);
    if (ok && fs::is_regular_file(old)) {
        fs::permissions(temp.path, old.permissions(), fs::perm_options::replace, error);
        ok = !error;
    }
    ok = std::fclose(std::exchange(temp.file, nullptr)) == 0 && ok;
    if (ok && platform::replaceFile(temp.path, target.string())) {
        return true;
    }
    discard(temp);
    return false;
}

// A run of UnsetBytes, as positions 0 to size: ByteBuffer(UnsetBytes(0), UnsetBytes(size))
// allocates exactly size bytes at once and writes none of them.
class UnsetBytes {
  public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = UnsetByte;
    using difference_type = std::ptrdiff_t;
    using pointer = const UnsetByte*;
    using reference = const UnsetByte&;

    UnsetBytes() = default;
    explicit UnsetBytes(difference_type position) : position_(position) {}

    reference operator*() const { return kByte; }
    reference operator[](difference_type) const { return kByte; }
    UnsetBytes& operator++() { return *this += 1; }
    UnsetBytes operator++(int) { return UnsetBytes(position_++); }
    UnsetBytes& operator--() { return *this -= 1; }
    UnsetBytes operator--(int) { return UnsetBytes(position_--); }
    UnsetBytes& operator+=(difference_type n) {
        position_ += n;
        return *this;
    }
    UnsetBytes& operator-=(difference_type n) { return *this += -n; }
    friend UnsetBytes operator+(UnsetBytes at, difference_type n) { return at += n; }
    friend UnsetBytes operator+(difference_type n, UnsetBytes at) { return at += n; }
    friend UnsetBytes operator-(UnsetBytes at, difference_type n) { return at -= n; }
    friend difference_type operator-(UnsetBytes a, UnsetBytes b) {
        return a.position_ - b.position_;
    }
    friend auto operator<=>(UnsetBytes, UnsetBytes) = default;

  private:
    static constexpr UnsetByte kByte{};
    difference_type position_ = 0;
};

}  // namespace

ByteBuffer loadFile(const std::string& path) {
    if (!hasSeekableSize(path)) {
        return {};
    }
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        return {};
    }
    const std::streamoff size = in.tellg();
    if (size <= 0 || !in.seekg(0)) {
        return {};
    }
    // Not zeroed first: the read fills every byte, and a short read fails the load.
    ByteBuffer buffer(UnsetBytes(0), UnsetBytes(size));
    in.read(reinterpret_cast<char*>(buffer.data()), size);
    if (in.gcount() != size) {
        return {};
    }
    return buffer;
}

bool saveFile(const std::string& path, ByteView data) {
    return saveFileFrom(path, [data](const ContentSink& write) { return write(data); });
}

bool saveFileFrom(const std::string& path, const ContentProducer& produce,
                  const std::string& sourcePath) {
    const fs::path target = followLinks(path);
    std::error_code error;
    const fs::file_status old = fs::status(target, error);
    const bool exists = fs::is_regular_file(old);
    const bool truncate = sourcePath.empty() || !fs::equivalent(target, sourcePath, error);
    // Devices, FIFOs and names that do not resolve (a link loop) are left to a plain write.
    if ((!exists && old.type() != fs::file_type::not_found) || !target.has_filename()) {
        return writeInPlace(path, produce, truncate);
    }
    // Renaming over a file whose permissions forbid writing would bypass them.
    if (exists && !acceptsWrites(target)) {
        return false;
    }
    if (std::optional<TempFile> temp = createTempBeside(target)) {
        try {
            return replaceThroughTemp(*temp, target, old, produce);
        } catch (...) {
            // Out of memory, or an input that failed: the target is still whole, and no stray
            // file may stay.
            discard(*temp);
            throw;
        }
    }
    return writeInPlace(path, produce, truncate);
}

}  // namespace tessaloom
