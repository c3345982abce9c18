#include "tools/fleetsim/sim_site.h"

#include <cstring>

#include "record/veltra_record.h"
#include "tools/smdgw/mqtt/mqtt_message.h"
#include "tools/smdgw/mqtt/mqtt_topic.h"
#include "tools/smdgw/output/json_text.h"
#include "tools/smdgw/output/record_compact.h"

namespace smdgw {

namespace {

constexpr const char* kDevice = "plant1";
// The mains failure of AC input 1, supply 1: level 1, as the plant raises it.
constexpr const char* kMainsAlarmId = "419415001";
constexpr const char* kMainsKey = "p40_44_3";

}  // namespace

SimSite::SimSite(std::string gateway_id, const std::string& prefix, unsigned shards,
                 uint64_t seed)
    : id_(std::move(gateway_id)), rng_(seed * 6364136223846793005ull + 1442695040888963407ull) {
    prefix_ = prefix + "/" +
              (shards ? shard_level(topic_shard(id_, shards)) + "/" : std::string()) +
              encode_topic_level(id_);
    boot_id_ = new_boot_id();
}

SimMessage SimSite::message(const std::string& kind, int64_t now_ms, std::string members,
                            bool retain) {
    const uint64_t seq = ++seq_[std::string(kDevice) + "/" + kind];
    std::string p = "{\"boot_id\":\"" + boot_id_ + "\"," + members + ",\"device\":\"" + kDevice +
                    "\",\"pub_seq\":" + std::to_string(seq) + ",\"time\":\"" +
                    iso8601_time(now_ms) + "\"}";
    return {prefix_ + "/" + kDevice + "/" + kind, std::move(p), retain};
}

SimMessage SimSite::state(int64_t now_ms, const std::string& state) {
    return message("state", now_ms,
                   "\"event\":\"state\",\"since\":\"" + iso8601_time(now_ms) +
                       "\",\"state\":\"" + state + "\"",
                   true);
}

SimMessage SimSite::record(int64_t now_ms) {
    veltra_record_t r;
    std::memset(&r, 0, sizeof r);
    rng_ = rng_ * 6364136223846793005ull + 1442695040888963407ull;
    const float wobble = static_cast<float>((rng_ >> 33) % 100) / 1000.0f;  // 0 to 0.099
    const float mains = on_battery_ ? 0.0f : 230.0f + wobble * 10.0f;
    // On battery the bus sags as the string discharges, about 0.1 V a minute.
    const float minutes = on_battery_ ? static_cast<float>(now_ms - mains_failed_ms_) / 60000.0f : 0;
    const float bus = on_battery_ ? 51.0f - 0.1f * minutes : 53.5f + wobble;
    r.ac.channel_count = 1;
    store_le_f32(reinterpret_cast<uint8_t*>(&r.ac.ia), on_battery_ ? 0.0f : 8.2f + wobble);
    store_le_f32(reinterpret_cast<uint8_t*>(&r.ac.ib), on_battery_ ? 0.0f : 8.3f);
    store_le_f32(reinterpret_cast<uint8_t*>(&r.ac.ic), on_battery_ ? 0.0f : 8.1f);
    store_le_f32(reinterpret_cast<uint8_t*>(&r.ac_channels[0].a), mains);
    store_le_f32(reinterpret_cast<uint8_t*>(&r.ac_channels[0].b), mains);
    store_le_f32(reinterpret_cast<uint8_t*>(&r.ac_channels[0].c), mains);
    store_le_f32(reinterpret_cast<uint8_t*>(&r.ac_channels[0].f), on_battery_ ? 0.0f : 50.0f);
    store_le_f32(reinterpret_cast<uint8_t*>(&r.out_v), bus);
    r.channel_count = 4;
    for (int j = 0; j < 4; ++j)
        store_le_f32(reinterpret_cast<uint8_t*>(&r.channels[j].out_i),
                     on_battery_ ? 0.0f : 12.0f + wobble);
    store_le_f32(reinterpret_cast<uint8_t*>(&r.dc.v), bus);
    store_le_f32(reinterpret_cast<uint8_t*>(&r.dc.i), 48.0f + wobble);
    std::string compact;
    record_compact_text(compact, reinterpret_cast<const unsigned char*>(&r), sizeof r);
    return message("record", now_ms,
                   "\"compact\":" + compact +
                       ",\"complete\":true,\"data_id\":5535,\"event\":\"record\",\"restored\":"
                       "false,\"sections\":{\"ac\":\"fresh\",\"dc\":\"fresh\",\"rectifiers\":"
                       "\"fresh\"}",
                   false);
}

SimMessage SimSite::alarm_list(int64_t now_ms) {
    std::string list = "[]";
    if (on_battery_)
        list = std::string("[{\"acknowledged\":null,\"alarm_id\":\"") + kMainsAlarmId +
               "\",\"id\":\"" + kDevice + "/" + kMainsKey + "/" + kMainsAlarmId +
               "/1\",\"key\":\"" + kMainsKey +
               "\",\"level\":1,\"message\":\"AC input 1: supply 1 power failure\",\"seq\":1,"
               "\"since\":\"" + iso8601_time(mains_failed_ms_) + "\"}]";
    return message("alarms", now_ms, "\"alarms\":" + list + ",\"event\":\"alarms\"", true);
}

SimMessage SimSite::mains(int64_t now_ms, bool failed) {
    on_battery_ = failed;
    if (failed) mains_failed_ms_ = now_ms;
    return message("alarm", now_ms,
                   std::string("\"alarm_id\":\"") + kMainsAlarmId +
                       "\",\"english\":\"AC input 1: supply 1 power failure\",\"event\":\"alarm\","
                       "\"key\":\"" + kMainsKey + "\",\"level\":1,\"seq\":1,\"state\":\"" +
                       (failed ? "raised" : "cleared") + "\"",
                   false);
}

}  // namespace smdgw
