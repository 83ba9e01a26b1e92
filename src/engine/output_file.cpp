#include "output_file.h"

#include <algorithm>
#include <cstring>

#include "platform/output_target.h"

namespace tessaloom {

namespace {

// Zero bytes are left as holes a whole block of this size at a time, as the file system keeps them.
constexpr std::uint64_t kHoleBlock = 4096;

// Every byte of the block is looked at, but a block of data is told from a hole by its first
// bytes, as a rule.
bool allZero(ByteView block) {
    for (std::size_t i = 0; i < block.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, block.data() + i, sizeof word);
        if (word != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

OutputFile::OutputFile(const std::string& path, const OutputOptions& options) : path_(path) {
    platform::OpenedOutput opened = platform::openOutput(path, options);
    target_ = std::move(opened.target);
    error_ = std::move(opened.error);
}

OutputFile::~OutputFile() = default;

bool OutputFile::fail(FileError error) {
    error_ = std::move(error);
    target_.reset();
    return false;
}

bool OutputFile::write(ByteView bytes) {
    if (error_ || committed_) {
        return false;
    }
    if (!target_->holesAllowed()) {
        if (std::optional<FileError> failed = target_->writeAt(size_, bytes)) {
            return fail(*failed);
        }
        size_ += bytes.size();
        return true;
    }
    // Whole blocks of zero bytes are skipped; the runs of data between them go out in one write.
    std::size_t runStart = 0;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::uint64_t position = size_ + at;
        const auto blockEnd = static_cast<std::size_t>(
            std::min<std::uint64_t>(bytes.size(), at + (kHoleBlock - position % kHoleBlock)));
        const ByteView block = bytes.subspan(at, blockEnd - at);
        if (block.size() == kHoleBlock && allZero(block)) {  // whole words: kHoleBlock % 8 == 0
            if (runStart < at) {
                if (std::optional<FileError> failed = target_->writeAt(
                        size_ + runStart, bytes.subspan(runStart, at - runStart))) {
                    return fail(*failed);
                }
            }
            runStart = blockEnd;
        }
        at = blockEnd;
    }
    if (runStart < bytes.size()) {
        if (std::optional<FileError> failed =
                target_->writeAt(size_ + runStart, bytes.subspan(runStart))) {
            return fail(*failed);
        }
    }
    size_ += bytes.size();
    return true;
}

bool OutputFile::commit() {
    if (error_ || committed_) {
        return false;
    }
    if (std::optional<FileError> failed = target_->commit(size_)) {
        return fail(*failed);
    }
    committed_ = true;
    return true;
}

}  // namespace tessaloom
