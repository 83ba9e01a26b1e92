#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>
#endif

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "../file_reader.h"
#include "input.h"
#include "output_target.h"

namespace tessaloom {

namespace {

// Temporary files that have a name, so that an interrupted run can remove them: a fixed table
// that a signal handler can walk without allocating.
struct UnfinishedFile {
    std::atomic<int> folder{-1};
    char name[NAME_MAX + 1] = {};
};
std::array<UnfinishedFile, 4> unfinishedFiles;

int registerUnfinished(int folder, const std::string& name) {
    for (std::size_t slot = 0; slot < unfinishedFiles.size(); ++slot) {
        UnfinishedFile& file = unfinishedFiles[slot];
        if (file.folder.load() == -1 && name.size() <= NAME_MAX) {
            std::memcpy(file.name, name.c_str(), name.size() + 1);
            file.folder.store(folder);
            return static_cast<int>(slot);
        }
    }
    return -1;
}

void unregisterUnfinished(int slot) {
    if (slot >= 0) {
        unfinishedFiles[static_cast<std::size_t>(slot)].folder.store(-1);
    }
}

}  // namespace

void removeUnfinishedOutputs() {
    for (UnfinishedFile& file : unfinishedFiles) {
        const int folder = file.folder.exchange(-1);
        if (folder != -1) {
            ::unlinkat(folder, file.name, 0);
        }
    }
}

}  // namespace tessaloom

namespace tessaloom::platform {

namespace {

constexpr int kMaxLinkHops = 40;
// Tries at fresh names before giving up on a named temporary file.
constexpr int kTempNameAttempts = 8;
// So that a long file name still leaves room for the temporary file's own name.
constexpr std::size_t kMaxNameInTempName = 64;
// Written data is handed to the disk every this many bytes.
constexpr std::uint64_t kFlushStep = std::uint64_t{8} << 20;

std::optional<FileError> writeAll(int descriptor, ByteView bytes,
                                  std::optional<std::uint64_t> offset) {
    while (!bytes.empty()) {
        const ssize_t wrote =
            offset ? ::pwrite(descriptor, bytes.data(), bytes.size(), static_cast<off_t>(*offset))
                   : ::write(descriptor, bytes.data(), bytes.size());
        if (wrote < 0) {
            if (errno == EINTR) {
                continue;
            }
            return lastError();
        }
        bytes = bytes.subspan(static_cast<std::size_t>(wrote));
        if (offset) {
            *offset += static_cast<std::uint64_t>(wrote);
        }
    }
    return std::nullopt;
}

class Descriptor {
  public:
    Descriptor() = default;
    explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor&& other) noexcept : descriptor_(std::exchange(other.descriptor_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        reset(std::exchange(other.descriptor_, -1));
        return *this;
    }
    int get() const { return descriptor_; }
    bool valid() const { return descriptor_ >= 0; }
    void reset(int descriptor = -1) {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
        descriptor_ = descriptor;
    }
    std::optional<FileError> write(std::optional<std::uint64_t> offset, ByteView bytes) const {
        return writeAll(descriptor_, bytes, offset);
    }
    std::optional<FileError> setLength(std::uint64_t size) const {
        return ::ftruncate(descriptor_, static_cast<off_t>(size)) == 0 ? std::nullopt
                                                                       : std::optional(lastError());
    }
    // Waits until the data written is on the disk: the errors that only show there show now.
    std::optional<FileError> sync() const {
        return ::fdatasync(descriptor_) == 0 ? std::nullopt : std::optional(lastError());
    }
    // Closes, and says whether the last writes reached the file.
    std::optional<FileError> close() {
        const int descriptor = std::exchange(descriptor_, -1);
        if (descriptor >= 0 && ::close(descriptor) != 0 && errno != EINTR) {
            return lastError();
        }
        return std::nullopt;
    }

  private:
    int descriptor_ = -1;
};

int openRetrying(const char* path, int flags, mode_t mode = 0) {
    int descriptor;
    do {
        descriptor = ::open(path, flags, mode);
    } while (descriptor < 0 && errno == EINTR);
    return descriptor;
}

// Reserves room for size bytes of the file, so that writing them cannot run out of it. Neither
// the content nor the length changes, also when the reservation fails.
std::optional<FileError> reserve(int descriptor, std::uint64_t size) {
    if (size == 0) {
        return std::nullopt;
    }
#ifdef FALLOC_FL_KEEP_SIZE
    if (::fallocate(descriptor, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0) {
        return std::nullopt;
    }
    if (errno != EOPNOTSUPP) {
        return lastError();
    }
#endif
    // Where room cannot be kept beyond the end, the file grows to it, and back should that fail.
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        return lastError();
    }
    const int failed = ::posix_fallocate(descriptor, 0, static_cast<off_t>(size));
    if (failed != 0) {
        ::ftruncate(descriptor, status.st_size);
        return errorFromCode(failed);
    }
    return std::nullopt;
}

bool onProcFileSystem(int descriptor) {
#ifdef __linux__
    struct statfs system {};
    return ::fstatfs(descriptor, &system) == 0 &&
           static_cast<unsigned long>(system.f_type) == PROC_SUPER_MAGIC;
#else
    (void)descriptor;
    return false;
#endif
}

// The folder of a path and its last name: "a/b" gives "a" and "b", "b" gives "." and "b".
std::pair<std::string, std::string> splitPath(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return {".", path};
    }
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// The names of streams that are already open, written to as they stand, as the shell does:
// reopening them would start again at the beginning of a file behind them.
std::optional<int> openStreamNumber(std::string_view path) {
    if (path == "/dev/stdout") {
        return STDOUT_FILENO;
    }
    if (path == "/dev/stderr") {
        return STDERR_FILENO;
    }
    for (const std::string_view prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        if (path.starts_with(prefix) && path.size() > prefix.size() &&
            path.size() - prefix.size() <= 9 &&
            path.find_first_not_of("0123456789", prefix.size()) == std::string_view::npos) {
            return std::stoi(std::string(path.substr(prefix.size())));
        }
    }
    return std::nullopt;
}

// Where a regular file that a path names lies, so that a new file can take its place: its folder
// and its name there. A symbolic link is followed to the file itself, which the system has
// already opened through it (applying its rules to links); names on /proc are never read.
struct Location {
    Descriptor folder;
    std::string name;
};

std::variant<Location, FileError, std::monostate> locate(const std::string& path,
                                                         const struct stat& opened) {
    std::string current = path;
    for (int hop = 0;; ++hop) {
        struct stat link {};
        if (::lstat(current.c_str(), &link) != 0) {
            return lastError();
        }
        if (!S_ISLNK(link.st_mode)) {
            break;
        }
        if (hop == kMaxLinkHops) {
            return errorFromCode(ELOOP);
        }
        const Descriptor itself(openRetrying(current.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!itself.valid() || onProcFileSystem(itself.get())) {
            return std::monostate{};
        }
        char target[PATH_MAX];
        const ssize_t length = ::readlinkat(itself.get(), "", target, sizeof target);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof target) {
            return length < 0 ? lastError() : errorFromCode(ENAMETOOLONG);
        }
        const std::string_view to(target, static_cast<std::size_t>(length));
        current = to.starts_with('/') ? std::string(to)
                                      : splitPath(current).first + "/" + std::string(to);
    }
    auto [folderPath, name] = splitPath(current);
    Location location{
        Descriptor(openRetrying(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)),
        std::move(name)};
    struct stat found {};
    if (!location.folder.valid() ||
        ::fstatat(location.folder.get(), location.name.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0) {
        return lastError();
    }
    if (found.st_dev != opened.st_dev || found.st_ino != opened.st_ino) {
        // Renamed or replaced between the two looks: nothing is written over a stranger.
        return errorFromCode(EAGAIN);
    }
    return location;
}

mode_t newFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// A temporary file in the target's folder: with no name, or a hidden one registered for removal.
struct TempFile {
    Descriptor file;
    std::string name;  // empty while it has none
    int registration = -1;
};

std::string tempName(const std::string& target, int attempt) {
    // Names only need to differ from one try to the next; creation itself is exclusive.
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    char suffix[9];
    std::snprintf(suffix, sizeof suffix, "%08x",
                  static_cast<unsigned>(ticks) ^ (static_cast<unsigned>(::getpid()) << 8) ^
                      static_cast<unsigned>(attempt));
    // Appended piece by piece: GCC 12 wrongly warns (-Wrestrict) about "." + text when it
    // optimises.
    std::string name = ".";
    name.append(target, 0, kMaxNameInTempName);
    name += ".tessaloom-";
    name += suffix;
    name += ".tmp";
    return name;
}

std::variant<TempFile, FileError> createNamedTemp(int folder, const std::string& target) {
    TempFile temp;
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        temp.name = tempName(target, attempt);
        temp.file.reset(::openat(folder, temp.name.c_str(),
                                 O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (temp.file.valid()) {
            temp.registration = registerUnfinished(folder, temp.name);
            return temp;
        }
        if (errno != EEXIST) {
            return lastError();
        }
    }
    return errorFromCode(EEXIST);
}

std::variant<TempFile, FileError> createTemp(int folder, const std::string& target) {
#ifdef O_TMPFILE
    // Read and write: where the new file cannot take the target's place, it is copied over it.
    TempFile temp;
    temp.file.reset(::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (temp.file.valid()) {
        return temp;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        return lastError();
    }
#endif
    return createNamedTemp(folder, target);
}

bool folderRefusesNewFiles(const FileError& error) {
    return error.code == EACCES || error.code == EPERM;
}

// A folder marked append-only (chattr +a) takes new names but lets none go: a temporary file
// renamed over the target would leave its own name behind for good.
bool folderKeepsEveryName(int folder) {
#ifdef FS_IOC_GETFLAGS
    const Descriptor opened(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int flags = 0;
    return opened.valid() && ::ioctl(opened.get(), FS_IOC_GETFLAGS, &flags) == 0 &&
           (flags & FS_APPEND_FL) != 0;
#else
    return false;
#endif
}

bool renameImpossible(int code) {
    return code == EBUSY || code == EPERM || code == EXDEV || code == EACCES;
}

// Copies the bytes of from in [begin, end) to the same place in to.
std::optional<FileError> copyRange(int from, int to, std::uint64_t begin, std::uint64_t end,
                                   std::vector<std::uint8_t>& buffer) {
    for (std::uint64_t done = begin; done < end;) {
        const auto wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), end - done));
        const ssize_t got = ::pread(from, buffer.data(), wanted, static_cast<off_t>(done));
        if (got <= 0) {
            if (got < 0 && errno == EINTR) {
                continue;
            }
            return got < 0 ? lastError() : errorFromCode(EIO);
        }
        if (std::optional<FileError> failed =
                writeAll(to, ByteView(buffer.data(), static_cast<std::size_t>(got)), done)) {
            return failed;
        }
        done += static_cast<std::uint64_t>(got);
    }
    return std::nullopt;
}

// Copies the first size bytes of from over the start of to, cuts to at size and waits for the
// disk. The holes of from stay holes where to is a new file; over an old one they are written.
std::optional<FileError> copyFile(int from, int to, std::uint64_t size, bool keepHoles) {
    std::vector<std::uint8_t> buffer(kDefaultChunkSize);
    for (std::uint64_t at = 0; at < size;) {
        std::uint64_t dataEnd = size;
        if (keepHoles) {
            const off_t data = ::lseek(from, static_cast<off_t>(at), SEEK_DATA);
            if (data < 0 && errno == ENXIO) {
                break;  // nothing but a hole up to the end
            }
            if (data >= 0) {
                const off_t hole = ::lseek(from, data, SEEK_HOLE);
                at = static_cast<std::uint64_t>(data);
                dataEnd = hole < 0 ? size : std::min(size, static_cast<std::uint64_t>(hole));
            }
        }
        if (std::optional<FileError> failed = copyRange(from, to, at, dataEnd, buffer)) {
            return failed;
        }
        at = dataEnd;
    }
    if (::ftruncate(to, static_cast<off_t>(size)) != 0 || ::fdatasync(to) != 0) {
        return lastError();
    }
    return std::nullopt;
}

// Copies the first size bytes of from over the start of to, once there is room for them.
std::optional<FileError> copyInPlace(int from, int to, std::uint64_t size) {
    if (std::optional<FileError> failed = reserve(to, size)) {
        return failed;
    }
    return copyFile(from, to, size, false);
}

// Writes a new file beside the target, which then takes the target's place.
class ReplaceTarget : public OutputTarget {
  public:
    ReplaceTarget(Location location, TempFile temp, Descriptor target,
                  std::optional<struct stat> existing, bool createdHere,
                  std::optional<FileIdentity> sourceWhenOpened)
        : location_(std::move(location)),
          temp_(std::move(temp)),
          target_(std::move(target)),
          existing_(existing),
          createdHere_(createdHere),
          sourceWhenOpened_(sourceWhenOpened) {}

    ~ReplaceTarget() override {
        if (!committed_) {
            discard();
        }
    }

    bool holesAllowed() const override { return true; }

    std::optional<FileError> writeAt(std::uint64_t offset, ByteView bytes) override {
        if (std::optional<FileError> failed = temp_.file.write(offset, bytes)) {
            return failed;
        }
        // The disk starts on what is written as it goes, so that the wait for all of it at the
        // end is short.
        const std::uint64_t end = offset + bytes.size();
        if (end >= flushedTo_ + kFlushStep) {
            ::sync_file_range(temp_.file.get(), static_cast<off_t>(flushedTo_),
                              static_cast<off_t>(end - flushedTo_), SYNC_FILE_RANGE_WRITE);
            flushedTo_ = end;
        }
        return std::nullopt;
    }

    std::optional<FileError> commit(std::uint64_t size) override {
        // Whole on the disk before it takes the target's place: a crash can then leave the old
        // content or the new, never a file that has the new name but not yet its data.
        if (std::optional<FileError> failed = temp_.file.setLength(size)) {
            return failed;
        }
        if (std::optional<FileError> failed = temp_.file.sync()) {
            return failed;
        }
        if (std::optional<FileError> failed = takeOverMetadata()) {
            return failed;
        }
        // An unnamed file replacing a target first gets a hidden name, from which it is renamed.
        if (existing_ && temp_.name.empty() && nameTemp()) {
            if (std::optional<FileError> failed = nameCopy(size)) {
                return failed;
            }
        }
        if (std::optional<FileError> failed = checkSourceUnchanged()) {
            return failed;
        }
        if (std::optional<FileError> failed = checkNameUnchanged()) {
            return failed;
        }
        std::optional<FileError> failed = install(size);
        if (failed && renameImpossible(failed->code) && existing_ && target_.valid() && writable_) {
            failed = copyInPlace(temp_.file.get(), target_.get(), size);
        }
        if (failed) {
            return failed;
        }
        committed_ = true;
        removeTempName();
        if (std::optional<FileError> closing = temp_.file.close()) {
            return closing;
        }
        return std::nullopt;
    }

    void setWritable(bool writable) { writable_ = writable; }

  private:
    // The target's mode, owner and group go to the new file; a new target gets the mode of a new
    // file. Where the owner cannot be kept, the setuid bit goes, and where the group cannot, the
    // setgid bit: neither may lend the writer's identity to whoever runs the file.
    std::optional<FileError> takeOverMetadata() {
        const int file = temp_.file.get();
        if (!existing_ || createdHere_) {
            return ::fchmod(file, newFileMode()) == 0 ? std::nullopt : std::optional(lastError());
        }
        if (::fchown(file, existing_->st_uid, existing_->st_gid) != 0) {
            ::fchown(file, static_cast<uid_t>(-1), existing_->st_gid);
        }
        struct stat now {};
        if (::fstat(file, &now) != 0) {
            return lastError();
        }
        mode_t mode = existing_->st_mode & 07777;
        if (now.st_uid != existing_->st_uid) {
            mode &= ~static_cast<mode_t>(S_ISUID);
        }
        if (now.st_gid != existing_->st_gid) {
            mode &= ~static_cast<mode_t>(S_ISGID);
        }
        return ::fchmod(file, mode) == 0 ? std::nullopt : std::optional(lastError());
    }

    // The input being patched in place must still be as it was when it was opened; another
    // program's writes since then would otherwise be lost without a word.
    std::optional<FileError> checkSourceUnchanged() {
        if (!sourceWhenOpened_ || !existing_) {
            return std::nullopt;
        }
        const std::optional<FileIdentity> current = identityOfOpenFile(target_.get());
        if (!current) {
            return lastError();
        }
        if (!current->sameFile(*sourceWhenOpened_) || *current == *sourceWhenOpened_) {
            return std::nullopt;
        }
        return FileError{EAGAIN, "It was changed by another program while it was read"};
    }

    // The name must still stand for the file opened at the start: a file that another program
    // put in its place meanwhile (a save of its own, another run's result) would otherwise be
    // lost without a word.
    std::optional<FileError> checkNameUnchanged() {
        if (!existing_) {
            return std::nullopt;
        }
        struct stat now {};
        const int folder = location_.folder.get();
        if (::fstatat(folder, location_.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) {
                return lastError();
            }
            return FileError{ENOENT, "It was removed by another program while it was written"};
        }
        if (now.st_dev != existing_->st_dev || now.st_ino != existing_->st_ino) {
            return FileError{EAGAIN, "It was replaced by another program while it was written"};
        }
        return std::nullopt;
    }

    // Renames the file, which has a name by now unless the target is new, over the target. A new
    // target is linked in directly, or renamed without replacing: a file of that name made
    // meanwhile by someone else is never replaced, and the save fails instead.
    std::optional<FileError> install(std::uint64_t size) {
        const int folder = location_.folder.get();
        if (temp_.name.empty()) {
            if (link(location_.name) == 0) {
                return std::nullopt;
            }
            if (errno == EEXIST) {
                return lastError();
            }
            if (std::optional<FileError> failed = nameCopy(size)) {
                return failed;
            }
        }
        int renamed = existing_
                          ? ::renameat(folder, temp_.name.c_str(), folder, location_.name.c_str())
                          : ::renameat2(folder, temp_.name.c_str(), folder, location_.name.c_str(),
                                        RENAME_NOREPLACE);
        if (renamed != 0 && errno == EINVAL && !existing_) {
            // A file system that cannot rename without replacing can still link without.
            renamed = ::linkat(folder, temp_.name.c_str(), folder, location_.name.c_str(), 0);
            if (renamed == 0) {
                ::unlinkat(folder, temp_.name.c_str(), 0);
            }
        }
        if (renamed != 0) {
            return lastError();
        }
        unregisterUnfinished(std::exchange(temp_.registration, -1));
        temp_.name.clear();
        return std::nullopt;
    }

    int link(const std::string& name) {
        const int folder = location_.folder.get();
        if (::linkat(temp_.file.get(), "", folder, name.c_str(), AT_EMPTY_PATH) == 0) {
            return 0;
        }
        if (errno == EEXIST) {
            return -1;
        }
        // Without the right to link a descriptor, the kernel links the file it stands for.
        const std::string self = "/proc/self/fd/" + std::to_string(temp_.file.get());
        return ::linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW);
    }

    std::optional<FileError> nameTemp() {
        for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
            std::string name = tempName(location_.name, attempt);
            temp_.registration = registerUnfinished(location_.folder.get(), name);
            if (link(name) == 0) {
                temp_.name = std::move(name);
                return std::nullopt;
            }
            unregisterUnfinished(std::exchange(temp_.registration, -1));
            if (errno != EEXIST) {
                return lastError();
            }
        }
        return errorFromCode(EEXIST);
    }

    // Where the system gives the unnamed file no name (no right to link a descriptor and no
    // /proc, as in some chroots), a hidden copy of it, with its holes, takes its place.
    std::optional<FileError> nameCopy(std::uint64_t size) {
        auto named = createNamedTemp(location_.folder.get(), location_.name);
        if (std::holds_alternative<FileError>(named)) {
            return std::get<FileError>(named);
        }
        TempFile unnamed = std::exchange(temp_, std::move(std::get<TempFile>(named)));
        if (std::optional<FileError> failed =
                copyFile(unnamed.file.get(), temp_.file.get(), size, true)) {
            return failed;
        }
        return takeOverMetadata();
    }

    void removeTempName() {
        if (!temp_.name.empty()) {
            ::unlinkat(location_.folder.get(), temp_.name.c_str(), 0);
            temp_.name.clear();
        }
        unregisterUnfinished(std::exchange(temp_.registration, -1));
    }

    void discard() {
        removeTempName();
        temp_.file.reset();
        if (createdHere_ && existing_) {
            // The empty file made through a dangling link goes again, if it is still that file.
            struct stat now {};
            if (::fstatat(location_.folder.get(), location_.name.c_str(), &now,
                          AT_SYMLINK_NOFOLLOW) == 0 &&
                now.st_ino == existing_->st_ino && now.st_dev == existing_->st_dev &&
                now.st_size == 0) {
                ::unlinkat(location_.folder.get(), location_.name.c_str(), 0);
            }
        }
    }

    Location location_;
    TempFile temp_;
    Descriptor target_;
    std::optional<struct stat> existing_;
    bool createdHere_;
    std::optional<FileIdentity> sourceWhenOpened_;
    bool writable_ = true;
    bool committed_ = false;
    std::uint64_t flushedTo_ = 0;
};

OpenedOutput failure(FileError error) {
    return {nullptr, std::move(error)};
}

// The target is an existing regular file, opened through the system as target (for writing, or
// only for reading where it is a running program).
OpenedOutput replaceExisting(const std::string& path, Descriptor target, bool writable,
                             bool createdHere, const OutputOptions& options) {
    struct stat status {};
    if (::fstat(target.get(), &status) != 0) {
        return failure(lastError());
    }
    auto located = locate(path, status);
    if (std::holds_alternative<FileError>(located)) {
        return failure(std::get<FileError>(located));
    }
    const auto inPlace = [&]() -> OpenedOutput {
        if (std::optional<FileError> failed = reserve(target.get(), *options.finalSize)) {
            return failure(*failed);
        }
        return {std::make_unique<InPlaceTarget<Descriptor>>(std::move(target)), std::nullopt};
    };
    if (std::holds_alternative<std::monostate>(located)) {
        // Reached through a name of an open stream: written where it stands.
        if (!options.finalSize) {
            return {std::make_unique<StreamTarget<Descriptor>>(std::move(target)), std::nullopt};
        }
        return inPlace();
    }
    Location location = std::move(std::get<Location>(located));
    // A folder that takes no new file, or that would keep the temporary file's name for good: the
    // target itself is written, once there is room.
    const bool inPlaceAllowed = writable && options.finalSize;
    if (inPlaceAllowed && folderKeepsEveryName(location.folder.get())) {
        return inPlace();
    }
    auto temp = createTemp(location.folder.get(), location.name);
    if (std::holds_alternative<FileError>(temp)) {
        const FileError error = std::get<FileError>(temp);
        if (!folderRefusesNewFiles(error) || !inPlaceAllowed) {
            return failure(error);
        }
        return inPlace();
    }
    std::optional<FileIdentity> source;
    if (options.source != nullptr) {
        source = options.source->identity();
    }
    auto replacing =
        std::make_unique<ReplaceTarget>(std::move(location), std::move(std::get<TempFile>(temp)),
                                        std::move(target), status, createdHere, source);
    replacing->setWritable(writable);
    return {std::move(replacing), std::nullopt};
}

OpenedOutput createNew(const std::string& path) {
    auto [folderPath, name] = splitPath(path);
    if (name.empty()) {
        return failure(errorFromCode(EISDIR));
    }
    Location location{
        Descriptor(openRetrying(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)), name};
    if (!location.folder.valid()) {
        return failure(lastError());
    }
    auto temp = createTemp(location.folder.get(), name);
    if (std::holds_alternative<FileError>(temp)) {
        return failure(std::get<FileError>(temp));
    }
    return {
        std::make_unique<ReplaceTarget>(std::move(location), std::move(std::get<TempFile>(temp)),
                                        Descriptor(), std::nullopt, false, std::nullopt),
        std::nullopt};
}

}  // namespace

OpenedOutput openOutput(const std::string& path, const OutputOptions& options) {
    if (const std::optional<int> stream = openStreamNumber(path)) {
        Descriptor copy(::fcntl(*stream, F_DUPFD_CLOEXEC, 0));
        if (!copy.valid()) {
            return failure(lastError());
        }
        return {std::make_unique<StreamTarget<Descriptor>>(std::move(copy)), std::nullopt};
    }
    Descriptor target(openRetrying(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
    if (target.valid()) {
        struct stat status {};
        if (::fstat(target.get(), &status) != 0) {
            return failure(lastError());
        }
        if (!S_ISREG(status.st_mode)) {
            return {std::make_unique<StreamTarget<Descriptor>>(std::move(target)), std::nullopt};
        }
        return replaceExisting(path, std::move(target), true, false, options);
    }
    const FileError error = lastError();
    if (error.code == ETXTBSY) {
        // A running program: its name can take a new file, though it cannot be written. Its
        // permissions still decide.
        if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
            return failure(lastError());
        }
        Descriptor running(openRetrying(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
        if (!running.valid()) {
            return failure(lastError());
        }
        return replaceExisting(path, std::move(running), false, false, options);
    }
    if (error.code != ENOENT) {
        return failure(error);
    }
    struct stat link {};
    if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        // A link to a file yet to be made: the system makes it through the link, by its rules.
        Descriptor made(
            openRetrying(path.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0600));
        if (!made.valid()) {
            return failure(lastError());
        }
        return replaceExisting(path, std::move(made), true, true, options);
    }
    return createNew(path);
}

bool isLink(const std::string& path) {
    struct stat link {};
    return ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
}

}  // namespace tessaloom::platform
