#pragma once
// A host sink that passes everything on to another sink and also queues every
// record a device hands to SaveDeviceHistory for the history database.

#include <cstdint>
#include <map>
#include <string>

#include "host/host_clock.h"
#include "host/host_sink.h"
#include "tools/smdgw/history_writer.h"

namespace smdgw {

class HistoryRecorder : public HostSink {
   public:
    // data_ids: the configured data ID of each device, stored with its rows.
    HistoryRecorder(HostSink& next, HistoryWriter& writer, const HostClock& clock,
                    std::map<std::string, uint32_t> data_ids);

    bool wants_calls() const override { return next_.wants_calls(); }
    void on_call(const std::string& device, const Json::Value& call) override;
    void on_publish(const std::string& device, int data_id, const unsigned char* data,
                    unsigned length) override;
    void on_history(const std::string& device, const unsigned char* data, unsigned length) override;
    void on_event(const std::string& device, const Json::Value& event) override;

    // While a device is given back its stored record, what it stores again is
    // that same record under a new time: it is not stored a second time.
    class Restoring {
       public:
        Restoring(HistoryRecorder& r, const std::string& device) : r_(r) { r_.restoring_ = device; }
        ~Restoring() { r_.restoring_.clear(); }
        Restoring(const Restoring&) = delete;
        Restoring& operator=(const Restoring&) = delete;

       private:
        HistoryRecorder& r_;
    };

   private:
    HostSink& next_;
    HistoryWriter& writer_;
    const HostClock& clock_;
    const std::map<std::string, uint32_t> data_ids_;
    std::string restoring_;
};

}  // namespace smdgw
