#include "tools/smdgw/output/prometheus_file.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "record/veltra_record.h"
#include "tools/smdgw/core/safe_file.h"
#include "tools/smdgw/core/log.h"

namespace smdgw {

namespace {

// The driver's communication alarm: raised when no round came for two minutes.
const char* const kCommAlarmId = "120600180010";

std::string number(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    return shortest_text(v);
}

// Samples grouped by metric family, each family with its help and type once.
class Exposition {
   public:
    void add(const std::string& name, const char* type, const std::string& help,
             const std::string& labels, double value) {
        Family& f = families_[name];
        if (f.type.empty()) {
            f.type = type;
            f.help = help;
        }
        f.lines += name + "{" + labels + "} " + number(value) + "\n";
    }
    std::string text() const {
        std::string out;
        for (const auto& kv : families_) {
            out += "# HELP " + kv.first + " " + kv.second.help + "\n";
            out += "# TYPE " + kv.first + " " + kv.second.type + "\n";
            out += kv.second.lines;
        }
        return out;
    }

   private:
    struct Family {
        std::string type, help, lines;
    };
    std::map<std::string, Family> families_;
};

}  // namespace

std::string prometheus_label(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out.push_back(c);
    }
    return out;
}

void PrometheusFile::on_history(const std::string&, const smd::RecordStored&) {
    // The round is complete once it is stored: its alarms are evaluated.
    write();
}

void PrometheusFile::on_alarm(const std::string&, const smd::AlarmChange& a) {
    if (a.alarm_id == kCommAlarmId) write();
}

std::string PrometheusFile::render() const {
    Exposition e;
    for (const DeviceState& d : states_.all()) {
        const std::string dev = "device=\"" + prometheus_label(d.name) + "\"";
        const uint64_t rounds = d.counters.rounds_published;
        e.add("veltra_up", "gauge",
              "1 while the device's line delivers rounds, 0 before the first round and while "
              "the communication alarm is raised",
              dev, rounds > 0 && !d.alarm_active(kCommAlarmId) ? 1 : 0);
        e.add("veltra_info", "gauge", "Driver version and data ID of each device",
              dev + ",driver_version=\"" + prometheus_label(version_) + "\",data_id=\"" +
                  std::to_string(d.data_id) + "\"",
              1);
        e.add("veltra_rounds_total", "counter", "Data rounds published", dev,
              static_cast<double>(rounds));
        const smd::FrameCounters& frames = d.counters.frames;
        e.add("veltra_frames_accepted_total", "counter", "Frames that passed the decoder", dev,
              static_cast<double>(frames.accepted));
        for (size_t k = 0; k < smd::kFrameWeirdCount; ++k)
            e.add("veltra_frame_errors_total", "counter", "Frames rejected, by kind",
                  dev + ",kind=\"" + smd::frame_weird_name(static_cast<smd::FrameWeird>(k)) + "\"",
                  static_cast<double>(frames.weird[k]));
        if (!d.has_record() || rounds == 0 || d.record.size() != kRecordSize) continue;
        veltra_record_t rec;
        std::memcpy(&rec, d.record.data(), sizeof rec);
        for (const Sample& s : record_samples(rec)) {
            std::string labels = dev;
            if (s.section->tag)
                labels +=
                    std::string(",") + s.section->tag + "=\"" + std::to_string(s.instance) + "\"";
            e.add(std::string(s.section->name) + "_" + s.field->metric, "gauge",
                  std::string(s.field->help) + " (" + s.section->what + ")", labels, s.value);
        }
    }
    std::string text = e.text();
    for (const auto& section : sections_) text += section();
    return text;
}

bool PrometheusFile::write() const {
    std::string error;
    if (replace_file(path_, render(), error)) return true;
    log_error(error);
    return false;
}

}  // namespace smdgw
