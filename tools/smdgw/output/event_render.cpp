#include "tools/smdgw/output/event_render.h"

#include <sstream>

#include "record/record_json.h"

namespace smdgw {

EventRenderer::EventRenderer() {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    // Floats carry about seven significant digits; more would print noise.
    b["precision"] = 7;
    writer_.reset(b.newStreamWriter());
}

std::string EventRenderer::render(const Json::Value& event) const {
    std::ostringstream os;
    writer_->write(event, &os);
    return os.str();
}

Json::Value record_event(int data_id, const unsigned char* data, unsigned length) {
    Json::Value e;
    e["event"] = "record";
    e["data_id"] = data_id;
    e["length"] = length;
    e["record"] = record_to_json_bytes(data, length);
    return e;
}

}  // namespace smdgw
