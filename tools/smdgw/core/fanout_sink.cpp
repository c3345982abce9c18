#include "tools/smdgw/core/fanout_sink.h"

namespace smdgw {

bool FanoutSink::wants_calls() const {
    for (const HostSink* s : sinks_)
        if (s->wants_calls()) return true;
    return false;
}

bool FanoutSink::wants_frames() const {
    for (const HostSink* s : sinks_)
        if (s->wants_frames()) return true;
    return false;
}

void FanoutSink::on_call(const std::string& device, const smd::HostCall& call) {
    for (HostSink* s : sinks_)
        if (s->wants_calls()) s->on_call(device, call);
}

void FanoutSink::on_frame(const std::string& device, const smd::FrameVerdict& verdict) {
    for (HostSink* s : sinks_)
        if (s->wants_frames()) s->on_frame(device, verdict);
}

void FanoutSink::on_publish(const std::string& device, const smd::RecordPublished& r) {
    for (HostSink* s : sinks_) s->on_publish(device, r);
    if (r.quality.restored) return;
    ++published_;
    if (published_cb_) published_cb_(published_);
}

void FanoutSink::on_history(const std::string& device, const smd::RecordStored& r) {
    for (HostSink* s : sinks_) s->on_history(device, r);
}

void FanoutSink::on_alarm(const std::string& device, const smd::AlarmChange& a) {
    for (HostSink* s : sinks_) s->on_alarm(device, a);
}

void FanoutSink::on_report(const std::string& device, const smd::AnalogReport& r) {
    for (HostSink* s : sinks_) s->on_report(device, r);
}

void FanoutSink::on_command(const std::string& device, const smd::CommandSent& c) {
    for (HostSink* s : sinks_) s->on_command(device, c);
}

void FanoutSink::on_state(const std::string& device, const smd::StateChanged& st) {
    for (HostSink* s : sinks_) s->on_state(device, st);
}

void FanoutSink::on_active_alarms(const std::string& device, const smd::ActiveAlarms& a) {
    for (HostSink* s : sinks_) s->on_active_alarms(device, a);
}

}  // namespace smdgw
