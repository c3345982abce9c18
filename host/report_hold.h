#pragma once
// Analog reports that the host holds back and sends later. The driver moves
// its own baseline (the last value and time of a signal's report) before it
// calls the host, so a report dropped by the host would be lost for good:
// the next round holding the same value makes no call. The host therefore
// keeps, per signal, the last value it sent; a report of a value whose
// section the round did not refresh (or of a restored round) is held, and
// the first round that refreshes that section sends the signal with its own
// value, if that still differs from the last value sent.
//
//   round 6: section ac held,  driver reports 419110100001 = 0   -> held
//   round 7: section ac fresh, no call (the driver's baseline is 0 now)
//            -> the host sends 419110100001 with round 7's value, unless it
//               equals the value it sent last

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "host/analog_signals.h"
#include "host/plant_sections.h"

namespace smd {

class ReportHold {
   public:
    // A report the driver made; fresh: the round refreshed its section.
    // True when it goes out now; a held signal the driver reports again goes
    // out only when its value differs from the one sent last.
    bool on_report(const std::string& signal_id, float value, bool fresh);
    // The held reports the round that refreshed the sections in fresh sends:
    // each signal with that round's value read from the record (ac_line as
    // the driver's setting), unless it equals the value sent last. A signal
    // whose value the host cannot read waits for the driver's next report.
    std::vector<std::pair<std::string, float>> release(SectionMask fresh,
                                                       const unsigned char* record, size_t length,
                                                       int ac_line);
    size_t held() const { return held_.size(); }

    // A signal the device's configuration names (threshold mode 1's files),
    // beside the driver's own (host/analog_signals.h).
    void add_place(const std::string& signal_id, const ValuePlace& place);
    // The section a signal comes from, if known.
    std::optional<Section> section_of(const std::string& signal_id) const;

   private:
    std::optional<float> value_of(const std::string& signal_id, SectionMask fresh,
                                  const unsigned char* record, size_t length, int ac_line) const;

    std::set<std::string> held_;
    std::map<std::string, float> sent_;
    std::map<std::string, ValuePlace> places_;
};

}  // namespace smd
