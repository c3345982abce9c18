#include "tools/smdgw/mqtt/mqtt_service.h"

#include <mosquitto.h>

#include <utility>

namespace smdgw {

namespace {

// libmosquitto's global set-up, owned by the process on purpose: done once,
// undone at exit.
class LibraryUse {
   public:
    LibraryUse() { mosquitto_lib_init(); }
    ~LibraryUse() { mosquitto_lib_cleanup(); }
};

PublisherConfig publisher_config(const MqttOptions& o) {
    PublisherConfig c;
    c.broker = o.broker;
    c.client_id = o.gateway_id;
    c.ca_file = o.ca_file;
    c.cert_file = o.cert_file;
    c.key_file = o.key_file;
    c.insecure = o.insecure;
    c.has_credentials = o.has_credentials;
    c.credentials = o.credentials;
    c.status_topic = o.prefix + "/status";
    c.reconnect_max_s = o.reconnect_max_s;
    return c;
}

}  // namespace

std::unique_ptr<MqttOutbox> MqttService::open_outbox(const MqttOptions& o) {
    return std::make_unique<MqttOutbox>(o.outbox_path, o.outbox_max_bytes);
}

MqttService::MqttService(const MqttOptions& o, std::unique_ptr<MqttOutbox> outbox,
                         const GatewayConfig& cfg, std::function<int64_t()> now_ms)
    : now_ms_(std::move(now_ms)), boot_id_(new_boot_id()), outbox_(std::move(outbox)) {
    static LibraryUse library;
    publisher_ = std::make_unique<MqttPublisher>(publisher_config(o), *outbox_, counters_);
    const std::string dropped_topic = o.prefix + "/dropped";
    outbox_->set_dropped_notice([this, dropped_topic](uint64_t total) {
        PendingMessage m;
        m.topic = dropped_topic;
        m.seq_kind = "dropped";
        m.pub_seq = outbox_->pub_seq().next(m.seq_device, m.seq_kind);
        m.drop_class = DropClass::Dropped;
        m.retain = true;
        m.created_ms = now_ms_();
        JsonObject obj;
        json_string(obj.add("event"), "dropped");
        json_uint(obj.add("dropped_total"), total);
        json_string(obj.add("boot_id"), boot_id_);
        json_string(obj.add("time"), iso8601_time(m.created_ms));
        json_int(obj.add("pub_seq"), m.pub_seq);
        obj.close(m.payload);
        return m;
    });
    writer_ = std::make_unique<OutboxWriter>(*outbox_, counters_);
    events_ = std::make_unique<MqttEvents>(o.prefix, boot_id_, outbox_->pub_seq(), now_ms_,
                                           [this](PendingMessage m) { writer_->add(std::move(m)); });
    events_->set_publish_damaged(o.damaged);
    for (const DeviceConfig& d : cfg.devices) events_->add_device(d.name);
}

MqttService::~MqttService() { stop(); }

void MqttService::stop() {
    if (stopped_) return;
    stopped_ = true;
    writer_->flush();
    publisher_->stop(kDrainSeconds);
}

Json::Value MqttService::stats_line() const {
    return mqtt_stats_line(counters_, *outbox_, now_ms_());
}

std::string MqttService::prometheus_text() const {
    return mqtt_prometheus_text(counters_, *outbox_, now_ms_());
}

}  // namespace smdgw
