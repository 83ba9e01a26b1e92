// The one way the program writes a file: written whole, then committed, or else not at all.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "types.h"

namespace tessaloom {

class FileReader;

namespace platform {
class OutputTarget;
}

// What a writer may know before it starts.
struct OutputOptions {
    // The size the content will have, when it is known. Where the output has to be written in
    // place, this much room is reserved before its first byte changes; where it is not known,
    // such an output is refused.
    std::optional<std::uint64_t> finalSize;
    // The input the content is made from, when it may be the output itself: that file is then
    // checked, before it is replaced, not to have changed since the input was opened.
    const FileReader* source = nullptr;
};

// An output file that changes only when it is committed, whole.
//
// A regular file, or one that does not exist yet, is written as a new file in its folder, with no
// name where the system allows and otherwise a hidden one readable by its owner alone, and then
// takes the target's place in one step, with the target's mode, owner and group (or, where the
// owner or group cannot be kept, without the setuid or setgid bit). Zero bytes that fill whole
// blocks of the file are left as holes, however the writes cut them.
// A symbolic link is followed by the system, so its protections apply, and stays a link. Only
// where the folder takes no new file, or the new file cannot take the old one's place (a file
// mounted on its own, the rules of a sticky folder), is the target written in place, and only
// after room for its final size is reserved. Anything else that is opened for writing (a
// terminal, a pipe, a device, standard output by its name) is written in order as it stands.
//
// Every failure is kept with its reason: writes do nothing after one, and commit fails. Dropped
// without a commit, the writer discards what it wrote and leaves the target as it was.
class OutputFile {
  public:
    explicit OutputFile(const std::string& path, const OutputOptions& options = {});
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::string& path() const { return path_; }
    // Why the output cannot be written, or could not be; empty while all is well.
    const std::optional<FileError>& error() const { return error_; }
    // The same as a Failure of kind kWrite that names the target.
    Failure failure() const;

    // Appends bytes to the content. False, with error() set, when they could not be written; a
    // failure may also show only at the next call.
    bool write(ByteView bytes);

    // Appends count zero bytes: holes where the output can have them, which cost no time,
    // written bytes elsewhere.
    bool writeZeros(std::uint64_t count);

    // Makes the content written the target's. False, with error() set, when it could not be;
    // the target is then as it was.
    bool commit();

  private:
    bool fail(FileError error);
    bool put(std::uint64_t offset, ByteView bytes);

    std::string path_;
    std::unique_ptr<platform::OutputTarget> target_;
    std::optional<FileError> error_;
    std::uint64_t size_ = 0;
    // Where holes are allowed: the bytes of the last block of the content while it is incomplete,
    // held back until it is known whether the whole block is zero.
    ByteBuffer partialBlock_;
    bool committed_ = false;
};

// Removes the temporary files of outputs that were never committed. Safe to call from a signal
// handler, which is what it is for: an interrupted run leaves no stray file.
void removeUnfinishedOutputs();

}  // namespace tessaloom
