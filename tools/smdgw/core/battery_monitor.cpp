#include "tools/smdgw/core/battery_monitor.h"

#include <json/reader.h>
#include <json/writer.h>

#include <fstream>
#include <memory>

#include <cmath>
#include <cstring>

#include "host/plant_sections.h"
#include "record/veltra_record.h"
#include "tools/smdgw/core/battery_alarms.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/safe_file.h"

namespace smdgw {

namespace {

// A Prometheus label value: backslash, double quote and line feed escaped.
std::string label_value(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return out;
}

}  // namespace

BatteryMonitor::BatteryMonitor(const GatewayConfig& cfg, const HostClock& clock,
                               std::string state_path)
    : clock_(clock), state_path_(std::move(state_path)) {
    for (const DeviceConfig& d : cfg.devices) {
        std::vector<std::string> errors;
        const auto c = BatteryConfig::parse(d.entry["battery"], errors);
        if (c) estimators_.emplace(d.name, Entry{*c, BatteryEstimator(*c), 0.0});
    }
    if (state_path_.empty() || estimators_.empty()) return;
    std::ifstream in(state_path_);
    if (!in) return;  // nothing learned yet
    // Small and ours, but read as untrusted: bounded, every value checked.
    std::string text(64 * 1024, '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    Json::Value saved;
    Json::CharReaderBuilder b;
    std::string errs;
    std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    if (!reader->parse(text.data(), text.data() + text.size(), &saved, &errs) ||
        !saved.isObject()) {
        log_warning(state_path_ + ": not the battery state smdgw writes; learned capacities "
                    "start again");
        return;
    }
    for (auto& e : estimators_) {
        const Json::Value& v = saved[e.first];
        if (v.isNumeric() && v.asDouble() > 0.0 && v.asDouble() <= 2.0 * e.second.config.nameplate_ah())
            e.second.estimator.set_learned_capacity(v.asDouble());
    }
}

void BatteryMonitor::save_learned() {
    if (state_path_.empty()) return;
    Json::Value saved(Json::objectValue);
    for (const auto& e : estimators_)
        if (const auto ah = e.second.estimator.reading().learned_capacity_ah) saved[e.first] = *ah;
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    std::string error;
    if (!replace_file(state_path_, Json::writeString(b, saved) + "\n", error))
        log_error("battery state not kept: " + error);
}

void BatteryMonitor::on_publish(const std::string& device, const smd::RecordPublished& r) {
    const auto it = estimators_.find(device);
    if (it == estimators_.end()) return;
    // Only a live round that refreshed the DC panels moves the count.
    if (!(r.quality.fresh() & smd::section_bit(smd::Section::Dc))) return;
    if (!r.data || r.length != sizeof(veltra_record_t)) return;
    veltra_record_t rec;
    std::memcpy(&rec, r.data, sizeof rec);
    const BatteryConfig& c = it->second.config;
    BatteryInput in;
    in.t_s = clock_.monotonic_seconds();
    in.bus_v = std::fabs(rec.dc.v);
    // The strings' currents: panel 1's list, then panel 2's.
    const veltra_dc_t* panels[] = {&rec.dc, &rec.dc2};
    for (const veltra_dc_t* p : panels) {
        const size_t m = std::min<size_t>(p->m, veltra_dc_t::M_SIZE());
        for (size_t k = 0; k < m && in.currents.size() < c.strings_ah.size(); ++k)
            in.currents.push_back(p->dc_i[k]);
    }
    if (in.currents.size() < c.strings_ah.size()) return;  // a string not reported
    if (c.temperature_value >= 0 && static_cast<size_t>(c.temperature_value) < rec.dc.p_count &&
        static_cast<size_t>(c.temperature_value) < veltra_dc_t::P_SIZE())
        in.temperature_c = rec.dc.p[c.temperature_value];
    std::lock_guard<std::mutex> lock(mu_);
    it->second.estimator.update(in);
    it->second.since_offset = static_cast<double>(r.unix_time) - in.t_s;
    if (it->second.estimator.take_learned()) {
        log_info(device + ": battery capacity learned from a discharge to the disconnect: " +
                 std::to_string(static_cast<int>(
                     *it->second.estimator.reading().learned_capacity_ah + 0.5)) +
                 " Ah of " + std::to_string(static_cast<int>(c.nameplate_ah() + 0.5)) +
                 " Ah nameplate");
        save_learned();
    }
}

std::optional<BatteryView> BatteryMonitor::battery(const std::string& device) const {
    const auto it = estimators_.find(device);
    if (it == estimators_.end()) return std::nullopt;
    std::lock_guard<std::mutex> lock(mu_);
    BatteryView v;
    v.reading = it->second.estimator.reading();
    v.since = static_cast<std::time_t>(v.reading.since_t_s + it->second.since_offset);
    return v;
}

std::vector<rule_value> BatteryMonitor::alarms(const std::string& device) const {
    const auto it = estimators_.find(device);
    if (it == estimators_.end()) return {};
    std::lock_guard<std::mutex> lock(mu_);
    return battery_alarm_batch(it->second.config, it->second.estimator.reading());
}

std::string BatteryMonitor::json(const std::string& device) const {
    const auto v = battery(device);
    if (!v) return {};
    const BatteryReading& r = v->reading;
    auto opt = [](const std::optional<double>& x) { return x ? Json::Value(*x) : Json::Value(); };
    Json::Value j;
    j["state"] = battery_state_name(r.state);
    j["charge"] = opt(r.charge);
    j["runtime_s"] = opt(r.runtime_s);
    j["runtime_low_s"] = opt(r.runtime_low_s);
    j["runtime_high_s"] = opt(r.runtime_high_s);
    j["current_a"] = r.current_a;
    j["temperature_c"] = opt(r.temperature_c);
    j["capacity_ah"] = r.capacity_ah;
    j["learned_capacity_ah"] = opt(r.learned_capacity_ah);
    j["since"] = r.state == BatteryState::Unknown ? Json::Value() : Json::Value(Json::Int64(v->since));
    // Seven significant digits, as every event smdgw writes: the API and the
    // MQTT records carry this text alike.
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["precision"] = 7;
    return Json::writeString(b, j);
}

std::string BatteryMonitor::prometheus_text() const {
    struct Family {
        const char* name;
        const char* type;
        const char* help;
        std::function<std::optional<double>(const BatteryReading&)> value;
    };
    const Family families[] = {
        {"smdgw_battery_state", "gauge",
         "Battery state: 0 unknown, 1 float, 2 charging, 3 discharging, 4 disconnected",
         [](const BatteryReading& r) { return std::optional<double>(static_cast<int>(r.state)); }},
        {"smdgw_battery_charge_ratio", "gauge", "Estimated state of charge, 0 to 1",
         [](const BatteryReading& r) { return r.charge; }},
        {"smdgw_battery_runtime_seconds", "gauge",
         "Estimated time to the low-voltage disconnect while discharging",
         [](const BatteryReading& r) { return r.runtime_s; }},
        {"smdgw_battery_capacity_ah", "gauge",
         "Battery capacity: the nameplate (kind=\"nameplate\") and the learned (kind=\"learned\")",
         [](const BatteryReading& r) { return std::optional<double>(r.capacity_ah); }},
    };
    std::string text;
    for (const Family& f : families) {
        std::string rows;
        for (const auto& e : estimators_) {
            const auto v = battery(e.first);
            if (!v) continue;
            const std::string label = "device=\"" + label_value(e.first) + "\"";
            const bool capacity = std::strcmp(f.name, "smdgw_battery_capacity_ah") == 0;
            if (const auto x = f.value(v->reading))
                rows += std::string(f.name) + "{" + label + (capacity ? ",kind=\"nameplate\"" : "") +
                        "} " + Json::valueToString(*x) + "\n";
            if (capacity && v->reading.learned_capacity_ah)
                rows += std::string(f.name) + "{" + label + ",kind=\"learned\"} " +
                        Json::valueToString(*v->reading.learned_capacity_ah) + "\n";
        }
        if (rows.empty()) continue;
        text += std::string("# HELP ") + f.name + " " + f.help + "\n# TYPE " + f.name + " " +
                f.type + "\n" + rows;
    }
    return text;
}

}  // namespace smdgw
