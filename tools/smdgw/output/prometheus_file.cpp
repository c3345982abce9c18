#include "tools/smdgw/output/prometheus_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "record/veltra_record.h"
#include "tools/smdgw/core/log.h"

namespace smdgw {

void PrometheusFile::add_device(const std::string& name, uint32_t data_id,
                                const smd::FrameCounters* counters) {
    Device d;
    d.state.name = name;
    d.state.data_id = data_id;
    d.counters = counters;
    devices_.push_back(std::move(d));
}

PrometheusFile::Device* PrometheusFile::find(const std::string& name) {
    for (Device& d : devices_)
        if (d.state.name == name) return &d;
    return nullptr;
}

void PrometheusFile::on_publish(const std::string& device, int data_id, const unsigned char* data,
                                unsigned length) {
    (void)data_id;
    Device* d = find(device);
    if (!d || length != kRecordSize) return;
    veltra_record_t rec;
    std::memcpy(&rec, data, sizeof rec);
    d->state.samples = record_samples(rec);
    ++d->state.rounds;
}

void PrometheusFile::on_history(const std::string& device, const unsigned char* data,
                                unsigned length) {
    (void)data;
    (void)length;
    // The round is complete once it is stored: its alarms are evaluated.
    if (find(device)) write();
}

void PrometheusFile::on_event(const std::string& device, const Json::Value& event) {
    if (event["event"].asString() != "alarm" || event["alarm_id"].asString() != kCommAlarmId)
        return;
    Device* d = find(device);
    if (!d) return;
    const bool raised = event["state"].asString() == "raised";
    if (raised == d->state.comm_alarm) return;
    d->state.comm_alarm = raised;
    write();
}

std::string PrometheusFile::render() const {
    std::vector<PrometheusDevice> view;
    view.reserve(devices_.size());
    for (const Device& d : devices_) {
        PrometheusDevice p = d.state;
        if (d.counters) {
            p.has_counters = true;
            p.counters = *d.counters;
        }
        view.push_back(std::move(p));
    }
    return render_prometheus(view, version_);
}

bool PrometheusFile::write() const {
    const std::string text = render();
    const std::string tmp = path_ + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "w");
    bool ok = f != nullptr;
    if (ok) {
        ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
        ok = (std::fclose(f) == 0) && ok;
    }
    if (ok) ok = std::rename(tmp.c_str(), path_.c_str()) == 0;
    if (!ok) {
        log_error("cannot write " + path_ + ": " + std::strerror(errno));
        ::unlink(tmp.c_str());
    }
    return ok;
}

}  // namespace smdgw
