// The system's side of reading: opening an input by its name, exactly as given, and unnamed
// temporary files.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "../file_reader.h"
#include "../types.h"

namespace tessaloom::platform {

// The reason for the failure of the system call made last on this thread.
FileError lastError();

// The reason the system gives for its error number code.
FileError errorFromCode(int code);

// An opened input: a file (a regular file or block device, read at any offset, its failures
// naming path), or a stream (anything else, read from start to end), or why it could not be
// opened.
struct OpenedInput {
    std::unique_ptr<ByteSource> file;
    std::unique_ptr<InputStream> stream;
    std::optional<FileError> error;
};

// What tells the open file behind handle (a descriptor, or on Windows a HANDLE) apart from
// others and shows that it changed; empty where the system cannot say.
std::optional<FileIdentity> identityOfOpenFile(std::intptr_t handle);

// Opens path for reading. A directory is refused ("Is a directory").
OpenedInput openInput(const std::string& path);

// An unnamed temporary file in the system's folder for them, read and written at any offset. It
// has no name (or loses it at once, or as the program ends), so nothing of it outlives the program.
class ScratchFile {
  public:
    ScratchFile();
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    // Why it could not be made.
    const std::optional<FileError>& error() const { return error_; }
    std::optional<FileError> write(std::uint64_t offset, ByteView bytes);
    ReadResult read(std::uint64_t offset, std::span<std::uint8_t> into) const;

  private:
    std::intptr_t handle_;
    std::optional<FileError> error_;
};

}  // namespace tessaloom::platform
