// How the host hands the line to a driver: one process_payload per valid
// frame with the decoded current frame, process_error per faulty one, the
// address filter, and commands written to the port.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/frame_codec.h"
#include "host/pmbus_protocol.h"
#include "tests/support/recording_sink.h"

namespace {

struct FakePort : LinePort {
    std::string written;
    bool open = true;
    std::string port_name = "fake";
    bool is_open() const override { return open; }
    bool write(const unsigned char* data, size_t length) override {
        written.append(reinterpret_cast<const char*>(data), length);
        return open;
    }
    const std::string& name() const override { return port_name; }
};

struct Driver : PMBusProtocol {
    std::vector<std::vector<unsigned char>> frames;
    int errors = 0;
    int process_payload() override {
        frames.emplace_back(frame_, frame_ + frame_len_);
        return 1;
    }
    int process_error() override {
        ++errors;
        return 1;
    }
    void feed(std::string wire) {
        process(reinterpret_cast<unsigned char*>(&wire[0]), static_cast<unsigned>(wire.size()));
    }
};

std::string frame(uint8_t adr, uint8_t cid1, uint8_t cid2, std::vector<uint8_t> info) {
    return smd::encode_frame(0x21, adr, cid1, cid2, info.data(), info.size());
}

TEST(HostFrameDelivery, DecodedFrameLayout) {
    Driver d;
    d.feed(frame(1, 0x42, 0x00, {0x11, 0x22, 0x33}));
    ASSERT_EQ(d.frames.size(), 1u);
    // VER ADR CID1 RTN, LENID 6 little-endian, INFO.
    EXPECT_EQ(d.frames[0],
              (std::vector<unsigned char>{0x21, 0x01, 0x42, 0x00, 0x06, 0x00, 0x11, 0x22, 0x33}));
}

TEST(HostFrameDelivery, FaultyFramesGoToProcessError) {
    Driver d;
    testsupport::RecordingSink sink;
    d.SetSink(&sink);
    std::string bad = frame(1, 0x40, 0x41, {0x01});
    bad[bad.size() - 2] = bad[bad.size() - 2] == '0' ? '1' : '0';  // break CHKSUM
    d.feed("junk" + bad + frame(1, 0x40, 0x41, {}));
    EXPECT_EQ(d.errors, 1);
    EXPECT_EQ(d.frames.size(), 1u);
    const auto err = sink.calls_named("process_error");
    ASSERT_EQ(err.size(), 1u);
    EXPECT_EQ(err[0]["kind"].asString(), "checksum");
    EXPECT_EQ(d.FrameCounters().accepted, 1u);
}

TEST(HostFrameDelivery, AddressFilterKeepsOtherPlantsOut) {
    Driver d;
    Json::Value e;
    e["address"] = 2;
    d.InitSetting(e);
    d.feed(frame(1, 0x42, 0x44, {}) + frame(2, 0x42, 0x44, {}) + frame(3, 0x42, 0x44, {}));
    ASSERT_EQ(d.frames.size(), 1u);
    EXPECT_EQ(d.frames[0][1], 2);
    EXPECT_EQ(d.FramesFiltered(), 2u);
    EXPECT_EQ(d.Address(), 2);
}

TEST(HostFrameDelivery, CommandsGoToThePortWithVersionAndAddress) {
    struct V21 : Driver {
        V21() { protocol_ver_ = 0x21; }
    } d;
    auto port = std::make_shared<FakePort>();
    d.AttachPort(port);
    testsupport::RecordingSink sink;
    d.SetSink(&sink);
    const unsigned char info[] = {0x1F, 0x02};
    EXPECT_GT(d.write_pmbus_cmd(0x41, 0x45, info, 2), 0);
    EXPECT_EQ(port->written, "~21014145C0041F02FCBE\r");
    const auto calls = sink.calls_named("write_pmbus_cmd");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0]["cid1"].asInt(), 0x41);
    EXPECT_EQ(calls[0]["cid2"].asInt(), 0x45);
    EXPECT_EQ(calls[0]["info"].asString(), "1F02");
    EXPECT_EQ(calls[0]["frame"].asString(), "~21014145C0041F02FCBE");
    ASSERT_EQ(sink.events_named("command").size(), 1u);
    EXPECT_TRUE(sink.events_named("command")[0]["sent"].asBool());

    // Without an open port the command is still reported, as not sent.
    port->open = false;
    EXPECT_LT(d.write_pmbus_cmd(0x41, 0x45), 0);
    EXPECT_FALSE(sink.events_named("command")[1]["sent"].asBool());
    EXPECT_EQ(d.RefreshStatus(), 0);
}

}  // namespace
