// Alarm rules of the capture driver: AC status bytes and rectifier alarm
// bytes of the round buffer, after the family's rules. Every call carries the
// running alarm sequence, so each instance keeps its number from round to
// round while the counts stay the same.

#include "plugin/status_alarm_rules.h"
#include "plugin/veltra_quelm_k418t_419.h"

void Veltra_Quelm_K418T_419::RunCheckThreshold() {
    Family::RunCheckThreshold();
    check_status_alarms(*this, round_data_, alarm_seq_);
}
