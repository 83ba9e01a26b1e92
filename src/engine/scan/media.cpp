// Images and certificates: PNG, JPEG, GIF and BMP pictures, X.509 certificates in DER and the PEM
// text that wraps keys and certificates. Each is walked to its end, so that its size is exact.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "../byte_order.h"
#include "signature.h"

namespace tessaloom::scan {

namespace {

// Data is read this much at a time where a validator passes over it (CRCs, entropy-coded data).
constexpr std::size_t kReadBlock = std::size_t{16} << 10;

std::string dimensions(std::uint64_t width, std::uint64_t height) {
    return std::to_string(width).append(" x ").append(std::to_string(height));
}

// What a validator found where the object is damaged or cut short: a lower bound where the bytes
// up to `known` checked out, else no size (the object runs to the next one found).
Object estimate(Object object, std::optional<std::uint64_t> known) {
    object.size = known;
    object.exact = false;
    return object;
}

// ---------------------------------------------------------------------------------------------
// PNG: the signature, then chunks (length, type, data, CRC of type and data) from IHDR to IEND.

constexpr std::uint64_t kPngMaxChunks = std::uint64_t{1} << 20;

bool chunkTypeValid(std::uint64_t type) {
    for (int shift = 0; shift < 32; shift += 8) {
        const auto letter = static_cast<std::uint8_t>(type >> shift);
        if (!((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z'))) {
            return false;
        }
    }
    return true;
}

std::string_view pngColor(std::uint64_t colorType) {
    switch (colorType) {
        case 0:
            return "grayscale";
        case 2:
            return "RGB";
        case 3:
            return "palette";
        case 4:
            return "grayscale+alpha";
        case 6:
            return "RGBA";
        default:
            return {};
    }
}

// Whether the bit depth is one the colour type allows.
bool pngDepthValid(std::uint64_t colorType, std::uint64_t depth) {
    switch (colorType) {
        case 0:
            return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
        case 3:
            return depth == 1 || depth == 2 || depth == 4 || depth == 8;
        case 2:
        case 4:
        case 6:
            return depth == 8 || depth == 16;
        default:
            return false;
    }
}

std::optional<Object> validatePng(Bytes& object) {
    std::array<std::uint8_t, 25> ihdr{};  // length, type, 13 bytes of data, CRC
    if (!object.read(8, ihdr) || readBigEndian(ByteView(ihdr).first(8)) != 0x0000000D49484452) {
        return std::nullopt;
    }
    const ByteView data = ByteView(ihdr).subspan(8, 13);
    const std::uint64_t width = readBigEndian(data.first(4));
    const std::uint64_t height = readBigEndian(data.subspan(4, 4));
    const std::uint64_t depth = data[8];
    const std::uint64_t color = data[9];
    if (width == 0 || height == 0 || width >= 0x80000000 || height >= 0x80000000 ||
        !pngDepthValid(color, depth) || data[10] != 0 || data[11] != 0 || data[12] > 1) {
        return std::nullopt;
    }
    const std::uint32_t crc = formats::crc32Of(ByteView(ihdr).subspan(4, 17));
    if (static_cast<std::uint32_t>(crc) != readBigEndian(ByteView(ihdr).subspan(21, 4))) {
        return std::nullopt;
    }

    Object found;
    found.description = std::string("PNG image, ")
                            .append(dimensions(width, height))
                            .append(", ")
                            .append(std::to_string(depth))
                            .append("-bit ")
                            .append(pngColor(color));
    if (data[12] == 1) {
        found.description += ", interlaced";
    }
    found.fields = {numberField("width", width), numberField("height", height),
                    numberField("bit_depth", depth), numberField("color_type", color)};

    // The chunks after IHDR, each checked against its CRC, to the end of IEND.
    std::uint64_t at = 33;
    for (std::uint64_t chunks = 1; chunks < kPngMaxChunks; ++chunks) {
        const std::optional<std::uint64_t> length = object.number(at, 4, ByteOrder::kBig);
        const std::optional<std::uint64_t> type = object.number(at + 4, 4, ByteOrder::kBig);
        if (!length || !type) {
            return estimate(std::move(found), std::nullopt);
        }
        if (*length >= 0x80000000 || !chunkTypeValid(*type) || *type == 0x49484452) {
            return estimate(std::move(found), at);
        }
        if (!object.holds(at, 12 + *length)) {
            return estimate(std::move(found), std::nullopt);
        }
        const std::optional<std::uint32_t> computed = formats::crc32Of(object, at + 4, 4 + *length);
        const std::optional<std::uint64_t> stored =
            object.number(at + 8 + *length, 4, ByteOrder::kBig);
        if (!computed || !stored) {
            return std::nullopt;  // a read that failed
        }
        if (*computed != *stored) {
            return estimate(std::move(found), at);
        }
        at += 12 + *length;
        if (*type == 0x49454E44) {  // IEND
            if (*length != 0) {
                return estimate(std::move(found), at);
            }
            found.fields.push_back(numberField("chunks", chunks + 1));
            found.size = at;
            found.exact = true;
            return found;
        }
    }
    return estimate(std::move(found), at);
}

// ---------------------------------------------------------------------------------------------
// JPEG: SOI, marker segments up to a scan, the entropy-coded data (where 0xFF is followed by a
// stuffed zero or a restart marker), more segments and scans, and EOI.

bool isSof(std::uint64_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// The markers whose segment has a length: frames, tables, scans, restart interval, DNL,
// hierarchical, application data and comments.
bool isSegmentMarker(std::uint64_t marker) {
    return (marker >= 0xC0 && marker <= 0xCF && marker != 0xC8) ||
           (marker >= 0xDA && marker <= 0xDF) || (marker >= 0xE0 && marker <= 0xEF) ||
           marker == 0xDB || marker == 0xFE;
}

// The stretches of entropy-coded data that one scan remembers; a new one takes the place of the
// one that starts first, which the candidates, coming in order, have most likely passed.
constexpr std::size_t kMarkerFreeKept = 16;
// How far one look goes once the scan's allowance is spent (a hostile input of many candidates
// has spent it), after which the object's size is taken as unknown.
constexpr std::uint64_t kLeastLook = std::uint64_t{64} << 10;

// The first 0xFF from `from` on, before `until`, that starts a marker: one followed by neither a
// stuffed zero, a restart marker nor another 0xFF (a fill byte). None when there is none there, or
// when the bytes cannot be read (object.failure() says so).
std::optional<std::uint64_t> firstMarker(Bytes& object, std::uint64_t from, std::uint64_t until) {
    std::array<std::uint8_t, kReadBlock> block{};
    for (std::uint64_t at = from; at < until;) {
        // One byte more than the stretch: the one after a 0xFF at its end.
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>({kReadBlock, object.size() - at, until - at + 1}));
        if (!object.read(at, std::span(block).first(n))) {
            return std::nullopt;
        }
        const std::size_t searched =
            static_cast<std::size_t>(std::min<std::uint64_t>(n, until - at));
        std::size_t advance = searched;
        for (std::size_t i = 0; i < searched;) {
            const void* hit = std::memchr(block.data() + i, 0xFF, searched - i);
            if (hit == nullptr) {
                break;
            }
            const auto j =
                static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - block.data());
            if (j + 1 >= n) {
                if (at + n >= object.size()) {
                    return std::nullopt;  // the last byte of the input: no marker
                }
                advance = j;  // the byte after it comes with the next block
                break;
            }
            const std::uint8_t next = block[j + 1];
            if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
                i = j + 2;
            } else if (next == 0xFF) {
                i = j + 1;
            } else {
                return at + j;
            }
        }
        at += advance;
    }
    return std::nullopt;
}

// Where the marker that ends the entropy-coded data from `from` starts (its 0xFF); none when the
// input ends first, or when the scan's allowance ran out before it was found. Data that an earlier
// candidate's look went through is not read again, and what is read is charged to the allowance:
// many candidates that lead into one long stretch of data (segments that jump over the ones
// after them) read it once.
std::optional<std::uint64_t> entropyEnd(Bytes& object, std::uint64_t from) {
    DecodingAllowance& allowance = static_cast<Candidate&>(object).allowance();
    std::vector<DecodingAllowance::MarkerFree>& known = allowance.markerFree;
    const std::uint64_t size = object.size();
    if (from >= size) {
        return std::nullopt;
    }
    const std::uint64_t here = size - from;
    const auto markerOf = [size](const DecodingAllowance::MarkerFree& stretch) {
        return stretch.marker == 0 ? std::nullopt : std::optional(size - stretch.marker);
    };
    // The stretch that holds `from`, or the nearest one after it, where this look may stop.
    DecodingAllowance::MarkerFree* after = nullptr;
    for (DecodingAllowance::MarkerFree& stretch : known) {
        if (stretch.from >= here && here >= stretch.marker) {
            return markerOf(stretch);
        }
        if (stretch.from < here && (after == nullptr || stretch.from > after->from)) {
            after = &stretch;
        }
    }
    std::uint64_t until = after != nullptr ? size - after->from : size;
    const std::uint64_t budget = std::max(allowance.left, kLeastLook);
    const bool cut = until - from > budget;
    if (cut) {
        until = from + budget;
        after = nullptr;
    }
    const std::optional<std::uint64_t> found = firstMarker(object, from, until);
    allowance.left -= std::min(allowance.left, (found ? *found : until) - from);
    if (object.failure()) {
        return std::nullopt;
    }
    if (!found && after != nullptr) {
        after->from = here;
        return markerOf(*after);
    }
    if (!found && cut) {
        return std::nullopt;
    }
    const DecodingAllowance::MarkerFree stretch{here, found ? size - *found : 0};
    if (known.size() < kMarkerFreeKept) {
        known.push_back(stretch);
    } else {
        *std::ranges::max_element(known, {}, &DecodingAllowance::MarkerFree::from) = stretch;
    }
    return found;
}

std::optional<Object> validateJpeg(Bytes& object) {
    Object found;
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    std::uint64_t components = 0;
    std::uint64_t frameMarker = 0;
    std::uint64_t scans = 0;
    bool jfif = false;
    bool exif = false;
    const auto describe = [&]() {
        found.description = std::string("JPEG image, ").append(dimensions(width, height));
        if (frameMarker == 0xC2 || frameMarker == 0xC6 || frameMarker == 0xCA ||
            frameMarker == 0xCE) {
            found.description += ", progressive";
        }
        if (jfif) {
            found.description += ", JFIF";
        }
        if (exif) {
            found.description += ", Exif";
        }
        found.fields = {numberField("width", width), numberField("height", height),
                        numberField("components", components),
                        hexField("frame_marker", frameMarker), numberField("scans", scans)};
    };

    std::uint64_t at = 2;
    while (true) {
        std::optional<std::uint64_t> marker = object.number(at + 1, 1, ByteOrder::kBig);
        for (int fill = 0; marker == 0xFF && fill < 16; ++fill) {
            ++at;
            marker = object.number(at + 1, 1, ByteOrder::kBig);
        }
        const std::optional<std::uint64_t> lead = object.number(at, 1, ByteOrder::kBig);
        if (!lead || !marker) {
            if (frameMarker == 0) {
                return std::nullopt;
            }
            describe();
            return estimate(std::move(found), std::nullopt);
        }
        if (*lead != 0xFF || !isSegmentMarker(*marker)) {
            if (*lead == 0xFF && *marker == 0xD9 && scans > 0) {
                describe();
                found.size = at + 2;
                found.exact = true;
                return found;
            }
            if (scans == 0) {
                return std::nullopt;
            }
            describe();
            return estimate(std::move(found), at);
        }
        const std::optional<std::uint64_t> length = object.number(at + 2, 2, ByteOrder::kBig);
        if (!length || !object.holds(at + 2, *length)) {
            if (frameMarker == 0) {
                return std::nullopt;
            }
            describe();
            return estimate(std::move(found), std::nullopt);
        }
        if (*length < 2) {
            if (scans == 0) {
                return std::nullopt;
            }
            describe();
            return estimate(std::move(found), at);
        }
        const std::uint64_t end = at + 2 + *length;
        if (isSof(*marker)) {
            std::array<std::uint8_t, 6> frame{};
            if (!object.read(at + 4, frame)) {
                return std::nullopt;
            }
            const std::uint64_t precision = frame[0];
            const std::uint64_t lines = readBigEndian(ByteView(frame).subspan(1, 2));
            const std::uint64_t samples = readBigEndian(ByteView(frame).subspan(3, 2));
            const std::uint64_t count = frame[5];
            if (precision < 2 || precision > 16 || lines == 0 || samples == 0 || count == 0 ||
                count > 4 || *length != 8 + 3 * count) {
                if (scans == 0) {
                    return std::nullopt;
                }
                describe();
                return estimate(std::move(found), at);
            }
            if (frameMarker == 0) {
                frameMarker = *marker;
                width = samples;
                height = lines;
                components = count;
            }
        } else if (*marker == 0xDA) {
            const std::optional<std::uint64_t> count = object.number(at + 4, 1, ByteOrder::kBig);
            if (!count || frameMarker == 0 || *count == 0 || *count > 4 ||
                *length != 6 + 2 * *count) {
                if (scans == 0) {
                    return std::nullopt;
                }
                describe();
                return estimate(std::move(found), at);
            }
            ++scans;
            const std::optional<std::uint64_t> next = entropyEnd(object, end);
            if (!next) {
                if (object.failure()) {
                    return std::nullopt;
                }
                describe();
                return estimate(std::move(found), std::nullopt);
            }
            at = *next;
            continue;
        } else if (*marker == 0xE0 && *length >= 7) {
            jfif = jfif || object.matches(at + 4, std::string_view("JFIF\0", 5));
        } else if (*marker == 0xE1 && *length >= 8) {
            exif = exif || object.matches(at + 4, std::string_view("Exif\0\0", 6));
        }
        at = end;
    }
}

// ---------------------------------------------------------------------------------------------
// GIF: header, logical screen descriptor and global colour table, then extension and image blocks
// (each followed by data sub-blocks) up to the trailer.

// Where the sub-blocks from `at` end (after the terminating empty one); none when the input ends
// first.
std::optional<std::uint64_t> skipSubBlocks(Bytes& object, std::uint64_t at) {
    while (true) {
        const std::optional<std::uint64_t> length = object.number(at, 1, ByteOrder::kLittle);
        if (!length) {
            return std::nullopt;
        }
        at += 1 + *length;
        if (*length == 0) {
            return at;
        }
    }
}

std::optional<Object> validateGif(Bytes& object) {
    std::array<std::uint8_t, 7> screen{};
    if (!object.read(6, screen)) {
        return std::nullopt;
    }
    const std::uint64_t width = readLittleEndian(ByteView(screen).first(2));
    const std::uint64_t height = readLittleEndian(ByteView(screen).subspan(2, 2));
    const std::uint8_t packed = screen[4];
    if (width == 0 || height == 0) {
        return std::nullopt;
    }
    std::uint64_t at = 13;
    if ((packed & 0x80) != 0) {
        at += std::uint64_t{3} << ((packed & 7) + 1);
    }
    const bool gif89 = object.matches(0, "GIF89a");
    std::uint64_t frames = 0;
    Object found;
    const auto describe = [&]() {
        found.description = std::string(gif89 ? "GIF89a" : "GIF87a")
                                .append(" image, ")
                                .append(dimensions(width, height))
                                .append(", ")
                                .append(std::to_string(frames))
                                .append(frames == 1 ? " frame" : " frames");
        found.fields = {numberField("width", width), numberField("height", height),
                        numberField("frames", frames)};
    };
    while (true) {
        const std::optional<std::uint64_t> block = object.number(at, 1, ByteOrder::kLittle);
        if (!block) {
            describe();
            return estimate(std::move(found), std::nullopt);
        }
        std::optional<std::uint64_t> next;
        if (*block == 0x3B) {
            describe();
            found.size = at + 1;
            found.exact = true;
            return found;
        }
        if (*block == 0x21) {
            if (!object.holds(at, 2)) {
                describe();
                return estimate(std::move(found), std::nullopt);
            }
            next = skipSubBlocks(object, at + 2);
        } else if (*block == 0x2C) {
            std::array<std::uint8_t, 10> image{};  // position, size, flags, LZW code size
            if (!object.read(at + 1, std::span(image).first(9))) {
                describe();
                return estimate(std::move(found), std::nullopt);
            }
            std::uint64_t data = at + 10;
            if ((image[8] & 0x80) != 0) {
                data += std::uint64_t{3} << ((image[8] & 7) + 1);
            }
            const std::optional<std::uint64_t> codeSize =
                object.number(data, 1, ByteOrder::kLittle);
            if (!codeSize) {
                describe();
                return estimate(std::move(found), std::nullopt);
            }
            if (*codeSize < 2 || *codeSize > 8) {
                if (frames == 0) {
                    return std::nullopt;
                }
                describe();
                return estimate(std::move(found), at);
            }
            next = skipSubBlocks(object, data + 1);
            ++frames;
        } else {
            if (frames == 0) {
                return std::nullopt;
            }
            describe();
            return estimate(std::move(found), at);
        }
        if (!next) {
            describe();
            return estimate(std::move(found), std::nullopt);
        }
        at = *next;
    }
}

// ---------------------------------------------------------------------------------------------
// BMP: the file header (with the file's size) and a DIB header whose sizes agree with it.

// The widest and tallest picture taken as real.
constexpr std::uint64_t kBmpMaxSide = 1 << 16;

std::string_view bmpCompression(std::uint64_t compression) {
    switch (compression) {
        case 1:
            return "RLE8";
        case 2:
            return "RLE4";
        case 3:
            return "bitfields";
        case 4:
            return "JPEG";
        case 5:
            return "PNG";
        case 6:
            return "alpha bitfields";
        default:
            return {};
    }
}

std::optional<Object> validateBmp(Bytes& object) {
    std::array<std::uint8_t, 18> head{};
    if (!object.read(0, head)) {
        return std::nullopt;
    }
    const ByteView view(head);
    const std::uint64_t fileSize = readLittleEndian(view.subspan(2, 4));
    const std::uint64_t pixels = readLittleEndian(view.subspan(10, 4));
    const std::uint64_t headerSize = readLittleEndian(view.subspan(14, 4));
    if (readLittleEndian(view.subspan(6, 4)) != 0 || fileSize > object.size() ||
        pixels >= fileSize) {
        return std::nullopt;
    }
    static constexpr std::array<std::uint64_t, 6> kHeaderSizes{12, 40, 52, 56, 108, 124};
    if (std::ranges::find(kHeaderSizes, headerSize) == kHeaderSizes.end() ||
        pixels < 14 + headerSize) {
        return std::nullopt;
    }
    std::array<std::uint8_t, 24> dib{};
    if (!object.read(18, std::span(dib).first(headerSize == 12 ? 8 : 24))) {
        return std::nullopt;
    }
    const ByteView info(dib);
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    std::uint64_t planes = 0;
    std::uint64_t bits = 0;
    std::uint64_t compression = 0;
    std::uint64_t imageSize = 0;
    if (headerSize == 12) {
        width = readLittleEndian(info.first(2));
        height = readLittleEndian(info.subspan(2, 2));
        planes = readLittleEndian(info.subspan(4, 2));
        bits = readLittleEndian(info.subspan(6, 2));
    } else {
        const auto signedWidth = static_cast<std::int32_t>(readLittleEndian(info.first(4)));
        const auto signedHeight = static_cast<std::int32_t>(readLittleEndian(info.subspan(4, 4)));
        if (signedWidth <= 0 || signedHeight == INT32_MIN) {
            return std::nullopt;
        }
        width = static_cast<std::uint64_t>(signedWidth);
        height = static_cast<std::uint64_t>(signedHeight < 0 ? -signedHeight : signedHeight);
        planes = readLittleEndian(info.subspan(8, 2));
        bits = readLittleEndian(info.subspan(10, 2));
        compression = readLittleEndian(info.subspan(12, 4));
        imageSize = readLittleEndian(info.subspan(16, 4));
    }
    static constexpr std::array<std::uint64_t, 6> kDepths{1, 4, 8, 16, 24, 32};
    if (width == 0 || height == 0 || width > kBmpMaxSide || height > kBmpMaxSide || planes != 1 ||
        std::ranges::find(kDepths, bits) == kDepths.end() || compression > 6) {
        return std::nullopt;
    }
    // The pixel array: computed from the rows where stored as they are, else the stored size.
    const std::uint64_t rowSize = (width * bits + 31) / 32 * 4;
    std::uint64_t array = rowSize * height;
    switch (compression) {
        case 0:
            break;
        case 1:
        case 2:
            if (bits != (compression == 1 ? 8 : 4) || imageSize == 0) {
                return std::nullopt;
            }
            array = imageSize;
            break;
        case 3:
        case 6:
            if (bits != 16 && bits != 32) {
                return std::nullopt;
            }
            break;
        default:  // JPEG, PNG
            if (imageSize == 0) {
                return std::nullopt;
            }
            array = imageSize;
            break;
    }
    // Writers pad the file a little, and a colour profile may follow the pixels.
    constexpr std::uint64_t kSlack = std::uint64_t{64} << 10;
    if (pixels + array > fileSize || fileSize - (pixels + array) > kSlack) {
        return std::nullopt;
    }
    Object found;
    found.size = fileSize;
    found.exact = true;
    found.description = std::string("BMP image, ")
                            .append(dimensions(width, height))
                            .append(", ")
                            .append(std::to_string(bits))
                            .append("-bit");
    if (!bmpCompression(compression).empty()) {
        found.description.append(", ").append(bmpCompression(compression));
    }
    found.fields = {numberField("width", width), numberField("height", height),
                    numberField("bits_per_pixel", bits), numberField("compression", compression),
                    numberField("header_size", headerSize)};
    return found;
}

// ---------------------------------------------------------------------------------------------
// X.509 in DER: Certificate ::= SEQUENCE { tbsCertificate, signatureAlgorithm, signatureValue }.

ByteView bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// "01a4ff": the bytes as lower-case hexadecimal digits.
std::string hexDigits(ByteView bytes) {
    static constexpr std::string_view kDigits = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

// One DER element inside a parent: its tag, where its contents start and end.
struct Element {
    std::uint8_t tag = 0;
    std::size_t start = 0;  // the tag's offset
    std::size_t content = 0;
    std::size_t end = 0;
};

// The element at `at`, which must end by `limit`. Only the low tag number form and definite
// lengths of up to four bytes, as DER has them.
std::optional<Element> element(ByteView der, std::size_t at, std::size_t limit) {
    if (limit > der.size() || at + 2 > limit) {
        return std::nullopt;
    }
    Element e;
    e.tag = der[at];
    e.start = at;
    if ((e.tag & 0x1F) == 0x1F) {
        return std::nullopt;
    }
    std::size_t length = der[at + 1];
    std::size_t content = at + 2;
    if (length >= 0x80) {
        const std::size_t width = length & 0x7F;
        if (width == 0 || width > 4 || content + width > limit) {
            return std::nullopt;
        }
        length = static_cast<std::size_t>(readBigEndian(der.subspan(content, width)));
        content += width;
    }
    if (length > limit - content) {
        return std::nullopt;
    }
    e.content = content;
    e.end = content + length;
    return e;
}

std::optional<Element> expect(ByteView der, std::size_t at, std::size_t limit, std::uint8_t tag) {
    std::optional<Element> e = element(der, at, limit);
    if (!e || e->tag != tag) {
        return std::nullopt;
    }
    return e;
}

// AlgorithmIdentifier ::= SEQUENCE { OBJECT IDENTIFIER, parameters OPTIONAL }
std::optional<Element> algorithm(ByteView der, std::size_t at, std::size_t limit) {
    const std::optional<Element> sequence = expect(der, at, limit, 0x30);
    if (!sequence) {
        return std::nullopt;
    }
    const std::optional<Element> oid = expect(der, sequence->content, sequence->end, 0x06);
    if (!oid || oid->end == oid->content || oid->end - oid->content > 32) {
        return std::nullopt;
    }
    if (oid->end < sequence->end) {
        const std::optional<Element> parameters = element(der, oid->end, sequence->end);
        if (!parameters || parameters->end != sequence->end) {
            return std::nullopt;
        }
    }
    return sequence;
}

// "1.2.840.113549.1.1.11"
std::string oidText(ByteView oid) {
    std::string text;
    std::uint64_t value = 0;
    bool first = true;
    for (const std::uint8_t byte : oid) {
        if (value > (UINT64_MAX >> 8)) {
            return {};
        }
        value = (value << 7) | (byte & 0x7F);
        if ((byte & 0x80) != 0) {
            continue;
        }
        if (first) {
            const std::uint64_t top = std::min<std::uint64_t>(value / 40, 2);
            text = std::to_string(top).append(".").append(std::to_string(value - top * 40));
            first = false;
        } else {
            text.append(".").append(std::to_string(value));
        }
        value = 0;
    }
    return text;
}

std::string_view algorithmName(std::string_view oid) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 12> kNames{{
        {"1.2.840.113549.1.1.1", "rsaEncryption"},
        {"1.2.840.113549.1.1.5", "sha1WithRSAEncryption"},
        {"1.2.840.113549.1.1.10", "RSASSA-PSS"},
        {"1.2.840.113549.1.1.11", "sha256WithRSAEncryption"},
        {"1.2.840.113549.1.1.12", "sha384WithRSAEncryption"},
        {"1.2.840.113549.1.1.13", "sha512WithRSAEncryption"},
        {"1.2.840.10045.2.1", "ecPublicKey"},
        {"1.2.840.10045.4.3.2", "ecdsa-with-SHA256"},
        {"1.2.840.10045.4.3.3", "ecdsa-with-SHA384"},
        {"1.2.840.10045.4.3.4", "ecdsa-with-SHA512"},
        {"1.3.101.112", "Ed25519"},
        {"1.3.101.113", "Ed448"},
    }};
    for (const auto& [dotted, name] : kNames) {
        if (dotted == oid) {
            return name;
        }
    }
    return {};
}

// The string value of a directory attribute as UTF-8 bytes (a BMPString's UTF-16 converted).
std::string directoryString(ByteView der, const Element& value) {
    const ByteView bytes = der.subspan(value.content, value.end - value.content);
    if (value.tag != 0x1E) {
        return std::string(bytes.begin(), bytes.end());
    }
    std::string text;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const unsigned unit = static_cast<unsigned>(bytes[i]) << 8 | bytes[i + 1];
        if (unit < 0x80) {
            text += static_cast<char>(unit);
        } else if (unit < 0x800) {
            text += static_cast<char>(0xC0 | (unit >> 6));
            text += static_cast<char>(0x80 | (unit & 0x3F));
        } else if (unit >= 0xD800 && unit < 0xE000) {
            text += '?';
        } else {
            text += static_cast<char>(0xE0 | (unit >> 12));
            text += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    return text;
}

// What names a certificate's subject or issuer: the common name, else the organisation or its unit.
struct NameParts {
    std::optional<std::string> commonName;
    std::optional<std::string> organization;
    std::optional<std::string> unit;

    // "CN=\"example.com\"", with the name quoted; empty without any of them.
    std::string shown(bool quote) const {
        const auto show = [quote](std::string_view key, const std::string& value) {
            const ByteView bytes = bytesOf(value);
            return std::string(key).append(quote ? quoted(bytes) : formats::safeText(bytes));
        };
        return commonName     ? show("CN=", *commonName)
               : organization ? show("O=", *organization)
               : unit         ? show("OU=", *unit)
                              : std::string();
    }
};

// Name ::= SEQUENCE OF SET OF SEQUENCE { type OID, value }: whether name is one, with the first
// common name (2.5.4.3), organisation (2.5.4.10) and unit (2.5.4.11) in parts.
bool directoryName(ByteView der, const Element& name, NameParts& parts) {
    std::size_t at = name.content;
    while (at < name.end) {
        const std::optional<Element> set = expect(der, at, name.end, 0x31);
        if (!set) {
            return false;
        }
        std::size_t inSet = set->content;
        while (inSet < set->end) {
            const std::optional<Element> pair = expect(der, inSet, set->end, 0x30);
            if (!pair) {
                return false;
            }
            const std::optional<Element> type = expect(der, pair->content, pair->end, 0x06);
            if (!type) {
                return false;
            }
            const std::optional<Element> value = element(der, type->end, pair->end);
            if (!value || value->end != pair->end) {
                return false;
            }
            const ByteView oid = der.subspan(type->content, type->end - type->content);
            if (oid.size() == 3 && oid[0] == 0x55 && oid[1] == 0x04) {
                std::optional<std::string>* part = oid[2] == 3    ? &parts.commonName
                                                   : oid[2] == 10 ? &parts.organization
                                                   : oid[2] == 11 ? &parts.unit
                                                                  : nullptr;
                if (part != nullptr && !*part) {
                    *part = directoryString(der, *value);
                }
            }
            inSet = pair->end;
        }
        at = set->end;
    }
    return true;
}

// "2024-05-01 12:00:00 UTC" from a UTCTime or GeneralizedTime; none when it is not one.
std::optional<std::string> derTime(ByteView der, const Element& time) {
    const ByteView text = der.subspan(time.content, time.end - time.content);
    const std::size_t yearDigits = time.tag == 0x17 ? 2 : 4;
    if ((time.tag != 0x17 && time.tag != 0x18) || text.size() < yearDigits + 11 ||
        text.back() != 'Z') {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < yearDigits + 10; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
    }
    std::string year(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(yearDigits));
    if (yearDigits == 2) {
        year = (text[0] >= '5' ? "19" : "20") + year;
    }
    const auto two = [&](std::size_t at) {
        return std::string{static_cast<char>(text[at]), static_cast<char>(text[at + 1])};
    };
    const std::size_t m = yearDigits;
    return year.append("-")
        .append(two(m))
        .append("-")
        .append(two(m + 2))
        .append(" ")
        .append(two(m + 4))
        .append(":")
        .append(two(m + 6))
        .append(":")
        .append(two(m + 8))
        .append(" UTC");
}

std::optional<Object> validateX509(Bytes& object) {
    // Cheap rejects first: a tbsCertificate whose length fits in the certificate, then a version
    // or a serial number.
    std::array<std::uint8_t, 9> head{};
    if (!object.read(0, head) || head[4] != 0x30) {
        return std::nullopt;
    }
    const std::size_t total =
        4 + static_cast<std::size_t>(readBigEndian(ByteView(head).subspan(2, 2)));
    std::size_t tbsEnd = 0;
    std::uint8_t first = 0;
    if (head[5] == 0x82) {
        tbsEnd = 8 + static_cast<std::size_t>(readBigEndian(ByteView(head).subspan(6, 2)));
        first = head[8];
    } else if (head[5] == 0x81 && head[6] >= 0x80) {
        tbsEnd = 7 + std::size_t{head[6]};
        first = head[7];
    } else {
        return std::nullopt;
    }
    if ((first != 0xA0 && first != 0x02) || tbsEnd + 8 > total || !object.holds(0, total)) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes(total);
    if (!object.read(0, bytes)) {
        return std::nullopt;
    }
    const ByteView der(bytes);
    const std::optional<Element> tbs = expect(der, 4, total, 0x30);
    if (!tbs || tbs->end != tbsEnd) {
        return std::nullopt;
    }
    std::size_t at = tbs->content;
    std::uint64_t version = 1;
    if (der[at] == 0xA0) {
        const std::optional<Element> explicitVersion = expect(der, at, tbs->end, 0xA0);
        if (!explicitVersion) {
            return std::nullopt;
        }
        const std::optional<Element> number =
            expect(der, explicitVersion->content, explicitVersion->end, 0x02);
        if (!number || number->end != explicitVersion->end || number->end - number->content != 1 ||
            der[number->content] > 2) {
            return std::nullopt;
        }
        version = der[number->content] + std::uint64_t{1};
        at = explicitVersion->end;
    }
    const std::optional<Element> serial = expect(der, at, tbs->end, 0x02);
    if (!serial || serial->end == serial->content || serial->end - serial->content > 32) {
        return std::nullopt;
    }
    const std::optional<Element> innerAlgorithm = algorithm(der, serial->end, tbs->end);
    if (!innerAlgorithm) {
        return std::nullopt;
    }
    NameParts issuerName;
    NameParts subjectName;
    const std::optional<Element> issuer = expect(der, innerAlgorithm->end, tbs->end, 0x30);
    if (!issuer || !directoryName(der, *issuer, issuerName)) {
        return std::nullopt;
    }
    const std::optional<Element> validity = expect(der, issuer->end, tbs->end, 0x30);
    if (!validity) {
        return std::nullopt;
    }
    const std::optional<Element> notBefore = element(der, validity->content, validity->end);
    const std::optional<Element> notAfter =
        notBefore ? element(der, notBefore->end, validity->end) : std::nullopt;
    if (!notAfter || notAfter->end != validity->end) {
        return std::nullopt;
    }
    const std::optional<std::string> from = derTime(der, *notBefore);
    const std::optional<std::string> until = derTime(der, *notAfter);
    if (!from || !until) {
        return std::nullopt;
    }
    const std::optional<Element> subject = expect(der, validity->end, tbs->end, 0x30);
    if (!subject || !directoryName(der, *subject, subjectName)) {
        return std::nullopt;
    }
    const std::optional<Element> keyInfo = expect(der, subject->end, tbs->end, 0x30);
    if (!keyInfo) {
        return std::nullopt;
    }
    const std::optional<Element> keyAlgorithm = algorithm(der, keyInfo->content, keyInfo->end);
    const std::optional<Element> key =
        keyAlgorithm ? expect(der, keyAlgorithm->end, keyInfo->end, 0x03) : std::nullopt;
    if (!key || key->end != keyInfo->end || key->end == key->content) {
        return std::nullopt;
    }
    // issuerUniqueID [1], subjectUniqueID [2], extensions [3], each at most once and in order.
    at = keyInfo->end;
    std::uint8_t lastTag = 0;
    while (at < tbs->end) {
        const std::optional<Element> optional = element(der, at, tbs->end);
        if (!optional || optional->tag <= lastTag ||
            (optional->tag != 0x81 && optional->tag != 0x82 && optional->tag != 0xA3)) {
            return std::nullopt;
        }
        lastTag = optional->tag;
        at = optional->end;
    }
    const std::optional<Element> outerAlgorithm = algorithm(der, tbs->end, total);
    if (!outerAlgorithm ||
        !std::ranges::equal(
            der.subspan(innerAlgorithm->start, innerAlgorithm->end - innerAlgorithm->start),
            der.subspan(outerAlgorithm->start, outerAlgorithm->end - outerAlgorithm->start))) {
        return std::nullopt;
    }
    const std::optional<Element> signature = expect(der, outerAlgorithm->end, total, 0x03);
    if (!signature || signature->end != total || signature->end - signature->content < 2 ||
        der[signature->content] > 7) {
        return std::nullopt;
    }

    const std::optional<Element> signatureOid =
        element(der, outerAlgorithm->content, outerAlgorithm->end);
    const std::string dotted =
        oidText(der.subspan(signatureOid->content, signatureOid->end - signatureOid->content));
    const std::string_view named = algorithmName(dotted);
    Object found;
    found.size = total;
    found.exact = true;
    found.description = "X.509 certificate";
    if (const std::string shown = subjectName.shown(true); !shown.empty()) {
        found.description.append(", ").append(shown);
    }
    found.fields = {numberField("version", version),
                    textField("serial", hexDigits(der.subspan(serial->content,
                                                              serial->end - serial->content)))};
    found.fields.push_back(textField("subject", subjectName.shown(false)));
    found.fields.push_back(textField("issuer", issuerName.shown(false)));
    found.fields.push_back(textField("not_before", *from));
    found.fields.push_back(textField("not_after", *until));
    found.fields.push_back(
        textField("signature_algorithm", named.empty() ? dotted : std::string(named)));
    return found;
}

// ---------------------------------------------------------------------------------------------
// PEM: "-----BEGIN LABEL-----", base64 lines (after RFC 1421 headers where there are some) and
// "-----END LABEL-----".

// How far from its BEGIN line a PEM text's END line may be.
constexpr std::uint64_t kPemMaxLength = std::uint64_t{1} << 20;
constexpr std::size_t kPemMaxLabel = 64;
constexpr std::size_t kPemMaxHeaders = 32;

// The bytes of an object read as they are asked for, a block at a time, up to a bound.
class Text {
  public:
    Text(Bytes& object, std::uint64_t bound)
        : object_(object), limit_(std::min(bound, object.size())) {}

    // The line from `at` without its line end, and where the next one starts; none at the end.
    struct Line {
        std::string_view text;
        std::uint64_t next = 0;
        bool ended = false;  // by a line feed, not by the end of the input
    };
    std::optional<Line> line(std::uint64_t at) {
        std::uint64_t end = at;
        while (true) {
            if (end >= text_.size() && !more()) {
                break;
            }
            const std::size_t from = static_cast<std::size_t>(end);
            const std::size_t feed = text_.find('\n', from);
            if (feed != std::string::npos) {
                end = feed;
                break;
            }
            end = text_.size();
        }
        if (failed_ || at >= text_.size()) {
            return std::nullopt;
        }
        const bool ended = end < text_.size();
        if (!ended && text_.size() < object_.size() && text_.size() >= limit_) {
            return std::nullopt;  // cut by the bound, not by the input
        }
        std::string_view text(text_.data() + at, static_cast<std::size_t>(end - at));
        while (!text.empty() &&
               (text.back() == '\r' || text.back() == ' ' || text.back() == '\t')) {
            text.remove_suffix(1);
        }
        return Line{text, ended ? end + 1 : end, ended};
    }
    bool failed() const { return failed_; }
    // The bytes read so far, from the object's start.
    std::string_view loaded() const { return text_; }

  private:
    bool more() {
        if (text_.size() >= limit_ || failed_) {
            return false;
        }
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(kReadBlock, limit_ - text_.size()));
        std::array<std::uint8_t, kReadBlock> block{};
        if (!object_.read(text_.size(), std::span(block).first(n))) {
            failed_ = true;
            return false;
        }
        text_.append(reinterpret_cast<const char*>(block.data()), n);
        return true;
    }

    Bytes& object_;
    std::uint64_t limit_;
    std::string text_;
    bool failed_ = false;
};

bool isBase64(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

std::string pemKind(std::string_view label) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 14> kKinds{{
        {"CERTIFICATE", "certificate"},
        {"TRUSTED CERTIFICATE", "trusted certificate"},
        {"CERTIFICATE REQUEST", "certificate request"},
        {"NEW CERTIFICATE REQUEST", "certificate request"},
        {"X509 CRL", "CRL"},
        {"PRIVATE KEY", "private key"},
        {"ENCRYPTED PRIVATE KEY", "encrypted private key"},
        {"RSA PRIVATE KEY", "RSA private key"},
        {"EC PRIVATE KEY", "EC private key"},
        {"DSA PRIVATE KEY", "DSA private key"},
        {"OPENSSH PRIVATE KEY", "OpenSSH private key"},
        {"PUBLIC KEY", "public key"},
        {"RSA PUBLIC KEY", "RSA public key"},
        {"PKCS7", "PKCS #7"},
    }};
    for (const auto& [name, kind] : kKinds) {
        if (name == label) {
            return std::string(kind);
        }
    }
    return std::string("\"").append(label).append("\"");
}

std::optional<Object> validatePem(Bytes& object) {
    Text text(object, kPemMaxLength);
    const std::optional<Text::Line> begin = text.line(0);
    if (!begin || !begin->ended || !begin->text.starts_with("-----BEGIN ") ||
        !begin->text.ends_with("-----") || begin->text.size() < 17) {
        return std::nullopt;
    }
    const std::string_view label = begin->text.substr(11, begin->text.size() - 16);
    if (label.size() > kPemMaxLabel || label.front() == ' ' || label.back() == ' ' ||
        label.find("  ") != std::string_view::npos || !std::ranges::all_of(label, [](char c) {
            return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ';
        })) {
        return std::nullopt;
    }
    const std::string endLine = std::string("-----END ").append(label).append("-----");
    const std::string labelText(label);

    std::uint64_t at = begin->next;
    // Headers ("Proc-Type: 4,ENCRYPTED") up to an empty line.
    std::optional<Text::Line> line = text.line(at);
    if (line && line->text.find(':') != std::string_view::npos) {
        std::size_t headers = 0;
        while (line && !line->text.empty()) {
            if (++headers > kPemMaxHeaders || !line->ended) {
                return std::nullopt;
            }
            at = line->next;
            line = text.line(at);
        }
        if (!line) {
            return std::nullopt;
        }
        at = line->next;
        line = text.line(at);
    }
    std::uint64_t characters = 0;
    std::uint64_t padding = 0;
    bool checksum = false;  // an armour checksum line ("=AbCd") ends the data
    while (line) {
        if (line->text.starts_with("-----")) {
            // The END line, and its line end where one follows at once.
            const std::string_view rest = text.loaded().substr(static_cast<std::size_t>(at));
            if (!rest.starts_with(endLine) || characters == 0 || characters % 4 != 0) {
                return std::nullopt;
            }
            std::uint64_t end = at + endLine.size();
            const std::string_view after = rest.substr(endLine.size());
            end += after.starts_with("\r\n") ? 2u : after.starts_with("\n") ? 1u : 0u;
            const std::uint64_t decoded = characters / 4 * 3 - padding;
            Object found;
            found.size = end;
            found.exact = true;
            found.description = std::string("PEM ")
                                    .append(pemKind(labelText))
                                    .append(", ")
                                    .append(sizeText(decoded))
                                    .append(" decoded");
            found.fields = {textField("label", labelText), numberField("decoded_size", decoded)};
            return found;
        }
        if (checksum) {
            return std::nullopt;
        }
        if (line->text.size() == 5 && line->text.front() == '=' && padding == 0 &&
            characters % 4 == 0 &&
            std::ranges::all_of(line->text.substr(1), [](char c) { return isBase64(c); })) {
            checksum = true;
        } else {
            for (const char c : line->text) {
                if (c == '=') {
                    if (++padding > 2) {
                        return std::nullopt;
                    }
                } else if (!isBase64(c) || padding > 0) {
                    return std::nullopt;
                }
                ++characters;
            }
        }
        at = line->next;
        if (!line->ended) {
            break;
        }
        line = text.line(at);
    }
    if (text.failed() || at < object.size() || characters == 0) {
        return std::nullopt;
    }
    // The input ends inside the text: it is cut short.
    Object found;
    found.description = std::string("PEM ").append(pemKind(labelText)).append(", truncated");
    found.fields = {textField("label", labelText)};
    return estimate(std::move(found), std::nullopt);
}

}  // namespace

std::span<const Signature> mediaSignatures() {
    static constexpr Signature kRows[] = {
        {"png", std::string_view("\x89PNG\r\n\x1a\n", 8), 0, Interior::kSkipped, validatePng},
        {"jpeg", std::string_view("\xff\xd8\xff", 3), 0, Interior::kSkipped, validateJpeg},
        {"gif", "GIF87a", 0, Interior::kSkipped, validateGif},
        {"gif", "GIF89a", 0, Interior::kSkipped, validateGif},
        {"bmp", "BM", 0, Interior::kSkipped, validateBmp},
        {"x509", std::string_view("\x30\x82", 2), 0, Interior::kSkipped, validateX509},
        {"pem", "-----BEGIN ", 0, Interior::kSkipped, validatePem},
    };
    return kRows;
}

}  // namespace tessaloom::scan
