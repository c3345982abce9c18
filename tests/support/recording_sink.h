#pragma once
// A host sink for tests: keeps every traced call, event and published or
// stored record of a device, in order. Calls and events are kept as JSON
// values with the members smdgw's JSON lines have, for easy lookup.

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/host_sink.h"

namespace testsupport {

class RecordingSink : public HostSink {
   public:
    bool wants_calls() const override { return true; }
    void on_call(const std::string& device, const smd::HostCall& call) override;
    void on_publish(const std::string& device, const smd::RecordPublished& r) override;
    void on_history(const std::string& device, const smd::RecordStored& r) override;
    void on_alarm(const std::string& device, const smd::AlarmChange& a) override;
    void on_report(const std::string& device, const smd::AnalogReport& r) override;
    void on_command(const std::string& device, const smd::CommandSent& c) override;

    // The traced calls with this "call" name, in order.
    std::vector<Json::Value> calls_named(const std::string& name) const;
    // The "call" names in order, e.g. {"SendSP", "CheckThresholdBool", ...}.
    std::vector<std::string> call_names() const;
    std::vector<Json::Value> events_named(const std::string& name) const;
    void clear();

    std::vector<Json::Value> calls;
    std::vector<Json::Value> events;
    std::vector<std::vector<uint8_t>> published;
    std::vector<int> published_ids;
    std::vector<std::vector<uint8_t>> stored;
};

}  // namespace testsupport
