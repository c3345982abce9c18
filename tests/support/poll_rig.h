#pragma once
// A polling driver of the family on a fake line, with payload builders, for
// the tests of the poll sequence and its decoders.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/frame_codec.h"
#include "host/line_port.h"
#include "pmbuspower/pmbuspower_419.h"
#include "tests/support/driver_fixture.h"

namespace testsupport {

using Family = pmbuspower_419<veltra_quelm_k418t_419_Data_t, 5535>;
using Bytes = std::vector<uint8_t>;

// The family with its poll state in reach of the tests.
class PollProbe : public Family {
   public:
    using Family::frame_;
    using Family::poll_step_;
    using Family::refresh_status_;
    void set_device_type(const std::string& type) { device_type_ = type; }
    void set_protocol_version(uint8_t v) { protocol_ver_ = v; }
    // The result of the last process_payload.
    int last_result = -100;

   protected:
    int process_payload() override { return last_result = Family::process_payload(); }
};

// A line that is open and keeps what is written to it.
class FakeLine : public LinePort {
   public:
    bool is_open() const override { return open; }
    bool write(const unsigned char* data, size_t length) override {
        written.append(reinterpret_cast<const char*>(data), length);
        return open;
    }
    const std::string& name() const override { return name_; }

    bool open = true;
    std::string written;

   private:
    std::string name_ = "fake";
};

// Payload builders: floats least significant byte first, fixed point high byte first.
inline Bytes f32(float v) {
    Bytes b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}
inline Bytes u16(uint16_t v) {
    return Bytes{static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}
inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
inline uint32_t bits(float v) {
    uint32_t b;
    std::memcpy(&b, &v, 4);
    return b;
}

// What f writes to standard output, printf lines included.
inline std::string stdout_of(const std::function<void()>& f) {
    testing::internal::CaptureStdout();
    f();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

struct PollRig {
    DriverHarness<PollProbe> h;
    std::shared_ptr<FakeLine> line = std::make_shared<FakeLine>();
    PollProbe& drv = *h.drv;

    // The host notes its start as the last-round time; the first poll comes a minute later.
    PollRig() {
        drv.AttachPort(line);
        h.clock.advance(60);
    }

    // The response to the command last sent, with this INFO.
    void respond(const Bytes& info, uint8_t cid1 = 0x40) {
        h.feed(smd::encode_frame(0x20, 1, cid1, 0x00, info.data(), info.size()));
    }
    // Commands sent so far as "CID1/CID2:INFO" in hex, e.g. "40/41:01".
    std::vector<std::string> commands() const {
        std::vector<std::string> out;
        for (const auto& c : h.sink.calls_named("write_pmbus_cmd")) {
            char head[8];
            std::snprintf(head, sizeof head, "%02X/%02X:", c["cid1"].asUInt(), c["cid2"].asUInt());
            out.push_back(head + c["info"].asString());
        }
        return out;
    }
    size_t rounds() const { return h.sink.published.size(); }
};

}  // namespace testsupport
