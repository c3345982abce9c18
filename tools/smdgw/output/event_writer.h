#pragma once
// smdgw's output: one JSON object per line, UTF-8. Records as decoded
// records, alarm changes, reports, commands and, when tracing, every call
// between the plug-in and the host.

#include <json/value.h>

#include <cstdio>
#include <string>

#include "host/host_sink.h"
#include "tools/smdgw/core/line_output.h"
#include "tools/smdgw/output/event_render.h"

namespace smdgw {

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
    EventRenderer renderer_;
};

}  // namespace smdgw
