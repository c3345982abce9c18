// Fixed power-system alarm rules of threshold modes 1 and 2, run after every
// round on the live record.

#include <algorithm>
#include <boost/lexical_cast.hpp>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>

#include "host/number_text.h"
#include "pmbuspower/alarm_rule_tables.h"
#include "pmbuspower/pmbuspower_419.h"

namespace pmbus_rules {

// At least three digits, zero-padded ("%03u").
inline std::string three_digits(unsigned n) {
    char digits[12];
    const auto len =
        static_cast<size_t>(std::to_chars(digits, digits + sizeof digits, n).ptr - digits);
    std::string s(len < 3 ? 3 - len : 0, '0');
    s.append(digits, len);
    return s;
}

// Instance numbers count from 1.
inline std::string numbered_id(const NumberedAlarm& a, unsigned instance) {
    return a.id_head + three_digits(instance + a.id_offset) + a.id_tail;
}

inline std::string numbered_message(const NumberedAlarm& a, unsigned instance) {
    std::string m = a.message_head;
    if (a.message_numbered) m += three_digits(instance);
    return m + a.message_tail;
}

// Entries to visit: the record's count, never past the array.
template <class T, size_t N>
unsigned bounded(unsigned count, const T (&)[N]) {
    return std::min<unsigned>(count, static_cast<unsigned>(N));
}

template <class Channel>
float ac_reading(const Channel& ch, AcValue v) {
    switch (v) {
        case AcValue::PhaseA:
            return ch.a;
        case AcValue::PhaseB:
            return ch.b;
        case AcValue::PhaseC:
            return ch.c;
        case AcValue::Frequency:
            break;
    }
    return ch.f;
}

template <class Driver>
bool row_runs(const Driver& d, AcValue v) {
    switch (v) {
        case AcValue::PhaseA:
            return d.has_a;
        case AcValue::PhaseB:
            return d.has_b;
        case AcValue::PhaseC:
            return d.has_c;
        case AcValue::Frequency:
            break;
    }
    return true;
}

template <class Driver>
void analog_check(Driver& d, const char* alarm_id, const char* template_id, const char* signal_id,
                  float value) {
    d.CheckThreshold(alarm_id, std::string(), value, 1);
    d.CheckAOReport(template_id, signal_id, value);
}

template <class Driver>
bool input_powered(const Driver& d) {
    const auto& rec = d.cData;
    const unsigned inputs = bounded(rec.ac.channel_count, rec.ac_channels);
    for (unsigned i = 0; i < inputs; ++i) {
        const float a = rec.ac_channels[i].a;
        const float b = rec.ac_channels[i].b;
        const float c = rec.ac_channels[i].c;
        if ((!d.has_a || a > kPoweredPhaseVolts) && (!d.has_b || b > kPoweredPhaseVolts) &&
            (!d.has_c || c > kPoweredPhaseVolts))
            return true;
    }
    return false;
}

template <class Driver>
void run_host_limit_rules(Driver& d) {
    const auto& rec = d.cData;
    const int series = d.ac_type != 0 ? 1 : 0;
    if (d.has_ac) {
        const FixedAlarm& p = kInputPowerAlarm;
        d.CheckThresholdBool(p.level, p.key, p.alarm_id, p.message, p.message, !input_powered(d),
                             p.seq);
        const bool one_input = d.ac_line == 1 || d.ac_line == 2;
        for (const AcAnalogRule& r : kAcAnalogRules) {
            if (one_input && r.input != 0) continue;
            if (!row_runs(d, r.value)) continue;
            const auto& ch = rec.ac_channels[one_input ? d.ac_line - 1 : r.input];
            analog_check(d, r.alarm_id[series], r.template_id[series], r.signal_id[series],
                         ac_reading(ch, r.value));
        }
    }
    if (d.has_dc) {
        for (const DcAnalogRule& r : kDcAnalogRules) {
            if (r.panel == 2 && d.dc_number <= 1) continue;
            const auto& panel = r.panel == 2 ? rec.dc2 : rec.dc;
            const float value = r.value == DcValue::Current ? panel.i : panel.v;
            analog_check(d, r.alarm_id, r.template_id, r.signal_id, value);
        }
    }
    const unsigned modules = bounded(rec.channel_count, rec.channels);
    for (unsigned j = 0; j < modules; ++j) {
        const std::string id = numbered_id(kRectifierFault, j + 1);
        d.CheckThresholdBool(kRectifierFaultLevel, id, id, id,
                             numbered_message(kRectifierFault, j + 1), rec.channels[j].fault != 0,
                             1);
    }
}

// Reports a mode 2 rule when the host configures a level for it; the state is
// computed (and its threshold looked up) only then.
template <class Driver, class State>
void report_configured(Driver& d, const std::string& alarm_id, const std::string& value_text,
                       const std::string& message, State state) {
    const int level = d.AlarmLevels()[alarm_id];
    if (level == 0) return;
    d.CheckThresholdBool(level, alarm_id, alarm_id, value_text, message, state(), 1);
}

template <class Channel>
std::string voltage_text(const Channel& ch0, const Channel& ch1) {
    std::string t = "ua1:";
    smd::append_float(t, ch0.a);
    t += " ub1:";
    smd::append_float(t, ch0.b);
    t += " uc1:";
    smd::append_float(t, ch0.c);
    t += " ua2:";
    smd::append_float(t, ch1.a);
    t += " ub2:";
    smd::append_float(t, ch1.b);
    t += " uc2:";
    smd::append_float(t, ch1.c);
    return t;
}

template <class Channel>
std::string frequency_text(const Channel& ch0, const Channel& ch1) {
    std::string t = "f1:";
    smd::append_float(t, ch0.f);
    t += " f2:";
    smd::append_float(t, ch1.f);
    return t;
}

template <class Driver>
bool ac_condition(Driver& d, const AcFixedRule& r) {
    const auto& rec = d.cData;
    const float ph[2][3] = {
        {rec.ac_channels[0].a, rec.ac_channels[0].b, rec.ac_channels[0].c},
        {rec.ac_channels[1].a, rec.ac_channels[1].b, rec.ac_channels[1].c},
    };
    const bool wired[3] = {d.has_a, d.has_b, d.has_c};
    const float f[2] = {rec.ac_channels[0].f, rec.ac_channels[1].f};
    bool any = false;
    bool all = true;
    switch (r.condition) {
        case AcCondition::OverVoltage:
            for (const auto& input : ph)
                for (int p = 0; p < 3; ++p) any = any || (wired[p] && input[p] > kOverVoltage);
            return any;
        case AcCondition::UnderVoltage:
            for (const auto& input : ph)
                for (int p = 0; p < 3; ++p)
                    any = any || (wired[p] && static_cast<double>(input[p]) > kPresentReading &&
                                  input[p] < kUnderVoltage);
            return any;
        case AcCondition::PowerFailure:
            for (const auto& input : ph)
                for (float v : input) all = all && v < kUnderVoltage;
            return all;
        case AcCondition::OverFrequency: {
            const float t = d.AlarmValues()[r.alarm_id];
            return f[0] > t || f[1] > t;
        }
        case AcCondition::UnderFrequency: {
            const float t = d.AlarmValues()[r.alarm_id];
            for (float v : f) any = any || (static_cast<double>(v) > kPresentReading && v < t);
            return any;
        }
    }
    return false;
}

template <class Driver, class Panel, size_t N>
void run_panel_rules(Driver& d, const Panel& panel, const DcFixedRule (&rules)[N],
                     const NumberedAlarm& fuse) {
    const float v = panel.v;
    const std::string text = boost::lexical_cast<std::string>(v);
    for (const DcFixedRule& r : rules)
        report_configured(d, r.alarm_id, text, r.message, [&] {
            const float t = d.AlarmValues()[r.alarm_id];
            return r.compare == Compare::Below ? v < t : v > t;
        });
    const unsigned fuses = bounded(panel.alert_m_count, panel.alert_m);
    for (unsigned l = 0; l < fuses; ++l) {
        const bool blown = panel.alert_m[l] != 0;
        report_configured(d, numbered_id(fuse, l + 1), "1", numbered_message(fuse, l + 1),
                          [blown] { return blown; });
    }
}

template <class Driver>
void run_fixed_text_rules(Driver& d) {
    const auto& rec = d.cData;
    if (d.has_ac) {
        const std::string volts = voltage_text(rec.ac_channels[0], rec.ac_channels[1]);
        const std::string hertz = frequency_text(rec.ac_channels[0], rec.ac_channels[1]);
        for (const AcFixedRule& r : kAcFixedRules)
            report_configured(d, r.alarm_id, r.text == AcText::Voltages ? volts : hertz, r.message,
                              [&] { return ac_condition(d, r); });
    }
    // The alarmed state; wide arithmetic so that any setting is safe.
    const int64_t alarmed_state = 1 - static_cast<int64_t>(d.open_41_43);
    const unsigned modules = bounded(rec.channel_count, rec.channels);
    for (unsigned k = 0; k < modules; ++k) {
        const bool running_alarm = static_cast<int64_t>(rec.channels[k].shutdown) == alarmed_state;
        for (const NumberedAlarm& a : kRectifierRunning)
            report_configured(d, numbered_id(a, k + 1), "1", numbered_message(a, k + 1),
                              [running_alarm] { return running_alarm; });
    }
    if (d.has_dc) {
        run_panel_rules(d, rec.dc, kDcPanel1Rules, kFusePanel1);
        if (d.dc_number > 1) run_panel_rules(d, rec.dc2, kDcPanel2Rules, kFusePanel2);
    }
}

}  // namespace pmbus_rules

template <class DataT, uint32_t DataID>
void pmbuspower_419<DataT, DataID>::RunCheckThreshold() {
    if (this->b_mode_ == 1)
        pmbus_rules::run_host_limit_rules(*this);
    else if (this->b_mode_ == 2)
        pmbus_rules::run_fixed_text_rules(*this);
}
