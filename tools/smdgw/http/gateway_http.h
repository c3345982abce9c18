#pragma once
// The HTTP service wired into a running gateway, a service of the table: the
// board takes the devices' events from the fan-out, smdgw's own lines also
// reach the event streams, and the line thread, between frames, runs the
// queued control requests, samples the decoders' counters and tells when a
// device changes state.

#include <functional>
#include <memory>
#include <string>

#include "host/host_clock.h"
#include "tools/smdgw/core/gateway.h"
#include "tools/smdgw/core/line_output.h"
#include "tools/smdgw/core/service.h"
#include "tools/smdgw/http/device_board.h"
#include "tools/smdgw/http/event_hub.h"
#include "tools/smdgw/http/forwarding_output.h"
#include "tools/smdgw/http/http_service.h"
#include "tools/smdgw/http/line_queue.h"

namespace smdgw::http {

class GatewayHttp : public Service {
   public:
    // Before the gateway is made. input: the port or capture each device
    // without a port of its own follows.
    GatewayHttp(const HttpOptions& options, const HostClock* clock, std::string input,
                const DeviceStates& states);
    ~GatewayHttp() override;

    HostSink* sink() override { return &board_; }
    // smdgw's own lines reach the event streams too.
    LineOutput* lines_through(LineOutput& out) override;
    // Once the devices exist, before the history restores their records.
    void add_devices(Gateway& gw) override;
    // After the restore: records published from now on are live. Starts
    // serving; false with a message when it cannot listen.
    bool start() override;
    // After the input, while the gateway still exists: stops serving and
    // writes what is still queued.
    void stop() override;
    // Its refusals by reason.
    std::string prometheus_text() const override { return counters_->prometheus_text(); }

   private:
    void drain(Gateway& gw);

    HttpOptions options_;
    EventHub hub_;
    const DeviceStates& states_;
    DeviceBoard board_;
    const std::string input_;
    std::unique_ptr<ForwardingOutput> forwarding_;  // made by lines_through()
    LineQueue queue_;
    std::shared_ptr<HttpCounters> counters_ = std::make_shared<HttpCounters>();
    std::unique_ptr<HttpService> service_;
    Gateway* gw_ = nullptr;
};

}  // namespace smdgw::http
