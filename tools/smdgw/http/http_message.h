#pragma once
// A request as the handlers see it and the answer they fill in: plain data,
// so that the handlers, the router and their tests never see the HTTP
// library. The transport (http_server.cpp) reads one into the other.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tools/smdgw/http/event_hub.h"

namespace smdgw::http {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Request {
    std::string method;  // "GET"
    std::string target;  // "/api/v1/devices/plant1/history?since=1772355600"
    std::string path;    // the target up to '?', still percent-encoded
    std::string query;   // after '?', still percent-encoded
    unsigned version = 11;  // 10 or 11
    Headers headers;
    std::string body;
    // The body was longer than the transport kept of it (see BodyPlan).
    bool body_cut = false;
    std::string remote_addr;  // "127.0.0.1", "::1"
    int remote_port = 0;
    // When a query must be answered by (the transport sets it as it queues
    // one): past it the query is cancelled.
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();

    // The first header of that name (any case), or "".
    std::string get_header_value(const std::string& name) const;
    bool has_header(const std::string& name) const;
    // The first query parameter of that name, percent-decoded ('+' is a
    // blank), or "".
    std::string get_param_value(const std::string& name) const;
};

struct Response {
    int status = 200;
    Headers headers;
    std::string body;
    std::string content_type;
    // Set by the event-stream handler: the transport follows this stream
    // after the header instead of sending a body.
    std::shared_ptr<EventHub::Stream> stream;

    void set_header(const std::string& name, const std::string& value);
    void set_content(std::string text, const std::string& type) {
        body = std::move(text);
        content_type = type;
    }
};

// Every name=value pair of a query, percent-decoded; false when an escape is
// broken or a name or value is not UTF-8.
bool parse_query(const std::string& query, std::vector<std::pair<std::string, std::string>>& out);

}  // namespace smdgw::http
