#include "tools/smdgw/output/event_writer.h"

#include <ctime>
#include <sstream>

#include "tools/smdgw/output/event_render.h"

namespace smdgw {

namespace {

void call_arg(std::string& out, const smd::CallArg& a) {
    switch (a.kind) {
        case smd::CallArg::Kind::Int:
            json_int(out, a.i);
            break;
        case smd::CallArg::Kind::UInt:
            json_uint(out, a.u);
            break;
        case smd::CallArg::Kind::Float:
            json_float(out, a.f);
            break;
        case smd::CallArg::Kind::Bool:
            json_bool(out, a.b);
            break;
        case smd::CallArg::Kind::Text:
            json_string(out, a.text);
            break;
    }
}

// "YYYY-MM-DDTHH:MM:SS", local time, as in the statistics.
std::string local_text(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    return buf;
}

}  // namespace

Json::StreamWriterBuilder event_json_settings() {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    // Floats carry about seven significant digits; more would print noise.
    b["precision"] = 7;
    return b;
}

EventWriter::EventWriter(std::FILE* out, bool trace_host) : out_(out), trace_(trace_host) {
    writer_.reset(event_json_settings().newStreamWriter());
}

void EventWriter::finish(const std::string& device) {
    if (!device.empty()) json_string(obj_.add("device"), device);
    line_.clear();
    obj_.close(line_);
    line_.push_back('\n');
    std::fwrite(line_.data(), 1, line_.size(), out_);
    std::fflush(out_);
}

void EventWriter::write(const std::string& device, Json::Value line) {
    if (!device.empty()) line["device"] = device;
    std::ostringstream os;
    writer_->write(line, &os);
    os << '\n';
    const std::string text = os.str();
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
}

void EventWriter::on_call(const std::string& device, const smd::HostCall& call) {
    json_string(obj_.add("call"), call.name);
    for (size_t k = 0; k < call.count; ++k) call_arg(obj_.add(call.args[k].name), call.args[k]);
    finish(device);
}

void EventWriter::on_publish(const std::string& device, const smd::RecordPublished& r) {
    const std::string battery = battery_ ? battery_(device) : std::string();
    record_members(obj_, r, RecordForm::Full, battery);
    finish(device);
}

void EventWriter::on_state(const std::string& device, const smd::StateChanged& s) {
    json_string(obj_.add("event"), "state");
    json_string(obj_.add("state"), data_state_name(s.state));
    json_string(obj_.add("since"), local_text(s.since));
    finish(device);
}

void EventWriter::on_alarm(const std::string& device, const smd::AlarmChange& a) {
    alarm_members(obj_, a);
    finish(device);
}

void EventWriter::on_report(const std::string& device, const smd::AnalogReport& r) {
    json_string(obj_.add("event"), "report");
    json_string(obj_.add("signal_id"), r.signal_id);
    json_float(obj_.add("value"), r.value);
    finish(device);
}

void EventWriter::on_command(const std::string& device, const smd::CommandSent& c) {
    json_string(obj_.add("event"), "command");
    json_uint(obj_.add("cid1"), c.cid1);
    json_uint(obj_.add("cid2"), c.cid2);
    json_string(obj_.add("info"), c.info);
    json_string(obj_.add("frame"), c.frame);
    json_bool(obj_.add("sent"), c.sent);
    finish(device);
}

}  // namespace smdgw
