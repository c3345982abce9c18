#pragma once
// One check of the host's rule batch: a limit check of an analog value or a
// boolean alarm state reported by a driver. The host evaluates the batch in
// DoBatchCheckThreshold.

#include <string>

struct rule_value {
    enum class Kind : unsigned char { Limit, Bool };

    Kind kind = Kind::Bool;
    int level = 0;
    std::string key;
    std::string alarm_id;
    std::string name;        // display name of a limit check
    std::string value_text;  // value as text of a boolean alarm
    std::string message;
    float value = 0.0f;
    bool active = false;
    unsigned short seq = 0;
    int n = 0;
};
