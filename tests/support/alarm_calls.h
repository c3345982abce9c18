#pragma once
// A capture driver with its host state open to tests, and the alarm calls it
// makes written as one line each, so that a whole sequence compares at once.

#include <json/value.h>

#include <cstdio>
#include <string>
#include <vector>

#include "plugin/veltra_quelm_k418t_419.h"
#include "tests/support/driver_fixture.h"

namespace testsupport {

struct RuleDriver : Veltra_Quelm_K418T_419 {
    using Veltra_Quelm_K418T_419::alarm_seq_;
    using Veltra_Quelm_K418T_419::device_type_;
    using Veltra_Quelm_K418T_419::poll_step_;
    using Veltra_Quelm_K418T_419::refresh_status_;
};

// A driver with an all-zero record and no host calls recorded yet.
struct RuleHarness : DriverHarness<RuleDriver> {
    RuleHarness() { sink.clear(); }
    RuleDriver& d() { return *drv; }
    veltra_quelm_k418t_419_Data_t& rec() { return drv->cData; }
    veltra_quelm_k418t_419_Data_t& round() { return drv->round_data_; }
    // Runs the rules once, with the alarm sequence at 1 as after a round.
    std::vector<std::string> run() {
        sink.clear();
        drv->alarm_seq_ = 1;
        drv->RunCheckThreshold();
        return alarm_lines();
    }
    // The alarm calls (boolean alarms and limit checks), in order.
    std::vector<std::string> alarm_lines() const;
    // Analog reports sent to the host, in order.
    std::vector<std::string> report_lines() const;
};

inline std::string float_text(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
}

// Level, key, alarm ID, value text, message, state and sequence of a boolean alarm.
inline std::string bool_line(int level, const std::string& key, const std::string& alarm_id,
                             const std::string& value, const std::string& message, bool active,
                             unsigned seq) {
    return "bool L" + std::to_string(level) + " " + key + " " + alarm_id + " [" + value + "] " +
           message + (active ? " ON" : " off") + " #" + std::to_string(seq);
}

// A mode 2 alarm: key and alarm ID are the same text, sequence 1.
inline std::string fixed_line(int level, const std::string& alarm_id, const std::string& value,
                              const std::string& message, bool active) {
    return bool_line(level, alarm_id, alarm_id, value, message, active, 1);
}

inline std::string limit_line(const std::string& alarm_id, double value) {
    return "limit " + alarm_id + " " + float_text(value);
}

inline std::string report_line(const std::string& signal_id, double value) {
    return "report " + signal_id + " " + float_text(value);
}

inline std::vector<std::string> RuleHarness::alarm_lines() const {
    std::vector<std::string> out;
    for (const Json::Value& c : sink.calls) {
        const std::string name = c["call"].asString();
        if (name == "CheckThresholdBool")
            out.push_back(bool_line(c["level"].asInt(), c["key"].asString(),
                                    c["alarm_id"].asString(), c["value"].asString(),
                                    c["message"].asString(), c["active"].asBool(),
                                    c["seq"].asUInt()));
        else if (name == "CheckThreshold")
            out.push_back(limit_line(c["alarm_id"].asString(), c["value"].asDouble()) +
                          (c["name"].asString().empty() ? "" : " name!") +
                          (c["n"].asInt() == 1 ? "" : " n!"));
    }
    return out;
}

inline std::vector<std::string> RuleHarness::report_lines() const {
    std::vector<std::string> out;
    for (const Json::Value& c : sink.calls_named("CheckAOReport"))
        out.push_back(report_line(c["signal_id"].asString(), c["value"].asDouble()));
    return out;
}

}  // namespace testsupport
