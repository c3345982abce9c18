#include "tools/smdgw/output/prometheus_file.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "record/veltra_record.h"
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
        f.lines += name + (labels.empty() ? std::string() : "{" + labels + "}") + " " +
                   number(value) + "\n";
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

// The host's judgement of the device's rounds and its alarms.
void add_health(Exposition& e, const std::string& dev, const DeviceState& d) {
    static const DataState kStates[] = {DataState::Never, DataState::Live, DataState::Stale,
                                        DataState::Restored, DataState::NoPort};
    for (DataState s : kStates)
        e.add("veltra_state", "gauge",
              "1 for the device's current state: never, live, stale, restored or no-port",
              dev + ",state=\"" + data_state_name(s) + "\"", d.data_state == s ? 1 : 0);
    if (d.last_live_time)
        e.add("veltra_last_round_timestamp_seconds", "gauge", "Unix time of the last live round",
              dev, static_cast<double>(*d.last_live_time));
    if (d.last_complete_time)
        e.add("veltra_last_complete_round_timestamp_seconds", "gauge",
              "Unix time of the last complete live round", dev,
              static_cast<double>(*d.last_complete_time));
    if (d.has_live_round)
        e.add("veltra_round_complete", "gauge",
              "1 when the last live round was complete, 0 when it was damaged", dev,
              d.last_live_round.complete() ? 1 : 0);
    const DeviceCounters& c = d.counters;
    e.add("veltra_rounds_damaged_total", "counter",
          "Live rounds with a frame error or an unanswered command", dev,
          static_cast<double>(c.rounds_damaged));
    e.add("veltra_alarm_changes_held_total", "counter",
          "Alarm changes held for confirmation by the next round", dev,
          static_cast<double>(c.alarm_changes_held));
    e.add("veltra_alarm_changes_dropped_total", "counter",
          "Held alarm changes the next round did not confirm", dev,
          static_cast<double>(c.alarm_changes_dropped));
    size_t active = 0;
    for (const auto& kv : d.alarms) {
        if (!kv.second.active) continue;
        ++active;
        e.add("veltra_alarm_active", "gauge", "1 for every alarm the gateway holds as raised",
              dev + ",alarm_id=\"" + prometheus_label(kv.first.alarm_id) + "\",key=\"" +
                  prometheus_label(kv.first.key) + "\",seq=\"" + std::to_string(kv.first.seq) +
                  "\",level=\"" + std::to_string(kv.second.level) + "\"",
              1);
    }
    e.add("veltra_alarms_active", "gauge", "Alarms the gateway holds as raised", dev,
          static_cast<double>(active));
}

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

void PrometheusFile::on_state(const std::string&, const smd::StateChanged&) { write(); }

void PrometheusFile::on_active_alarms(const std::string&, const smd::ActiveAlarms& a) {
    // Changes in a round are written with the round; loaded ones at once.
    if (a.loaded) write();
}

std::string PrometheusFile::render() const {
    Exposition e;
    for (const DeviceState& d : states_.all()) {
        const std::string dev = "device=\"" + prometheus_label(d.name) + "\"";
        const uint64_t rounds = d.counters.rounds_live;
        e.add("veltra_up", "gauge",
              "1 while the device is live: its last live round is recent and its port open, "
              "and no communication alarm is raised",
              dev, d.data_state == DataState::Live && !d.alarm_active(kCommAlarmId) ? 1 : 0);
        e.add("veltra_info", "gauge", "Driver version and data ID of each device",
              dev + ",driver_version=\"" + prometheus_label(version_) + "\",data_id=\"" +
                  std::to_string(d.data_id) + "\"",
              1);
        e.add("veltra_rounds_total", "counter", "Live data rounds published", dev,
              static_cast<double>(rounds));
        const smd::FrameCounters& frames = d.counters.frames;
        e.add("veltra_frames_accepted_total", "counter", "Frames that passed the decoder", dev,
              static_cast<double>(frames.accepted));
        for (size_t k = 0; k < smd::kFrameWeirdCount; ++k)
            e.add("veltra_frame_errors_total", "counter", "Frames rejected, by kind",
                  dev + ",kind=\"" + smd::frame_weird_name(static_cast<smd::FrameWeird>(k)) + "\"",
                  static_cast<double>(frames.weird[k]));
        add_health(e, dev, d);
        // A damaged round's lost sections read as zeros: the figures are
        // those of the last complete live round.
        if (d.complete_record.size() != kRecordSize) continue;
        veltra_record_t rec;
        std::memcpy(&rec, d.complete_record.data(), sizeof rec);
        for (const Sample& s : record_samples(rec)) {
            std::string labels = dev;
            if (s.section->tag)
                labels +=
                    std::string(",") + s.section->tag + "=\"" + std::to_string(s.instance) + "\"";
            e.add(std::string(s.section->name) + "_" + s.field->metric, "gauge",
                  std::string(s.field->help) + " (" + s.section->what + ")", labels, s.value);
        }
    }
    if (history_errors_)
        e.add("smdgw_history_errors_total", "counter",
              "Failed attempts to write the history database", "",
              static_cast<double>(history_errors_()));
    std::string text = e.text();
    for (const auto& section : sections_) text += section();
    return text;
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
