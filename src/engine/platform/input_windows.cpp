// Inputs through the Windows API, with names passed on exactly as the program received them: the
// ANSI functions, never a conversion through another encoding on the way.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "input.h"

namespace tessaloom::platform {

namespace {

struct KnownError {
    DWORD windowsCode;
    int code;
};

// The system's errors that a user meets with files, as the C library numbers them: their texts
// then read the same on every platform.
constexpr KnownError kKnownErrors[] = {
    {ERROR_FILE_NOT_FOUND, ENOENT},
    {ERROR_PATH_NOT_FOUND, ENOENT},
    {ERROR_INVALID_DRIVE, ENOENT},
    {ERROR_BAD_NETPATH, ENOENT},
    {ERROR_BAD_PATHNAME, ENOENT},
    {ERROR_INVALID_NAME, ENOENT},
    {ERROR_ACCESS_DENIED, EACCES},
    {ERROR_SHARING_VIOLATION, EBUSY},
    {ERROR_LOCK_VIOLATION, EBUSY},
    {ERROR_HANDLE_DISK_FULL, ENOSPC},
    {ERROR_DISK_FULL, ENOSPC},
    {ERROR_CRC, EIO},
    {ERROR_SECTOR_NOT_FOUND, EIO},
    {ERROR_READ_FAULT, EIO},
    {ERROR_WRITE_FAULT, EIO},
    {ERROR_GEN_FAILURE, EIO},
    {ERROR_IO_DEVICE, EIO},
    {ERROR_FILE_EXISTS, EEXIST},
    {ERROR_ALREADY_EXISTS, EEXIST},
    {ERROR_DIRECTORY, ENOTDIR},
    {ERROR_WRITE_PROTECT, EROFS},
    {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
    {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},
    {ERROR_OUTOFMEMORY, ENOMEM},
    {ERROR_BROKEN_PIPE, EPIPE},
    {ERROR_NO_DATA, EPIPE},
    {ERROR_NOT_SAME_DEVICE, EXDEV},
    {ERROR_INVALID_PARAMETER, EINVAL},
    {ERROR_NOT_SUPPORTED, ENOTSUP},
    {ERROR_TOO_MANY_OPEN_FILES, EMFILE},
};

struct ErrorText {
    int code;
    const char* text;
};

// The C library's texts on Linux, so that a message reads the same whichever program wrote it.
constexpr ErrorText kErrorTexts[] = {
    {ENOENT, "No such file or directory"}, {EACCES, "Permission denied"},
    {EBUSY, "Device or resource busy"},    {ENOSPC, "No space left on device"},
    {EIO, "Input/output error"},           {EEXIST, "File exists"},
    {ENOTDIR, "Not a directory"},          {EISDIR, "Is a directory"},
    {EROFS, "Read-only file system"},      {ENAMETOOLONG, "File name too long"},
    {ENOMEM, "Cannot allocate memory"},    {EPIPE, "Broken pipe"},
    {EXDEV, "Invalid cross-device link"},  {EINVAL, "Invalid argument"},
    {ENOTSUP, "Operation not supported"},  {EMFILE, "Too many open files"},
};

// The system's own words for an error it has no C library number for.
FileError windowsError(DWORD windowsCode) {
    char text[512] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, windowsCode, 0, text, sizeof text, nullptr);
    std::string reason(text, length);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                               reason.back() == '.' || reason.back() == ' ')) {
        reason.pop_back();
    }
    if (reason.empty()) {
        reason = "Windows error " + std::to_string(windowsCode);
    }
    return {EIO, reason};
}

FileIdentity identityOf(HANDLE handle, const BY_HANDLE_FILE_INFORMATION& info) {
    FileIdentity identity{
        info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow,
        (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow,
        static_cast<std::int64_t>((std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                                  info.ftLastWriteTime.dwLowDateTime)};
    // The change time, which copying a file over it or setting its times back leaves changed.
    FILE_BASIC_INFO basic{};
    if (GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
        identity.changed = basic.ChangeTime.QuadPart;
    }
    return identity;
}

// A read of a disk device must start and end on sector boundaries; this covers every sector size.
constexpr std::uint64_t kDeviceAlignment = 4096;

bool isDevicePath(std::string_view path) {
    return path.starts_with("\\\\.\\") || path.starts_with("//./");
}

ReadResult readHandle(HANDLE handle, std::optional<std::uint64_t> offset,
                      std::span<std::uint8_t> into) {
    const auto wanted = static_cast<DWORD>(std::min<std::size_t>(into.size(), 1u << 30));
    DWORD got = 0;
    OVERLAPPED at{};
    if (offset) {
        at.Offset = static_cast<DWORD>(*offset);
        at.OffsetHigh = static_cast<DWORD>(*offset >> 32);
    }
    if (ReadFile(handle, into.data(), wanted, &got, offset ? &at : nullptr)) {
        return {got, std::nullopt};
    }
    const DWORD failure = GetLastError();
    // The end of a file, and a pipe whose writer has gone, are the end of the input.
    if (failure == ERROR_HANDLE_EOF || failure == ERROR_BROKEN_PIPE) {
        return {0, std::nullopt};
    }
    return {0, lastError()};
}

constexpr const char* kShrank = "The file ended before its size; it shrank while it was read";

class Handle {
  public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() { CloseHandle(handle_); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }

  private:
    HANDLE handle_;
};

// A file or disk device: read at any offset, no further than the size it had when opened.
class FileSource : public ByteSource {
  public:
    FileSource(HANDLE handle, std::string path, std::uint64_t size,
               std::optional<FileIdentity> identity, bool device)
        : handle_(handle),
          path_(std::move(path)),
          size_(size),
          identity_(identity),
          device_(device) {}

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
            const ReadResult result = readSome(offset + done, into.subspan(done));
            if (result.error) {
                return Failure{
                    Failure::Kind::kRead, path_, result.error->reason, result.error->code, {}};
            }
            if (result.count == 0) {
                return Failure{Failure::Kind::kRead, path_, kShrank, EIO, {}};
            }
            done += result.count;
        }
        return done;
    }

  private:
    ReadResult readSome(std::uint64_t offset, std::span<std::uint8_t> into) {
        if (!device_) {
            return readHandle(handle_.get(), offset, into);
        }
        // Whole sectors into a buffer of its own, and the bytes wanted out of them.
        const std::uint64_t start = offset / kDeviceAlignment * kDeviceAlignment;
        const std::uint64_t end =
            std::min<std::uint64_t>(size_, (offset + into.size() + kDeviceAlignment - 1) /
                                               kDeviceAlignment * kDeviceAlignment);
        if (end <= offset) {
            return {0, std::nullopt};
        }
        aligned_.resize(static_cast<std::size_t>(end - start));
        const ReadResult result = readHandle(handle_.get(), start, aligned_);
        if (result.error || result.count <= offset - start) {
            return result.error ? result : ReadResult{};
        }
        const auto count = std::min<std::size_t>(
            into.size(), result.count - static_cast<std::size_t>(offset - start));
        std::memcpy(into.data(), aligned_.data() + (offset - start), count);
        return {count, std::nullopt};
    }

    Handle handle_;
    std::string path_;
    std::uint64_t size_;
    std::optional<FileIdentity> identity_;
    bool device_;
    std::vector<std::uint8_t> aligned_;
};

class StreamInput : public InputStream {
  public:
    explicit StreamInput(HANDLE handle) : handle_(handle) {}
    ReadResult read(std::span<std::uint8_t> into) override {
        return readHandle(handle_.get(), std::nullopt, into);
    }

  private:
    Handle handle_;
};

std::optional<std::uint64_t> deviceLength(HANDLE handle) {
    GET_LENGTH_INFORMATION length{};
    DWORD returned = 0;
    if (DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length,
                        &returned, nullptr)) {
        return static_cast<std::uint64_t>(length.Length.QuadPart);
    }
    return std::nullopt;
}

}  // namespace

FileError errorFromCode(int code) {
    for (const ErrorText& known : kErrorTexts) {
        if (known.code == code) {
            return {code, known.text};
        }
    }
    return {code, std::strerror(code)};
}

FileError lastError() {
    const DWORD failure = GetLastError();
    for (const KnownError& known : kKnownErrors) {
        if (known.windowsCode == failure) {
            return errorFromCode(known.code);
        }
    }
    return windowsError(failure);
}

std::optional<FileIdentity> identityOfOpenFile(std::intptr_t handle) {
    const auto file = reinterpret_cast<HANDLE>(handle);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) {
        return std::nullopt;
    }
    return identityOf(file, info);
}

OpenedInput openInput(const std::string& path) {
    // Backup semantics open a folder too, which is then told apart and refused.
    const HANDLE handle = CreateFileA(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return {nullptr, nullptr, lastError()};
    }
    std::optional<std::uint64_t> size;
    std::optional<FileIdentity> identity;
    const bool device = isDevicePath(path);
    if (GetFileType(handle) == FILE_TYPE_DISK) {
        BY_HANDLE_FILE_INFORMATION info{};
        if (GetFileInformationByHandle(handle, &info)) {
            if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                CloseHandle(handle);
                return {nullptr, nullptr, errorFromCode(EISDIR)};
            }
            identity = identityOf(handle, info);
        }
        LARGE_INTEGER length{};
        if (device) {
            size = deviceLength(handle);
        } else if (GetFileSizeEx(handle, &length) && length.QuadPart > 0) {
            size = static_cast<std::uint64_t>(length.QuadPart);
        }
    }
    if (!size) {
        return {nullptr, std::make_unique<StreamInput>(handle), std::nullopt};
    }
    return {std::make_unique<FileSource>(handle, path, *size, identity, device), nullptr,
            std::nullopt};
}

ScratchFile::ScratchFile() : handle_(reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE)) {
    char folder[MAX_PATH + 1] = {};
    char name[MAX_PATH + 1] = {};
    if (GetTempPathA(sizeof folder, folder) == 0 || GetTempFileNameA(folder, "tsl", 0, name) == 0) {
        error_ = lastError();
        return;
    }
    // Deleted by the system when closed, also when the program ends abruptly.
    const HANDLE handle = CreateFileA(
        name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error_ = lastError();
        DeleteFileA(name);
        return;
    }
    handle_ = reinterpret_cast<std::intptr_t>(handle);
}

ScratchFile::~ScratchFile() {
    const auto handle = reinterpret_cast<HANDLE>(handle_);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
    }
}

std::optional<FileError> ScratchFile::write(std::uint64_t offset, ByteView bytes) {
    const auto handle = reinterpret_cast<HANDLE>(handle_);
    while (!bytes.empty()) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD wrote = 0;
        const auto wanted = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        if (!WriteFile(handle, bytes.data(), wanted, &wrote, &at)) {
            return lastError();
        }
        bytes = bytes.subspan(wrote);
        offset += wrote;
    }
    return std::nullopt;
}

ReadResult ScratchFile::read(std::uint64_t offset, std::span<std::uint8_t> into) const {
    return readHandle(reinterpret_cast<HANDLE>(handle_), offset, into);
}

}  // namespace tessaloom::platform
