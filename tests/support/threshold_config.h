#pragma once
// Building blocks for threshold configurations in device entries.

#include <json/value.h>

#include <string>

namespace testsupport {

// Adds one limit set to a "thresholdSetting" member.
inline void add_limit_set(Json::Value& e, const std::string& prefix, const Json::Value& value,
                          const Json::Value& recover, const Json::Value& level) {
    e[prefix + "Value"] = value;
    e[prefix + "ReconverValue"] = recover;
    e[prefix + "AlarmLevel"] = level;
}

// A "thresholdSetting" member with ID and SignalName and one complete limit
// set; prefix is "Up", "Up2", "Low" or "Low2".
inline Json::Value limit_setting(const std::string& id, const std::string& signal,
                                 const std::string& prefix, const Json::Value& value,
                                 const Json::Value& recover, const Json::Value& level) {
    Json::Value e;
    e["ID"] = id;
    e["SignalName"] = signal;
    add_limit_set(e, prefix, value, recover, level);
    return e;
}

}  // namespace testsupport
