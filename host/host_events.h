#pragma once
// What the host runtime reports of a device, as typed events: a round
// published with its record, a record stored, an alarm state change, an
// analog report, a command sent, the verdict on each frame, and (when asked
// for) every call between plug-in and host. Texts and bytes point into the
// host's own buffers and are valid for the duration of the call; a sink that
// keeps them copies them.

#include <array>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

#include <vector>

#include "host/device_health.h"
#include "host/frame_codec.h"

namespace smd {

// SendSP: a completed round's record.
struct RecordPublished {
    int data_id = 0;
    const unsigned char* data = nullptr;
    unsigned length = 0;
    // When the device's clock published it: local time and seconds since
    // the epoch.
    boost::posix_time::ptime local_time;
    std::time_t unix_time = 0;
    // The host's judgement of the round: each section's freshness, frame
    // errors and expected pairs it did not refresh, or restored from the
    // history (its sections then as they stand).
    RoundQuality quality;
    // The device's health after this publication.
    const DeviceHealth* health = nullptr;
};

// SaveDeviceHistory: the round is complete and its alarms are evaluated.
struct RecordStored {
    RecordStored() = default;
    RecordStored(const unsigned char* d, unsigned n, RoundQuality q = RoundQuality(),
                 const DeviceHealth* h = nullptr)
        : data(d), length(n), quality(q), health(h) {}

    const unsigned char* data = nullptr;
    unsigned length = 0;
    // The round's quality, as published, and the device's health once its
    // alarms are settled.
    RoundQuality quality;
    const DeviceHealth* health = nullptr;
};

// An alarm raised or cleared by the rule batch. A cleared alarm carries the
// message it was raised with.
struct AlarmChange {
    bool raised = false;
    int level = 0;
    std::string_view key;
    std::string_view alarm_id;
    std::string_view value;  // the value as text
    std::string_view message;
    unsigned short seq = 0;
    // Empty, or "not reported": a round that refreshed the alarm's sections
    // no longer reports it.
    std::string_view reason;
    // A raise: Unix time the fault began (before the change when a raise
    // delay held it back); 0 when not known.
    std::time_t since = 0;
    // The device's health after the change (sections included), when the
    // host raised or cleared it.
    const DeviceHealth* health = nullptr;
};

// The device's data state changed (never, live, stale, restored, no-port).
struct StateChanged {
    DataState state = DataState::Never;
    std::time_t since = 0;
    const DeviceHealth* health = nullptr;
};

// The alarms the host holds as raised, after that set changed or was loaded.
struct ActiveAlarms {
    const std::vector<ActiveAlarm>* alarms = nullptr;
    // Raises waiting out their delay (none when loaded).
    const std::vector<ActiveAlarm>* pending = nullptr;
    // True when loaded from the history at start rather than changed.
    bool loaded = false;
};

// CheckAOReport: an analog value is due for reporting. NaN is possible.
struct AnalogReport {
    std::string_view signal_id;
    float value = 0.0f;
};

// write_pmbus_cmd: a command frame the driver sent (or failed to send).
struct CommandSent {
    uint8_t cid1 = 0;
    uint8_t cid2 = 0;
    std::string_view info;   // INFO as hex
    std::string_view frame;  // the wire text without its CR
    bool sent = false;
};

// The decoder's verdict on one frame.
struct FrameVerdict {
    enum class Kind : uint8_t { Delivered, OtherAddress, Rejected };
    Kind kind = Kind::Delivered;
    // Delivered and OtherAddress: the frame as drivers see it (LENID
    // little-endian in bytes 4 and 5).
    const uint8_t* frame = nullptr;
    size_t length = 0;
    FrameError error = FrameError::Checksum;  // Rejected: why
    // The device's frame counters with this frame counted.
    const FrameCounters* counters = nullptr;
    uint64_t frames_other_address = 0;
};

// One argument of a traced host call.
struct CallArg {
    enum class Kind : uint8_t { Int, UInt, Float, Bool, Text };
    const char* name = "";
    Kind kind = Kind::Int;
    int64_t i = 0;
    uint64_t u = 0;
    float f = 0.0f;  // NaN and infinities have no JSON number: written as null
    bool b = false;
    std::string_view text;
};

// A call between plug-in and host with its arguments in the order given.
struct HostCall {
    static constexpr size_t kMaxArgs = 8;

    explicit HostCall(const char* call) : name(call) {}
    HostCall& arg(const char* n, long long v) {
        if (CallArg* a = add(n, CallArg::Kind::Int)) a->i = v;
        return *this;
    }
    HostCall& arg(const char* n, int v) { return arg(n, static_cast<long long>(v)); }
    HostCall& arg(const char* n, unsigned long long v) {
        if (CallArg* a = add(n, CallArg::Kind::UInt)) a->u = v;
        return *this;
    }
    HostCall& arg(const char* n, unsigned v) { return arg(n, static_cast<unsigned long long>(v)); }
    HostCall& arg(const char* n, unsigned short v) { return arg(n, static_cast<unsigned>(v)); }
    HostCall& arg(const char* n, unsigned char v) { return arg(n, static_cast<unsigned>(v)); }
    HostCall& arg(const char* n, float v) {
        if (CallArg* a = add(n, CallArg::Kind::Float)) a->f = v;
        return *this;
    }
    HostCall& arg(const char* n, bool v) {
        if (CallArg* a = add(n, CallArg::Kind::Bool)) a->b = v;
        return *this;
    }
    HostCall& arg(const char* n, std::string_view v) {
        if (CallArg* a = add(n, CallArg::Kind::Text)) a->text = v;
        return *this;
    }
    HostCall& arg(const char* n, const char* v) { return arg(n, std::string_view(v)); }

    const char* name;
    std::array<CallArg, kMaxArgs> args{};
    size_t count = 0;

   private:
    // The host's call sites name at most kMaxArgs arguments; more are dropped.
    CallArg* add(const char* n, CallArg::Kind kind) {
        if (count >= kMaxArgs) return nullptr;
        CallArg& a = args[count++];
        a.name = n;
        a.kind = kind;
        return &a;
    }
};

}  // namespace smd
