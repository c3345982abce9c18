#pragma once
// Runs the smdgw binary of the build on files written for the test and reads
// back its JSON output lines.

#include <json/value.h>

#include <string>
#include <vector>

namespace testsupport {

// Writes text to a file in the test's temporary folder and returns its path.
std::string write_temp_file(const std::string& name, const std::string& text);

// Runs smdgw (with the plug-in of the build) with the arguments; status is
// what the shell reports. Lines that are not JSON are left out.
std::vector<Json::Value> run_smdgw(const std::string& args, int& status);

}  // namespace testsupport
