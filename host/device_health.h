#pragma once
// What the host knows about the truth of a device's data, kept per device
// beside the driver: the judge of the round being collected, the alarm
// states, the device state, and the figures every output shows from them.
// Written only on the thread that handles the device's frames and timers.

#include <cstdint>

#include "host/alarm_store.h"
#include "host/data_state.h"
#include "host/round_judge.h"

struct DeviceHealth {
    RoundJudge judge;
    AlarmStore alarms;
    DataStateTracker state;

    // The last publication: its quality, and whether one happened at all;
    // the same for the last live one.
    bool has_round = false;
    RoundQuality last;
    bool has_live_round = false;
    RoundQuality last_live;
    // Between a publication and its storage: the round whose alarms and
    // reports are being evaluated.
    bool round_open = false;

    uint64_t rounds_live = 0;
    uint64_t rounds_damaged = 0;
    uint64_t rounds_restored = 0;
    uint64_t reports_suppressed = 0;  // analog reports of damaged or restored rounds
};
