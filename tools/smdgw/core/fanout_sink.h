#pragma once
// Hands every host event to several sinks (device state, outputs, history,
// ...) in the order they were added, and counts the live records published
// (a restored round is no news from the line, so --count does not count it).

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
    bool wants_frames() const override;
    void on_call(const std::string& device, const smd::HostCall& call) override;
    void on_frame(const std::string& device, const smd::FrameVerdict& verdict) override;
    void on_publish(const std::string& device, const smd::RecordPublished& r) override;
    void on_history(const std::string& device, const smd::RecordStored& r) override;
    void on_alarm(const std::string& device, const smd::AlarmChange& a) override;
    void on_report(const std::string& device, const smd::AnalogReport& r) override;
    void on_command(const std::string& device, const smd::CommandSent& c) override;
    void on_state(const std::string& device, const smd::StateChanged& s) override;
    void on_active_alarms(const std::string& device, const smd::ActiveAlarms& a) override;

   private:
    std::vector<HostSink*> sinks_;
    std::function<void(uint64_t)> published_cb_;
    uint64_t published_ = 0;
};

}  // namespace smdgw
