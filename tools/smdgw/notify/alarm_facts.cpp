#include "tools/smdgw/notify/alarm_facts.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "host/alarm_english.h"
#include "host/alarm_families.h"
#include "host/data_state.h"
#include "record/veltra_record.h"
#include "tools/smdgw/core/iso8601_time.h"
#include "tools/smdgw/core/shown_state.h"
#include "tools/smdgw/output/json_text.h"

namespace smdgw::notify {

namespace {

std::string fixed(double v, int digits) {
    if (!std::isfinite(v)) return "-";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*f", digits, v);
    return buf;
}

std::string clock_text(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d UTC", tm.tm_hour, tm.tm_min);
    return buf;
}

// A figure of a section that is no longer current says from when it is.
std::string as_of(const ShownState& s, smd::Section section) {
    if (s.current(section)) return "";
    const std::time_t t = s.as_of(section);
    return t > 0 ? " (as of " + clock_text(t) + ", not current)" : " (not current)";
}

void json_number(JsonObject& o, const char* name, double v) { json_float(o.add(name), v); }

}  // namespace

std::string battery_words(const BatteryView& b) {
    const BatteryReading& r = b.reading;
    std::string t;
    switch (r.state) {
        case BatteryState::Discharging:
            t = "on battery since " + clock_text(b.since);
            if (r.runtime_s) {
                t += ", " + std::to_string(static_cast<long>(*r.runtime_s / 60)) + " min left";
                if (r.runtime_low_s && r.runtime_high_s)
                    t += " (" + std::to_string(static_cast<long>(*r.runtime_low_s / 60)) + "-" +
                         std::to_string(static_cast<long>(*r.runtime_high_s / 60)) + ")";
            }
            t += ", at " + fixed(-r.current_a, 1) + " A";
            break;
        case BatteryState::Disconnected:
            t = "disconnected (low-voltage disconnect) since " + clock_text(b.since);
            break;
        case BatteryState::Charging:
            t = "charging at " + fixed(r.current_a, 1) + " A";
            break;
        case BatteryState::Float:
            t = "float";
            break;
        case BatteryState::Unknown:
            return "state not known yet";
    }
    if (r.charge) t += ", charge " + std::to_string(static_cast<int>(std::lround(*r.charge * 100))) + " %";
    return t;
}

AlarmFacts alarm_facts(const DeviceState& d, const std::optional<BatteryView>& battery,
                       const std::string& battery_json, const NotifyEvent& e,
                       const std::string& level_name) {
    AlarmFacts f;
    JsonObject obj;
    json_string(obj.add("level_name"), level_name);
    if (!e.raised && e.raised_at_ms > 0 && e.time_ms >= e.raised_at_ms)
        json_int(obj.add("lasted_s"), (e.time_ms - e.raised_at_ms) / 1000);
    if (e.ack_at_ms > 0) {
        JsonObject ack;
        json_string(ack.add("by"), e.ack_by);
        if (!e.ack_comment.empty()) json_string(ack.add("comment"), e.ack_comment);
        json_string(ack.add("at"), iso8601_time(e.ack_at_ms));
        ack.close(obj.add("acknowledged"));
    }
    const char* state = data_state_name(d.data_state);
    f.lines.emplace_back("State", state);
    json_string(obj.add("device_state"), state);

    const ShownState s = shown_state(d);
    if (s.has_record()) {
        veltra_record_t r;
        std::memcpy(&r, s.record->data(), sizeof r);
        const smd::SectionMask sections = smd::alarm_sections(e.alarm_id, e.key);
        const unsigned n = smd::alarm_instance(e.alarm_id, e.key, e.message);
        const bool module = (sections & smd::families::kRect) && n > 0;
        if (module && s.shows(smd::Section::Rectifiers) && n <= kRcChannels) {
            const double a = r.channels[n - 1].out_i;
            f.lines.emplace_back("Module " + std::to_string(n),
                                 fixed(a, 1) + " A output" + as_of(s, smd::Section::Rectifiers));
            JsonObject m;
            json_uint(m.add("number"), n);
            json_number(m, "current_a", a);
            m.close(obj.add("module"));
        } else if ((sections & smd::families::kAc) && s.shows(smd::Section::Ac)) {
            std::string& list = obj.add("ac_inputs");
            list = "[";
            const size_t inputs = r.ac.channel_count < kAcChannels ? r.ac.channel_count : kAcChannels;
            for (size_t i = 0; i < inputs; ++i) {
                const veltra_ac_channel_t& c = r.ac_channels[i];
                f.lines.emplace_back("AC input " + std::to_string(i + 1),
                                     "A " + fixed(c.a, 1) + " V, B " + fixed(c.b, 1) + " V, C " +
                                         fixed(c.c, 1) + " V, " + fixed(c.f, 2) + " Hz" +
                                         as_of(s, smd::Section::Ac));
                JsonObject in;
                json_uint(in.add("input"), i + 1);
                json_number(in, "a_v", c.a);
                json_number(in, "b_v", c.b);
                json_number(in, "c_v", c.c);
                json_number(in, "f_hz", c.f);
                if (i > 0) list += ',';
                in.close(list);
            }
            list += ']';
        }
        if (s.shows(smd::Section::Dc)) {
            f.lines.emplace_back("DC bus", fixed(r.dc.v, 1) + " V, load " + fixed(r.dc.i, 1) +
                                               " A" + as_of(s, smd::Section::Dc));
            JsonObject bus;
            json_number(bus, "v", r.dc.v);
            json_number(bus, "load_a", r.dc.i);
            bus.close(obj.add("dc_bus"));
        }
    }
    if (battery) {
        f.lines.emplace_back("Battery", battery_words(*battery));
        if (!battery_json.empty()) obj.add("battery") = battery_json;
    }
    obj.close(f.json);
    return f;
}

}  // namespace smdgw::notify
