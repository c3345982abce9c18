#include "tools/smdgw/mqtt/mqtt_service.h"

#include <mosquitto.h>

#include <utility>

#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/steady_time.h"
#include "tools/smdgw/outbox/stop_report.h"
#include "tools/smdgw/output/json_text.h"

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

MqttEvents::Settings event_settings(const MqttOptions& o, const BatteryMonitor& battery) {
    MqttEvents::Settings s;
    s.publish_damaged = o.damaged;
    s.record_interval_s = o.record_interval_s;
    s.record_form = o.payload == "compact" ? RecordForm::Compact : RecordForm::Full;
    s.retain_record = !o.fleet_profile;
    if (!battery.empty())
        s.battery = [&battery](const std::string& device) { return battery.json(device); };
    return s;
}

// "471 records, 3 states"
std::string kinds_text(const DropTally& tally) {
    std::string text;
    for (size_t k = 0; k < tally.size(); ++k) {
        if (tally[k].count == 0) continue;
        if (!text.empty()) text += ", ";
        text += count_text(tally[k].count, mqtt_kind_noun(k));
    }
    return text;
}

}  // namespace

std::unique_ptr<MqttOutbox> MqttService::open_outbox(const MqttOptions& o) {
    return std::make_unique<MqttOutbox>(o.outbox_path, o.outbox_max_bytes);
}

MqttService::MqttService(const MqttOptions& o, std::unique_ptr<MqttOutbox> outbox,
                         const ServiceContext& ctx)
    : now_ms_(ctx.now_ms),
      boot_id_(new_boot_id()),
      dropped_topic_(o.prefix + "/dropped"),
      outbox_(std::move(outbox)) {
    static LibraryUse library;
    OutboxWriterOptions w;
    w.memory_bytes = kBacklogBytes;
    w.log_name = "mqtt: outbox";
    w.notice = [this](const std::vector<KindDrops>& pending, uint64_t total) {
        return drop_notice(pending, total);
    };
    writer_ = std::make_unique<OutboxWriter>(*outbox_, counters_.outbox, std::move(w));
    PublisherConfig pc = publisher_config(o);
    MqttEvents::Settings es = event_settings(o, ctx.battery);
    if (o.ha_discovery) {
        HaIdentity id;
        id.discovery_prefix = o.ha_prefix;
        id.topic_prefix = o.prefix;
        id.gateway_id = o.gateway_id;
        id.version = ctx.version;
        id.expire_after_s = ha_expire_after_s(o.record_interval_s);
        ha_ = std::make_unique<HaDiscovery>(id, ctx.cfg, ctx.states, ctx.battery, counters_);
        pc.side = ha_.get();
        es.recorded = [ha = ha_.get()](const std::string& device) { ha->on_record(device); };
    }
    DeliveryLoopOptions d;
    d.log_name = "mqtt";
    d.noun = "message";
    d.targets = {broker_name(o.broker)};
    d.counters = [this](size_t) -> DeliveryCounters& { return counters_.delivery; };
    // Every topic goes to the one broker.
    d.target_of = [](const StoredMessage&) { return size_t{0}; };
    d.backend_says_outages = true;
    d.count_waiting = false;
    publisher_ = std::make_unique<MqttPublisher>(std::move(pc), *outbox_, counters_);
    delivery_ = std::make_unique<DeliveryLoop>(*outbox_, *writer_, counters_.outbox, *publisher_,
                                               std::move(d));
    events_ = std::make_unique<MqttEvents>(
        o.prefix, boot_id_, now_ms_,
        [this](OutgoingMessage m) {
            writer_->add(std::move(m));
            delivery_->wake();
        },
        std::move(es));
    for (const DeviceConfig& d : ctx.cfg.devices) events_->add_device(d.name);
}

MqttService::~MqttService() { stop(); }

//   {"boot_id":"...","dropped":[{"count":471,"first":"2026-12-08T10:02:11.020+01:00",
//    "kind":"record","last":"2026-12-08T10:46:40.300+01:00"}],"dropped_total":481,
//    "event":"dropped","pub_seq":3,"time":"2026-12-08T11:00:02.118+01:00"}
OutgoingMessage MqttService::drop_notice(const std::vector<KindDrops>& pending,
                                         uint64_t total) const {
    OutgoingMessage m;
    m.target = dropped_topic_;
    m.stream = pub_seq_stream("", "dropped");
    m.kind = static_cast<uint8_t>(MqttKind::Dropped);
    m.flags = kMqttRetain;
    m.created_ms = now_ms_();
    JsonObject obj;
    std::string& list = obj.add("dropped");
    list = "[";
    for (const KindDrops& k : pending) {
        if (list.size() > 1) list += ',';
        JsonObject entry;
        json_uint(entry.add("count"), k.drops.count);
        json_string(entry.add("first"), iso8601_time(k.drops.first_ms));
        json_string(entry.add("kind"), k.kind);
        json_string(entry.add("last"), iso8601_time(k.drops.last_ms));
        entry.close(list);
    }
    list += ']';
    json_string(obj.add("event"), "dropped");
    json_uint(obj.add("dropped_total"), total);
    json_string(obj.add("boot_id"), boot_id_);
    json_string(obj.add("time"), iso8601_time(m.created_ms));
    obj.add("pub_seq");
    m.seq_at = obj.close_marking(m.payload, "pub_seq");
    return m;
}

void MqttService::stop() {
    if (stopped_) return;
    stopped_ = true;
    events_->flush();
    const auto start = std::chrono::steady_clock::now();
    // The writer goes on storing while the loop drains through the
    // connection; then the connection says "offline" and goes, and the
    // writer gets what is left of the margin for the last writes.
    const bool drained = delivery_->stop(start + steady_duration(kDrainSeconds));
    const bool sent = publisher_->stop(start + steady_duration(kDrainSeconds + 1.0)) && drained;
    const bool written = writer_->stop(
        std::max(std::chrono::steady_clock::now(), start + steady_duration(kDrainSeconds + 0.8)));
    report_stop(written);
    if (!sent || !written) {
        // A thread still waits on the disk or the network and uses these:
        // they stay for the little time left before the process exits.
        (void)delivery_.release();
        (void)publisher_.release();
        (void)ha_.release();
        (void)writer_.release();
        (void)outbox_.release();
    }
}

void MqttService::report_stop(bool finished) const {
    StopReport r;
    r.log_name = "mqtt";
    r.noun = "message";
    r.bound_s = static_cast<int>(kDrainSeconds + kStopMarginSeconds);
    r.lost_detail = [this](const DropTally& lost) {
        return " (" + kinds_text(lost) + ")" +
               (writer_->drops_recorded()
                    ? "; the count is in the outbox and announced on " + dropped_topic_
                    : "; their count could not be written to the outbox either");
    };
    smdgw::report_stop(r, finished, *outbox_, *writer_, counters_.outbox);
}

OpenedService open_mqtt_service(const MqttOptions& o, const ServiceContext& ctx) {
    OpenedService opened;
    if (!o.enabled()) return opened;
    try {
        std::unique_ptr<MqttOutbox> outbox = MqttService::open_outbox(o);
        opened.service = std::make_unique<MqttService>(o, std::move(outbox), ctx);
    } catch (const OutboxError& e) {
        log_error(std::string("mqtt: ") + e.what());
        opened.status = e.file_unavailable() ? kExitFailure : kExitUsage;
    }
    return opened;
}

Json::Value MqttService::stats_line() const {
    return mqtt_stats_line(counters_, *outbox_, now_ms_());
}

std::string MqttService::prometheus_text() const {
    return mqtt_prometheus_text(counters_, *outbox_, now_ms_());
}

}  // namespace smdgw
