// The compression and YAML libraries that the engine links statically, as this build links them:
// each compressor's one-shot API round-trips a buffer in the container format that the scanner
// looks for, a truncated stream is never taken for a whole one, the headers are those of the
// archives linked, and libyaml reads a template's YAML with the line of every error.
#include <bzlib.h>
#include <gtest/gtest.h>
#include <lz4.h>
#include <lz4frame.h>
#include <lzma.h>
#include <yaml.h>
#include <zlib.h>
#include <zstd.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/types.h"

namespace tessaloom {
namespace {

using Codec = std::optional<ByteBuffer> (*)(const ByteBuffer&);

// The decoders are given room for exactly this much, as the scanner's limits would give them.
constexpr std::size_t kSampleSize = 256 * 1024;

// Bytes that compress well but not trivially: words of a small vocabulary in a random order.
ByteBuffer sampleText() {
    static constexpr std::string_view kWords[] = {
        "firmware ", "header ", "0x7f454c46 ", "block\n", "squashfs ", "\x01\x02\x03 ", "CRC32 "};
    ByteBuffer data;
    std::uint32_t state = 2463534242u;
    while (data.size() < kSampleSize) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const std::string_view word = kWords[state % std::size(kWords)];
        data.insert(data.end(), word.begin(), word.end());
    }
    data.resize(kSampleSize);
    return data;
}

// zlib's deflate in the wrapping of windowBits: 15 for zlib, 15 + 16 for gzip.
std::optional<ByteBuffer> deflateWith(const ByteBuffer& in, int windowBits) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        return std::nullopt;
    }
    ByteBuffer out(deflateBound(&stream, static_cast<uLong>(in.size())));
    stream.next_in = const_cast<Bytef*>(in.data());
    stream.avail_in = static_cast<uInt>(in.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return status == Z_STREAM_END ? std::optional(out) : std::nullopt;
}

// Inflates one whole stream; a stream that ends early, or bytes after its end, are a failure.
std::optional<ByteBuffer> inflateWith(const ByteBuffer& in, int windowBits) {
    z_stream stream{};
    if (inflateInit2(&stream, windowBits) != Z_OK) {
        return std::nullopt;
    }
    ByteBuffer out;
    ByteBuffer chunk(64 * 1024);
    stream.next_in = const_cast<Bytef*>(in.data());
    stream.avail_in = static_cast<uInt>(in.size());
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = chunk.data();
        stream.avail_out = static_cast<uInt>(chunk.size());
        status = inflate(&stream, Z_NO_FLUSH);
        out.insert(out.end(), chunk.data(), stream.next_out);
    }
    const bool whole = status == Z_STREAM_END && stream.avail_in == 0;
    inflateEnd(&stream);
    return whole ? std::optional(out) : std::nullopt;
}

std::optional<ByteBuffer> zlibCompress(const ByteBuffer& in) {
    return deflateWith(in, 15);
}
std::optional<ByteBuffer> zlibDecompress(const ByteBuffer& in) {
    return inflateWith(in, 15);
}
std::optional<ByteBuffer> gzipCompress(const ByteBuffer& in) {
    return deflateWith(in, 15 + 16);
}
std::optional<ByteBuffer> gzipDecompress(const ByteBuffer& in) {
    return inflateWith(in, 15 + 16);
}

std::optional<ByteBuffer> xzCompress(const ByteBuffer& in) {
    ByteBuffer out(lzma_stream_buffer_bound(in.size()));
    std::size_t written = 0;
    if (lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr, in.data(), in.size(), out.data(),
                                &written, out.size()) != LZMA_OK) {
        return std::nullopt;
    }
    out.resize(written);
    return out;
}

std::optional<ByteBuffer> xzDecompress(const ByteBuffer& in) {
    ByteBuffer out(kSampleSize);
    std::uint64_t memoryLimit = UINT64_MAX;
    std::size_t read = 0;
    std::size_t written = 0;
    if (lzma_stream_buffer_decode(&memoryLimit, 0, nullptr, in.data(), &read, in.size(), out.data(),
                                  &written, out.size()) != LZMA_OK ||
        read != in.size()) {
        return std::nullopt;
    }
    out.resize(written);
    return out;
}

std::optional<ByteBuffer> bzip2Compress(const ByteBuffer& in) {
    // bzip2's bound: the input plus 1 % plus 600 bytes.
    ByteBuffer out(in.size() + in.size() / 100 + 601);
    auto length = static_cast<unsigned>(out.size());
    ByteBuffer source = in;  // the one-shot API takes a mutable pointer
    if (BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &length,
                                 reinterpret_cast<char*>(source.data()),
                                 static_cast<unsigned>(source.size()), 9, 0, 0) != BZ_OK) {
        return std::nullopt;
    }
    out.resize(length);
    return out;
}

std::optional<ByteBuffer> bzip2Decompress(const ByteBuffer& in) {
    ByteBuffer out(kSampleSize);
    auto length = static_cast<unsigned>(out.size());
    ByteBuffer source = in;
    if (BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(out.data()), &length,
                                   reinterpret_cast<char*>(source.data()),
                                   static_cast<unsigned>(source.size()), 0, 0) != BZ_OK) {
        return std::nullopt;
    }
    out.resize(length);
    return out;
}

// With the frame's content checksum, as zstd writes it by default on the command line.
std::optional<ByteBuffer> zstdCompress(const ByteBuffer& in) {
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ByteBuffer out(ZSTD_compressBound(in.size()));
    std::size_t length = ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);

    if (ZSTD_isError(length) == 0) {
        length = ZSTD_compress2(context, out.data(), out.size(), in.data(), in.size());
    }
    ZSTD_freeCCtx(context);
    if (ZSTD_isError(length) != 0) {
        return std::nullopt;
    }
    out.resize(length);
    return out;
}

// One whole frame, measured as the scanner measures one, and nothing after it.
std::optional<ByteBuffer> zstdDecompress(const ByteBuffer& in) {
    if (ZSTD_findFrameCompressedSize(in.data(), in.size()) != in.size()) {
        return std::nullopt;
    }
    ByteBuffer out(kSampleSize);
    const std::size_t length = ZSTD_decompress(out.data(), out.size(), in.data(), in.size());
    if (ZSTD_isError(length) != 0) {
        return std::nullopt;
    }
    out.resize(length);
    return out;
}

std::optional<ByteBuffer> lz4Compress(const ByteBuffer& in) {
    LZ4F_preferences_t preferences{};
    preferences.frameInfo.contentChecksumFlag = LZ4F_contentChecksumEnabled;
    ByteBuffer out(LZ4F_compressFrameBound(in.size(), &preferences));
    const std::size_t length =
        LZ4F_compressFrame(out.data(), out.size(), in.data(), in.size(), &preferences);
    if (LZ4F_isError(length) != 0) {
        return std::nullopt;
    }
    out.resize(length);
    return out;
}

// LZ4F_decompress returns how many more bytes the frame needs: 0 once it is complete.
std::optional<ByteBuffer> lz4Decompress(const ByteBuffer& in) {
    LZ4F_dctx* context = nullptr;
    if (LZ4F_isError(LZ4F_createDecompressionContext(&context, LZ4F_VERSION)) != 0) {
        return std::nullopt;
    }
    ByteBuffer out(kSampleSize);
    std::size_t written = out.size();
    std::size_t read = in.size();
    const std::size_t needed =
        LZ4F_decompress(context, out.data(), &written, in.data(), &read, nullptr);
    LZ4F_freeDecompressionContext(context);
    if (LZ4F_isError(needed) != 0 || needed != 0 || read != in.size()) {
        return std::nullopt;
    }
    out.resize(written);
    return out;
}

struct CodecCase {
    const char* name;
    Codec compress;
    Codec decompress;
    ByteBuffer magic;  // what the scanner recognises the stream by
};

const CodecCase kCodecs[] = {
    {"zlib", zlibCompress, zlibDecompress, {0x78, 0xDA}},
    {"gzip", gzipCompress, gzipDecompress, {0x1F, 0x8B, 0x08}},
    {"xz", xzCompress, xzDecompress, {0xFD, '7', 'z', 'X', 'Z', 0x00}},
    {"bzip2", bzip2Compress, bzip2Decompress, {'B', 'Z', 'h', '9'}},
    {"zstd", zstdCompress, zstdDecompress, {0x28, 0xB5, 0x2F, 0xFD}},
    {"lz4", lz4Compress, lz4Decompress, {0x04, 0x22, 0x4D, 0x18}},
};

TEST(LinkedLibrariesTest, EachCompressorRoundTripsInItsContainerFormat) {
    const ByteBuffer original = sampleText();
    for (const CodecCase& codec : kCodecs) {
        SCOPED_TRACE(codec.name);
        const std::optional<ByteBuffer> packed = codec.compress(original);
        ASSERT_TRUE(packed.has_value());
        EXPECT_LT(packed->size(), original.size() / 2);
        ASSERT_GE(packed->size(), codec.magic.size());
        EXPECT_EQ(ByteBuffer(packed->begin(), packed->begin() + std::ssize(codec.magic)),
                  codec.magic);
        EXPECT_EQ(codec.decompress(*packed), original);
    }
}

TEST(LinkedLibrariesTest, TruncatedOrDamagedStreamsAreRefused) {
    const ByteBuffer original = sampleText();
    for (const CodecCase& codec : kCodecs) {
        SCOPED_TRACE(codec.name);
        const ByteBuffer packed = codec.compress(original).value();
        for (const std::size_t kept :
             {std::size_t{0}, codec.magic.size(), packed.size() / 2, packed.size() - 1}) {
            SCOPED_TRACE(kept);
            const ByteBuffer truncated(packed.begin(),
                                       packed.begin() + static_cast<std::ptrdiff_t>(kept));
            EXPECT_FALSE(codec.decompress(truncated).has_value());
        }
        // Each stream carries a check of its content (zstd and lz4 as compressed here), so a
        // changed byte in the middle is found.
        ByteBuffer damaged = packed;
        damaged[damaged.size() / 2] ^= 0x55;
        EXPECT_FALSE(codec.decompress(damaged).has_value());
    }
}

// A header from one version over an archive of another is a build that finds its libraries in
// two places; each library says its own version.
TEST(LinkedLibrariesTest, HeadersMatchTheArchivesLinked) {
    EXPECT_STREQ(zlibVersion(), ZLIB_VERSION);
    EXPECT_EQ(lzma_version_number(), std::uint32_t{LZMA_VERSION});
    EXPECT_EQ(ZSTD_versionNumber(), unsigned{ZSTD_VERSION_NUMBER});
    EXPECT_EQ(LZ4_versionNumber(), LZ4_VERSION_NUMBER);
    EXPECT_EQ(std::string(BZ2_bzlibVersion()).substr(0, 4), "1.0.");
    int major = -1;
    int minor = -1;
    int patch = -1;
    yaml_get_version(&major, &minor, &patch);
    EXPECT_EQ(std::string(yaml_get_version_string()),
              std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch));
}

// A YAML node as one line: mappings in braces, sequences in brackets, scalars as they are.
std::string render(yaml_document_t& document, const yaml_node_t* node) {
    std::string out;
    switch (node->type) {
        case YAML_SCALAR_NODE:
            out.assign(reinterpret_cast<const char*>(node->data.scalar.value),
                       node->data.scalar.length);
            break;
        case YAML_SEQUENCE_NODE:
            out = "[";
            for (const yaml_node_item_t* item = node->data.sequence.items.start;
                 item != node->data.sequence.items.top; ++item) {
                out += (out.size() > 1 ? "," : "") +
                       render(document, yaml_document_get_node(&document, *item));
            }
            out += "]";
            break;
        case YAML_MAPPING_NODE:
            out = "{";
            for (const yaml_node_pair_t* pair = node->data.mapping.pairs.start;
                 pair != node->data.mapping.pairs.top; ++pair) {
                out += (out.size() > 1 ? "," : "") +
                       render(document, yaml_document_get_node(&document, pair->key)) + ":" +
                       render(document, yaml_document_get_node(&document, pair->value));
            }
            out += "}";
            break;
        case YAML_NO_NODE:
            break;
    }
    return out;
}

// The first document of a YAML text as one line, or "line L: problem" (lines counted from 1).
std::string readYaml(std::string_view text) {
    yaml_parser_t parser;
    if (yaml_parser_initialize(&parser) == 0) {
        return "cannot initialise the parser";
    }
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()),
                                 text.size());
    yaml_document_t document;
    std::string out;
    if (yaml_parser_load(&parser, &document) == 0) {
        out = "line " + std::to_string(parser.problem_mark.line + 1) + ": " +
              (parser.problem != nullptr ? parser.problem : "no reason given");
    } else {
        const yaml_node_t* root = yaml_document_get_root_node(&document);
        out = root != nullptr ? render(document, root) : "(empty)";
        yaml_document_delete(&document);
    }
    yaml_parser_delete(&parser);
    return out;
}

TEST(LinkedLibrariesTest, LibyamlReadsATemplateAndTellsTheLineOfAnError) {
    const struct {
        std::string_view text;
        std::string_view expected;
    } cases[] = {
        {"meta:\n"
         "  id: tiny\n"
         "  endian: le\n"
         "seq:\n"
         "  - id: magic\n"
         "    contents: [0x7f, ELF]\n"
         "  - id: name\n"
         "    type: strz\n"
         "    encoding: UTF-8\n"
         "doc: |\n"
         "  Gr\xC3\xBC\xC3\x9F"
         "e, \"quoted\"\n",
         "{meta:{id:tiny,endian:le},seq:[{id:magic,contents:[0x7f,ELF]},"
         "{id:name,type:strz,encoding:UTF-8}],doc:Gr\xC3\xBC\xC3\x9F"
         "e, \"quoted\"\n}"},
        {"enums: {ok: 0, 'bad: one': \"\\x01\"}\n", "{enums:{ok:0,bad: one:\x01}}"},
        {"", "(empty)"},
        // A key indented less than its siblings, an unclosed flow sequence, a tab as indentation.
        {"seq:\n  - id: a\n    type: u1\n   size: 2\n",
         "line 4: did not find expected '-' indicator"},
        {"seq: [a, b\nmeta: {}\n", "line 2: did not find expected ',' or ']'"},
        {"meta:\n\tid: x\n", "line 2: found character that cannot start any token"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(readYaml(text), expected);
    }
}

}  // namespace
}  // namespace tessaloom
