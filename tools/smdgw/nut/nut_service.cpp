#include "tools/smdgw/nut/nut_service.h"

#include <pthread.h>

#include <csignal>

#include <cctype>

#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/utf8_text.h"

namespace smdgw::nut {

bool ups_name_ok(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    for (unsigned char c : name)
        if (!std::isalnum(c) && c != '-' && c != '_' && c != '.') return false;
    return true;
}

NutService::NutService(const NutOptions& options, const ServiceContext& ctx, TlsContext tls)
    : options_(options),
      states_(ctx.states),
      battery_(ctx.battery),
      shared_{*this, logins_, options.user, counters_, ctx.version},
      server_(shared_,
              ServerLimits{options.max_connections, options.max_per_client,
                           static_cast<double>(options.idle_timeout_s)},
              tls) {
    shared_.tls = tls != nullptr;
    for (const DeviceConfig& d : ctx.cfg.devices) {
        std::vector<std::string> errors;
        Device dev;
        // Checked with the configuration: only a valid object is here.
        dev.identity = UpsIdentity::parse(d.entry["ups"], errors).value_or(UpsIdentity{});
        dev.serial = dev.identity.serial_for(options.gateway_id, d.name);
        dev.battery = BatteryConfig::parse(d.entry["battery"], errors);
        const std::string desc = dev.identity.description.empty()
                                     ? std::string(UpsIdentity::kDefaultDescription)
                                     : dev.identity.description;
        upses_.push_back({d.name, desc});
        devices_.emplace(d.name, std::move(dev));
    }
}

NutService::~NutService() { stop(); }

bool NutService::bind() {
    std::string error;
    if (!server_.bind(options_.address, options_.port, error)) {
        log_error(error);
        return false;
    }
    const bool v6 = options_.address.find(':') != std::string::npos;
    listening_ = (v6 ? "[" + options_.address + "]" : options_.address) + ":" +
                 std::to_string(server_.port());
    log_info("nut: serving " + count_text(upses_.size(), "UPS", "UPSes") + " on " + listening_ +
             (options_.user ? ", LOGIN for " + quoted(options_.user->username)
                            : ", without LOGIN (no --nut-users)") +
             (shared_.tls ? ", STARTTLS offered" : ""));
    return true;
}

bool NutService::start() {
    if (thread_.joinable()) return true;
    thread_ = std::thread([this] {
        // OpenSSL writes to a client's socket without MSG_NOSIGNAL: a client
        // gone must give EPIPE here, not end the gateway.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        pthread_setname_np(pthread_self(), "smdgw-nut");
        server_.run();
    });
    return true;
}

void NutService::stop() {
    if (!thread_.joinable()) return;
    server_.stop();
    thread_.join();
}

std::optional<UpsReading> NutService::read(const std::string& name) const {
    const auto it = devices_.find(name);
    if (it == devices_.end()) return std::nullopt;
    // Taken before the snapshot's lock, which is held no longer than a copy.
    std::optional<BatteryView> battery = battery_.battery(name);
    std::optional<UpsReading> r;
    states_.read(name, [&](const DeviceState& d) {
        r = read_ups(d, std::move(battery), it->second.battery, it->second.identity,
                     it->second.serial);
    });
    return r;
}

std::optional<Json::Value> NutService::stats() const {
    return nut_stats_line(counters_, listening_);
}

std::string NutService::prometheus_text() const { return nut_prometheus_text(counters_); }

OpenedService open_nut_service(const NutOptions& o, const ServiceContext& ctx) {
    OpenedService opened;
    if (!o.enabled()) return opened;
    for (const DeviceConfig& d : ctx.cfg.devices)
        if (!ups_name_ok(d.name)) {
            log_error("--nut-listen: device " + quoted(d.name) +
                      " cannot be a UPS name (1 to 64 letters, digits, '-', '_' or '.'); "
                      "rename it to serve it over NUT");
            opened.status = kExitUsage;
            return opened;
        }
    TlsContext tls;
    if (!o.tls_cert.empty()) {
        std::string error;
        tls = nut_tls_context(o.tls_cert, o.tls_key, error);
        if (!tls) {
            log_error(error);
            opened.status = kExitUsage;
            return opened;
        }
    }
    auto service = std::make_unique<NutService>(o, ctx, tls);
    // Not serving is not a usage error: another server may hold the port for now.
    if (!service->bind()) {
        opened.status = kExitFailure;
        return opened;
    }
    opened.service = std::move(service);
    return opened;
}

}  // namespace smdgw::nut
