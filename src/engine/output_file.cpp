#include "output_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "platform/input.h"
#include "platform/output_target.h"

namespace tessaloom {

namespace {

// Zero bytes are left as holes a whole block of this size at a time, as the file system keeps them.
constexpr std::uint64_t kHoleBlock = 4096;
constexpr std::array<std::uint8_t, kHoleBlock> kZeroBlock{};
// Zero bytes that have to be written go out this many at a time.
constexpr std::uint64_t kZeroChunk = std::uint64_t{256} << 10;

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

Failure OutputFile::failure() const {
    return Failure{Failure::Kind::kWrite,
                   path_,
                   error_ ? error_->reason : "unknown error",
                   error_ ? error_->code : 0,
                   {}};
}

bool OutputFile::fail(FileError error) {
    error_ = std::move(error);
    target_.reset();
    return false;
}

bool OutputFile::put(std::uint64_t offset, ByteView bytes) {
    if (std::optional<FileError> failed = target_->writeAt(offset, bytes)) {
        return fail(*failed);
    }
    return true;
}

bool OutputFile::write(ByteView bytes) {
    if (error_ || committed_) {
        return false;
    }
    if (!target_->holesAllowed()) {
        if (!put(size_, bytes)) {
            return false;
        }
        size_ += bytes.size();
        return true;
    }
    // The block that an earlier call began is completed first, so that a run of zero bytes
    // leaves the same holes wherever the calls cut it.
    if (!partialBlock_.empty()) {
        const std::size_t taken = std::min(bytes.size(), kHoleBlock - partialBlock_.size());
        partialBlock_.insert(partialBlock_.end(), bytes.begin(),
                             bytes.begin() + static_cast<std::ptrdiff_t>(taken));
        size_ += taken;
        bytes = bytes.subspan(taken);
        if (partialBlock_.size() < kHoleBlock) {
            return true;
        }
        if (!allZero(partialBlock_) && !put(size_ - kHoleBlock, partialBlock_)) {
            return false;
        }
        partialBlock_.clear();
    }
    // From a block boundary on: blocks of zero bytes are skipped, the runs of data between them
    // go out in one write, and an incomplete last block waits.
    const std::size_t whole = bytes.size() - bytes.size() % kHoleBlock;
    std::size_t runStart = 0;
    for (std::size_t at = 0; at < whole; at += kHoleBlock) {
        if (allZero(bytes.subspan(at, kHoleBlock))) {  // whole words: kHoleBlock % 8 == 0
            if (runStart < at && !put(size_ + runStart, bytes.subspan(runStart, at - runStart))) {
                return false;
            }
            runStart = at + kHoleBlock;
        }
    }
    if (runStart < whole && !put(size_ + runStart, bytes.subspan(runStart, whole - runStart))) {
        return false;
    }
    partialBlock_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(whole), bytes.end());
    size_ += bytes.size();
    return true;
}

bool OutputFile::writeZeros(std::uint64_t count) {
    if (error_ || committed_) {
        return false;
    }
    if (count > kMaxFileLength - std::min(size_, kMaxFileLength)) {
        return fail(platform::errorFromCode(EFBIG));
    }
    if (!target_->holesAllowed()) {
        const ByteBuffer zeros(static_cast<std::size_t>(std::min(count, kZeroChunk)));
        while (count > 0) {
            const auto length =
                static_cast<std::size_t>(std::min<std::uint64_t>(count, zeros.size()));
            if (!write(ByteView(zeros).first(length))) {
                return false;
            }
            count -= length;
        }
        return true;
    }
    // Only the block begun and the one left incomplete at the end hold zero bytes as bytes; the
    // blocks between are holes, which the length alone makes.
    const std::uint64_t head = std::min(count, (kHoleBlock - size_ % kHoleBlock) % kHoleBlock);
    if (!write(ByteView(kZeroBlock).first(static_cast<std::size_t>(head)))) {
        return false;
    }
    count -= head;
    const std::uint64_t tail = count % kHoleBlock;
    size_ += count - tail;
    return write(ByteView(kZeroBlock).first(static_cast<std::size_t>(tail)));
}

bool OutputFile::commit() {
    if (error_ || committed_) {
        return false;
    }
    if (std::ranges::any_of(partialBlock_, [](std::uint8_t byte) { return byte != 0; }) &&
        !put(size_ - partialBlock_.size(), partialBlock_)) {
        return false;
    }
    partialBlock_.clear();
    if (std::optional<FileError> failed = target_->commit(size_)) {
        return fail(*failed);
    }
    committed_ = true;
    return true;
}

}  // namespace tessaloom
