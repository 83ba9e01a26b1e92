#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "input.h"

namespace tessaloom::platform {

namespace {

FileIdentity identityOf(const struct stat& status) {
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
            static_cast<std::uint64_t>(status.st_size),
            static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec};
}

// File systems whose files make up their content as they are read: the size they report (0, or a
// page) says nothing of how much there is.
bool sizeIsMadeUp(int descriptor) {
#ifdef __linux__
    struct statfs system {};
    if (fstatfs(descriptor, &system) != 0) {
        return false;
    }
    switch (static_cast<unsigned long>(system.f_type)) {
        case PROC_SUPER_MAGIC:
        case SYSFS_MAGIC:
        case DEBUGFS_MAGIC:
        case TRACEFS_MAGIC:
        case SECURITYFS_MAGIC:
        case CGROUP_SUPER_MAGIC:
        case CGROUP2_SUPER_MAGIC:
        case PSTOREFS_MAGIC:
        case EFIVARFS_MAGIC:
            return true;
        default:
            return false;
    }
#else
    (void)descriptor;
    return false;
#endif
}

class Descriptor {
  public:
    explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
    ~Descriptor() { ::close(descriptor_); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return descriptor_; }

  private:
    int descriptor_;
};

class FileInput : public InputSource {
  public:
    FileInput(int descriptor, std::optional<std::uint64_t> size, FileIdentity identity)
        : descriptor_(descriptor), size_(size), identity_(identity) {}

    std::optional<std::uint64_t> size() const override { return size_; }
    std::optional<FileIdentity> identity() const override { return identity_; }

    ReadResult read(std::uint64_t offset, std::span<std::uint8_t> into) override {
        for (;;) {
            const ssize_t got = size_ ? ::pread(descriptor_.get(), into.data(), into.size(),
                                                static_cast<off_t>(offset))
                                      : ::read(descriptor_.get(), into.data(), into.size());
            if (got >= 0) {
                return {static_cast<std::size_t>(got), std::nullopt};
            }
            if (errno != EINTR) {
                return {0, lastError()};
            }
        }
    }

  private:
    Descriptor descriptor_;
    std::optional<std::uint64_t> size_;
    FileIdentity identity_;
};

}  // namespace

FileError errorFromCode(int code) {
    return {code, std::strerror(code)};
}

FileError lastError() {
    return errorFromCode(errno);
}

OpenedInput openInput(const std::string& path) {
    int descriptor;
    do {
        descriptor = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
        return {nullptr, lastError()};
    }
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        const FileError error = lastError();
        ::close(descriptor);
        return {nullptr, error};
    }
    if (S_ISDIR(status.st_mode)) {
        ::close(descriptor);
        return {nullptr, errorFromCode(EISDIR)};
    }
    std::optional<std::uint64_t> size;
    if (S_ISREG(status.st_mode) && status.st_size > 0 && !sizeIsMadeUp(descriptor)) {
        size = static_cast<std::uint64_t>(status.st_size);
    } else if (S_ISBLK(status.st_mode)) {
        const off_t end = ::lseek(descriptor, 0, SEEK_END);
        if (end >= 0) {
            size = static_cast<std::uint64_t>(end);
        }
    }
    if (size) {
        // The kernel reads ahead further on a file read from start to end.
        ::posix_fadvise(descriptor, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    return {std::make_unique<FileInput>(descriptor, size, identityOf(status)), std::nullopt};
}

ScratchFile::ScratchFile() : handle_(-1) {
    const char* folder = std::getenv("TMPDIR");
    if (folder == nullptr || *folder == '\0') {
        folder = "/tmp";
    }
    int descriptor = -1;
#ifdef O_TMPFILE
    descriptor = ::open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
    if (descriptor < 0) {
        // Where files cannot be made without a name, the name goes as soon as it is made.
        std::string name = std::string(folder) + "/tessaloom-XXXXXX";
        descriptor = ::mkstemp(name.data());
        if (descriptor >= 0) {
            ::unlink(name.c_str());
        }
    }
    if (descriptor < 0) {
        error_ = lastError();
        return;
    }
    handle_ = descriptor;
}

ScratchFile::~ScratchFile() {
    if (handle_ >= 0) {
        ::close(static_cast<int>(handle_));
    }
}

std::optional<FileError> ScratchFile::write(std::uint64_t offset, ByteView bytes) {
    while (!bytes.empty()) {
        const ssize_t wrote = ::pwrite(static_cast<int>(handle_), bytes.data(), bytes.size(),
                                       static_cast<off_t>(offset));
        if (wrote < 0) {
            if (errno == EINTR) {
                continue;
            }
            return lastError();
        }
        bytes = bytes.subspan(static_cast<std::size_t>(wrote));
        offset += static_cast<std::uint64_t>(wrote);
    }
    return std::nullopt;
}

ReadResult ScratchFile::read(std::uint64_t offset, std::span<std::uint8_t> into) const {
    for (;;) {
        const ssize_t got = ::pread(static_cast<int>(handle_), into.data(), into.size(),
                                    static_cast<off_t>(offset));
        if (got >= 0) {
            return {static_cast<std::size_t>(got), std::nullopt};
        }
        if (errno != EINTR) {
            return {0, lastError()};
        }
    }
}

}  // namespace tessaloom::platform
