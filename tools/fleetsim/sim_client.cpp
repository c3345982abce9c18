#include "tools/fleetsim/sim_client.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>

#include "tools/smdgw/mqtt/mqtt_publisher.h"

namespace smdgw {

namespace {

// Messages awaiting their PUBACK at once, as smdgw allows.
constexpr size_t kInflight = 20;


}  // namespace

SimClient::SimClient(SimSite& site, const BrokerUrl& broker, double reconnect_cap_s,
                     SimTotals& totals, uint64_t seed)
    : site_(site), broker_(broker), totals_(totals), backoff_(reconnect_policy(reconnect_cap_s), seed) {}

SimClient::~SimClient() {
    if (mosq_) mosquitto_destroy(mosq_);
}

void SimClient::publish(SimMessage m) {
    ++totals_.published;
    waiting_.emplace_back(next_id_++, std::move(m));
    if (connected_) send_waiting();
}

void SimClient::send_waiting() {
    while (connected_ && !waiting_.empty() && unacked_.size() < kInflight) {
        auto& [id, m] = waiting_.front();
        int mid = 0;
        const int rc = mosquitto_publish(mosq_, &mid, m.topic.c_str(),
                                         static_cast<int>(m.payload.size()), m.payload.data(), 1,
                                         m.retain);
        if (rc != MOSQ_ERR_SUCCESS) return;
        ++totals_.sent;
        by_mid_[mid] = id;
        unacked_.emplace(id, std::move(m));
        waiting_.pop_front();
    }
}

void SimClient::step(double now_s) {
    now_s_ = now_s;
    if (silent_) return;
    if (!mosq_ && now_s >= next_try_s_) {
        mosq_ = mosquitto_new(site_.id().c_str(), true, this);
        if (!mosq_) {
            ++totals_.connects;
            ++totals_.local_failures;
            lost(now_s);
            return;
        }
        mosquitto_connect_callback_set(mosq_, on_connect);
        mosquitto_disconnect_callback_set(mosq_, on_disconnect);
        mosquitto_publish_callback_set(mosq_, on_publish);
        mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        const std::string offline = "offline";
        mosquitto_will_set(mosq_, site_.status_topic().c_str(),
                           static_cast<int>(offline.size()), offline.data(), 1, true);
        ++totals_.connects;
        if (outage_since_s_ >= 0) ++totals_.reconnects;
        const int rc = mosquitto_connect_async(mosq_, broker_.host.c_str(), broker_.port, 60);
        // A refused or unreachable broker shows later, on the socket; an
        // error here is this machine's (out of files or memory).
        if (rc != MOSQ_ERR_SUCCESS) {
            if (rc == MOSQ_ERR_NOMEM ||
                (rc == MOSQ_ERR_ERRNO && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS)))
                ++totals_.local_failures;
            lost(now_s);
            return;
        }
    }
    if (mosq_ && (mosquitto_loop_misc(mosq_) == MOSQ_ERR_NO_CONN || broken_ ||
                  mosquitto_socket(mosq_) < 0))
        lost(now_s);
}

int SimClient::socket() const { return mosq_ ? mosquitto_socket(mosq_) : -1; }

bool SimClient::wants_write() const { return mosq_ && mosquitto_want_write(mosq_); }

void SimClient::on_readable(double now_s) {
    now_s_ = now_s;
    if (mosq_ && (mosquitto_loop_read(mosq_, 1) != MOSQ_ERR_SUCCESS || broken_)) lost(now_s);
}

void SimClient::on_writable(double now_s) {
    now_s_ = now_s;
    if (mosq_ && (mosquitto_loop_write(mosq_, 1) != MOSQ_ERR_SUCCESS || broken_)) lost(now_s);
}

void SimClient::lost(double now_s) {
    if (connected_) ++totals_.lost;
    connected_ = false;
    broken_ = false;
    if (mosq_) {
        // The library's state goes; what it had not got acknowledged is sent again.
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
    }
    std::deque<std::pair<uint64_t, SimMessage>> again;
    for (auto& kv : unacked_) again.emplace_back(kv.first, std::move(kv.second));
    unacked_.clear();
    by_mid_.clear();
    for (auto& w : waiting_) again.push_back(std::move(w));
    waiting_ = std::move(again);
    if (outage_since_s_ < 0) {
        outage_since_s_ = now_s;
        next_try_s_ = now_s + backoff_.first_delay();
    } else {
        next_try_s_ = now_s + backoff_.next_delay(now_s - outage_since_s_);
    }
}

void SimClient::cut(double now_s) {
    if (mosq_) lost(now_s);
}

void SimClient::silence(double now_s) {
    cut(now_s);
    silent_ = true;
}

void SimClient::close_cleanly() {
    if (!connected_) return;
    const std::string offline = "offline";
    mosquitto_publish(mosq_, nullptr, site_.status_topic().c_str(),
                      static_cast<int>(offline.size()), offline.data(), 1, true);
    mosquitto_disconnect(mosq_);
    mosquitto_loop_write(mosq_, 1);
}

void SimClient::on_connect(mosquitto* m, void* self, int rc) {
    auto* c = static_cast<SimClient*>(self);
    if (rc != 0) {
        c->broken_ = true;  // handled once the library's call returned
        return;
    }
    ++c->totals_.connected;
    c->connected_ = true;
    c->outage_since_s_ = -1.0;
    c->backoff_.reset();
    const std::string online = "online";
    mosquitto_publish(m, nullptr, c->site_.status_topic().c_str(),
                      static_cast<int>(online.size()), online.data(), 1, true);
    c->send_waiting();
}

void SimClient::on_disconnect(mosquitto*, void* self, int) {
    // Handled once the library's call returned.
    static_cast<SimClient*>(self)->broken_ = true;
}

void SimClient::on_publish(mosquitto*, void* self, int mid) {
    auto* c = static_cast<SimClient*>(self);
    const auto it = c->by_mid_.find(mid);
    if (it == c->by_mid_.end()) return;  // the status
    c->unacked_.erase(it->second);
    c->by_mid_.erase(it);
    ++c->totals_.acknowledged;
    c->send_waiting();
}

}  // namespace smdgw
