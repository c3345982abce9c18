#pragma once
// The status-byte alarm rules (AC input status bytes of response 40/44,
// rectifier alarm bytes of response 41/44) on one record. The capture driver
// runs them on its round buffer, the polling driver on its live record, so a
// plant raises the same alarms whichever role the gateway plays.

#include "host/smd_vdevice.h"
#include "record/veltra_record.h"

// One CheckThresholdBool per rule and present instance, in table order; seq
// is the running alarm sequence, advanced after every call.
void check_status_alarms(SMDVDevice& device, const veltra_quelm_k418t_419_Data_t& record,
                         unsigned short& seq);
