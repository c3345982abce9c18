// DC distribution responses decoded into the two DC panels of the round buffer.
//
// 0x42/0x41, one panel with one current and nothing else (17 bytes):
//   FF 01 | 00005642 00004843 01 00004843 00 00
//   flag G | v i m dc_i[0] n p
// 0x42/0x44, one panel with two fuses (7 bytes):
//   FF 01 | 00 02 00 01 00
//   flag G | alert_v m alert_m[0] alert_m[1] p

#include <algorithm>
#include <cstring>

#include "plugin/payload_reader.h"
#include "plugin/veltra_quelm_k418t_419.h"

namespace {

constexpr uint8_t kMaxPanels = 2;

// A counted float list. The kept count is written before the list is read; the values are
// copied only once the whole list has been read, with the slots beyond them zero.
template <size_t Capacity>
bool read_float_list(PayloadReader& r, uint8_t& kept, void* dest) {
    uint8_t count = 0;
    if (!r.read_byte(count)) return false;
    kept = static_cast<uint8_t>(std::min<size_t>(count, Capacity));
    float scratch[Capacity > 0 ? Capacity : 1] = {};
    if (!r.read_words(count, scratch, Capacity)) return false;
    std::memcpy(dest, scratch, Capacity * sizeof(float));
    return true;
}

// A counted list of alarm codes, stored as read; codes beyond the capacity are dropped.
template <size_t Capacity>
bool read_code_list(PayloadReader& r, uint8_t& kept, uint8_t* dest) {
    uint8_t count = 0;
    if (!r.read_byte(count)) return false;
    kept = static_cast<uint8_t>(std::min<size_t>(count, Capacity));
    return r.read_bytes(count, dest, Capacity);
}

bool parse_dc_analog_panel(PayloadReader& r, veltra_dc_t& s) {
    return r.read_word(&s.v) && r.read_word(&s.i) &&
           read_float_list<veltra_dc_t::M_SIZE()>(r, s.m, s.dc_i) &&
           read_float_list<veltra_dc_t::N_SIZE()>(r, s.n, s.channel) &&
           read_float_list<veltra_dc_t::P_SIZE()>(r, s.p_count, s.p);
}

bool parse_dc_alarm_panel(PayloadReader& r, veltra_dc_t& s) {
    return r.read_byte(s.alert_v) &&
           read_code_list<veltra_dc_t::ALERT_M_SIZE()>(r, s.alert_m_count, s.alert_m) &&
           read_code_list<veltra_dc_t::ALERT_P_SIZE()>(r, s.alert_p_count, s.alert_p);
}

// The frame around the panel blocks; the panel count becomes dc_number before the blocks
// are read.
template <class PanelParser>
int parse_dc_panels(veltra_quelm_k418t_419_Data_t& rec, uint32_t& dc_number,
                    const unsigned char* info, int length, PanelParser parse_panel) {
    PayloadReader r(info, length);
    uint8_t flag = 0;
    uint8_t panels = 0;
    if (!r.read_byte(flag) || !r.read_byte(panels)) return -1;
    if (panels == 0 || panels > kMaxPanels) return -1;
    dc_number = panels;
    for (uint8_t g = 0; g < panels; ++g) {
        if (!parse_panel(r, g == 0 ? rec.dc : rec.dc2)) return -1;
    }
    return r.used(length);
}

}  // namespace

int Veltra_Quelm_K418T_419::parse42_41_capture(const unsigned char* info, int length) {
    return parse_dc_panels(round_data_, dc_number, info, length, parse_dc_analog_panel);
}

int Veltra_Quelm_K418T_419::parse42_44_capture(const unsigned char* info, int length) {
    return parse_dc_panels(round_data_, dc_number, info, length, parse_dc_alarm_panel);
}
