#include "tools/smdgw/http/router.h"

#include <vector>

#include "tools/smdgw/core/utf8_text.h"

namespace smdgw::http {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

Route fail(int status, std::string error, std::string allow = {}) {
    Route r;
    r.status = status;
    r.error = std::move(error);
    r.allow = std::move(allow);
    return r;
}

Route found(Endpoint e, const std::string& method, const char* allowed, std::string device = {},
            std::string key = {}) {
    const bool get_like = std::string(allowed) == "GET, HEAD";
    const bool ok = get_like ? (method == "GET" || method == "HEAD") : method == allowed;
    if (!ok) return fail(405, "method " + method + " not allowed here", allowed);
    Route r;
    r.endpoint = e;
    r.device = std::move(device);
    r.key = std::move(key);
    return r;
}

}  // namespace

bool percent_decode(const std::string& in, std::string& out) {
    out.clear();
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out.push_back(in[i]);
            continue;
        }
        if (in.size() - i < 3) return false;
        const int hi = hex_value(in[i + 1]);
        const int lo = hex_value(in[i + 2]);
        if (hi < 0 || lo < 0) return false;
        const char c = static_cast<char>(hi * 16 + lo);
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '/') return false;
        out.push_back(c);
        i += 2;
    }
    return true;
}

Route route(const std::string& method, const std::string& path) {
    if (path.size() > kMaxPathBytes) return fail(414, "path longer than 2048 bytes");
    if (path.empty() || path[0] != '/') return fail(400, "path must begin with /");
    for (char c : path)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f)
            return fail(400, "blank or control character in the path");
    if (!is_utf8(path)) return fail(400, "the path is not UTF-8");
    // Segments between slashes; an empty one (a doubled or trailing slash)
    // matches nothing.
    std::vector<std::string> seg;
    size_t start = 1;
    while (start <= path.size()) {
        const size_t slash = path.find('/', start);
        const size_t end = slash == std::string::npos ? path.size() : slash;
        seg.push_back(path.substr(start, end - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    const auto not_found = [&] { return fail(404, "no such path: " + path); };
    if (seg.size() == 1) {
        if (seg[0].empty()) return found(Endpoint::Page, method, "GET, HEAD");
        if (seg[0] == "metrics") return found(Endpoint::Metrics, method, "GET, HEAD");
        if (seg[0] == "healthz") return found(Endpoint::Healthz, method, "GET, HEAD");
        return not_found();
    }
    if (seg.size() < 3 || seg[0] != "api" || seg[1] != "v1") return not_found();
    if (seg.size() == 3) {
        if (seg[2] == "devices") return found(Endpoint::Devices, method, "GET, HEAD");
        if (seg[2] == "alarms") return found(Endpoint::Alarms, method, "GET, HEAD");
        if (seg[2] == "events") return found(Endpoint::Events, method, "GET, HEAD");
        return not_found();
    }
    if (seg.size() == 4 && seg[2] == "alarms" && seg[3] == "log")
        return found(Endpoint::AlarmLog, method, "GET, HEAD");
    if (seg[2] != "devices") return not_found();
    std::string device;
    if (seg[3].empty() || !percent_decode(seg[3], device) || device.empty())
        return fail(400, "bad device name in the path");
    if (!is_utf8(device)) return fail(400, "the device name in the path is not UTF-8");
    if (device.size() > kMaxNameBytes) return fail(404, "no such device");
    if (seg.size() == 4) return found(Endpoint::Device, method, "GET, HEAD", device);
    if (seg.size() == 5) {
        if (seg[4] == "history") return found(Endpoint::History, method, "GET, HEAD", device);
        if (seg[4] == "battery") return found(Endpoint::Battery, method, "GET, HEAD", device);
        if (seg[4] == "control") return found(Endpoint::Control, method, "POST", device);
        return not_found();
    }
    if (seg.size() == 7 && seg[4] == "alarms" && (seg[6] == "ack" || seg[6] == "unack")) {
        std::string id;
        if (seg[5].empty() || !percent_decode(seg[5], id) || id.empty())
            return fail(400, "bad alarm id in the path");
        if (!is_utf8(id)) return fail(400, "the alarm id in the path is not UTF-8");
        if (id.size() > kMaxNameBytes * 4) return fail(404, "no such alarm");
        return found(seg[6] == "ack" ? Endpoint::AlarmAck : Endpoint::AlarmUnack, method, "POST",
                     device, id);
    }
    if (seg.size() == 6 && seg[4] == "values") {
        std::string key;
        if (seg[5].empty() || !percent_decode(seg[5], key) || key.empty())
            return fail(400, "bad value key in the path");
        if (!is_utf8(key)) return fail(400, "the value key in the path is not UTF-8");
        if (key.size() > kMaxNameBytes) return fail(404, "no such value key");
        return found(Endpoint::Value, method, "GET, HEAD", device, key);
    }
    return not_found();
}

}  // namespace smdgw::http
