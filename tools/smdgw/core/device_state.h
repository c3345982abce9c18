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

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "host/frame_codec.h"
#include "host/host_sink.h"

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
};

struct DeviceCounters {
    uint64_t rounds_published = 0;
    uint64_t records_stored = 0;
    uint64_t reports = 0;
    uint64_t commands_sent = 0;
    uint64_t commands_failed = 0;
    smd::FrameCounters frames;          // the device's frame decoder
    uint64_t frames_other_address = 0;  // kept from the driver by the address filter
};

struct DeviceState {
    std::string name;
    uint32_t data_id = 0;

    // The last record published (empty before the first round), and when:
    // the device's clock, local time and seconds since the epoch.
    std::vector<unsigned char> record;
    boost::posix_time::ptime record_time;
    std::time_t record_unix_time = 0;

    // Every alarm seen, in order of key, alarm ID and sequence number.
    std::map<AlarmKey, AlarmState> alarms;
    DeviceCounters counters;

    bool has_record() const { return !record.empty(); }
    // Whether an alarm with this ID is raised.
    bool alarm_active(const std::string& alarm_id) const;
};

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
