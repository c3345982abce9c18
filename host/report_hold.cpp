#include "host/report_hold.h"

#include <cstring>

#include "host/analog_signals.h"

namespace smd {

namespace {

// Bit for bit: a NaN equals a NaN sent before.
bool same(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

bool ReportHold::on_report(const std::string& signal_id, float value, bool fresh) {
    if (!fresh) {
        held_.insert(signal_id);
        return false;
    }
    // The driver reports again what it held back (its baseline moved with
    // the held value): a change only if it differs from what was sent.
    if (held_.erase(signal_id) != 0) {
        const auto last = sent_.find(signal_id);
        if (last != sent_.end() && same(last->second, value)) return false;
    }
    sent_[signal_id] = value;
    return true;
}

std::vector<std::pair<std::string, float>> ReportHold::release(SectionMask fresh,
                                                               const unsigned char* record,
                                                               size_t length, int ac_line) {
    std::vector<std::pair<std::string, float>> out;
    for (auto it = held_.begin(); it != held_.end();) {
        const auto value = value_of(*it, fresh, record, length, ac_line);
        if (!value) {
            ++it;
            continue;
        }
        const auto last = sent_.find(*it);
        if (last == sent_.end() || !same(last->second, *value)) {
            out.emplace_back(*it, *value);
            sent_[*it] = *value;
        }
        it = held_.erase(it);
    }
    return out;
}

void ReportHold::add_place(const std::string& signal_id, const ValuePlace& place) {
    places_[signal_id] = place;
}

std::optional<Section> ReportHold::section_of(const std::string& signal_id) const {
    if (const AnalogSignal* s = find_analog_signal(signal_id)) return s->section;
    const auto p = places_.find(signal_id);
    if (p != places_.end()) return p->second.section;
    return std::nullopt;
}

std::optional<float> ReportHold::value_of(const std::string& signal_id, SectionMask fresh,
                                          const unsigned char* record, size_t length,
                                          int ac_line) const {
    const auto section = section_of(signal_id);
    if (!section || (fresh & section_bit(*section)) == 0) return std::nullopt;
    if (const AnalogSignal* s = find_analog_signal(signal_id))
        return analog_value(*s, record, length, ac_line);
    return value_at(places_.at(signal_id), record, length);
}

}  // namespace smd
