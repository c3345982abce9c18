#include "tools/smdgw/master/master_options.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <limits>

#include "host/frame_codec.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/master/master_line.h"

namespace smdgw::master {

namespace {

bool parse_number(const std::string& text, long long lo, long long hi, long long& out) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno != 0 || v < lo || v > hi) return false;
    out = v;
    return true;
}

// Three values per occurrence: rounds, code, request (text or hex).
bool read_controls(const std::vector<std::string>& values, bool hex, const char* option,
                   std::vector<ScheduledControl>& out) {
    for (size_t i = 0; i + 3 <= values.size(); i += 3) {
        ScheduledControl c;
        long long rounds = 0, code = 0;
        if (!parse_number(values[i], 0, std::numeric_limits<int64_t>::max(), rounds)) {
            log_error(std::string(option) + ": rounds \"" + values[i] +
                      "\" is not a number of rounds");
            return false;
        }
        if (!parse_number(values[i + 1], std::numeric_limits<int32_t>::min(),
                          std::numeric_limits<int32_t>::max(), code)) {
            log_error(std::string(option) + ": control code \"" + values[i + 1] +
                      "\" is not an integer");
            return false;
        }
        c.after_rounds = static_cast<uint64_t>(rounds);
        c.code = static_cast<int>(code);
        if (!hex) {
            c.request.assign(values[i + 2].begin(), values[i + 2].end());
        } else if (!smd::from_hex(values[i + 2], c.request)) {
            log_error(std::string(option) + ": request \"" + values[i + 2] +
                      "\" is not hex bytes");
            return false;
        }
        out.push_back(std::move(c));
    }
    return true;
}

}  // namespace

bool MasterOptions::check() {
    controls.clear();
    return read_controls(control_at, false, "--control-at", controls) &&
           read_controls(control_hex_at, true, "--control-hex-at", controls);
}

void add_master_options(CLI::App& app, MasterOptions& options) {
    app.add_option("--control-at", options.control_at,
                   "On master devices: DeviceIoControl with a text request (byte for byte) "
                   "between two rounds, once N rounds are published")
        ->expected(3)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->type_name("N CODE TEXT");
    app.add_option("--control-hex-at", options.control_hex_at,
                   "The same with request bytes in hex")
        ->expected(3)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->type_name("N CODE HEX");
}

PolledLineFactory polled_line_factory(const MasterOptions& options) {
    const std::vector<ScheduledControl> controls = options.controls;
    return [controls](boost::asio::io_context& io, Gateway& gw,
                      std::vector<RunningDevice*> devices, double time_scale) {
        return MasterLine::create(io, gw, std::move(devices), controls, time_scale);
    };
}

bool check_master_input(const GatewayConfig& cfg, const std::string& default_port,
                        bool replaying) {
    if (replaying) {
        for (const DeviceConfig& d : cfg.devices)
            if (d.role == DeviceRole::Master) {
                log_error("device \"" + d.name +
                          "\" polls as master and cannot follow a capture file; give --port");
                return false;
            }
        return true;
    }
    const std::string conflict = line_role_conflict(cfg.devices, default_port);
    if (!conflict.empty()) {
        log_error(cfg.path + ": " + conflict);
        return false;
    }
    return true;
}

}  // namespace smdgw::master
