#pragma once
// The host's alarm states and the rule that decides when a reported change
// becomes one. Each alarm depends on some sections of the plant (its family,
// host/alarm_families.h); a round counts for it only when it refreshed every
// one of them intact. Such a round applies a reported change (raise, clear,
// or "not reported": a round that refreshed the alarm's sections no longer
// reports it); with a confirmation count N, N such rounds in a row must
// report it. A round that did not refresh the alarm's sections neither
// raises, confirms, denies nor clears it. Reports outside a round (the
// communication alarm on the host's timer) and the host's own alarms are the
// host's own judgement and are applied at once.
//
// Rounds of reports of a DC alarm, identities key/alarm ID/sequence:
//   begin_round(fresh={ac, rectifiers})        the DC responses were lost
//   report {"210600320010", ..., 1, active}  -> ignored: its zeros are no news
//   end_round()                              -> nothing applied
//   begin_round(fresh={ac, rectifiers, dc})
//   report {"210600320010", ..., 1, active}  -> applied: "raised"

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "host/plant_sections.h"
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

// Who marked an alarm as being handled; empty when nobody did.
struct AlarmAck {
    std::string by;
    std::string comment;
    std::time_t at = 0;  // Unix time; 0: not acknowledged
    bool set() const { return at != 0; }
};

// An alarm the host holds as raised (or, in a pending list, waiting out its
// raise delay).
struct ActiveAlarm {
    AlarmIdentity id;
    int level = 0;
    std::string message;
    std::time_t since = 0;  // Unix time it was raised (pending: judged raised)
    bool flapping = false;  // shown raised while it keeps toggling
    AlarmAck ack;
};

// An applied change, for the alarm event.
struct AlarmStateChange {
    AlarmIdentity id;
    bool active = false;
    int level = 0;
    std::string value;    // the reported value as text
    std::string message;  // a cleared alarm keeps the message it was raised with
    // Empty, or "not reported": a round that refreshed the alarm's sections
    // no longer reports it.
    std::string reason;
    // A raise shown by the policy: Unix time the fault began (its judged
    // raise), which a raise delay puts before the change; 0 unknown.
    std::time_t since = 0;
};

class AlarmStore {
   public:
    static constexpr const char* kNotReported = "not reported";

    // confirm_rounds: rounds in a row, among those that refreshed an alarm's
    // sections, that must report a change (at least 1).
    explicit AlarmStore(unsigned confirm_rounds = 1);
    void set_confirm_rounds(unsigned n) { confirm_ = n == 0 ? 1 : n; }
    unsigned confirm_rounds() const { return confirm_; }

    // Rounds bracket the reports of one publication: fresh holds the sections
    // the round refreshed intact; a restored round's reports change nothing.
    void begin_round(smd::SectionMask fresh, bool restored = false);
    // Reports of one batch; returns the changes applied, in report order.
    // host_judged: the host's own alarms, applied at once in or out of a round.
    std::vector<AlarmStateChange> report(const std::vector<rule_value>& batch, std::time_t now,
                                         bool host_judged = false);
    // Ends the round: every active alarm whose sections it refreshed and that
    // it did not report is cleared ("not reported", under the same
    // confirmation rule); a held change such a round did not report again is
    // dropped.
    std::vector<AlarmStateChange> end_round(std::time_t now);
    bool in_round() const { return in_round_; }

    // The sections of an alarm the family table does not know, from the
    // device's configuration (the record member its threshold reads).
    void add_alarm_sections(const std::string& alarm_id, smd::SectionMask sections);

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
        // The sections its value and identity depend on.
        smd::SectionMask sections = smd::kAllSections;
    };
    // Applies, holds or drops one reported state.
    bool consider(State& st, bool active, bool in_round);
    // Whether this round refreshed every section the alarm depends on.
    bool counts_for(const State& st) const { return (st.sections & ~fresh_) == 0; }
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
    std::map<std::string, smd::SectionMask> configured_;
    bool in_round_ = false;
    smd::SectionMask fresh_ = smd::kAllSections;
    bool restored_ = false;
    uint64_t round_ = 0;
    uint64_t held_ = 0;
    uint64_t dropped_ = 0;
    bool active_changed_ = false;
};
