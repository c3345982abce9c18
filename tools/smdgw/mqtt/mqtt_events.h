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
// Records may be paced (--mqtt-record-interval) and written compact
// (--mqtt-payload compact). A device with a battery has its estimate in
// every record, as it stands when the record goes out. "pub_seq" is left for
// the outbox to fill in when it stores the message.

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "host/host_sink.h"
#include "tools/smdgw/mqtt/mqtt_message.h"
#include "tools/smdgw/mqtt/mqtt_topic.h"
#include "tools/smdgw/mqtt/record_interval.h"
#include "tools/smdgw/outbox/outbox_message.h"
#include "tools/smdgw/output/event_render.h"
#include "tools/smdgw/output/json_text.h"

namespace smdgw {

class MqttEvents : public HostSink {
   public:
    using Queue = std::function<void(OutgoingMessage)>;
    using NowMs = std::function<int64_t()>;

    struct Settings {
        bool publish_damaged = false;         // rounds the host judged damaged too
        double record_interval_s = 0.0;       // 0: every round
        RecordForm record_form = RecordForm::Full;
        bool retain_record = true;            // the large-fleet profile: false
        // The device's battery estimate as the HTTP API gives it ("" for a
        // device without a battery); none: records carry no "battery".
        std::function<std::string(const std::string&)> battery;
        // Told after each record went to the outbox (Home Assistant's values).
        std::function<void(const std::string&)> recorded;
    };

    MqttEvents(std::string prefix, std::string boot_id, NowMs now_ms, Queue queue,
               Settings settings);

    // Publishes the device's first state ("never").
    void add_device(const std::string& device);
    // While the history hands devices their last stored round at start, the
    // rounds that come back are no news: they were published when they were
    // read from the line, and the device is not live because of them.
    void set_restoring(bool restoring) { restoring_ = restoring; }
    // Publishes the rounds held back by the record interval (at a stop).
    void flush() { records_.flush_all(); }

    void on_publish(const std::string& device, const smd::RecordPublished& r) override;
    void on_alarm(const std::string& device, const smd::AlarmChange& a) override;
    void on_state(const std::string& device, const smd::StateChanged& s) override;
    // An acknowledgement given or taken back changes the list too.
    void on_active_alarms(const std::string& device, const smd::ActiveAlarms& a) override;

   private:
    // One entry of a device's alarm list.
    struct ListedAlarm {
        std::string id, alarm_id, key, message, english;
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

    void record(const std::string& device, const smd::RecordPublished& r, int64_t at_ms);
    void state(const std::string& device, const std::string& state, int64_t at_ms);
    // Adds the common members to the event's, closes it and queues it.
    void queue(const std::string& device, TopicKind kind, MqttKind mqtt_kind, bool retain,
               JsonObject& event, int64_t at_ms);

    const std::string prefix_;
    const std::string boot_id_;
    const NowMs now_ms_;
    const Queue queue_;
    const Settings settings_;
    RecordInterval records_;
    std::map<std::string, Device> devices_;
    bool restoring_ = false;
    JsonObject obj_;  // the payload being made
};

}  // namespace smdgw
