#pragma once
// The keys a device entry may hold, with the checks of their values, and the
// nearest known key for a misspelt one.

#include <json/value.h>

#include <functional>
#include <string>
#include <vector>

namespace smdgw {

// Problems found in one device entry, each text naming the key and the value
// (the caller puts the file and the device in front).
struct EntryFindings {
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
    // Keys in "appSetting" and "thresholdSetting" entries that the driver
    // does not read: warnings, or errors under --strict.
    std::vector<std::string> driver_keys;
};

// Checks every key of a device entry: the host's own keys, "appSetting" and
// the host's tables, and the shape of "thresholdSetting".
void check_device_entry(const Json::Value& entry, EntryFindings& out);

// The known key closest to key (at most two edits away, or the same letters
// without "_" and case), or "" when none is near.
std::string nearest_key(const std::string& key, const std::vector<std::string>& known);
// Every configuration error names the nearest known word the same way:
// " (did you mean x?)", or "" when none is near.
std::string did_you_mean(const std::string& key, const std::vector<std::string>& known);

// Every key of obj that is not known, as `unknown key "k" in WHERE (did you
// mean x?)` ("" for WHERE: the entry itself); hint(k), when it says
// something, stands instead of the nearest key.
void unknown_keys(const Json::Value& obj, const std::vector<std::string>& known,
                  const std::string& where, std::vector<std::string>& out,
                  const std::function<std::string(const std::string&)>& hint = {});

// A JSON value as the configuration shows it, for messages ("1e+20", "\"x\"").
std::string value_text(const Json::Value& v);

}  // namespace smdgw
