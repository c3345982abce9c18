#include "tests/support/recording_sink.h"

namespace testsupport {

void RecordingSink::on_call(const std::string&, const Json::Value& call) { calls.push_back(call); }

void RecordingSink::on_publish(const std::string&, int data_id, const unsigned char* data,
                               unsigned length) {
    published.emplace_back(data, data + length);
    published_ids.push_back(data_id);
}

void RecordingSink::on_history(const std::string&, const unsigned char* data, unsigned length) {
    stored.emplace_back(data, data + length);
}

void RecordingSink::on_event(const std::string&, const Json::Value& event) {
    events.push_back(event);
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
