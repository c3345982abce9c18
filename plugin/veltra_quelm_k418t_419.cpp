#include "plugin/veltra_quelm_k418t_419.h"

#include <cstring>

Veltra_Quelm_K418T_419::Veltra_Quelm_K418T_419() : expected_response_(0), round_open_(false) {
    std::memset(static_cast<void*>(&round_data_), 0, sizeof round_data_);
    device_type_ = "veltra_quelm_k418t_419";
    baud_rate_ = 9600;
    serial_flag_ = 1;
    protocol_ver_ = 0x21;
    has_ac = true;
    has_dc = true;
}

Veltra_Quelm_K418T_419::~Veltra_Quelm_K418T_419() = default;
