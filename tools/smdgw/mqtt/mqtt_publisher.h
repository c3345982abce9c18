#pragma once
// The connection to the broker, on a thread of its own, through libmosquitto.
// Messages come only from the outbox, oldest first, and are handed to the
// library only while connected and only as long as fewer than a window of
// them wait for their PUBACK; a message leaves the outbox when its PUBACK
// came (the outbox writer deletes it). After a lost connection the library's
// state is thrown away and the outbox is sent again from its oldest message,
// so the library's resending and the outbox never duplicate or reorder each
// other.
//
// Connection attempts follow the shared retry schedule: a random first delay
// after a loss, then exponential steps with full jitter up to a cap, so that
// a fleet does not return in step. An outage is logged once when it begins
// (with the reason), at most once a minute while it lasts, and once when it
// ends (with its length and the backlog).

#include <mosquitto.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
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
#include "tools/smdgw/outbox/outbox_store.h"
#include "tools/smdgw/outbox/outbox_writer.h"

namespace smdgw {

// The schedule of connection attempts after a lost connection: a random
// first wait, then full jitter growing from 1 s up to cap_s.
RetryPolicy reconnect_policy(double cap_s);

struct PublisherConfig {
    BrokerUrl broker;
    std::string client_id;
    std::string ca_file, cert_file, key_file;
    bool insecure = false;
    bool has_credentials = false;
    Credentials credentials;
    std::string status_topic;
    double reconnect_max_s = 15.0;
    // Messages handed to the library and not yet acknowledged, at most.
    size_t window = 20;
    // Traffic beside the outbox (Home Assistant discovery); none when null.
    // It must outlive the publisher.
    MqttSideTraffic* side = nullptr;
};

class MqttPublisher : private MqttLink {
   public:
    using SteadyClock = std::chrono::steady_clock;

    MqttPublisher(PublisherConfig cfg, OutboxStore& outbox, OutboxWriter& writer,
                  MqttCounters& counters);
    // Stops without waiting for the outbox (see stop()).
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // A clean stop: while connected (or about to be), keeps sending until the
    // outbox is empty or `drain_s` passed; then publishes the retained
    // "offline" status and disconnects, all by `deadline`. What is left stays
    // in the outbox. Returns false when the thread did not end by then (it is
    // left to run; the outbox and writer must outlive it).
    bool stop(double drain_s, SteadyClock::time_point deadline);

   private:
    enum class State { Idle, Connecting, Connected };

    void run();
    void try_connect();
    bool configure(struct mosquitto* m);
    void step();
    void fill_window();
    void settle_acks();
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
    OutboxStore& outbox_;
    OutboxWriter& writer_;
    MqttCounters& counters_;
    struct mosquitto* mosq_ = nullptr;
    bool v5_ = true;

    // Owned by the publisher thread.
    State state_ = State::Idle;
    bool attempted_ = false;
    std::map<int, int64_t> inflight_;  // message ID -> outbox id
    std::vector<int64_t> acked_;
    int64_t last_handed_ = 0;
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

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable finished_cv_;
    bool stop_ = false;
    bool finished_ = false;
    double drain_s_ = 0.0;
    SteadyClock::time_point deadline_{};
    std::thread thread_;
};

}  // namespace smdgw
