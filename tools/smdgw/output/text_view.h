#pragma once
// smdgw --format text: a compact human view. One block per completed round
// (DC panels, AC inputs, rectifiers, active alarms), one line per alarm
// raised or cleared and one per device state change. Each section shows the
// values of the last live round that refreshed it, marked with their age
// when that is not this round, or "no data" before any; a device with a
// battery has its estimate in the status page's words (battery_line.h); a
// restored round's block is marked as such.

#include <array>
#include <cstdio>
#include <ctime>
#include <ostream>
#include <string>

#include "record/veltra_record.h"

#include "host/host_sink.h"
#include "tools/smdgw/core/battery_monitor.h"
#include "tools/smdgw/core/device_state.h"
#include "tools/smdgw/core/line_output.h"

namespace smdgw {

class TextView : public HostSink, public LineOutput {
   public:
    // The round count and raised alarms of a block come from the state
    // snapshot, which hears of every event before this view. english: alarms
    // are shown by their English meaning (--lang en) rather than by the
    // driver's message. battery: the estimates of the devices with a battery.
    TextView(std::FILE* out, const DeviceStates& states, bool english = false,
             const BatteryMonitor* battery = nullptr)
        : out_(out), states_(states), english_(english), battery_(battery) {}

    // The block is written when the round is stored, after its alarms were
    // evaluated, so it shows the alarms of the same round.
    void on_history(const std::string& device, const smd::RecordStored& r) override;
    void on_alarm(const std::string& device, const smd::AlarmChange& a) override;
    void on_state(const std::string& device, const smd::StateChanged& s) override;
    // Lines of smdgw itself (values, control results, stats) as "key=value".
    void write(const std::string& device, Json::Value line) override;

   private:
    void write_line(const std::string& line);
    // DC panels, AC inputs and rectifiers, each section as the views say
    // (its values shown only when available), its age against now.
    static void plant_text(std::ostream& os, const veltra_record_t& r,
                           const std::array<SectionView, smd::kSectionCount>& sections,
                           std::time_t now);
    std::FILE* out_;
    const DeviceStates& states_;
    bool english_;
    const BatteryMonitor* battery_;
};

}  // namespace smdgw
