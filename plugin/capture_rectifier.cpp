// Rectifier responses decoded into the round buffer.

#include "plugin/veltra_quelm_k418t_419.h"

int Veltra_Quelm_K418T_419::parse41_41_capture(const unsigned char* info, int length) {
    (void)info;
    (void)length;
    return -1;
}

int Veltra_Quelm_K418T_419::parse41_43_capture(const unsigned char* info, int length) {
    (void)info;
    (void)length;
    return -1;
}

int Veltra_Quelm_K418T_419::parse41_44_capture(const unsigned char* info, int length) {
    (void)info;
    (void)length;
    return -1;
}
