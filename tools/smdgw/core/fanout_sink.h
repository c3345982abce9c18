#pragma once
// Hands every host call and event to several sinks (output, history, ...)
// and counts the live records published (a restored round is no news from
// the line, so --count does not count it).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/host_sink.h"

namespace smdgw {

class FanoutSink : public HostSink {
   public:
    void add(HostSink* sink) { sinks_.push_back(sink); }
    // Called after every publication with the total so far.
    void on_published(std::function<void(uint64_t)> f) { published_cb_ = std::move(f); }
    uint64_t published() const { return published_; }

    bool wants_calls() const override;
    void on_call(const std::string& device, const Json::Value& call) override;
    void on_round(const std::string& device, const RoundQuality& quality) override;
    void on_active_alarms(const std::string& device,
                          const std::vector<ActiveAlarm>& alarms) override;
    void on_publish(const std::string& device, int data_id, const unsigned char* data,
                    unsigned length) override;
    void on_history(const std::string& device, const unsigned char* data, unsigned length) override;
    void on_event(const std::string& device, const Json::Value& event) override;

   private:
    std::vector<HostSink*> sinks_;
    std::function<void(uint64_t)> published_cb_;
    uint64_t published_ = 0;
    bool restored_ = false;  // the round being published
};

}  // namespace smdgw
