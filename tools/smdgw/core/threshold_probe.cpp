#include "tools/smdgw/core/threshold_probe.h"

#include <unistd.h>

#include <cstdlib>

namespace smdgw {

namespace {

const char* const kModel = "veltra_quelm_k418t_419";

// ./ini/418.ini: directory, named after the data ID or the model, extension.
struct Candidate {
    const char* dir;
    bool by_data_id;
    const char* ext;
};
constexpr Candidate kCandidates[] = {
    {"./ini/", true, ".yaml"},         {"./ini/", true, ".ini"},
    {"./ini/", false, ".yaml"},        {"./ini/", false, ".ini"},
    {"./ini/veltra/", true, ".yaml"},  {"./ini/veltra/", true, ".ini"},
    {"./ini/veltra/", false, ".yaml"}, {"./ini/veltra/", false, ".ini"},
};

}  // namespace

int threshold_mode(const Json::Value& entry) {
    const Json::Value& s = entry["appSetting"];
    if (!s.isObject() || s["b_mode"].isNull()) return 1;
    const Json::Value& m = s["b_mode"];
    if (m.isArray() || m.isObject()) return 1;
    return std::atoi(m.asString().c_str());
}

std::string threshold_file(uint32_t data_id) {
    for (const Candidate& c : kCandidates) {
        const std::string path =
            std::string(c.dir) + (c.by_data_id ? std::to_string(data_id) : kModel) + c.ext;
        if (::access(path.c_str(), F_OK) == 0) return path;
    }
    return {};
}

std::string init_failure_source(const Json::Value& entry, uint32_t data_id) {
    const int mode = threshold_mode(entry);
    if (mode == 1) {
        const std::string file = threshold_file(data_id);
        if (!file.empty()) return "threshold file " + file + " (\"appSetting\"/\"b_mode\" 1)";
    }
    if (mode == 3 || mode == 5) return "\"thresholdSetting\" (\"appSetting\"/\"b_mode\" " +
                                       std::to_string(mode) + ")";
    return {};
}

}  // namespace smdgw
