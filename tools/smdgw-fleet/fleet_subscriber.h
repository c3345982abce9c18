#pragma once
// The collector's broker session (libmosquitto, on the library's own thread):
// a persistent session (clean session off) under a fixed client ID, QoS 1
// subscriptions to its shards, reconnects by the library (1 s growing to
// 30 s). While the collector is stopped the broker keeps its messages, and it
// catches up when it comes back.
//
// libmosquitto acknowledges a QoS 1 message once the handler returned; the
// handler hands the lines to the bounded buffer, so a crash loses at most
// what the buffer held.

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "tools/smdgw-fleet/fleet_options.h"

struct mosquitto;
struct mosquitto_message;

namespace smdgw {

class FleetSubscriber {
   public:
    using Handler = std::function<void(const std::string& topic, const std::string& payload)>;
    FleetSubscriber(const FleetOptions& o, Handler handler);
    ~FleetSubscriber();
    // Starts the library's thread; false with `error` when it cannot.
    bool start(std::string& error);
    void stop();
    bool connected() const { return connected_; }
    uint64_t connects() const { return connects_; }
    // The filters subscribed to: <prefix>/sNN/# per shard, or <prefix>/#.
    const std::vector<std::string>& filters() const { return filters_; }

   private:
    static void on_connect(mosquitto*, void* self, int rc);
    static void on_disconnect(mosquitto*, void* self, int rc);
    static void on_message(mosquitto*, void* self, const mosquitto_message* m);

    const FleetOptions& o_;
    Handler handler_;
    mosquitto* mosq_ = nullptr;
    std::vector<std::string> filters_;
    std::atomic<bool> connected_{false};
    std::atomic<uint64_t> connects_{0};
    bool started_ = false;
};

}  // namespace smdgw
