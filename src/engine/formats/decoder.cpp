#include "decoder.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <utility>

#include "../byte_order.h"
#include "../hex_text.h"
#include "../utf8.h"

namespace tessaloom::formats {

std::uint32_t crc32Of(ByteView bytes, std::uint32_t crc) {
    // zlib takes at most 4 GiB in one call; a piece here is far smaller.
    constexpr std::size_t kStep = std::size_t{1} << 30;
    uLong value = crc;
    for (std::size_t done = 0; done < bytes.size();) {
        const std::size_t n = std::min(kStep, bytes.size() - done);
        value = crc32(value, bytes.data() + done, static_cast<uInt>(n));
        done += n;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<std::uint32_t> crc32Of(Bytes& bytes, std::uint64_t offset, std::uint64_t length) {
    if (!bytes.holds(offset, length)) {
        return std::nullopt;
    }
    std::array<std::uint8_t, 16384> piece{};
    std::uint32_t crc = 0;
    for (std::uint64_t done = 0; done < length;) {
        const auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), length - done));
        const std::span<std::uint8_t> into = std::span(piece).first(n);
        if (!bytes.read(offset + done, into)) {
            return std::nullopt;
        }
        crc = crc32Of(into, crc);
        done += n;
    }
    return crc;
}

namespace {

constexpr std::size_t kShownWarnings = 100;

std::string twoDigits(std::uint64_t value) {
    return std::string(1, static_cast<char>('0' + value / 10 % 10)) +
           static_cast<char>('0' + value % 10);
}

}  // namespace

bool Bytes::read(std::uint64_t offset, std::span<std::uint8_t> into) {
    if (!holds(offset, into.size())) {
        return false;
    }
    Result<std::size_t> got = source_.readAt(offset, into);
    if (!got) {
        if (!failure_) {
            failure_ = got.failure();
        }
        return false;
    }
    return *got == into.size();
}

std::optional<std::uint64_t> Bytes::number(std::uint64_t offset, std::size_t width,
                                           ByteOrder order) {
    std::array<std::uint8_t, 8> buffer{};
    const std::span<std::uint8_t> into = std::span(buffer).first(std::min<std::size_t>(width, 8));
    if (!read(offset, into)) {
        return std::nullopt;
    }
    return order == ByteOrder::kLittle ? readLittleEndian(into) : readBigEndian(into);
}

bool Bytes::matches(std::uint64_t offset, std::string_view text) {
    std::array<std::uint8_t, 16> buffer{};
    const std::span<std::uint8_t> into =
        std::span(buffer).first(std::min<std::size_t>(text.size(), 16));
    return read(offset, into) &&
           std::ranges::equal(into, text.substr(0, into.size()), {}, {},
                              [](char c) { return static_cast<std::uint8_t>(c); });
}

std::optional<std::string> Bytes::cString(std::uint64_t offset, std::size_t maxLength) {
    if (offset >= size()) {
        return std::nullopt;
    }
    ByteBuffer text;
    std::array<std::uint8_t, 128> piece{};
    while (text.size() < maxLength && offset < size()) {
        const auto length = static_cast<std::size_t>(
            std::min<std::uint64_t>({piece.size(), maxLength - text.size(), size() - offset}));
        const std::span<std::uint8_t> into = std::span(piece).first(length);
        if (!read(offset, into)) {
            break;
        }
        const auto end = std::ranges::find(into, std::uint8_t{0});
        text.insert(text.end(), into.begin(), end);
        if (end != into.end()) {
            break;
        }
        offset += length;
    }
    return safeText(text);
}

std::string_view nameOf(std::span<const NamedValue> table, std::uint64_t value) {
    const auto entry = std::ranges::find(table, value, &NamedValue::value);
    return entry != table.end() ? entry->name : std::string_view{};
}

std::string_view briefOf(std::span<const NamedValue> table, std::uint64_t value) {
    const auto entry = std::ranges::find(table, value, &NamedValue::value);
    return entry != table.end() ? entry->brief : std::string_view{};
}

std::string flagNames(std::span<const NamedValue> table, std::uint64_t value) {
    std::string names;
    std::uint64_t rest = value;
    for (const NamedValue& flag : table) {
        if (flag.value != 0 && (value & flag.value) == flag.value) {
            names += names.empty() ? "" : " ";
            names += flag.name;
            rest &= ~flag.value;
        }
    }
    if (rest != 0) {
        names += names.empty() ? "" : " ";
        names += hex(rest);
    }
    return names;
}

std::string decimal(std::uint64_t value) {
    return std::to_string(value);
}

std::string hex(std::uint64_t value) {
    return "0x" + hexNumber(value);
}

std::string indexLabel(std::uint64_t index) {
    std::string label = "[";
    label += decimal(index);
    label += ']';
    return label;
}

std::string upperHex(std::uint64_t value) {
    std::string text = hex(value);
    std::transform(text.begin() + 2, text.end(), text.begin() + 2,
                   [](char c) { return c >= 'a' ? static_cast<char>(c - 'a' + 'A') : c; });
    return text;
}

std::string utcTime(std::uint64_t seconds) {
    // Days since 1970 to a civil date, in 400-year eras of 146097 days that start on 1 March.
    const std::uint64_t days = seconds / 86400;
    const std::uint64_t time = seconds % 86400;
    const std::uint64_t z = days + 719468;
    const std::uint64_t era = z / 146097;
    const std::uint64_t dayOfEra = z - era * 146097;
    const std::uint64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::uint64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::uint64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    const std::uint64_t day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    const std::uint64_t month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    const std::uint64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    return std::to_string(year) + "-" + twoDigits(month) + "-" + twoDigits(day) + " " +
           twoDigits(time / 3600) + ":" + twoDigits(time / 60 % 60) + ":" + twoDigits(time % 60) +
           " UTC";
}

std::string renderValue(Render render, std::uint64_t value, std::span<const NamedValue> table) {
    switch (render) {
        case Render::kDecimal:
            return decimal(value);
        case Render::kName: {
            const std::string_view name = nameOf(table, value);
            return name.empty() ? hex(value) : std::string(name);
        }
        case Render::kFlags: {
            const std::string names = flagNames(table, value);
            return value == 0 ? hex(value) : hex(value) + " (" + names + ")";
        }
        case Render::kTime:
            return decimal(value) + " (" + utcTime(value) + ")";
        case Render::kDosTime:
            return twoDigits(value >> 11) + ":" + twoDigits(value >> 5 & 0x3F) + ":" +
                   twoDigits((value & 0x1F) * 2);
        case Render::kDosDate:
            return std::to_string(1980 + (value >> 9)) + "-" + twoDigits(value >> 5 & 0xF) + "-" +
                   twoDigits(value & 0x1F);
        case Render::kHex:
        case Render::kBytes:
            break;
    }
    return hex(value);
}

std::string safeText(ByteView bytes) {
    return escapedText(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

StructField& addField(StructField& parent, std::string name, std::uint64_t offset,
                      std::uint64_t size, std::string value, std::optional<std::uint64_t> number) {
    return parent.fields.emplace_back(
        StructField{std::move(name), offset, size, std::move(value), number, {}});
}

bool readFields(Bytes& bytes, std::uint64_t base, std::span<const FieldLayout> layouts,
                ByteOrder order, StructField& parent) {
    std::array<std::uint8_t, 32> buffer{};
    // A header's fields, with room for the few that follow them (a name, an extra field), and
    // not a doubling's worth more: an archive holds tens of thousands of them.
    parent.fields.reserve(parent.fields.size() + layouts.size() + 3);
    for (const FieldLayout& layout : layouts) {
        const std::uint64_t offset = base + layout.offset;
        if (offset < base || layout.size > buffer.size() ||
            !bytes.read(offset, std::span(buffer).first(layout.size))) {
            return false;
        }
        const ByteView field = ByteView(buffer).first(layout.size);
        if (layout.render == Render::kBytes) {
            std::string shown;
            for (const std::uint8_t byte : field) {
                shown += shown.empty() ? "" : " ";
                appendHexByte(shown, byte, HexLetters::kUpper);
            }
            addField(parent, std::string(layout.name), offset, layout.size, std::move(shown));
            continue;
        }
        const std::uint64_t value =
            order == ByteOrder::kLittle ? readLittleEndian(field) : readBigEndian(field);
        addField(parent, std::string(layout.name), offset, layout.size,
                 renderValue(layout.render, value, layout.names), value);
    }
    return true;
}

const StructField* fieldOf(const StructField& group, std::string_view name) {
    const auto field = std::ranges::find(group.fields, name, &StructField::name);
    return field != group.fields.end() ? &*field : nullptr;
}

StructField* fieldOf(StructField& group, std::string_view name) {
    const auto field = std::ranges::find(group.fields, name, &StructField::name);
    return field != group.fields.end() ? &*field : nullptr;
}

std::optional<std::uint64_t> numberOf(const StructField& group, std::string_view name) {
    const StructField* field = fieldOf(group, name);
    return field != nullptr ? field->number : std::nullopt;
}

void fitFields(std::vector<StructField>& fields, std::uint64_t fileSize) {
    for (StructField& field : fields) {
        if (field.name.empty()) {
            field.name = kNoName;  // a name read from the file may be empty
        }
        field.offset = std::min(field.offset, fileSize);
        field.size = std::min(field.size, fileSize - field.offset);
        if (field.fields.empty()) {
            continue;
        }
        fitFields(field.fields, fileSize);
        std::uint64_t start = field.offset;
        std::uint64_t end = field.offset + field.size;
        for (const StructField& inner : field.fields) {
            start = std::min(start, inner.offset);
            end = std::max(end, inner.offset + inner.size);
        }
        field.offset = start;
        field.size = end - start;
    }
}

Decoding::Decoding(Bytes& source, StructureReport& filled, bool readData)
    : bytes(source), report(filled), readsData(readData) {
    const std::uint64_t most = (UINT64_MAX - kNameAllowance) / kNameCharactersPerByte;
    budget_ = std::min(source.size(), most) * kNameCharactersPerByte + kNameAllowance;
}

StructField& Decoding::add(std::string name, std::uint64_t offset, std::uint64_t size,
                           std::string value) {
    return top.emplace_back(
        StructField{std::move(name), offset, size, std::move(value), std::nullopt, {}});
}

StructField* Decoding::find(std::string_view name) {
    const auto field = std::ranges::find(top, name, &StructField::name);
    return field != top.end() ? &*field : nullptr;
}

void Decoding::warn(std::string message) {
    if (report.warnings.size() < kShownWarnings) {
        report.warnings.push_back(std::move(message));
    } else {
        ++unshown_;
    }
}

void Decoding::finish() {
    if (unshown_ > 0) {
        report.warnings.push_back("... and " + decimal(unshown_) + " more warnings");
    }
    report.fields.assign(std::make_move_iterator(top.begin()), std::make_move_iterator(top.end()));
    top.clear();
    fitFields(report.fields, bytes.size());
    // In the order of the file, as a map of it reads.
    std::ranges::stable_sort(report.fields, {}, &StructField::offset);
}

std::optional<std::uint64_t> Decoding::checkedAdd(std::uint64_t a, std::uint64_t b,
                                                  std::string_view what) {
    if (a > UINT64_MAX - b) {
        warn(std::string(what) + " lies past the end of 64-bit offsets (" + hex(a) + " + " +
             hex(b) + ")");
        return std::nullopt;
    }
    return a + b;
}

bool Decoding::charge(std::uint64_t characters) {
    if (spent()) {
        return false;
    }
    if (characters <= budget_ - charged_) {
        charged_ += characters;
        return true;
    }
    charged_ = budget_ + 1;
    warn("The names read from the file reach " + decimal(budget_) +
         " characters, the most for a file of this size: the names and rows after them are left "
         "out");
    return false;
}

std::optional<std::string> Decoding::text(std::uint64_t offset, std::size_t maxLength,
                                          std::uint64_t places) {
    auto [known, added] = texts_.try_emplace({offset, maxLength});
    if (added) {
        known->second = bytes.cString(offset, maxLength);
    }
    if (known->second && !charge(known->second->size() * places)) {
        return std::string();
    }
    return known->second;
}

HeaderField summaryRow(std::string_view label, const StructField& field, std::string value) {
    return {std::string(label), std::move(value), field.offset, field.size};
}

}  // namespace tessaloom::formats
