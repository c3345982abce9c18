// Control requests: the command frames sent for codes 300, 310 and 320, the
// results, the output buffer and the state left behind, and requests that are
// malformed or hostile.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/alarm_calls.h"

namespace {

using testsupport::RuleHarness;

// One command as it went out: CID1, CID2 and INFO in hex.
std::string command_text(const Json::Value& c) {
    char head[16];
    std::snprintf(head, sizeof head, "%02X/%02X ", c["cid1"].asUInt(), c["cid2"].asUInt());
    return head + c["info"].asString();
}

struct Control : RuleHarness {
    int output_length = -7;  // untouched marker
    unsigned char output[8];

    explicit Control(const char* model = nullptr) {
        std::memset(output, 0xAA, sizeof output);
        if (model) d().device_type_ = model;
    }
    int call(int code, const std::string& request, int output_size = 8) {
        sink.clear();
        return d().DeviceIoControl(code, request.data(), static_cast<int>(request.size()), output,
                                   output_size, output_length);
    }
    std::vector<std::string> commands() const {
        std::vector<std::string> out;
        for (const Json::Value& c : sink.calls_named("write_pmbus_cmd"))
            out.push_back(command_text(c));
        return out;
    }
    int32_t output_int() const {
        int32_t v;
        std::memcpy(&v, output, sizeof v);
        return v;
    }
};

using Commands = std::vector<std::string>;

struct RequestCase {
    const char* model;
    int code;
    std::string request;
    int result;
    Commands sent;
};

TEST(ControlCommands, FramesAndResultsByModel) {
    const RequestCase cases[] = {
        // Set-points: hundredths high byte first for one model, a float for all others.
        {"prn37_419",
         310,
         R"({"signal_id":"4196A3101001","SetValue":"53.5"})",
         0,
         {"42/49 8514E6"}},
        {"veltra_quelm_k418t_419",
         310,
         R"({"signal_id":"4196A3101001","SetValue":"53.5"})",
         0,
         {"42/48 DC00005642"}},
        {"prn37_419",
         310,
         R"({"signal_id":"4196A3101001","SetValue":"-0.015"})",
         0,
         {"42/49 85FFFF"}},
        {"prn37_419",
         310,
         R"({"signal_id":"4196A3101001","SetValue":-0.015})",
         0,
         {"42/49 85FFFF"}},
        {"w604j_419",
         310,
         R"({"signal_id":"150600410010","SetValue":48})",
         0,
         {"42/48 EB00004042"}},
        {"k418t_419",
         310,
         R"({"signal_id":"150600370010","SetValue":"x"})",
         0,
         {"42/48 F200000000"}},
        {"prn37_419", 310, R"({"signal_id":"4196A3201001","SetValue":"700"})", 0, {"42/49 841170"}},
        {"tcx09b_419",
         310,
         R"({"signal_id":"4196A3201001","SetValue":"1"})",
         0,
         {"42/48 DB0000803F"}},
        {"prn37_419", 310, R"({"signal_id":"4196A3101001","SetValue":"nan"})", 0, {"42/49 850000"}},
        {"prn37_419",
         310,
         R"({"signal_id":"4196A3101001","SetValue":"1e300"})",
         0,
         {"42/49 850000"}},
        {"prn37_419", 310, R"({"signal_id":"4196A3101001","SetValue":true})", 0, {"42/49 850000"}},
        // Not handled: the host's result, nothing sent.
        {"prn37_419", 310, R"({"signal_id":"4196A3201001"})", 0, {}},
        {"prn37_419", 310, R"({"signal_id":"4196A3201001","SetValue":null})", 0, {}},
        {"prn37_419", 310, R"({"signal_id":"","SetValue":"1"})", 0, {}},
        {"prn37_419", 310, R"({"signal_id":"4196A3101002","SetValue":"1"})", 0, {}},
        {"prn37_419", 310, R"({"SetValue":"1"})", 0, {}},
        {"prn37_419", 310, R"({"signal_id":["4196A3101001"],"SetValue":"1"})", 0, {}},
        {"prn37_419", 310, R"({"signal_id":"4196A3101001","SetValue":{"v":1}})", 0, {}},
        {"prn37_419", 310, R"(["4196A3101001", 53.5])", 0, {}},
        {"prn37_419", 310, "42", 0, {}},
        // Not JSON at all.
        {"prn37_419", 310, R"({"signal_id":"4196A3101001","SetVa)", -1, {}},
        {"prn37_419", 310, "", -1, {}},
        // Rectifier controls.
        {"tcx09b_419", 320, "419500201003", 0, {"41/45 2003"}},
        {"veltra_quelm_k418t_419", 320, "419500201003", 0, {"41/45 E503"}},
        {"prn37_419", 320, "419500200", 0, {"41/45 2F00"}},
        {"veltra_quelm_k418t_419", 320, "419500200", 0, {"41/45 E600"}},
        {"w604j_419", 320, "4195002001234", 0, {"41/45 2F7B"}},
        {"veltra_quelm_k418t_419", 320, "419500201300", 0, {"41/45 E52C"}},
        {"veltra_quelm_k418t_419", 320, "419500600001", 0, {"41/45 1F02"}},
        {"k418t_419", 320, "419500600001", 0, {"41/45 1F02"}},
        {"veltra_quelm_k418t_419", 320, "419500601001", 0, {"41/45 1002"}},
        {"prn37_419", 320, "419500602001", 0, {"41/45 1102"}},
        {"prn37_419", 320, "41950020", 0, {}},
        {"prn37_419", 320, "4195006000010", 0, {}},
        {"prn37_419", 320, "", 0, {}},
        // Raw clock command to the rectifier group.
        {"veltra_quelm_k418t_419",
         300,
         std::string("\x01\x02\x03\x04\x05\x06\x07", 7),
         0,
         {"41/4E 01020304050607"}},
        {"veltra_quelm_k418t_419", 300, std::string("\x01\x02\x03\x04\x05\x06", 6), -1, {}},
        {"veltra_quelm_k418t_419", 300, std::string(8, '\0'), -1, {}},
    };
    for (const RequestCase& c : cases) {
        Control h(c.model);
        EXPECT_EQ(c.result, h.call(c.code, c.request)) << c.model << " " << c.request;
        EXPECT_EQ(c.sent, h.commands()) << c.model << " " << c.request;
        EXPECT_EQ(-1, h.d().io_result_) << c.request;
    }
}

TEST(ControlCommands, StateLeftByEachCode) {
    Control h;
    h.d().io_result_ = 5;
    h.call(300, "1234567");
    EXPECT_EQ(300, h.d().poll_step_);
    EXPECT_EQ(-1, h.d().io_result_);

    h.d().io_result_ = 5;
    h.call(310, "not json");
    EXPECT_EQ(310, h.d().poll_step_);
    EXPECT_EQ(-1, h.d().io_result_);

    h.d().io_result_ = 5;
    h.call(320, "419500600001");
    EXPECT_EQ(320, h.d().refresh_status_);
    EXPECT_EQ(310, h.d().poll_step_);  // left as it was
    EXPECT_EQ(-1, h.d().io_result_);
}

TEST(ControlCommands, RawCommandOutput) {
    Control h;
    EXPECT_EQ(0, h.call(300, "ABCDEFG", 4));
    EXPECT_EQ(4, h.output_length);
    EXPECT_EQ(1, h.output_int());

    // Too small for the result: nothing written, length untouched.
    Control small;
    EXPECT_EQ(0, small.call(300, "ABCDEFG", 3));
    EXPECT_EQ(-7, small.output_length);
    EXPECT_EQ(0xAA, small.output[0]);

    // A wrong length writes nothing either.
    Control bad;
    EXPECT_EQ(-1, bad.call(300, "ABCDEF", 8));
    EXPECT_EQ(-7, bad.output_length);
}

TEST(ControlCommands, OtherCodesReportThePendingResult) {
    Control h;
    EXPECT_EQ(0, h.call(1, "", 8));
    EXPECT_EQ(4, h.output_length);
    EXPECT_EQ(-1, h.output_int());  // nothing sent yet

    h.call(320, "419500201003");
    h.d().io_result_ = 1;  // as the poll sequence does on a reply
    EXPECT_EQ(0, h.call(7, "anything", 8));
    EXPECT_EQ(1, h.output_int());
    EXPECT_EQ(Commands{}, h.commands());

    std::memset(h.output, 0xAA, sizeof h.output);
    EXPECT_EQ(0, h.call(1, "", 2));
    EXPECT_EQ(0, h.output_length);
    EXPECT_EQ(0xAA, h.output[0]);
}

// Requests are untrusted bytes: nothing may be read or written outside them.
TEST(ControlCommands, HostileRequests) {
    Control h("prn37_419");
    int len = -7;

    // Exactly as long as the text, no terminating zero (the sanitizer build
    // catches a read past it).
    const std::vector<char> id(std::begin("419500201003"), std::end("419500201003") - 1);
    ASSERT_EQ(12u, id.size());
    EXPECT_EQ(0, h.d().DeviceIoControl(320, id.data(), 12, nullptr, 0, len));
    const std::string json = R"({"signal_id":"4196A3101001","SetValue":"53.5"})";
    const std::vector<char> body(json.begin(), json.end());
    h.sink.clear();
    EXPECT_EQ(
        0, h.d().DeviceIoControl(310, body.data(), static_cast<int>(body.size()), nullptr, 0, len));
    EXPECT_EQ(Commands{"42/49 8514E6"}, h.commands());

    // The request is every byte of its length: a zero byte inside does not end
    // it, so the text is not the whole-text signal ID and nothing is sent.
    h.sink.clear();
    EXPECT_EQ(0, h.call(320, std::string("419500600001\0junk", 17)));
    EXPECT_EQ(Commands{}, h.commands());
    EXPECT_EQ(0, h.call(320, std::string("419500600001", 12)));
    EXPECT_EQ(Commands{"41/45 1F02"}, h.commands());

    // No request bytes at all, or a length that lies about them.
    h.sink.clear();
    EXPECT_EQ(-1, h.d().DeviceIoControl(300, nullptr, 7, h.output, 8, len));
    EXPECT_EQ(0, h.d().DeviceIoControl(320, nullptr, 12, h.output, 8, len));
    EXPECT_EQ(-1, h.d().DeviceIoControl(310, nullptr, 40, h.output, 8, len));
    EXPECT_EQ(0, h.d().DeviceIoControl(320, id.data(), -5, h.output, 8, len));
    EXPECT_EQ(Commands{}, h.commands());

    // No output buffer, whatever size is claimed.
    len = -7;
    EXPECT_EQ(0, h.d().DeviceIoControl(1, nullptr, 0, nullptr, 64, len));
    EXPECT_EQ(0, len);
    len = -7;
    EXPECT_EQ(0, h.d().DeviceIoControl(300, "1234567", 7, nullptr, 64, len));
    EXPECT_EQ(-7, len);

    // Nesting deeper than the JSON reader allows is not JSON.
    const std::string deep = std::string(5000, '[') + std::string(5000, ']');
    EXPECT_EQ(-1, h.call(310, deep));
    EXPECT_EQ(Commands{}, h.commands());
}

}  // namespace

namespace {

TEST(ControlCommands, WholeFrameOnTheLine) {
    Control h("prn37_419");
    h.call(310, R"({"signal_id":"4196A3101001","SetValue":"53.5"})");
    const auto sent = h.sink.calls_named("write_pmbus_cmd");
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ("~21014249A0068514E6FC45", sent[0]["frame"].asString());
}

}  // namespace
