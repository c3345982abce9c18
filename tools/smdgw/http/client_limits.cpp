#include "tools/smdgw/http/client_limits.h"

#include <algorithm>

namespace smdgw::http {

ConnectionCounts::Admit ConnectionCounts::admit(const std::string& address, Place place) {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t at = static_cast<size_t>(place);
    // The address's share first: closing an idle connection for a newcomer
    // that would be refused anyway helps nobody.
    const auto it = per_client_.find(address);
    if (it != per_client_.end() && it->second >= max_per_client_) return Admit::TooManyFromClient;
    if (taken_[at] >= max_[at]) return Admit::Full;
    size_t& mine = per_client_[address];
    ++mine;
    ++taken_[at];
    return Admit::Yes;
}

void ConnectionCounts::release(const std::string& address, Place place) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = per_client_.find(address);
    const size_t at = static_cast<size_t>(place);
    if (it == per_client_.end() || it->second == 0 || taken_[at] == 0) return;
    --taken_[at];
    if (--it->second == 0) per_client_.erase(it);
}

size_t ConnectionCounts::total() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return taken_[0] + taken_[1] + taken_[2];
}

bool is_own_loopback(const std::string& address) {
    return address == "127.0.0.1" || address == "::1" || address == "::ffff:127.0.0.1";
}

RefusalLimiter::Bucket& RefusalLimiter::bucket(const std::string& address, double now_s) {
    auto it = buckets_.find(address);
    if (it == buckets_.end()) {
        if (buckets_.size() >= max_addresses_) {
            // The fullest bucket has the least to remember.
            auto fullest = buckets_.begin();
            double most = -1;
            for (auto b = buckets_.begin(); b != buckets_.end(); ++b) {
                const double t = b->second.tokens + (now_s - b->second.at_s) * per_minute_ / 60.0;
                if (t > most) most = t, fullest = b;
            }
            buckets_.erase(fullest);
        }
        it = buckets_.emplace(address, Bucket{}).first;
        it->second.tokens = per_minute_;
        it->second.at_s = now_s;
    }
    Bucket& b = it->second;
    if (now_s > b.at_s) {
        b.tokens = std::min<double>(per_minute_, b.tokens + (now_s - b.at_s) * per_minute_ / 60.0);
        b.at_s = now_s;
    }
    return b;
}

bool RefusalLimiter::allowed(const std::string& address, double now_s) {
    std::lock_guard<std::mutex> lock(mutex_);
    return bucket(address, now_s).tokens >= 1.0;
}

void RefusalLimiter::refused(const std::string& address, double now_s) {
    std::lock_guard<std::mutex> lock(mutex_);
    Bucket& b = bucket(address, now_s);
    b.tokens = std::max(0.0, b.tokens - 1.0);
}

std::optional<uint64_t> RefusalLimiter::limited(const std::string& address, double now_s) {
    std::lock_guard<std::mutex> lock(mutex_);
    return bucket(address, now_s).log.allow(now_s);
}

}  // namespace smdgw::http
