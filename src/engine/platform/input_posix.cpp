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
#include <utility>

#include "input.h"

namespace tessaloom::platform {

namespace {

constexpr const char* kShrank = "The file ended before its size; it shrank while it was read";

std::int64_t nanoseconds(const struct timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

FileIdentity identityOf(const struct stat& status) {
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
            static_cast<std::uint64_t>(status.st_size), nanoseconds(status.st_mtim),
            nanoseconds(status.st_ctim)};
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

ssize_t readSome(int descriptor, std::span<std::uint8_t> into, std::optional<std::uint64_t> at) {
    for (;;) {
        const ssize_t got =
            at ? ::pread(descriptor, into.data(), into.size(), static_cast<off_t>(*at))
               : ::read(descriptor, into.data(), into.size());
        if (got >= 0 || errno != EINTR) {
            return got;
        }
    }
}

// A regular file or block device: read at any offset, no further than the size it had when opened.
class FileSource : public ByteSource {
  public:
    FileSource(int descriptor, std::string path, std::uint64_t size, FileIdentity identity)
        : descriptor_(descriptor), path_(std::move(path)), size_(size), identity_(identity) {}

    std::uint64_t size() const override { return size_; }
    std::optional<FileIdentity> identity() const override { return identity_; }

    Result<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> into) override {
        if (offset >= size_) {
            return std::size_t{0};
        }
        into = into.first(
            static_cast<std::size_t>(std::min<std::uint64_t>(into.size(), size_ - offset)));
        std::size_t done = 0;
        while (done < into.size()) {
            const ssize_t got = readSome(descriptor_.get(), into.subspan(done), offset + done);
            if (got < 0) {
                const FileError error = lastError();
                return Failure{Failure::Kind::kRead, path_, error.reason, error.code, {}};
            }
            if (got == 0) {
                return Failure{Failure::Kind::kRead, path_, kShrank, EIO, {}};
            }
            done += static_cast<std::size_t>(got);
        }
        return done;
    }

  private:
    Descriptor descriptor_;
    std::string path_;
    std::uint64_t size_;
    FileIdentity identity_;
};

class StreamInput : public InputStream {
  public:
    explicit StreamInput(int descriptor) : descriptor_(descriptor) {}

    ReadResult read(std::span<std::uint8_t> into) override {
        const ssize_t got = readSome(descriptor_.get(), into, std::nullopt);
        if (got < 0) {
            return {0, lastError()};
        }
        return {static_cast<std::size_t>(got), std::nullopt};
    }

  private:
    Descriptor descriptor_;
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
        return {nullptr, nullptr, lastError()};
    }
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        const FileError error = lastError();
        ::close(descriptor);
        return {nullptr, nullptr, error};
    }
    if (S_ISDIR(status.st_mode)) {
        ::close(descriptor);
        return {nullptr, nullptr, errorFromCode(EISDIR)};
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
    if (!size) {
        return {nullptr, std::make_unique<StreamInput>(descriptor), std::nullopt};
    }
    // The kernel reads ahead further on a file read from start to end.
    ::posix_fadvise(descriptor, 0, 0, POSIX_FADV_SEQUENTIAL);
    return {std::make_unique<FileSource>(descriptor, path, *size, identityOf(status)), nullptr,
            std::nullopt};
}

std::optional<FileIdentity> identityOfOpenFile(std::intptr_t handle) {
    struct stat status {};
    if (::fstat(static_cast<int>(handle), &status) != 0) {
        return std::nullopt;
    }
    return identityOf(status);
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
    const ssize_t got = readSome(static_cast<int>(handle_), into, offset);
    if (got < 0) {
        return {0, lastError()};
    }
    return {static_cast<std::size_t>(got), std::nullopt};
}

}  // namespace tessaloom::platform
