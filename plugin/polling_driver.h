#pragma once
// The polling driver: the driver family as the only master on its line. It
// keeps the family's own poll sequence (RefreshStatus, process_payload) and
// decoders, is built like the capture driver in everything else (device type,
// line settings), and after the family's alarm rules runs the status-byte
// rules on the live record, as the capture driver does on its round buffer.

#include <cstdint>

#include "host/polling_options.h"
#include "pmbuspower/pmbuspower_419.h"
#include "record/veltra_record.h"

class Veltra_Quelm_K418T_419_Polling : public pmbuspower_419<veltra_quelm_k418t_419_Data_t, 5535>,
                                       public PollingOptions {
   public:
    using Family = pmbuspower_419<veltra_quelm_k418t_419_Data_t, 5535>;

    Veltra_Quelm_K418T_419_Polling();
    ~Veltra_Quelm_K418T_419_Polling() override;

    void RunCheckThreshold() override;

    void SetFloatingPoint(bool floating_point) override;
    void SetProtocolVersion(uint8_t version) override;
};
