#pragma once
// The connection to the broker, on a thread of its own, through libmosquitto,
// and the MQTT backend of the shared delivery loop (outbox/delivery_loop.h):
// the loop hands it the outbox's messages oldest first, up to its window;
// the connection publishes them (QoS 1) while connected, up to `window`
// awaiting their PUBACK and twice as many ready behind them, so that a
// PUBACK is followed at once by the next message (whose packet also carries
// the ACK a broker that uses Nagle waits for). The answers of one turn of
// the connection go to the loop together. Each message is answered once:
// delivered with its PUBACK, refused for good with an error reason (MQTT 5)
// or when the broker could never take it, tried again later when the
// connection goes. After a lost connection the library's state is thrown
// away and the loop sends again from the oldest message not acknowledged, so
// the library's resending and the outbox never duplicate or reorder each
// other. While the broker is away (after a failed attempt) a message is
// answered "later" at once; when the connection comes back the loop is told.
//
// Connection attempts follow the shared retry schedule: a random first delay
// after a loss, then exponential steps with full jitter up to a cap, so that
// a fleet does not return in step. An outage is logged here, with the
// connection's detail, and not by the loop: once when it begins (with the
// reason), at most once a minute while it lasts, and once when it ends (with
// its length and the backlog).

#include <mosquitto.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/smdgw/core/log_limiter.h"
#include "tools/smdgw/core/retry_backoff.h"
#include "tools/smdgw/mqtt/mqtt_counters.h"
#include "tools/smdgw/mqtt/mqtt_link.h"
#include "tools/smdgw/mqtt/mqtt_message.h"
#include "tools/smdgw/mqtt/mqtt_options.h"
#include "tools/smdgw/outbox/delivery.h"
#include "tools/smdgw/outbox/outbox_store.h"

namespace smdgw {

// The schedule of connection attempts after a lost connection: a random
// first wait, then full jitter growing from 1 s up to cap_s.
RetryPolicy reconnect_policy(double cap_s);

// "broker.example.net:8883", "[::1]:1883": the broker as the logs name it.
std::string broker_name(const BrokerUrl& b);

struct PublisherConfig {
    BrokerUrl broker;
    std::string client_id;
    std::string ca_file, cert_file, key_file;
    bool insecure = false;
    bool has_credentials = false;
    Credentials credentials;
    std::string status_topic;
    double reconnect_max_s = 15.0;
    // Messages handed to the library and not yet acknowledged, at most; the
    // loop's window is three times this (the rest waits ready).
    size_t window = 20;
    // Traffic beside the outbox (Home Assistant discovery); none when null.
    // It must outlive the publisher.
    MqttSideTraffic* side = nullptr;
};

class MqttPublisher : public DeliveryBackend, private MqttLink {
   public:
    using SteadyClock = std::chrono::steady_clock;

    // `outbox`: its size, said with an outage.
    MqttPublisher(PublisherConfig cfg, const OutboxStore& outbox, MqttCounters& counters);
    // Stops (see stop()).
    ~MqttPublisher() override;
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // The delivery loop's backend (one target: the broker).
    size_t window() const override { return 3 * cfg_.window; }
    DeliveryAnswer deliver(size_t target, const StoredMessage& m,
                           const std::atomic<bool>& abort) override;
    void submit(size_t target, const StoredMessage& m, const std::atomic<bool>& abort,
                DeliveryCompletion& done) override;

    // After the loop's drain: publishes the retained "offline" status while
    // connected and disconnects, all by `deadline`. Returns false when the
    // thread did not end by then (it is left to run; the counters and the
    // loop it answers must outlive it).
    bool stop(SteadyClock::time_point deadline);

   private:
    enum class State { Idle, Connecting, Connected };

    void run();
    void try_connect();
    bool configure(struct mosquitto* m);
    void step();
    void fill_window();
    // Answers everything taken and not yet acknowledged: tried again later.
    void put_back(const std::string& why);
    // Answers go to the loop together after each turn.
    void answer(int64_t id, DeliveryAnswer a) { answers_.push_back({id, std::move(a)}); }
    void send_answers();
    void attempt_failed(const std::string& why);
    void schedule_retry();
    std::string backlog_text() const;
    void finish(SteadyClock::time_point deadline);
    void log_message_problem(const std::string& text);

    static void on_connect(struct mosquitto*, void* self, int rc, int flags, const mosquitto_property* props);
    static void on_disconnect(struct mosquitto*, void* self, int rc, const mosquitto_property* props);
    static void on_publish(struct mosquitto*, void* self, int mid, int reason, const mosquitto_property* props);
    static void on_log(struct mosquitto*, void* self, int level, const char* text);
    static void on_message(struct mosquitto*, void* self, const struct mosquitto_message* msg,
                           const mosquitto_property* props);
    // The side traffic's link (MqttLink).
    void publish(const std::string& topic, const std::string& payload, bool retain) override;
    void subscribe(const std::string& filter) override;
    void unsubscribe(const std::string& filter) override;
    void connected(int rc);
    void note_takeover();
    void disconnected(int rc);
    void acknowledged(int mid, int reason);

    const PublisherConfig cfg_;
    const OutboxStore& outbox_;
    MqttCounters& counters_;
    struct mosquitto* mosq_ = nullptr;
    bool v5_ = true;

    // Owned by the publisher thread.
    State state_ = State::Idle;
    struct InFlight {
        int64_t id;
        std::string topic;
    };
    std::map<int, InFlight> inflight_;  // message ID -> the outbox's message
    std::vector<DeliveryResult> answers_;
    int status_mid_ = -1;
    bool status_acked_ = false;
    RetryBackoff backoff_;
    SteadyClock::time_point next_attempt_{};
    SteadyClock::time_point attempt_started_{};
    SteadyClock::time_point connected_at_{};
    std::string library_error_;
    // The outage: since when, how many attempts, and its log.
    bool in_outage_ = false;
    bool outage_logged_ = false;
    SteadyClock::time_point outage_since_{};
    unsigned outage_attempts_ = 0;
    // An outage's first line: at most one in 10 s (a connection that keeps
    // dropping); its summaries: at most one a minute.
    LogLimiter outage_log_{10.0};
    LogLimiter summary_log_{60.0};
    LogLimiter message_log_{60.0};
    // Set by the library's callbacks during a loop, read after it.
    bool lost_ = false;
    std::string lost_why_;
    bool suspect_takeover_ = false;
    int attempts_since_loss_ = 0;
    std::vector<SteadyClock::time_point> takeovers_;
    SteadyClock::time_point takeover_reported_{};

    // What the loop handed and the connection did not yet publish; none is
    // taken while the broker is away (after a failed attempt).
    std::mutex taken_mutex_;
    std::condition_variable taken_cv_;
    std::deque<StoredMessage> ready_;
    bool taking_ = true;
    std::string away_why_;
    DeliveryCompletion* done_ = nullptr;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable finished_cv_;
    bool stop_ = false;
    bool finished_ = false;
    SteadyClock::time_point deadline_{};
    std::thread thread_;
};

}  // namespace smdgw
