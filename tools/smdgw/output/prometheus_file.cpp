#include "tools/smdgw/output/prometheus_file.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "record/veltra_record.h"

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

void add_health(Exposition& e, const std::string& dev, const DeviceHealth& h) {
    static const DeviceState kStates[] = {DeviceState::Never, DeviceState::Live,
                                          DeviceState::Stale, DeviceState::Restored,
                                          DeviceState::NoPort};
    for (DeviceState s : kStates)
        e.add("veltra_state", "gauge",
              "1 for the device's current state: never, live, stale, restored or no-port",
              dev + ",state=\"" + device_state_name(s) + "\"", h.state.state() == s ? 1 : 0);
    if (const auto t = h.state.last_live())
        e.add("veltra_last_round_timestamp_seconds", "gauge", "Unix time of the last live round",
              dev, static_cast<double>(*t));
    if (const auto t = h.state.last_complete())
        e.add("veltra_last_complete_round_timestamp_seconds", "gauge",
              "Unix time of the last complete live round", dev, static_cast<double>(*t));
    if (h.has_live_round)
        e.add("veltra_round_complete", "gauge",
              "1 when the last live round was complete, 0 when it was damaged", dev,
              h.last_live.complete() ? 1 : 0);
    e.add("veltra_rounds_damaged_total", "counter",
          "Live rounds with a frame error or an unanswered command", dev,
          static_cast<double>(h.rounds_damaged));
    e.add("veltra_alarm_changes_held_total", "counter",
          "Alarm changes held for confirmation by the next round", dev,
          static_cast<double>(h.alarms.changes_held()));
    e.add("veltra_alarm_changes_dropped_total", "counter",
          "Held alarm changes the next round did not confirm", dev,
          static_cast<double>(h.alarms.changes_dropped()));
    const auto active = h.alarms.active();
    for (const ActiveAlarm& a : active)
        e.add("veltra_alarm_active", "gauge", "1 for every alarm the gateway holds as raised",
              dev + ",alarm_id=\"" + prometheus_label(a.id.alarm_id) + "\",key=\"" +
                  prometheus_label(a.id.key) + "\",seq=\"" + std::to_string(a.id.seq) +
                  "\",level=\"" + std::to_string(a.level) + "\"",
              1);
    e.add("veltra_alarms_active", "gauge", "Alarms the gateway holds as raised", dev,
          static_cast<double>(active.size()));
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

void PrometheusFile::add_device(const std::string& name, uint32_t data_id,
                                const smd::FrameCounters* counters, const DeviceHealth* health) {
    Device d;
    d.name = name;
    d.data_id = data_id;
    d.counters = counters;
    d.health = health;
    devices_.push_back(std::move(d));
}

PrometheusFile::Device* PrometheusFile::find(const std::string& name) {
    for (Device& d : devices_)
        if (d.name == name) return &d;
    return nullptr;
}

void PrometheusFile::on_publish(const std::string& device, int data_id, const unsigned char* data,
                                unsigned length) {
    (void)data_id;
    Device* d = find(device);
    if (!d) return;
    const RoundQuality q = d->quality;
    d->quality = RoundQuality();
    if (q.restored) return;
    ++d->rounds;
    // A damaged round's lost sections read as zeros: the figures stay those
    // of the last complete round.
    if (length != kRecordSize || !q.complete()) return;
    veltra_record_t rec;
    std::memcpy(&rec, data, sizeof rec);
    d->samples = record_samples(rec);
}

void PrometheusFile::on_round(const std::string& device, const RoundQuality& quality) {
    if (Device* d = find(device)) d->quality = quality;
}

void PrometheusFile::on_history(const std::string& device, const unsigned char* data,
                                unsigned length) {
    (void)data;
    (void)length;
    // The round is complete once it is stored: its alarms are evaluated.
    if (find(device)) write();
}

void PrometheusFile::on_event(const std::string& device, const Json::Value& event) {
    Device* d = find(device);
    if (!d) return;
    const std::string kind = event["event"].asString();
    if (kind == "state") {
        write();
        return;
    }
    if (kind != "alarm") return;
    bool changed = false;
    if (event["alarm_id"].asString() == kCommAlarmId) {
        const bool raised = event["state"].asString() == "raised";
        changed = raised != d->comm_alarm;
        d->comm_alarm = raised;
    }
    // Changes inside a round are written with the round.
    const bool in_round = d->health && d->health->round_open;
    if (!in_round && (changed || d->health)) write();
}

std::string PrometheusFile::render() const {
    Exposition e;
    for (const Device& d : devices_) {
        const std::string dev = "device=\"" + prometheus_label(d.name) + "\"";
        const DeviceHealth* h = d.health;
        const bool live = h ? h->state.state() == DeviceState::Live : d.rounds > 0;
        e.add("veltra_up", "gauge",
              "1 while the device is live: its last live round is recent and its port open, "
              "and no communication alarm is raised",
              dev, live && !d.comm_alarm ? 1 : 0);
        e.add("veltra_info", "gauge", "Driver version and data ID of each device",
              dev + ",driver_version=\"" + prometheus_label(version_) + "\",data_id=\"" +
                  std::to_string(d.data_id) + "\"",
              1);
        e.add("veltra_rounds_total", "counter", "Data rounds published", dev,
              static_cast<double>(d.rounds));
        if (d.counters) {
            e.add("veltra_frames_accepted_total", "counter", "Frames that passed the decoder", dev,
                  static_cast<double>(d.counters->accepted));
            for (size_t k = 0; k < smd::kFrameWeirdCount; ++k)
                e.add("veltra_frame_errors_total", "counter", "Frames rejected, by kind",
                      dev + ",kind=\"" + smd::frame_weird_name(static_cast<smd::FrameWeird>(k)) +
                          "\"",
                      static_cast<double>(d.counters->weird[k]));
        }
        if (h) add_health(e, dev, *h);
        for (const Sample& s : d.samples) {
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
    return e.text();
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
        std::cerr << "smdgw: cannot write " << path_ << ": " << std::strerror(errno) << std::endl;
        ::unlink(tmp.c_str());
    }
    return ok;
}

}  // namespace smdgw
