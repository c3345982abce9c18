// The HTTP request router on an arbitrary method and path (split at the
// first line feed). Every request gets an endpoint or a status with a
// reason; a 405 names the methods the path takes; a device name, value key
// or alarm id routed is never empty, never longer than its bound and never
// holds a slash or NUL.

#include <string>

#include "tools/smdgw/http/router.h"

namespace {

bool clean(const std::string& s, size_t bound) {
    return s.size() <= bound && s.find('/') == std::string::npos &&
           s.find('\0') == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t lf = input.find('\n');
    const std::string method = lf == std::string::npos ? "GET" : input.substr(0, lf);
    const std::string path = lf == std::string::npos ? input : input.substr(lf + 1);
    const smdgw::http::Route r = smdgw::http::route(method, path);
    if (r.status != 0) {
        if (r.status < 400 || r.status > 499 || r.error.empty()) __builtin_trap();
        if ((r.status == 405) != !r.allow.empty()) __builtin_trap();
        return 0;
    }
    using smdgw::http::Endpoint;
    using smdgw::http::kMaxNameBytes;
    const bool alarm = r.endpoint == Endpoint::AlarmAck || r.endpoint == Endpoint::AlarmUnack;
    const bool named = r.endpoint == Endpoint::Device || r.endpoint == Endpoint::Value ||
                       r.endpoint == Endpoint::History || r.endpoint == Endpoint::Battery ||
                       r.endpoint == Endpoint::Control || alarm;
    const bool keyed = r.endpoint == Endpoint::Value || alarm;
    if (named != !r.device.empty() || !clean(r.device, kMaxNameBytes)) __builtin_trap();
    // An alarm's id names device, key, alarm ID and sequence: four names long at most.
    if (keyed != !r.key.empty() || !clean(r.key, alarm ? 4 * kMaxNameBytes : kMaxNameBytes))
        __builtin_trap();
    if (path.size() > smdgw::http::kMaxPathBytes) __builtin_trap();
    return 0;
}
