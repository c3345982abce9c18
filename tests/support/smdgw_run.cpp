#include "tests/support/smdgw_run.h"

#include <gtest/gtest.h>
#include <json/reader.h>

#include <cstdio>
#include <fstream>
#include <memory>

namespace testsupport {

std::string write_temp_file(const std::string& name, const std::string& text) {
    const std::string path = testing::TempDir() + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

std::vector<Json::Value> run_smdgw(const std::string& args, int& status) {
    const std::string cmd =
        std::string(SMDGW_PATH) + " --plugin " + PLUGIN_PATH + " " + args + " 2>/dev/null";
    std::vector<Json::Value> lines;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) {
        status = -1;
        return lines;
    }
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    status = pclose(p);
    Json::CharReaderBuilder rb;
    std::unique_ptr<Json::CharReader> reader(rb.newCharReader());
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        Json::Value v;
        std::string errors;
        if (end > start && reader->parse(out.data() + start, out.data() + end, &v, &errors))
            lines.push_back(v);
        start = end + 1;
    }
    return lines;
}

}  // namespace testsupport
