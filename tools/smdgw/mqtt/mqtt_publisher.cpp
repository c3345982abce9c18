#include "tools/smdgw/mqtt/mqtt_publisher.h"

#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/smdgw/core/log.h"

namespace smdgw {

namespace {

constexpr int kKeepaliveS = 30;
// How long mosquitto_loop waits for the socket; also how soon new outbox
// rows are picked up.
constexpr int kLoopTimeoutMs = 50;
// A CONNACK that does not come within this ends the attempt.
constexpr auto kConnackTimeout = std::chrono::seconds(20);
// Take-overs counted within this span; three of them are reported.
constexpr auto kTakeoverSpan = std::chrono::minutes(5);
constexpr size_t kTakeoversReported = 3;
// A connection the broker drops sooner than this after accepting it counts
// as taken over: MQTT 3.1.1 gives no reason, and Mosquitto 2.0 just closes.
constexpr auto kShortConnection = std::chrono::seconds(30);
// The same failure is logged again only after this.
constexpr auto kLogRepeat = std::chrono::seconds(60);
// Waiting for the "offline" status's PUBACK at a clean stop.
constexpr auto kOfflineWait = std::chrono::seconds(2);

std::string broker_text(const BrokerUrl& b) {
    const bool v6 = b.host.find(':') != std::string::npos;
    return (v6 ? "[" + b.host + "]" : b.host) + ":" + std::to_string(b.port);
}

}  // namespace

MqttPublisher::MqttPublisher(PublisherConfig cfg, MqttOutbox& outbox, MqttCounters& counters)
    : cfg_(std::move(cfg)), outbox_(outbox), counters_(counters), thread_([this] { run(); }) {}

MqttPublisher::~MqttPublisher() { stop(0.0); }

void MqttPublisher::stop(double drain_s) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_ && !thread_.joinable()) return;
        stop_ = true;
        drain_s_ = drain_s;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void MqttPublisher::on_connect(struct mosquitto*, void* self, int rc, int, const mosquitto_property*) {
    static_cast<MqttPublisher*>(self)->connected(rc);
}
void MqttPublisher::on_disconnect(struct mosquitto*, void* self, int rc, const mosquitto_property*) {
    static_cast<MqttPublisher*>(self)->disconnected(rc);
}
void MqttPublisher::on_publish(struct mosquitto*, void* self, int mid, int reason,
                               const mosquitto_property*) {
    static_cast<MqttPublisher*>(self)->acknowledged(mid, reason);
}
void MqttPublisher::on_log(struct mosquitto*, void* self, int level, const char* text) {
    // The library says why TLS failed only here.
    if ((level & MOSQ_LOG_ERR) != 0 && text) static_cast<MqttPublisher*>(self)->library_error_ = text;
}

void MqttPublisher::log_failure(const std::string& text) {
    const auto now = SteadyClock::now();
    if (text == last_logged_ && now - last_logged_at_ < kLogRepeat) return;
    last_logged_ = text;
    last_logged_at_ = now;
    log_warning("mqtt: " + text);
}

bool MqttPublisher::configure(struct mosquitto* m) {
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, v5_ ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_connect_v5_callback_set(m, on_connect);
    mosquitto_disconnect_v5_callback_set(m, on_disconnect);
    mosquitto_publish_v5_callback_set(m, on_publish);
    mosquitto_log_callback_set(m, on_log);
    // The broker says "offline" for us when we vanish without a goodbye.
    int rc = mosquitto_will_set(m, cfg_.status_topic.c_str(), 7, "offline", 1, true);
    if (rc == MOSQ_ERR_SUCCESS && cfg_.has_credentials)
        rc = mosquitto_username_pw_set(m, cfg_.credentials.username.c_str(),
                                       cfg_.credentials.password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && cfg_.broker.tls) {
        const char* cert = cfg_.cert_file.empty() ? nullptr : cfg_.cert_file.c_str();
        const char* key = cfg_.key_file.empty() ? nullptr : cfg_.key_file.c_str();
        if (!cfg_.ca_file.empty()) {
            rc = mosquitto_tls_set(m, cfg_.ca_file.c_str(), nullptr, cert, key, nullptr);
        } else {
            mosquitto_int_option(m, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
            rc = mosquitto_tls_set(m, nullptr, "/etc/ssl/certs", cert, key, nullptr);
        }
        if (rc == MOSQ_ERR_SUCCESS && cfg_.insecure) rc = mosquitto_tls_insecure_set(m, true);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        log_failure("cannot set up the connection: " + std::string(mosquitto_strerror(rc)) +
                    (library_error_.empty() ? "" : " (" + library_error_ + ")"));
        return false;
    }
    return true;
}

bool MqttPublisher::try_connect() {
    attempted_ = true;
    ++attempts_since_loss_;
    if (mosq_) mosquitto_destroy(mosq_);
    mosq_ = mosquitto_new(cfg_.client_id.c_str(), true, this);
    library_error_.clear();
    if (!mosq_) {
        log_failure("cannot create a client: out of memory");
        return false;
    }
    if (!configure(mosq_)) return false;
    if (cfg_.insecure)
        log_warning("mqtt: --mqtt-insecure: the broker's host name is not checked against its "
                    "certificate; for tests only");
    const int rc = mosquitto_connect_bind_v5(mosq_, cfg_.broker.host.c_str(), cfg_.broker.port,
                                             kKeepaliveS, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        std::string why =
            rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : mosquitto_strerror(rc);
        if (!library_error_.empty()) why += " (" + library_error_ + ")";
        lost("cannot connect: " + why);
        return false;
    }
    state_ = State::Connecting;
    attempt_started_ = SteadyClock::now();
    return true;
}

void MqttPublisher::connected(int rc) {
    if (rc != 0) {
        const bool no_v5 = v5_ && (rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION || rc == 1);
        const std::string why = v5_ ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc);
        if (no_v5) {
            v5_ = false;
            log_info("mqtt: the broker does not speak MQTT 5; using MQTT 3.1.1");
            delay_s_ = 0.0;
        }
        mosquitto_disconnect(mosq_);
        lost("the broker refused the connection: " + why);
        return;
    }
    if (suspect_takeover_ && attempts_since_loss_ == 1) note_takeover();
    suspect_takeover_ = false;
    state_ = State::Connected;
    connected_at_ = SteadyClock::now();
    delay_s_ = 1.0;
    counters_.connected = true;
    counters_.connects += 1;
    last_logged_.clear();
    inflight_.clear();
    last_handed_ = 0;
    log_info("mqtt: connected to " + broker_text(cfg_.broker) + " as \"" + cfg_.client_id +
             "\" (MQTT " + (v5_ ? "5" : "3.1.1") + "), " + std::to_string(outbox_.rows()) +
             " messages waiting");
    status_acked_ = false;
    mosquitto_publish(mosq_, &status_mid_, cfg_.status_topic.c_str(), 6, "online", 1, true);
}

// A take-over shows as a connection the broker drops soon after accepting it
// while the very next attempt is accepted at once (a broker going down
// refuses that attempt). MQTT 5 brokers may say so outright.
void MqttPublisher::disconnected(int rc) {
    if (state_ == State::Idle) return;
    suspect_takeover_ =
        state_ == State::Connected &&
        (rc == MQTT_RC_SESSION_TAKEN_OVER ||
         (rc == MOSQ_ERR_CONN_LOST && SteadyClock::now() - connected_at_ < kShortConnection));
    attempts_since_loss_ = 0;
    std::string why = rc == 0 ? "closed" : v5_ && rc > 0 && rc < 256 ? mosquitto_reason_string(rc)
                                                                    : mosquitto_strerror(rc);
    if (!library_error_.empty()) why += " (" + library_error_ + ")";
    lost("connection lost: " + why);
}

void MqttPublisher::note_takeover() {
    const auto now = SteadyClock::now();
    counters_.takeovers += 1;
    takeovers_.push_back(now);
    takeovers_.erase(std::remove_if(takeovers_.begin(), takeovers_.end(),
                                    [&](auto t) { return now - t > kTakeoverSpan; }),
                     takeovers_.end());
    if (takeovers_.size() < kTakeoversReported) return;
    if (takeover_reported_ != SteadyClock::time_point{} && now - takeover_reported_ < kTakeoverSpan)
        return;
    takeover_reported_ = now;
    log_error("mqtt: the broker ended the connection " + std::to_string(takeovers_.size()) +
              " times in 5 minutes soon after accepting it: another client took the connection "
              "over with the client ID \"" + cfg_.client_id +
              "\"; every gateway needs its own --gateway-id");
}

// Ends the connection's state; the next attempt comes after the back-off.
void MqttPublisher::lost(const std::string& why) {
    settle_acks();
    state_ = State::Idle;
    counters_.connected = false;
    inflight_.clear();
    last_handed_ = 0;
    const double wait = delay_s_;
    next_attempt_ = SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                             std::chrono::duration<double>(wait));
    delay_s_ = std::min(std::max(1.0, delay_s_ * 2.0), cfg_.reconnect_max_s);
    log_failure(broker_text(cfg_.broker) + ": " + why + "; " + std::to_string(outbox_.rows()) +
                " messages wait in the outbox; retrying");
}

void MqttPublisher::acknowledged(int mid, int reason) {
    if (mid == status_mid_) {
        status_acked_ = true;
        return;
    }
    const auto it = inflight_.find(mid);
    if (it == inflight_.end()) return;
    if (reason >= 0x80) {
        // Sending it again would be refused again: it goes, counted and said.
        counters_.refused += 1;
        log_failure("the broker refused a message: " + std::string(mosquitto_reason_string(reason)));
    }
    counters_.acknowledged += 1;
    acked_.push_back(it->second);
    inflight_.erase(it);
}

void MqttPublisher::settle_acks() {
    if (acked_.empty()) return;
    try {
        outbox_.remove(acked_);
        acked_.clear();
    } catch (const OutboxError& e) {
        // Kept for the next try; at worst they are sent once more.
        log_failure(std::string("outbox: ") + e.what());
    }
}

void MqttPublisher::fill_window() {
    if (inflight_.size() >= cfg_.window) return;
    std::vector<OutboxMessage> next;
    try {
        next = outbox_.after(last_handed_, cfg_.window - inflight_.size());
    } catch (const OutboxError& e) {
        log_failure(std::string("outbox: ") + e.what());
        return;
    }
    for (const OutboxMessage& m : next) {
        int mid = 0;
        const int rc = mosquitto_publish_v5(mosq_, &mid, m.topic.c_str(),
                                            static_cast<int>(m.payload.size()), m.payload.data(),
                                            1, m.retain, nullptr);
        if (rc == MOSQ_ERR_PAYLOAD_SIZE || rc == MOSQ_ERR_OVERSIZE_PACKET ||
            rc == MOSQ_ERR_MALFORMED_UTF8 || rc == MOSQ_ERR_INVAL) {
            // The broker could never take it; keeping it would stop the queue.
            counters_.refused += 1;
            log_failure("cannot publish to \"" + m.topic + "\": " + mosquitto_strerror(rc));
            acked_.push_back(m.id);
            last_handed_ = m.id;
            continue;
        }
        if (rc != MOSQ_ERR_SUCCESS) break;
        inflight_[mid] = m.id;
        last_handed_ = m.id;
        counters_.sent += 1;
    }
}

// One turn of the connection: network I/O, callbacks, acknowledgements, and
// new messages into the window.
void MqttPublisher::step() {
    if (state_ == State::Connecting && SteadyClock::now() - attempt_started_ > kConnackTimeout) {
        lost("no answer to CONNECT");
        return;
    }
    const int rc = mosquitto_loop(mosq_, kLoopTimeoutMs, 1);
    if (rc != MOSQ_ERR_SUCCESS && state_ != State::Idle) {
        std::string why =
            rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : mosquitto_strerror(rc);
        if (!library_error_.empty()) why += " (" + library_error_ + ")";
        lost("connection lost: " + why);
        return;
    }
    settle_acks();
    if (state_ == State::Connected) fill_window();
}

void MqttPublisher::finish() {
    if (state_ != State::Connected) return;
    status_acked_ = false;
    mosquitto_publish(mosq_, &status_mid_, cfg_.status_topic.c_str(), 7, "offline", 1, true);
    const auto until = SteadyClock::now() + kOfflineWait;
    while (state_ == State::Connected && !status_acked_ && SteadyClock::now() < until) {
        if (mosquitto_loop(mosq_, kLoopTimeoutMs, 1) != MOSQ_ERR_SUCCESS) break;
        settle_acks();
    }
    // A goodbye of our own, not a loss.
    state_ = State::Idle;
    counters_.connected = false;
    mosquitto_disconnect(mosq_);
    mosquitto_loop(mosq_, kLoopTimeoutMs, 1);
}

void MqttPublisher::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    SteadyClock::time_point drain_until{};
    for (;;) {
        if (stop_ && drain_until == SteadyClock::time_point{})
            drain_until = SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                                   std::chrono::duration<double>(drain_s_));
        if (stop_) {
            const bool drained = outbox_.rows() == 0 && inflight_.empty();
            // A short run (a replay) still gets its one attempt.
            const bool idle = state_ == State::Idle && attempted_;
            if (idle || drained || SteadyClock::now() >= drain_until) break;
        }
        if (state_ == State::Idle) {
            if (SteadyClock::now() < next_attempt_) {
                wake_.wait_until(lock, next_attempt_, [this] { return stop_; });
                continue;
            }
            lock.unlock();
            try_connect();
            lock.lock();
            continue;
        }
        lock.unlock();
        step();
        lock.lock();
    }
    lock.unlock();
    finish();
    settle_acks();
    if (mosq_) mosquitto_destroy(mosq_);
    mosq_ = nullptr;
}

}  // namespace smdgw
