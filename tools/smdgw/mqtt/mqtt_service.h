#pragma once
// smdgw --mqtt: the outbox, its writer, the shared delivery loop with the
// publisher (the broker connection) as its backend, and the event adapter,
// put together from the options. The gateway hands it events through
// sink(); everything else runs on the service's own threads. A stop ends
// within the drain and kStopMarginSeconds whatever the disk or the network
// does, and says on standard error what is left and what was lost.

#include <json/value.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "host/host_sink.h"
#include "tools/smdgw/core/config.h"
#include "tools/smdgw/core/service.h"
#include "tools/smdgw/mqtt/ha_discovery.h"
#include "tools/smdgw/mqtt/mqtt_counters.h"
#include "tools/smdgw/mqtt/mqtt_events.h"
#include "tools/smdgw/mqtt/mqtt_options.h"
#include "tools/smdgw/mqtt/mqtt_outbox.h"
#include "tools/smdgw/mqtt/mqtt_publisher.h"
#include "tools/smdgw/outbox/delivery_loop.h"
#include "tools/smdgw/outbox/outbox_writer.h"

namespace smdgw {

class MqttService : public Service {
   public:
    // At a clean stop, sending goes on this long while the broker takes it.
    static constexpr double kDrainSeconds = 5.0;
    // ... and everything else of the stop (the goodbye, the last writes)
    // takes at most this much more.
    static constexpr double kStopMarginSeconds = 1.5;
    // Messages waiting in memory for the outbox, at most.
    static constexpr uint64_t kBacklogBytes = 4 << 20;

    // Opens the outbox of the options; throws OutboxError naming the file.
    static std::unique_ptr<MqttOutbox> open_outbox(const MqttOptions& options);

    // Starts connecting. The context's clock gives the events' "time", its
    // battery monitor the records of devices with a battery their estimate;
    // Home Assistant discovery reads its device states.
    MqttService(const MqttOptions& options, std::unique_ptr<MqttOutbox> outbox,
                const ServiceContext& ctx);
    // stop(), if not done yet.
    ~MqttService();
    MqttService(const MqttService&) = delete;
    MqttService& operator=(const MqttService&) = delete;

    HostSink* sink() override { return events_.get(); }
    // Around the restore from the history at start (see MqttEvents).
    void set_restoring(bool restoring) override { events_->set_restoring(restoring); }
    // Stores everything the events gave, sends for up to kDrainSeconds while
    // connected, says "offline" and disconnects; what could not be stored is
    // counted as dropped. Says what is left in the outbox (it goes at the
    // next start) and what was lost.
    void stop() override;

    Json::Value stats_line() const;
    std::optional<Json::Value> stats() const override { return stats_line(); }
    std::string prometheus_text() const override;

   private:
    // The notice of drops on <prefix>/dropped.
    OutgoingMessage drop_notice(const std::vector<KindDrops>& pending, uint64_t total) const;
    void report_stop(bool finished) const;

    const std::function<int64_t()> now_ms_;
    const std::string boot_id_;
    const std::string dropped_topic_;
    MqttCounters counters_;
    std::unique_ptr<MqttOutbox> outbox_;
    std::unique_ptr<OutboxWriter> writer_;
    std::unique_ptr<HaDiscovery> ha_;  // --mqtt-ha-discovery; used by the publisher
    std::unique_ptr<MqttPublisher> publisher_;
    std::unique_ptr<DeliveryLoop> delivery_;  // hands the outbox to the publisher
    std::unique_ptr<MqttEvents> events_;
    bool stopped_ = false;
};

// --mqtt: opens the outbox and starts the service; none without --mqtt.
OpenedService open_mqtt_service(const MqttOptions& options, const ServiceContext& ctx);

}  // namespace smdgw
