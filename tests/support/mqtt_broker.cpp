#include "tests/support/mqtt_broker.h"

#include <arpa/inet.h>
#include <signal.h>
#include <json/reader.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace testsupport {

namespace {

bool can_connect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

struct LibraryUse {
    LibraryUse() { mosquitto_lib_init(); }
};

}  // namespace

int free_loopback_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

MosquittoBroker::MosquittoBroker(const std::string& dir, const std::string& listeners)
    : dir_(dir), port_(free_loopback_port()), conf_(dir + "/mosquitto.conf") {
    std::ofstream conf(conf_);
    // As root the broker would drop to its own user, which cannot write here.
    conf << "user root\n"
         << "per_listener_settings false\n"
         << "allow_anonymous true\n"
         << "persistence true\n"
         << "persistence_location " << dir << "/\n"
         << "log_dest file " << dir << "/broker.log\n"
         << "listener " << port_ << " 127.0.0.1\n"
         << listeners;
}

MosquittoBroker::~MosquittoBroker() { stop(); }

bool MosquittoBroker::start() {
    child_ = std::make_unique<Child>(std::vector<std::string>{"/usr/sbin/mosquitto", "-c", conf_},
                                     dir_ + "/broker.out", dir_ + "/broker.err");
    for (int i = 0; i < 200; ++i) {
        if (can_connect(port_)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

void MosquittoBroker::stop() {
    if (!child_) return;
    child_->signal(SIGTERM);
    child_->wait(10.0);
    child_.reset();
}

void MosquittoBroker::freeze() {
    if (child_) child_->signal(SIGSTOP);
}

void MosquittoBroker::thaw() {
    if (child_) child_->signal(SIGCONT);
}

std::string MosquittoBroker::log() const {
    return read_text(dir_ + "/broker.log") + read_text(dir_ + "/broker.err");
}

Json::Value MqttMessage::json() const {
    Json::Value v;
    Json::Reader().parse(payload, v);
    return v;
}

MqttSubscriber::MqttSubscriber(int port, const std::string& client_id, const std::string& filter)
    : filter_(filter) {
    static LibraryUse library;
    mosq_ = mosquitto_new(client_id.c_str(), false, this);
    mosquitto_message_callback_set(
        mosq_, [](struct mosquitto*, void* obj, const struct mosquitto_message* msg) {
            auto* self = static_cast<MqttSubscriber*>(obj);
            MqttMessage m;
            m.topic = msg->topic;
            m.payload.assign(static_cast<const char*>(msg->payload),
                             static_cast<size_t>(msg->payloadlen));
            m.retain = msg->retain;
            {
                std::lock_guard<std::mutex> lock(self->mutex_);
                self->messages_.push_back(std::move(m));
            }
            self->changed_.notify_all();
        });
    mosquitto_connect_callback_set(mosq_, [](struct mosquitto* m, void* obj, int rc) {
        // Subscribing again after each reconnection costs nothing.
        if (rc == 0)
            mosquitto_subscribe(m, nullptr, static_cast<MqttSubscriber*>(obj)->filter_.c_str(), 1);
    });
    mosquitto_subscribe_callback_set(mosq_, [](struct mosquitto*, void* obj, int, int, const int*) {
        auto* self = static_cast<MqttSubscriber*>(obj);
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->subscribed_ = true;
        }
        self->changed_.notify_all();
    });
    mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
    mosquitto_connect(mosq_, "127.0.0.1", port, 30);
    mosquitto_loop_start(mosq_);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [this] { return subscribed_; });
}

MqttSubscriber::~MqttSubscriber() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
}

bool MqttSubscriber::subscribed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return subscribed_;
}

bool MqttSubscriber::publish(const std::string& topic, const std::string& payload, bool retain) {
    return mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), 1, retain) == MOSQ_ERR_SUCCESS;
}

bool MqttSubscriber::wait_for(const std::function<bool(const std::vector<MqttMessage>&)>& done,
                              double timeout_s) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(timeout_s),
                             [&] { return done(messages_); });
}

std::vector<MqttMessage> MqttSubscriber::messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::vector<MqttMessage> MqttSubscriber::on(const std::string& topic) const {
    std::vector<MqttMessage> out;
    for (const MqttMessage& m : messages())
        if (m.topic == topic) out.push_back(m);
    return out;
}

}  // namespace testsupport
