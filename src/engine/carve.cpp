#include "carve.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "hex_text.h"
#include "output_file.h"

namespace tessaloom {

namespace {

constexpr std::size_t kPiece = std::size_t{64} << 10;

std::string objectName(const ScanHit& hit) {
    std::string name = "0x";
    name += hexNumber(hit.offset);
    return name.append(".").append(hit.format);
}

// Copies length bytes of source from offset into the file at path, replaced only once whole.
Result<void> copyOut(ByteSource& source, std::uint64_t offset, std::uint64_t length,
                     const std::string& path) {
    OutputFile output(path, {.finalSize = length, .source = nullptr});
    ByteBuffer piece(static_cast<std::size_t>(std::min<std::uint64_t>(length, kPiece)));
    for (std::uint64_t done = 0; done < length;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, length - done));
        const Result<std::size_t> got = source.readAt(offset + done, std::span(piece).first(n));
        if (!got) {
            return got.failure();
        }
        if (*got != n) {
            return Failure{
                Failure::Kind::kRead, "", "The input ended before the object did", 0, {}};
        }
        if (!output.write(ByteView(piece).first(n))) {
            return output.failure();
        }
        done += n;
    }
    if (!output.commit()) {
        return output.failure();
    }
    return {};
}

}  // namespace

std::uint64_t defaultCarveLimit(std::uint64_t inputSize) {
    constexpr std::uint64_t kAllowance = std::uint64_t{64} << 20;
    return inputSize > (UINT64_MAX - kAllowance) / 4 ? UINT64_MAX : inputSize * 4 + kAllowance;
}

Result<CarveSummary> carveObjects(ByteSource& source, const std::string& folder,
                                  const std::function<void(const CarvedObject&)>& onCarved,
                                  const CarveOptions& options) {
    CarveSummary summary;
    std::optional<Failure> failed;
    ScanOptions scanning;
    scanning.progress = options.progress;
    const ScanHitCallback onHit = [&](const ScanHit& hit) {
        if (failed) {
            return;
        }
        ++summary.objects;
        CarvedObject carved{hit, objectName(hit), {}};
        const std::filesystem::path path = std::filesystem::path(folder) / carved.name;
        std::error_code error;
        const std::filesystem::file_status status = std::filesystem::symlink_status(path, error);
        if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
            carved.reason = "there is something there that is not a file";
        } else if (hit.size > options.totalLimit - summary.bytes) {
            carved.reason = "it would take what is written past " +
                            std::to_string(options.totalLimit) + " bytes";
        } else if (Result<void> copied = copyOut(source, hit.offset, hit.size, path.string());
                   !copied) {
            failed = copied.failure();
            return;
        } else {
            ++summary.files;
            summary.bytes += hit.size;
        }
        if (!carved.reason.empty()) {
            ++summary.skipped;
        }
        onCarved(carved);
    };
    const Result<ScanSummary> scanned = scanObjects(source, onHit, scanning);
    if (!scanned) {
        return scanned.failure();
    }
    if (failed) {
        return *failed;
    }
    return summary;
}

}  // namespace tessaloom
