#pragma once
// smdgw's output: one JSON object per line, UTF-8. Records as decoded
// records, alarm changes, reports, commands and, when tracing, every call
// between the plug-in and the host.

#include <json/value.h>
#include <json/writer.h>

#include <cstdio>
#include <memory>
#include <string>

#include "host/host_sink.h"
#include "tools/smdgw/core/line_output.h"

namespace smdgw {

// The writer settings of every JSON line smdgw prints or serves: one line,
// UTF-8 as it is, floats with the digits a float carries.
Json::StreamWriterBuilder event_json_settings();

class EventWriter : public HostSink, public LineOutput {
   public:
    EventWriter(std::FILE* out, bool trace_host);

    bool wants_calls() const override { return trace_; }
    void on_call(const std::string& device, const Json::Value& call) override;
    void on_publish(const std::string& device, int data_id, const unsigned char* data,
                    unsigned length) override;
    void on_event(const std::string& device, const Json::Value& event) override;

    // Writes one line with "device" set (when not empty).
    void write(const std::string& device, Json::Value line) override;

   private:
    std::FILE* out_;
    bool trace_;
    std::unique_ptr<Json::StreamWriter> writer_;
};

}  // namespace smdgw
