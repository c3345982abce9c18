#pragma once
// Traffic beside the outbox on the publisher's connection: messages that are
// made again from the present state whenever they are needed (Home Assistant
// discovery), so they are never stored, and the subscriptions they answer.
// Everything here runs on the publisher's thread.

#include <string>

namespace smdgw {

// What such traffic may do on the connection.
class MqttLink {
   public:
    virtual ~MqttLink() = default;
    // QoS 1; an empty payload with retain deletes the retained message. Lost
    // with the connection: the traffic sends again when it comes back.
    virtual void publish(const std::string& topic, const std::string& payload, bool retain) = 0;
    virtual void subscribe(const std::string& filter) = 0;
    virtual void unsubscribe(const std::string& filter) = 0;
};

class MqttSideTraffic {
   public:
    virtual ~MqttSideTraffic() = default;
    // Each time the broker accepted the connection (after the "online" status).
    virtual void connected(MqttLink& link) = 0;
    // A message of one of its subscriptions; retained: the broker's stored one.
    virtual void message(const std::string& topic, const std::string& payload, bool retained) = 0;
    // Every turn of the connection's loop (about every 50 ms) while connected.
    virtual void turn(MqttLink& link) = 0;
};

}  // namespace smdgw
