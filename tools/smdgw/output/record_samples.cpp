#include "tools/smdgw/output/record_samples.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "record/record_fields.h"

namespace smdgw {

namespace {

constexpr SectionSpec kSystem{"veltra_system", nullptr, "rectifier system"};
constexpr SectionSpec kAc{"veltra_ac", nullptr, "AC distribution"};
constexpr SectionSpec kAcInput{"veltra_ac_input", "input", "AC input"};
constexpr SectionSpec kRectifier{"veltra_rectifier", "module", "rectifier module"};
constexpr SectionSpec kDc{"veltra_dc", "panel", "DC distribution panel"};

constexpr FieldSpec kSystemFields[] = {
    {"out_v", "output_voltage_volts", "Rectifier output voltage"},
    {"modules", "modules", "Rectifier modules reported"},
};
constexpr FieldSpec kAcFields[] = {
    {"ia", "current_amperes", "Phase current", "a"},
    {"ib", "current_amperes", "Phase current", "b"},
    {"ic", "current_amperes", "Phase current", "c"},
    {"inputs", "inputs", "AC inputs reported"},
    {"ia_alert", "current_alarm_code", "Alarm code of the phase current (0 normal)", "a"},
    {"ib_alert", "current_alarm_code", "Alarm code of the phase current (0 normal)", "b"},
    {"ic_alert", "current_alarm_code", "Alarm code of the phase current (0 normal)", "c"},
};
constexpr FieldSpec kAcInputFields[] = {
    {"a", "voltage_volts", "Phase voltage", "a"},
    {"b", "voltage_volts", "Phase voltage", "b"},
    {"c", "voltage_volts", "Phase voltage", "c"},
    {"f", "frequency_hertz", "Frequency"},
    {"alert_a", "voltage_alarm_code", "Alarm code of the phase voltage (0 normal)", "a"},
    {"alert_b", "voltage_alarm_code", "Alarm code of the phase voltage (0 normal)", "b"},
    {"alert_c", "voltage_alarm_code", "Alarm code of the phase voltage (0 normal)", "c"},
    {"alert_f", "frequency_alarm_code", "Alarm code of the frequency (0 normal)"},
};
constexpr FieldSpec kRectifierFields[] = {
    {"out_i", "output_current_amperes", "Module output current"},
    {"shutdown", "shutdown_state", "On/off state (0 on)"},
    {"i_limit", "current_limit_state", "Current-limit state"},
    {"charge", "charge_state", "Charge state"},
    {"fault", "fault_code", "Module fault code (0 normal)"},
};
constexpr FieldSpec kDcFields[] = {
    {"v", "voltage_volts", "DC bus voltage"},
    {"i", "current_amperes", "Total DC current"},
    {"alert_v", "voltage_alarm_code", "DC voltage alarm code (0 normal)"},
    {"fuses", "fuses", "Load fuses reported"},
    {"fuses_blown", "fuses_blown", "Load fuses reported blown"},
};

class Collector {
   public:
    explicit Collector(std::vector<Sample>& out) : out_(out) {}
    // Values in the order of the section's field table.
    template <size_t N>
    void add(const SectionSpec& s, unsigned instance, const FieldSpec (&fields)[N],
             const double (&values)[N]) {
        for (size_t k = 0; k < N; ++k)
            if (std::isfinite(values[k])) out_.push_back({&s, instance, &fields[k], values[k]});
    }

   private:
    std::vector<Sample>& out_;
};

void add_panel(Collector& c, unsigned panel, const veltra_dc_t& p) {
    const double v[] = {p.v, p.i, double(p.alert_v), double(veltra::reported_fuses(p)),
                        double(veltra::blown_fuses(p))};
    c.add(kDc, panel, kDcFields, v);
}

}  // namespace

std::vector<Sample> record_samples(const veltra_record_t& r) {
    std::vector<Sample> out;
    Collector c(out);
    const unsigned modules = std::min<unsigned>(r.channel_count, kRcChannels);
    const unsigned inputs = std::min<unsigned>(r.ac.channel_count, kAcChannels);
    {
        const double v[] = {r.out_v, double(modules)};
        c.add(kSystem, 0, kSystemFields, v);
    }
    {
        const double v[] = {r.ac.ia,
                            r.ac.ib,
                            r.ac.ic,
                            double(inputs),
                            double(r.ac.ia_alert),
                            double(r.ac.ib_alert),
                            double(r.ac.ic_alert)};
        c.add(kAc, 0, kAcFields, v);
    }
    for (unsigned i = 0; i < inputs; ++i) {
        const veltra_ac_channel_t& ch = r.ac_channels[i];
        const double v[] = {ch.a,
                            ch.b,
                            ch.c,
                            ch.f,
                            double(ch.alert_a),
                            double(ch.alert_b),
                            double(ch.alert_c),
                            double(ch.alert_f)};
        c.add(kAcInput, i + 1, kAcInputFields, v);
    }
    for (unsigned j = 0; j < modules; ++j) {
        const veltra_rc_channel_t& m = r.channels[j];
        const double v[] = {m.out_i, double(m.shutdown), double(m.i_limit), double(m.charge),
                            double(m.fault)};
        c.add(kRectifier, j + 1, kRectifierFields, v);
    }
    add_panel(c, 1, r.dc);
    if (veltra::has_second_panel(r)) add_panel(c, 2, r.dc2);
    return out;
}

std::string shortest_text(double v) {
    char buf[64];
    const float f = static_cast<float>(v);
    const auto r = static_cast<double>(f) == v ? std::to_chars(buf, buf + sizeof buf, f)
                                               : std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

}  // namespace smdgw
