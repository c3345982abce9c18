// Threshold configuration: the mode, INI threshold files (mode 1), alarm
// descriptors (mode 3) and limits with recover values (mode 5).

#include <unistd.h>

#include <boost/lexical_cast.hpp>

#include "datadevice/config_text.h"
#include "datadevice/driver_log.h"
#include "datadevice/threshold_ini.h"
#include "datadevice/veltra_data_device.h"

namespace veltra::threshold_files {

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

// Mode 1: the [AI] and [ALARM] tables of the first threshold file found.
template <class Device>
void load_ini_thresholds(Device& dev, const std::string& data_id) {
    const std::string& model = dev.DeviceType();
    const std::string file = find_threshold_file(data_id, model);
    if (file.empty())
        veltra::LogLine() << "data_id:" << data_id << " model:" << model << " b ini not found";
    veltra::LogLine() << "parse ini/yaml filename:" << file;
    if (file.empty()) return;
    // No grammar is defined for YAML threshold files: such a file loads nothing.
    if (ends_with(file, ".ini")) {
        const ThresholdIni ini = load_threshold_ini(file);
        for (const auto& kv : ini.ai) dev.ai_map_[kv.first] = kv.second;
        for (const auto& kv : ini.alarm) dev.alarm_map_[kv.first] = kv.second;
    }
    veltra::LogLine() << "AI " << data_id;
    for (const auto& kv : dev.ai_map_)
        veltra::LogLine() << "first:" << kv.first << " second:" << kv.second.first
                          << " name:" << kv.second.second;
}

// Mode 3: descriptors "NMAlarmID;ID;SignalNumber;" by member name, logged.
template <class Device>
void load_descriptors(Device& dev, const Json::Value& settings, const std::string& data_id) {
    veltra::LogLine() << "here 1";
    if (settings.isNull()) return;
    veltra::LogLine() << "here 2";
    // Only an object has members; any other shape describes nothing.
    const auto names = settings.isObject() ? settings.getMemberNames() : Json::Value::Members();
    for (const std::string& name : names) {
        veltra::LogLine() << "here " << name;
        const Json::Value& e = settings[name];
        if (!e.isObject()) continue;
        if (!e["SignalName"].isNull()) dev.signal_name_map_[name] = e["SignalName"].asString();
        std::string descriptor;
        for (const char* key : {"NMAlarmID", "ID", "SignalNumber"}) {
            if (!e[key].isNull())
                descriptor += e[key].asString();
            else
                veltra::LogLine() << data_id << " " << key << " is missing";
            descriptor += ';';
        }
        veltra::LogLine() << "mobile:" << name << ":" << descriptor
                          << " level:" << dev.AlarmLevels()[name]
                          << " value:" << dev.AlarmValues()[name];
        dev.mobile_map_[name] = descriptor;
    }
}

// Mode 5: the four limit tables, rebuilt from scratch.
template <class Device>
void load_limits(Device& dev, const Json::Value& settings) {
    const std::pair<const ThresholdSetKeys*, typename Device::ThresholdMap*> sets[] = {
        {&kUpperSet, &dev.up_map_},
        {&kUpper2Set, &dev.up2_map_},
        {&kLowerSet, &dev.low_map_},
        {&kLower2Set, &dev.low2_map_},
    };
    for (const auto& s : sets) s.second->clear();
    if (!settings.isObject()) return;
    for (const std::string& name : settings.getMemberNames()) {
        const Json::Value& e = settings[name];
        if (!e.isObject() || !has_text(e["ID"]) || !has_text(e["SignalName"])) continue;
        const std::string signal = e["SignalName"].asString();
        const std::string id = e["ID"].asString();
        for (const auto& s : sets)
            Device::ParseThresholdSet(e, signal, id, s.first->value_key, s.first->recover_key,
                                      s.first->level_key, s.first->suffix, *s.second);
    }
}

}  // namespace veltra::threshold_files

template <class DataT, class ProtocolT, uint32_t DataID>
int VeltraDataDevice<DataT, ProtocolT, DataID>::InitSetting(const Json::Value& entry) {
    namespace files = veltra::threshold_files;
    {
        std::lock_guard<std::mutex> record(record_guard_);
        cData.data_id = this->DataId();
    }
    const std::string data_id = boost::lexical_cast<std::string>(this->DataId());

    const Json::Value& settings = entry["appSetting"];
    if (settings.isObject() && !settings["b_mode"].isNull()) {
        b_mode_ = veltra::option_to_int(settings["b_mode"]);
        veltra::LogLine() << "InitSetting " << static_cast<uint32_t>(cData.data_id)
                          << " b_mode_:" << b_mode_;
    }

    if (b_mode_ == 1)
        files::load_ini_thresholds(*this, data_id);
    else if (b_mode_ == 3)
        files::load_descriptors(*this, entry["thresholdSetting"], data_id);
    else if (b_mode_ == 5)
        files::load_limits(*this, entry["thresholdSetting"]);
    return ProtocolT::InitSetting(entry);
}

template <class DataT, class ProtocolT, uint32_t DataID>
void VeltraDataDevice<DataT, ProtocolT, DataID>::ParseThresholdSet(
    const Json::Value& entry, const std::string& signal_name, const std::string& id,
    const char* value_key, const char* recover_key, const char* level_key, const char* suffix,
    ThresholdMap& table) {
    namespace files = veltra::threshold_files;
    const Json::Value& value = entry[value_key];
    const Json::Value& recover = entry[recover_key];
    const Json::Value& level = entry[level_key];
    if (!files::has_text(value) || !files::has_text(recover) || !files::has_text(level)) return;
    table[signal_name] = ThresholdEntry(id + suffix, veltra::text_to_float(value.asString()),
                                        veltra::text_to_float(recover.asString()), false,
                                        veltra::text_to_int(level.asString()));
}
