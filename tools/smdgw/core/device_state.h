#pragma once
// The state of every device as the host knows it: the last record and when
// it came, the alarm states, the counters. The gateway owns it; the frame
// thread keeps it up to date from the devices' events, and any other thread
// (outputs, servers) reads a consistent copy under its lock. Outputs read
// device state here or from the events, never from a copy of their own.
//
// To add a field: put it in DeviceState (with its default), set it where the
// event that changes it arrives (on_... below, or the gateway for the frame
// counters), and every reader gets it with its copy.

#include <array>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "host/device_health.h"
#include "host/frame_codec.h"
#include "host/host_sink.h"
#include "host/plant_sections.h"
#include "record/record_fields.h"

namespace smdgw {

// An alarm as the rule batch identifies it: key, alarm ID, sequence number.
struct AlarmKey {
    std::string key;
    std::string alarm_id;
    unsigned short seq = 0;
    bool operator<(const AlarmKey& o) const {
        return std::tie(key, alarm_id, seq) < std::tie(o.key, o.alarm_id, o.seq);
    }
};

// One alarm the host has seen raised or cleared.
struct AlarmState {
    bool active = false;
    int level = 0;
    std::string value;    // at the last change
    std::string message;  // the message it was raised with
    std::time_t since = 0;  // Unix time it was raised (kept across restarts)
    bool flapping = false;  // shown raised while it keeps toggling
    AlarmAck ack;           // who handles it (kept across restarts)
};

// One section of the plant (AC distribution, rectifier modules, DC panels) as
// every output shows it: its freshness after the last live round and when a
// live round last refreshed it. Its values are shown from that round, or not
// at all before one.
struct SectionView {
    smd::Freshness state = smd::Freshness::Never;
    std::optional<std::time_t> refreshed_at;  // Unix time
    uint64_t rounds_not_refreshed = 0;        // live rounds that did not refresh it
    bool available() const { return refreshed_at.has_value(); }
};

struct DeviceCounters {
    uint64_t rounds_published = 0;
    uint64_t records_stored = 0;
    uint64_t reports = 0;
    uint64_t commands_sent = 0;
    uint64_t commands_failed = 0;
    smd::FrameCounters frames;          // the device's frame decoder
    uint64_t frames_other_address = 0;  // kept from the driver by the address filter
    // The host's judgement of the rounds (host/device_health.h).
    uint64_t rounds_live = 0;
    uint64_t rounds_damaged = 0;
    uint64_t rounds_restored = 0;
    uint64_t alarm_changes_held = 0;
    uint64_t alarm_changes_dropped = 0;
    uint64_t reports_suppressed = 0;
    uint64_t reports_released = 0;
};

struct DeviceState {
    std::string name;
    uint32_t data_id = 0;

    // The last record published as the driver published it (empty before
    // the first round), and when: the device's clock, local time and seconds
    // since the epoch.
    std::vector<unsigned char> record;
    boost::posix_time::ptime record_time;
    std::time_t record_unix_time = 0;

    // The record as shown downstream: each section's members from the last
    // live round that refreshed it, zero for a section never refreshed (empty
    // before the first live round). Plant figures come from here only,
    // through shown_state() (shown_state.h).
    std::vector<unsigned char> shown_record;
    std::array<SectionView, smd::kSectionCount> sections{};
    // The data state (never, live, stale, restored, no-port) and since when;
    // the quality of the last round and of the last live round; the Unix
    // times of the last live and the last complete live round.
    DataState data_state = DataState::Never;
    std::time_t data_state_since = 0;
    bool has_round = false;
    RoundQuality last_round;
    bool has_live_round = false;
    RoundQuality last_live_round;
    std::optional<std::time_t> last_live_time;
    std::optional<std::time_t> last_complete_time;

    // Every alarm seen, in order of key, alarm ID and sequence number.
    std::map<AlarmKey, AlarmState> alarms;
    // Raises waiting out their delay; since: when the raise was judged.
    std::vector<ActiveAlarm> pending_alarms;
    DeviceCounters counters;

    bool has_record() const { return !record.empty(); }
    // Whether an alarm with this ID is raised.
    bool alarm_active(const std::string& alarm_id) const;
    // Whether this section's data is available, and from when: what every
    // output asks before it shows a value of the section.
    const SectionView& section(smd::Section s) const { return sections[static_cast<size_t>(s)]; }
    // The sections whose values are shown.
    smd::SectionMask available_sections() const;
};

// The section of the record that holds a value walked by
// veltra::for_each_value, if any (the record's data ID and time have none).
std::optional<smd::Section> section_of_value(const veltra::RecordValue& v);

class DeviceStates : public HostSink {
   public:
    // Before the devices run: one entry per device, in configuration order.
    void add_device(const std::string& name, uint32_t data_id);

    // The frame thread, from the devices' events.
    bool wants_frames() const override { return true; }
    void on_frame(const std::string& device, const smd::FrameVerdict& v) override;
    void on_publish(const std::string& device, const smd::RecordPublished& r) override;
    void on_history(const std::string& device, const smd::RecordStored& r) override;
    void on_alarm(const std::string& device, const smd::AlarmChange& a) override;
    void on_report(const std::string& device, const smd::AnalogReport& r) override;
    void on_command(const std::string& device, const smd::CommandSent& c) override;
    void on_state(const std::string& device, const smd::StateChanged& s) override;
    void on_active_alarms(const std::string& device, const smd::ActiveAlarms& a) override;
    // The frame thread, after each read the gateway hands on (bytes between
    // frames are counted without an event).
    void set_frame_counters(size_t index, const smd::FrameCounters& frames, uint64_t other_address);

    // Any thread: copies taken under the lock.
    std::vector<DeviceState> all() const;
    // False when there is no such device.
    bool get(const std::string& name, DeviceState& out) const;
    // Runs f on one device's state under the lock (no copy); false when
    // there is no such device. f must not call back into this object.
    bool read(const std::string& name, const std::function<void(const DeviceState&)>& f) const;

   private:
    DeviceState* find(const std::string& name);
    const DeviceState* find(const std::string& name) const;

    mutable std::mutex mutex_;
    std::vector<DeviceState> devices_;
};

}  // namespace smdgw
