// Following the line: which response comes next, opening and closing rounds.

#include "plugin/veltra_quelm_k418t_419.h"

int Veltra_Quelm_K418T_419::RefreshStatus() {
    refresh_status_ = 0;
    return 1;
}

int Veltra_Quelm_K418T_419::process_error() {
    expected_response_ = 0;
    return 1;
}

int Veltra_Quelm_K418T_419::command_for(unsigned char cid1, unsigned char cid2) const {
    (void)cid1;
    (void)cid2;
    return 13;
}

bool Veltra_Quelm_K418T_419::response_matches(unsigned char cid1) const {
    (void)cid1;
    return false;
}

void Veltra_Quelm_K418T_419::start_round() {}

int Veltra_Quelm_K418T_419::finish_round() {
    expected_response_ = 0;
    return 1;
}

int Veltra_Quelm_K418T_419::process_payload() { return 1; }
