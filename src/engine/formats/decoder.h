// What the per-format decoders share: checked reads of the file's bytes, tables of a format's
// named constants, field layouts read into a tree of fields, and the rendering of their values.
// Internal to the engine.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../byte_source.h"
#include "../failure.h"
#include "../structure.h"
#include "../types.h"

namespace tessaloom::formats {

enum class ByteOrder { kLittle, kBig };

// A file's bytes for a decoder: every read says whether all the bytes asked for were there, and
// nothing is read unless it lies inside the file. A read that fails is kept, and the decoding
// then fails with it.
class Bytes {
  public:
    explicit Bytes(ByteSource& source) : source_(source) {}

    std::uint64_t size() const { return source_.size(); }
    // Copies the bytes at offset into `into`; false, with `into` unspecified, when they are not
    // all there or could not be read.
    bool read(std::uint64_t offset, std::span<std::uint8_t> into);
    // The first read that failed, with its reason.
    const std::optional<Failure>& failure() const { return failure_; }

    // Whether length bytes from offset lie inside the file; never overflows.
    bool holds(std::uint64_t offset, std::uint64_t length) const {
        return source_.holds(offset, length);
    }
    // The unsigned number of width bytes (at most 8) at offset.
    std::optional<std::uint64_t> number(std::uint64_t offset, std::size_t width, ByteOrder order);
    // Whether the bytes at offset are those of text.
    bool matches(std::uint64_t offset, std::string_view text);
    // The text at offset up to its NUL (or the end of the file, or maxLength bytes), made safe to
    // show; empty when offset is outside the file.
    std::optional<std::string> cString(std::uint64_t offset, std::size_t maxLength);

  private:
    ByteSource& source_;
    std::optional<Failure> failure_;
};

// The CRC-32 of ZIP, PNG, gzip and Ethernet over bytes, continuing from crc (0 to start).
std::uint32_t crc32Of(ByteView bytes, std::uint32_t crc = 0);
// The same over length bytes at offset, read a piece at a time; none when they are not all there.
std::optional<std::uint32_t> crc32Of(Bytes& bytes, std::uint64_t offset, std::uint64_t length);

// One of a format's named constants. brief is the name that the --entropy rows show; empty where
// they show the number.
struct NamedValue {
    std::uint64_t value;
    std::string_view name;
    std::string_view brief = {};
};

// The name of value in table; empty when it has none.
std::string_view nameOf(std::span<const NamedValue> table, std::uint64_t value);
// The brief name of value in table; empty when it has none.
std::string_view briefOf(std::span<const NamedValue> table, std::uint64_t value);
// The names of the bits set in value, space-separated, with any bits the table does not name as
// one hexadecimal number at the end.
std::string flagNames(std::span<const NamedValue> table, std::uint64_t value);

// How a field's number reads.
enum class Render {
    kDecimal,  // 12
    kHex,      // 0x1c
    kName,     // the table's name, or the number in hexadecimal when it has none
    kFlags,    // 0x22 (EXECUTABLE_IMAGE LARGE_ADDRESS_AWARE)
    kTime,     // seconds since 1970: 1700000000 (2023-11-14 22:13:20 UTC)
    kBytes,    // the bytes in hexadecimal: 7F 45 4C 46
    kDosTime,  // 13:45:06
    kDosDate,  // 2024-01-02
};

// Where one field of a header lies, relative to the header's start, and how it reads.
struct FieldLayout {
    std::string_view name;
    std::uint32_t offset;
    std::uint32_t size;
    Render render = Render::kHex;
    std::span<const NamedValue> names = {};
};

std::string decimal(std::uint64_t value);
std::string hex(std::uint64_t value);
// "[12]": the name of a table's entry by its index.
std::string indexLabel(std::uint64_t index);
// "0x" and upper-case digits: 0xAA64.
std::string upperHex(std::uint64_t value);
// The value as it reads under render, with table where it names values.
std::string renderValue(Render render, std::uint64_t value, std::span<const NamedValue> table = {});
// "2023-11-14 22:13:20 UTC"
std::string utcTime(std::uint64_t seconds);
// The bytes as text that is safe on a terminal and in JSON: valid UTF-8 without control
// characters; anything else as \xNN.
std::string safeText(ByteView bytes);

// Names longer than this are cut short; counts and rows beyond kMaxRows are left out, with a
// warning: a hostile file cannot make the report grow faster than the file.
inline constexpr std::size_t kMaxNameLength = 1024;
inline constexpr std::size_t kMaxRows = 65536;
// The names a report shows may take this many characters for each byte of the file, and the
// allowance on top. A name can be shown many times from one copy in the file (by every thunk of
// an import name table, every DT_NEEDED entry, in a label, a table and a field), and each byte
// that is not UTF-8 takes four characters: the budget, charged for every place a name is shown,
// not the rows, keeps the report in proportion to the file.
inline constexpr std::uint64_t kNameCharactersPerByte = 8;
inline constexpr std::uint64_t kNameAllowance = std::uint64_t{64} << 10;

// Appends a field to parent and returns it.
StructField& addField(StructField& parent, std::string name, std::uint64_t offset,
                      std::uint64_t size, std::string value = {},
                      std::optional<std::uint64_t> number = std::nullopt);

// Reads the fields of layouts at base into parent, in order, and stops at the first one whose
// bytes are not there; true when all were read.
bool readFields(Bytes& bytes, std::uint64_t base, std::span<const FieldLayout> layouts,
                ByteOrder order, StructField& parent);

// The number of the field of group called name, when it was read.
std::optional<std::uint64_t> numberOf(const StructField& group, std::string_view name);
// The field of group called name, when it was read.
const StructField* fieldOf(const StructField& group, std::string_view name);
StructField* fieldOf(StructField& group, std::string_view name);

// The name of a field whose name read from the file is empty, or not shown.
inline constexpr std::string_view kNoName = "(no name)";

// Cuts each field to the bytes of a file of fileSize bytes, then makes each field's bytes take in
// those of the fields inside it; names an unnamed field.
void fitFields(std::vector<StructField>& fields, std::uint64_t fileSize);

// What a decoder works on and fills in.
class Decoding {
  public:
    Decoding(Bytes& source, StructureReport& filled, bool readData);
    Bytes& bytes;
    StructureReport& report;
    // Whether the bytes that headers only describe are read too: the data of each PNG chunk, for
    // its CRC. Without them a file of any size is decoded in a few reads.
    const bool readsData;
    // An archive of more entries defers its headers' fields (StructField::deferred).
    std::uint64_t eagerEntries = UINT64_MAX;
    // The fields at the top of the tree, which become the report's; kept where they are while
    // more are added, so that a decoder can hold on to one.
    std::deque<StructField> top;

    StructField& add(std::string name, std::uint64_t offset, std::uint64_t size,
                     std::string value = {});
    StructField* find(std::string_view name);
    // Notes malformed structure; after the first hundred, only how many more there were.
    void warn(std::string message);
    // Hands the fields to the report and closes the warnings.
    void finish();

    // a + b for an offset made of numbers from the file; empty, with a warning that names what
    // it is, when the sum does not fit in 64 bits, so that it never wraps back into the file.
    std::optional<std::uint64_t> checkedAdd(std::uint64_t a, std::uint64_t b,
                                            std::string_view what);

    // Takes characters of names from the budget for names; false when they do not fit. That
    // charge warns, and from then on spent() is true: each decoder leaves out the names and rows
    // that follow.
    bool charge(std::uint64_t characters);
    bool spent() const { return charged_ > budget_; }
    // Bytes::cString, read once for each offset however often it is asked for, and charged each
    // time it is, for each of the places the caller shows it in; empty text when that does not
    // fit in the budget.
    std::optional<std::string> text(std::uint64_t offset, std::size_t maxLength,
                                    std::uint64_t places = 1);

  private:
    std::size_t unshown_ = 0;
    std::uint64_t budget_;
    std::uint64_t charged_ = 0;
    std::map<std::pair<std::uint64_t, std::size_t>, std::optional<std::string>> texts_;
};

// Each decoder returns false, having added nothing, when the bytes are not of its format.
bool decodePe(Decoding& decoding);
bool decodeElf(Decoding& decoding);
bool decodeZip(Decoding& decoding);
bool decodePng(Decoding& decoding);

// The fields inside a field that decodeZip deferred, read again as it would have read them.
std::vector<StructField> expandZipField(Bytes& bytes, const StructField& field);

// The rows of the --entropy report, read by the same decoders out of the few bytes that format
// detection keeps, and shown in that report's own words.
std::vector<HeaderField> peSummary(Bytes& sample);
std::vector<HeaderField> elfSummary(Bytes& sample);
std::vector<HeaderField> zipSummary(Bytes& sample);
std::vector<HeaderField> pngSummary(Bytes& sample);

// A row of the --entropy report for the bytes of field.
HeaderField summaryRow(std::string_view label, const StructField& field, std::string value);

}  // namespace tessaloom::formats
