// The device state snapshot under stress: the frame thread publishes rounds,
// raises and clears alarms and counts frames while reader threads (outputs,
// servers) copy the state. Every copy must be one moment of the device: the
// record, its time, the round count, the alarm and the frame counters all of
// the same round. Run in a ThreadSanitizer build (label tsan), which also
// reports any access outside the lock.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tools/smdgw/core/device_state.h"

namespace {

constexpr uint64_t kRounds = 20000;
constexpr unsigned kRecordBytes = 2704;

// One round as the frame thread delivers it: frame counters, the record
// (every byte the round number), the alarm raised on odd rounds.
void deliver_round(smdgw::DeviceStates& states, uint64_t n, std::vector<unsigned char>& record) {
    smd::FrameCounters frames;
    frames.accepted = n;
    smd::FrameVerdict v;
    v.counters = &frames;
    v.frames_other_address = n;
    states.on_frame("plant1", v);
    record.assign(kRecordBytes, static_cast<unsigned char>(n));
    smd::RecordPublished p;
    p.data_id = 5535;
    p.data = record.data();
    p.length = kRecordBytes;
    p.unix_time = static_cast<std::time_t>(n);
    states.on_publish("plant1", p);
    const std::string value = std::to_string(n);
    smd::AlarmChange a;
    a.raised = n % 2 == 1;
    a.key = "fuse";
    a.alarm_id = "120600470210";
    a.value = value;
    a.message = "load fuse";
    a.seq = 1;
    states.on_alarm("plant1", a);
}

// What a reader may see: nothing yet, or every part of one round.
::testing::AssertionResult consistent(const smdgw::DeviceState& d) {
    const uint64_t n = d.counters.rounds_published;
    if (n == 0) return ::testing::AssertionSuccess();
    if (d.record.size() != kRecordBytes) return ::testing::AssertionFailure() << "record size";
    for (unsigned char b : d.record)
        if (b != static_cast<unsigned char>(n))
            return ::testing::AssertionFailure() << "record of another round than " << n;
    if (static_cast<uint64_t>(d.record_unix_time) != n)
        return ::testing::AssertionFailure() << "time " << d.record_unix_time << " round " << n;
    if (d.counters.frames.accepted != n || d.counters.frames_other_address != n)
        return ::testing::AssertionFailure() << "frame counters of another round than " << n;
    if (d.alarms.size() != 1) return ::testing::AssertionFailure() << "alarms " << d.alarms.size();
    const smdgw::AlarmState& a = d.alarms.begin()->second;
    if (a.active != (n % 2 == 1) || a.value != std::to_string(n))
        return ::testing::AssertionFailure() << "alarm of another round than " << n;
    return ::testing::AssertionSuccess();
}

TEST(DeviceStateStress, ReadersSeeWholeRoundsWhileTheFrameThreadWrites) {
    smdgw::DeviceStates states;
    states.add_device("plant1", 418);
    std::atomic<bool> done{false};
    std::atomic<uint64_t> inconsistent{0}, reads{0};

    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&, r] {
            uint64_t last = 0;
            while (!done.load()) {
                smdgw::DeviceState d;
                bool ok;
                if (r == 0) {
                    ok = states.get("plant1", d);
                } else {
                    const auto all = states.all();
                    ok = all.size() == 1;
                    if (ok) d = all[0];
                }
                if (!ok || !consistent(d) || d.counters.rounds_published < last) ++inconsistent;
                last = d.counters.rounds_published;
                ++reads;
            }
        });
    }
    std::thread frame_thread([&] {
        std::vector<unsigned char> record;
        for (uint64_t n = 1; n <= kRounds; ++n) deliver_round(states, n, record);
        done = true;
    });
    frame_thread.join();
    for (auto& t : readers) t.join();

    EXPECT_EQ(inconsistent.load(), 0u) << "of " << reads.load() << " reads";
    smdgw::DeviceState end;
    ASSERT_TRUE(states.get("plant1", end));
    EXPECT_EQ(end.counters.rounds_published, kRounds);
    EXPECT_TRUE(consistent(end));
    EXPECT_FALSE(states.get("nobody", end));
}

}  // namespace
