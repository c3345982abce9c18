// Which frames the gateway as master hands to a driver, and how long it waits
// for a response at the line's speed.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/frame_codec.h"
#include "tools/smdgw/master/response_match.h"
#include "tools/smdgw/master/response_timing.h"

namespace {

using smdgw::master::classify_frame;
using smdgw::master::FrameVerdict;
using smdgw::master::sent_command;

std::vector<uint8_t> decoded(uint8_t adr, uint8_t cid1, uint8_t cid2_or_rtn,
                             std::vector<uint8_t> info = {}) {
    std::vector<uint8_t> f = {0x20, adr, cid1, cid2_or_rtn};
    const unsigned lenid = 2 * info.size();
    f.push_back(static_cast<uint8_t>(lenid & 0xFF));
    f.push_back(static_cast<uint8_t>(lenid >> 8));
    f.insert(f.end(), info.begin(), info.end());
    return f;
}

TEST(MasterResponseMatch, OnlyTheResponseToTheCommandJustSentReachesTheDriver) {
    // The command 0x41/0x43 to address 1, as the driver wrote it.
    const auto sent = sent_command(smd::encode_frame(0x20, 1, 0x41, 0x43, nullptr, 0));
    ASSERT_TRUE(sent.valid());
    struct Case {
        std::vector<uint8_t> frame;
        FrameVerdict verdict;
        const char* what;
    };
    const Case cases[] = {
        {decoded(1, 0x41, 0x00, {0x00, 0x02}), FrameVerdict::Response, "normal response"},
        {decoded(1, 0x41, 0x06), FrameVerdict::Response, "last error return code"},
        {decoded(1, 0x41, 0x43), FrameVerdict::Echo, "our own command back"},
        {decoded(1, 0x41, 0x07), FrameVerdict::Unexpected, "return code beyond 0x06"},
        {decoded(1, 0x40, 0x00), FrameVerdict::Unexpected, "another group's response"},
        {decoded(1, 0x41, 0x44), FrameVerdict::Unexpected, "another command of this address"},
        {decoded(2, 0x41, 0x00), FrameVerdict::OtherAddress, "another plant's response"},
        {decoded(2, 0x41, 0x43), FrameVerdict::OtherAddress, "another master's command"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(classify_frame(c.frame.data(), c.frame.size(), sent), c.verdict) << c.what;
    // A command that is no frame matches nothing.
    const auto broken = sent_command("~2001414");
    EXPECT_FALSE(broken.valid());
    const auto response = decoded(1, 0x41, 0x00);
    EXPECT_EQ(classify_frame(response.data(), response.size(), broken), FrameVerdict::Unexpected);
}

TEST(MasterResponseTiming, TheWholeResponseIsAwaitedAsLongAsItsLengthNeeds) {
    using namespace smdgw::master;
    // 1000 characters at 9600 baud, ten bits each: 1.0417 s.
    EXPECT_NEAR(std::chrono::duration<double>(line_time(1000, 9600)).count(), 1000 * 10 / 9600.0,
                1e-9);
    const std::vector<uint8_t> info(300, 0xAB);
    const std::string wire = smd::encode_frame(0x20, 1, 0x41, 0x00, info.data(), info.size());
    FrameProgress p;
    const auto t0 = Clock::now();
    // Noise before the frame is no frame.
    const std::string noise = "\x81\x90";
    p.feed(reinterpret_cast<const uint8_t*>(noise.data()), noise.size(), t0);
    EXPECT_FALSE(p.in_frame());
    // Until LENID is in, a header's worth is expected; then the whole frame.
    p.feed(reinterpret_cast<const uint8_t*>(wire.data()), 8, t0);
    EXPECT_TRUE(p.in_frame());
    EXPECT_EQ(p.expected_chars(), 18u);
    p.feed(reinterpret_cast<const uint8_t*>(wire.data()) + 8, 20, t0 + std::chrono::seconds(1));
    EXPECT_EQ(p.expected_chars(), wire.size());
    EXPECT_EQ(p.started(), t0);
    p.feed(reinterpret_cast<const uint8_t*>(wire.data()) + 28, wire.size() - 28, t0);
    EXPECT_FALSE(p.in_frame()) << "EOI ends the frame";
}

}  // namespace
