#include "tools/smdgw/notify/notify_router.h"

#include <algorithm>

#include "host/alarm_policy.h"

namespace smdgw::notify {

std::vector<size_t> route_targets(const NotifyConfig& cfg, const std::string& device, int level,
                                  const std::string& alarm_id) {
    std::vector<bool> chosen(cfg.targets.size(), false);
    for (const NotifyRoute& r : cfg.routes) {
        if (!alarm_pattern_match(r.device, device)) continue;
        if (!r.levels.empty() && std::find(r.levels.begin(), r.levels.end(), level) == r.levels.end())
            continue;
        if (!alarm_pattern_match(r.alarm, alarm_id)) continue;
        for (const std::string& name : r.targets) {
            const size_t i = cfg.index(name);
            if (i < chosen.size()) chosen[i] = true;
        }
    }
    std::vector<size_t> out;
    for (size_t i = 0; i < chosen.size(); ++i)
        if (chosen[i]) out.push_back(i);
    return out;
}

}  // namespace smdgw::notify
