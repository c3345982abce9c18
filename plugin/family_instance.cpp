// The one instantiation of the driver family for this record type. Each
// concern's member definitions are in its own .ipp file.

#include "datadevice/construction.ipp"
#include "datadevice/round_done.ipp"
#include "datadevice/threshold_eval.ipp"
#include "datadevice/threshold_files.ipp"
#include "datadevice/veltra_data_device.h"
#include "pmbuspower/alarm_rules.ipp"
#include "pmbuspower/comm_alarm.ipp"
#include "pmbuspower/construction.ipp"
#include "pmbuspower/control.ipp"
#include "pmbuspower/json_snapshot.ipp"
#include "pmbuspower/pmbuspower_419.h"
#include "pmbuspower/poll_decoders_ac.ipp"
#include "pmbuspower/poll_decoders_dc.ipp"
#include "pmbuspower/poll_decoders_rc.ipp"
#include "pmbuspower/poll_sequence.ipp"
#include "pmbuspower/settings.ipp"
#include "pmbuspower/value_lookup.ipp"

template class VeltraDataDevice<veltra_quelm_k418t_419_Data_t, PMBusProtocol, 5535>;
template class pmbuspower_419<veltra_quelm_k418t_419_Data_t, 5535>;
