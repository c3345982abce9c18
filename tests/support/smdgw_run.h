#pragma once
// Runs the smdgw binary of the build (with the plug-in of the build) and reads
// its JSON-lines output.

#include <json/value.h>

#include <string>
#include <vector>

#include "tests/support/run_process.h"

namespace testsupport {

// smdgw --plugin <built plug-in> ARGS..., in cwd when given.
ProcessResult run_smdgw(const std::vector<std::string>& args, const std::string& cwd = {});

// A whole text as one JSON value (a file, an HTTP body); null when it does not parse.
Json::Value parse_json(const std::string& text);
// The lines of text that parse as JSON, in order.
std::vector<Json::Value> json_lines(const std::string& text);
// The lines with this "event" (and "device", when given).
std::vector<Json::Value> events(const std::vector<Json::Value>& lines, const std::string& kind,
                                const std::string& device = "");
// The port of "serving http://127.0.0.1:PORT" in smdgw's standard error; 0
// before it says so.
int served_http_port(const std::string& err_text);

}  // namespace testsupport
