#include "plugin/polling_driver.h"

#include <cstring>
#include <mutex>

#include "plugin/status_alarm_rules.h"

// "has_ac" and "has_dc" keep the family's defaults (AC on, DC off): a master
// polls the DC distribution only when the configuration says it is there.
// The protocol version is the gateway's "protocol_version" (0x20 unless set).
Veltra_Quelm_K418T_419_Polling::Veltra_Quelm_K418T_419_Polling() {
    device_type_ = "veltra_quelm_k418t_419";
    baud_rate_ = 9600;
    serial_flag_ = 1;
}

Veltra_Quelm_K418T_419_Polling::~Veltra_Quelm_K418T_419_Polling() = default;

void Veltra_Quelm_K418T_419_Polling::RunCheckThreshold() {
    Family::RunCheckThreshold();
    // The decoders write the live record under its guard; the rules read a
    // copy so that no lookup from another thread waits on the host's calls.
    veltra_quelm_k418t_419_Data_t record;
    {
        std::lock_guard<std::mutex> guard(record_guard_);
        std::memcpy(static_cast<void*>(&record), &cData, sizeof record);
    }
    check_status_alarms(*this, record, alarm_seq_);
}

void Veltra_Quelm_K418T_419_Polling::SetFloatingPoint(bool floating_point) {
    use_float_ = floating_point;
}

void Veltra_Quelm_K418T_419_Polling::SetProtocolVersion(uint8_t version) {
    protocol_ver_ = version;
}
