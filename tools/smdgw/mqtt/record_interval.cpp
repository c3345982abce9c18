#include "tools/smdgw/mqtt/record_interval.h"

#include <cmath>
#include <utility>

namespace smdgw {

RecordInterval::RecordInterval(double seconds, Publish publish)
    : interval_ms_(static_cast<int64_t>(std::llround(seconds * 1000.0))),
      publish_(std::move(publish)) {}

void RecordInterval::offer(const std::string& device, const smd::RecordPublished& r,
                           int64_t now_ms) {
    if (interval_ms_ <= 0) {
        publish_(device, r, now_ms);
        return;
    }
    Device& d = devices_[device];
    if (r.quality.complete()) {
        d.held.present = true;
        d.held.data_id = r.data_id;
        d.held.data.assign(r.data, r.data + r.length);
        d.held.quality = r.quality;
        d.held.at_ms = now_ms;
    }
    if (d.published && now_ms - d.last_ms < interval_ms_) return;
    // The newest complete round; a damaged one (asked for with
    // --mqtt-damaged) only when no complete one came since the last.
    if (d.held.present)
        publish_held(device, d.held);
    else
        publish_(device, r, now_ms);
    d.published = true;
    d.last_ms = now_ms;
}

void RecordInterval::publish_held(const std::string& device, Held& held) {
    smd::RecordPublished r;
    r.data_id = held.data_id;
    r.data = held.data.data();
    r.length = static_cast<unsigned>(held.data.size());
    r.quality = held.quality;
    held.present = false;
    publish_(device, r, held.at_ms);
}

void RecordInterval::flush(const std::string& device) {
    const auto it = devices_.find(device);
    if (it != devices_.end() && it->second.held.present) publish_held(device, it->second.held);
}

void RecordInterval::flush_all() {
    for (auto& kv : devices_)
        if (kv.second.held.present) publish_held(kv.first, kv.second.held);
}

}  // namespace smdgw
