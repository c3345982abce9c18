// AC distribution responses decoded into the round buffer.
//
// 0x40/0x41, one input without user-defined values (31 bytes):
//   FF 01 | 00005C43 00005C43 00005C43 00004842 00 | 0000A041 0000A041 0000A041
//   flag M | a=220 b c f=50, P0, P0 floats         | ia=20 ib ic
// 0x40/0x44, one input (14 bytes + K0 + P0):
//   FF 01 | 00 00 00 00 00 00 | 00 00 00
//   flag M | alert a b c f, K0, K0 bytes, P0, P0 codes | current alarms a b c

#include <algorithm>

#include "plugin/payload_reader.h"
#include "plugin/veltra_quelm_k418t_419.h"

int Veltra_Quelm_K418T_419::parse40_41_capture(const unsigned char* info, int length) {
    PayloadReader r(info, length);
    uint8_t flag = 0;
    uint8_t inputs = 0;
    if (!r.read_byte(flag) || !r.read_byte(inputs)) return -1;
    if (inputs > kAcChannels) return -1;
    round_data_.ac.channel_count = inputs;
    for (uint8_t i = 0; i < inputs; ++i) {
        veltra_ac_channel_t& ch = round_data_.ac_channels[i];
        if (!r.read_word(&ch.a) || !r.read_word(&ch.b) || !r.read_word(&ch.c) ||
            !r.read_word(&ch.f)) {
            return -1;
        }
        uint8_t user_values = 0;
        if (!r.read_byte(user_values)) return -1;
        ch.p40_41_count =
            static_cast<uint8_t>(std::min<size_t>(user_values, veltra_ac_channel_t::P40_41_SIZE()));
        if (!r.read_words(user_values)) return -1;
    }
    veltra_ac_t& ac = round_data_.ac;
    if (!r.read_word(&ac.ia) || !r.read_word(&ac.ib) || !r.read_word(&ac.ic)) return -1;
    return r.used(length);
}

int Veltra_Quelm_K418T_419::parse40_44_capture(const unsigned char* info, int length) {
    PayloadReader r(info, length);
    uint8_t flag = 0;
    uint8_t inputs = 0;
    if (!r.read_byte(flag) || !r.read_byte(inputs)) return -1;
    if (inputs > kAcChannels) return -1;
    for (uint8_t i = 0; i < inputs; ++i) {
        veltra_ac_channel_t& ch = round_data_.ac_channels[i];
        if (!r.read_byte(ch.alert_a) || !r.read_byte(ch.alert_b) || !r.read_byte(ch.alert_c) ||
            !r.read_byte(ch.alert_f)) {
            return -1;
        }
        uint8_t further_states = 0;
        if (!r.read_byte(further_states) || !r.skip(further_states)) return -1;
        uint8_t user_codes = 0;
        if (!r.read_byte(user_codes)) return -1;
        constexpr size_t kCodes = veltra_ac_channel_t::p40_44_SIZE();
        ch.p40_44_count = static_cast<uint8_t>(std::min<size_t>(user_codes, kCodes));
        if (!r.read_bytes(user_codes, ch.p40_44, kCodes)) return -1;
    }
    veltra_ac_t& ac = round_data_.ac;
    if (!r.read_byte(ac.ia_alert) || !r.read_byte(ac.ib_alert) || !r.read_byte(ac.ic_alert)) {
        return -1;
    }
    return r.used(length);
}
