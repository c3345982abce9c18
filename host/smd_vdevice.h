#pragma once
// The host's data-device layer: alarm tables, the rule batch and its alarm
// states, analog reports, publication and history.

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/alarm_policy.h"
#include "host/analog_signals.h"
#include "host/device_health.h"
#include "host/host_clock.h"
#include "host/host_sink.h"
#include "host/rule_value.h"
#include "host/vdevice_interface.h"

class SMDVDevice : public VDeviceInterface {
   public:
    // Per-signal analog-report setting.
    struct BAOSetting {
        bool change_enabled = false;
        float change_delta = 0.0f;
        bool percent_enabled = false;
        float percent = 0.0f;
        bool period_enabled = false;
        float period_minutes = 0.0f;
        uint32_t last_time = 0;
        float last_value = 0.0f;
    };

    // Upper and lower limit of an analog alarm, checked by DoBatchCheckThreshold.
    struct Limit {
        bool has_upper = false;
        float upper = 0.0f;
        bool has_lower = false;
        float lower = 0.0f;
    };

    SMDVDevice();
    ~SMDVDevice() override;

    virtual std::shared_ptr<SMDVDevice> GetChildVDevice(unsigned index);
    virtual std::vector<std::shared_ptr<SMDVDevice>> GetAllChildVDevices();
    virtual void SendSP(int data_id, const unsigned char* data, unsigned length, bool flag);
    virtual void SendDelayData(int delay) { (void)delay; }
    virtual void SendDoData(int channel, char value) {
        (void)channel;
        (void)value;
    }
    virtual void ReadDi(int channel) { (void)channel; }
    virtual void ReadAi(int channel) { (void)channel; }
    virtual float Get_SP_Value(unsigned index, const std::string& key);

    void Init(std::weak_ptr<SMDController> controller, unsigned index,
              const Json::Value& entry) override;

    // Host services called by drivers.
    void CheckThreshold(const std::string& alarm_id, const std::string& name, const float& value,
                        int n);
    void CheckThresholdBool(int level, const std::string& key, const std::string& alarm_id,
                            const std::string& value, const std::string& message, bool active,
                            unsigned short seq);
    bool CheckAOReport(const std::string& signal_id, float value);
    uint8_t DoBatchCheckThreshold(const std::vector<rule_value>& batch);
    void SaveDeviceHistory(const unsigned char* data, unsigned length);

    // Wiring by the gateway and by tests.
    void SetSink(HostSink* sink) { sink_ = sink; }
    HostSink* Sink() const { return sink_; }
    void SetClock(const HostClock* clock) { clock_ = clock ? clock : &system_host_clock(); }
    const HostClock& Clock() const { return *clock_; }

    // Read access for tools and tests.
    bool DataReady() const { return data_ready_; }
    boost::posix_time::ptime LastRoundTime() const { return last_time_; }
    void SetLastRoundTime(boost::posix_time::ptime t) { last_time_ = t; }
    unsigned short AlarmSequence() const { return alarm_seq_; }
    const std::vector<rule_value>& RuleBatch() const { return rule_batch_; }
    std::map<std::string, int>& AlarmLevels() { return alarm_level_map_; }
    std::map<std::string, float>& AlarmValues() { return alarm_value_map_; }
    std::map<std::string, BAOSetting>& ReportSettings() { return bao_map_; }
    std::map<std::string, Limit>& Limits() { return limit_map_; }
    // Alarms the host holds as raised: message by state key.
    std::vector<std::string> ActiveAlarmMessages() const;

    // The truth of the device's data: round quality, sections, alarm states, state.
    const DeviceHealth& Health() const { return health_; }
    // A value the device's threshold configuration reads (its record path
    // resolved by the gateway): its analog reports and the alarm of its
    // limits depend on that place's section.
    void AddConfiguredValue(const std::string& signal_id, const std::string& alarm_id,
                            const smd::ValuePlace& place);
    // The gateway's own alarms judged beside the driver (the battery's), asked
    // for after every live round once the sink has seen it; each batch holds
    // every such alarm, active or not, applied at once like the section alarms.
    using OwnAlarms = std::function<std::vector<rule_value>(const std::string& device)>;
    void SetOwnAlarms(OwnAlarms f) { own_alarms_ = std::move(f); }
    // The level of the host's alarm of a section that stopped answering; 0: none.
    int SectionAlarmLevel() const { return section_alarm_level_; }
    // While set, what the driver publishes is a record handed back from the
    // history: a restored round, which changes no alarm state.
    void SetRestoring(bool restoring) { restoring_ = restoring; }
    // Alarms the host held as raised before a restart: current states, no events.
    void LoadActiveAlarms(const std::vector<ActiveAlarm>& alarms);
    // A person marks a raised alarm as being handled, or takes that back;
    // false when no such alarm is shown raised.
    bool AcknowledgeAlarm(const AlarmIdentity& id, AlarmAck ack);
    bool UnacknowledgeAlarm(const AlarmIdentity& id);
    // What the outputs show: raised alarms after the policy, and raises
    // waiting out their delay.
    const AlarmPolicy& ShownAlarms() const { return policy_; }
    // The line the device listens on opened or closed.
    void SetPortOpen(bool open);
    // Re-evaluates the device state on the host's timer (staleness, alarm
    // delays and flapping).
    void TickState();
    uint64_t RoundsPublished() const { return published_count_; }
    uint64_t RecordsStored() const { return stored_count_; }

   protected:
    // True when the sink wants a trace line per call.
    bool tracing() const { return sink_ && sink_->wants_calls(); }
    void trace(const smd::HostCall& call) const { sink_->on_call(name_, call); }
    // The judge of the round being collected, fed by the line layer.
    RoundJudge& judge() { return health_.judge; }
    // The sections changed outside a publication (a master round abandoned):
    // the host's section alarms follow.
    void sections_judged(const smd::SectionStates& states);

    unsigned short alarm_seq_ = 1;
    boost::posix_time::ptime last_time_;
    bool data_ready_ = false;
    std::vector<rule_value> rule_batch_;
    uint8_t batch_result_ = 0;
    std::map<std::string, BAOSetting> bao_map_;
    std::map<std::string, int> alarm_level_map_;
    std::map<std::string, float> alarm_value_map_;
    std::map<std::string, Limit> limit_map_;

   private:
    // Ends the host's round opened by the last publication, if still open:
    // held analog reports go out, alarms it no longer reports clear.
    void finish_round();
    // The host's alarm of each section: raised while it is missing.
    void report_section_alarms();
    void report_own_alarms();
    void emit_alarm_changes(const std::vector<AlarmStateChange>& changes);
    // Changes the policy lets through, and the shown set when it changed.
    void emit_shown(const std::vector<AlarmStateChange>& changes);
    void emit_state_if(bool changed);

    HostSink* sink_ = nullptr;
    OwnAlarms own_alarms_;
    const HostClock* clock_ = &system_host_clock();
    DeviceHealth health_;
    // Delays, flapping and acknowledgements between the judgement and the sink.
    AlarmPolicy policy_;
    bool restoring_ = false;
    // The driver's "ac_line", to read the values of held analog reports.
    int ac_line_ = 1;
    int section_alarm_level_ = 2;
    // The record of the round being evaluated.
    std::vector<unsigned char> round_record_;
    uint64_t published_count_ = 0;
    uint64_t stored_count_ = 0;
};
