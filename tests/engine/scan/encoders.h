// Compressed streams made by the compressors' own libraries, for the tests of the validators,
// of payloads and of the deep scan.
#pragma once

#include <bzlib.h>
#include <gtest/gtest.h>
#include <lz4.h>
#include <lz4frame.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/engine.h"

namespace tessaloom::testing::encoders {

// 100000 bytes that compress well but not trivially: words in a random order.
inline ByteBuffer sampleText(std::size_t size = 100000) {
    static constexpr std::string_view kWords[] = {"kernel ",    "rootfs ",   "0x1f8b ", "block\n",
                                                  "partition ", "\x01\x02 ", "crc "};
    ByteBuffer data;
    std::uint32_t state = 2463534242U;
    while (data.size() < size) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const std::string_view word = kWords[state % std::size(kWords)];
        data.insert(data.end(), word.begin(), word.end());
    }
    data.resize(size);
    return data;
}

// zlib's deflate: windowBits 15 wraps it as zlib, 31 as gzip with the header's fields given.
inline ByteBuffer deflated(const ByteBuffer& in, int level, int windowBits,
                           gz_header* header = nullptr) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, level, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
    if (header != nullptr) {
        EXPECT_EQ(deflateSetHeader(&stream, header), Z_OK);
    }
    ByteBuffer out(deflateBound(&stream, static_cast<uLong>(in.size())) + 4096);
    stream.next_in = const_cast<Bytef*>(in.data());
    stream.avail_in = static_cast<uInt>(in.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

inline ByteBuffer gzipped(const ByteBuffer& in, const char* name = nullptr, bool headerCrc = false,
                          bool extras = false) {
    gz_header header{};
    header.time = 1700000000;
    header.os = 3;
    std::string extra = "AB\x04\x00wxyz";
    if (extras) {
        header.extra = reinterpret_cast<Bytef*>(extra.data());
        header.extra_len = static_cast<uInt>(extra.size());
        header.comment = reinterpret_cast<Bytef*>(const_cast<char*>("built by a test"));
    }
    header.name = reinterpret_cast<Bytef*>(const_cast<char*>(name));
    header.hcrc = headerCrc ? 1 : 0;
    return deflated(in, 6, 31, &header);
}

inline ByteBuffer xzed(const ByteBuffer& in, lzma_check check) {
    ByteBuffer out(in.size() + in.size() / 2 + 4096);
    std::size_t size = 0;
    EXPECT_EQ(lzma_easy_buffer_encode(6, check, nullptr, in.data(), in.size(), out.data(), &size,
                                      out.size()),
              LZMA_OK);
    out.resize(size);
    return out;
}

// An .lzma stream with an end marker and no size, as xz --format=lzma writes it.
inline ByteBuffer lzmaAlone(const ByteBuffer& in, std::uint32_t dictionary = 1U << 23) {
    lzma_options_lzma options{};
    EXPECT_FALSE(lzma_lzma_preset(&options, 1));
    options.dict_size = dictionary;
    lzma_stream stream = LZMA_STREAM_INIT;
    EXPECT_EQ(lzma_alone_encoder(&stream, &options), LZMA_OK);
    ByteBuffer out(in.size() + in.size() / 2 + 4096);
    stream.next_in = in.data();
    stream.avail_in = in.size();
    stream.next_out = out.data();
    stream.avail_out = out.size();
    EXPECT_EQ(lzma_code(&stream, LZMA_FINISH), LZMA_STREAM_END);
    out.resize(static_cast<std::size_t>(stream.total_out));
    lzma_end(&stream);
    return out;
}

inline ByteBuffer bzipped(const ByteBuffer& in, int level) {
    ByteBuffer out(in.size() + in.size() / 50 + 4096);
    auto size = static_cast<unsigned>(out.size());
    EXPECT_EQ(BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &size,
                                       const_cast<char*>(reinterpret_cast<const char*>(in.data())),
                                       static_cast<unsigned>(in.size()), level, 0, 0),
              BZ_OK);
    out.resize(size);
    return out;
}

// zstd with the content size in the header (one shot), or streamed without it, with a checksum.
inline ByteBuffer zstded(const ByteBuffer& in, bool streamed) {
    ByteBuffer out(ZSTD_compressBound(in.size()));
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 3);
    std::size_t size = 0;
    if (!streamed) {
        size = ZSTD_compress2(context, out.data(), out.size(), in.data(), in.size());
    } else {
        ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
        ZSTD_outBuffer output{out.data(), out.size(), 0};
        ZSTD_inBuffer input{in.data(), in.size(), 0};
        EXPECT_EQ(ZSTD_compressStream2(context, &output, &input, ZSTD_e_continue), 0U);
        EXPECT_EQ(ZSTD_compressStream2(context, &output, &input, ZSTD_e_end), 0U);
        size = output.pos;
    }
    ZSTD_freeCCtx(context);
    EXPECT_FALSE(ZSTD_isError(size));
    out.resize(size);
    return out;
}

inline ByteBuffer lz4ed(const ByteBuffer& in, bool checksums) {
    LZ4F_preferences_t preferences{};
    preferences.frameInfo.blockSizeID = LZ4F_max64KB;
    if (checksums) {
        preferences.frameInfo.contentSize = in.size();
        preferences.frameInfo.contentChecksumFlag = LZ4F_contentChecksumEnabled;
        preferences.frameInfo.blockChecksumFlag = LZ4F_blockChecksumEnabled;
    }
    ByteBuffer out(LZ4F_compressFrameBound(in.size(), &preferences));
    const std::size_t size =
        LZ4F_compressFrame(out.data(), out.size(), in.data(), in.size(), &preferences);
    EXPECT_FALSE(LZ4F_isError(size));
    out.resize(size);
    return out;
}

// The legacy frame: the magic, then each 8 MiB of the input as a block after its size.
inline ByteBuffer lz4Legacy(const ByteBuffer& in) {
    ByteBuffer out{0x02, 0x21, 0x4C, 0x18};
    for (std::size_t at = 0; at < in.size(); at += 8 << 20) {
        const int length = static_cast<int>(std::min<std::size_t>(in.size() - at, 8 << 20));
        ByteBuffer block(static_cast<std::size_t>(LZ4_compressBound(length)));
        const int size = LZ4_compress_default(reinterpret_cast<const char*>(in.data() + at),
                                              reinterpret_cast<char*>(block.data()), length,
                                              static_cast<int>(block.size()));
        EXPECT_GT(size, 0);
        for (int i = 0; i < 4; ++i) {
            out.push_back(static_cast<std::uint8_t>(static_cast<unsigned>(size) >> (8 * i)));
        }
        out.insert(out.end(), block.begin(), block.begin() + size);
    }
    return out;
}

// A zstd frame of `size` zero bytes in RLE blocks of 128 KiB: a few bytes for each block, made
// in no time for any size.
inline ByteBuffer zeroFrame(std::uint64_t size) {
    ByteBuffer frame{0x28, 0xb5, 0x2f, 0xfd, 0x00, 0x38};
    constexpr std::uint64_t kBlock = 128 << 10;
    const std::uint64_t blocks = size / kBlock;
    for (std::uint64_t i = 0; i < blocks; ++i) {
        const std::uint64_t header = kBlock << 3 | 1U << 1 | (i + 1 == blocks ? 1U : 0U);
        frame.push_back(static_cast<std::uint8_t>(header));
        frame.push_back(static_cast<std::uint8_t>(header >> 8));
        frame.push_back(static_cast<std::uint8_t>(header >> 16));
        frame.push_back(0);
    }
    return frame;
}

inline ByteBuffer joined(ByteBuffer a, const ByteBuffer& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace tessaloom::testing::encoders
