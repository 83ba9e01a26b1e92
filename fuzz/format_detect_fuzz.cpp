// Format detection: the type named by the magic bytes alone, the earlier type name replaced, and
// every row non-empty and tied to bytes inside the data, the same on every call.
#include <string>
#include <vector>

#include "engine/format_detect.h"
#include "fuzz_support.h"

namespace {

using tessaloom::fuzz::check;

struct Format {
    std::string_view magic;
    std::string_view typeName;
    std::string_view firstLabel;
};

const Format kFormats[] = {
    {"MZ", "Windows PE Executable", "e_magic"},
    {"\x7F"
     "ELF",
     "Linux ELF Executable", "e_ident[EI_MAG]"},
    {"PK\x03\x04", "ZIP / APK Archive", "Signature"},
    {"\x89PNG", "PNG Bitmap Image", "Signature"},
};

bool sameRows(const std::vector<tessaloom::HeaderField>& x,
              const std::vector<tessaloom::HeaderField>& y) {
    if (x.size() != y.size()) {
        return false;
    }
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (x[i].label != y[i].label || x[i].value != y[i].value || x[i].offset != y[i].offset ||
            x[i].size != y[i].size) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string typeName = "stale type name";
    const auto rows = tessaloom::detectFormat(data, size, typeName);

    const std::string_view head(reinterpret_cast<const char*>(data), size < 4 ? size : 4);
    const Format* format = nullptr;
    for (const Format& candidate : kFormats) {
        if (size >= 16 && head.substr(0, candidate.magic.size()) == candidate.magic) {
            format = &candidate;
        }
    }
    if (format == nullptr) {
        check(typeName == (size < 16 ? "Raw Binary" : "Raw Binary Image"),
              "data without a known magic is raw");
        check(rows.empty(), "raw data has no rows");
    } else {
        check(typeName == format->typeName, "the magic bytes name the type");
        check(!rows.empty() && rows.front().label == format->firstLabel,
              "a known format starts with its signature row");
    }
    check(rows.size() <= 7, "at most seven rows");
    for (const auto& row : rows) {
        check(!row.label.empty() && !row.value.empty(), "rows have a label and a value");
        check(row.size > 0 && row.offset <= size && row.size <= size - row.offset,
              "each row describes bytes inside the data");
    }

    std::string pieced = "stale";
    tessaloom::FormatSampler sampler;
    tessaloom::fuzz::forEachRandomPiece(
        {data, size}, size > 0 ? data[size - 1] : 0,
        [&sampler](tessaloom::ByteView piece) { sampler.write(piece); });
    check(sameRows(sampler.detect(pieced), rows) && pieced == typeName,
          "the data passing by in pieces gives the same result");

    std::string again = "another stale name";
    check(sameRows(tessaloom::detectFormat(data, size, again), rows) && again == typeName,
          "the same data gives the same result");
    std::string none = "stale";
    check(tessaloom::detectFormat(nullptr, size, none).empty() && none == "Raw Binary",
          "no data is raw binary");
    return 0;
}
