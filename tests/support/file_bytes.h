#pragma once
// A whole file's bytes, to compare a file before and after a run.

#include <string>

namespace testsupport {

// Empty when the file cannot be read.
std::string file_bytes(const std::string& path);

}  // namespace testsupport
