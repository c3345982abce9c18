#include "host/alarm_policy.h"

#include <algorithm>
#include <cmath>

namespace {

std::string number_problem(const std::string& place, const AlarmTimingKey& k,
                           const Json::Value& v) {
    const bool ok = v.isNumeric() && std::isfinite(v.asDouble()) && v.asDouble() >= 0.0 &&
                    v.asDouble() <= k.max && (!k.whole || v.isUInt());
    if (ok) return {};
    std::string shown = v.isString() ? "\"" + v.asString() + "\"" : v.toStyledString();
    while (!shown.empty() && (shown.back() == '\n' || shown.back() == ' ')) shown.pop_back();
    return "\"" + place + "\" must be " + (k.whole ? "an integer" : "a number of seconds") +
           " 0 to " + std::to_string(static_cast<long long>(k.max)) + " (is " + shown + ")";
}

}  // namespace

bool alarm_pattern_match(const std::string& pattern, const std::string& text) {
    // Iterative glob with one backtrack point: linear enough for alarm IDs.
    size_t p = 0, t = 0, star = std::string::npos, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

AlarmPolicyConfig AlarmPolicyConfig::parse(const Json::Value& v,
                                           std::vector<std::string>& problems) {
    AlarmPolicyConfig cfg;
    if (v.isNull()) return cfg;
    if (!v.isObject()) {
        problems.push_back("\"alarm_policy\" must be an object");
        return cfg;
    }
    auto entry = [&problems](const Json::Value& e, const std::string& place, Partial& out) {
        if (!e.isObject()) {
            problems.push_back("\"" + place + "\" must be an object");
            return false;
        }
        bool ok = true;
        for (const std::string& name : e.getMemberNames()) {
            const AlarmTimingKey* key = nullptr;
            for (const AlarmTimingKey& k : kAlarmTimingKeys)
                if (name == k.name) key = &k;
            if (!key) {
                std::string known;
                for (const AlarmTimingKey& k : kAlarmTimingKeys)
                    known += std::string(known.empty() ? "" : ", ") + k.name;
                problems.push_back("\"" + place + "\": unknown key \"" + name + "\" (known: " +
                                   known + ")");
                ok = false;
                continue;
            }
            const std::string problem = number_problem(place + "." + name, *key, e[name]);
            if (!problem.empty()) {
                problems.push_back(problem);
                ok = false;
                continue;
            }
            out.set[name] = e[name].asDouble();
        }
        const auto window = out.set.find("flap_window_s");
        if (window != out.set.end() && window->second <= 0.0) {
            problems.push_back("\"" + place + ".flap_window_s\" must be above 0");
            ok = false;
        }
        return ok;
    };
    for (const std::string& section : v.getMemberNames()) {
        const Json::Value& s = v[section];
        if (section == "default") {
            cfg.has_default_ = entry(s, "alarm_policy.default", cfg.default_);
        } else if (section == "levels" || section == "alarms") {
            if (!s.isObject()) {
                problems.push_back("\"alarm_policy." + section + "\" must be an object");
                continue;
            }
            for (const std::string& name : s.getMemberNames()) {
                const std::string place = "alarm_policy." + section + "." + name;
                Partial p;
                if (section == "levels") {
                    char* end = nullptr;
                    const long level = std::strtol(name.c_str(), &end, 10);
                    if (name.empty() || *end != '\0' || level < 0 || level > 1000000) {
                        problems.push_back("\"" + place + "\": a level must be a whole number");
                        continue;
                    }
                    if (entry(s[name], place, p)) cfg.levels_[static_cast<int>(level)] = p;
                } else {
                    if (name.empty() || name.size() > 64) {
                        problems.push_back("\"" + place + "\": an alarm ID or pattern of 1 to 64 "
                                           "characters");
                        continue;
                    }
                    if (entry(s[name], place, p)) cfg.alarms_[name] = p;
                }
            }
        } else {
            problems.push_back("\"alarm_policy\": unknown key \"" + section +
                               "\" (known: default, levels, alarms)");
        }
    }
    return cfg;
}

void AlarmPolicyConfig::apply(const Partial& p, AlarmTiming& t) {
    for (const auto& kv : p.set) {
        if (kv.first == "raise_delay_s") t.raise_delay_s = kv.second;
        else if (kv.first == "clear_delay_s") t.clear_delay_s = kv.second;
        else if (kv.first == "flap_changes") t.flap_changes = static_cast<unsigned>(kv.second);
        else if (kv.first == "flap_window_s") t.flap_window_s = kv.second;
        else if (kv.first == "flap_quiet_s") t.flap_quiet_s = kv.second;
    }
}

AlarmTiming AlarmPolicyConfig::timing(const std::string& alarm_id, int level) const {
    AlarmTiming t;
    if (has_default_) apply(default_, t);
    const auto lv = levels_.find(level);
    if (lv != levels_.end()) apply(lv->second, t);
    const auto exact = alarms_.find(alarm_id);
    if (exact != alarms_.end()) {
        apply(exact->second, t);
        return t;
    }
    const Partial* best = nullptr;
    size_t best_len = 0;
    for (const auto& kv : alarms_) {
        if (kv.first.find_first_of("*?") == std::string::npos) continue;
        if (kv.first.size() >= best_len && alarm_pattern_match(kv.first, alarm_id)) {
            best = &kv.second;
            best_len = kv.first.size();
        }
    }
    if (best) apply(*best, t);
    return t;
}

ShownAlarmChange AlarmPolicy::show(const AlarmIdentity& id, State& st, bool active,
                                   std::time_t wall, const std::string& reason) {
    if (active && !st.shown) {
        st.shown_since = st.judged && st.judged_since ? st.judged_since : wall;
        st.ack = AlarmAck();  // a new raise is nobody's yet
    }
    if (!active) {
        st.ack = AlarmAck();
        st.flapping = false;
    }
    st.shown = active;
    st.waiting = false;
    changed_ = true;
    return change_of(id, st, reason);
}

ShownAlarmChange AlarmPolicy::change_of(const AlarmIdentity& id, const State& st,
                                        const std::string& reason) {
    ShownAlarmChange c;
    c.id = id;
    c.active = st.shown;
    c.level = st.level;
    c.value = st.value;
    c.message = st.message;
    c.reason = reason;
    if (st.shown) c.since = st.shown_since;
    return c;
}

std::vector<ShownAlarmChange> AlarmPolicy::on_judged(const AlarmStateChange& c, double mono,
                                                     std::time_t wall) {
    std::vector<ShownAlarmChange> out;
    State& st = states_[c.id];
    st.timing = cfg_.timing(c.id.alarm_id, c.level);
    st.judged = c.active;
    st.level = c.level;
    st.value = c.value;
    st.message = c.message;
    st.reason = c.reason;
    st.judged_since = wall;
    const AlarmTiming& t = st.timing;
    if (t.flap_changes > 0) {
        st.changes.push_back(mono);
        const double from = mono - t.flap_window_s;
        st.changes.erase(std::remove_if(st.changes.begin(), st.changes.end(),
                                        [from](double at) { return at < from; }),
                         st.changes.end());
        st.last_change = mono;
        if (st.flapping) return out;  // held until it settles
        if (st.changes.size() > t.flap_changes) {
            // Shown raised, once, whatever the last judgement: a fault that
            // comes and goes is a fault.
            st.flapping = true;
            out.push_back(show(c.id, st, true, wall, "flapping"));
            return out;
        }
    }
    if (c.active == st.shown) {
        // Back where it is shown before its delay ran out: nothing to say.
        if (st.waiting) changed_ = true;
        st.waiting = false;
        return out;
    }
    const double delay = c.active ? t.raise_delay_s : t.clear_delay_s;
    if (delay <= 0.0) {
        out.push_back(show(c.id, st, c.active, wall, c.reason));
        return out;
    }
    if (!st.waiting) changed_ = true;
    st.waiting = true;
    st.due = mono + delay;
    return out;
}

std::vector<ShownAlarmChange> AlarmPolicy::tick(double mono, std::time_t wall) {
    std::vector<ShownAlarmChange> out;
    for (auto& kv : states_) {
        State& st = kv.second;
        if (st.flapping) {
            if (mono - st.last_change < st.timing.flap_quiet_s) continue;
            st.changes.clear();
            st.flapping = false;
            if (st.shown == st.judged) {
                // Settled where it is shown: one event says it is steady now.
                changed_ = true;
                out.push_back(change_of(kv.first, st, "stable"));
            } else {
                out.push_back(show(kv.first, st, st.judged, wall, "stable"));
            }
        } else if (st.waiting && mono >= st.due) {
            out.push_back(show(kv.first, st, st.judged, wall, st.reason));
        }
    }
    return out;
}

void AlarmPolicy::load_active(const std::vector<ActiveAlarm>& alarms) {
    for (const ActiveAlarm& a : alarms) {
        State& st = states_[a.id];
        st.shown = st.judged = true;
        st.level = a.level;
        st.message = a.message;
        st.shown_since = st.judged_since = a.since;
        st.ack = a.ack;
        st.timing = cfg_.timing(a.id.alarm_id, a.level);
    }
    changed_ = true;
}

void AlarmPolicy::refresh(const std::vector<ActiveAlarm>& judged_active) {
    for (const ActiveAlarm& a : judged_active) {
        const auto it = states_.find(a.id);
        if (it == states_.end() || !it->second.shown) continue;
        State& st = it->second;
        if (st.message != a.message || st.level != a.level) changed_ = true;
        st.message = a.message;
        st.level = a.level;
    }
}

std::vector<ActiveAlarm> AlarmPolicy::active() const {
    std::vector<ActiveAlarm> out;
    for (const auto& kv : states_) {
        if (!kv.second.shown) continue;
        ActiveAlarm a;
        a.id = kv.first;
        a.level = kv.second.level;
        a.message = kv.second.message;
        a.since = kv.second.shown_since;
        a.flapping = kv.second.flapping;
        a.ack = kv.second.ack;
        out.push_back(std::move(a));
    }
    return out;
}

std::vector<ActiveAlarm> AlarmPolicy::pending() const {
    std::vector<ActiveAlarm> out;
    for (const auto& kv : states_) {
        const State& st = kv.second;
        if (st.shown || !st.waiting || !st.judged) continue;
        ActiveAlarm a;
        a.id = kv.first;
        a.level = st.level;
        a.message = st.message;
        a.since = st.judged_since;
        out.push_back(std::move(a));
    }
    return out;
}

bool AlarmPolicy::acknowledge(const AlarmIdentity& id, AlarmAck ack) {
    const auto it = states_.find(id);
    if (it == states_.end() || !it->second.shown) return false;
    it->second.ack = std::move(ack);
    changed_ = true;
    return true;
}

bool AlarmPolicy::unacknowledge(const AlarmIdentity& id) {
    const auto it = states_.find(id);
    if (it == states_.end() || !it->second.shown) return false;
    it->second.ack = AlarmAck();
    changed_ = true;
    return true;
}

bool AlarmPolicy::take_changed() {
    const bool c = changed_;
    changed_ = false;
    return c;
}
