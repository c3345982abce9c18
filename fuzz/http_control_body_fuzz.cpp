// The control body parser on arbitrary bytes. A refused body has a reason;
// an accepted one is an object with an integer code and one request of at
// most the bound, and parsing it again gives the same request.

#include <string>

#include "tools/smdgw/http/control_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    smdgw::http::ControlBody b;
    std::string error;
    if (!smdgw::http::parse_control_body(body, b, error)) {
        if (error.empty()) __builtin_trap();
        return 0;
    }
    if (!error.empty() || b.request.size() > smdgw::http::kMaxControlRequestBytes)
        __builtin_trap();
    smdgw::http::ControlBody again;
    if (!smdgw::http::parse_control_body(body, again, error) || again.code != b.code ||
        again.request != b.request)
        __builtin_trap();
    return 0;
}
