#include "host/data_state.h"

const char* data_state_name(DataState s) {
    switch (s) {
        case DataState::Never:
            return "never";
        case DataState::Live:
            return "live";
        case DataState::Stale:
            return "stale";
        case DataState::Restored:
            return "restored";
        case DataState::NoPort:
            break;
    }
    return "no-port";
}

bool DataStateTracker::settle(double mono, std::time_t wall) {
    DataState s;
    if (!port_open_)
        s = DataState::NoPort;
    else if (last_live_mono_)
        s = mono - *last_live_mono_ > stale_after_ ? DataState::Stale : DataState::Live;
    else if (restored_)
        s = DataState::Restored;
    else
        s = DataState::Never;
    if (s == state_) return false;
    state_ = s;
    since_ = wall;
    return true;
}

bool DataStateTracker::live_round(double mono, std::time_t wall, bool complete) {
    last_live_mono_ = mono;
    last_live_wall_ = wall;
    if (complete) last_complete_wall_ = wall;
    return settle(mono, wall);
}

bool DataStateTracker::restored_round(double mono, std::time_t wall) {
    restored_ = true;
    return settle(mono, wall);
}

bool DataStateTracker::port_open(bool open, double mono, std::time_t wall) {
    port_open_ = open;
    return settle(mono, wall);
}

bool DataStateTracker::tick(double mono, std::time_t wall) { return settle(mono, wall); }
