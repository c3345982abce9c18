#pragma once
// Where the host runtime sends what a device asks of it: a trace of every call
// between plug-in and host, published and stored records, and events (alarm
// changes, analog reports, commands sent). smdgw prints them; tests record them.

#include <json/value.h>

#include <string>

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
    // {"event":"alarm"|"report"|"command",...}; "device" is added by the caller.
    virtual void on_event(const std::string& device, const Json::Value& event) {
        (void)device;
        (void)event;
    }
};
