#pragma once
// smdgw --prometheus FILE: the current values of every device in the
// Prometheus text format, for node_exporter's textfile collector. Plant
// figures come from complete live rounds only; the line's health (state,
// damaged rounds, held alarm changes, active alarms) from the host. The file
// is rewritten after every round, whenever an alarm changes outside a round
// and whenever a device state changes, through a temporary file and a
// rename, so a reader never sees half a file.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/device_health.h"
#include "host/frame_codec.h"
#include "host/host_sink.h"
#include "tools/smdgw/output/record_samples.h"

namespace smdgw {

class PrometheusFile : public HostSink {
   public:
    PrometheusFile(std::string path, std::string driver_version)
        : path_(std::move(path)), version_(std::move(driver_version)) {}

    // Devices appear in the file in the order they are added. The counters
    // belong to the device's frame decoder, the health to the device; both
    // must outlive this object.
    void add_device(const std::string& name, uint32_t data_id, const smd::FrameCounters* counters,
                    const DeviceHealth* health = nullptr);
    // The history writer's failed attempts, for smdgw_history_errors_total.
    void set_history_errors(std::function<uint64_t()> errors) {
        history_errors_ = std::move(errors);
    }

    void on_round(const std::string& device, const RoundQuality& quality) override;
    void on_publish(const std::string& device, int data_id, const unsigned char* data,
                    unsigned length) override;
    void on_history(const std::string& device, const unsigned char* data, unsigned length) override;
    void on_event(const std::string& device, const Json::Value& event) override;

    // The whole exposition as it would be written now.
    std::string render() const;
    // Writes the file; false (and a message on standard error) when it cannot.
    bool write() const;

   private:
    struct Device {
        std::string name;
        uint32_t data_id = 0;
        const smd::FrameCounters* counters = nullptr;
        const DeviceHealth* health = nullptr;
        RoundQuality quality;  // of the round being published
        uint64_t rounds = 0;
        bool comm_alarm = false;
        std::vector<Sample> samples;
    };
    Device* find(const std::string& name);

    std::string path_;
    std::string version_;
    std::vector<Device> devices_;
    std::function<uint64_t()> history_errors_;
};

// A label value with backslash, double quote and line feed escaped.
std::string prometheus_label(const std::string& s);

}  // namespace smdgw
