#include "tools/smdgw/core/ups_identity.h"

#include "tools/smdgw/core/config_keys.h"

namespace smdgw {

namespace {

const std::vector<std::string> kUpsKeys = {"mfr", "model", "serial", "description"};

bool plain_text(const std::string& s) {
    if (s.empty() || s.size() > UpsIdentity::kMaxText) return false;
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') return false;
    return true;
}

}  // namespace

std::string UpsIdentity::serial_for(const std::string& gateway_id, const std::string& device) const {
    return serial.empty() ? gateway_id + "-" + device : serial;
}

std::optional<UpsIdentity> UpsIdentity::parse(const Json::Value& v,
                                              std::vector<std::string>& errors) {
    UpsIdentity id;
    if (v.isNull()) return id;
    if (!v.isObject()) {
        errors.push_back("\"ups\" must be an object (is " + value_text(v) + ")");
        return std::nullopt;
    }
    const size_t before = errors.size();
    std::string* fields[] = {&id.mfr, &id.model, &id.serial, &id.description};
    for (size_t k = 0; k < kUpsKeys.size(); ++k) {
        const Json::Value& t = v[kUpsKeys[k]];
        if (t.isNull()) continue;
        if (!t.isString() || !plain_text(t.asString())) {
            errors.push_back("\"ups\": \"" + kUpsKeys[k] + "\" must be a text of 1 to " +
                             std::to_string(kMaxText) +
                             " printable characters without \" or \\ (is " + value_text(t) + ")");
            continue;
        }
        *fields[k] = t.asString();
    }
    unknown_keys(v, kUpsKeys, "\"ups\"", errors);
    if (errors.size() != before) return std::nullopt;
    return id;
}

}  // namespace smdgw
