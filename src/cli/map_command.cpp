#include <algorithm>
#include <cmath>
#include <iostream>
#include <string>
#include <vector>

#include "args.h"
#include "commands.h"
#include "console.h"
#include "engine/entropy_map.h"
#include "engine/file_reader.h"
#include "engine/output_file.h"
#include "inputs.h"
#include "json.h"
#include "map_svg.h"
#include "progress_line.h"

namespace tessaloom::cli {

namespace {

constexpr std::uint64_t kBlockSize = 1024;
// Rows this large come at most about once per chunk read: each goes out at once.
constexpr std::uint64_t kLargeRow = 256 * 1024;
constexpr std::size_t kTextBlock = 64 * 1024;
constexpr std::size_t kBarWidth = 32;  // four columns per bit

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

    void finish(const EntropyMapper& mapper) {
        if (json_) {
            finishJson(mapper);
        } else {
            finishText(mapper);
        }
        flush();
    }

  private:
    void finishText(const EntropyMapper& mapper) {
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
        block_ += "\nEntropy edges (rising at 0.95, falling at 0.85 of 8 bits per byte):\n";
        for (const EntropyEdge& edge : mapper.edges()) {
            append(offsets_(edge.offset) + (edge.rising ? "  rising   " : "  falling  ") +
                   fixedDecimals(edge.entropy / 8, 6) + "\n");
        }
    }

    void finishJson(const EntropyMapper& mapper) {
        block_ += rows_ == 0 ? "],\n  \"regions\": [" : "\n  ],\n  \"regions\": [";
        const char* separator = "\n    ";
        for (const MapRegion& region : mapper.regions()) {
            append(separator + ("{\"offset\": " + std::to_string(region.offset)) +
                   ", \"size\": " + std::to_string(region.size) + ", \"class\": \"" +
                   std::string(byteClassName(region.byteClass)) +
                   "\", \"entropy\": " + jsonNumber(region.entropy) + "}");
            separator = ",\n    ";
        }
        block_ += mapper.regions().empty() ? "],\n  \"edges\": [" : "\n  ],\n  \"edges\": [";
        separator = "\n    ";
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
};

int writeSvg(const MapRequest& request, FileReader& reader, const EntropyMapper& mapper,
             const std::vector<MapRow>& rows) {
    const std::string svg =
        entropyMapSvg(reader.path(), mapper.length(), rows, mapper.regions(), mapper.edges());
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
    mapEntropy(reader, mapper);
    progress.erase();
    requireReadable(reader);
    if (svg) {
        return writeSvg(request, reader, mapper, rows);
    }
    writer->finish(mapper);
    return 0;
}

}  // namespace tessaloom::cli
