#pragma once
// smdgw --format text: a compact human view. One block per completed round
// (DC panels, AC inputs, rectifiers, active alarms), one line per alarm
// raised or cleared and one per device state change. A damaged round's block
// says so and shows no plant figures; a restored one is marked as such.

#include <cstdio>
#include <map>
#include <ostream>
#include <string>

#include "host/host_sink.h"
#include "tools/smdgw/core/line_output.h"

namespace smdgw {

class TextView : public HostSink, public LineOutput {
   public:
    explicit TextView(std::FILE* out) : out_(out) {}

    // The block is written when the round is stored, after its alarms were
    // evaluated, so it shows the alarms of the same round.
    void on_round(const std::string& device, const RoundQuality& quality) override;
    void on_history(const std::string& device, const unsigned char* data, unsigned length) override;
    void on_event(const std::string& device, const Json::Value& event) override;
    // Lines of smdgw itself (values, control results, stats) as "key=value".
    void write(const std::string& device, Json::Value line) override;

   private:
    void write_line(const std::string& line);
    void write_active(std::ostream& os, const std::string& device);
    std::FILE* out_;
    // Raised alarms per device: message by alarm identity.
    std::map<std::string, std::map<std::string, std::string>> active_;
    std::map<std::string, unsigned long> rounds_;
    std::map<std::string, RoundQuality> quality_;  // of each device's last round
};

}  // namespace smdgw
