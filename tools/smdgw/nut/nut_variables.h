#pragma once
// The variables a plant serves as a UPS, one table: name, what it means in
// English (GET DESC), its type (GET TYPE), where its value comes from (for
// docs/nut.md, rendered from this table) and how it is computed. LIST VAR
// gives them in this order, each one that has a value now.

#include <optional>
#include <string>
#include <string_view>

#include "tools/smdgw/nut/ups_reading.h"

namespace smdgw::nut {

enum class VarType { Number, String };

struct NutVariable {
    const char* name;
    const char* description;
    VarType type;
    const char* source;  // in words, for the docs
    // The value now; nothing when the plant does not say it.
    std::optional<std::string> (*value)(const UpsReading&);
};

// Strings are at most this long (their GET TYPE is STRING:n).
constexpr size_t kMaxStringValue = 512;

const NutVariable* nut_variables_begin();
const NutVariable* nut_variables_end();
const NutVariable* find_variable(std::string_view name);
// "NUMBER" or "STRING:512".
std::string type_text(const NutVariable& v);

}  // namespace smdgw::nut
