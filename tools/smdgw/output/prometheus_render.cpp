#include "tools/smdgw/output/prometheus_render.h"

#include <cmath>
#include <cstring>
#include <map>

#include "record/veltra_record.h"

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

std::vector<PrometheusDevice> prometheus_devices(const std::vector<DeviceState>& states) {
    std::vector<PrometheusDevice> out;
    out.reserve(states.size());
    for (const DeviceState& d : states) {
        PrometheusDevice p;
        p.name = d.name;
        p.data_id = d.data_id;
        p.has_counters = true;
        p.counters = d.counters.frames;
        p.rounds = d.counters.rounds_published;
        p.comm_alarm = d.alarm_active(kCommAlarmId);
        if (p.rounds > 0 && d.record.size() == kRecordSize) {
            veltra_record_t rec;
            std::memcpy(&rec, d.record.data(), sizeof rec);
            p.samples = record_samples(rec);
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
              "1 while the device's line delivers rounds, 0 before the first round and while "
              "the communication alarm is raised",
              dev, d.rounds > 0 && !d.comm_alarm ? 1 : 0);
        e.add("veltra_info", "gauge", "Driver version and data ID of each device",
              dev + ",driver_version=\"" + prometheus_label(version) + "\",data_id=\"" +
                  std::to_string(d.data_id) + "\"",
              1);
        e.add("veltra_rounds_total", "counter", "Data rounds published", dev,
              static_cast<double>(d.rounds));
        if (d.has_counters) {
            e.add("veltra_frames_accepted_total", "counter", "Frames that passed the decoder", dev,
                  static_cast<double>(d.counters.accepted));
            for (size_t k = 0; k < smd::kFrameWeirdCount; ++k)
                e.add("veltra_frame_errors_total", "counter", "Frames rejected, by kind",
                      dev + ",kind=\"" + smd::frame_weird_name(static_cast<smd::FrameWeird>(k)) +
                          "\"",
                      static_cast<double>(d.counters.weird[k]));
        }
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

