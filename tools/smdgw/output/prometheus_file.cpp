#include "tools/smdgw/output/prometheus_file.h"

#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/safe_file.h"

namespace smdgw {



void PrometheusFile::on_history(const std::string&, const smd::RecordStored&) {
    // The round is complete once it is stored: its alarms are evaluated.
    write();
}

void PrometheusFile::on_alarm(const std::string&, const smd::AlarmChange& a) {
    if (a.alarm_id == kCommAlarmId) write();
}

void PrometheusFile::on_state(const std::string&, const smd::StateChanged&) { write(); }

void PrometheusFile::on_active_alarms(const std::string&, const smd::ActiveAlarms& a) {
    // Changes in a round are written with the round; loaded ones at once.
    if (a.loaded) write();
}

std::string PrometheusFile::render() const {
    std::string text = render_prometheus(prometheus_devices(states_.all()), version_);
    if (service_metrics_) text += service_metrics_();
    return text;
}

bool PrometheusFile::write() const {
    std::string error;
    if (replace_file(path_, render(), error)) return true;
    log_error(error);
    return false;
}

}  // namespace smdgw
