// Outputs through the Windows API, with names passed on exactly as the program received them.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "../file_reader.h"
#include "input.h"
#include "output_target.h"

namespace tessaloom {

namespace {

// Temporary files, so that an interrupted run can remove them: a fixed table that the console's
// event handler can walk without allocating.
struct UnfinishedFile {
    std::atomic<bool> used{false};
    char path[MAX_PATH * 4] = {};
};
std::array<UnfinishedFile, 4> unfinishedFiles;

int registerUnfinished(const std::string& path) {
    for (std::size_t slot = 0; slot < unfinishedFiles.size(); ++slot) {
        UnfinishedFile& file = unfinishedFiles[slot];
        if (!file.used.load() && path.size() < sizeof file.path) {
            std::memcpy(file.path, path.c_str(), path.size() + 1);
            file.used.store(true);
            return static_cast<int>(slot);
        }
    }
    return -1;
}

void unregisterUnfinished(int slot) {
    if (slot >= 0) {
        unfinishedFiles[static_cast<std::size_t>(slot)].used.store(false);
    }
}

}  // namespace

void removeUnfinishedOutputs() {
    for (UnfinishedFile& file : unfinishedFiles) {
        if (file.used.exchange(false)) {
            // Still open for writing, the file goes when the program's handles close.
            DeleteFileA(file.path);
        }
    }
}

}  // namespace tessaloom

namespace tessaloom::platform {

namespace {

constexpr int kTempNameAttempts = 8;
constexpr std::size_t kMaxNameInTempName = 64;

std::optional<FileError> writeAll(HANDLE handle, ByteView bytes,
                                  std::optional<std::uint64_t> offset) {
    while (!bytes.empty()) {
        OVERLAPPED at{};
        if (offset) {
            at.Offset = static_cast<DWORD>(*offset);
            at.OffsetHigh = static_cast<DWORD>(*offset >> 32);
        }
        DWORD wrote = 0;
        const auto wanted = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        if (!WriteFile(handle, bytes.data(), wanted, &wrote, offset ? &at : nullptr)) {
            return lastError();
        }
        bytes = bytes.subspan(wrote);
        if (offset) {
            *offset += wrote;
        }
    }
    return std::nullopt;
}

std::optional<FileError> setLength(HANDLE handle, std::uint64_t size) {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) || !SetEndOfFile(handle)) {
        return lastError();
    }
    return std::nullopt;
}

class Handle {
  public:
    Handle() = default;
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() { reset(); }
    Handle(Handle&& other) noexcept : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
    Handle& operator=(Handle&& other) noexcept {
        reset(std::exchange(other.handle_, INVALID_HANDLE_VALUE));
        return *this;
    }
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
        if (valid()) {
            CloseHandle(handle_);
        }
        handle_ = handle;
    }
    std::optional<FileError> write(std::optional<std::uint64_t> offset, ByteView bytes) const {
        return writeAll(handle_, bytes, offset);
    }
    std::optional<FileError> setLength(std::uint64_t size) const {
        return tessaloom::platform::setLength(handle_, size);
    }
    // Waits until the data written is on the disk: the errors that only show there show now.
    std::optional<FileError> sync() const {
        return FlushFileBuffers(handle_) ? std::nullopt : std::optional(lastError());
    }
    std::optional<FileError> close() {
        const HANDLE handle = std::exchange(handle_, INVALID_HANDLE_VALUE);
        if (handle != INVALID_HANDLE_VALUE && !CloseHandle(handle)) {
            return lastError();
        }
        return std::nullopt;
    }

  private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

std::uint64_t lengthOf(HANDLE handle) {
    LARGE_INTEGER length{};
    return GetFileSizeEx(handle, &length) ? static_cast<std::uint64_t>(length.QuadPart) : 0;
}

// Reserves room for size bytes, so that writing them cannot run out of it; the content stays.
// Where the file system cannot reserve without changing the length, a file shorter than size is
// made that long.
std::optional<FileError> reserve(HANDLE handle, std::uint64_t size) {
    // An allocation below the end of the file would cut it there.
    const std::uint64_t length = lengthOf(handle);
    FILE_ALLOCATION_INFO allocation{};
    allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(std::max(size, length));
    if (SetFileInformationByHandle(handle, FileAllocationInfo, &allocation, sizeof allocation)) {
        return std::nullopt;
    }
    if (length < size) {
        return setLength(handle, size);
    }
    return std::nullopt;
}

std::pair<std::string, std::string> splitPath(const std::string& path) {
    const std::size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos) {
        return {"", path};
    }
    return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

std::string tempPath(const std::string& target, int attempt) {
    const auto [folder, name] = splitPath(target);
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    char suffix[9];
    std::snprintf(suffix, sizeof suffix, "%08x",
                  static_cast<unsigned>(ticks) ^
                      (static_cast<unsigned>(GetCurrentProcessId()) << 8) ^
                      static_cast<unsigned>(attempt));
    return folder + "." + name.substr(0, kMaxNameInTempName) + ".tessaloom-" + suffix + ".tmp";
}

struct TempFile {
    Handle file;
    std::string path;
    int registration = -1;
};

std::variant<TempFile, FileError> createTemp(const std::string& target) {
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        TempFile temp;
        temp.path = tempPath(target, attempt);
        // Shared for deletion, so that an interrupted run can remove it while it is open.
        temp.file.reset(CreateFileA(temp.path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                    FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (temp.file.valid()) {
            temp.registration = registerUnfinished(temp.path);
            // Zero bytes skipped then stay holes, where the file system has them.
            DWORD returned = 0;
            DeviceIoControl(temp.file.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned,
                            nullptr);
            return temp;
        }
        const FileError error = lastError();
        if (error.code != EEXIST) {
            return error;
        }
    }
    return errorFromCode(EEXIST);
}

class ReplaceTarget : public OutputTarget {
  public:
    ReplaceTarget(std::string target, TempFile temp, Handle existing,
                  std::optional<FileIdentity> sourceWhenOpened)
        : target_(std::move(target)),
          temp_(std::move(temp)),
          existing_(std::move(existing)),
          sourceWhenOpened_(sourceWhenOpened) {}

    ~ReplaceTarget() override {
        if (!committed_) {
            temp_.file.reset();
            DeleteFileA(temp_.path.c_str());
            unregisterUnfinished(temp_.registration);
        }
    }

    bool holesAllowed() const override { return true; }

    std::optional<FileError> writeAt(std::uint64_t offset, ByteView bytes) override {
        return writeAll(temp_.file.get(), bytes, offset);
    }

    std::optional<FileError> commit(std::uint64_t size) override {
        // Whole on the disk before it takes the target's place.
        if (std::optional<FileError> failed = temp_.file.setLength(size)) {
            return failed;
        }
        if (std::optional<FileError> failed = temp_.file.sync()) {
            return failed;
        }
        if (std::optional<FileError> failed = checkSourceUnchanged()) {
            return failed;
        }
        if (std::optional<FileError> failed = checkNameUnchanged()) {
            return failed;
        }
        if (std::optional<FileError> failed = temp_.file.close()) {
            return failed;
        }
        const bool replacing = existing_.valid();
        existing_.reset();
        // Replacing keeps the old file's attributes, owner and access rules.
        const bool installed =
            (replacing && ReplaceFileA(target_.c_str(), temp_.path.c_str(), nullptr,
                                       REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) ||
            MoveFileExA(temp_.path.c_str(), target_.c_str(),
                        replacing ? MOVEFILE_REPLACE_EXISTING : 0);
        if (!installed) {
            return lastError();
        }
        committed_ = true;
        unregisterUnfinished(temp_.registration);
        return std::nullopt;
    }

  private:
    std::optional<FileError> checkSourceUnchanged() {
        if (!sourceWhenOpened_ || !existing_.valid()) {
            return std::nullopt;
        }
        const std::optional<FileIdentity> current =
            identityOfOpenFile(reinterpret_cast<std::intptr_t>(existing_.get()));
        if (!current) {
            return lastError();
        }
        if (!current->sameFile(*sourceWhenOpened_) || *current == *sourceWhenOpened_) {
            return std::nullopt;
        }
        return FileError{EAGAIN, "It was changed by another program while it was read"};
    }

    // The name must still stand for the file opened at the start: a file that another program
    // put in its place meanwhile would otherwise be lost without a word.
    std::optional<FileError> checkNameUnchanged() {
        if (!existing_.valid()) {
            return std::nullopt;
        }
        const Handle now(CreateFileA(target_.c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!now.valid()) {
            const DWORD failure = GetLastError();
            return failure == ERROR_FILE_NOT_FOUND
                       ? FileError{ENOENT, "It was removed by another program while it was written"}
                       : lastError();
        }
        BY_HANDLE_FILE_INFORMATION found{};
        BY_HANDLE_FILE_INFORMATION opened{};
        if (!GetFileInformationByHandle(now.get(), &found) ||
            !GetFileInformationByHandle(existing_.get(), &opened)) {
            return lastError();
        }
        if (found.dwVolumeSerialNumber != opened.dwVolumeSerialNumber ||
            found.nFileIndexHigh != opened.nFileIndexHigh ||
            found.nFileIndexLow != opened.nFileIndexLow) {
            return FileError{EAGAIN, "It was replaced by another program while it was written"};
        }
        return std::nullopt;
    }

    std::string target_;
    TempFile temp_;
    Handle existing_;
    std::optional<FileIdentity> sourceWhenOpened_;
    bool committed_ = false;
};

OpenedOutput failure(FileError error) {
    return {nullptr, std::move(error)};
}

// The name of the file itself where path is a symbolic link, as the system resolved it.
std::string finalName(const std::string& path, HANDLE opened) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return path;
    }
    char resolved[MAX_PATH * 4] = {};
    const DWORD length =
        GetFinalPathNameByHandleA(opened, resolved, sizeof resolved, FILE_NAME_NORMALIZED);
    return length > 0 && length < sizeof resolved ? std::string(resolved, length) : path;
}

}  // namespace

OpenedOutput openOutput(const std::string& path, const OutputOptions& options) {
    Handle target(CreateFileA(path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!target.valid()) {
        const DWORD openFailure = GetLastError();
        const FileError error = lastError();
        const DWORD attributes = GetFileAttributesA(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return failure(errorFromCode(EISDIR));
        }
        if (openFailure != ERROR_FILE_NOT_FOUND) {
            return failure(error);
        }
        auto temp = createTemp(path);
        if (std::holds_alternative<FileError>(temp)) {
            return failure(std::get<FileError>(temp));
        }
        return {std::make_unique<ReplaceTarget>(path, std::move(std::get<TempFile>(temp)), Handle(),
                                                std::nullopt),
                std::nullopt};
    }
    if (GetFileType(target.get()) != FILE_TYPE_DISK) {
        return {std::make_unique<StreamTarget<Handle>>(std::move(target)), std::nullopt};
    }
    const std::string name = finalName(path, target.get());
    auto temp = createTemp(name);
    if (std::holds_alternative<FileError>(temp)) {
        const FileError error = std::get<FileError>(temp);
        // A folder that takes no new file: the target itself is written, once there is room.
        if (error.code != EACCES || !options.finalSize) {
            return failure(error);
        }
        if (std::optional<FileError> failed = reserve(target.get(), *options.finalSize)) {
            return failure(*failed);
        }
        return {std::make_unique<InPlaceTarget<Handle>>(std::move(target)), std::nullopt};
    }
    std::optional<FileIdentity> source;
    if (options.source != nullptr) {
        source = options.source->identity();
    }
    return {std::make_unique<ReplaceTarget>(name, std::move(std::get<TempFile>(temp)),
                                            std::move(target), source),
            std::nullopt};
}

bool isLink(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace tessaloom::platform
