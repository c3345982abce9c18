#pragma once
// The MQTT service's durable outbox: the shared outbox (tools/smdgw/outbox/)
// under the name "mqtt", with MQTT's kinds of message, in the --history
// database or a file of its own. Files of an earlier smdgw (topic and retain
// columns, pub_seq per device and kind, one drop total) are brought up to
// date when opened.

#include <cstdint>
#include <string>

#include "tools/smdgw/outbox/outbox_store.h"

namespace smdgw {

class MqttOutbox : public OutboxStore {
   public:
    // Opens or creates the outbox in `path`; throws OutboxError naming the
    // file when it cannot, or when the file belongs to another program.
    MqttOutbox(const std::string& path, uint64_t max_bytes);
};

}  // namespace smdgw
