#pragma once
// Where two long texts (logs, golden outputs) part, for a failure message
// that shows the line instead of both texts whole.

#include <string>

namespace testsupport {

// "" when the texts are equal; else the first line that differs, both sides.
std::string first_difference(const std::string& want, const std::string& got);

}  // namespace testsupport
