#pragma once
// Comparing what a gateway published with what the simulated plant sent, and
// reading JSON-lines output.

#include <json/value.h>

#include <string>
#include <vector>

namespace testsupport {

// The lines of text that parse as JSON, in order.
std::vector<Json::Value> json_lines(const std::string& text);
// The lines with this "event" (and "device", when given).
std::vector<Json::Value> events(const std::vector<Json::Value>& lines, const std::string& kind,
                                const std::string& device = "");
// Checks (with gtest expectations) that a record rendered as JSON carries the
// values of a simulator snapshot; `at` names the round in failure messages.
void expect_record_matches(const Json::Value& rec, const Json::Value& snap, const std::string& at);

}  // namespace testsupport
