#pragma once
// The HTTP service wired into a running gateway: the board joins the devices'
// fan-out, smdgw's own lines also reach the event streams, and the line
// thread, between frames, runs the queued control requests, samples the
// decoders' counters and tells when a device changes state.

#include <functional>
#include <memory>
#include <string>

#include "host/host_clock.h"
#include "tools/smdgw/core/fanout_sink.h"
#include "tools/smdgw/core/gateway.h"
#include "tools/smdgw/core/line_output.h"
#include "tools/smdgw/http/device_board.h"
#include "tools/smdgw/http/event_hub.h"
#include "tools/smdgw/http/forwarding_output.h"
#include "tools/smdgw/http/http_service.h"
#include "tools/smdgw/http/line_queue.h"

namespace smdgw::http {

class GatewayHttp {
   public:
    // Before the gateway is made: joins the fan-out; the gateway is to write
    // its own lines to lines().
    GatewayHttp(const HttpOptions& options, const HostClock* clock, FanoutSink& sink,
                LineOutput& out, const DeviceStates& states);
    ~GatewayHttp();
    LineOutput& lines() { return forwarding_; }
    // The service's Prometheus family (refusals by reason); valid after the
    // service is gone.
    std::function<std::string()> metrics() const {
        return [c = counters_] { return c->prometheus_text(); };
    }

    // Once the devices exist, before the history restores their records.
    // input: the port or capture each device without a port of its own follows.
    void add_devices(Gateway& gw, const std::string& input);
    // After the restore: records published from now on are live. Starts
    // serving; false with a message when it cannot listen.
    bool start(Gateway& gw);
    // After the input, while the gateway still exists: stops serving and
    // writes what is still queued.
    void stop();

   private:
    void drain(Gateway& gw);

    HttpOptions options_;
    EventHub hub_;
    const DeviceStates& states_;
    DeviceBoard board_;
    ForwardingOutput forwarding_;
    LineQueue queue_;
    std::shared_ptr<HttpCounters> counters_ = std::make_shared<HttpCounters>();
    std::unique_ptr<HttpService> service_;
    Gateway* gw_ = nullptr;
};

}  // namespace smdgw::http
