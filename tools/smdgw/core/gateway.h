#pragma once
// The devices smdgw runs: created from the plug-in's provider, initialised
// from the configuration and fed the bytes of the line.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/host_clock.h"
#include "host/smd_spdevice.h"
#include "tools/smdgw/core/config.h"
#include "tools/smdgw/core/device_state.h"
#include "tools/smdgw/core/fanout_sink.h"
#include "tools/smdgw/core/line_output.h"
#include "tools/smdgw/core/plugin_loader.h"
#include "tools/smdgw/core/poll_counters.h"

class HostSink;

namespace smdgw {

class GatewayClock;
class ReplayPacer;

struct DeviceDeleter {
    // Drivers are deleted through their virtual destructor.
    void operator()(SMDSPDevice* d) const { delete d; }
};

struct RunningDevice {
    DeviceConfig cfg;
    std::unique_ptr<SMDSPDevice, DeviceDeleter> driver;
    // Set for a device polled as master.
    std::shared_ptr<PollCounters> poll;
    // Set by a line polled as master: true while a round or a control
    // exchange is under way, when a control request must wait.
    std::function<bool()> busy;
    // On a port: "open" or "no-port" (waiting for its port); null in a replay.
    const char* line_state = nullptr;
    uint64_t port_failures = 0;  // failed opens and lost lines
};

class Gateway {
   public:
    // Devices report to the state snapshot first, then to sink.
    Gateway(HostSink& sink, LineOutput& out, const LoadedPlugin& plugin, DeviceStates& states)
        : out_(out), plugin_(plugin), states_(states) {
        device_sink_.add(&states_);
        device_sink_.add(&sink);
    }

    // Creates and initialises every configured device. A device whose
    // initialisation fails is reported and left out; returns how many failed.
    int create_devices(const GatewayConfig& cfg, const HostClock* clock = nullptr);
    std::vector<RunningDevice>& devices() { return devices_; }
    const DeviceStates& states() const { return states_; }

    // Hands bytes read from the line to every device on it, frame by frame
    // until a stop is asked for. A driver that throws is reported and the
    // others still get the bytes.
    void feed(const std::vector<RunningDevice*>& on_line, unsigned char* data, size_t n);
    // Copies a device's frame counters into its state (after frames were handed to it).
    void note_frames(const RunningDevice& d);
    // Feeds a whole capture file to every device, stopping early when asked,
    // at the pace the pacer sets (as fast as possible without one); false when
    // it cannot be read.
    bool replay(const std::string& path, ReplayPacer* pacer = nullptr);
    // A replay moves this clock by the line time of the bytes up to the end
    // of each frame, before the devices see the frame (--clock-start).
    void set_line_clock(GatewayClock* clock) { line_clock_ = clock; }

    // Calls Reset on every device.
    void reset_all();
    // Re-evaluates every device's state (staleness) on the host's timer.
    void tick_states();
    // Adds lines of services beside the devices (the history) to write_stats.
    void add_stats(std::function<void(LineOutput&)> f) { extra_stats_.push_back(std::move(f)); }
    // One {"event":"stats"} line per device from the state snapshot: frames,
    // frame errors by kind, rounds published, the time of the last round and
    // the line's health; then the lines added with add_stats.
    void write_stats();

    void get_value(const std::string& key);
    void control(int code, const std::vector<unsigned char>& request);
    // DeviceIoControl on one device, on the thread that owns its line; the
    // {"event":"control",...} line is written and returned.
    Json::Value control_device(RunningDevice& d, int code,
                               const std::vector<unsigned char>& request);
    RunningDevice* find(const std::string& name);

    // Work of other threads that must run on the line's thread between
    // frames: called after every frame and, on a quiet line, by the port loop.
    void set_between_frames(std::function<void()> f) { between_frames_ = std::move(f); }
    void between_frames() {
        if (between_frames_) between_frames_();
    }

    // Called after each chunk of input has been handed to the drivers.
    void set_after_chunk(std::function<void()> f) { after_chunk_ = std::move(f); }

    // Asks the input loops to end (after --count rounds, or a signal).
    void request_stop() { stop_ = true; }
    // A stop asked for by --count or by SIGINT / SIGTERM.
    bool stop_requested() const;

    // Reports a problem of one device on standard error.
    static void report(const std::string& device, const std::string& what);

   private:
    LineOutput& out_;
    const LoadedPlugin& plugin_;
    DeviceStates& states_;
    FanoutSink device_sink_;
    std::vector<RunningDevice> devices_;
    std::vector<std::function<void(LineOutput&)>> extra_stats_;
    std::function<void()> between_frames_;
    bool stop_ = false;
    std::function<void()> after_chunk_;
    GatewayClock* line_clock_ = nullptr;
    uint64_t line_bytes_ = 0;
};

}  // namespace smdgw
