#include "tools/smdgw/output/text_view.h"

#include <json/writer.h>

#include <cstring>
#include <ctime>
#include <sstream>
#include <string_view>
#include <vector>

#include "host/alarm_english.h"
#include "host/number_text.h"
#include "record/record_fields.h"
#include "record/veltra_record.h"
#include "tools/smdgw/core/shown_state.h"
#include "tools/smdgw/output/battery_line.h"
#include "tools/smdgw/output/event_writer.h"

namespace smdgw {

namespace {

std::string fixed(float v, int decimals) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, static_cast<double>(v));
    return buf;
}

std::string panel_text(const veltra_dc_t& p) {
    const float v = p.v, i = p.i;
    std::string s = fixed(v, 2) + " V " + fixed(i, 1) + " A";
    const unsigned fuses = veltra::reported_fuses(p);
    const unsigned blown = veltra::blown_fuses(p);
    s += ", fuses " + std::to_string(fuses - blown) + "/" + std::to_string(fuses) + " ok";
    return s;
}

// An alarm as people read it: its message (or its English meaning) and ID,
// or the ID alone.
std::string alarm_text(std::string_view message, std::string_view alarm_id, bool english,
                       std::string_view key) {
    std::string shown(message);
    if (english) {
        const std::string meaning =
            smd::alarm_english(std::string(alarm_id), std::string(key), shown);
        if (!meaning.empty()) shown = meaning;
    }
    if (shown.empty()) return std::string(alarm_id);
    return shown + " (" + std::string(alarm_id) + ")";
}

}  // namespace

void TextView::write_line(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

void TextView::write(const std::string& device, Json::Value line) {
    std::string text = device.empty() ? std::string("smdgw") : device;
    const std::string kind = line["event"].asString();
    text += "  " + kind;
    line.removeMember("event");
    const Json::StreamWriterBuilder b = event_json_settings();
    for (const auto& name : line.getMemberNames()) {
        const Json::Value& v = line[name];
        text += "  " + name + "=" + (v.isString() ? v.asString() : Json::writeString(b, v));
    }
    write_line(text);
}

void TextView::on_history(const std::string& device, const smd::RecordStored& stored) {
    if (stored.length != kRecordSize) return;
    veltra_quelm_k418t_419_Data_t r;
    std::memcpy(&r, stored.data, sizeof r);
    uint64_t round = 0;
    std::vector<std::string> active;
    veltra_quelm_k418t_419_Data_t shown = r;
    std::array<SectionView, smd::kSectionCount> sections{};
    std::time_t now = 0;
    states_.read(device, [&](const DeviceState& d) {
        round = d.counters.records_stored;
        for (const auto& kv : d.alarms)
            if (kv.second.active)
                active.push_back(alarm_text(kv.second.message, kv.first.alarm_id, english_,
                                            kv.first.key));
        // A round restored from the history shows the stored record itself.
        const ShownState s = shown_state(d);
        if (s.has_record() && !s.restored) std::memcpy(&shown, s.record->data(), sizeof shown);
        sections = d.sections;
        now = d.record_unix_time;
    });
    std::ostringstream os;
    const ttime t = r.update_time;
    char when[32];
    std::snprintf(when, sizeof when, "%04u-%02u-%02u %02u:%02u:%02u", unsigned(t.year),
                  unsigned(t.month), unsigned(t.day), unsigned(t.hour), unsigned(t.minute),
                  unsigned(t.second));
    os << "== " << device << "  round " << round << "  " << when;
    const RoundQuality& q = stored.quality;
    if (q.restored) {
        // Figures of the history, as stored: the block says so.
        os << "  (restored from history)\n";
        std::array<SectionView, smd::kSectionCount> all{};
        for (SectionView& v : all) {
            v.state = smd::Freshness::Fresh;
            v.refreshed_at = now;
        }
        plant_text(os, r, all, now);
    } else {
        if (!q.complete())
            os << "  INCOMPLETE: " << q.unanswered_commands << " command(s) not answered intact, "
               << q.frame_errors << " frame error(s)";
        os << "\n";
        plant_text(os, shown, sections, now);
        if (battery_)
            if (const auto b = battery_->battery(device))
                os << "  BATT   " << battery_line(*b) << "\n";
    }
    if (active.empty()) {
        os << "  ALARMS none";
    } else {
        os << "  ALARMS";
        for (const std::string& a : active) os << "\n    " << a;
    }
    write_line(os.str());
}

void TextView::plant_text(std::ostream& os, const veltra_record_t& r,
                          const std::array<SectionView, smd::kSectionCount>& sections,
                          std::time_t now) {
    // A section's values when it has some, with their age when not of this round.
    const auto shown = [&](smd::Section s, const char* head) {
        const SectionView& v = sections[static_cast<size_t>(s)];
        os << head;
        if (!v.available()) {
            os << "no data (" << smd::freshness_name(v.state) << ")\n";
            return false;
        }
        return true;
    };
    const auto mark = [&](smd::Section s) {
        const SectionView& v = sections[static_cast<size_t>(s)];
        if (v.state == smd::Freshness::Fresh) return std::string();
        return "  (" + std::string(smd::freshness_name(v.state)) + ", from " +
               std::to_string(now - *v.refreshed_at) + " s ago)";
    };
    if (shown(smd::Section::Dc, "  DC     ")) {
        os << "panel 1: " << panel_text(r.dc);
        if (veltra::has_second_panel(r)) os << " | panel 2: " << panel_text(r.dc2);
        os << mark(smd::Section::Dc) << "\n";
    }
    if (sections[static_cast<size_t>(smd::Section::Ac)].available()) {
        const unsigned inputs = veltra::reported_ac_inputs(r);
        for (unsigned i = 0; i < inputs; ++i) {
            const auto& c = r.ac_channels[i];
            os << "  AC     input " << i + 1 << ": " << fixed(c.a, 1) << " / " << fixed(c.b, 1)
               << " / " << fixed(c.c, 1) << " V  " << fixed(c.f, 2) << " Hz"
               << mark(smd::Section::Ac) << "\n";
        }
        if (inputs == 0) os << "  AC     no input reported" << mark(smd::Section::Ac) << "\n";
    } else {
        shown(smd::Section::Ac, "  AC     ");
    }
    if (shown(smd::Section::Rectifiers, "  RECT   ")) {
        const unsigned modules = veltra::reported_modules(r);
        unsigned on = 0, faulty = 0;
        float total = 0.0f;
        for (unsigned j = 0; j < modules; ++j) {
            const auto& m = r.channels[j];
            total += m.out_i;
            if (m.shutdown == 0) ++on;
            if (m.fault != 0) ++faulty;
        }
        const float out_v = r.out_v;
        os << modules << " modules at " << fixed(out_v, 2) << " V, " << fixed(total, 1)
           << " A in all, " << on << " on, " << faulty << " faulty" << mark(smd::Section::Rectifiers)
           << "\n";
    }
}

void TextView::on_state(const std::string& device, const smd::StateChanged& s) {
    std::tm tm{};
    localtime_r(&s.since, &tm);
    char since[32];
    std::strftime(since, sizeof since, "%Y-%m-%d %H:%M:%S", &tm);
    write_line("-- " + device + "  state " + data_state_name(s.state) + " since " + since);
}

void TextView::on_alarm(const std::string& device, const smd::AlarmChange& a) {
    write_line(std::string(a.raised ? "!! " : "ok ") + device + "  alarm " +
               (a.raised ? "raised:  " : "cleared: ") +
               alarm_text(a.message, a.alarm_id, english_, a.key) +
               (a.reason.empty() ? std::string() : " (" + std::string(a.reason) + ")"));
}

}  // namespace smdgw
