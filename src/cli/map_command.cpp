#include <algorithm>
#include <cmath>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "args.h"
#include "commands.h"
#include "console.h"
#include "engine/entropy_map.h"
#include "engine/file_reader.h"
#include "engine/output_file.h"
#include "engine/scan.h"
#include "inputs.h"
#include "json.h"
#include "map_svg.h"
#include "progress_line.h"
#include "scan_report.h"

namespace tessaloom::cli {

namespace {

constexpr std::uint64_t kBlockSize = 1024;
// Rows this large come at most about once per chunk read: each goes out at once.
constexpr std::uint64_t kLargeRow = 256 * 1024;
constexpr std::size_t kTextBlock = 64 * 1024;
constexpr std::size_t kBarWidth = 32;  // four columns per bit
// The objects the picture marks at most; more would hide the curve.
constexpr std::size_t kMostObjectsMarked = 200;
// Wide enough for every format's name ("android-boot").
constexpr std::size_t kFormatColumn = 13;

enum class MapOutput { kText, kJson, kSvg };

struct MapRequest {
    std::optional<std::uint64_t> rowSize;
    MapOutput output = MapOutput::kText;
    std::string svgPath;
};

// A positive multiple of 1024, as a size (see parseSize).
std::uint64_t readBlockSize(std::string_view text) {
    const std::optional<std::uint64_t> size = parseSize(text);
    if (!size || *size == 0 || *size % kBlockSize != 0) {
        throw ArgumentError("Invalid SIZE argument \"" + std::string(text) + "\"");
    }
    return *size;
}

MapRequest readRequest(const Arguments& args) {
    MapRequest request;
    bool outputChosen = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& option = args[i];
        const bool takesValue = option == "--block" || option == "--svg";
        if (takesValue && i + 1 == args.size()) {
            throw UsageError();
        }
        if (option == "--block" && !request.rowSize) {
            request.rowSize = readBlockSize(args[++i]);
        } else if ((option == "--json" || option == "--svg") && !outputChosen) {
            outputChosen = true;
            request.output = option == "--json" ? MapOutput::kJson : MapOutput::kSvg;
            if (takesValue) {
                request.svgPath = args[++i];
            }
        } else {
            throw UsageError();
        }
    }
    return request;
}

// Offsets in hex with at least as many digits as the input's last offset needs, and 8.
class OffsetFormat {
  public:
    explicit OffsetFormat(std::optional<std::uint64_t> size)
        : width_(std::max<std::size_t>(8, size && *size > 0 ? lowerHex(*size - 1).size() : 0)) {}
    std::string operator()(std::uint64_t offset) const {
        const std::string digits = lowerHex(offset);
        return "0x" + std::string(width_ - std::min(width_, digits.size()), '0') + digits;
    }
    std::string range(std::uint64_t offset, std::uint64_t size) const {
        return (*this)(offset) + "-" + (*this)(offset + size - 1);
    }

  private:
    std::size_t width_;
};

// Writes the rows as they are made, then the regions and edges: as text or as JSON.
class MapWriter {
  public:
    MapWriter(const MapRequest& request, const FileReader& reader, std::uint64_t rowSize)
        : json_(request.output == MapOutput::kJson),
          size_(reader.size()),
          rowSize_(rowSize),
          offsets_(reader.size()) {
        if (json_) {
            block_ = "{\n  \"path\": " + jsonString(reader.path()) + ",\n";
            if (size_) {
                block_ += "  \"size\": " + std::to_string(*size_) + ",\n";
            }
            block_ += "  \"block_size\": " + std::to_string(rowSize) + ",\n  \"rows\": [";
        } else {
            const std::string rows =
                size_ ? std::to_string(*size_ / rowSize + (*size_ % rowSize != 0)) : std::string();
            block_ = "Entropy map of " + reader.path() + ": " +
                     (size_ ? std::to_string(*size_) + " bytes, " + rows + " rows"
                            : std::string("read as a stream, rows")) +
                     " of " + std::to_string(rowSize) + " bytes\n";
        }
    }

    void row(const MapRow& row) {
        const ByteStatistics& statistics = row.statistics;
        if (json_) {
            block_ += rows_ == 0 ? "\n    " : ",\n    ";
            block_ += "{\"offset\": " + std::to_string(row.offset) +
                      ", \"size\": " + std::to_string(statistics.length) +
                      ", \"entropy\": " + jsonNumber(statistics.entropy) + ", \"class\": \"" +
                      std::string(byteClassName(statistics.byteClass)) +
                      "\", \"chi_square\": " + jsonNumber(statistics.chiSquare) +
                      ", \"printable\": " + jsonNumber(statistics.printableShare) + "}";
        } else {
            const auto bar = static_cast<std::size_t>(std::lround(statistics.entropy * 4));
            block_ += offsets_.range(row.offset, statistics.length) + "  " +
                      fixedDecimals(statistics.entropy, 3) + " |" + std::string(bar, '#') +
                      std::string(kBarWidth - bar, ' ') + "| " +
                      std::string(byteClassName(statistics.byteClass)) + "\n";
        }
        ++rows_;
        if (block_.size() >= kTextBlock || rowSize_ >= kLargeRow) {
            flush();
        }
    }

    // The regions, once every row is out.
    void regions(const EntropyMapper& mapper) {
        if (json_) {
            jsonRegions(mapper);
        } else {
            textRegions(mapper);
        }
    }

    // The heading of the objects' list comes with the first: with none, the report is the map.
    // note, where not empty, says what part of the input was looked through.
    void object(const ScanHit& hit, std::uint64_t length, const std::string& note) {
        if (json_) {
            append((objects_ == 0 ? ",\n  \"objects\": [\n    " : ",\n    ") + scanHitJson(hit));
        } else {
            if (objects_ == 0) {
                block_ += "\nObjects" + note + ":\n";
            }
            const std::string size =
                std::string(hit.sizeExact ? "" : "~").append(std::to_string(hit.size));
            const std::size_t sizeWidth = std::to_string(length).size() + 1;
            std::string format = hit.format;
            format.resize(std::max(format.size() + 1, kFormatColumn), ' ');
            append((hit.size > 0
                        ? offsets_.range(hit.offset, hit.size)
                        : offsets_(hit.offset) + std::string(offsets_(0).size() + 1, ' ')) +
                   "  " + std::string(sizeWidth - std::min(sizeWidth, size.size()), ' ') + size +
                   " bytes  " + format + hit.description + "\n");
        }
        ++objects_;
    }

    // Why no objects were looked for.
    void noObjects(const std::string& why) {
        if (!json_) {
            block_ += "\nObjects: not looked for (" + why + ")\n";
        }
    }

    // The edges, and the end of the report.
    void finish(const EntropyMapper& mapper) {
        if (json_) {
            jsonEdges(mapper);
        } else {
            textEdges(mapper);
        }
        flush();
    }

  private:
    void textRegions(const EntropyMapper& mapper) {
        block_ += "\nRegions:\n";
        std::size_t sizeWidth = 0;
        for (const MapRegion& region : mapper.regions()) {
            sizeWidth = std::max(sizeWidth, std::to_string(region.size).size());
        }
        for (const MapRegion& region : mapper.regions()) {
            const std::string size = std::to_string(region.size);
            append(offsets_.range(region.offset, region.size) + "  " +
                   std::string(sizeWidth - size.size(), ' ') + size + " bytes  " +
                   fixedDecimals(region.entropy, 3) + "  " +
                   std::string(byteClassName(region.byteClass)) + "\n");
        }
    }

    void textEdges(const EntropyMapper& mapper) {
        block_ += "\nEntropy edges (rising at 0.95, falling at 0.85 of 8 bits per byte):\n";
        for (const EntropyEdge& edge : mapper.edges()) {
            append(offsets_(edge.offset) + (edge.rising ? "  rising   " : "  falling  ") +
                   fixedDecimals(edge.entropy / 8, 6) + "\n");
        }
    }

    void jsonRegions(const EntropyMapper& mapper) {
        block_ += rows_ == 0 ? "],\n  \"regions\": [" : "\n  ],\n  \"regions\": [";
        const char* separator = "\n    ";
        for (const MapRegion& region : mapper.regions()) {
            append(separator + ("{\"offset\": " + std::to_string(region.offset)) +
                   ", \"size\": " + std::to_string(region.size) + ", \"class\": \"" +
                   std::string(byteClassName(region.byteClass)) +
                   "\", \"entropy\": " + jsonNumber(region.entropy) + "}");
            separator = ",\n    ";
        }
        block_ += mapper.regions().empty() ? "]" : "\n  ]";
    }

    void jsonEdges(const EntropyMapper& mapper) {
        block_ += objects_ == 0 ? ",\n  \"edges\": [" : "\n  ],\n  \"edges\": [";
        const char* separator = "\n    ";
        for (const EntropyEdge& edge : mapper.edges()) {
            append(separator + ("{\"offset\": " + std::to_string(edge.offset)) + ", \"edge\": \"" +
                   (edge.rising ? "rising" : "falling") +
                   "\", \"entropy\": " + jsonNumber(edge.entropy) + "}");
            separator = ",\n    ";
        }
        block_ += mapper.edges().empty() ? "]" : "\n  ]";
        if (!size_) {
            block_ += ",\n  \"size\": " + std::to_string(mapper.length());
        }
        block_ += "\n}\n";
    }

    // Adds to the block, which goes out whenever it is full: the regions and edges of a long
    // stream are many.
    void append(const std::string& text) {
        block_ += text;
        if (block_.size() >= kTextBlock) {
            flush();
        }
    }

    void flush() {
        writeText(std::cout, block_);
        std::cout.flush();
        block_.clear();
    }

    bool json_;
    std::optional<std::uint64_t> size_;
    std::uint64_t rowSize_;
    OffsetFormat offsets_;
    std::string block_;
    std::uint64_t rows_ = 0;
    std::uint64_t objects_ = 0;
};

// Where the objects are looked for once the map is made: the input itself, read again, or the
// copy of a stream kept aside as it was mapped, up to kStreamCopyLimit bytes.
class ObjectSource {
  public:
    explicit ObjectSource(FileReader& reader) : reader_(reader) {
        if (!reader.seekable()) {
            spool_ = std::make_unique<Spool>(reader.path());
        }
    }

    // Keeps what is mapped of a stream.
    void keep(ByteView bytes) {
        if (!spool_ || spool_->error() || cut_) {
            return;
        }
        if (bytes.size() > kStreamCopyLimit - spool_->size()) {
            bytes = bytes.first(static_cast<std::size_t>(kStreamCopyLimit - spool_->size()));
            cut_ = true;
        }
        spool_->write(bytes);
    }

    // The objects found, handed to onHit. Throws ReadError when the input cannot be read again.
    void scan(ProgressLine& progress, const ScanHitCallback& onHit) {
        ByteSource* source = spool_ ? spool_.get() : reader_.source();
        if (source == nullptr || (spool_ && spool_->error())) {
            return;
        }
        ScanOptions options;
        options.progress = [&progress](const ScanProgress& done) {
            progress.update(done.done, done.total);
        };
        const Result<ScanSummary> summary = scanObjects(*source, onHit, options);
        progress.erase();
        if (!summary) {
            Failure failure = summary.failure();
            if (failure.path.empty()) {
                failure.path = reader_.path();
            }
            throw ReadError(std::move(failure));
        }
    }

    // What the list of objects says of the part of the input looked through: nothing, or that a
    // long stream was looked through only as far as its copy.
    std::string note() const {
        return cut_ ? " in the first " + std::to_string(kStreamCopyLimit) + " bytes of the stream"
                    : std::string();
    }
    // Why the objects of a stream could not be looked for.
    std::optional<std::string> whyNot() const {
        if (spool_ && spool_->error()) {
            return "cannot keep a copy of the stream: " + spool_->error()->reason;
        }
        return std::nullopt;
    }

  private:
    FileReader& reader_;
    std::unique_ptr<Spool> spool_;
    bool cut_ = false;
};

int writeSvg(const MapRequest& request, FileReader& reader, const EntropyMapper& mapper,
             const std::vector<MapRow>& rows, const MapObjects& objects) {
    const std::string svg = entropyMapSvg(reader.path(), mapper.length(), rows, mapper.regions(),
                                          mapper.edges(), objects);
    OutputFile output(request.svgPath, {.finalSize = svg.size(), .source = &reader});
    // Where an open file cannot be replaced, the picture may replace the input itself.
    reader.close();
    if (!output.error()) {
        output.write(ByteView(reinterpret_cast<const std::uint8_t*>(svg.data()), svg.size()));
    }
    if (output.error() || !output.commit()) {
        return failWith(failureText(output.failure()));
    }
    writeLine(std::cout, {"SUCCESS: Mapped ", std::to_string(rows.size()), " rows of ",
                          reader.path(), " -> ", request.svgPath});
    return 0;
}

}  // namespace

// The rows are made in one pass; the objects are then looked for by the scanner's own pass, over
// the file read again or over the copy of a stream kept as it was mapped.
int runMap(const Arguments& args) {
    const MapRequest request = readRequest(args);
    FileReader reader(args[0]);
    requireReadable(reader);
    const std::uint64_t rowSize = request.rowSize.value_or(defaultRowSize(reader.size()));
    const bool svg = request.output == MapOutput::kSvg;
    ProgressLine progress(
        progressWanted(svg ? CommandOutput::kReportWhenDone : CommandOutput::kWrittenAsItGoes));
    progress.follow(reader);
    // The picture needs every row; the reports write each as it comes.
    std::vector<MapRow> rows;
    std::optional<MapWriter> writer;
    if (!svg) {
        // Its heading goes out with the first row, once the first read has worked.
        writer.emplace(request, reader, rowSize);
    }
    EntropyMapper mapper(rowSize, [&](const MapRow& row) {
        if (svg) {
            rows.push_back(row);
        } else {
            writer->row(row);
        }
    });
    ObjectSource objects(reader);
    forEachChunk(reader, [&](ByteView chunk) {
        mapper.write(chunk);
        objects.keep(chunk);
    });
    mapper.finish();
    progress.erase();
    requireReadable(reader);
    if (svg) {
        MapObjects marked;
        objects.scan(progress, [&marked](const ScanHit& hit) {
            if (marked.hits.size() < kMostObjectsMarked) {
                marked.hits.push_back(hit);
            }
            ++marked.count;
        });
        return writeSvg(request, reader, mapper, rows, marked);
    }
    writer->regions(mapper);
    if (const std::optional<std::string> why = objects.whyNot()) {
        writer->noObjects(*why);
    }
    const std::string note = objects.note();
    objects.scan(progress, [&](const ScanHit& hit) { writer->object(hit, mapper.length(), note); });
    writer->finish(mapper);
    return 0;
}

}  // namespace tessaloom::cli
