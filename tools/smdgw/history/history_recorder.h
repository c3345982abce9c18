#pragma once
// A host sink that queues every record a device hands to SaveDeviceHistory
// for the history database, and every alarm change for its alarm log; it
// takes part in a fan-out with the output sinks.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/host_clock.h"
#include "host/host_sink.h"
#include "tools/smdgw/core/battery_monitor.h"
#include "tools/smdgw/history/history_writer.h"

namespace smdgw {

class HistoryRecorder : public HostSink {
   public:
    // data_ids: the configured data ID of each device, stored with its rows;
    // battery: the estimates stored with the rounds of devices with a battery.
    HistoryRecorder(HistoryWriter& writer, const HostClock& clock,
                    std::map<std::string, uint32_t> data_ids,
                    const BatteryMonitor* battery = nullptr);

    void on_history(const std::string& device, const smd::RecordStored& stored) override;
    void on_active_alarms(const std::string& device, const smd::ActiveAlarms& alarms) override;
    void on_alarm(const std::string& device, const smd::AlarmChange& a) override;

    // While a device is given back its stored record, what it stores again is
    // that same record under a new time: it is not stored a second time.
    class Restoring {
       public:
        Restoring(HistoryRecorder& r, const std::string& device) : r_(r) { r_.restoring_ = device; }
        ~Restoring() { r_.restoring_.clear(); }
        Restoring(const Restoring&) = delete;
        Restoring& operator=(const Restoring&) = delete;

       private:
        HistoryRecorder& r_;
    };

   private:
    void log_acknowledgements(const std::string& device, const std::vector<ActiveAlarm>& alarms);

    HistoryWriter& writer_;
    const HostClock& clock_;
    const std::map<std::string, uint32_t> data_ids_;
    const BatteryMonitor* battery_;
    std::string restoring_;
    // The acknowledged alarms of each device's last set (the frame thread's).
    std::map<std::string, std::map<AlarmIdentity, AlarmAck>> acks_;
};

}  // namespace smdgw
