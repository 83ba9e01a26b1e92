#include "support/in_memory.h"

#include <algorithm>

namespace tessaloom {

void writeHexDump(ByteView data, std::uint64_t offset, std::uint64_t length, const TextSink& sink) {
    if (offset >= data.size()) {
        sink(kOffsetOutOfBounds);
        return;
    }
    const std::uint64_t count = std::min<std::uint64_t>(length, data.size() - offset);
    HexDumpWriter writer(offset, sink);
    writer.write(data.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(count)));
    writer.finish();
}

std::string hexDump(ByteView data, std::uint64_t offset, std::uint64_t length) {
    std::string text;
    writeHexDump(data, offset, length, [&text](std::string_view part) { text.append(part); });
    return text;
}

void scanStrings(ByteView data, std::uint64_t minLength, const StringRunSink& onRun) {
    StringScanner scanner(minLength, [&](const StringRun& run) {
        onRun(run.offset, {reinterpret_cast<const char*>(data.data() + run.offset),
                           static_cast<std::size_t>(run.length)});
    });
    scanner.write(data);
    scanner.finish();
}

std::vector<FoundString> extractStrings(ByteView data, std::uint64_t minLength) {
    std::vector<FoundString> found;
    scanStrings(data, minLength, [&found](std::uint64_t offset, std::string_view text) {
        found.push_back({offset, std::string(text)});
    });
    return found;
}

std::vector<DiffEntry> diffBytes(ByteView a, ByteView b, std::uint64_t limit) {
    std::vector<DiffEntry> entries;
    DiffScanner scanner(limit, [&entries](const DiffEntry& entry) { entries.push_back(entry); });
    const std::size_t common = std::min(a.size(), b.size());
    scanner.compare(a.first(common), b.first(common));
    scanner.surplusOfA(a.subspan(common));
    scanner.surplusOfB(b.subspan(common));
    return entries;
}

AnalysisReport analyzeBytes(std::string path, ByteView data) {
    Analyzer analyzer;
    analyzer.write(data);
    return analyzer.finish(std::move(path));
}

std::vector<std::uint64_t> findPatternOffsets(ByteView data, ByteView pattern) {
    std::vector<std::uint64_t> offsets;
    PatternScanner scanner(pattern, PatternScanner::Occurrences::kOverlapping);
    scanner.scan(data,
                 [&offsets](std::uint64_t offset, std::size_t) { offsets.push_back(offset); });
    return offsets;
}

}  // namespace tessaloom
