#include "patch_list.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <string_view>

#include "file_reader.h"
#include "find.h"
#include "hex_text.h"
#include "utf8.h"
#include "xxh64.h"

namespace tessaloom {

namespace {

// A line this long is no patch line; the bound keeps a binary file given by mistake from
// being gathered whole.
constexpr std::size_t kMaxLineLength = std::size_t{16} << 20;
// Bytes read at a time around the OLD bytes of a seekable input.
constexpr std::size_t kCheckPiece = 64 * 1024;

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool allDigits(std::string_view text, int base) {
    return !text.empty() && std::ranges::all_of(text, [base](char c) {
        const int value = conversionDigitValue(c);
        return value >= 0 && value < base;
    });
}

// 0x and hex digits, or decimal digits, and nothing else.
std::optional<std::uint64_t> parseOffset(std::string_view text) {
    int base = 10;
    if (startsWith(text, "0x") || startsWith(text, "0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    if (!allDigits(text, base) ||
        std::from_chars(text.data(), text.data() + text.size(), value, base).ec != std::errc()) {
        return std::nullopt;
    }
    return value;
}

// Blank-separated hex bytes: 0x with one or two digits is one byte (as --diff writes them), and
// anything else is read as a PATTERN without wildcards.
std::optional<ByteBuffer> parseBytes(std::string_view text) {
    ByteBuffer bytes;
    while (!(text = trim(text)).empty()) {
        // The nearest blank of either kind: looking for each through the whole rest would make a
        // long line cost the square of its length.
        const std::size_t end = text.find_first_of(" \t");
        const std::string_view token = text.substr(0, end);
        text.remove_prefix(token.size());
        if (startsWith(token, "0x") || startsWith(token, "0X")) {
            const std::string_view digits = token.substr(2);
            if (digits.size() > 2 || !allDigits(digits, 16)) {
                return std::nullopt;
            }
            std::uint8_t value = 0;
            std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
            bytes.push_back(value);
            continue;
        }
        const std::optional<BytePattern> pattern = parseFindPattern(token);
        if (!pattern || !pattern->exact()) {
            return std::nullopt;
        }
        bytes.insert(bytes.end(), pattern->values().begin(), pattern->values().end());
    }
    if (bytes.empty()) {
        return std::nullopt;
    }
    return bytes;
}

// The "Found N byte differences:" line of a --diff report.
bool isDiffCountLine(std::string_view line) {
    constexpr std::string_view kFound = "Found ";
    constexpr std::string_view kDifferences = " byte differences:";
    return startsWith(line, kFound) && line.size() > kFound.size() + kDifferences.size() &&
           line.ends_with(kDifferences) &&
           allDigits(line.substr(kFound.size(), line.size() - kFound.size() - kDifferences.size()),
                     10);
}

// A piece of a line as an error quotes it: cut to a few dozen bytes, with its controls escaped,
// so that a line of a binary file or an escape sequence cannot reach the terminal or fill it.
std::string quoted(std::string_view text) {
    constexpr std::size_t kShown = 40;
    std::string shown = '"' + escapedText(text.substr(0, kShown)) + '"';
    return text.size() > kShown ? shown + "..." : shown;
}

}  // namespace

bool PatchListParser::write(ByteView text) {
    const std::string_view chars(reinterpret_cast<const char*>(text.data()), text.size());
    for (std::size_t start = 0; start < chars.size() && !list_.error;) {
        const std::size_t end = chars.find('\n', start);
        const std::string_view piece = chars.substr(start, end - start);
        if (partial_.size() + piece.size() > kMaxLineLength) {
            list_.error = PatchListError{lineNumber_ + 1, "the line is longer than 16 MiB"};
            break;
        }
        if (end == std::string_view::npos) {
            partial_ += piece;
            break;
        }
        if (partial_.empty()) {
            takeLine(piece);
        } else {
            partial_ += piece;
            takeLine(partial_);
            partial_.clear();
        }
        start = end + 1;
    }
    return !list_.error;
}

PatchList PatchListParser::finish() {
    if (!list_.error && !partial_.empty()) {
        takeLine(partial_);
    }
    partial_.clear();
    if (list_.delta && !list_.error) {
        finishDelta();
    }
    return std::move(list_);
}

void PatchListParser::takeLine(std::string_view text) {
    const std::uint64_t number = ++lineNumber_;
    const auto fail = [&](std::string what) { list_.error = PatchListError{number, what}; };
    if (list_.delta || (list_.lines.empty() && startsWith(text, "A: "))) {
        // A delta report's names may hold '#': its lines carry no comments.
        return takeDeltaLine(text, trim(text));
    }
    std::string_view line = trim(text.substr(0, text.find('#')));
    if (line.empty() || startsWith(line, "Comparing ") || isDiffCountLine(line)) {
        return;
    }
    if (startsWith(line, "... (and ")) {
        return fail("a --diff report that lists only its first differences cannot be applied");
    }
    if (startsWith(line, "Offset ")) {
        line.remove_prefix(7);
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
        return fail("expected OFFSET: NEW or OFFSET: OLD -> NEW");
    }
    const std::string_view offsetText = trim(line.substr(0, colon));
    const std::optional<std::uint64_t> offset = parseOffset(offsetText);
    if (!offset) {
        return fail("invalid OFFSET " + quoted(offsetText));
    }
    const std::string_view rest = line.substr(colon + 1);
    const std::size_t arrow = rest.find("->");
    const std::string_view newText =
        arrow == std::string_view::npos ? rest : rest.substr(arrow + 2);
    const std::optional<ByteBuffer> newBytes = parseBytes(newText);
    if (!newBytes) {
        return fail("invalid NEW " + quoted(trim(newText)));
    }
    std::optional<ByteBuffer> oldBytes;
    if (arrow != std::string_view::npos) {
        oldBytes = parseBytes(rest.substr(0, arrow));
        if (!oldBytes) {
            return fail("invalid OLD " + quoted(trim(rest.substr(0, arrow))));
        }
        if (oldBytes->size() != newBytes->size()) {
            return fail("OLD and NEW differ in length");
        }
    }
    if (*offset >= kMaxFileLength || newBytes->size() > kMaxFileLength - *offset) {
        return fail("the change ends past the largest possible file size");
    }
    list_.lines.push_back({number, list_.bytes.size(), newBytes->size(), oldBytes.has_value()});
    for (std::size_t i = 0; i < newBytes->size(); ++i) {
        list_.bytes.push_back(
            {*offset + i, oldBytes ? (*oldBytes)[i] : std::uint8_t{0}, (*newBytes)[i]});
    }
}

namespace {

struct HunkWord {
    DeltaHunk::Op op;
    std::string_view word;       // as the line starts, padded to one width
    std::string_view separator;  // between A's offset and B's
};

constexpr HunkWord kHunkWords[] = {
    {DeltaHunk::Op::kEqual, "equal    ", "= "},  {DeltaHunk::Op::kChanged, "changed  ", ""},
    {DeltaHunk::Op::kInserted, "inserted ", ""}, {DeltaHunk::Op::kDeleted, "deleted  ", ""},
    {DeltaHunk::Op::kMoved, "moved    ", "-> "},
};

bool carriesBytes(DeltaHunk::Op op) {
    return op == DeltaHunk::Op::kChanged || op == DeltaHunk::Op::kInserted;
}

void appendBytes(std::string& line, ByteView bytes) {
    for (const std::uint8_t value : bytes) {
        line += ' ';
        appendHexByte(line, value);
    }
}

// Takes "0x" and hex digits from the front of text.
std::optional<std::uint64_t> takeHex(std::string_view& text) {
    if (!startsWith(text, "0x")) {
        return std::nullopt;
    }
    std::size_t end = 2;
    while (end < text.size() && conversionDigitValue(text[end]) >= 0 &&
           conversionDigitValue(text[end]) < 16) {
        ++end;
    }
    const std::optional<std::uint64_t> value = parseOffset(text.substr(0, end));
    text.remove_prefix(end);
    return value;
}

bool take(std::string_view& text, std::string_view expected) {
    if (!startsWith(text, expected)) {
        return false;
    }
    text.remove_prefix(expected.size());
    return true;
}

}  // namespace

std::string deltaHeadLine(char side, std::string_view name, std::uint64_t size,
                          std::optional<std::uint64_t> checksum) {
    std::string line =
        std::string(1, side) + ": " + escapedText(name) + ", " + std::to_string(size) + " bytes";
    if (checksum) {
        line += ", XXH64 " + checksumText(*checksum);
    }
    return line;
}

std::string deltaHunkLine(const DeltaHunk& hunk, ByteView oldBytes, ByteView newBytes) {
    const HunkWord& word = kHunkWords[static_cast<std::size_t>(hunk.op)];
    std::string line(word.word);
    line += "A:0x" + hexNumber(hunk.aOffset) + " " + std::string(word.separator) + "B:0x" +
            hexNumber(hunk.bOffset) + ", 0x" + hexNumber(hunk.length) + " bytes";
    if (!carriesBytes(hunk.op)) {
        return line;
    }
    line += ':';
    if (hunk.length <= kDeltaInlineBytes) {
        if (hunk.op == DeltaHunk::Op::kChanged) {
            appendBytes(line, oldBytes);
            line += " ->";
        }
        appendBytes(line, newBytes);
    }
    return line;
}

std::string deltaDataLine(ByteView bytes) {
    std::string line = " ";
    appendBytes(line, bytes);
    return line;
}

void PatchListParser::takeDeltaLine(std::string_view text, std::string_view line) {
    const std::uint64_t number = lineNumber_;
    const auto fail = [&](std::string what) { list_.error = PatchListError{number, what}; };
    if (!list_.delta) {
        // "A: NAME, N bytes, XXH64 HEX", read from its end, since the name may hold anything.
        std::string_view head = line;
        const std::size_t checksumAt = head.rfind(", XXH64 ");
        const std::size_t sizeAt =
            checksumAt == std::string_view::npos ? checksumAt : head.rfind(", ", checksumAt - 1);
        if (sizeAt == std::string_view::npos || sizeAt < 3) {
            return fail("expected A: NAME, N bytes, XXH64 HEX");
        }
        std::string_view sizeText = head.substr(sizeAt + 2, checksumAt - sizeAt - 2);
        const std::string_view checksumText = head.substr(checksumAt + 8);
        if (!sizeText.ends_with(" bytes")) {
            return fail("expected A: NAME, N bytes, XXH64 HEX");
        }
        sizeText.remove_suffix(6);
        const std::optional<std::uint64_t> size =
            allDigits(sizeText, 10) ? parseOffset(sizeText) : std::nullopt;
        const std::optional<std::uint64_t> checksum =
            checksumText.size() == 16 && allDigits(checksumText, 16)
                ? parseOffset("0x" + std::string(checksumText))
                : std::nullopt;
        if (!size || !checksum) {
            return fail("expected A: NAME, N bytes, XXH64 HEX");
        }
        list_.delta = DeltaPlan{};
        list_.delta->sizeA = *size;
        list_.delta->checksumA = *checksum;
        return;
    }
    DeltaPlan& plan = *list_.delta;
    if (dataDue_ > 0) {
        const std::optional<ByteBuffer> bytes =
            startsWith(text, "  ") ? parseBytes(line) : std::nullopt;
        if (!bytes) {
            return fail("expected a line of " + std::to_string(dataDue_) +
                        " more bytes of the hunk before");
        }
        if (bytes->size() > dataDue_) {
            return fail("more bytes than the hunk before holds");
        }
        plan.data.insert(plan.data.end(), bytes->begin(), bytes->end());
        dataDue_ -= bytes->size();
        return;
    }
    if (line.empty() || startsWith(line, "Summary: ")) {
        return;
    }
    if (!sawB_) {
        const std::size_t sizeAt = line.rfind(", ");
        std::string_view sizeText =
            sizeAt == std::string_view::npos ? std::string_view() : line.substr(sizeAt + 2);
        if (!startsWith(line, "B: ") || !sizeText.ends_with(" bytes")) {
            return fail("expected B: NAME, N bytes");
        }
        sizeText.remove_suffix(6);
        const std::optional<std::uint64_t> size =
            allDigits(sizeText, 10) ? parseOffset(sizeText) : std::nullopt;
        if (!size || *size > kMaxFileLength) {
            return fail("expected B: NAME, N bytes");
        }
        plan.sizeB = *size;
        sawB_ = true;
        return;
    }
    const auto word = std::ranges::find_if(
        kHunkWords, [&](const HunkWord& w) { return startsWith(line, trim(w.word)); });
    std::string_view rest = line;
    if (word == std::end(kHunkWords) || !take(rest, trim(word->word)) || !take(rest, " ")) {
        return fail("expected a hunk: equal, changed, inserted, deleted or moved");
    }
    rest = trim(rest);
    const auto expected = [&] {
        fail("expected " + std::string(trim(word->word)) + " A:0xOFFSET " +
             std::string(word->separator) + "B:0xOFFSET, 0xLENGTH bytes" +
             (carriesBytes(word->op) ? ": BYTES" : ""));
    };
    std::optional<std::uint64_t> a, b, length;
    if (!take(rest, "A:") || !(a = takeHex(rest)) || !take(rest, " ") ||
        !take(rest, word->separator) || !take(rest, "B:") || !(b = takeHex(rest)) ||
        !take(rest, ", ") || !(length = takeHex(rest)) || !take(rest, " bytes") || *length == 0) {
        return expected();
    }
    const DeltaHunk::Op op = word->op;
    const bool usesA = op != DeltaHunk::Op::kInserted;
    if (*a > plan.sizeA || (usesA && *length > plan.sizeA - *a)) {
        return fail("the hunk lies past the end of A (" + std::to_string(plan.sizeA) + " bytes)");
    }
    if (*b != builtB_) {
        return fail("the hunk starts at B:0x" + hexNumber(*b) +
                    " where the hunks before end at B:0x" + hexNumber(builtB_));
    }
    if (op != DeltaHunk::Op::kDeleted) {
        if (*length > plan.sizeB - std::min(plan.sizeB, builtB_)) {
            return fail("the hunks run past B's " + std::to_string(plan.sizeB) + " bytes");
        }
        builtB_ += *length;
    }
    if (op != DeltaHunk::Op::kEqual) {
        ++plan.hunks;
    }
    if (!carriesBytes(op)) {
        if (!rest.empty()) {
            return expected();
        }
        if (op != DeltaHunk::Op::kDeleted) {
            plan.steps.push_back({number, true, *a, *length});
        }
        return;
    }
    if (!take(rest, ":")) {
        return expected();
    }
    plan.steps.push_back({number, false, plan.data.size(), *length});
    if (*length > kDeltaInlineBytes) {
        if (!trim(rest).empty()) {
            return expected();
        }
        dataDue_ = *length;
        return;
    }
    const std::size_t arrow = rest.find("->");
    if ((op == DeltaHunk::Op::kChanged) != (arrow != std::string_view::npos)) {
        return expected();
    }
    const std::optional<ByteBuffer> bytes =
        parseBytes(arrow == std::string_view::npos ? rest : rest.substr(arrow + 2));
    if (!bytes || bytes->size() != *length) {
        return fail("the hunk's bytes are not " + std::to_string(*length) + " bytes");
    }
    plan.data.insert(plan.data.end(), bytes->begin(), bytes->end());
}

void PatchListParser::finishDelta() {
    const auto fail = [&](std::string what) { list_.error = PatchListError{lineNumber_, what}; };
    if (!sawB_) {
        return fail("expected B: NAME, N bytes");
    }
    if (dataDue_ > 0) {
        return fail("the list ends " + std::to_string(dataDue_) +
                    " bytes before the hunk's bytes do");
    }
    if (builtB_ != list_.delta->sizeB) {
        return fail("the hunks make " + std::to_string(builtB_) + " bytes of B's " +
                    std::to_string(list_.delta->sizeB));
    }
}

std::string patchListLine(std::uint64_t offset, ByteView old, ByteView replacement) {
    std::string line = "0x" + hexNumber(offset) + ":";
    const auto bytes = [&line](ByteView values) {
        for (const std::uint8_t value : values) {
            line += ' ';
            appendHexByte(line, value);
        }
    };
    bytes(old);
    line += " ->";
    bytes(replacement);
    return line;
}

PatchList readPatchList(FileReader& reader) {
    PatchListParser parser;
    while (reader.fill()) {
        const std::span<std::uint8_t> text = reader.buffered();
        if (!parser.write(text)) {
            break;
        }
        reader.consume(text.size());
    }
    return parser.finish();
}

OldBytesCheck::OldBytesCheck(const PatchList& list) {
    for (const PatchLine& line : list.lines) {
        if (!line.checksOld) {
            continue;
        }
        for (std::size_t i = line.firstByte; i < line.firstByte + line.byteCount; ++i) {
            expected_.push_back({list.bytes[i].offset, line.line, list.bytes[i].byteA});
        }
    }
    // Stable, so that of two lines expecting bytes at one offset the earlier is compared first.
    std::ranges::stable_sort(expected_, {}, &Expected::offset);
}

bool OldBytesCheck::compare(const Expected& expected, std::uint8_t found) {
    if (expected.byte != found) {
        mismatch_ = PatchMismatch{expected.line, expected.offset, expected.byte, found};
        return false;
    }
    ++done_;
    return true;
}

bool OldBytesCheck::check(ByteView bytes, std::uint64_t position) {
    while (!mismatch_ && done_ < expected_.size() && expected_[done_].offset >= position &&
           expected_[done_].offset - position < bytes.size()) {
        const Expected& expected = expected_[done_];
        compare(expected, bytes[static_cast<std::size_t>(expected.offset - position)]);
    }
    return !mismatch_;
}

bool OldBytesCheck::finish() {
    while (!mismatch_ && done_ < expected_.size()) {
        compare(expected_[done_], 0);
    }
    return !mismatch_;
}

std::optional<std::uint64_t> OldBytesCheck::next() const {
    if (mismatch_ || done_ == expected_.size()) {
        return std::nullopt;
    }
    return expected_[done_].offset;
}

std::optional<PatchMismatch> checkOldBytes(FileReader& reader, const PatchList& list) {
    OldBytesCheck check(list);
    ByteBuffer piece(kCheckPiece);
    const std::uint64_t size = reader.size().value_or(0);
    for (std::optional<std::uint64_t> at = check.next(); at && *at < size; at = check.next()) {
        const std::size_t read = reader.readAt(*at, piece);
        if (!check.check(ByteView(piece).first(read), *at)) {
            break;
        }
    }
    check.finish();
    return check.mismatch();
}

}  // namespace tessaloom
