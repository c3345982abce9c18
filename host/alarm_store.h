#pragma once
// The host's alarm states and the rule that decides when a reported change
// becomes one: a change reported by a complete round is applied at once; a
// change reported by a damaged round is held until the next round that
// reports the alarm: applied when it reports the same state, dropped when it
// reports the old one or is complete and does not report it (a damaged round
// that lost the alarm's section neither confirms nor denies). With a confirmation count N, N
// consecutive rounds must report a change (a damaged round never applies one
// alone). Reports outside a round (the communication alarm on the host's
// timer) are the host's own judgement of time and are applied at once.
//
// One round of reports, identities key/alarm ID/sequence:
//   begin_round(complete=false)
//   report {"419...", "419...", 1, active}  -> held (was clear)
//   end_round()                             -> nothing applied
//   begin_round(complete=true)
//   report {"419...", "419...", 1, active}  -> applied: "raised"

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "host/rule_value.h"

struct AlarmIdentity {
    std::string key;
    std::string alarm_id;
    unsigned short seq = 0;
    bool operator<(const AlarmIdentity& o) const {
        return std::tie(key, alarm_id, seq) < std::tie(o.key, o.alarm_id, o.seq);
    }
    bool operator==(const AlarmIdentity& o) const {
        return key == o.key && alarm_id == o.alarm_id && seq == o.seq;
    }
};

struct AlarmIdentityHash {
    size_t operator()(const AlarmIdentity& id) const noexcept;
};

// An alarm the host holds as raised.
struct ActiveAlarm {
    AlarmIdentity id;
    int level = 0;
    std::string message;
    std::time_t since = 0;  // Unix time it was raised
};

// An applied change, for the alarm event.
struct AlarmStateChange {
    AlarmIdentity id;
    bool active = false;
    int level = 0;
    std::string value;    // the reported value as text
    std::string message;  // a cleared alarm keeps the message it was raised with
    // Empty, or "not reported": a complete round no longer reports the alarm.
    std::string reason;
};

class AlarmStore {
   public:
    static constexpr const char* kNotReported = "not reported";

    // confirm_rounds: consecutive rounds that must report a change (at least 1).
    explicit AlarmStore(unsigned confirm_rounds = 1);
    void set_confirm_rounds(unsigned n) { confirm_ = n == 0 ? 1 : n; }
    unsigned confirm_rounds() const { return confirm_; }

    // Rounds bracket the reports of one publication; a restored round's
    // reports change nothing.
    void begin_round(bool complete, bool restored = false);
    // Reports of one batch; returns the changes applied, in report order.
    std::vector<AlarmStateChange> report(const std::vector<rule_value>& batch, std::time_t now);
    // Ends the round: after a complete round, every active alarm it did not
    // report is cleared ("not reported", under the same confirmation rule);
    // held changes the round did not report again are dropped.
    std::vector<AlarmStateChange> end_round(std::time_t now);
    bool in_round() const { return in_round_; }

    // Alarms loaded from the history at start: current states, no events.
    void load_active(const std::vector<ActiveAlarm>& alarms);
    std::vector<ActiveAlarm> active() const;

    uint64_t changes_held() const { return held_; }
    uint64_t changes_dropped() const { return dropped_; }
    // True once since the last call when the set of active alarms changed.
    bool take_active_changed();

   private:
    struct State {
        bool active = false;
        int level = 0;
        std::string message;
        std::time_t since = 0;
        // A change to the opposite state awaiting confirmation, and the
        // consecutive rounds that reported it.
        bool holding = false;
        unsigned held_rounds = 0;
        // Round number that last reported this identity.
        uint64_t reported_in = 0;
    };
    // Applies, holds or drops one reported state.
    bool consider(State& st, bool active, bool in_round);
    void drop(State& st);
    using Entry = std::map<AlarmIdentity, State>::value_type;
    // The identity and state, made when new.
    Entry& entry_of(const AlarmIdentity& id);
    // The same for the report at position k of a batch: a driver reports its
    // rules in the same order every round, so the identity found at k last
    // time is tried first.
    Entry& entry_at(size_t k, const rule_value& rv);
    AlarmStateChange apply(const AlarmIdentity& id, State& st, bool active, int level,
                           const std::string& value, const std::string& message, std::time_t now);

    unsigned confirm_;
    // Ordered, so that changes at the end of a round come in identity order;
    // found through the hashed index, since a round reports some 300 rules
    // whose keys share long prefixes, slow to tell apart by comparison.
    std::map<AlarmIdentity, State> states_;
    // It points into states_, so a copy of the store starts empty and is
    // rebuilt on first use.
    struct Index {
        std::unordered_map<AlarmIdentity, Entry*, AlarmIdentityHash> map;
        std::vector<Entry*> by_position;
        Index() = default;
        Index(const Index&) {}
        Index& operator=(const Index&) {
            map.clear();
            by_position.clear();
            return *this;
        }
    };
    Index index_;
    bool in_round_ = false;
    bool complete_ = true;
    bool restored_ = false;
    uint64_t round_ = 0;
    uint64_t held_ = 0;
    uint64_t dropped_ = 0;
    bool active_changed_ = false;
};
