#include "tools/smdgw/core/config.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "tools/smdgw/core/config_keys.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/strict_json.h"

namespace smdgw {

namespace {

[[noreturn]] void fail(const std::string& path, const std::string& what) {
    throw ConfigError(path + ": " + what);
}

std::string join_lines(const std::vector<std::string>& lines) {
    std::string all;
    for (const auto& l : lines) all += (all.empty() ? "" : "\n") + l;
    return all;
}

std::string device_label(const Json::Value& d, Json::ArrayIndex index) {
    if (d.isObject() && d["name"].isString() && !d["name"].asString().empty())
        return "device \"" + d["name"].asString() + "\"";
    return "device #" + std::to_string(index + 1);
}

// "role", "encoding", "protocol_version" and "response_timeout_ms"; a problem
// is added to errors, naming the key and the value.
void read_role(const Json::Value& d, DeviceConfig& dc, std::vector<std::string>& errors) {
    const Json::Value& role = d["role"];
    if (!role.isNull()) {
        if (role == "master")
            dc.role = DeviceRole::Master;
        else if (role != "listen")
            errors.push_back("\"role\" must be \"listen\" or \"master\" (is " + value_text(role) +
                             ")");
    }
    const Json::Value& enc = d["encoding"];
    if (!enc.isNull()) {
        if (enc == "fixed")
            dc.master.floating_point = false;
        else if (enc != "float")
            errors.push_back("\"encoding\" must be \"float\" or \"fixed\" (is " +
                             value_text(enc) + ")");
    }
    const Json::Value& ver = d["protocol_version"];
    if (!ver.isNull()) {
        // 32 and 33 as numbers, or the texts "0x20" and "0x21".
        unsigned v = 0;
        if (ver.isUInt())
            v = ver.asUInt();
        else if (ver == "0x20" || ver == "0x21")
            v = ver == "0x20" ? 0x20 : 0x21;
        if (v != 0x20 && v != 0x21)
            errors.push_back("\"protocol_version\" must be 0x20 or 0x21 (32 or 33) (is " +
                             value_text(ver) + ")");
        else
            dc.master.protocol_version = static_cast<uint8_t>(v);
    }
    const Json::Value& timeout = d["response_timeout_ms"];
    if (!timeout.isNull()) {
        if (!timeout.isUInt() || timeout.asUInt() < 10 || timeout.asUInt() > 60000)
            errors.push_back("\"response_timeout_ms\" must be an integer 10 to 60000 (is " +
                             value_text(timeout) + ")");
        else
            dc.master.response_timeout_ms = timeout.asUInt();
    }
    // A master polls one address; the protocol's usual one unless given.
    if (dc.role == DeviceRole::Master && dc.address < 0) dc.address = 1;
}

}  // namespace

GatewayConfig parse_config(const std::string& text, const std::string& path, bool strict) {
    const std::string bad_byte = first_non_utf8(text);
    if (!bad_byte.empty())
        fail(path, "not UTF-8 text at " + bad_byte + "; save the configuration as UTF-8 JSON");
    Json::Value root;
    std::string error;
    if (!parse_strict_json(text, root, error)) fail(path, "not valid JSON: " + error);
    if (!root.isObject()) fail(path, "the configuration must be a JSON object");
    GatewayConfig cfg;
    cfg.path = path;
    cfg.notify = root["notify"];
    std::vector<std::string> problems;
    for (const std::string& k : root.getMemberNames()) {
        if (k == "devices" || k == "notify") continue;
        problems.push_back(path + ": unknown key \"" + k + "\"" +
                           did_you_mean(k, {"devices", "notify"}));
    }
    const Json::Value& devices = root["devices"];
    if (!devices.isArray() || devices.empty()) {
        problems.push_back(path + ": \"devices\" must be a non-empty array of device objects");
        throw ConfigError(join_lines(problems));
    }
    std::set<std::string> names;
    // A UPS client tells plants apart by serial.
    std::set<std::string> serials;
    for (Json::ArrayIndex i = 0; i < devices.size(); ++i) {
        const Json::Value& d = devices[i];
        const std::string at = path + ": " + device_label(d, i) + ": ";
        if (!d.isObject()) {
            problems.push_back(path + ": device #" + std::to_string(i + 1) +
                               " must be an object (is " + value_text(d) + ")");
            continue;
        }
        bool usable = true;
        if (!d["name"].isString() || d["name"].asString().empty()) {
            problems.push_back(at + "\"name\" must be a non-empty text");
            usable = false;
        } else if (!names.insert(d["name"].asString()).second) {
            problems.push_back(at + "is configured twice (\"name\" must be unique)");
            usable = false;
        }
        if (!d["data_id"].isUInt()) {
            problems.push_back(at + "\"data_id\" must be an unsigned integer (is " +
                               value_text(d["data_id"]) + ")");
            usable = false;
        }
        EntryFindings findings;
        check_device_entry(d, findings);
        const Json::Value& ups = d["ups"];
        if (ups.isObject() && ups["serial"].isString() &&
            !serials.insert(ups["serial"].asString()).second)
            findings.errors.push_back("\"ups\": \"serial\" " + value_text(ups["serial"]) +
                                      " is given to another device too (a serial must be unique)");
        // Keys inside the driver's objects that it does not read: a typo
        // there leaves an option at its default, but another driver version
        // may read them, so only --strict refuses them.
        for (const auto& k : findings.driver_keys) {
            if (strict)
                findings.errors.push_back(k + "; the driver does not read it (--strict)");
            else
                findings.warnings.push_back(k + "; the driver does not read it (an error with --strict)");
        }
        for (const auto& e : findings.errors) problems.push_back(at + e);
        for (const auto& w : findings.warnings) cfg.warnings.push_back(at + w);
        if (!usable || !findings.errors.empty()) continue;
        DeviceConfig dc;
        dc.name = d["name"].asString();
        dc.data_id = d["data_id"].asUInt();
        if (d["port"].isString()) dc.port = d["port"].asString();
        if (!d["address"].isNull()) dc.address = static_cast<int>(d["address"].asUInt());
        std::vector<std::string> role_errors;
        read_role(d, dc, role_errors);
        for (const auto& e : role_errors) problems.push_back(at + e);
        if (!role_errors.empty()) continue;
        dc.entry = d;
        cfg.devices.push_back(std::move(dc));
    }
    const std::string conflict = line_role_conflict(cfg.devices, "");
    if (!conflict.empty()) problems.push_back(path + ": " + conflict);
    if (!problems.empty()) throw ConfigError(join_lines(problems), cfg.warnings);
    return cfg;
}

std::string line_role_conflict(const std::vector<DeviceConfig>& devices,
                               const std::string& default_port) {
    std::map<std::string, std::vector<const DeviceConfig*>> by_port;
    for (const DeviceConfig& d : devices) by_port[d.port.empty() ? default_port : d.port].push_back(&d);
    for (const auto& [port, on_line] : by_port) {
        const std::string where = port.empty() ? "the --port line" : "port \"" + port + "\"";
        const DeviceConfig* master = nullptr;
        const DeviceConfig* listener = nullptr;
        std::map<unsigned, const DeviceConfig*> addresses;
        for (const DeviceConfig* d : on_line) {
            if (d->role == DeviceRole::Listen) {
                if (!listener) listener = d;
                continue;
            }
            if (!master) master = d;
            auto [at, fresh] = addresses.emplace(d->address, d);
            if (!fresh)
                return where + ": master devices \"" + at->second->name + "\" and \"" + d->name +
                       "\" both poll address " + std::to_string(d->address) +
                       "; give each its own \"address\"";
        }
        if (master && listener)
            return where + ": device \"" + master->name +
                   "\" polls as master and device \"" + listener->name +
                   "\" listens; a master owns its port, so a listening device cannot share it";
    }
    return {};
}

void report_config_warnings(const std::vector<std::string>& warnings) {
    for (const auto& w : warnings) log_warning("warning: " + w);
}

void report_config_error(const ConfigError& e) {
    report_config_warnings(e.warnings);
    std::istringstream lines(e.what());
    for (std::string line; std::getline(lines, line);) log_error(line);
}

GatewayConfig load_config(const std::string& path, bool strict) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        fail(path, std::string("cannot open the configuration file: ") + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) fail(path, "is a directory, not a configuration file");
    std::ifstream in(path, std::ios::binary);
    if (!in)
        fail(path, std::string("cannot open the configuration file: ") + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) fail(path, std::string("cannot read the configuration file: ") + std::strerror(errno));
    return parse_config(text.str(), path, strict);
}

}  // namespace smdgw
