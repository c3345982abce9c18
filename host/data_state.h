#pragma once
// What the host can say about a device's data at any moment, one list for
// every output: no round yet, live, stale (the last live round is older than
// "stale_after_s"), restored (data from the history, no live round yet), or
// its port is not open. Ages are measured on a monotonic clock, so a clock
// step at boot or a daylight-saving change neither raises nor hides
// staleness.

#include <cstdint>
#include <ctime>
#include <optional>

enum class DataState : uint8_t { Never, Live, Stale, Restored, NoPort };

// "never", "live", "stale", "restored", "no-port".
const char* data_state_name(DataState s);

class DataStateTracker {
   public:
    static constexpr double kDefaultStaleAfter = 120.0;

    explicit DataStateTracker(double stale_after_s = kDefaultStaleAfter)
        : stale_after_(stale_after_s) {}
    void set_stale_after(double seconds) { stale_after_ = seconds; }
    double stale_after() const { return stale_after_; }

    // Each call takes the monotonic time (seconds) and the wall time of the
    // moment, and returns true when the state changed.
    bool live_round(double mono, std::time_t wall, bool complete);
    bool restored_round(double mono, std::time_t wall);
    bool port_open(bool open, double mono, std::time_t wall);
    // Re-evaluates the age of the last live round.
    bool tick(double mono, std::time_t wall);

    DataState state() const { return state_; }
    std::time_t since() const { return since_; }
    bool port_is_open() const { return port_open_; }
    // Wall times of the last live round and the last complete live round.
    std::optional<std::time_t> last_live() const { return last_live_wall_; }
    std::optional<std::time_t> last_complete() const { return last_complete_wall_; }
    // Monotonic time of the last live round, when there was one.
    std::optional<double> last_live_mono() const { return last_live_mono_; }

   private:
    bool settle(double mono, std::time_t wall);

    double stale_after_;
    DataState state_ = DataState::Never;
    std::time_t since_ = 0;
    bool port_open_ = true;
    bool restored_ = false;
    std::optional<double> last_live_mono_;
    std::optional<std::time_t> last_live_wall_;
    std::optional<std::time_t> last_complete_wall_;
};
