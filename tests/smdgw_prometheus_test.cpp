// smdgw --prometheus: valid text exposition, base units, the _up gauge
// following rounds and the communication alarm, atomic replacement.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <map>
#include <string>

#include "host/smd_vdevice.h"
#include "record/veltra_record.h"
#include "tests/support/monitoring_formats.h"
#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"
#include "tools/smdgw/core/device_state.h"
#include "tools/smdgw/core/fanout_sink.h"
#include "tools/smdgw/output/prometheus_file.h"

namespace {

using testsupport::parse_prometheus;
using testsupport::TempDir;

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream os;
    os << in.rdbuf();
    return os.str();
}

veltra_record_t record_with(float volts, unsigned modules) {
    veltra_record_t r;
    std::memset(&r, 0, sizeof r);
    r.channel_count = static_cast<uint8_t>(modules);
    r.out_v = volts;
    r.dc.v = volts;
    r.dc.i = 42.5f;
    r.ac.channel_count = 1;
    r.ac_channels[0].f = 50.0f;
    return r;
}

smd::AlarmChange comm_alarm(bool raised) {
    smd::AlarmChange a;
    a.raised = raised;
    a.alarm_id = "120600180010";
    a.key = "120600180010";
    a.level = 3;
    a.seq = 1;
    return a;
}

// What the gateway does for one complete live round: publish (the device is
// live from its first one on), then store.
// h is the device's health, as the host keeps it beside the driver.
void round(HostSink& sink, DeviceHealth& h, const std::string& device, const veltra_record_t& r) {
    ++h.rounds_live;
    h.has_round = h.has_live_round = true;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&r);
    smd::RecordPublished p;
    p.data_id = 5535;
    p.data = bytes;
    p.length = sizeof r;
    p.health = &h;
    sink.on_publish(device, p);
    sink.on_state(device, smd::StateChanged{DataState::Live, 0, nullptr});
    sink.on_history(device, smd::RecordStored{bytes, sizeof r});
}

// The file over the gateway's state snapshot, both fed as the gateway
// feeds them: the snapshot first.
struct Fixture {
    TempDir dir;
    std::string path = (dir.path() / "smdgw.prom").string();
    smdgw::DeviceStates states;
    smdgw::FanoutSink sink;
    smdgw::PrometheusFile prom{path, "1.2.3", states};
    std::map<std::string, DeviceHealth> health;
    Fixture() {
        states.add_device("a", 418);
        states.add_device("b", 419);
        sink.add(&states);
        sink.add(&prom);
    }
    testsupport::PromExposition read() { return parse_prometheus(read_file(path)); }
};

TEST(PrometheusFile, UpFollowsRoundsAndTheCommunicationAlarm) {
    Fixture f;
    ASSERT_TRUE(f.prom.write());
    auto e = f.read();
    EXPECT_EQ(e.value("veltra_up", {{"device", "a"}}), 0) << "no round yet";
    EXPECT_EQ(e.value("veltra_up", {{"device", "b"}}), 0);
    EXPECT_EQ(e.types.at("veltra_up"), "gauge");

    round(f.sink, f.health["a"], "a", record_with(53.5f, 2));
    e = f.read();
    EXPECT_EQ(e.value("veltra_up", {{"device", "a"}}), 1);
    EXPECT_EQ(e.value("veltra_up", {{"device", "b"}}), 0);

    // The line goes silent: Reset raises the communication alarm.
    f.sink.on_alarm("a", comm_alarm(true));
    EXPECT_EQ(f.read().value("veltra_up", {{"device", "a"}}), 0);
    // Another alarm leaves the line up.
    smd::AlarmChange other = comm_alarm(false);
    other.alarm_id = "419300101001";
    f.sink.on_alarm("a", other);
    EXPECT_EQ(f.read().value("veltra_up", {{"device", "a"}}), 0);
    // The next round clears it.
    round(f.sink, f.health["a"], "a", record_with(53.5f, 2));
    f.sink.on_alarm("a", comm_alarm(false));
    EXPECT_EQ(f.read().value("veltra_up", {{"device", "a"}}), 1);
    EXPECT_EQ(f.read().value("veltra_rounds_total", {{"device", "a"}}), 2);
}

TEST(PrometheusFile, UpDropsWhenTheHostRaisesTheCommunicationAlarm) {
    // The host's own alarm events, as a device's Reset produces them.
    Fixture f;
    SMDVDevice device;
    Json::Value entry;
    entry["name"] = "a";
    device.Init({}, 0, entry);
    device.SetSink(&f.sink);
    const veltra_record_t r = record_with(53.5f, 2);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&r);
    device.SendSP(5535, bytes, sizeof r, false);
    device.SaveDeviceHistory(bytes, sizeof r);
    EXPECT_EQ(f.read().value("veltra_up", {{"device", "a"}}), 1);

    const auto report = [&](bool active) {
        device.CheckThresholdBool(3, "120600180010", "120600180010", "设备智能口通信状态告警",
                                  "通信异常", active, 1);
        device.DoBatchCheckThreshold(device.RuleBatch());
    };
    report(true);
    EXPECT_EQ(f.read().value("veltra_up", {{"device", "a"}}), 0);
    report(false);
    EXPECT_EQ(f.read().value("veltra_up", {{"device", "a"}}), 1);
}

TEST(PrometheusFile, ValuesInBaseUnitsWithLabels) {
    Fixture f;
    smd::FrameCounters counters_b;
    counters_b.accepted = 7;
    counters_b.by_kind[static_cast<size_t>(smd::FrameError::Checksum)] = 3;
    f.states.set_frame_counters(1, counters_b, 0);
    round(f.sink, f.health["a"], "a", record_with(53.5f, 2));
    const auto e = f.read();
    EXPECT_DOUBLE_EQ(e.value("veltra_dc_voltage_volts", {{"device", "a"}, {"panel", "1"}}), 53.5);
    EXPECT_DOUBLE_EQ(e.value("veltra_dc_current_amperes", {{"device", "a"}, {"panel", "1"}}), 42.5);
    EXPECT_DOUBLE_EQ(e.value("veltra_ac_input_frequency_hertz", {{"device", "a"}, {"input", "1"}}),
                     50.0);
    EXPECT_DOUBLE_EQ(
        e.value("veltra_rectifier_output_current_amperes", {{"device", "a"}, {"module", "2"}}),
        0.0);
    EXPECT_DOUBLE_EQ(e.value("veltra_system_modules", {{"device", "a"}}), 2.0);
    EXPECT_EQ(e.types.at("veltra_dc_voltage_volts"), "gauge");
    EXPECT_FALSE(e.help.at("veltra_dc_voltage_volts").empty());

    EXPECT_EQ(
        e.value("veltra_info", {{"device", "b"}, {"driver_version", "1.2.3"}, {"data_id", "419"}}),
        1);
    EXPECT_EQ(e.value("veltra_frame_errors_total", {{"device", "b"}, {"kind", "checksum"}}), 3);
    EXPECT_EQ(e.value("veltra_frame_errors_total", {{"device", "b"}, {"kind", "cut_by_soi"}}), 0);
    EXPECT_EQ(e.types.at("veltra_frame_errors_total"), "counter");
    EXPECT_EQ(e.value("veltra_frames_accepted_total", {{"device", "b"}}), 7);
}

TEST(PrometheusFile, EscapesLabelValues) {
    TempDir dir;
    smdgw::DeviceStates states;
    states.add_device("plant \"east\"\nrack\\2", 1);
    smdgw::PrometheusFile prom((dir.path() / "x.prom").string(), "v\"1\\", states);
    const auto e = parse_prometheus(prom.render());
    EXPECT_EQ(e.value("veltra_up", {{"device", "plant \"east\"\nrack\\2"}}), 0);
    EXPECT_EQ(smdgw::prometheus_label("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
}

TEST(PrometheusFile, ReplacedAtomically) {
    Fixture f;
    ASSERT_TRUE(f.prom.write());
    const std::string before = read_file(f.path);
    // A reader that opened the old file keeps reading the whole old file.
    const int fd = ::open(f.path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    round(f.sink, f.health["a"], "a", record_with(53.5f, 40));
    std::string seen;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) seen.append(buf, static_cast<size_t>(n));
    ::close(fd);
    EXPECT_EQ(seen, before) << "the file was rewritten in place";
    const std::string after = read_file(f.path);
    EXPECT_NE(after, before);
    EXPECT_NO_THROW(parse_prometheus(after));
    EXPECT_FALSE(std::ifstream(f.path + ".tmp").good()) << "temporary file left behind";
}

TEST(PrometheusFile, UnwritableDirectoryIsReported) {
    smdgw::DeviceStates states;
    smdgw::PrometheusFile prom("/nonexistent-dir/smdgw.prom", "1", states);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(prom.write());
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("/nonexistent-dir/smdgw.prom"), std::string::npos) << err;
}

TEST(PrometheusParser, RefusesBrokenExpositions) {
    const char* bad[] = {
        "m{a=\"1\"} 1",                           // no final line feed
        "m{a=1} 1\n",                             // unquoted label
        "m{a=\"x\\q\"} 1\n",                      // bad escape
        "m 1\nn 1\nm 2\n",                        // interleaved families
        "m 1\nm 2\n",                             // series twice
        "# TYPE m gauge\n# TYPE m gauge\nm 1\n",  // type twice
        "m one\n",                                // bad value
        "3m 1\n",                                 // bad name
    };
    for (const char* t : bad) EXPECT_THROW(parse_prometheus(t), std::runtime_error) << t;
    EXPECT_NO_THROW(parse_prometheus("# HELP m x\n# TYPE m gauge\nm{a=\"\\\"\"} NaN\nn +Inf\n"));
}

}  // namespace
