#include "tools/smdgw/core/fanout_sink.h"

namespace smdgw {

bool FanoutSink::wants_calls() const {
    for (const HostSink* s : sinks_)
        if (s->wants_calls()) return true;
    return false;
}

void FanoutSink::on_call(const std::string& device, const Json::Value& call) {
    for (HostSink* s : sinks_)
        if (s->wants_calls()) s->on_call(device, call);
}

void FanoutSink::on_round(const std::string& device, const RoundQuality& quality) {
    restored_ = quality.restored;
    for (HostSink* s : sinks_) s->on_round(device, quality);
}

void FanoutSink::on_active_alarms(const std::string& device,
                                  const std::vector<ActiveAlarm>& alarms) {
    for (HostSink* s : sinks_) s->on_active_alarms(device, alarms);
}

void FanoutSink::on_publish(const std::string& device, int data_id, const unsigned char* data,
                            unsigned length) {
    for (HostSink* s : sinks_) s->on_publish(device, data_id, data, length);
    if (restored_) {
        restored_ = false;
        return;
    }
    ++published_;
    if (published_cb_) published_cb_(published_);
}

void FanoutSink::on_history(const std::string& device, const unsigned char* data, unsigned length) {
    for (HostSink* s : sinks_) s->on_history(device, data, length);
}

void FanoutSink::on_event(const std::string& device, const Json::Value& event) {
    for (HostSink* s : sinks_) s->on_event(device, event);
}

}  // namespace smdgw
