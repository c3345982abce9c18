// Rectifier responses decoded into the round buffer, with a progress log per module.
//
// 0x41/0x41, two modules, the second with two user-defined values (24 bytes):
//   FF 00005642 02 | 0000A040 00 | 0000A040 02 0000803F 00000040
//   flag out_v N   | out_i P0    | out_i P1 p41_41[0] p41_41[1]
// 0x41/0x43, one module: FF 01 | 00 00 00 00 (shutdown i_limit charge P0, P0 states)
// 0x41/0x44, one module: FF 01 | 00 00 (fault P0, P0 codes)

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "datadevice/driver_log.h"
#include "plugin/capture_log.h"
#include "plugin/payload_reader.h"
#include "plugin/veltra_quelm_k418t_419.h"
#include "record/record_dump.h"

namespace {

const std::string kClass = "Veltra_Quelm_K418T_419::";
constexpr size_t kStates = veltra_rc_channel_t::P41_43_SIZE();
constexpr size_t kCodes = veltra_rc_channel_t::P41_44_SIZE();

// Reads the state or alarm response of all modules straight into the round buffer. The
// module head is read by read_head, which logs the module's own line and returns its
// user-defined count through count, or false when the payload ends.
template <class ReadHead, class Codes>
int parse_module_codes(veltra_quelm_k418t_419_Data_t& rec, const char* name,
                       const unsigned char* info, int length, ReadHead read_head, Codes codes) {
    const std::string t = kClass + name;
    PayloadReader r(info, length);
    veltra::LogLine() << t << " begin data_len=" << length;
    uint8_t flag = 0;
    uint8_t modules = 0;
    if (!r.read_byte(flag) || !r.read_byte(modules)) return -1;
    veltra::LogLine() << t << " header flag=" << flag << " channel_count=" << modules
                      << " used=" << r.used(length);
    if (modules > kRcChannels) return -1;
    const std::string progress = std::string(name) + " channel";
    const std::string dump_prefix = t + " channel";
    for (uint8_t j = 0; j < modules; ++j) {
        veltra_rc_channel_t& ch = rec.channels[j];
        uint8_t count = 0;
        if (!read_head(r, ch, count)) return -1;
        log_progress(progress, length, r.used(length), modules, j);
        read_head.log(t, ch, count);
        if (!codes(r, ch, count)) return -1;
        dump_rc_channel(ch, dump_prefix);
    }
    veltra::LogLine() << t << " complete used=" << r.used(length)
                      << " remaining=" << (length - r.used(length));
    return r.used(length);
}

struct StateHead {
    bool operator()(PayloadReader& r, veltra_rc_channel_t& ch, uint8_t& count) const {
        return r.read_byte(ch.shutdown) && r.read_byte(ch.i_limit) && r.read_byte(ch.charge) &&
               r.read_byte(count);
    }
    void log(const std::string& t, const veltra_rc_channel_t& ch, uint8_t count) const {
        veltra::LogLine() << t << " shutdown=" << ch.shutdown << " i_limit=" << ch.i_limit
                          << " charge=" << ch.charge << " p41_43_count=" << count;
    }
};

struct AlarmHead {
    bool operator()(PayloadReader& r, veltra_rc_channel_t& ch, uint8_t& count) const {
        return r.read_byte(ch.fault) && r.read_byte(count);
    }
    void log(const std::string& t, const veltra_rc_channel_t& ch, uint8_t count) const {
        veltra::LogLine() << t << " fault=" << ch.fault << " p41_44_count=" << count;
    }
};

}  // namespace

int Veltra_Quelm_K418T_419::parse41_41_capture(const unsigned char* info, int length) {
    const std::string t = kClass + "parse41_41_capture";
    constexpr size_t kUserValues = veltra_rc_channel_t::P41_41_SIZE();
    // Decoded into a private copy: the round buffer changes only for a whole, exact payload.
    std::array<veltra_rc_channel_t, kRcChannels> modules_out{};
    PayloadReader r(info, length);
    veltra::LogLine() << t << " begin data_len=" << length;
    uint8_t flag = 0;
    float out_v = 0.0f;
    uint8_t modules = 0;
    if (!r.read_byte(flag) || !r.read_word(&out_v) || !r.read_byte(modules)) return -1;
    veltra::LogLine() << t << " header flag=" << flag << " out_v=" << out_v
                      << " channel_count=" << modules << " used=" << r.used(length);
    if (modules > kRcChannels) return -1;
    const std::string progress = "parse41_41_capture channel";
    const std::string dump_prefix = t + " channel";
    for (uint8_t j = 0; j < modules; ++j) {
        veltra_rc_channel_t& e = modules_out[j];
        uint8_t count = 0;
        if (!r.read_word(&e.out_i) || !r.read_byte(count)) return -1;
        log_progress(progress, length, r.used(length), modules, j);
        veltra::LogLine() << t << " out_i=" << static_cast<float>(e.out_i)
                          << " p41_41_count=" << count;
        // An oversized list is refused rather than truncated.
        if (count > kUserValues) return -1;
        e.p41_41_count = count;
        veltra::LogLine() << "before call read float values channel.p41_41_count:" << count;
        dump_rc_channel(e, dump_prefix);
        float scratch[kUserValues] = {};
        if (!r.read_words(count, scratch, kUserValues)) return -1;
        std::memcpy(e.p41_41, scratch, sizeof scratch);
        veltra::LogLine() << "after call read float values channel.p41_41_count:" << count;
        dump_rc_channel(e, dump_prefix);
    }
    if (r.used(length) != length) {
        veltra::LogLine() << t << " reject trailing_bytes=" << (length - r.used(length));
        return -1;
    }
    veltra::LogLine() << t << " complete used=" << r.used(length);
    round_data_.out_v = out_v;
    round_data_.channel_count = modules;
    std::memcpy(static_cast<void*>(round_data_.channels), modules_out.data(),
                sizeof round_data_.channels);
    return length;
}

int Veltra_Quelm_K418T_419::parse41_43_capture(const unsigned char* info, int length) {
    return parse_module_codes(round_data_, "parse41_43_capture", info, length, StateHead{},
                              [](PayloadReader& r, veltra_rc_channel_t& ch, uint8_t count) {
                                  ch.p41_43_count =
                                      static_cast<uint8_t>(std::min<size_t>(count, kStates));
                                  return r.read_bytes(count, ch.p41_43, kStates);
                              });
}

int Veltra_Quelm_K418T_419::parse41_44_capture(const unsigned char* info, int length) {
    return parse_module_codes(round_data_, "parse41_44_capture", info, length, AlarmHead{},
                              [](PayloadReader& r, veltra_rc_channel_t& ch, uint8_t count) {
                                  ch.p41_44_count =
                                      static_cast<uint8_t>(std::min<size_t>(count, kCodes));
                                  return r.read_bytes(count, ch.p41_44, kCodes);
                              });
}
