#include "tools/smdgw/output/prometheus_file.h"

#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/safe_file.h"

namespace smdgw {

void PrometheusFile::on_history(const std::string&, const smd::RecordStored&) {
    // The round is complete once it is stored: its alarms are evaluated.
    held_ = true;
    if (alarm_changed_ || std::chrono::steady_clock::now() - last_write_ >= interval_) write();
}

void PrometheusFile::on_alarm(const std::string&, const smd::AlarmChange& a) {
    // The communication alarm comes from the host's timer, outside a round.
    if (a.alarm_id == kCommAlarmId)
        write();
    else
        alarm_changed_ = true;
}

void PrometheusFile::on_state(const std::string&, const smd::StateChanged&) { write(); }

void PrometheusFile::on_active_alarms(const std::string&, const smd::ActiveAlarms& a) {
    // Changes in a round are written with the round; loaded ones at once.
    if (a.loaded) write();
}

void PrometheusFile::tick() {
    if (held_ && std::chrono::steady_clock::now() - last_write_ >= interval_) write();
}

std::string PrometheusFile::render() const {
    std::string text = render_prometheus(prometheus_devices(states_.all()), version_);
    if (service_metrics_) text += service_metrics_();
    return text;
}

bool PrometheusFile::write() {
    last_write_ = std::chrono::steady_clock::now();
    held_ = false;
    alarm_changed_ = false;
    std::string error;
    if (replace_file(path_, render(), error)) return true;
    log_error(error);
    return false;
}

}  // namespace smdgw
