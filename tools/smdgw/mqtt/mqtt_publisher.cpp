#include "tools/smdgw/mqtt/mqtt_publisher.h"

#include <mqtt_protocol.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "tools/smdgw/core/bounded_join.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/steady_time.h"

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
// Waiting for the "offline" status's PUBACK at a clean stop.
constexpr auto kOfflineWait = std::chrono::seconds(1);
// After a stop's deadline, this long before the thread is left behind.
constexpr auto kStopGrace = std::chrono::milliseconds(300);

std::string duration_text(std::chrono::steady_clock::duration d) {
    const double s = std::chrono::duration<double>(d).count();
    char text[48];
    if (s < 120.0)
        std::snprintf(text, sizeof text, "%.1f s", s);
    else
        std::snprintf(text, sizeof text, "%.0f min %02.0f s", std::floor(s / 60.0),
                      std::fmod(s, 60.0));
    return text;
}

// Why the library gave up: a reason code the broker sent (MQTT 5, 0x80 and
// up), the system's error, or the library's own.
std::string failure_reason(int rc, int err) {
    if (rc >= 0x80) return std::string("the broker said: ") + mosquitto_reason_string(rc);
    if (rc == MOSQ_ERR_ERRNO) return err ? std::strerror(err) : "system error";
    return mosquitto_strerror(rc);
}

// A broker that holds back small packets while one is unacknowledged (Nagle,
// Mosquitto's default) sends a window's PUBACKs one per ACK of ours; when no
// message of ours is ready to carry that ACK, the system would delay it
// (40 ms), and the window would wait. The system clears this after a while,
// so it is set again before each wait for the socket.
void quick_acks(int fd) {
#ifdef TCP_QUICKACK
    if (fd < 0) return;
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#else
    (void)fd;
#endif
}

}  // namespace

// The first try after a lost connection waits up to this (a broker restart
// seen by a whole fleet at once), the later ones grow from 1 s. With a long
// cap (the large-fleet profile) the first tries spread over a tenth of it, so
// that a restarted broker sees at most about a twentieth of the fleet in
// any one second.
constexpr double kFirstSpreadS = 5.0;

std::string broker_name(const BrokerUrl& b) {
    const bool v6 = b.host.find(':') != std::string::npos;
    return (v6 ? "[" + b.host + "]" : b.host) + ":" + std::to_string(b.port);
}

RetryPolicy reconnect_policy(double cap_s) {
    RetryPolicy p;
    p.base_s = 1.0;
    p.cap_s = cap_s;
    p.full_jitter = true;
    p.first_spread_s = std::min(std::max(kFirstSpreadS, cap_s / 10.0), cap_s);
    return p;
}


MqttPublisher::MqttPublisher(PublisherConfig cfg, const OutboxStore& outbox,
                             MqttCounters& counters)
    : cfg_(std::move(cfg)),
      outbox_(outbox),
      counters_(counters),
      backoff_(reconnect_policy(cfg_.reconnect_max_s)),
      thread_([this] { run(); }) {}

MqttPublisher::~MqttPublisher() {
    if (thread_.joinable()) stop(SteadyClock::now() + kOfflineWait);
}

bool MqttPublisher::stop(SteadyClock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!thread_.joinable()) return finished_;
    if (!stop_) {
        stop_ = true;
        deadline_ = deadline;
    }
    wake_.notify_all();
    return join_until(thread_, lock, finished_cv_, finished_, deadline + kStopGrace);
}

// The loop hands MQTT's messages through submit(): one at a time would
// wait a round trip for each.
DeliveryAnswer MqttPublisher::deliver(size_t, const StoredMessage&, const std::atomic<bool>&) {
    return {DeliveryOutcome::RetryLater, "handed one at a time"};
}

void MqttPublisher::submit(size_t target, const StoredMessage& m, const std::atomic<bool>&,
                           DeliveryCompletion& done) {
    std::unique_lock<std::mutex> lock(taken_mutex_);
    done_ = &done;
    if (taking_) {
        ready_.push_back(m);
        taken_cv_.notify_one();
        return;
    }
    const std::string why = away_why_;
    lock.unlock();
    done.completed(target, m.id, {DeliveryOutcome::RetryLater, why});
}

void MqttPublisher::send_answers() {
    if (answers_.empty()) return;
    DeliveryCompletion* done = nullptr;
    {
        std::lock_guard<std::mutex> lock(taken_mutex_);
        done = done_;
    }
    if (done) done->completed(0, std::move(answers_));
    answers_.clear();
}

void MqttPublisher::put_back(const std::string& why) {
    std::deque<StoredMessage> ready;
    {
        std::lock_guard<std::mutex> lock(taken_mutex_);
        // Taken while the next attempt is only about to come (MQTT 3.1.1
        // after a refused MQTT 5): they wait for it.
        if (!why.empty()) {
            taking_ = false;
            away_why_ = why;
            ready.swap(ready_);
        }
    }
    for (const auto& f : inflight_) answer(f.second.id, {DeliveryOutcome::RetryLater, why});
    inflight_.clear();
    for (const StoredMessage& m : ready) answer(m.id, {DeliveryOutcome::RetryLater, why});
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

void MqttPublisher::on_message(struct mosquitto*, void* self, const struct mosquitto_message* msg,
                               const mosquitto_property*) {
    auto* p = static_cast<MqttPublisher*>(self);
    if (!p->cfg_.side || !msg || !msg->topic || msg->payloadlen < 0) return;
    const std::string payload =
        msg->payloadlen > 0 ? std::string(static_cast<const char*>(msg->payload),
                                          static_cast<size_t>(msg->payloadlen))
                            : std::string();
    p->cfg_.side->message(msg->topic, payload, msg->retain);
}

void MqttPublisher::publish(const std::string& topic, const std::string& payload, bool retain) {
    const int rc = mosquitto_publish_v5(mosq_, nullptr, topic.c_str(),
                                        static_cast<int>(payload.size()),
                                        payload.empty() ? nullptr : payload.data(), 1, retain,
                                        nullptr);
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN)
        log_message_problem("cannot publish to \"" + topic + "\": " + mosquitto_strerror(rc));
}

void MqttPublisher::subscribe(const std::string& filter) {
    const int rc = mosquitto_subscribe_v5(mosq_, nullptr, filter.c_str(), 1, 0, nullptr);
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN)
        log_message_problem("cannot subscribe to \"" + filter + "\": " + mosquitto_strerror(rc));
}

void MqttPublisher::unsubscribe(const std::string& filter) {
    mosquitto_unsubscribe_v5(mosq_, nullptr, filter.c_str(), nullptr);
}

void MqttPublisher::log_message_problem(const std::string& text) {
    if (const auto held = message_log_.allow(steady_seconds()))
        log_warning("mqtt: " + text + LogLimiter::held_note(*held));
}

std::string MqttPublisher::backlog_text() const {
    const uint64_t waiting = outbox_.messages() + counters_.outbox.backlog_messages.load();
    const uint64_t bytes = outbox_.bytes() + counters_.outbox.backlog_bytes.load();
    return count_text(waiting, "message") + " (" + std::to_string(bytes) + " bytes) waiting";
}

bool MqttPublisher::configure(struct mosquitto* m) {
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, v5_ ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_connect_v5_callback_set(m, on_connect);
    mosquitto_disconnect_v5_callback_set(m, on_disconnect);
    mosquitto_publish_v5_callback_set(m, on_publish);
    mosquitto_log_callback_set(m, on_log);
    if (cfg_.side) mosquitto_message_v5_callback_set(m, on_message);
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
        attempt_failed("cannot set up the connection: " + std::string(mosquitto_strerror(rc)) +
                       (library_error_.empty() ? "" : " (" + library_error_ + ")"));
        return false;
    }
    return true;
}

// Starts an attempt without waiting for the network: the TCP connection, TLS
// and CONNACK come in the loop, so a stop never waits for an unreachable host.
void MqttPublisher::try_connect() {
    ++attempts_since_loss_;
    if (mosq_) mosquitto_destroy(mosq_);
    mosq_ = mosquitto_new(cfg_.client_id.c_str(), true, this);
    library_error_.clear();
    lost_ = false;
    if (!mosq_) {
        attempt_failed("cannot create a client: out of memory");
        return;
    }
    if (!configure(mosq_)) return;
    errno = 0;
    const int rc = mosquitto_connect_bind_async(mosq_, cfg_.broker.host.c_str(), cfg_.broker.port,
                                                kKeepaliveS, nullptr);
    const int err = errno;
    if (rc != MOSQ_ERR_SUCCESS) {
        std::string why = failure_reason(rc, err);
        if (!library_error_.empty()) why += " (" + library_error_ + ")";
        attempt_failed("cannot connect: " + why);
        return;
    }
    state_ = State::Connecting;
    attempt_started_ = SteadyClock::now();
}

void MqttPublisher::connected(int rc) {
    if (rc != 0) {
        const bool no_v5 = v5_ && (rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION || rc == 1);
        const std::string why = v5_ ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc);
        lost_ = true;
        lost_why_ = "the broker refused the connection: " + why;
        if (no_v5) {
            v5_ = false;
            log_info("mqtt: the broker does not speak MQTT 5; using MQTT 3.1.1");
            lost_why_.clear();  // tried again at once, no outage
        }
        mosquitto_disconnect(mosq_);
        return;
    }
    if (suspect_takeover_ && attempts_since_loss_ == 1) note_takeover();
    suspect_takeover_ = false;
    state_ = State::Connected;
    connected_at_ = SteadyClock::now();
    backoff_.reset();
    counters_.connected = true;
    counters_.connects += 1;
    if (cfg_.insecure)
        log_warning("mqtt: --mqtt-insecure: the broker's host name is not checked against its "
                    "certificate; for tests only");
    const std::string who = "mqtt: connected to " + broker_name(cfg_.broker) + " as \"" +
                            cfg_.client_id + "\" (MQTT " + (v5_ ? "5" : "3.1.1") + ")";
    if (!in_outage_) {
        log_info(who + ", " + backlog_text());
    } else if (outage_logged_) {
        log_info(who + " after " + duration_text(connected_at_ - outage_since_) +
                 " without the broker (" + count_text(outage_attempts_, "attempt") + "), " +
                 backlog_text());
    }
    in_outage_ = false;
    status_acked_ = false;
    mosquitto_publish(mosq_, &status_mid_, cfg_.status_topic.c_str(), 6, "online", 1, true);
    if (cfg_.side) cfg_.side->connected(*this);
    DeliveryCompletion* done = nullptr;
    {
        std::lock_guard<std::mutex> lock(taken_mutex_);
        taking_ = true;
        done = done_;
    }
    if (done) done->ready(0);
}

// A take-over shows as a connection the broker drops soon after accepting it
// while the very next attempt is accepted at once (a broker going down
// refuses that attempt). MQTT 5 brokers may say so outright.
void MqttPublisher::disconnected(int rc) {
    const int err = errno;
    if (state_ == State::Idle || lost_) return;
    suspect_takeover_ =
        state_ == State::Connected &&
        (rc == MQTT_RC_SESSION_TAKEN_OVER ||
         (rc == MOSQ_ERR_CONN_LOST && SteadyClock::now() - connected_at_ < kShortConnection));
    attempts_since_loss_ = 0;
    lost_ = true;
    lost_why_ = std::string(state_ == State::Connected ? "connection lost: " : "cannot connect: ") +
                (rc == 0 ? "closed" : failure_reason(rc, err));
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

// Ends the connection's state; the next attempt comes on the retry schedule.
// The outage is said when it begins and at most once a minute while it lasts.
void MqttPublisher::attempt_failed(const std::string& why) {
    const bool was_connected = state_ == State::Connected;
    state_ = State::Idle;
    counters_.connected = false;
    put_back(why);
    lost_ = false;
    const auto now = SteadyClock::now();
    if (why.empty()) {
        next_attempt_ = now;
        return;
    }
    const bool first = !in_outage_;
    if (first) {
        in_outage_ = true;
        outage_since_ = now;
        outage_attempts_ = 0;
    }
    ++outage_attempts_;
    const std::string broker = "mqtt: " + broker_name(cfg_.broker) + ": ";
    if (first) {
        const auto held = outage_log_.allow(steady_seconds());
        outage_logged_ = held.has_value();
        if (held)
            log_warning(broker + why + "; " + backlog_text() + "; retrying" +
                        LogLimiter::held_note(*held));
        // The first line counts as the outage's first summary.
        summary_log_.reset();
        summary_log_.allow(steady_seconds());
    } else if (outage_logged_ && summary_log_.allow(steady_seconds())) {
        log_warning(broker + "still no connection after " + duration_text(now - outage_since_) +
                    " (" + count_text(outage_attempts_, "attempt") + ", the last: " + why +
                    "); " + backlog_text());
    }
    // After a loss the first try waits a random share of a few seconds, so
    // that a fleet that lost its broker together does not return together.
    const double wait = first && was_connected
                            ? backoff_.first_delay()
                            : backoff_.next_delay(std::chrono::duration<double>(now - outage_since_).count());
    next_attempt_ = now + std::chrono::duration_cast<SteadyClock::duration>(
                              std::chrono::duration<double>(wait));
}

void MqttPublisher::acknowledged(int mid, int reason) {
    if (mid == status_mid_) {
        status_acked_ = true;
        return;
    }
    const auto it = inflight_.find(mid);
    if (it == inflight_.end()) return;
    const InFlight f = std::move(it->second);
    inflight_.erase(it);
    counters_.acknowledged += 1;
    if (reason < 0x80) {
        answer(f.id, {DeliveryOutcome::Delivered, "PUBACK"});
        return;
    }
    // Sending it again would be refused again: it goes, counted and said.
    counters_.refused += 1;
    answer(f.id, {DeliveryOutcome::RefusedForGood,
                  "\"" + f.topic + "\": the broker said: " + mosquitto_reason_string(reason)});
}

// While the broker takes them: the messages ready behind the window, so
// that a PUBACK is followed by the next message within the same turn.
void MqttPublisher::fill_window() {
    while (inflight_.size() < cfg_.window) {
        StoredMessage m;
        {
            std::lock_guard<std::mutex> lock(taken_mutex_);
            if (ready_.empty()) return;
            m = std::move(ready_.front());
            ready_.pop_front();
        }
        int mid = 0;
        const int rc = mosquitto_publish_v5(mosq_, &mid, m.target.c_str(),
                                            static_cast<int>(m.payload.size()), m.payload.data(),
                                            1, (m.flags & kMqttRetain) != 0, nullptr);
        if (rc == MOSQ_ERR_PAYLOAD_SIZE || rc == MOSQ_ERR_OVERSIZE_PACKET ||
            rc == MOSQ_ERR_MALFORMED_UTF8 || rc == MOSQ_ERR_INVAL) {
            // The broker could never take it; keeping it would stop the queue.
            counters_.refused += 1;
            answer(m.id, {DeliveryOutcome::RefusedForGood,
                          "cannot publish to \"" + m.target + "\": " + mosquitto_strerror(rc)});
            continue;
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            std::lock_guard<std::mutex> lock(taken_mutex_);
            ready_.push_front(std::move(m));
            return;
        }
        inflight_[mid] = {m.id, m.target};
        counters_.sent += 1;
    }
}

// One turn of the connection: network I/O, callbacks, acknowledgements, and
// new messages into the window.
void MqttPublisher::step() {
    if (state_ == State::Connecting && SteadyClock::now() - attempt_started_ > kConnackTimeout) {
        attempt_failed("cannot connect: no answer to CONNECT");
        return;
    }
    int timeout_ms = kLoopTimeoutMs;
    if (state_ == State::Connected && inflight_.empty()) {
        // Nothing awaits a PUBACK, so no answer would end the library's wait
        // for the socket: the wait is for the loop's next message instead.
        {
            std::unique_lock<std::mutex> lock(taken_mutex_);
            taken_cv_.wait_for(lock, std::chrono::milliseconds(kLoopTimeoutMs),
                               [this] { return !ready_.empty(); });
        }
        fill_window();
        timeout_ms = 0;
    }
    if (state_ == State::Connected) quick_acks(mosquitto_socket(mosq_));
    errno = 0;
    const int rc = mosquitto_loop(mosq_, timeout_ms, 1);
    const int err = errno;
    if (lost_ || rc != MOSQ_ERR_SUCCESS) {
        std::string why = lost_ ? lost_why_
                                : std::string(state_ == State::Connected ? "connection lost: "
                                                                         : "cannot connect: ") +
                                      failure_reason(rc, err);
        if (!why.empty() && !library_error_.empty()) why += " (" + library_error_ + ")";
        attempt_failed(why);
        return;
    }
    if (state_ != State::Connected) return;
    fill_window();
    if (cfg_.side) cfg_.side->turn(*this);
}

void MqttPublisher::finish(SteadyClock::time_point deadline) {
    if (state_ != State::Connected) return;
    status_acked_ = false;
    mosquitto_publish(mosq_, &status_mid_, cfg_.status_topic.c_str(), 7, "offline", 1, true);
    const auto until = std::min(SteadyClock::now() + kOfflineWait, deadline);
    while (state_ == State::Connected && !status_acked_ && SteadyClock::now() < until) {
        if (mosquitto_loop(mosq_, kLoopTimeoutMs, 1) != MOSQ_ERR_SUCCESS || lost_) break;
    }
    // A goodbye of our own, not a loss.
    state_ = State::Idle;
    counters_.connected = false;
    mosquitto_disconnect(mosq_);
    mosquitto_loop(mosq_, kLoopTimeoutMs, 1);
}

void MqttPublisher::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        if (state_ == State::Idle) {
            if (SteadyClock::now() < next_attempt_) {
                wake_.wait_until(lock, next_attempt_, [this] { return stop_; });
                continue;
            }
            lock.unlock();
            try_connect();
            send_answers();
            lock.lock();
            continue;
        }
        lock.unlock();
        step();
        send_answers();
        lock.lock();
    }
    const auto deadline = deadline_;
    lock.unlock();
    finish(deadline);
    send_answers();
    if (mosq_) mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    lock.lock();
    finished_ = true;
    lock.unlock();
    finished_cv_.notify_all();
}

}  // namespace smdgw
