#pragma once
// What reaches people from the host's judged alarm states: a change is shown
// only when it has held for its delay, an alarm that keeps toggling is shown
// once as flapping until it settles, and a person can mark a raised alarm as
// being handled. It sits between the alarm store (the judgement of the
// rounds) and the sink, so every output shows the same states; it never
// changes what the driver is told or does.
//
// Configuration, a device entry's "alarm_policy" (every member optional):
//   "alarm_policy": {
//     "default": {"raise_delay_s": 0, "clear_delay_s": 0},
//     "levels":  {"1": {"raise_delay_s": 10}},
//     "alarms":  {"419415001": {"raise_delay_s": 30},
//                 "4194305*":  {"flap_changes": 4, "flap_window_s": 60,
//                               "flap_quiet_s": 120}}
//   }
// An alarm takes "default", then its level's entry, then the entry of its
// exact alarm ID or, without one, of the longest pattern ("*" any text, "?"
// one character) that matches it; each member overrides only itself.
//
// A raise judged at t=0 with raise_delay_s 30, seconds on the host's
// monotonic clock:
//   t=0  judged raised   -> pending (listed, not raised)
//   t=20 judged cleared  -> nothing: the blip is forgotten
//   t=50 judged raised   -> pending again
//   t=80 still raised    -> "raised" (since: t=50)

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include <json/value.h>

#include "host/alarm_store.h"

// The policy of one alarm; seconds of the host's (scaled) monotonic clock.
struct AlarmTiming {
    double raise_delay_s = 0.0;
    double clear_delay_s = 0.0;
    // More than flap_changes judged changes within flap_window_s make the
    // alarm flapping (0: never); it stays so until flap_quiet_s pass
    // without a change.
    unsigned flap_changes = 0;
    double flap_window_s = 60.0;
    double flap_quiet_s = 60.0;
};

// The members of one policy entry: name, bounds, and what each one means
// (the docs' table is rendered from it).
struct AlarmTimingKey {
    const char* name;
    double dflt;  // as AlarmTiming holds it
    double max;
    bool whole;  // an integer
    const char* meaning;
};
inline constexpr AlarmTimingKey kAlarmTimingKeys[] = {
    {"raise_delay_s", 0.0, 86400.0, false, "a raise is shown only after it has held this long"},
    {"clear_delay_s", 0.0, 86400.0, false, "a clear is shown only after it has held this long"},
    {"flap_changes", 0.0, 1000.0, true,
     "more judged changes than this within the window make the alarm flapping (0: never)"},
    {"flap_window_s", 60.0, 86400.0, false,
     "the window over which changes are counted (above 0)"},
    {"flap_quiet_s", 60.0, 86400.0, false,
     "a flapping alarm settles after this long without a change; its real state is then shown"},
};

// The parsed "alarm_policy" of a device.
class AlarmPolicyConfig {
   public:
    // Reads the member; each problem names its place ("alarm_policy.levels.1.raise_delay_s
    // must be ...") and the entry is left out.
    static AlarmPolicyConfig parse(const Json::Value& v, std::vector<std::string>& problems);
    AlarmTiming timing(const std::string& alarm_id, int level) const;
    bool empty() const { return !has_default_ && levels_.empty() && alarms_.empty(); }

   private:
    struct Partial {
        std::map<std::string, double> set;  // member name -> value
    };
    static void apply(const Partial& p, AlarmTiming& t);
    bool has_default_ = false;
    Partial default_;
    std::map<int, Partial> levels_;
    std::map<std::string, Partial> alarms_;  // exact IDs and patterns
};

// "*" any text, "?" one character.
bool alarm_pattern_match(const std::string& pattern, const std::string& text);

// A change the policy lets through, for the alarm event. reason: the
// judgement's ("not reported"), or "flapping" (it started toggling: shown
// raised with this one event) or "stable" (it settled: its real state).
using ShownAlarmChange = AlarmStateChange;

class AlarmPolicy {
   public:
    void configure(AlarmPolicyConfig cfg) { cfg_ = std::move(cfg); }

    // A change the store applied, at the host's monotonic time mono.
    std::vector<ShownAlarmChange> on_judged(const AlarmStateChange& c, double mono,
                                            std::time_t wall);
    // Delays that ran out and flapping that settled by mono.
    std::vector<ShownAlarmChange> tick(double mono, std::time_t wall);

    // Alarms held as raised before a restart, with their acknowledgements.
    void load_active(const std::vector<ActiveAlarm>& alarms);
    // Shown raised (and flapping) alarms, in identity order.
    std::vector<ActiveAlarm> active() const;
    // Raises waiting out their delay: since is when the raise was judged.
    std::vector<ActiveAlarm> pending() const;

    // False when no shown raised alarm has this identity.
    bool acknowledge(const AlarmIdentity& id, AlarmAck ack);
    bool unacknowledge(const AlarmIdentity& id);

    // The store's raised alarms after a batch: a message that changed while
    // raised is shown with it.
    void refresh(const std::vector<ActiveAlarm>& judged_active);

    // True once since the last call when active() or pending() changed.
    bool take_changed();

   private:
    struct State {
        // What the outputs show.
        bool shown = false;
        bool flapping = false;
        std::time_t shown_since = 0;
        AlarmAck ack;
        // The store's judgement, with its latest level, value and message.
        bool judged = false;
        int level = 0;
        std::string value;
        std::string message;
        std::string reason;
        std::time_t judged_since = 0;  // wall time the judged state began
        // A change waiting out its delay: due on the monotonic clock.
        bool waiting = false;
        double due = 0.0;
        // Monotonic times of the judged changes within the flap window.
        std::vector<double> changes;
        double last_change = 0.0;
        AlarmTiming timing;
        bool timed = false;
    };
    // The change as outputs see it: the alarm's shown state and figures.
    static ShownAlarmChange change_of(const AlarmIdentity& id, const State& st,
                                      const std::string& reason);
    ShownAlarmChange show(const AlarmIdentity& id, State& st, bool active, std::time_t wall,
                          const std::string& reason);

    AlarmPolicyConfig cfg_;
    std::map<AlarmIdentity, State> states_;
    bool changed_ = false;
};
