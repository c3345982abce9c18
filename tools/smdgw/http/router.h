#pragma once
// Which endpoint a request is for, decided from its method and path alone:
// a pure function, so the handlers stay small and the router can be fuzzed.
//
//   GET  /                                     status page
//   GET  /metrics                              Prometheus exposition
//   GET  /healthz                              every device live?
//   GET  /api/v1/devices                       all devices
//   GET  /api/v1/devices/{name}                one device with record and alarms
//   GET  /api/v1/devices/{name}/battery        its battery estimate (with "battery")
//   GET  /api/v1/devices/{name}/values/{key}   Get_Value(key)
//   GET  /api/v1/devices/{name}/history        stored rounds (with --history)
//   POST /api/v1/devices/{name}/control        DeviceIoControl (with a token)
//   POST /api/v1/devices/{name}/alarms/{id}/ack    acknowledge (with a token)
//   POST /api/v1/devices/{name}/alarms/{id}/unack  take it back (with a token)
//   GET  /api/v1/alarms                        active and pending alarms of every device
//   GET  /api/v1/alarms/log                    logged alarm changes (with --history)
//   GET  /api/v1/events                        Server-Sent Events
// HEAD is answered wherever GET is.

#include <string>

namespace smdgw::http {

enum class Endpoint {
    Page,
    Metrics,
    Healthz,
    Devices,
    Device,
    Battery,
    Value,
    History,
    Control,
    AlarmAck,
    AlarmUnack,
    Alarms,
    AlarmLog,
    Events,
};

struct Route {
    // 0 when an endpoint matched; otherwise the status to answer with.
    int status = 0;
    Endpoint endpoint = Endpoint::Page;
    std::string device;  // percent-decoded
    std::string key;     // percent-decoded; for AlarmAck and AlarmUnack the alarm's id
    std::string allow;   // with 405: the methods the path takes
    std::string error;   // with a status: the reason
};

// Longest path (without the query) and longest decoded name or key accepted.
constexpr size_t kMaxPathBytes = 2048;
constexpr size_t kMaxNameBytes = 256;

// path: the request target's path, still percent-encoded, without the query.
Route route(const std::string& method, const std::string& path);

// "%41b%20c" -> "Ab c"; false for a broken escape, an encoded slash or
// control character (NUL included).
bool percent_decode(const std::string& in, std::string& out);

}  // namespace smdgw::http
