#include "tools/smdgw/output/event_writer.h"

namespace smdgw {

EventWriter::EventWriter(std::FILE* out, bool trace_host) : out_(out), trace_(trace_host) {}

void EventWriter::write(const std::string& device, Json::Value line) {
    if (!device.empty()) line["device"] = device;
    const std::string text = renderer_.render(line) + '\n';
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
}

void EventWriter::on_call(const std::string& device, const Json::Value& call) {
    write(device, call);
}

void EventWriter::on_publish(const std::string& device, int data_id, const unsigned char* data,
                             unsigned length) {
    write(device, record_event(data_id, data, length));
}

void EventWriter::on_event(const std::string& device, const Json::Value& event) {
    write(device, event);
}

}  // namespace smdgw
