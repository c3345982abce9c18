#include "tools/smdgw/output/text_view.h"

#include <json/writer.h>

#include <cstring>
#include <sstream>

#include "host/number_text.h"
#include "tools/smdgw/output/event_writer.h"
#include "record/veltra_record.h"

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
    const unsigned fuses = std::min<unsigned>(p.alert_m_count, veltra_dc_t::ALERT_M_SIZE());
    unsigned blown = 0;
    for (unsigned k = 0; k < fuses; ++k)
        if (p.alert_m[k] != 0) ++blown;
    s += ", fuses " + std::to_string(fuses - blown) + "/" + std::to_string(fuses) + " ok";
    return s;
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

void TextView::on_history(const std::string& device, const unsigned char* data, unsigned length) {
    if (length != kRecordSize) return;
    veltra_quelm_k418t_419_Data_t r;
    std::memcpy(&r, data, sizeof r);
    std::ostringstream os;
    const ttime t = r.update_time;
    char when[32];
    std::snprintf(when, sizeof when, "%04u-%02u-%02u %02u:%02u:%02u", unsigned(t.year),
                  unsigned(t.month), unsigned(t.day), unsigned(t.hour), unsigned(t.minute),
                  unsigned(t.second));
    os << "== " << device << "  round " << ++rounds_[device] << "  " << when << "\n";
    os << "  DC     panel 1: " << panel_text(r.dc);
    if (r.dc2.v != 0.0f || r.dc2.alert_m_count != 0) os << " | panel 2: " << panel_text(r.dc2);
    os << "\n";
    const unsigned inputs = std::min<unsigned>(r.ac.channel_count, kAcChannels);
    for (unsigned i = 0; i < inputs; ++i) {
        const auto& c = r.ac_channels[i];
        os << "  AC     input " << i + 1 << ": " << fixed(c.a, 1) << " / " << fixed(c.b, 1) << " / "
           << fixed(c.c, 1) << " V  " << fixed(c.f, 2) << " Hz\n";
    }
    if (inputs == 0) os << "  AC     no input reported\n";
    const unsigned modules = std::min<unsigned>(r.channel_count, kRcChannels);
    unsigned on = 0, faulty = 0;
    float total = 0.0f;
    for (unsigned j = 0; j < modules; ++j) {
        const auto& m = r.channels[j];
        total += m.out_i;
        if (m.shutdown == 0) ++on;
        if (m.fault != 0) ++faulty;
    }
    const float out_v = r.out_v;
    os << "  RECT   " << modules << " modules at " << fixed(out_v, 2) << " V, " << fixed(total, 1)
       << " A in all, " << on << " on, " << faulty << " faulty\n";
    const auto& active = active_[device];
    if (active.empty()) {
        os << "  ALARMS none";
    } else {
        os << "  ALARMS";
        for (const auto& kv : active) os << "\n    " << kv.second;
    }
    write_line(os.str());
}

void TextView::on_event(const std::string& device, const Json::Value& event) {
    if (event["event"].asString() != "alarm") return;
    const std::string id = event["key"].asString() + "/" + event["alarm_id"].asString() + "/" +
                           std::to_string(event["seq"].asUInt());
    const std::string english = event["english"].asString();
    const std::string message =
        english_ && !english.empty() ? english : event["message"].asString();
    const std::string text = message.empty() ? event["alarm_id"].asString()
                                             : message + " (" + event["alarm_id"].asString() + ")";
    const bool raised = event["state"].asString() == "raised";
    if (raised)
        active_[device][id] = text;
    else
        active_[device].erase(id);
    write_line(std::string(raised ? "!! " : "ok ") + device + "  alarm " +
               (raised ? "raised:  " : "cleared: ") + text);
}

}  // namespace smdgw
