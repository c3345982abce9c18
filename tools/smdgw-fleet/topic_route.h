#pragma once
// Where a message comes from, read off its topic:
//   <prefix>/<gateway>/status             <prefix>/<gateway>/dropped
//   <prefix>/<gateway>/<device>/<kind>    kind: record, alarm, alarms, state
// and, in the large-fleet profile, the same with a shard level after the
// prefix: <prefix>/s07/<gateway>/...

#include <string>

namespace smdgw {

enum class MessageKind { Status, Dropped, Record, Alarm, Alarms, State, Unknown };

struct TopicRoute {
    MessageKind kind = MessageKind::Unknown;
    std::string gateway;  // the topic level as published (percent-encoded)
    std::string device;   // empty for status and dropped
};

// `prefix` without a trailing '/'; `sharded`: a shard level follows it.
TopicRoute route_topic(const std::string& topic, const std::string& prefix, bool sharded);

const char* message_kind_name(MessageKind kind);

}  // namespace smdgw
