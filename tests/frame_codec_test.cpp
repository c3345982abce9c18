#include "host/frame_codec.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

namespace smd {
namespace {

using Bytes = std::vector<uint8_t>;

struct Feeder : FrameSink {
    std::vector<Bytes> frames;
    std::vector<FrameError> errors;
    FrameDecoder dec{*this};
    void on_frame(const uint8_t* f, size_t n) override { frames.emplace_back(f, f + n); }
    void on_frame_error(FrameError why) override { errors.push_back(why); }
    void feed(const std::string& s) {
        dec.feed(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    }
};

// Command 0x41/0x45, INFO 1F 02, address 1, version 0x21; decoded with LENID little-endian.
const std::string kExample = "~21014145C0041F02FCBE\r";
const Bytes kExampleDecoded = {0x21, 0x01, 0x41, 0x45, 0x04, 0x00, 0x1F, 0x02};

// Frame body (VER..INFO) with a correct CHKSUM, so a vector carries only the fault it names.
std::string framed(const std::string& body) {
    const uint16_t c = frame_checksum(body.data(), body.size());
    const uint8_t cb[2] = {static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c)};
    return "~" + body + to_hex(cb, 2) + "\r";
}

TEST(FrameCodec, ExampleVectorAndLowercaseTwin) {
    const uint8_t info[] = {0x1F, 0x02};
    EXPECT_EQ(encode_frame(0x21, 0x01, 0x41, 0x45, info, 2), kExample);
    Feeder f;
    f.feed(kExample);
    f.feed("~21014145c0041f02fc7e\r");  // CHKSUM over the lowercase characters as received
    EXPECT_EQ(f.frames, (std::vector<Bytes>{kExampleDecoded, kExampleDecoded}));
    EXPECT_EQ(f.dec.counters().accepted, 2u);
    EXPECT_EQ(f.dec.counters().errors(), 0u);
}

TEST(FrameCodec, LengthChecksumTable) {
    const struct {
        uint16_t lenid;
        uint8_t lchksum;
    } cases[] = {{0x000, 0x0}, {0x002, 0xE}, {0x004, 0xC}, {0x012, 0xD},
                 {0x0F0, 0x1}, {0x100, 0xF}, {0xFFE, 0x4}, {0xFFF, 0x3}};
    for (const auto& c : cases) EXPECT_EQ(length_checksum(c.lenid), c.lchksum) << c.lenid;
}

TEST(FrameCodec, RoundTripsUpToLargestInfo) {
    for (size_t len : {size_t{0}, size_t{1}, size_t{255}, size_t{2046}, kMaxInfoBytes}) {
        Bytes want = {0x20, 0x07, 0x42, 0x00, uint8_t(2 * len), uint8_t((2 * len) >> 8)};
        for (size_t i = 0; i < len; ++i) want.push_back(uint8_t(i * 37 + 11));
        Feeder f;
        f.feed(encode_frame(0x20, 0x07, 0x42, 0x00, want.data() + 6, len));
        ASSERT_EQ(f.frames.size(), 1u) << len;
        EXPECT_EQ(f.frames[0], want) << len;
    }
    const Bytes too_long(kMaxInfoBytes + 1);
    EXPECT_THROW(encode_frame(0, 0, 0, 0, too_long.data(), too_long.size()), std::length_error);
}

// Each faulty frame is followed by its valid twin, which must still decode.
TEST(FrameCodec, EachFaultCountedOnceAndDecoderRecovers) {
    const std::string endless(kMaxFrameChars + 100, '5');
    const struct {
        FrameError why;
        const char* name;
        std::string wire;
    } cases[] = {
        {FrameError::Checksum, "checksum", "~21014145C0041F02FCBF\r"},
        {FrameError::LengthChecksum, "length_checksum", framed("21014145D0041F02")},
        // A LENGTH with a wrong LCHKSUM does not limit the frame to its LENID.
        {FrameError::LengthChecksum, "length_checksum", framed("21014145D0021F02")},
        {FrameError::LengthMismatch, "length_mismatch", framed("21014145C0041F")},
        {FrameError::LengthMismatch, "length_mismatch", "~21014145D0\r"},  // ends in LENGTH
        {FrameError::BadHex, "bad_hex", "~21014145C0041G02FCBE\r"},
        {FrameError::BadHex, "bad_hex", "~21014145C004\n1F02FCBE\r"},
        {FrameError::OddLength, "odd_length", "~21014145C0041F02FCB\r"},
        {FrameError::Oversize, "oversize", "~21014145C0041F02FCBE00\r"},
        {FrameError::Oversize, "oversize", framed("21014145C0041F02AB")},
        // Frames that never end: no trusted LENID, and an odd LENID one past the buffer.
        {FrameError::Oversize, "oversize", "~210141450FFE" + endless},
        {FrameError::Oversize, "oversize", "~210141453FFF" + endless},
        {FrameError::CutBySoi, "cut_by_soi", "~21014145C0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.wire.substr(0, 40));
        EXPECT_STREQ(frame_error_name(c.why), c.name);
        Feeder f;
        f.feed(c.wire + kExample);
        EXPECT_EQ(f.errors, std::vector<FrameError>{c.why});
        const FrameCounters& k = f.dec.counters();
        EXPECT_EQ(k.by_kind[static_cast<size_t>(c.why)], 1u);
        EXPECT_EQ(k.errors(), 1u);
        EXPECT_EQ(k.stray_bytes, 0u);
        EXPECT_EQ(f.frames, std::vector<Bytes>{kExampleDecoded});
        EXPECT_EQ(k.accepted, 1u);
    }
}

TEST(FrameCodec, NoiseAndResetBytesCountedAsStray) {
    Feeder f;
    f.feed("\r\nAT+" + kExample + std::string("\n\0zz", 4) + kExample + "~21014145C0041F");
    f.dec.reset();
    f.feed("02FCBE\r" + kExample);
    EXPECT_EQ(f.frames.size(), 3u);
    EXPECT_EQ(f.dec.counters().stray_bytes, 5u + 4u + 7u);
    EXPECT_EQ(f.dec.counters().errors(), 0u);
}

TEST(FrameCodec, ChunkingDoesNotChangeFrames) {
    const Bytes big(600, 0xA5);
    const std::string stream = kExample + "~2101\r" + "xx" +
                               encode_frame(0x21, 0x02, 0xE1, 0x90, big.data(), big.size()) +
                               encode_frame(0x21, 0x01, 0x42, 0x44, nullptr, 0);
    Feeder whole, bytewise, chunked;
    whole.feed(stream);
    ASSERT_EQ(whole.frames.size(), 3u);
    ASSERT_EQ(whole.errors.size(), 1u);
    for (char c : stream) bytewise.feed(std::string(1, c));
    std::mt19937 rng(418);
    for (size_t pos = 0; pos < stream.size();) {
        const size_t n = std::uniform_int_distribution<size_t>(1, 64)(rng);
        chunked.feed(stream.substr(pos, n));
        pos += n;
    }
    for (const Feeder* f : {&bytewise, &chunked}) {
        EXPECT_EQ(f->frames, whole.frames);
        EXPECT_EQ(f->errors, whole.errors);
        EXPECT_EQ(f->dec.counters().stray_bytes, 2u);
    }
}

// Faults at every place in a frame (header, LENGTH, INFO, cap) decode the same
// whether the bytes come at once, one by one or in chunks of any size.
TEST(FrameCodec, FaultsDecodeTheSameInAnyChunking) {
    const std::string stream =
        "~21014145C0041F02FCBF\r" + framed("21014145D0021F02") + kExample +
        "~21014145C0041G02FCBE\r" + "~210141" + kExample + "~21014145C0041F02FCBE00\r" +
        "~21014145C004\n1F02FCBE\r" + "~21014145c0041f02fc7e\r" + "~210141450FFE" +
        std::string(kMaxFrameChars, 'a') + "\r" + kExample + "~21014145C0041F02FCB\r" + kExample;
    Feeder whole;
    whole.feed(stream);
    ASSERT_EQ(whole.frames.size(), 5u);
    ASSERT_EQ(whole.errors.size(), 8u);
    for (unsigned seed = 1; seed <= 8; ++seed) {
        Feeder chunked;
        std::mt19937 rng(seed);
        const size_t longest = seed == 1 ? 1 : size_t{1} << seed;
        for (size_t pos = 0; pos < stream.size();) {
            const size_t n = std::uniform_int_distribution<size_t>(1, longest)(rng);
            chunked.feed(stream.substr(pos, n));
            pos += n;
        }
        EXPECT_EQ(chunked.frames, whole.frames) << seed;
        EXPECT_EQ(chunked.errors, whole.errors) << seed;
    }
}

TEST(FrameCodec, HexHelpers) {
    Bytes out;
    EXPECT_TRUE(from_hex(" 1f 02\n7E", out));
    EXPECT_EQ(out, (Bytes{0x1F, 0x02, 0x7E}));
    EXPECT_EQ(to_hex(out.data(), out.size()), "1F027E");
    EXPECT_FALSE(from_hex("1F0", out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(from_hex("1G", out));
}

}  // namespace
}  // namespace smd
