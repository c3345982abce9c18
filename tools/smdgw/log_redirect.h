#pragma once
// The plug-in logs to standard output (std::cout and printf). smdgw keeps
// standard output for its JSON lines by moving them to a duplicate of the
// original descriptor, and points descriptor 1 at standard error or a log file.

#include <cstdio>
#include <string>

namespace smdgw {

// Returns the stream for smdgw's own output, or null with a message.
std::FILE* split_output(const std::string& log_path, std::string& error);

}  // namespace smdgw
