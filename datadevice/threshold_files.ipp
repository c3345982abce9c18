// Threshold configuration: the mode, INI threshold files (mode 1), alarm
// descriptors (mode 3) and limits with recover values (mode 5).

#include <unistd.h>

#include <boost/lexical_cast.hpp>

#include "datadevice/config_text.h"
#include "datadevice/driver_log.h"
#include "datadevice/threshold_ini.h"
#include "datadevice/veltra_data_device.h"

namespace veltra {

// The four limit sets of a "thresholdSetting" entry: value, recover and level
// keys and the suffix that ends the alarm ID.
struct ThresholdSetKeys {
    const char* value_key;
    const char* recover_key;
    const char* level_key;
    const char* suffix;
};
inline constexpr ThresholdSetKeys kUpperSet{"UpValue", "UpReconverValue", "UpAlarmLevel", "001"};
inline constexpr ThresholdSetKeys kUpper2Set{"Up2Value", "Up2ReconverValue", "Up2AlarmLevel",
                                             "002"};
inline constexpr ThresholdSetKeys kLowerSet{"LowValue", "LowReconverValue", "LowAlarmLevel", "003"};
inline constexpr ThresholdSetKeys kLower2Set{"Low2Value", "Low2ReconverValue", "Low2AlarmLevel",
                                             "004"};

// Threshold files in search order: directory, named after the data ID (or
// the model), extension.
struct ThresholdFileCandidate {
    const char* dir;
    bool by_data_id;
    const char* ext;
};
inline constexpr ThresholdFileCandidate kThresholdFiles[] = {
    {"./ini/", true, ".yaml"},         {"./ini/", true, ".ini"},
    {"./ini/", false, ".yaml"},        {"./ini/", false, ".ini"},
    {"./ini/veltra/", true, ".yaml"},  {"./ini/veltra/", true, ".ini"},
    {"./ini/veltra/", false, ".yaml"}, {"./ini/veltra/", false, ".ini"},
};

// The first threshold file that exists, or the empty text.
inline std::string find_threshold_file(const std::string& data_id, const std::string& model) {
    for (const ThresholdFileCandidate& c : kThresholdFiles) {
        const std::string path = std::string(c.dir) + (c.by_data_id ? data_id : model) + c.ext;
        if (::access(path.c_str(), F_OK) == 0) return path;
    }
    return {};
}

inline bool ends_with(const std::string& s, const char* tail) {
    const std::string t(tail);
    return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

// A member that is present and has non-empty text.
inline bool has_text(const Json::Value& v) { return !v.isNull() && !v.asString().empty(); }

}  // namespace veltra

template <class DataT, class ProtocolT, uint32_t DataID>
int VeltraDataDevice<DataT, ProtocolT, DataID>::InitSetting(const Json::Value& entry) {
    cData.data_id = this->DataId();
    const std::string data_id = boost::lexical_cast<std::string>(this->DataId());

    const Json::Value& settings = entry["appSetting"];
    if (settings.isObject() && !settings["b_mode"].isNull()) {
        b_mode_ = veltra::option_to_int(settings["b_mode"]);
        veltra::LogLine() << "InitSetting " << static_cast<uint32_t>(cData.data_id)
                          << " b_mode_:" << b_mode_;
    }

    if (b_mode_ == 1) {
        const std::string& model = this->DeviceType();
        const std::string file = veltra::find_threshold_file(data_id, model);
        if (file.empty())
            veltra::LogLine() << "data_id:" << data_id << " model:" << model << " b ini not found";
        veltra::LogLine() << "parse ini/yaml filename:" << file;
        if (!file.empty()) {
            // No grammar is defined for YAML threshold files: such a file loads nothing.
            if (veltra::ends_with(file, ".ini")) {
                const veltra::ThresholdIni ini = veltra::load_threshold_ini(file);
                for (const auto& kv : ini.ai) ai_map_[kv.first] = kv.second;
                for (const auto& kv : ini.alarm) alarm_map_[kv.first] = kv.second;
            }
            veltra::LogLine() << "AI " << data_id;
            for (const auto& kv : ai_map_)
                veltra::LogLine() << "first:" << kv.first << " second:" << kv.second.first
                                  << " name:" << kv.second.second;
        }
    } else if (b_mode_ == 3) {
        veltra::LogLine() << "here 1";
        const Json::Value& ts = entry["thresholdSetting"];
        if (!ts.isNull()) {
            veltra::LogLine() << "here 2";
            // Only an object has members; any other shape describes nothing.
            const auto names = ts.isObject() ? ts.getMemberNames() : Json::Value::Members();
            for (const std::string& name : names) {
                veltra::LogLine() << "here " << name;
                const Json::Value& e = ts[name];
                if (!e.isObject()) continue;
                if (!e["SignalName"].isNull()) signal_name_map_[name] = e["SignalName"].asString();
                std::string descriptor;
                for (const char* key : {"NMAlarmID", "ID", "SignalNumber"}) {
                    if (!e[key].isNull())
                        descriptor += e[key].asString();
                    else
                        veltra::LogLine() << data_id << " " << key << " is missing";
                    descriptor += ';';
                }
                veltra::LogLine() << "mobile:" << name << ":" << descriptor
                                  << " level:" << this->alarm_level_map_[name]
                                  << " value:" << this->alarm_value_map_[name];
                mobile_map_[name] = descriptor;
            }
        }
    } else if (b_mode_ == 5) {
        up_map_.clear();
        up2_map_.clear();
        low_map_.clear();
        low2_map_.clear();
        const Json::Value& ts = entry["thresholdSetting"];
        if (ts.isObject()) {
            for (const std::string& name : ts.getMemberNames()) {
                const Json::Value& e = ts[name];
                if (!e.isObject() || !veltra::has_text(e["ID"]) ||
                    !veltra::has_text(e["SignalName"]))
                    continue;
                const std::string signal = e["SignalName"].asString();
                const std::string id = e["ID"].asString();
                const std::pair<const veltra::ThresholdSetKeys*, ThresholdMap*> sets[] = {
                    {&veltra::kUpperSet, &up_map_},
                    {&veltra::kUpper2Set, &up2_map_},
                    {&veltra::kLowerSet, &low_map_},
                    {&veltra::kLower2Set, &low2_map_},
                };
                for (const auto& s : sets)
                    ParseThresholdSet(e, signal, id, s.first->value_key, s.first->recover_key,
                                      s.first->level_key, s.first->suffix, *s.second);
            }
        }
    }
    return ProtocolT::InitSetting(entry);
}

template <class DataT, class ProtocolT, uint32_t DataID>
void VeltraDataDevice<DataT, ProtocolT, DataID>::ParseThresholdSet(
    const Json::Value& entry, const std::string& signal_name, const std::string& id,
    const char* value_key, const char* recover_key, const char* level_key, const char* suffix,
    ThresholdMap& table) {
    const Json::Value& value = entry[value_key];
    const Json::Value& recover = entry[recover_key];
    const Json::Value& level = entry[level_key];
    if (!veltra::has_text(value) || !veltra::has_text(recover) || !veltra::has_text(level)) return;
    table[signal_name] = ThresholdEntry(id + suffix, veltra::text_to_float(value.asString()),
                                        veltra::text_to_float(recover.asString()), false,
                                        veltra::text_to_int(level.asString()));
}
