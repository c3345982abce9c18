#pragma once
// Where the host runtime sends what a device asks of it: a trace of every call
// between plug-in and host, published and stored records, and events (alarm
// changes, analog reports, commands sent). smdgw prints them; tests record them.

#include <json/value.h>

#include <string>
#include <vector>

#include "host/alarm_store.h"
#include "host/round_judge.h"

class HostSink {
   public:
    virtual ~HostSink() = default;

    // Tracing costs a JSON object per call; the host builds it only when asked.
    virtual bool wants_calls() const { return false; }
    // {"call":"SendSP",...}, {"call":"CheckThresholdBool",...}, ... in call order.
    virtual void on_call(const std::string& device, const Json::Value& call) {
        (void)device;
        (void)call;
    }
    // The host's judgement of the round whose on_publish follows.
    virtual void on_round(const std::string& device, const RoundQuality& quality) {
        (void)device;
        (void)quality;
    }
    // The device's alarms held as raised, after every change of that set.
    virtual void on_active_alarms(const std::string& device,
                                  const std::vector<ActiveAlarm>& alarms) {
        (void)device;
        (void)alarms;
    }
    // A record published with SendSP.
    virtual void on_publish(const std::string& device, int data_id, const unsigned char* data,
                            unsigned length) {
        (void)device;
        (void)data_id;
        (void)data;
        (void)length;
    }
    // A record handed to SaveDeviceHistory.
    virtual void on_history(const std::string& device, const unsigned char* data, unsigned length) {
        (void)device;
        (void)data;
        (void)length;
    }
    // {"event":"alarm"|"report"|"command"|"state",...}; "device" is added by the caller.
    virtual void on_event(const std::string& device, const Json::Value& event) {
        (void)device;
        (void)event;
    }
};
