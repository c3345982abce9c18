#pragma once
// One simulated gateway's broker connection (libmosquitto, non-blocking: the
// fleet's event loop drives every socket). Like smdgw it keeps what the
// broker has not acknowledged itself, and after a lost connection throws the
// library's state away and sends it again, oldest first; it waits for its
// next try on the gateway's schedule (a random first wait, then full jitter
// up to the cap).

#include <cstdint>
#include <deque>
#include <map>
#include <string>

#include "tools/fleetsim/sim_site.h"
#include "tools/smdgw/core/retry_backoff.h"
#include "tools/smdgw/mqtt/mqtt_options.h"

struct mosquitto;
struct mosquitto_message;

namespace smdgw {

struct SimTotals {
    uint64_t published = 0;     // messages made
    uint64_t acknowledged = 0;  // PUBACKs for them
    uint64_t sent = 0;          // handed to a connection (repeats included)
    uint64_t connects = 0;      // CONNECT attempts
    uint64_t reconnects = 0;    // of those, after a lost connection
    uint64_t local_failures = 0;  // of those, failed here (no socket, no client)
    uint64_t connected = 0;     // CONNACKs accepted
    uint64_t lost = 0;          // connections lost
};

class SimClient {
   public:
    SimClient(SimSite& site, const BrokerUrl& broker, double reconnect_cap_s, SimTotals& totals,
              uint64_t seed);
    ~SimClient();
    SimClient(const SimClient&) = delete;
    SimClient& operator=(const SimClient&) = delete;

    // Queues a message; it goes when connected.
    void publish(SimMessage m);
    // Drives the connection: connects when due, sends what waits. now_s: a
    // monotonic clock.
    void step(double now_s);
    // The socket to poll (-1 when none) and whether it wants to write.
    int socket() const;
    bool wants_write() const;
    void on_readable(double now_s);
    void on_writable(double now_s);
    // Cuts the connection without a word (the broker publishes the will).
    void cut(double now_s);
    // Goes quiet: cut, and no more tries.
    void silence(double now_s);
    // A clean stop: "offline", then DISCONNECT.
    void close_cleanly();
    bool idle() const { return unacked_.empty() && waiting_.empty(); }
    bool connected() const { return connected_; }
    size_t unacknowledged() const { return unacked_.size() + waiting_.size(); }

   private:
    static void on_connect(mosquitto*, void* self, int rc);
    static void on_disconnect(mosquitto*, void* self, int rc);
    static void on_publish(mosquitto*, void* self, int mid);
    void lost(double now_s);
    void send_waiting();

    SimSite& site_;
    const BrokerUrl broker_;
    SimTotals& totals_;
    RetryBackoff backoff_;
    mosquitto* mosq_ = nullptr;
    bool connected_ = false;
    bool silent_ = false;
    bool broken_ = false;  // refused or dropped, seen in a callback
    double next_try_s_ = 0.0;
    double outage_since_s_ = -1.0;
    double now_s_ = 0.0;
    uint64_t next_id_ = 0;
    std::deque<std::pair<uint64_t, SimMessage>> waiting_;  // not yet handed to a connection
    std::map<uint64_t, SimMessage> unacked_;               // handed over, no PUBACK yet
    std::map<int, uint64_t> by_mid_;
};

}  // namespace smdgw
