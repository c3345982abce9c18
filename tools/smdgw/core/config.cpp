#include "tools/smdgw/core/config.h"

#include <json/reader.h>

#include <fstream>
#include <memory>
#include <set>
#include <sstream>

namespace smdgw {

namespace {

[[noreturn]] void fail(const std::string& path, const std::string& what) {
    throw ConfigError(path + ": " + what);
}

// A device entry the gateway leaves out; the text names the device and the problem.
struct DeviceProblem {
    std::string what;
};

[[noreturn]] void refuse_device(const std::string& what) { throw DeviceProblem{what}; }

void check_number_table(const std::string& dev, const Json::Value& v, const char* key) {
    if (v.isNull()) return;
    if (!v.isObject()) refuse_device("device \"" + dev + "\": \"" + key + "\" must be an object");
    for (const auto& name : v.getMemberNames())
        if (!v[name].isNumeric())
            refuse_device("device \"" + dev + "\": \"" + key + "\"/\"" + name +
                          "\" must be a number");
}

void check_object_table(const std::string& dev, const Json::Value& v, const char* key,
                        const std::vector<std::string>& numeric,
                        const std::vector<std::string>& flags) {
    if (v.isNull()) return;
    if (!v.isObject()) refuse_device("device \"" + dev + "\": \"" + key + "\" must be an object");
    for (const auto& name : v.getMemberNames()) {
        const Json::Value& e = v[name];
        const std::string where = "device \"" + dev + "\": \"" + key + "\"/\"" + name + "\"";
        if (!e.isObject()) refuse_device(where + " must be an object");
        for (const auto& f : numeric)
            if (!e[f].isNull() && !e[f].isNumeric())
                refuse_device(where + "/\"" + f + "\" must be a number");
        for (const auto& f : flags)
            if (!e[f].isNull() && !e[f].isBool())
                refuse_device(where + "/\"" + f + "\" must be true or false");
    }
}

// Checks one device entry; throws DeviceProblem when it cannot be used.
DeviceConfig read_device(const Json::Value& d, Json::ArrayIndex index,
                         const std::set<std::string>& names) {
    const std::string at = "device #" + std::to_string(index + 1);
    if (!d.isObject()) refuse_device(at + " must be an object");
    if (!d["name"].isString() || d["name"].asString().empty())
        refuse_device(at + ": \"name\" must be a non-empty text");
    DeviceConfig dc;
    dc.name = d["name"].asString();
    if (names.count(dc.name)) refuse_device("device \"" + dc.name + "\" is configured twice");
    if (!d["data_id"].isUInt())
        refuse_device("device \"" + dc.name + "\": \"data_id\" must be an unsigned integer");
    dc.data_id = d["data_id"].asUInt();
    if (!d["port"].isNull()) {
        if (!d["port"].isString())
            refuse_device("device \"" + dc.name + "\": \"port\" must be a text");
        dc.port = d["port"].asString();
    }
    if (!d["address"].isNull() && (!d["address"].isUInt() || d["address"].asUInt() > 255))
        refuse_device("device \"" + dc.name + "\": \"address\" must be an integer 0 to 255");
    // How the host judges the device's rounds and its line.
    const Json::Value& confirm = d["alarm_confirm_rounds"];
    if (!confirm.isNull() && (!confirm.isUInt() || confirm.asUInt() < 1 || confirm.asUInt() > 100))
        refuse_device("device \"" + dc.name +
                      "\": \"alarm_confirm_rounds\" must be an integer 1 to 100");
    const Json::Value& stale = d["stale_after_s"];
    if (!stale.isNull() && (!stale.isNumeric() || !(stale.asDouble() > 0.0)))
        refuse_device("device \"" + dc.name + "\": \"stale_after_s\" must be a number above 0");
    check_number_table(dc.name, d["alarm_levels"], "alarm_levels");
    check_number_table(dc.name, d["alarm_thresholds"], "alarm_thresholds");
    check_object_table(dc.name, d["limits"], "limits", {"upper", "lower"}, {});
    check_object_table(dc.name, d["reports"], "reports",
                       {"change_delta", "percent", "period_minutes", "last_time", "last_value"},
                       {"change_enabled", "percent_enabled", "period_enabled"});
    dc.entry = d;
    return dc;
}

}  // namespace

GatewayConfig parse_config(const std::string& text, const std::string& path) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    Json::Value root;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) {
        while (!errors.empty() && (errors.back() == '\n' || errors.back() == ' '))
            errors.pop_back();
        fail(path, "not valid JSON: " + errors);
    }
    if (!root.isObject()) fail(path, "the configuration must be a JSON object");
    const Json::Value& devices = root["devices"];
    if (!devices.isArray() || devices.empty())
        fail(path, "\"devices\" must be a non-empty array of device objects");

    GatewayConfig cfg;
    cfg.path = path;
    std::set<std::string> names;
    for (Json::ArrayIndex i = 0; i < devices.size(); ++i) {
        try {
            DeviceConfig dc = read_device(devices[i], i, names);
            names.insert(dc.name);
            cfg.devices.push_back(std::move(dc));
        } catch (const DeviceProblem& p) {
            cfg.warnings.push_back(path + ": " + p.what + "; device left out");
        }
    }
    if (cfg.devices.empty()) {
        std::string why = "no usable device";
        for (const auto& w : cfg.warnings) why += "\n  " + w;
        fail(path, why);
    }
    return cfg;
}

GatewayConfig load_config(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fail(path, "cannot open the configuration file");
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) fail(path, "cannot read the configuration file");
    return parse_config(text.str(), path);
}

}  // namespace smdgw
