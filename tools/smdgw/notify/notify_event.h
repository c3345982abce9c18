#pragma once
// One alarm change as the notifications tell it: what the policy let through
// (a raise, a clear, "flapping", "stable"), copied off the frame thread.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace smdgw::notify {

struct NotifyEvent {
    std::string device;
    bool raised = false;
    int level = 0;
    std::string key, alarm_id, value, message, english, reason;
    unsigned seq = 0;
    std::string id;          // the alarm's exact id (as /api/v1/alarms)
    int64_t time_ms = 0;     // when the change was shown, gateway clock
    int64_t since_ms = 0;    // when the fault began (a raise); 0 unknown
    // The alarm event's JSON object as smdgw writes it ("event":"alarm", ...).
    std::string json;
    // A clear: when the alarm was raised (0 unknown) and who acknowledged it.
    int64_t raised_at_ms = 0;
    std::string ack_by, ack_comment;
    int64_t ack_at_ms = 0;
    // When the change is grouped (alarm_facts.h): the device's state and the
    // figures that explain it, as mail lines and as a JSON object ("" none).
    std::vector<std::pair<std::string, std::string>> fact_lines;
    std::string facts_json;
};

}  // namespace smdgw::notify
