#pragma once
// Comparing what a gateway published with what the simulated plant sent.

#include <json/value.h>

#include <string>

namespace testsupport {

// Checks (with gtest expectations) that a record rendered as JSON carries the
// values of a simulator snapshot; `at` names the round in failure messages.
void expect_record_matches(const Json::Value& rec, const Json::Value& snap, const std::string& at);

}  // namespace testsupport
