#include "host/alarm_store.h"

#include "host/alarm_families.h"
#include "host/number_text.h"

size_t AlarmIdentityHash::operator()(const AlarmIdentity& id) const noexcept {
    const std::hash<std::string> h;
    return h(id.key) ^ (h(id.alarm_id) * 31u) ^ (static_cast<size_t>(id.seq) << 7);
}

AlarmStore::AlarmStore(unsigned confirm_rounds)
    : confirm_(confirm_rounds == 0 ? 1 : confirm_rounds) {}

void AlarmStore::begin_round(smd::SectionMask fresh, bool restored) {
    in_round_ = true;
    fresh_ = fresh;
    restored_ = restored;
    ++round_;
}

AlarmStore::Entry& AlarmStore::entry_of(const AlarmIdentity& id) {
    if (index_.map.size() != states_.size()) {
        index_.map.clear();
        index_.by_position.clear();
        for (auto& kv : states_) index_.map.emplace(kv.first, &kv);
    }
    const auto found = index_.map.find(id);
    if (found != index_.map.end()) return *found->second;
    Entry& kv = *states_.emplace(id, State()).first;
    kv.second.sections = smd::alarm_sections(id.alarm_id, id.key);
    const auto configured = configured_.find(id.alarm_id);
    if (configured != configured_.end() && !smd::find_alarm_family(id.alarm_id, id.key))
        kv.second.sections = configured->second;
    index_.map.emplace(id, &kv);
    return kv;
}

AlarmStore::Entry& AlarmStore::entry_at(size_t k, const rule_value& rv) {
    if (k < index_.by_position.size() && index_.map.size() == states_.size()) {
        Entry& kv = *index_.by_position[k];
        if (kv.first.seq == rv.seq && kv.first.key == rv.key && kv.first.alarm_id == rv.alarm_id)
            return kv;
    }
    AlarmIdentity id;
    id.key = rv.key;
    id.alarm_id = rv.alarm_id;
    id.seq = rv.seq;
    Entry& kv = entry_of(id);
    if (index_.by_position.size() <= k) index_.by_position.resize(k + 1);
    index_.by_position[k] = &kv;
    return kv;
}

void AlarmStore::drop(State& st) {
    if (!st.holding) return;
    st.holding = false;
    st.held_rounds = 0;
    ++dropped_;
}

bool AlarmStore::consider(State& st, bool active, bool in_round) {
    if (st.active == active) {
        // The old state again: a change held before was noise.
        drop(st);
        return false;
    }
    if (!in_round) {
        st.holding = false;
        st.held_rounds = 0;
        return true;
    }
    if (st.holding) {
        ++st.held_rounds;
    } else {
        st.holding = true;
        st.held_rounds = 1;
    }
    if (st.held_rounds >= confirm_) {
        st.holding = false;
        st.held_rounds = 0;
        return true;
    }
    if (st.held_rounds == 1) ++held_;
    return false;
}

AlarmStateChange AlarmStore::apply(const AlarmIdentity& id, State& st, bool active, int level,
                                   const std::string& value, const std::string& message,
                                   std::time_t now) {
    st.active = active;
    st.level = level;
    if (active) {
        st.message = message;
        st.since = now;
    }
    active_changed_ = true;
    AlarmStateChange c;
    c.id = id;
    c.active = active;
    c.level = level;
    c.value = value;
    c.message = st.message;
    return c;
}

std::vector<AlarmStateChange> AlarmStore::report(const std::vector<rule_value>& batch,
                                                 std::time_t now, bool host_judged) {
    std::vector<AlarmStateChange> out;
    if (in_round_ && restored_ && !host_judged) return out;
    for (size_t k = 0; k < batch.size(); ++k) {
        const rule_value& rv = batch[k];
        Entry& entry = entry_at(k, rv);
        const AlarmIdentity& id = entry.first;
        State& st = entry.second;
        // The first report of a round decides; a second one in the same
        // round (the same alarm reported twice) is judged like the first.
        const bool again = in_round_ && st.reported_in == round_;
        if (in_round_) st.reported_in = round_;
        // Values of a section this round did not refresh are no news.
        if (in_round_ && !host_judged && !counts_for(st)) continue;
        if (again && st.holding && !st.active == rv.active) continue;
        st.level = rv.level;
        if (st.active && rv.active && rv.message != st.message) {
            st.message = rv.message;
            active_changed_ = true;
        }
        if (!consider(st, rv.active, in_round_ && !host_judged)) continue;
        const std::string value =
            rv.kind == rule_value::Kind::Bool ? rv.value_text : smd::format_float(rv.value);
        out.push_back(apply(id, st, rv.active, rv.level, value, rv.message, now));
    }
    return out;
}

std::vector<AlarmStateChange> AlarmStore::end_round(std::time_t now) {
    std::vector<AlarmStateChange> out;
    if (!in_round_) return out;
    in_round_ = false;
    if (restored_) return out;
    for (auto& kv : states_) {
        State& st = kv.second;
        if (st.reported_in == round_) continue;
        // A round that did not refresh the alarm's sections says nothing of it.
        if (!counts_for(st)) continue;
        if (st.active) {
            // Not reported by a round that refreshed what it depends on: the
            // module, panel or level is gone, and so is the alarm.
            st.reported_in = round_;
            if (!consider(st, false, true)) continue;
            AlarmStateChange c =
                apply(kv.first, st, false, st.level, std::string(), st.message, now);
            c.reason = kNotReported;
            out.push_back(std::move(c));
            continue;
        }
        // A held change such a round does not report again is dropped.
        drop(st);
    }
    return out;
}

void AlarmStore::add_alarm_sections(const std::string& alarm_id, smd::SectionMask sections) {
    configured_[alarm_id] = sections;
    // States made before keep theirs until rebuilt: the configuration comes first.
    for (auto& kv : states_)
        if (kv.first.alarm_id == alarm_id && !smd::find_alarm_family(alarm_id, kv.first.key))
            kv.second.sections = sections;
}

void AlarmStore::load_active(const std::vector<ActiveAlarm>& alarms) {
    for (const ActiveAlarm& a : alarms) {
        State& st = entry_of(a.id).second;  // its sections come with the entry
        st.active = true;
        st.level = a.level;
        st.message = a.message;
        st.since = a.since;
    }
}

std::vector<ActiveAlarm> AlarmStore::active() const {
    std::vector<ActiveAlarm> out;
    for (const auto& kv : states_) {
        if (!kv.second.active) continue;
        ActiveAlarm a;
        a.id = kv.first;
        a.level = kv.second.level;
        a.message = kv.second.message;
        a.since = kv.second.since;
        out.push_back(std::move(a));
    }
    return out;
}

bool AlarmStore::take_active_changed() {
    const bool c = active_changed_;
    active_changed_ = false;
    return c;
}
