#pragma once
// smdgw --format text: a compact human view. One block per completed round
// (DC panels, AC inputs, rectifiers, active alarms) and one line per alarm
// raised or cleared.

#include <cstdio>
#include <map>
#include <string>

#include "host/host_sink.h"
#include "tools/smdgw/core/line_output.h"

namespace smdgw {

class TextView : public HostSink, public LineOutput {
   public:
    // english: alarms are shown by their English meaning (--lang en) rather
    // than by the driver's message.
    explicit TextView(std::FILE* out, bool english = false) : out_(out), english_(english) {}

    // The block is written when the round is stored, after its alarms were
    // evaluated, so it shows the alarms of the same round.
    void on_history(const std::string& device, const unsigned char* data, unsigned length) override;
    void on_event(const std::string& device, const Json::Value& event) override;
    // Lines of smdgw itself (values, control results, stats) as "key=value".
    void write(const std::string& device, Json::Value line) override;

   private:
    void write_line(const std::string& line);
    std::FILE* out_;
    bool english_;
    // Raised alarms per device: message by alarm identity.
    std::map<std::string, std::map<std::string, std::string>> active_;
    std::map<std::string, unsigned long> rounds_;
};

}  // namespace smdgw
