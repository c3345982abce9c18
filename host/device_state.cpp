#include "host/device_state.h"

const char* device_state_name(DeviceState s) {
    switch (s) {
        case DeviceState::Never:
            return "never";
        case DeviceState::Live:
            return "live";
        case DeviceState::Stale:
            return "stale";
        case DeviceState::Restored:
            return "restored";
        case DeviceState::NoPort:
            break;
    }
    return "no-port";
}

bool DeviceStateTracker::settle(double mono, std::time_t wall) {
    DeviceState s;
    if (!port_open_)
        s = DeviceState::NoPort;
    else if (last_live_mono_)
        s = mono - *last_live_mono_ > stale_after_ ? DeviceState::Stale : DeviceState::Live;
    else if (restored_)
        s = DeviceState::Restored;
    else
        s = DeviceState::Never;
    if (s == state_) return false;
    state_ = s;
    since_ = wall;
    return true;
}

bool DeviceStateTracker::live_round(double mono, std::time_t wall, bool complete) {
    last_live_mono_ = mono;
    last_live_wall_ = wall;
    if (complete) last_complete_wall_ = wall;
    return settle(mono, wall);
}

bool DeviceStateTracker::restored_round(double mono, std::time_t wall) {
    restored_ = true;
    return settle(mono, wall);
}

bool DeviceStateTracker::port_open(bool open, double mono, std::time_t wall) {
    port_open_ = open;
    return settle(mono, wall);
}

bool DeviceStateTracker::tick(double mono, std::time_t wall) { return settle(mono, wall); }
