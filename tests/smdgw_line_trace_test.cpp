// smdgw -v: one trace line per frame with time, direction, header fields,
// wire hex and the decoder's verdict, fed by a device's frame verdicts.

#include <gtest/gtest.h>
#include <json/value.h>

#include <regex>
#include <string>
#include <vector>

#include "host/frame_codec.h"
#include "host/smd_spdevice.h"
#include "tests/support/captured_file.h"
#include "tools/smdgw/output/line_trace.h"

namespace {

using testsupport::CapturedFile;

// 2026-01-02 03:04:05.678 local time is not fixed; the milliseconds are.
constexpr int64_t kNowMs = 1767323045678;

std::string frame(uint8_t adr, uint8_t cid1, uint8_t cid2, std::vector<uint8_t> info = {}) {
    return smd::encode_frame(0x20, adr, cid1, cid2, info.data(), info.size());
}

// A device named as the configuration names it, reporting to the trace.
void attach(SMDSPDevice& device, const char* name, smdgw::LineTrace& trace) {
    Json::Value entry;
    entry["name"] = name;
    device.Init({}, 0, entry);
    device.SetSink(&trace);
}

struct Traced {
    CapturedFile out;
    SMDSPDevice device;
    smdgw::LineTrace trace;
    explicit Traced(int verbosity) : trace(out.file(), verbosity, [] { return kNowMs; }) {
        attach(device, "plant1", trace);
    }
    void feed(std::string wire) {
        device.process(reinterpret_cast<unsigned char*>(&wire[0]),
                       static_cast<unsigned>(wire.size()));
    }
    // The lines without their time stamps.
    std::vector<std::string> lines() {
        std::vector<std::string> v;
        const std::string t = out.text();
        const std::string stamp = smdgw::LineTrace::time_text(kNowMs) + " ";
        size_t start = 0;
        while (start < t.size()) {
            const size_t end = t.find('\n', start);
            std::string line = t.substr(start, end - start);
            if (line.rfind(stamp, 0) == 0) line = line.substr(stamp.size());
            v.push_back(line);
            start = end + 1;
        }
        return v;
    }
};

TEST(LineTrace, CommandAndResponseLines) {
    Traced t(1);
    t.feed(frame(1, 0x42, 0x44));
    t.feed(frame(1, 0x42, 0x00, {0x11, 0x22}));
    t.feed(frame(1, 0xE1, 0x90));
    const auto lines = t.lines();
    ASSERT_EQ(lines.size(), 3u) << t.out.text();
    EXPECT_EQ(lines[0], "plant1 command  ADR=01 CID1=42 CID2=44 INFO=0 200142440000FDAF accepted");
    EXPECT_EQ(lines[1],
              "plant1 response ADR=01 CID1=42 RTN=00 INFO=2 20014200C0041122FCDA accepted");
    EXPECT_EQ(lines[2], "plant1 command  ADR=01 CID1=E1 CID2=90 INFO=0 2001E1900000FD9E accepted");
}

TEST(LineTrace, TimeInMilliseconds) {
    const std::string t = smdgw::LineTrace::time_text(kNowMs);
    EXPECT_TRUE(std::regex_match(t, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.678)"))) << t;
    EXPECT_EQ(smdgw::LineTrace::time_text(1000).substr(19), ".000");
}

TEST(LineTrace, DirectionFromCid2OrReturnCode) {
    const struct {
        uint8_t byte3;
        const char* direction;
    } cases[] = {{0x00, "response"}, {0x02, "response"}, {0x06, "response"},
                 {0x41, "command"},  {0x44, "command"},  {0x90, "command"}};
    for (const auto& c : cases)
        EXPECT_STREQ(smdgw::LineTrace::direction(c.byte3), c.direction) << int(c.byte3);
}

TEST(LineTrace, VerdictNamesEachErrorKind) {
    const std::string ok = frame(1, 0x42, 0x44);  // ~200142440000FDAF\r
    const std::string two = frame(1, 0x42, 0x00, {0x11, 0x22});
    const std::string one = frame(1, 0x42, 0x00, {0x11});
    const struct {
        smd::FrameError kind;
        std::string wire;
    } cases[] = {
        {smd::FrameError::Checksum, "~200142440000FDAE\r"},
        {smd::FrameError::LengthChecksum, "~200142441000FDAF\r"},
        {smd::FrameError::LengthMismatch, two.substr(0, 15) + two.substr(17)},
        {smd::FrameError::BadHex, "~2001G2440000FDAF\r"},
        {smd::FrameError::OddLength, "~20014244000FDAF\r"},
        {smd::FrameError::Oversize, one.substr(0, one.size() - 1) + "0000\r"},
        {smd::FrameError::CutBySoi, "~2001" + ok},
    };
    for (const auto& c : cases) {
        Traced t(1);
        t.feed(c.wire);
        const std::string name = smd::frame_error_name(c.kind);
        ASSERT_EQ(t.device.FrameCounters().by_kind[static_cast<size_t>(c.kind)], 1u) << name;
        const auto lines = t.lines();
        ASSERT_FALSE(lines.empty()) << name;
        EXPECT_EQ(lines[0], "plant1 rejected: " + name);
    }
}

TEST(LineTrace, SecondLevelListsInfoBytes) {
    Traced t(2);
    t.feed(frame(1, 0x42, 0x00, {0x11, 0x22, 0xAB}));
    t.feed(frame(1, 0x42, 0x44));
    const auto lines = t.lines();
    ASSERT_EQ(lines.size(), 4u) << t.out.text();
    EXPECT_EQ(lines[1], "    INFO 11 22 AB");
    EXPECT_EQ(lines[3], "    INFO (none)");
}

TEST(LineTrace, FramesForOtherAddressesAreMarked) {
    Traced t(1);
    t.device.SetAddressFilter(1);
    t.feed(frame(2, 0x42, 0x44));
    const auto lines = t.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("ADR=02"), std::string::npos);
    EXPECT_NE(lines[0].find("other address: not delivered"), std::string::npos) << lines[0];
}

TEST(LineTrace, PrefixStartsEveryLine) {
    CapturedFile out;
    SMDSPDevice device;
    smdgw::LineTrace trace(
        out.file(), 2, [] { return kNowMs; }, "D! ");
    attach(device, "p", trace);
    std::string wire = frame(1, 0x42, 0x44) + "~20\r";
    device.process(reinterpret_cast<unsigned char*>(&wire[0]), static_cast<unsigned>(wire.size()));
    const std::string text = out.text();
    size_t lines = 0;
    for (size_t pos = 0; pos < text.size(); pos = text.find('\n', pos) + 1, ++lines)
        EXPECT_EQ(text.compare(pos, 3, "D! "), 0) << text;
    EXPECT_EQ(lines, 3u);
}

}  // namespace
