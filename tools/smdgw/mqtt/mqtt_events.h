#pragma once
// The adapter between the host's events and the MQTT topics: every record
// becomes a <device>/record message, every alarm change an <device>/alarm
// message and a new retained <device>/alarms list, and the device's state a
// retained <device>/state message. This is the one place that knows the
// shape of the host's events.
//
// Round quality and device states come from the host where it reports them
// (a record event's "complete", {"event":"state"} events); until it does, every
// round counts as complete and the state is derived here: "never" until the
// first round, then "live".

#include <json/value.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "host/host_sink.h"
#include "tools/smdgw/mqtt/mqtt_message.h"
#include "tools/smdgw/mqtt/mqtt_topic.h"

namespace smdgw {

class MqttEvents : public HostSink {
   public:
    using Queue = std::function<void(PendingMessage)>;
    using NowMs = std::function<int64_t()>;

    MqttEvents(std::string prefix, std::string boot_id, bool publish_damaged, NowMs now_ms,
               Queue queue);

    // Publishes the device's first state ("never").
    void add_device(const std::string& device);
    // While the history hands devices their last stored round at start, the
    // rounds that come back are no news: they were published when they were
    // read from the line, and the device is not live because of them.
    void set_restoring(bool restoring) { restoring_ = restoring; }

    void on_publish(const std::string& device, int data_id, const unsigned char* data,
                    unsigned length) override;
    void on_event(const std::string& device, const Json::Value& event) override;

   private:
    struct Device {
        std::string state;
        bool host_states = false;  // the host reports states itself
        std::map<std::string, Json::Value> active;  // alarm identity -> entry
    };

    void record(const std::string& device, Json::Value event);
    void alarm(const std::string& device, const Json::Value& event);
    void state(const std::string& device, const std::string& state, const Json::Value& event);
    void queue(const std::string& device, TopicKind kind, DropClass cls, bool retain,
               Json::Value payload, int64_t at_ms);
    Device& find(const std::string& device);

    const std::string prefix_;
    const std::string boot_id_;
    const bool damaged_;
    const NowMs now_ms_;
    const Queue queue_;
    std::map<std::string, Device> devices_;
    bool restoring_ = false;
};

}  // namespace smdgw
