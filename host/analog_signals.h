#pragma once
// The analog values the driver reports (CheckAOReport of threshold mode 1),
// by signal ID: the section each comes from and where the record holds it.
// The host holds back a report of a value its section did not refresh and
// sends the change itself from the next round that refreshes it.
//
// One row, annotated:
//   {"419110100001", Section::Ac, kInput1 + offsetof(veltra_ac_channel_t, a), true}
//   phase A of the first AC input the driver checks: input 1, or input 2
//   when "ac_line" is 2 (the driver checks one input under input 1's IDs)

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "host/plant_sections.h"
#include "record/veltra_record.h"

namespace smd {

struct AnalogSignal {
    const char* signal_id;
    Section section;
    uint16_t offset;    // of its float in the record
    bool first_input;   // moves to the second AC input when "ac_line" is 2
};

namespace signals {
constexpr uint16_t kInput1 = offsetof(veltra_record_t, ac_channels);
constexpr uint16_t kInput2 = kInput1 + sizeof(veltra_ac_channel_t);
constexpr uint16_t kPanel1 = offsetof(veltra_record_t, dc);
constexpr uint16_t kPanel2 = offsetof(veltra_record_t, dc2);
constexpr uint16_t kA = offsetof(veltra_ac_channel_t, a);
constexpr uint16_t kB = offsetof(veltra_ac_channel_t, b);
constexpr uint16_t kC = offsetof(veltra_ac_channel_t, c);
constexpr uint16_t kF = offsetof(veltra_ac_channel_t, f);
constexpr uint16_t kV = offsetof(veltra_dc_t, v);
constexpr uint16_t kI = offsetof(veltra_dc_t, i);
}  // namespace signals

inline constexpr AnalogSignal kAnalogSignals[] = {
    {"419110100001", Section::Ac, signals::kInput1 + signals::kA, true},
    {"419110200001", Section::Ac, signals::kInput1 + signals::kB, true},
    {"419110300001", Section::Ac, signals::kInput1 + signals::kC, true},
    {"419110100002", Section::Ac, signals::kInput2 + signals::kA, false},
    {"419110200002", Section::Ac, signals::kInput2 + signals::kB, false},
    {"419110300002", Section::Ac, signals::kInput2 + signals::kC, false},
    {"419110500001", Section::Ac, signals::kInput1 + signals::kA, true},
    {"419110600001", Section::Ac, signals::kInput1 + signals::kB, true},
    {"419110700001", Section::Ac, signals::kInput1 + signals::kC, true},
    {"419110500002", Section::Ac, signals::kInput2 + signals::kA, false},
    {"419110600002", Section::Ac, signals::kInput2 + signals::kB, false},
    {"419110700002", Section::Ac, signals::kInput2 + signals::kC, false},
    {"419113900001", Section::Ac, signals::kInput1 + signals::kF, true},
    {"419113900002", Section::Ac, signals::kInput2 + signals::kF, false},
    {"419120400001", Section::Dc, signals::kPanel1 + signals::kI, false},
    {"419120300001", Section::Dc, signals::kPanel1 + signals::kV, false},
    {"419120400002", Section::Dc, signals::kPanel2 + signals::kI, false},
    {"419120300002", Section::Dc, signals::kPanel2 + signals::kV, false},
};

const AnalogSignal* find_analog_signal(const std::string& signal_id);

// Where a value the device's configuration names (a threshold file's
// record path) lies in the record: its section, offset and width.
struct ValuePlace {
    Section section = Section::Ac;
    uint16_t offset = 0;
    bool is_float = true;  // a 32-bit float; else one byte
};
std::optional<float> value_at(const ValuePlace& p, const unsigned char* record, size_t length);

// The value of a signal in a record of kRecordSize bytes; nothing for a
// signal the table does not know or a record of another size.
std::optional<float> analog_value(const AnalogSignal& s, const unsigned char* record,
                                  size_t length, int ac_line);

}  // namespace smd
