#include "tools/smdgw/core/threshold_probe.h"

#include <unistd.h>

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cstdlib>
#include <vector>

#include "record/record_fields.h"
#include "tools/smdgw/core/device_state.h"

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

std::vector<ThresholdValue> threshold_values(const Json::Value& entry, uint32_t data_id) {
    std::vector<ThresholdValue> out;
    if (threshold_mode(entry) != 1) return out;
    const std::string file = threshold_file(data_id);
    const std::string ext = ".ini";
    if (file.size() < ext.size() || file.compare(file.size() - ext.size(), ext.size(), ext) != 0)
        return out;
    boost::property_tree::ptree ini;
    try {
        boost::property_tree::read_ini(file, ini);
    } catch (const boost::property_tree::ptree_error&) {
        return out;
    }
    const auto ai = ini.get_child_optional("AI");
    if (!ai) return out;
    for (const auto& kv : *ai) {
        ThresholdValue v;
        v.path = kv.first;
        const std::string text = kv.second.data();
        v.signal_id = text.substr(0, text.find(','));
        if (v.signal_id.size() >= 9) {
            v.alarm_id = v.signal_id;
            v.alarm_id[3] = '6';
            v.alarm_id[8] = '1';
        }
        out.push_back(std::move(v));
    }
    return out;
}

std::optional<smd::ValuePlace> record_place(const std::string& path) {
    static const std::vector<unsigned char> zero(kRecordSize, 0);
    std::optional<smd::ValuePlace> found;
    veltra::for_each_value(zero.data(), veltra::Sections::AsDumped,
                           [&](const veltra::RecordValue& v) {
                               if (found || veltra::value_path(v) != path) return;
                               const auto section = section_of_value(v);
                               const bool f32 = v.field->type == veltra::FieldType::F32;
                               if (!section || (!f32 && v.field->type != veltra::FieldType::U8))
                                   return;
                               found = smd::ValuePlace{
                                   *section, static_cast<uint16_t>(v.at - zero.data()), f32};
                           });
    return found;
}

}  // namespace smdgw
