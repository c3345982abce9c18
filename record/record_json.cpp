#include "record/record_json.h"

#include <json/reader.h>

#include <memory>
#include <string>

#include "record/record_fields.h"

// The text of the field table's rendering, read back for callers that want a
// tree (tests and tools off the per-round path).
Json::Value record_to_json_bytes(const uint8_t* data, size_t len) {
    std::string text;
    veltra::record_json_text(text, data, len);
    Json::Value v;
    Json::CharReaderBuilder b;
    const std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    reader->parse(text.data(), text.data() + text.size(), &v, nullptr);
    return v;
}

Json::Value record_to_json(const veltra_quelm_k418t_419_Data_t& rec) {
    return record_to_json_bytes(reinterpret_cast<const uint8_t*>(&rec), sizeof rec);
}
