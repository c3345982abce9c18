#pragma once
// How smdgw writes an event as JSON text: one line, UTF-8, floats with about
// seven significant digits. The JSON output and the MQTT payloads use it, so
// a consumer reads the same objects from either.

#include <json/value.h>
#include <json/writer.h>

#include <memory>
#include <string>

namespace smdgw {

class EventRenderer {
   public:
    EventRenderer();
    // The object as text, without a line feed. Not for two threads at once.
    std::string render(const Json::Value& event) const;

   private:
    std::unique_ptr<Json::StreamWriter> writer_;
};

// {"event":"record","data_id":...,"length":...,"record":{...}}
Json::Value record_event(int data_id, const unsigned char* data, unsigned length);

}  // namespace smdgw
