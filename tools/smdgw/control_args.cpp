#include "tools/smdgw/control_args.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace smdgw {

namespace {

struct VerbatimOption {
    const char* name;
    const char* shown;  // its values in messages
    int values;         // the last one is the request text (or its file)
};

constexpr VerbatimOption kVerbatim[] = {
    {"--control", "CODE TEXT", 2},
    {"--control-file", "CODE FILE", 2},
    {"--control-at", "N CODE TEXT", 3},
};

// A control request goes into one frame's INFO; anything near this is a
// wrong file.
constexpr std::streamsize kMaxRequestBytes = 64 * 1024;

}  // namespace

bool take_control_args(int argc, char** argv, ControlArgs& out, std::string& error) {
    out = ControlArgs{};
    if (argc > 0) out.rest.emplace_back(argv[0]);
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options_end || arg == "--") {
            options_end = true;
            out.rest.push_back(arg);
            continue;
        }
        const VerbatimOption* opt = nullptr;
        std::vector<std::string> values;
        for (const VerbatimOption& v : kVerbatim) {
            const std::string name = v.name;
            if (arg == name) {
                opt = &v;
            } else if (arg.rfind(name + "=", 0) == 0) {
                opt = &v;
                values.push_back(arg.substr(name.size() + 1));
            }
        }
        if (!opt) {
            out.rest.push_back(arg);
            continue;
        }
        while (static_cast<int>(values.size()) < opt->values && i + 1 < argc)
            values.emplace_back(argv[++i]);
        if (static_cast<int>(values.size()) < opt->values) {
            error = std::string(opt->name) + " " + opt->shown +
                    (opt->values == 2 ? " needs both its values" : " needs all three values") +
                    (values.empty() ? std::string(" (none given)")
                                    : " (\"" + values.back() + "\" has no partner)");
            return false;
        }
        if (opt->values == 3) {
            out.control_at.insert(out.control_at.end(), values.begin(), values.end());
            continue;
        }
        out.rest.emplace_back(kControlSlot);
        out.rest.push_back(std::to_string(out.controls.size()));
        out.controls.push_back({std::string(opt->name) == "--control-file", values[0], values[1]});
    }
    return true;
}

bool read_control_file(const std::string& path, std::string& request, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "--control-file " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    text.resize(static_cast<size_t>(kMaxRequestBytes) + 1);
    in.read(&text[0], kMaxRequestBytes + 1);
    if (in.bad()) {
        error = "--control-file " + path + ": cannot be read: " + std::strerror(errno);
        return false;
    }
    text.resize(static_cast<size_t>(in.gcount()));
    if (static_cast<std::streamsize>(text.size()) > kMaxRequestBytes) {
        error = "--control-file " + path + ": larger than " +
                std::to_string(kMaxRequestBytes / 1024) + " KiB; a control request is one frame";
        return false;
    }
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
        if (!text.empty() && text.back() == '\r') text.pop_back();
    }
    request = std::move(text);
    return true;
}

}  // namespace smdgw
