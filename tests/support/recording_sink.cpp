#include "tests/support/recording_sink.h"

#include <cmath>
#include <string_view>

namespace testsupport {

namespace {

// JSON numbers cannot carry NaN or infinity.
Json::Value number(float v) { return std::isfinite(v) ? Json::Value(v) : Json::Value(); }

std::string text(std::string_view s) { return std::string(s); }

}  // namespace

void RecordingSink::on_call(const std::string&, const smd::HostCall& call) {
    Json::Value c;
    c["call"] = call.name;
    for (size_t k = 0; k < call.count; ++k) {
        const smd::CallArg& a = call.args[k];
        Json::Value& v = c[a.name];
        switch (a.kind) {
            case smd::CallArg::Kind::Int:
                v = static_cast<Json::Int64>(a.i);
                break;
            case smd::CallArg::Kind::UInt:
                v = static_cast<Json::UInt64>(a.u);
                break;
            case smd::CallArg::Kind::Float:
                v = number(a.f);
                break;
            case smd::CallArg::Kind::Bool:
                v = a.b;
                break;
            case smd::CallArg::Kind::Text:
                v = text(a.text);
                break;
        }
    }
    calls.push_back(c);
}

void RecordingSink::on_publish(const std::string&, const smd::RecordPublished& r) {
    published.emplace_back(r.data, r.data + r.length);
    published_ids.push_back(r.data_id);
}

void RecordingSink::on_history(const std::string&, const smd::RecordStored& r) {
    stored.emplace_back(r.data, r.data + r.length);
}

void RecordingSink::on_alarm(const std::string&, const smd::AlarmChange& a) {
    Json::Value e;
    e["event"] = "alarm";
    e["state"] = a.raised ? "raised" : "cleared";
    e["level"] = a.level;
    e["key"] = text(a.key);
    e["alarm_id"] = text(a.alarm_id);
    e["value"] = text(a.value);
    e["message"] = text(a.message);
    e["seq"] = a.seq;
    events.push_back(e);
}

void RecordingSink::on_report(const std::string&, const smd::AnalogReport& r) {
    Json::Value e;
    e["event"] = "report";
    e["signal_id"] = text(r.signal_id);
    e["value"] = number(r.value);
    events.push_back(e);
}

void RecordingSink::on_command(const std::string&, const smd::CommandSent& c) {
    Json::Value e;
    e["event"] = "command";
    e["cid1"] = c.cid1;
    e["cid2"] = c.cid2;
    e["info"] = text(c.info);
    e["frame"] = text(c.frame);
    e["sent"] = c.sent;
    events.push_back(e);
}

std::vector<Json::Value> RecordingSink::calls_named(const std::string& name) const {
    std::vector<Json::Value> out;
    for (const auto& c : calls)
        if (c["call"].asString() == name) out.push_back(c);
    return out;
}

std::vector<std::string> RecordingSink::call_names() const {
    std::vector<std::string> out;
    for (const auto& c : calls) out.push_back(c["call"].asString());
    return out;
}

std::vector<Json::Value> RecordingSink::events_named(const std::string& name) const {
    std::vector<Json::Value> out;
    for (const auto& e : events)
        if (e["event"].asString() == name) out.push_back(e);
    return out;
}

void RecordingSink::clear() {
    calls.clear();
    events.clear();
    published.clear();
    published_ids.clear();
    stored.clear();
}

}  // namespace testsupport
