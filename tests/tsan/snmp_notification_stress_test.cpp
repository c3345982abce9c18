// The SNMP subagent's notifications under stress: the frame thread raises
// and clears alarms as fast as it can while the agent thread (with no snmpd
// to talk to) numbers them, builds its view from the snapshot and sends
// heartbeats, and a third thread reads the statistics. Every alarm change
// must take exactly one number and be either stored in the outbox (waiting
// for snmpd) or dropped by the full queue: the wake-ups between the threads
// (events, outbox writer, delivery loop) lose nothing.
// Run in a ThreadSanitizer build (label tsan), which also reports any access
// outside the locks.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/smdgw/core/device_state.h"
#include "host/host_clock.h"
#include "tools/smdgw/core/battery_monitor.h"
#include "tools/smdgw/core/fanout_sink.h"
#include "tools/smdgw/core/notification_sequence.h"
#include "tools/smdgw/snmp/snmp_service.h"

namespace {

constexpr uint64_t kChanges = 5000;

TEST(SnmpNotificationStress, EveryAlarmChangeTakesOneNumber) {
    char dir_template[] = "/tmp/snmp_stress.XXXXXX";
    const std::string dir = ::mkdtemp(dir_template);
    smdgw::snmp::SnmpOptions o;
    o.given = true;
    o.address = "unix:" + dir + "/no-snmpd";
    o.heartbeat_s = 1;
    o.ping_s = 1;
    ASSERT_TRUE(o.check_root_option());
    o.persistent_dir = dir + "/net-snmp";
    o.sequence_file = dir + "/sequence";
    o.outbox_path = dir + "/snmp-outbox.db";
    smdgw::GatewayConfig cfg;
    smdgw::DeviceConfig device;
    device.name = "plant1";
    device.data_id = 418;
    cfg.devices.push_back(device);
    smdgw::DeviceStates states;
    states.add_device("plant1", 418);

    const smdgw::BatteryMonitor battery(cfg, system_host_clock());  // no device has a battery
    auto owned = std::make_unique<smdgw::snmp::SnmpService>(
        o, smdgw::NotificationSequence::in_file(o.sequence_file),
        smdgw::snmp::SnmpService::open_outbox(o), cfg, states, "stress",
        [] { return std::time(nullptr); }, battery);
    smdgw::snmp::SnmpService& service = *owned;
    smdgw::FanoutSink fanout;
    fanout.add(&states);
    fanout.add(service.sink());
    service.start();

    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done) {
            const Json::Value stats = service.stats_line();
            EXPECT_LE(stats["sequence"].asUInt64(), kChanges);
            EXPECT_FALSE(service.prometheus_text().empty());
        }
    });
    // Long enough for a heartbeat, which builds the view from the snapshot.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    for (uint64_t n = 0; n < kChanges || std::chrono::steady_clock::now() < until; ++n) {
        if (n >= kChanges) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        const std::string value = std::to_string(n);
        smd::AlarmChange a;
        a.raised = n % 2 == 0;
        a.level = 2;
        a.key = "120600470020";
        a.alarm_id = "120600470020";
        a.value = value;
        a.message = "load fuse";
        a.seq = 1;
        fanout.on_alarm("plant1", a);
    }
    service.stop();
    done = true;
    reader.join();

    const Json::Value stats = service.stats_line();
    EXPECT_EQ(stats["sequence"].asUInt64(), kChanges);
    EXPECT_EQ(stats["notifications_sent"].asUInt64(), 0u);
    EXPECT_EQ(stats["notifications_unsent"].asUInt64(), 0u);
    const uint64_t dropped = stats["notifications_dropped"].asUInt64();
    owned.reset();
    // What was not dropped waits in the outbox for snmpd.
    EXPECT_EQ(smdgw::snmp::SnmpService::open_outbox(o)->messages() + dropped, kChanges);
    EXPECT_EQ(smdgw::NotificationSequence::read_file(o.sequence_file), kChanges);
    std::filesystem::remove_all(dir);
}

}  // namespace
