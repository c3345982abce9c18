#pragma once
// smdgw --prometheus FILE: the current values of every device in the
// Prometheus text format, for node_exporter's textfile collector. The file is
// rewritten after every round and whenever a communication alarm changes,
// through a temporary file and a rename, so a reader never sees half a file.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/frame_codec.h"
#include "host/host_sink.h"
#include "tools/smdgw/output/prometheus_render.h"

namespace smdgw {

class PrometheusFile : public HostSink {
   public:
    PrometheusFile(std::string path, std::string driver_version)
        : path_(std::move(path)), version_(std::move(driver_version)) {}

    // Devices appear in the file in the order they are added. The counters
    // belong to the device's frame decoder and must outlive this object.
    void add_device(const std::string& name, uint32_t data_id, const smd::FrameCounters* counters);

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
        PrometheusDevice state;  // counters copied in at each render
        const smd::FrameCounters* counters = nullptr;
    };
    Device* find(const std::string& name);

    std::string path_;
    std::string version_;
    std::vector<Device> devices_;
};

}  // namespace smdgw
