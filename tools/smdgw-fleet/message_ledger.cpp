#include "tools/smdgw-fleet/message_ledger.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace smdgw {

Arrival MessageLedger::take(const std::string& gateway, const std::string& stream,
                            const std::string& boot_id, uint64_t pub_seq, int64_t now_ms) {
    GatewayTally& g = gateways_[gateway];
    g.last_seen_ms = now_ms;
    Stream& s = streams_[gateway + '\n' + stream];
    auto boot = std::find_if(s.boots.begin(), s.boots.end(),
                             [&](const auto& b) { return b.first == boot_id; });
    if (boot != s.boots.end() && pub_seq <= boot->second) {
        ++g.duplicates;
        ++duplicates_;
        return Arrival::Repeat;
    }
    if (boot == s.boots.end()) {
        if (s.boots.size() == kBootsKept) s.boots.erase(s.boots.begin());
        s.boots.emplace_back(boot_id, 0);
        boot = s.boots.end() - 1;
        // A stream begun again: a new outbox numbers from 1.
        if (s.last != 0 && pub_seq <= s.last) {
            ++g.restarts;
            s.last = pub_seq - (pub_seq > 0 ? 1 : 0);
        }
    }
    if (s.last != 0 && pub_seq > s.last + 1) {
        g.gaps += pub_seq - s.last - 1;
        gaps_ += pub_seq - s.last - 1;
    }
    boot->second = std::max(boot->second, pub_seq);
    s.last = std::max(s.last, pub_seq);
    ++g.messages;
    return Arrival::New;
}

void MessageLedger::seen(const std::string& gateway, int64_t now_ms) {
    gateways_[gateway].last_seen_ms = now_ms;
}

void MessageLedger::set_status(const std::string& gateway, bool online, int64_t now_ms) {
    GatewayTally& g = gateways_[gateway];
    g.last_seen_ms = now_ms;
    g.online = online;
    g.status_known = true;
}

void MessageLedger::add_dropped(const std::string& gateway, uint64_t messages) {
    GatewayTally& g = gateways_[gateway];
    ++g.dropped_notices;
    g.dropped_messages += messages;
}

std::vector<ListedAlarm> MessageLedger::set_alarms(const std::string& gateway,
                                                   const std::string& device,
                                                   std::vector<ListedAlarm> active) {
    std::vector<ListedAlarm>& listed = alarms_[gateway][device];
    std::vector<ListedAlarm> gone;
    for (const ListedAlarm& a : listed) {
        const bool still = std::any_of(active.begin(), active.end(), [&](const ListedAlarm& b) {
            return b.alarm_id == a.alarm_id && b.level == a.level;
        });
        if (!still) gone.push_back(a);
    }
    listed = std::move(active);
    return gone;
}

std::vector<ListedAlarm> MessageLedger::alarms(const std::string& gateway) const {
    std::vector<ListedAlarm> out;
    const auto it = alarms_.find(gateway);
    if (it == alarms_.end()) return out;
    for (const auto& kv : it->second) out.insert(out.end(), kv.second.begin(), kv.second.end());
    return out;
}

std::string MessageLedger::save() const {
    std::string out;
    for (const auto& kv : streams_) {
        if (kv.first.find('\t') != std::string::npos) continue;
        const size_t nl = kv.first.find('\n');
        const std::string gateway = kv.first.substr(0, nl), stream = kv.first.substr(nl + 1);
        if (stream.find('\n') != std::string::npos) continue;
        for (const auto& b : kv.second.boots) {
            if (b.first.find_first_of("\t\n") != std::string::npos) continue;
            out += gateway + "\t" + stream + "\t" + b.first + "\t" + std::to_string(b.second) +
                   "\t" + std::to_string(kv.second.last) + "\n";
        }
    }
    return out;
}

size_t MessageLedger::load(const std::string& text) {
    size_t bad = 0;
    for (size_t pos = 0; pos < text.size();) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        const std::string line = text.substr(pos, nl - pos);
        pos = nl + 1;
        std::string part[5];
        size_t n = 0;
        for (size_t at = 0; n < 5;) {
            const size_t tab = line.find('\t', at);
            part[n++] = line.substr(at, tab == std::string::npos ? tab : tab - at);
            if (tab == std::string::npos) break;
            at = tab + 1;
        }
        uint64_t high = 0, last = 0;
        char* end = nullptr;
        const bool ok = n == 5 && !part[0].empty() && !part[1].empty() && !part[3].empty() &&
                        !part[4].empty() &&
                        (high = std::strtoull(part[3].c_str(), &end, 10), *end == '\0') &&
                        (last = std::strtoull(part[4].c_str(), &end, 10), *end == '\0');
        if (!ok) {
            bad += line.empty() ? 0 : 1;
            continue;
        }
        Stream& s = streams_[part[0] + '\n' + part[1]];
        if (s.boots.size() == kBootsKept) s.boots.erase(s.boots.begin());
        s.boots.emplace_back(part[2], high);
        s.last = std::max(s.last, last);
    }
    return bad;
}

}  // namespace smdgw
