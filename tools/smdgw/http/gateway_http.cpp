#include "tools/smdgw/http/gateway_http.h"

#include <stdexcept>
#include <utility>

#include "tools/smdgw/core/alarm_ref.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/utf8_text.h"
#include "tools/smdgw/core/value_keys.h"

namespace smdgw::http {

namespace {
// Events a stream may fall behind before it is dropped.
constexpr size_t kMaxQueuedEvents = 512;
// Control requests waiting for the line at most.
constexpr size_t kMaxControlJobs = 8;
// Acknowledges a raised alarm of a device by its exact name, or takes that
// back; on the line thread, which owns the alarm states.
Json::Value alarm_action(Gateway& gw, const std::string& device, const Json::Value& action) {
    Json::Value out;
    RunningDevice* d = gw.find(device);
    const std::string id = action["id"].asString();
    const AlarmIdentity* found = nullptr;
    const std::vector<ActiveAlarm> active = d ? d->driver->ShownAlarms().active()
                                              : std::vector<ActiveAlarm>();
    for (const ActiveAlarm& a : active)
        if (alarm_ref(device, a.id.key, a.id.alarm_id, a.id.seq) == id) found = &a.id;
    if (!found) {
        out["status"] = 404;
        out["error"] = "no raised alarm " + quoted(id) + " on device " + quoted(device);
        return out;
    }
    if (action["action"].asString() == "ack") {
        AlarmAck ack;
        ack.by = action["by"].asString();
        ack.comment = action["comment"].asString();
        ack.at = d->driver->Clock().unix_time();
        d->driver->AcknowledgeAlarm(*found, ack);
    } else {
        d->driver->UnacknowledgeAlarm(*found);
    }
    out["id"] = id;
    return out;
}

}  // namespace

GatewayHttp::GatewayHttp(const HttpOptions& options, const HostClock* clock, std::string input,
                         const DeviceStates& states)
    : options_(options),
      hub_(options.max_streams, kMaxQueuedEvents, kStreamsPerClient),
      states_(states),
      board_(clock, hub_, states),
      input_(std::move(input)),
      queue_(kMaxControlJobs) {
    if (options.battery_json) board_.set_battery(options.battery_json);
}

LineOutput* GatewayHttp::lines_through(LineOutput& out) {
    forwarding_ = std::make_unique<ForwardingOutput>(out, board_);
    return forwarding_.get();
}

// The gateway may be gone by now: only the service is stopped here.
GatewayHttp::~GatewayHttp() {
    if (service_) service_->stop();
}

void GatewayHttp::add_devices(Gateway& gw) {
    gw_ = &gw;
    for (RunningDevice& d : gw.devices()) {
        DeviceInfo info;
        info.name = d.cfg.name;
        info.data_id = d.cfg.data_id;
        if (d.cfg.entry["address"].isUInt()) info.address = d.cfg.entry["address"].asUInt();
        info.port = d.cfg.port.empty() ? input_ : d.cfg.port;
        info.role = d.cfg.entry.get("role", "listen").asString();
        board_.add_device(info);
    }
}

void GatewayHttp::drain(Gateway& gw) {
    queue_.drain(
        [&gw](const std::string& device, int code, const std::vector<unsigned char>& request) {
            RunningDevice* d = gw.find(device);
            if (!d) return Json::Value(Json::objectValue);
            return gw.control_device(*d, code, request);
        },
        [this](const std::string& device, Json::Value line) {
            if (forwarding_) forwarding_->write(device, std::move(line));
        },
        [&gw](const std::string& device) {
            const RunningDevice* d = gw.find(device);
            return d && d->busy && d->busy();
        },
        [&gw](const std::string& device, const Json::Value& action) {
            return alarm_action(gw, device, action);
        });
}

bool GatewayHttp::start() {
    if (!gw_) {
        log_error("http: started before the devices were added; not serving");
        return false;
    }
    Gateway& gw = *gw_;
    board_.restore_done();
    gw.set_between_frames([this, &gw] {
        drain(gw);
        board_.tick();
    });
    service_ = std::make_unique<HttpService>(
        options_, board_, hub_, queue_,
        [&gw, this](const std::string& device, const std::string& key) {
            RunningDevice* d = gw.find(device);
            if (!d) throw std::invalid_argument("no device \"" + device + "\"");
            const float v = d->driver->Get_Value(0, key);
            // The last refreshed value of the key's section, never a zero
            // of a section the last round lost.
            ShownValue shown;
            states_.read(device, [&](const DeviceState& st) { shown = shown_value(st, key, v); });
            if (!shown.available) throw SectionUnavailable(*shown.section);
            return shown.value;
        },
        *counters_);
    std::string error;
    if (!service_->start(error)) {
        log_error(error);
        service_.reset();
        gw.set_between_frames(nullptr);
        gw_ = nullptr;
        return false;
    }
    const std::string host = service_->host().find(':') != std::string::npos
                                 ? "[" + service_->host() + "]"
                                 : service_->host();
    log_info(std::string(options_.tls_cert.empty() ? "serving http://" : "serving https://") + host + ":" + std::to_string(service_->port()) + "/");
    return true;
}

void GatewayHttp::stop() {
    if (!service_) return;
    service_->stop();
    service_.reset();
    if (gw_) {
        gw_->set_between_frames(nullptr);
        drain(*gw_);
    }
}

}  // namespace smdgw::http
