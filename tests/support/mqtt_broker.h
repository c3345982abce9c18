#pragma once
// A real Mosquitto broker for tests, on a free loopback port with a
// configuration the test writes, and a subscriber of the test's own
// (libmosquitto) that keeps every message it receives.

#include <json/value.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/run_process.h"

struct mosquitto;

namespace testsupport {

// A TCP port on 127.0.0.1 that nobody listens on right now.
int free_loopback_port();

class MosquittoBroker {
   public:
    // `listeners` is the configuration below the plain listener on port();
    // it may use further ports. Persistence keeps sessions and retained
    // messages across stop() and start().
    MosquittoBroker(const std::string& dir, const std::string& listeners = "");
    ~MosquittoBroker();
    MosquittoBroker(const MosquittoBroker&) = delete;
    MosquittoBroker& operator=(const MosquittoBroker&) = delete;

    // Starts the broker and waits (bounded) until it accepts connections.
    bool start();
    // SIGTERM, and waits for it to save and exit.
    void stop();
    // Freezes it (SIGSTOP): connections stay open, nothing is answered.
    void freeze();
    void thaw();
    int port() const { return port_; }
    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
    std::string log() const;

   private:
    std::string dir_;
    int port_;
    std::string conf_;
    std::unique_ptr<Child> child_;
};

struct MqttMessage {
    std::string topic;
    std::string payload;
    bool retain = false;
    Json::Value json() const;  // the payload parsed (null when not JSON)
};

class MqttSubscriber {
   public:
    // Connects with a persistent session (clean_session false) under
    // `client_id` and subscribes to `filter` with QoS 1; reconnects by itself.
    MqttSubscriber(int port, const std::string& client_id, const std::string& filter);
    ~MqttSubscriber();
    MqttSubscriber(const MqttSubscriber&) = delete;
    MqttSubscriber& operator=(const MqttSubscriber&) = delete;

    // Waits until `done` holds for the messages so far, at most timeout_s
    // (a safety net, never a pacing device); returns whether it held. `done`
    // runs under the subscriber's lock: it looks only at its argument.
    bool wait_for(const std::function<bool(const std::vector<MqttMessage>&)>& done,
                  double timeout_s);
    std::vector<MqttMessage> messages() const;
    // The messages of one topic, in arrival order.
    std::vector<MqttMessage> on(const std::string& topic) const;

    // True once the broker confirmed the subscription.
    bool subscribed() const;
    // Publishes on the subscriber's connection (QoS 1), as another client
    // of the broker would (Home Assistant's birth message).
    bool publish(const std::string& topic, const std::string& payload, bool retain = false);

   private:
    struct mosquitto* mosq_ = nullptr;
    std::string filter_;
    bool subscribed_ = false;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<MqttMessage> messages_;
};

}  // namespace testsupport
