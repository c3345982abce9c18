#pragma once
// The capture-mode driver: follows another master's polls on the line,
// collects one data round between the 0x42/0x44 command and the response to
// 0xE1/0x90, and completes it as the live record.

#include <cstdint>

#include "pmbuspower/pmbuspower_419.h"
#include "record/veltra_record.h"

class Veltra_Quelm_K418T_419 : public pmbuspower_419<veltra_quelm_k418t_419_Data_t, 5535> {
   public:
    using Family = pmbuspower_419<veltra_quelm_k418t_419_Data_t, 5535>;

    Veltra_Quelm_K418T_419();
    ~Veltra_Quelm_K418T_419() override;

    int RefreshStatus() override;
    void RunCheckThreshold() override;

    // Classification of command frames; 13 for a pair the capture does not follow.
    int command_for(unsigned char cid1, unsigned char cid2) const;
    // Whether a response with this CID1 answers the expected command.
    bool response_matches(unsigned char cid1) const;
    void start_round();
    // Copies the round buffer into the live record and completes the round.
    int finish_round();

    // Capture decoders: info points at DATAFLAG, length is the INFO byte
    // count; the result is the bytes consumed or -1 for a rejected payload.
    int parse40_41_capture(const unsigned char* info, int length);
    int parse40_44_capture(const unsigned char* info, int length);
    int parse41_41_capture(const unsigned char* info, int length);
    int parse41_43_capture(const unsigned char* info, int length);
    int parse41_44_capture(const unsigned char* info, int length);
    int parse42_41_capture(const unsigned char* info, int length);
    int parse42_44_capture(const unsigned char* info, int length);

    int expected_response_;
    bool round_open_;
    veltra_quelm_k418t_419_Data_t round_data_;

    int process_payload() override;
    int process_error() override;
};
