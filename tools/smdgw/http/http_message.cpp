#include "tools/smdgw/http/http_message.h"

#include <strings.h>

#include "tools/smdgw/core/utf8_text.h"

namespace smdgw::http {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Query text: '+' is a blank, %XX a byte.
bool decode_component(const std::string& in, size_t from, size_t to, std::string& out) {
    out.clear();
    for (size_t i = from; i < to; ++i) {
        if (in[i] == '+') {
            out.push_back(' ');
        } else if (in[i] != '%') {
            out.push_back(in[i]);
        } else {
            if (to - i < 3) return false;
            const int hi = hex_digit(in[i + 1]), lo = hex_digit(in[i + 2]);
            if (hi < 0 || lo < 0) return false;
            out.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        }
    }
    return is_utf8(out);
}

}  // namespace

std::string Request::get_header_value(const std::string& name) const {
    for (const auto& [n, v] : headers)
        if (strcasecmp(n.c_str(), name.c_str()) == 0) return v;
    return {};
}

bool Request::has_header(const std::string& name) const {
    for (const auto& h : headers)
        if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return true;
    return false;
}

std::string Request::get_param_value(const std::string& name) const {
    std::vector<std::pair<std::string, std::string>> params;
    if (!parse_query(query, params)) return {};
    for (const auto& [n, v] : params)
        if (n == name) return v;
    return {};
}

void Response::set_header(const std::string& name, const std::string& value) {
    for (auto& h : headers) {
        if (strcasecmp(h.first.c_str(), name.c_str()) == 0) {
            h.second = value;
            return;
        }
    }
    headers.emplace_back(name, value);
}

bool parse_query(const std::string& query, std::vector<std::pair<std::string, std::string>>& out) {
    out.clear();
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        if (end > start) {
            const size_t eq = query.find('=', start);
            const size_t name_end = eq < end ? eq : end;
            std::string name, value;
            if (!decode_component(query, start, name_end, name)) return false;
            if (eq < end && !decode_component(query, eq + 1, end, value)) return false;
            out.emplace_back(std::move(name), std::move(value));
        }
        start = end + 1;
    }
    return true;
}

}  // namespace smdgw::http
