#include "tools/smdgw/output/prometheus_file.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "record/veltra_record.h"
#include "tools/smdgw/core/log.h"

namespace smdgw {



void PrometheusFile::on_history(const std::string&, const smd::RecordStored&) {
    // The round is complete once it is stored: its alarms are evaluated.
    write();
}

void PrometheusFile::on_alarm(const std::string&, const smd::AlarmChange& a) {
    if (a.alarm_id == kCommAlarmId) write();
}

std::string PrometheusFile::render() const {
    return render_prometheus(prometheus_devices(states_.all()), version_);
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
