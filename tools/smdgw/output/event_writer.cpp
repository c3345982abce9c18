#include "tools/smdgw/output/event_writer.h"

#include <sstream>

#include "record/record_json.h"

namespace smdgw {

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

void EventWriter::write(const std::string& device, Json::Value line) {
    if (!device.empty()) line["device"] = device;
    std::ostringstream os;
    writer_->write(line, &os);
    os << '\n';
    const std::string text = os.str();
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
}

void EventWriter::on_call(const std::string& device, const Json::Value& call) {
    write(device, call);
}

void EventWriter::on_publish(const std::string& device, int data_id, const unsigned char* data,
                             unsigned length) {
    Json::Value e;
    e["event"] = "record";
    e["data_id"] = data_id;
    e["length"] = length;
    e["record"] = record_to_json_bytes(data, length);
    write(device, std::move(e));
}

void EventWriter::on_event(const std::string& device, const Json::Value& event) {
    write(device, event);
}

}  // namespace smdgw
