#include "tests/support/smdgw_run.h"

#include <json/reader.h>

#include <cstdlib>
#include <sstream>

namespace testsupport {

ProcessResult run_smdgw(const std::vector<std::string>& args, const std::string& cwd) {
    std::vector<std::string> argv = {SMDGW_PATH, "--plugin", PLUGIN_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, cwd);
}

Json::Value parse_json(const std::string& text) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errs;
    std::istringstream in(text);
    if (!Json::parseFromStream(b, in, &v, &errs)) return Json::Value();
    return v;
}

std::vector<Json::Value> json_lines(const std::string& text) {
    std::vector<Json::Value> out;
    std::istringstream in(text);
    Json::Reader reader;
    for (std::string line; std::getline(in, line);) {
        Json::Value v;
        if (reader.parse(line, v)) out.push_back(v);
    }
    return out;
}

std::vector<Json::Value> events(const std::vector<Json::Value>& lines, const std::string& kind,
                                const std::string& device) {
    std::vector<Json::Value> out;
    for (const auto& l : lines)
        if (l["event"].asString() == kind && (device.empty() || l["device"].asString() == device))
            out.push_back(l);
    return out;
}

int served_http_port(const std::string& err_text) {
    const std::string said = "serving http://127.0.0.1:";
    const size_t at = err_text.find(said);
    return at == std::string::npos ? 0 : std::atoi(err_text.c_str() + at + said.size());
}

}  // namespace testsupport
