#include "tools/smdgw/output/influx_writer.h"

#include <json/writer.h>

#include <cmath>
#include <cstring>

#include "record/veltra_record.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/output/record_samples.h"

namespace smdgw {

namespace {

std::string escape(const std::string& s, const char* specials) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        if (c == '\n' || c == '\r') {
            out += "\\ ";
            continue;
        }
        if (c == '\\' || std::strchr(specials, c)) out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

// Appends "key=value" fields, flattening objects as parent_child; only numbers
// and booleans become fields.
void add_fields(std::string& fields, const std::string& prefix, const Json::Value& v) {
    if (v.isObject()) {
        for (const auto& name : v.getMemberNames())
            add_fields(fields, prefix.empty() ? name : prefix + "_" + name, v[name]);
        return;
    }
    if (!v.isNumeric() && !v.isBool()) return;
    if (!fields.empty()) fields.push_back(',');
    fields += influx_key(prefix) + "=" +
              influx_float(v.isBool() ? (v.asBool() ? 1.0 : 0.0) : v.asDouble());
}

}  // namespace

std::string influx_measurement(const std::string& s) { return escape(s, ", "); }

std::string influx_key(const std::string& s) { return escape(s, ",= "); }

std::string influx_float(double v) {
    char buf[64];
    if (std::floor(v) == v && std::fabs(v) < 1e15) {
        std::snprintf(buf, sizeof buf, "%.1f", v);
        return buf;
    }
    std::string out = shortest_text(v);
    if (out.find_first_of(".e") == std::string::npos) out += ".0";
    return out;
}

void InfluxWriter::emit(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
}

void InfluxWriter::on_publish(const std::string& device, const smd::RecordPublished& r) {
    // A restored round is old news: nothing of it goes to the database.
    if (r.length != kRecordSize || r.quality.restored) return;
    veltra_record_t rec;
    std::memcpy(&rec, r.data, sizeof rec);
    const std::string ts = " " + std::to_string(now_ns_()) + "\n";
    const std::string device_tag = ",device=" + influx_key(device);
    const RoundQuality& q = r.quality;
    std::string text = "veltra_round" + device_tag + " complete=" + (q.complete() ? "1.0" : "0.0") +
                       ",frame_errors=" + influx_float(static_cast<double>(q.frame_errors)) +
                       ",unanswered_commands=" +
                       influx_float(static_cast<double>(q.unanswered_commands));
    // One field per section: 1.0 when this round refreshed it.
    for (smd::Section s : smd::kSections)
        text += std::string(",") + smd::plant_section(s).name + "_fresh=" +
                ((q.fresh() & smd::section_bit(s)) ? "1.0" : "0.0");
    text += ts;
    // A section the round did not refresh reads as zeros, or as an earlier
    // round's values: it gives no line, so nothing is stamped twice.
    const Sample* open = nullptr;  // first sample of the line being written
    for (const Sample& s : record_samples(rec, q.fresh())) {
        if (!open || open->section != s.section || open->instance != s.instance) {
            if (open) text += ts;
            open = &s;
            text += influx_measurement(s.section->name) + device_tag;
            if (s.section->tag)
                text += "," + influx_key(s.section->tag) + "=" + std::to_string(s.instance);
            text.push_back(' ');
        } else {
            text.push_back(',');
        }
        text += influx_key(s.field->field) + "=" + influx_float(s.value);
    }
    if (open) text += ts;
    emit(text);
}

void InfluxWriter::on_state(const std::string& device, const smd::StateChanged& s) {
    const std::string state = data_state_name(s.state);
    emit("veltra_state,device=" + influx_key(device) + ",state=" + influx_key(state) +
         " live=" + (s.state == DataState::Live ? "1.0" : "0.0") + " " +
         std::to_string(now_ns_()) + "\n");
}

void InfluxWriter::on_alarm(const std::string& device, const smd::AlarmChange& a) {
    std::string text = "veltra_alarm,device=" + influx_key(device);
    if (!a.alarm_id.empty()) text += ",alarm_id=" + influx_key(std::string(a.alarm_id));
    if (!a.key.empty()) text += ",key=" + influx_key(std::string(a.key));
    if (!a.message.empty()) text += ",message=" + influx_key(std::string(a.message));
    text += ",seq=" + std::to_string(a.seq);
    text += std::string(" active=") + (a.raised ? "1.0" : "0.0");
    text += ",level=" + influx_float(static_cast<double>(a.level));
    text += " " + std::to_string(now_ns_()) + "\n";
    emit(text);
}

void InfluxWriter::write(const std::string& device, Json::Value line) {
    const std::string kind = line["event"].asString();
    if (kind != "stats") {
        Json::StreamWriterBuilder b;
        b["indentation"] = "";
        b["emitUTF8"] = true;
        if (!device.empty()) line["device"] = device;
        log_info(Json::writeString(b, line));
        return;
    }
    line.removeMember("event");
    std::string fields;
    add_fields(fields, "", line);
    if (fields.empty()) return;
    std::string text = "smdgw_stats";
    if (!device.empty()) text += ",device=" + influx_key(device);
    text += " " + fields + " " + std::to_string(now_ns_()) + "\n";
    emit(text);
}

}  // namespace smdgw
