#include "tools/common/frame_builder.h"

#include <cstring>

#include "host/frame_codec.h"

namespace veltra_frames {

namespace {

constexpr uint8_t kRoundDataflag = 0xFF;  // INFO of the 0x42/0x44 command

void append_count(Bytes& out, size_t n) { out.push_back(static_cast<uint8_t>(n)); }

void append_floats(Bytes& out, const std::vector<float>& values) {
    append_count(out, values.size());
    for (float v : values) append_f32(out, v);
}

void append_codes(Bytes& out, const Bytes& codes) {
    append_count(out, codes.size());
    out.insert(out.end(), codes.begin(), codes.end());
}

// DATAFLAG, the number of items, then one block per item.
template <class Item, class Block>
Bytes counted_blocks(uint8_t dataflag, const std::vector<Item>& items, Block block) {
    Bytes out{dataflag};
    append_count(out, items.size());
    for (const Item& item : items) block(out, item);
    return out;
}

}  // namespace

void append_f32(Bytes& out, float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(bits >> shift));
}

Bytes info40_41(const PlantSnapshot& s) {
    Bytes out{s.dataflag};
    append_count(out, s.ac.inputs.size());
    for (const AcInput& in : s.ac.inputs) {
        for (float v : {in.a, in.b, in.c, in.f}) append_f32(out, v);
        append_floats(out, in.user_values);
    }
    for (float v : {s.ac.ia, s.ac.ib, s.ac.ic}) append_f32(out, v);
    return out;
}

Bytes info40_44(const PlantSnapshot& s) {
    Bytes out{s.dataflag};
    append_count(out, s.ac.inputs.size());
    for (const AcInput& in : s.ac.inputs) {
        out.insert(out.end(), {in.alert_a, in.alert_b, in.alert_c, in.alert_f});
        append_codes(out, in.further_states);
        append_codes(out, in.user_alarms);
    }
    out.insert(out.end(), {s.ac.ia_alert, s.ac.ib_alert, s.ac.ic_alert});
    return out;
}

Bytes info41_41(const PlantSnapshot& s) {
    Bytes out{s.dataflag};
    append_f32(out, s.out_v);
    append_count(out, s.modules.size());
    for (const RectifierModule& m : s.modules) {
        append_f32(out, m.out_i);
        append_floats(out, m.user_values);
    }
    return out;
}

Bytes info41_43(const PlantSnapshot& s) {
    return counted_blocks(s.dataflag, s.modules, [](Bytes& out, const RectifierModule& m) {
        out.insert(out.end(), {m.shutdown, m.i_limit, m.charge});
        append_codes(out, m.user_states);
    });
}

Bytes info41_44(const PlantSnapshot& s) {
    return counted_blocks(s.dataflag, s.modules, [](Bytes& out, const RectifierModule& m) {
        out.push_back(m.fault);
        append_codes(out, m.user_alarms);
    });
}

Bytes info42_41(const PlantSnapshot& s) {
    return counted_blocks(s.dataflag, s.panels, [](Bytes& out, const DcPanel& p) {
        append_f32(out, p.v);
        append_f32(out, p.i);
        append_floats(out, p.currents);
        append_floats(out, p.branch_currents);
        append_floats(out, p.user_values);
    });
}

Bytes info42_44(const PlantSnapshot& s) {
    return counted_blocks(s.dataflag, s.panels, [](Bytes& out, const DcPanel& p) {
        out.push_back(p.alert_v);
        append_codes(out, p.fuses);
        append_codes(out, p.user_alarms);
    });
}

std::string command_frame(const LineAddress& at, uint8_t cid1, uint8_t cid2, const Bytes& info) {
    return smd::encode_frame(at.ver, at.adr, cid1, cid2, info.data(), info.size());
}

std::string response_frame(const LineAddress& at, uint8_t cid1, const Bytes& info, uint8_t rtn) {
    return smd::encode_frame(at.ver, at.adr, cid1, rtn, info.data(), info.size());
}

std::vector<Exchange> round_exchanges(const PlantSnapshot& s) {
    return {
        {0x42, 0x44, {kRoundDataflag}, info42_44(s)},
        {0x40, 0x41, {}, info40_41(s)},
        {0x40, 0x44, {}, info40_44(s)},
        {0x41, 0x41, {}, info41_41(s)},
        {0x41, 0x43, {}, info41_43(s)},
        {0x41, 0x44, {}, info41_44(s)},
        {0x42, 0x41, {}, info42_41(s)},
        {0xE1, 0x81, {}, {s.dataflag}},
        {0xE1, 0xF7, {}, {s.dataflag}},
        {0xE1, 0x90, {}, {s.dataflag}},
    };
}

std::string round_text(const PlantSnapshot& s, const LineAddress& at) {
    std::string out;
    for (const Exchange& e : round_exchanges(s)) {
        out += command_frame(at, e.cid1, e.cid2, e.command_info);
        out += response_frame(at, e.cid1, e.response_info);
    }
    return out;
}

}  // namespace veltra_frames
