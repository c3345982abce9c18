#pragma once
// The adapter between the host's typed events and the MQTT topics: every
// record becomes a <device>/record message, every alarm change an
// <device>/alarm message and a new retained <device>/alarms list, and the
// device's state a retained <device>/state message. This is the one place
// that knows the host's events; payloads are made here, on the frame thread,
// by the JSON output's own members plus "device", "pub_seq", "boot_id" and
// "time".
//
// The state is the host's judgement (never, live, stale, restored, no-port);
// a damaged round is published only when asked for (--mqtt-damaged), and a
// round restored from the history never (it was published when it was read).

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "host/host_sink.h"
#include "tools/smdgw/mqtt/mqtt_message.h"
#include "tools/smdgw/mqtt/mqtt_topic.h"
#include "tools/smdgw/output/json_text.h"

namespace smdgw {

class MqttEvents : public HostSink {
   public:
    using Queue = std::function<void(PendingMessage)>;
    using NowMs = std::function<int64_t()>;

    MqttEvents(std::string prefix, std::string boot_id, PubSeq& pub_seq, NowMs now_ms,
               Queue queue);

    // Publishes the device's first state ("never").
    void add_device(const std::string& device);
    // While the history hands devices their last stored round at start, the
    // rounds that come back are no news: they were published when they were
    // read from the line, and the device is not live because of them.
    void set_restoring(bool restoring) { restoring_ = restoring; }
    // Whether rounds the host judged damaged are published too.
    void set_publish_damaged(bool damaged) { publish_damaged_ = damaged; }

    void on_publish(const std::string& device, const smd::RecordPublished& r) override;
    void on_alarm(const std::string& device, const smd::AlarmChange& a) override;
    void on_state(const std::string& device, const smd::StateChanged& s) override;
    // An acknowledgement given or taken back changes the list too.
    void on_active_alarms(const std::string& device, const smd::ActiveAlarms& a) override;

   private:
    // One entry of a device's alarm list.
    struct ListedAlarm {
        std::string id, alarm_id, key, message;
        unsigned seq = 0;
        int level = 0;
        int64_t since_ms = 0;
        AlarmAck ack;
    };
    struct Device {
        std::string state;
        std::map<std::string, ListedAlarm> active;  // alarm identity -> entry
    };
    void publish_list(const std::string& device, const Device& d, int64_t at_ms);

    void state(const std::string& device, const std::string& state, int64_t at_ms);
    // Adds the common members to the event's, closes it and queues it.
    void queue(const std::string& device, TopicKind kind, DropClass cls, bool retain,
               JsonObject& event, int64_t at_ms);

    const std::string prefix_;
    const std::string boot_id_;
    PubSeq& pub_seq_;
    const NowMs now_ms_;
    const Queue queue_;
    std::map<std::string, Device> devices_;
    bool restoring_ = false;
    bool publish_damaged_ = false;
    JsonObject obj_;  // the payload being made
};

}  // namespace smdgw
