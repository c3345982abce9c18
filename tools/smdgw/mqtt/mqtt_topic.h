#pragma once
// MQTT topic names: a device name or gateway ID becomes one topic level, with
// the characters that would change the topic's meaning percent-encoded.

#include <cstdint>
#include <string>

namespace smdgw {

// Percent-encodes '%', '+', '#', '/', a leading '$' and control characters
// (%XX, upper-case hex); every other byte, UTF-8 included, is kept.
//   "plant/1"  -> "plant%2F1"      "$SYS" -> "%24SYS"      "a+b#" -> "a%2Bb%23"
std::string encode_topic_level(const std::string& name);

// The default prefix: "smdgw/" and the encoded gateway ID.
std::string default_topic_prefix(const std::string& gateway_id);

// False with `error` when a prefix given by the user cannot be published to
// (empty, wildcards, a NUL, an empty level or a trailing '/').
bool check_topic_prefix(const std::string& prefix, std::string& error);

// What a device publishes, one topic each below <prefix>/<device>/; HaState
// only with Home Assistant discovery.
enum class TopicKind { Record, State, Alarms, Alarm, HaState };
const char* topic_kind_name(TopicKind kind);

// <prefix>/<encoded device>/<kind>
std::string device_topic(const std::string& prefix, const std::string& device, TopicKind kind);

}  // namespace smdgw

namespace smdgw {

// The large-fleet profile's shard of a gateway: FNV-1a (32 bits) of its ID
// modulo `shards`, the same on every host and in every release, so that a
// gateway stays on its collector.
unsigned topic_shard(const std::string& gateway_id, unsigned shards);

// FNV-1a, 32 bits: a short stable hash of a name.
uint32_t fnv1a_32(const std::string& text);

// The shard's topic level: "s" and the number with at least two digits
// ("s00", "s07", "s63", "s100").
std::string shard_level(unsigned shard);

}  // namespace smdgw
