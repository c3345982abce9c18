#pragma once
// smdgw's output: one JSON object per line, UTF-8. Records as decoded
// records with the host's judgement of their round, alarm changes, device
// state changes, reports, commands and, when tracing, every call
// between the plug-in and the host. Host events are written straight from
// their structs (json_text.h); smdgw's own lines (values, control results,
// statistics) come as JSON values.

#include <json/value.h>
#include <json/writer.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "host/host_sink.h"
#include "tools/smdgw/core/line_output.h"
#include "tools/smdgw/output/json_text.h"

namespace smdgw {

// The writer settings of every JSON line smdgw prints or serves: one line,
// UTF-8 as it is, floats with the digits a float carries.
Json::StreamWriterBuilder event_json_settings();

class EventWriter : public HostSink, public LineOutput {
   public:
    EventWriter(std::FILE* out, bool trace_host);

    bool wants_calls() const override { return trace_; }
    void on_call(const std::string& device, const smd::HostCall& call) override;
    void on_publish(const std::string& device, const smd::RecordPublished& r) override;
    void on_alarm(const std::string& device, const smd::AlarmChange& a) override;
    void on_report(const std::string& device, const smd::AnalogReport& r) override;
    void on_command(const std::string& device, const smd::CommandSent& c) override;
    void on_state(const std::string& device, const smd::StateChanged& s) override;

    // Writes one line with "device" set (when not empty).
    void write(const std::string& device, Json::Value line) override;
    // A record line carries the device's battery estimate ("battery") when
    // this gives one (BatteryMonitor::json; "" for none).
    void set_battery(std::function<std::string(const std::string&)> battery) {
        battery_ = std::move(battery);
    }

   private:
    // Adds "device" (when not empty) to the object and writes it as one line.
    void finish(const std::string& device);

    std::FILE* out_;
    bool trace_;
    std::unique_ptr<Json::StreamWriter> writer_;
    std::function<std::string(const std::string&)> battery_;
    JsonObject obj_;    // the event being written
    std::string line_;  // its text, reused
};

}  // namespace smdgw
