#pragma once
// What the HTTP service reads about a device: a narrow, copyable view that
// the handlers render, so they never touch a driver or the line thread's state.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/smdgw/output/prometheus_render.h"

namespace smdgw::http {

// Device states, as the API and the page name them.
constexpr const char* kStateNever = "never";        // no round since the start
constexpr const char* kStateLive = "live";          // a recent live round, port open
constexpr const char* kStateStale = "stale";        // no live round for "stale_after_s"
constexpr const char* kStateRestored = "restored";  // only a record restored from history
constexpr const char* kStateNoPort = "no-port";     // no port to follow

struct AlarmView {
    std::string id;  // exact name (tools/smdgw/core/alarm_ref.h)
    std::string state;  // "raised", "flapping" or "pending" (waiting out its raise delay)
    std::string device;
    std::string alarm_id;
    std::string key;
    unsigned seq = 0;
    int level = 0;
    std::string message;
    std::string english;
    int64_t since = 0;  // Unix seconds, on the gateway's clock
    // Who handles it; at 0: nobody yet.
    std::string ack_by;
    std::string ack_comment;
    int64_t ack_at = 0;
};

// A section of the plant as the API shows it (host/plant_sections.h).
struct SectionStateView {
    std::string name;                  // "ac", "rectifiers", "dc"
    std::string state;                 // "fresh", "held", "missing", "never"
    std::optional<int64_t> refreshed;  // Unix seconds of the last live round that refreshed it
};

struct DeviceView {
    std::string name;
    uint32_t data_id = 0;
    std::optional<unsigned> address;
    std::string port;
    std::string role;
    std::string state;
    std::optional<int64_t> last_round;  // Unix seconds
    int64_t age_s = 0;                  // meaningful with last_round
    int64_t now = 0;                    // the gateway's clock when the view was made
    uint64_t rounds = 0;
    uint64_t rounds_damaged = 0;
    uint64_t frame_errors = 0;
    bool complete = false;  // the last record is a whole round
    bool restored = false;  // the last record came from the history
    // The record as shown: each section from the last live round that
    // refreshed it; before any live round, the record restored from the
    // history; empty before either.
    std::vector<unsigned char> record;
    std::vector<SectionStateView> sections;
    std::vector<AlarmView> alarms;      // active alarms, oldest first
    std::vector<AlarmView> pending;     // raises waiting out their delay, oldest first
};

// One point of the page's chart.
struct TrendPoint {
    int64_t time = 0;
    double dc_v = 0.0;
    double dc_i = 0.0;
};

class DeviceSource {
   public:
    virtual ~DeviceSource() = default;
    // The gateway's clock, Unix seconds.
    virtual int64_t now() const = 0;
    // Every device in configuration order.
    virtual std::vector<DeviceView> devices() const = 0;
    virtual std::optional<DeviceView> device(const std::string& name) const = 0;
    // DC voltage and load of the last hour kept in memory, oldest first.
    virtual std::vector<TrendPoint> trend(const std::string& name) const = 0;
    // What the Prometheus exposition shows.
    virtual std::vector<PrometheusDevice> prometheus() const = 0;
};

}  // namespace smdgw::http
