#include "host/analog_signals.h"

namespace smd {

const AnalogSignal* find_analog_signal(const std::string& signal_id) {
    for (const AnalogSignal& s : kAnalogSignals)
        if (signal_id == s.signal_id) return &s;
    return nullptr;
}

std::optional<float> analog_value(const AnalogSignal& s, const unsigned char* record,
                                  size_t length, int ac_line) {
    if (!record || length != kRecordSize) return std::nullopt;
    size_t at = s.offset;
    if (s.first_input && ac_line == 2) at += signals::kInput2 - signals::kInput1;
    if (at + sizeof(float) > length) return std::nullopt;
    return load_le_f32(record + at);
}

std::optional<float> value_at(const ValuePlace& p, const unsigned char* record, size_t length) {
    if (!record || length != kRecordSize || p.offset + (p.is_float ? 4u : 1u) > length)
        return std::nullopt;
    return p.is_float ? load_le_f32(record + p.offset) : static_cast<float>(record[p.offset]);
}

}  // namespace smd
