#pragma once
// Where the host runtime sends what a device asks of it, as typed events
// (host_events.h): published and stored records, alarm changes, analog
// reports, commands sent, frame verdicts and, when asked for, a trace of
// every call between plug-in and host. smdgw's outputs take them; tests
// record them. Every call comes on the device's frame thread.

#include <string>

#include "host/host_events.h"

class HostSink {
   public:
    virtual ~HostSink() = default;

    // The host describes calls and frames only for a sink that asks.
    virtual bool wants_calls() const { return false; }
    virtual bool wants_frames() const { return false; }

    // SendSP, CheckThresholdBool, ... in call order, with every argument.
    virtual void on_call(const std::string& /*device*/, const smd::HostCall& /*call*/) {}
    virtual void on_frame(const std::string& /*device*/, const smd::FrameVerdict& /*verdict*/) {}
    virtual void on_publish(const std::string& /*device*/, const smd::RecordPublished& /*r*/) {}
    virtual void on_history(const std::string& /*device*/, const smd::RecordStored& /*r*/) {}
    virtual void on_alarm(const std::string& /*device*/, const smd::AlarmChange& /*a*/) {}
    virtual void on_report(const std::string& /*device*/, const smd::AnalogReport& /*r*/) {}
    virtual void on_command(const std::string& /*device*/, const smd::CommandSent& /*c*/) {}
    virtual void on_state(const std::string& /*device*/, const smd::StateChanged& /*s*/) {}
    virtual void on_active_alarms(const std::string& /*device*/,
                                  const smd::ActiveAlarms& /*a*/) {}
};
