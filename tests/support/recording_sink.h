#pragma once
// A host sink for tests: keeps every traced call, event and published or
// stored record of a device, in order.

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/host_sink.h"

namespace testsupport {

class RecordingSink : public HostSink {
   public:
    bool wants_calls() const override { return true; }
    void on_call(const std::string& device, const Json::Value& call) override;
    void on_publish(const std::string& device, int data_id, const unsigned char* data,
                    unsigned length) override;
    void on_history(const std::string& device, const unsigned char* data, unsigned length) override;
    void on_event(const std::string& device, const Json::Value& event) override;

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
