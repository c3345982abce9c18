#include "tools/smdgw/output/prometheus_render.h"

#include <cmath>
#include <cstring>
#include <map>

#include "record/veltra_record.h"
#include "tools/smdgw/core/shown_state.h"

namespace smdgw {

namespace {

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

// The host's judgement of the device's rounds and its alarms.
void add_health(Exposition& e, const std::string& dev, const PrometheusDevice& d) {
    static const DataState kStates[] = {DataState::Never, DataState::Live, DataState::Stale,
                                        DataState::Restored, DataState::NoPort};
    for (DataState s : kStates)
        e.add("veltra_state", "gauge",
              "1 for the device's current state: never, live, stale, restored or no-port",
              dev + ",state=\"" + data_state_name(s) + "\"", d.state == s ? 1 : 0);
    if (d.last_live_time)
        e.add("veltra_last_round_timestamp_seconds", "gauge", "Unix time of the last live round",
              dev, static_cast<double>(*d.last_live_time));
    if (d.last_complete_time)
        e.add("veltra_last_complete_round_timestamp_seconds", "gauge",
              "Unix time of the last complete live round", dev,
              static_cast<double>(*d.last_complete_time));
    if (d.last_live_complete)
        e.add("veltra_round_complete", "gauge",
              "1 when the last live round refreshed every command the plant answers, 0 when not", dev,
              *d.last_live_complete ? 1 : 0);
    e.add("veltra_rounds_damaged_total", "counter",
          "Live rounds that did not refresh every command the plant answers", dev,
          static_cast<double>(d.rounds_damaged));
    e.add("veltra_alarm_changes_held_total", "counter",
          "Alarm changes held for confirmation by later rounds", dev,
          static_cast<double>(d.alarm_changes_held));
    e.add("veltra_alarm_changes_dropped_total", "counter",
          "Held alarm changes a later round did not confirm", dev,
          static_cast<double>(d.alarm_changes_dropped));
    for (const auto& a : d.active_alarms)
        e.add("veltra_alarm_active", "gauge", "1 for every alarm the gateway holds as raised",
              dev + ",alarm_id=\"" + prometheus_label(a.id.alarm_id) + "\",key=\"" +
                  prometheus_label(a.id.key) + "\",seq=\"" + std::to_string(a.id.seq) +
                  "\",level=\"" + std::to_string(a.level) + "\"",
              1);
    e.add("veltra_alarms_active", "gauge", "Alarms the gateway holds as raised", dev,
          static_cast<double>(d.active_alarms.size()));
    static const smd::Freshness kFreshness[] = {smd::Freshness::Fresh, smd::Freshness::Held,
                                                smd::Freshness::Missing, smd::Freshness::Never};
    for (smd::Section s : smd::kSections) {
        const SectionView& v = d.sections[static_cast<size_t>(s)];
        const std::string sec = dev + ",section=\"" + smd::plant_section(s).name + "\"";
        for (smd::Freshness f : kFreshness)
            e.add("veltra_section_state", "gauge",
                  "1 for the state of each section of the plant after the last live round: "
                  "fresh, held, missing or never",
                  sec + ",state=\"" + smd::freshness_name(f) + "\"", v.state == f ? 1 : 0);
        if (v.refreshed_at)
            e.add("veltra_section_refreshed_timestamp_seconds", "gauge",
                  "Unix time of the last live round that refreshed the section; its values "
                  "are from that round",
                  sec, static_cast<double>(*v.refreshed_at));
        e.add("veltra_section_rounds_not_refreshed_total", "counter",
              "Live rounds that did not refresh the section", sec,
              static_cast<double>(v.rounds_not_refreshed));
    }
}

}  // namespace

std::string render_families(const MetricFamily* families, const double* values, size_t n,
                            const std::function<std::string(size_t)>& labelled) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        const MetricFamily& f = families[i];
        out += std::string("# HELP ") + f.name + " " + f.help + "\n# TYPE " + f.name + " " +
               f.type + "\n";
        if (f.labelled && labelled)
            out += labelled(i);
        else
            out += std::string(f.name) + " " + number(values[i]) + "\n";
    }
    return out;
}

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

std::vector<PrometheusDevice> prometheus_devices(const std::vector<DeviceState>& states) {
    std::vector<PrometheusDevice> out;
    out.reserve(states.size());
    for (const DeviceState& d : states) {
        PrometheusDevice p;
        p.name = d.name;
        p.data_id = d.data_id;
        p.has_counters = true;
        p.counters = d.counters.frames;
        p.rounds = d.counters.rounds_live;
        p.comm_alarm = d.alarm_active(kCommAlarmId);
        p.state = d.data_state;
        p.last_live_time = d.last_live_time;
        p.last_complete_time = d.last_complete_time;
        if (d.has_live_round) p.last_live_complete = d.last_live_round.complete();
        p.rounds_damaged = d.counters.rounds_damaged;
        p.alarm_changes_held = d.counters.alarm_changes_held;
        p.alarm_changes_dropped = d.counters.alarm_changes_dropped;
        for (const auto& kv : d.alarms)
            if (kv.second.active) p.active_alarms.push_back({kv.first, kv.second.level});
        p.sections = d.sections;
        // Samples are live figures: a record restored from the history
        // before any live round is not sampled again.
        const ShownState shown = shown_state(d);
        if (shown.has_record() && !shown.restored) {
            veltra_record_t rec;
            std::memcpy(&rec, shown.record->data(), sizeof rec);
            p.samples = record_samples(rec, shown.sections());
        }
        out.push_back(std::move(p));
    }
    return out;
}

std::string render_prometheus(const std::vector<PrometheusDevice>& devices,
                              const std::string& version) {
    Exposition e;
    for (const PrometheusDevice& d : devices) {
        const std::string dev = "device=\"" + prometheus_label(d.name) + "\"";
        e.add("veltra_up", "gauge",
              "1 while the device is live: its last live round is recent and its port open, "
              "and no communication alarm is raised",
              dev, d.state == DataState::Live && !d.comm_alarm ? 1 : 0);
        e.add("veltra_info", "gauge", "Driver version and data ID of each device",
              dev + ",driver_version=\"" + prometheus_label(version) + "\",data_id=\"" +
                  std::to_string(d.data_id) + "\"",
              1);
        e.add("veltra_rounds_total", "counter", "Live data rounds published", dev,
              static_cast<double>(d.rounds));
        if (d.has_counters) {
            e.add("veltra_frames_accepted_total", "counter", "Frames that passed the decoder", dev,
                  static_cast<double>(d.counters.accepted));
            for (size_t k = 0; k < smd::kFrameErrorCount; ++k)
                e.add("veltra_frame_errors_total", "counter", "Frames rejected, by kind",
                      dev + ",kind=\"" + smd::frame_error_name(static_cast<smd::FrameError>(k)) +
                          "\"",
                      static_cast<double>(d.counters.by_kind[k]));
        }
        add_health(e, dev, d);
        for (const Sample& s : d.samples) {
            std::string labels = dev;
            if (s.section->tag)
                labels +=
                    std::string(",") + s.section->tag + "=\"" + std::to_string(s.instance) + "\"";
            if (s.field->phase) labels += std::string(",phase=\"") + s.field->phase + "\"";
            e.add(std::string(s.section->name) + "_" + s.field->metric, "gauge",
                  std::string(s.field->help) + " (" + s.section->what + ")", labels, s.value);
        }
    }
    return e.text();
}

}  // namespace smdgw

