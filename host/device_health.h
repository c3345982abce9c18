#pragma once
// What the host knows about the truth of a device's data, kept per device
// beside the driver: the judge of the round being collected, the alarm
// states, the device state, each section's freshness, and the figures every
// output shows from them. Written only on the thread that handles the
// device's frames and timers.

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>

#include "host/alarm_store.h"
#include "host/data_state.h"
#include "host/plant_sections.h"
#include "host/report_hold.h"
#include "host/round_judge.h"

struct DeviceHealth {
    RoundJudge judge;
    AlarmStore alarms;
    DataStateTracker state;
    smd::ReportHold reports;

    // The last publication: its quality, and whether one happened at all;
    // the same for the last live one.
    bool has_round = false;
    RoundQuality last;
    bool has_live_round = false;
    RoundQuality last_live;
    // Between a publication and its storage: the round whose alarms and
    // reports are being evaluated.
    bool round_open = false;

    // Each section's state now (after the last live round, or the last
    // master round abandoned) and the wall time of the last live round that
    // refreshed it.
    smd::SectionStates sections = smd::kNeverRefreshed;
    std::array<std::optional<std::time_t>, smd::kSectionCount> refreshed_at{};
    // Live rounds that did not refresh each section.
    std::array<uint64_t, smd::kSectionCount> rounds_not_refreshed{};

    uint64_t rounds_live = 0;
    uint64_t rounds_damaged = 0;
    uint64_t rounds_restored = 0;
    uint64_t reports_suppressed = 0;  // analog reports held back: section not refreshed, or restored
    uint64_t reports_released = 0;    // held reports the host sent from a later round
};
