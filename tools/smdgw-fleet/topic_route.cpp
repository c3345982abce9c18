#include "tools/smdgw-fleet/topic_route.h"

#include <vector>

namespace smdgw {

namespace {

MessageKind device_kind(const std::string& level) {
    if (level == "record") return MessageKind::Record;
    if (level == "alarm") return MessageKind::Alarm;
    if (level == "alarms") return MessageKind::Alarms;
    if (level == "state") return MessageKind::State;
    return MessageKind::Unknown;
}

}  // namespace

TopicRoute route_topic(const std::string& topic, const std::string& prefix, bool sharded) {
    TopicRoute r;
    if (topic.size() <= prefix.size() + 1 || topic.compare(0, prefix.size(), prefix) != 0 ||
        topic[prefix.size()] != '/')
        return r;
    std::vector<std::string> levels;
    size_t pos = prefix.size() + 1;
    while (levels.size() < 5) {
        const size_t slash = topic.find('/', pos);
        levels.push_back(topic.substr(pos, slash == std::string::npos ? slash : slash - pos));
        if (slash == std::string::npos) break;
        pos = slash + 1;
    }
    size_t at = 0;
    if (sharded) {
        if (levels.size() < 2 || levels[0].size() < 2 || levels[0][0] != 's') return r;
        at = 1;
    }
    const size_t rest = levels.size() - at;
    if (rest == 2 && (levels[at + 1] == "status" || levels[at + 1] == "dropped")) {
        r.kind = levels[at + 1] == "status" ? MessageKind::Status : MessageKind::Dropped;
        r.gateway = levels[at];
    } else if (rest == 3 && !levels[at + 1].empty()) {
        r.kind = device_kind(levels[at + 2]);
        r.gateway = levels[at];
        r.device = levels[at + 1];
    }
    if (r.gateway.empty() || r.kind == MessageKind::Unknown) return TopicRoute{};
    return r;
}

const char* message_kind_name(MessageKind kind) {
    switch (kind) {
        case MessageKind::Status:
            return "status";
        case MessageKind::Dropped:
            return "dropped";
        case MessageKind::Record:
            return "record";
        case MessageKind::Alarm:
            return "alarm";
        case MessageKind::Alarms:
            return "alarms";
        case MessageKind::State:
            return "state";
        case MessageKind::Unknown:
            break;
    }
    return "unknown";
}

}  // namespace smdgw
