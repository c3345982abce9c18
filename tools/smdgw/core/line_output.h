#pragma once
// smdgw's own output lines (values, control results, statistics), written in
// the chosen format.

#include <json/value.h>

#include <string>

namespace smdgw {

class LineOutput {
   public:
    virtual ~LineOutput() = default;
    // One line about a device ("device" empty for the gateway itself).
    virtual void write(const std::string& device, Json::Value line) = 0;
};

}  // namespace smdgw
