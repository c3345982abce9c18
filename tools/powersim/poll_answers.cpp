#include "tools/powersim/poll_answers.h"

#include <cmath>

#include "tools/powersim/line_traffic.h"

namespace powersim {

namespace {

using veltra_frames::Bytes;
using veltra_frames::PlantSnapshot;

constexpr uint8_t kAllGroups = 0xFF;
constexpr uint8_t kOneTower = 1;
constexpr uint8_t kNoTower = 0;
// p41_41 holds seven values.
constexpr unsigned kRectifierValues = 7;

void append_count(Bytes& out, size_t n) { out.push_back(static_cast<uint8_t>(n)); }

void append_u16(Bytes& out, unsigned v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

// A two-byte value whose bytes are equal and non-zero reads as "no value";
// one hundredth (or one unit) more keeps it a value.
unsigned wire_u16(double v) {
    long n = std::lround(v);
    if (n < 0) n = 0;
    if (n > 0xFFFF) n = 0xFFFF;
    unsigned u = static_cast<unsigned>(n);
    if ((u >> 8) == (u & 0xFF) && (u >> 8) != 0) u = u == 0xFFFF ? 0xFFFE : u + 1;
    return u;
}

float hundredths(float v) { return static_cast<float>(wire_u16(v * 100.0) / 100.0); }
float whole(float v) { return static_cast<float>(wire_u16(v)); }

void append_hundredths(Bytes& out, float v) { append_u16(out, wire_u16(v * 100.0)); }

void append_f32s(Bytes& out, const std::vector<float>& values) {
    append_count(out, values.size());
    for (float v : values) veltra_frames::append_f32(out, v);
}

void append_wholes(Bytes& out, const std::vector<float>& values) {
    append_count(out, values.size());
    for (float v : values) append_u16(out, wire_u16(v));
}

void append_codes(Bytes& out, const Bytes& codes) {
    append_count(out, codes.size());
    out.insert(out.end(), codes.begin(), codes.end());
}

float tower_value(const veltra_frames::RectifierModule& m) {
    return m.user_values.empty() ? 0.0f : m.user_values.front();
}

Bytes ac_analog(const PlantSnapshot& s, bool fixed, const PollLayout& l) {
    Bytes out{s.dataflag};
    append_count(out, s.ac.inputs.size());
    for (const auto& in : s.ac.inputs) {
        if (fixed) {
            for (float v : {in.a, in.b, in.c, in.f}) append_hundredths(out, v);
            append_wholes(out, in.user_values);
            continue;
        }
        for (float v : {in.a, in.b, in.c, in.f}) veltra_frames::append_f32(out, v);
        if (l.towers) {
            append_count(out, kOneTower);
            veltra_frames::append_f32(out, in.a);  // the input's tower reading
        }
        append_f32s(out, in.user_values);
    }
    for (float v : {s.ac.ia, s.ac.ib, s.ac.ic}) {
        if (fixed)
            append_hundredths(out, v);
        else
            veltra_frames::append_f32(out, v);
    }
    return out;
}

Bytes ac_states(const PlantSnapshot& s, const PollLayout& l) {
    // No breaker states (the record keeps none), three further states, all normal.
    Bytes out{s.dataflag, 0};
    if (l.towers) out.insert(out.end(), {kOneTower, 0});
    out.insert(out.end(), {3, 0, 0, 0});
    return out;
}

Bytes ac_alarms(const PlantSnapshot& s, const PollLayout& l) {
    Bytes out{s.dataflag};
    append_count(out, s.ac.inputs.size());
    for (const auto& in : s.ac.inputs) {
        out.insert(out.end(), {in.alert_a, in.alert_b, in.alert_c, in.alert_f});
        append_codes(out, in.further_states);
        if (l.towers) out.push_back(kNoTower);
        append_codes(out, in.user_alarms);
    }
    out.insert(out.end(), {s.ac.ia_alert, s.ac.ib_alert, s.ac.ic_alert});
    return out;
}

Bytes rc_analog(const PlantSnapshot& s, bool fixed, const PollLayout& l) {
    Bytes out{s.dataflag};
    if (fixed)
        append_hundredths(out, s.out_v);
    else
        veltra_frames::append_f32(out, s.out_v);
    append_count(out, s.modules.size());
    for (const auto& m : s.modules) {
        if (fixed) {
            append_hundredths(out, m.out_i);
            append_wholes(out, m.user_values);
            continue;
        }
        veltra_frames::append_f32(out, m.out_i);
        if (l.towers) {
            append_count(out, kOneTower);
            veltra_frames::append_f32(out, tower_value(m));
        }
        append_f32s(out, m.user_values);
    }
    return out;
}

Bytes rc_states(const PlantSnapshot& s, const PollLayout& l) {
    Bytes out{s.dataflag};
    append_count(out, s.modules.size());
    for (const auto& m : s.modules) {
        out.insert(out.end(), {m.shutdown, m.i_limit, m.charge});
        if (l.towers) out.insert(out.end(), {kOneTower, 0});
        append_codes(out, m.user_states);
    }
    return out;
}

Bytes rc_alarms(const PlantSnapshot& s, const PollLayout& l) {
    Bytes out{s.dataflag};
    append_count(out, s.modules.size());
    for (const auto& m : s.modules) {
        out.push_back(m.fault);
        if (l.towers) out.push_back(kNoTower);
        append_codes(out, m.user_alarms);
    }
    return out;
}

// DATAFLAG, then the panel count unless the layout has none, then the panels.
Bytes dc_head(const PlantSnapshot& s, const PollLayout& l) {
    Bytes out{s.dataflag};
    if (l.panel_count) append_count(out, s.panels.size());
    return out;
}

size_t dc_panels(const PlantSnapshot& s, const PollLayout& l) {
    return l.panel_count ? s.panels.size() : std::min<size_t>(1, s.panels.size());
}

Bytes dc_analog(const PlantSnapshot& s, bool fixed, const PollLayout& l) {
    Bytes out = dc_head(s, l);
    for (size_t k = 0; k < dc_panels(s, l); ++k) {
        const auto& p = s.panels[k];
        if (fixed) {
            append_hundredths(out, p.v);
            append_hundredths(out, p.i);
            append_count(out, p.currents.size());
            for (float c : p.currents) append_hundredths(out, c);
            append_count(out, p.branch_currents.size());
            for (float c : p.branch_currents) append_hundredths(out, c);
            append_wholes(out, p.user_values);
            continue;
        }
        veltra_frames::append_f32(out, p.v);
        veltra_frames::append_f32(out, p.i);
        append_f32s(out, p.currents);
        append_f32s(out, p.branch_currents);
        append_f32s(out, p.user_values);
    }
    return out;
}

Bytes dc_alarms(const PlantSnapshot& s, const PollLayout& l) {
    Bytes out = dc_head(s, l);
    for (size_t k = 0; k < dc_panels(s, l); ++k) {
        const auto& p = s.panels[k];
        out.push_back(p.alert_v);
        append_codes(out, p.fuses);
        append_codes(out, p.user_alarms);
    }
    return out;
}

}  // namespace

bool poll_answer(const PlantSnapshot& snapshot, uint8_t cid1, uint8_t cid2,
                 const Bytes& command_info, const PollLayout& layout, Bytes& out) {
    const bool fixed = cid2 == 0x42 && (cid1 == 0x40 || cid1 == 0x41 || cid1 == 0x42);
    const PlantSnapshot s = fixed ? fixed_point_view(snapshot) : snapshot;
    switch (static_cast<uint16_t>(cid1 << 8 | cid2)) {
        case 0x4041:
        case 0x4042:
            out = ac_analog(s, fixed, layout);
            break;
        case 0x4043:
            out = ac_states(s, layout);
            break;
        case 0x4044:
            out = ac_alarms(s, layout);
            break;
        case 0x4141:
        case 0x4142:
            out = rc_analog(s, fixed, layout);
            break;
        case 0x4143:
            out = rc_states(s, layout);
            break;
        case 0x4144:
            out = rc_alarms(s, layout);
            break;
        case 0x4241:
        case 0x4242:
            out = dc_analog(s, fixed, layout);
            break;
        case 0x4244:
            out = dc_alarms(s, layout);
            break;
        case 0xE181:
        case 0xE1F7:
        case 0xE190:
            out = {s.dataflag};
            break;
        default:
            return false;
    }
    // Asked for all groups, the AC responses carry the group byte after DATAFLAG.
    if (cid1 == 0x40 && command_info.size() == 1 && command_info[0] == kAllGroups && !out.empty())
        out.insert(out.begin() + 1, kAllGroups);
    return true;
}

bool is_control_command(uint8_t cid1, uint8_t cid2) {
    return (cid1 == 0x41 && (cid2 == 0x4E || cid2 == 0x45)) ||
           (cid1 == 0x42 && (cid2 == 0x48 || cid2 == 0x49));
}

PlantSnapshot fixed_point_view(const PlantSnapshot& in) {
    PlantSnapshot s = in;
    for (auto& i : s.ac.inputs) {
        for (float* v : {&i.a, &i.b, &i.c, &i.f}) *v = hundredths(*v);
        for (float& u : i.user_values) u = whole(u);
    }
    for (float* v : {&s.ac.ia, &s.ac.ib, &s.ac.ic, &s.out_v}) *v = hundredths(*v);
    for (auto& m : s.modules) {
        m.out_i = hundredths(m.out_i);
        for (float& u : m.user_values) u = whole(u);
    }
    for (auto& p : s.panels) {
        p.v = hundredths(p.v);
        p.i = hundredths(p.i);
        for (float& c : p.currents) c = hundredths(c);
        for (float& c : p.branch_currents) c = hundredths(c);
        for (float& u : p.user_values) u = whole(u);
    }
    return s;
}

Json::Value polled_snapshot_json(const PlantSnapshot& plant, const PollLayout& layout,
                                 bool fixed) {
    const PlantSnapshot s = fixed ? fixed_point_view(plant) : plant;
    Json::Value j = snapshot_json(s);
    if (layout.towers && !fixed) {
        // The tower value goes to p41_41[0], the user-defined values after it;
        // the record's count stays that of the user-defined values, so the
        // list as the record shows it loses its last value.
        for (Json::ArrayIndex m = 0; m < j["channels"].size(); ++m) {
            Json::Value& values = j["channels"][m]["p41_41"];
            Json::Value shifted(Json::arrayValue);
            if (!values.empty()) shifted.append(tower_value(s.modules[m]));
            for (Json::ArrayIndex k = 0; k + 1 < values.size() && shifted.size() < kRectifierValues;
                 ++k)
                shifted.append(values[k]);
            values = shifted;
        }
    }
    if (!layout.panel_count && j.isMember("dc2")) {
        j.removeMember("dc2");
        j["dc_number"] = 1;
    }
    return j;
}

}  // namespace powersim
