#pragma once
// smdgw --http ADDR:PORT: the gateway's HTTP service. Handlers read the
// device board (never a driver, never the line thread's state); value
// lookups call the driver's guarded Get_Value; control requests go through
// the line queue to the thread that owns the line.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tools/smdgw/http/device_view.h"
#include <vector>

#include "tools/smdgw/http/event_hub.h"
#include "tools/smdgw/http/http_counters.h"
#include "tools/smdgw/http/http_limits.h"
#include "tools/smdgw/http/line_queue.h"

namespace smdgw::http {

constexpr size_t kDefaultMaxStreams = 4;

struct HttpOptions {
    std::string listen;          // "127.0.0.1:9418", "[::1]:9418"; port 0 picks a free one
    std::string control_secret;  // empty: the control endpoint answers 403
    // Acknowledging alarms takes this or the control secret; both empty: 403.
    std::string ack_secret;
    std::string history_path;    // empty: no history endpoint data
    std::string version;         // driver version for /metrics
    // The services' families after the devices' (as in the --prometheus file).
    std::function<std::string()> service_metrics;
    // A device's battery estimate as JSON, "" for a device without one.
    std::function<std::string(const std::string& device)> battery_json;
    size_t max_streams = kDefaultMaxStreams;
    int stream_max_s = kDefaultStreamMaxS;  // an event stream ends then; EventSource reconnects
    int query_deadline_s = kQueryDeadlineS;  // a query is cancelled then, from its arrival
    size_t max_connections = kDefaultMaxConnections;
    size_t max_per_client = kDefaultMaxPerClient;
    std::vector<std::string> host_names;  // --http-host: names a Host header may give
    std::string tls_cert, tls_key;        // both empty: plain HTTP
    int control_timeout_ms = 5000;
};

// Splits "HOST:PORT" ("[v6]:PORT" for IPv6); false with a message otherwise.
bool parse_listen(const std::string& text, std::string& host, int& port, std::string& error);

// Get_Value(key) of a device; throws what the driver throws.
using ValueLookup = std::function<float(const std::string& device, const std::string& key)>;

class HttpService {
   public:
    HttpService(HttpOptions options, DeviceSource& devices, EventHub& hub, LineQueue& line,
                ValueLookup lookup, HttpCounters& counters);
    ~HttpService();
    HttpService(const HttpService&) = delete;
    HttpService& operator=(const HttpService&) = delete;

    // Binds and starts serving on a thread of its own; false with a message
    // naming the address when it cannot bind.
    bool start(std::string& error);
    // Ends the event streams, stops accepting and joins the threads.
    void stop();
    // The port bound (after start).
    int port() const { return port_; }
    const std::string& host() const { return host_; }

   private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string host_;
    int port_ = 0;
};

}  // namespace smdgw::http
