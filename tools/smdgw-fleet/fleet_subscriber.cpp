#include "tools/smdgw-fleet/fleet_subscriber.h"

#include <mosquitto.h>

#include "tools/smdgw/core/log.h"
#include "tools/smdgw/mqtt/mqtt_topic.h"

namespace smdgw {

FleetSubscriber::FleetSubscriber(const FleetOptions& o, Handler handler)
    : o_(o), handler_(std::move(handler)) {
    if (o.sharded)
        for (unsigned s = o.shard_first; s <= o.shard_last; ++s)
            filters_.push_back(o.prefix + "/" + shard_level(s) + "/#");
    else
        filters_.push_back(o.prefix + "/#");
}

FleetSubscriber::~FleetSubscriber() { stop(); }

bool FleetSubscriber::start(std::string& error) {
    mosquitto_lib_init();
    mosq_ = mosquitto_new(o_.client_id.c_str(), false, this);
    if (!mosq_) {
        error = "cannot make a client";
        return false;
    }
    mosquitto_connect_callback_set(mosq_, on_connect);
    mosquitto_disconnect_callback_set(mosq_, on_disconnect);
    mosquitto_message_callback_set(mosq_, on_message);
    mosquitto_reconnect_delay_set(mosq_, 1, 30, true);
    if (o_.has_credentials)
        mosquitto_username_pw_set(mosq_, o_.credentials.username.c_str(),
                                  o_.credentials.password.c_str());
    if (o_.broker.tls) {
        const int rc = mosquitto_tls_set(mosq_, o_.ca_file.empty() ? nullptr : o_.ca_file.c_str(),
                                         o_.ca_file.empty() ? "/etc/ssl/certs" : nullptr, nullptr,
                                         nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = std::string("TLS: ") + mosquitto_strerror(rc);
            return false;
        }
    }
    // The first connection may fail: the library's thread keeps trying.
    const int rc = mosquitto_connect_async(mosq_, o_.broker.host.c_str(), o_.broker.port, 30);
    if (rc != MOSQ_ERR_SUCCESS)
        log_warning("fleet: cannot connect to the broker yet: " +
                    std::string(mosquitto_strerror(rc)) + "; retrying");
    if (mosquitto_loop_start(mosq_) != MOSQ_ERR_SUCCESS) {
        error = "cannot start the client's thread";
        return false;
    }
    started_ = true;
    return true;
}

void FleetSubscriber::stop() {
    if (!mosq_) return;
    mosquitto_disconnect(mosq_);
    if (started_) mosquitto_loop_stop(mosq_, true);
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    mosquitto_lib_cleanup();
}

void FleetSubscriber::on_connect(mosquitto* m, void* self, int rc) {
    auto* s = static_cast<FleetSubscriber*>(self);
    if (rc != 0) {
        log_warning("fleet: the broker refused the connection: " +
                    std::string(mosquitto_connack_string(rc)));
        return;
    }
    s->connected_ = true;
    s->connects_++;
    log_info("fleet: connected to the broker as " + s->o_.client_id + ", " +
             count_text(s->filters_.size(), "subscription"));
    for (const std::string& f : s->filters_) mosquitto_subscribe(m, nullptr, f.c_str(), 1);
}

void FleetSubscriber::on_disconnect(mosquitto*, void* self, int rc) {
    auto* s = static_cast<FleetSubscriber*>(self);
    if (s->connected_.exchange(false) && rc != 0)
        log_warning("fleet: lost the broker: " + std::string(mosquitto_strerror(rc)) +
                    "; reconnecting");
}

void FleetSubscriber::on_message(mosquitto*, void* self, const mosquitto_message* m) {
    auto* s = static_cast<FleetSubscriber*>(self);
    if (!m->topic) return;
    s->handler_(m->topic,
                std::string(static_cast<const char*>(m->payload),
                            static_cast<size_t>(m->payloadlen > 0 ? m->payloadlen : 0)));
}

}  // namespace smdgw
