#pragma once
// A device's "battery" object: the strings whose currents DC panel 1 (then
// panel 2) reports first, and what the estimate needs to know of them.
//   "battery": {"strings_ah": [200, 200], "cells": 24, "lvd_v": 44.4,
//               "peukert": 1.15, "temperature_value": 0,
//               "runtime_alarm_min": 30, "runtime_critical_min": 10}

#include <json/value.h>

#include <optional>
#include <string>
#include <vector>

namespace smdgw {

struct BatteryConfig {
    std::vector<double> strings_ah;  // nameplate per string, in the order of dc_i
    unsigned cells = 24;             // cells in series per string
    double lvd_v = 44.4;             // bus voltage of the low-voltage disconnect
    double peukert = 1.15;           // against the ten-hour rate of the nameplate
    int temperature_value = -1;      // index into dc.p of the battery temperature; -1 none
    double runtime_alarm_min = 30.0;
    double runtime_critical_min = 10.0;

    double nameplate_ah() const;
    // The object as written; nullopt when absent or wrong, each problem in
    // errors naming its key.
    static std::optional<BatteryConfig> parse(const Json::Value& v,
                                              std::vector<std::string>& errors);
};

}  // namespace smdgw
