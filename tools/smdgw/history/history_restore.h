#pragma once
// At start, each device gets back its newest stored record, provided it is
// recent: the driver re-stamps what it loads with the current time and then
// serves it as fresh, so an old record would pass for a live one.

#include <cstdint>
#include <string>

#include "host/vdevice_interface.h"
#include "tools/smdgw/history/history_recorder.h"
#include "tools/smdgw/history/history_writer.h"

namespace smdgw {

// Records older than this (seconds) are not handed back by default.
constexpr int64_t kDefaultRestoreAge = 300;

struct RestoreOutcome {
    enum Kind { Loaded, Refused, TooOld, NotFound } kind = NotFound;
    int64_t stored_time = 0;  // of the newest record, when there is one
    int64_t age = 0;          // now - stored_time
};

// "loaded", "refused", "too_old", "none".
const char* restore_kind_name(RestoreOutcome::Kind kind);

// Hands the device its newest record when it is at most max_age seconds old
// (and not from the future). max_age 0 restores nothing.
RestoreOutcome restore_device(HistoryWriter& writer, HistoryRecorder& recorder,
                              const std::string& name, VDeviceInterface& device, int64_t max_age,
                              int64_t now);

}  // namespace smdgw
