#pragma once
// The data-device template: owns the live record and the threshold machinery,
// completes each round (stamp, publish, alarms, history) and loads cached
// records. Member definitions live in the .ipp files of this folder, one
// concern each, and are instantiated once in the plug-in.

#include <json/value.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "datadevice/threshold_entry.h"
#include "host/pmbus_protocol.h"
#include "record/veltra_record.h"

template <class DataT, class ProtocolT, uint32_t DataID>
class VeltraDataDevice : public ProtocolT {
   public:
    using ThresholdMap = std::map<std::string, ThresholdEntry>;
    static constexpr uint32_t kPublishedDataId = DataID;

    VeltraDataDevice();
    ~VeltraDataDevice() override;

    using ProtocolT::LoadFromCache;
    int LoadFromCache(const unsigned char* data, int length) override;
    void RoundDone() override;
    int InitSetting(const Json::Value& entry) override;

    // Fixed alarm rules; the driver classes override it.
    virtual void RunCheckThreshold();
    // Fills the data snapshot the thresholds are evaluated against.
    virtual void GenJsonData();

    // Reads one threshold set of a "thresholdSetting" entry into a table.
    static void ParseThresholdSet(const Json::Value& entry, const std::string& signal_name,
                                  const std::string& id, const char* value_key,
                                  const char* recover_key, const char* level_key,
                                  const char* suffix, ThresholdMap& table);
    // Evaluates one limit table with hysteresis and reports every entry.
    int CheckSignalThresholdMap(ThresholdMap& table, bool upper);
    // Analog report of a signal, with the template's setting for a new signal.
    using ProtocolT::CheckAOReport;
    bool CheckAOReport(const std::string& template_id, const std::string& analog_id, float value);
    // Mode 1 evaluation of the [AI] table against the snapshot.
    void CheckAiMap();

    // State, in declaration order.
    DataT cData;
    int b_mode_;
    std::map<std::string, std::string> mobile_map_;
    std::map<std::string, std::string> signal_name_map_;
    std::map<std::string, std::string> alarm_map_;
    ThresholdMap up_map_;
    ThresholdMap up2_map_;
    ThresholdMap low_map_;
    ThresholdMap low2_map_;
    std::mutex data_mutex_;
    Json::Value json_data_;
    std::map<std::string, std::pair<std::string, std::string>> ai_map_;

    // The host reads the live record, the data-ready flag and the last-round
    // time from its own threads while the frame thread writes them: every
    // write, and every read from another thread, holds this guard, only for
    // one record copy or one lookup.
    mutable std::mutex record_guard_;
    // Keeps the host's Reset, control and cache calls from other threads out
    // of a frame (and so a round) in progress; taken again by RoundDone's
    // own Reset call.
    std::recursive_mutex call_guard_;

   protected:
    int process_payload() override = 0;
};

extern template class VeltraDataDevice<veltra_quelm_k418t_419_Data_t, PMBusProtocol, 5535>;
