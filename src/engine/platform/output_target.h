// The system's side of writing an output file safely: where the content goes while it is written,
// and how it then takes the target's place.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "../output_file.h"
#include "../types.h"

namespace tessaloom::platform {

// Where an output's content goes. Dropped before commit, it leaves the target as it was (or, for
// a target written in place, as far as it got).
class OutputTarget {
  public:
    virtual ~OutputTarget() = default;
    // Whether zero bytes may be left unwritten, as holes: only in a new file of its own.
    virtual bool holesAllowed() const = 0;
    // Writes bytes at offset; a stream takes them in order whatever the offset.
    virtual std::optional<FileError> writeAt(std::uint64_t offset, ByteView bytes) = 0;
    // Gives the content, size bytes long, to the target.
    virtual std::optional<FileError> commit(std::uint64_t size) = 0;
};

// Writes in order to something that is not a regular file: a terminal, a pipe, a device. File is
// the platform's open file, with write(offset or none, bytes), setLength(size), sync() and
// close().
template <typename File>
class StreamTarget : public OutputTarget {
  public:
    explicit StreamTarget(File file) : file_(std::move(file)) {}
    bool holesAllowed() const override { return false; }
    std::optional<FileError> writeAt(std::uint64_t, ByteView bytes) override {
        return file_.write(std::nullopt, bytes);
    }
    std::optional<FileError> commit(std::uint64_t) override { return file_.close(); }

  private:
    File file_;
};

// Writes over the target itself, after room for the whole content was reserved.
template <typename File>
class InPlaceTarget : public OutputTarget {
  public:
    explicit InPlaceTarget(File file) : file_(std::move(file)) {}
    bool holesAllowed() const override { return false; }
    std::optional<FileError> writeAt(std::uint64_t offset, ByteView bytes) override {
        return file_.write(offset, bytes);
    }
    std::optional<FileError> commit(std::uint64_t size) override {
        if (std::optional<FileError> failed = file_.setLength(size)) {
            return failed;
        }
        if (std::optional<FileError> failed = file_.sync()) {
            return failed;
        }
        return file_.close();
    }

  private:
    File file_;
};

struct OpenedOutput {
    std::unique_ptr<OutputTarget> target;
    std::optional<FileError> error;
};

// Opens path for writing as OutputFile describes, or says why it cannot be.
OpenedOutput openOutput(const std::string& path, const OutputOptions& options);

// Whether path names a link itself rather than what it leads to: a symbolic link, or on Windows
// any reparse point, a junction among them. False where nothing has that name.
bool isLink(const std::string& path);

}  // namespace tessaloom::platform
