#pragma once
// One alarm change as the notifications tell it: what the policy let through
// (a raise, a clear, "flapping", "stable"), copied off the frame thread.

#include <cstdint>
#include <string>

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
};

}  // namespace smdgw::notify
