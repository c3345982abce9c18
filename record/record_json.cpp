#include "record/record_json.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace {

// A float becomes the double nearest to its shortest decimal form, so 0.1f reads as 0.1.
// NaN and infinity have no JSON form and become null.
Json::Value float_json(float v) {
    if (!std::isfinite(v)) {
        return Json::Value();
    }
    char buf[32];
    const auto out = std::to_chars(buf, buf + sizeof buf, v);
    double d = v;
    std::from_chars(buf, out.ptr, d);
    return Json::Value(d);
}

Json::Value uint_json(uint32_t v) { return Json::Value(static_cast<Json::UInt>(v)); }

// The valid entries of an array: min(count, size) of them.
template <typename Get>
Json::Value array_json(uint8_t count, size_t size, Get get) {
    Json::Value arr(Json::arrayValue);
    const size_t n = count < size ? count : size;
    for (size_t k = 0; k < n; ++k) {
        arr.append(get(k));
    }
    return arr;
}

Json::Value ttime_json(const ttime& t) {
    Json::Value o(Json::objectValue);
    o["year"] = uint_json(t.year);
    o["month"] = uint_json(t.month);
    o["day"] = uint_json(t.day);
    o["hour"] = uint_json(t.hour);
    o["minute"] = uint_json(t.minute);
    o["second"] = uint_json(t.second);
    return o;
}

Json::Value ac_json(const veltra_ac_t& ac) {
    Json::Value o(Json::objectValue);
    o["data_id"] = uint_json(ac.data_id);
    o["ia"] = float_json(ac.ia);
    o["ib"] = float_json(ac.ib);
    o["ic"] = float_json(ac.ic);
    o["channel_count"] = uint_json(ac.channel_count);
    o["airlock_count"] = uint_json(ac.airlock_count);
    o["airlock_status"] = array_json(ac.airlock_count, ac.AIRLOCK_MAX(),
                                     [&](size_t k) { return uint_json(ac.airlock_status[k]); });
    o["p40_43_count"] = uint_json(ac.p40_43_count);
    o["p40_43"] = array_json(ac.p40_43_count, ac.P40_43_SIZE(),
                             [&](size_t k) { return uint_json(ac.p40_43[k]); });
    o["ia_alert"] = uint_json(ac.ia_alert);
    o["ib_alert"] = uint_json(ac.ib_alert);
    o["ic_alert"] = uint_json(ac.ic_alert);
    o["update_time"] = ttime_json(ac.update_time);
    return o;
}

Json::Value ac_channel_json(const veltra_ac_channel_t& ch) {
    Json::Value o(Json::objectValue);
    o["a"] = float_json(ch.a);
    o["b"] = float_json(ch.b);
    o["c"] = float_json(ch.c);
    o["f"] = float_json(ch.f);
    o["p40_41_count"] = uint_json(ch.p40_41_count);
    o["p40_41"] = array_json(ch.p40_41_count, ch.P40_41_SIZE(),
                             [&](size_t k) { return float_json(ch.p40_41[k]); });
    o["alert_a"] = uint_json(ch.alert_a);
    o["alert_b"] = uint_json(ch.alert_b);
    o["alert_c"] = uint_json(ch.alert_c);
    o["alert_f"] = uint_json(ch.alert_f);
    o["p40_44_count"] = uint_json(ch.p40_44_count);
    o["p40_44"] = array_json(ch.p40_44_count, ch.p40_44_SIZE(),
                             [&](size_t k) { return uint_json(ch.p40_44[k]); });
    return o;
}

Json::Value rc_channel_json(const veltra_rc_channel_t& ch) {
    Json::Value o(Json::objectValue);
    o["out_i"] = float_json(ch.out_i);
    o["p41_41_count"] = uint_json(ch.p41_41_count);
    o["p41_41"] = array_json(ch.p41_41_count, ch.P41_41_SIZE(),
                             [&](size_t k) { return float_json(ch.p41_41[k]); });
    o["shutdown"] = uint_json(ch.shutdown);
    o["i_limit"] = uint_json(ch.i_limit);
    o["charge"] = uint_json(ch.charge);
    o["p41_43_count"] = uint_json(ch.p41_43_count);
    o["p41_43"] = array_json(ch.p41_43_count, ch.P41_43_SIZE(),
                             [&](size_t k) { return uint_json(ch.p41_43[k]); });
    o["fault"] = uint_json(ch.fault);
    o["p41_44_count"] = uint_json(ch.p41_44_count);
    o["p41_44"] = array_json(ch.p41_44_count, ch.P41_44_SIZE(),
                             [&](size_t k) { return uint_json(ch.p41_44[k]); });
    return o;
}

Json::Value dc_json(const veltra_dc_t& dc) {
    Json::Value o(Json::objectValue);
    o["data_id"] = uint_json(dc.data_id);
    o["v"] = float_json(dc.v);
    o["i"] = float_json(dc.i);
    o["m"] = uint_json(dc.m);
    o["dc_i"] = array_json(dc.m, dc.M_SIZE(), [&](size_t k) { return float_json(dc.dc_i[k]); });
    o["n"] = uint_json(dc.n);
    o["channel"] =
        array_json(dc.n, dc.N_SIZE(), [&](size_t k) { return float_json(dc.channel[k]); });
    o["p_count"] = uint_json(dc.p_count);
    o["p"] = array_json(dc.p_count, dc.P_SIZE(), [&](size_t k) { return float_json(dc.p[k]); });
    o["alert_v"] = uint_json(dc.alert_v);
    o["alert_m_count"] = uint_json(dc.alert_m_count);
    o["alert_m"] = array_json(dc.alert_m_count, dc.ALERT_M_SIZE(),
                              [&](size_t k) { return uint_json(dc.alert_m[k]); });
    o["alert_p_count"] = uint_json(dc.alert_p_count);
    o["alert_p"] = array_json(dc.alert_p_count, dc.ALERT_P_SIZE(),
                              [&](size_t k) { return uint_json(dc.alert_p[k]); });
    o["update_time"] = ttime_json(dc.update_time);
    return o;
}

}  // namespace

Json::Value record_to_json(const veltra_quelm_k418t_419_Data_t& rec) {
    Json::Value o(Json::objectValue);
    o["data_id"] = uint_json(rec.data_id);
    o["ac"] = ac_json(rec.ac);
    // Both AC inputs always: their alarm codes arrive independently of the input count.
    Json::Value ac_channels(Json::arrayValue);
    for (size_t i = 0; i < kAcChannels; ++i) {
        ac_channels.append(ac_channel_json(rec.ac_channels[i]));
    }
    o["ac_channels"] = ac_channels;
    o["out_v"] = float_json(rec.out_v);
    o["channel_count"] = uint_json(rec.channel_count);
    o["channels"] = array_json(rec.channel_count, kRcChannels,
                               [&](size_t j) { return rc_channel_json(rec.channels[j]); });
    o["dc"] = dc_json(rec.dc);
    o["update_time"] = ttime_json(rec.update_time);
    o["dc2"] = dc_json(rec.dc2);
    return o;
}

Json::Value record_to_json_bytes(const uint8_t* data, size_t len) {
    if (data == nullptr || len != kRecordSize) {
        return Json::Value();
    }
    veltra_quelm_k418t_419_Data_t rec;
    std::memcpy(&rec, data, sizeof rec);
    return record_to_json(rec);
}
