// The scanner's table of formats: one row per format, with the magic that makes a candidate, the
// validator that decides whether the bytes there really are such an object, measures it and
// describes it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../formats/decoder.h"
#include "../scan.h"

namespace tessaloom::scan {

using formats::ByteOrder;
using formats::Bytes;

// What a validator found.
struct Object {
    // The exact size where the format gives one (found by walking it), an estimate (a lower bound
    // the headers promise) with exact false, or none: the object then runs to the next one found
    // or the end of the input.
    std::optional<std::uint64_t> size;
    bool exact = false;
    std::string description;
    std::vector<ScanField> fields;
};

// Whether the bytes inside an object of the format are scanned for further objects. A compressed
// stream or an archive holds nothing that shows as it is stored (or holds the members the archive
// lists, which the scanner would report once each); an executable or a firmware header holds
// embedded objects at their own offsets.
enum class Interior : std::uint8_t { kSkipped, kScanned };

// The object's bytes as a validator reads them: offset 0 is the candidate's start, and the bytes
// run to the end of the input. Returns nothing where they are not an object of the format; a read
// that fails is kept in the Bytes and ends the scan.
using Validator = std::optional<Object> (*)(Bytes& object);

struct Signature {
    std::string_view format;        // as ScanHit::format
    std::string_view magic;         // at least two bytes
    std::uint32_t magicOffset = 0;  // where the magic lies in the object
    Interior interior = Interior::kScanned;
    Validator validate = nullptr;
};

// What the decoders may do in all during one scan, in bytes read and written. Each stream is
// decoded up to its own cap while the allowance lasts, and only a few KiB once it is spent: a
// small hostile input whose many candidates would each decode a stream that expands a
// thousandfold cannot make the scan take longer than in proportion to its size.
class DecodingAllowance {
  public:
    explicit DecodingAllowance(std::uint64_t inputSize);

    std::uint64_t left;

    // A stretch of JPEG entropy-coded data looked through, which holds no marker before the one
    // that ends it: so that many candidates that lead into the same data look through it once.
    // Positions are counted back from the end of the input, the one origin that the bytes of all
    // candidates share.
    struct MarkerFree {
        std::uint64_t from;    // bytes from its first position to the end of the input
        std::uint64_t marker;  // bytes from its marker to the end; 0 where the input ends first
    };
    std::vector<MarkerFree> markerFree;

    // Where the decoders write what they decode, to be thrown away: one buffer for the scan.
    std::span<std::uint8_t> output();

  private:
    ByteBuffer output_;
};

// A candidate's bytes, as every validator is given them, with the scan's allowance for decoding:
// a validator that decodes takes its Bytes as the Candidate that they are.
class Candidate : public Bytes {
  public:
    Candidate(ByteSource& source, DecodingAllowance& allowance)
        : Bytes(source), allowance_(allowance) {}
    DecodingAllowance& allowance() { return allowance_; }

  private:
    DecodingAllowance& allowance_;
};

// The rows, by family; the scanner's table is all of them.
std::span<const Signature> compressedSignatures();
std::span<const Signature> archiveSignatures();
std::span<const Signature> fileSystemSignatures();
std::span<const Signature> firmwareSignatures();
std::span<const Signature> executableSignatures();
std::span<const Signature> mediaSignatures();

// "512 bytes", "3.1 MiB": a size for a description.
std::string sizeText(std::uint64_t bytes);

// A field with its number shown in decimal, and one with text only.
ScanField numberField(std::string name, std::uint64_t value);
ScanField hexField(std::string name, std::uint64_t value);
ScanField textField(std::string name, std::string text);

// The description's quoted text: the bytes made safe (formats::safeText), cut to a few dozen
// characters with "..." where longer.
std::string quoted(ByteView bytes);

}  // namespace tessaloom::scan
