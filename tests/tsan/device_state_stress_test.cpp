// The device state snapshot under stress: the frame thread publishes rounds,
// raises and clears alarms and counts frames while reader threads (outputs,
// servers) copy the state. Every copy must be the state after some event of
// the frame thread, never a mix: each event (a frame's counters, a record
// with its time and round count, an alarm with its value) lands whole, and
// in the order the frame thread sent them. Run in a ThreadSanitizer build
// (label tsan), which also reports any access outside the lock.

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

// What a reader may see: the state after the frame, the record or the alarm
// of round n (frames n or n + 1 ahead of the record, the alarm n - 1 or n).
::testing::AssertionResult consistent(const smdgw::DeviceState& d) {
    const uint64_t n = d.counters.rounds_published;
    const uint64_t frames = d.counters.frames.accepted;
    if (frames != n && frames != n + 1)
        return ::testing::AssertionFailure() << "frames " << frames << " at round " << n;
    if (d.counters.frames_other_address != frames)
        return ::testing::AssertionFailure() << "frame counters of two frames";
    if (n == 0) return ::testing::AssertionSuccess();
    if (d.record.size() != kRecordBytes) return ::testing::AssertionFailure() << "record size";
    for (unsigned char b : d.record)
        if (b != static_cast<unsigned char>(n))
            return ::testing::AssertionFailure() << "record of another round than " << n;
    if (static_cast<uint64_t>(d.record_unix_time) != n)
        return ::testing::AssertionFailure() << "time " << d.record_unix_time << " round " << n;
    if (n == 1 && d.alarms.empty()) return ::testing::AssertionSuccess();
    if (d.alarms.size() != 1) return ::testing::AssertionFailure() << "alarms " << d.alarms.size();
    const smdgw::AlarmState& a = d.alarms.begin()->second;
    const uint64_t round = a.value == std::to_string(n) ? n : n - 1;
    if (a.value != std::to_string(round) || a.active != (round % 2 == 1))
        return ::testing::AssertionFailure() << "alarm " << a.value << " at round " << n;
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
