#include "tools/smdgw/notify/burst_grouper.h"

#include <algorithm>

namespace smdgw::notify {

BurstGrouper::BurstGrouper(size_t targets, double gap_s, double hold_s)
    : gap_s_(gap_s), hold_s_(hold_s), open_(targets) {}

void BurstGrouper::add(size_t target, NotifyEvent e, double now_s) {
    if (target >= open_.size()) return;
    Open& o = open_[target];
    // A burst whose gap passed unseen (take_due was not asked in time) is
    // closed before this change starts a new one.
    if (!o.events.empty() && due(o, now_s)) {
        full_.push_back({target, std::move(o.events)});
        o.events.clear();
    }
    if (o.events.empty()) o.first_s = now_s;
    o.events.push_back(std::move(e));
    o.last_s = now_s;
    if (o.events.size() >= kMaxEvents) {
        full_.push_back({target, std::move(o.events)});
        o.events.clear();
    }
}

bool BurstGrouper::due(const Open& o, double now_s) const {
    return now_s - o.last_s >= gap_s_ || now_s - o.first_s >= hold_s_;
}

std::vector<Burst> BurstGrouper::take_due(double now_s) {
    std::vector<Burst> out = std::move(full_);
    full_.clear();
    std::vector<std::pair<double, size_t>> ready;
    for (size_t t = 0; t < open_.size(); ++t)
        if (!open_[t].events.empty() && due(open_[t], now_s)) ready.emplace_back(open_[t].first_s, t);
    std::sort(ready.begin(), ready.end());
    for (const auto& [first, t] : ready) {
        out.push_back({t, std::move(open_[t].events)});
        open_[t].events.clear();
    }
    return out;
}

std::vector<Burst> BurstGrouper::take_all() {
    return take_due(1e300);
}

std::optional<double> BurstGrouper::next_due() const {
    if (!full_.empty()) return 0.0;
    std::optional<double> next;
    for (const Open& o : open_) {
        if (o.events.empty()) continue;
        const double at = std::min(o.last_s + gap_s_, o.first_s + hold_s_);
        if (!next || at < *next) next = at;
    }
    return next;
}

}  // namespace smdgw::notify
