#pragma once
// A device's "ups" object: how the plant names itself to clients that read
// it as a UPS (the NUT server's device.mfr, device.model, device.serial and
// its description in LIST UPS).
//   "ups": {"mfr": "Site power", "model": "-48 V 400 A", "serial": "S1-P1",
//           "description": "Rack row 3 power"}
// The serial must be unique within the file; without one, the gateway's ID
// and the device's name make one that is unique per site.

#include <json/value.h>

#include <optional>
#include <string>
#include <vector>

namespace smdgw {

struct UpsIdentity {
    std::string mfr;          // empty: not said
    std::string model;        // empty: kDefaultModel
    std::string serial;       // empty: "<gateway ID>-<device name>"
    std::string description;  // empty: kDefaultDescription

    static constexpr const char* kDefaultModel = "-48 V DC power system";
    static constexpr const char* kDefaultDescription = "-48 V DC power system";
    // Each text: 1 to 64 printable characters, no double quote or backslash,
    // so that every client shows it as written.
    static constexpr size_t kMaxText = 64;

    std::string serial_for(const std::string& gateway_id, const std::string& device) const;
    // The object as written; an empty identity when absent, nullopt when
    // wrong, each problem in errors naming its key.
    static std::optional<UpsIdentity> parse(const Json::Value& v,
                                            std::vector<std::string>& errors);
};

}  // namespace smdgw
