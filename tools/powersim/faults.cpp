#include "tools/powersim/faults.h"

#include <algorithm>
#include <cstdlib>

#include "tools/powersim/plant_model.h"

namespace powersim {

namespace {

struct KindName {
    const char* name;
    FaultKind kind;
    int args;  // numbers after the name
};

constexpr KindName kKinds[] = {
    {"mains-fail", FaultKind::MainsFail, 1},
    {"breaker-trip", FaultKind::BreakerTrip, 1},
    {"surge", FaultKind::Surge, 1},
    {"module-fault", FaultKind::ModuleFault, 1},
    {"fan", FaultKind::Fan, 1},
    {"module-off", FaultKind::ModuleOff, 1},
    {"fuse", FaultKind::Fuse, 2},
    {"dc-low", FaultKind::DcLow, 0},
    {"dc-high", FaultKind::DcHigh, 0},
    {"load", FaultKind::Load, 1},
    {"mute", FaultKind::Mute, 1},
    {"module-absent", FaultKind::ModuleAbsent, 1},
};

// The sections a mute fault silences, by the CID1 of their commands.
struct MutedSection {
    const char* name;
    uint8_t cid1;
};
constexpr MutedSection kMutedSections[] = {{"ac", 0x40}, {"rectifiers", 0x41}, {"dc", 0x42}};

// The plant has two AC inputs.
constexpr unsigned kAcInputs = 2;
constexpr float kDcHighVolts = 58.0f;

// AC status bytes and rectifier alarm bytes as the power system codes them.
constexpr uint8_t kTripped = 0x05;
constexpr uint8_t kPowerFail = 0xE1;
constexpr uint8_t kAlarmSet = 0x01;

unsigned parse_count(const std::string& text, const std::string& whole, const char* what) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v == 0 || v > 1000000)
        throw std::invalid_argument("fault \"" + whole + "\": " + what + " \"" + text +
                                    "\" is not a positive number");
    return static_cast<unsigned>(v);
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t pos; (pos = s.find(sep, start)) != std::string::npos; start = pos + 1)
        out.push_back(s.substr(start, pos - start));
    out.push_back(s.substr(start));
    return out;
}

}  // namespace

const char* fault_help() {
    return "mains-fail:INPUT, breaker-trip:INPUT, surge:INPUT, module-fault:N, fan:N, "
           "module-off:N, fuse:PANEL:N, dc-low[:VOLTS], dc-high[:VOLTS], load:AMPS, "
           "mute:ac|rectifiers|dc, module-absent:N";
}

Fault parse_fault(const std::string& text) {
    const auto at = text.rfind('@');
    if (at == std::string::npos)
        throw std::invalid_argument("fault \"" + text + "\" has no @ROUNDS (e.g. fan:3@2-4)");
    const std::vector<std::string> parts = split(text.substr(0, at), ':');
    const KindName* kind = nullptr;
    for (const auto& k : kKinds)
        if (parts[0] == k.name) kind = &k;
    if (!kind)
        throw std::invalid_argument("unknown fault \"" + parts[0] + "\" (known: " + fault_help() +
                                    ")");
    Fault f;
    f.kind = kind->kind;
    const size_t given = parts.size() - 1;
    if (kind->kind == FaultKind::DcLow || kind->kind == FaultKind::DcHigh) {
        if (kind->kind == FaultKind::DcHigh) f.volts = kDcHighVolts;
        if (given > 1)
            throw std::invalid_argument("fault \"" + text + "\": " + kind->name + "[:VOLTS]");
        if (given == 1) {
            char* end = nullptr;
            f.volts = std::strtof(parts[1].c_str(), &end);
            if (parts[1].empty() || *end != '\0')
                throw std::invalid_argument("fault \"" + text + "\": volts \"" + parts[1] +
                                            "\" is not a number");
            // The bus voltage is given as its size, as the power system reports it.
            if (!(f.volts > 0.0f && f.volts <= 100.0f))
                throw std::invalid_argument("fault \"" + text + "\": volts \"" + parts[1] +
                                            "\" must be above 0 and at most 100 (the bus "
                                            "voltage as a magnitude, e.g. 45)");
        }
    } else if (kind->kind == FaultKind::Load) {
        char* end = nullptr;
        f.volts = given == 1 ? std::strtof(parts[1].c_str(), &end) : -1.0f;
        if (given != 1 || parts[1].empty() || *end != '\0' || !(f.volts >= 0.0f && f.volts <= 2000.0f))
            throw std::invalid_argument("fault \"" + text +
                                        "\": load:AMPS with AMPS 0 to 2000 (e.g. load:50@10-)");
    } else if (kind->kind == FaultKind::Mute) {
        if (given != 1)
            throw std::invalid_argument("fault \"" + text + "\": mute:ac, mute:rectifiers or mute:dc");
        for (const MutedSection& m : kMutedSections)
            if (parts[1] == m.name) f.a = m.cid1;
        if (f.a == 0)
            throw std::invalid_argument("fault \"" + text + "\": section \"" + parts[1] +
                                        "\" is none of ac, rectifiers, dc");
    } else {
        if (given != static_cast<size_t>(kind->args))
            throw std::invalid_argument("fault \"" + text + "\" needs " +
                                        std::to_string(kind->args) + " number(s) after " +
                                        kind->name);
        f.a = parse_count(parts[1], text, "target");
        if (kind->args == 2) f.b = parse_count(parts[2], text, "fuse");
    }
    const std::string rounds = text.substr(at + 1);
    const auto dash = rounds.find('-');
    f.from = parse_count(rounds.substr(0, dash), text, "first round");
    if (dash == std::string::npos) {
        f.to = f.from;
    } else if (dash + 1 < rounds.size()) {
        f.to = parse_count(rounds.substr(dash + 1), text, "last round");
        if (f.to < f.from)
            throw std::invalid_argument("fault \"" + text + "\": last round before first");
    }
    return f;
}

void check_fault_fits(const Fault& f, const std::string& text, const PlantLimits& plant) {
    auto beyond = [&](const std::string& what, unsigned n, unsigned limit, const char* option) {
        throw std::invalid_argument("fault \"" + text + "\": " + what + " " + std::to_string(n) +
                                    " is beyond the plant's " + std::to_string(limit) + option);
    };
    switch (f.kind) {
        case FaultKind::MainsFail:
        case FaultKind::BreakerTrip:
        case FaultKind::Surge:
            if (f.a > kAcInputs) beyond("AC input", f.a, kAcInputs, " AC inputs");
            break;
        case FaultKind::ModuleFault:
        case FaultKind::Fan:
        case FaultKind::ModuleOff:
        case FaultKind::ModuleAbsent:
            if (f.a > plant.modules) beyond("module", f.a, plant.modules, " modules (--modules)");
            break;
        case FaultKind::Fuse:
            if (f.a > plant.panels) beyond("DC panel", f.a, plant.panels, " panels (--panels)");
            if (f.b > plant.fuses)
                beyond("fuse", f.b, plant.fuses, " fuses per panel (--fuses)");
            break;
        case FaultKind::DcLow:
        case FaultKind::DcHigh:
        case FaultKind::Load:
        case FaultKind::Mute:
            break;
    }
}

bool muted(const std::vector<Fault>& faults, unsigned round, uint8_t cid1) {
    for (const Fault& f : faults)
        if (f.kind == FaultKind::Mute && f.active_in(round) && f.a == cid1) return true;
    return false;
}

void apply_faults(const std::vector<Fault>& faults, unsigned round,
                  veltra_frames::PlantSnapshot& s) {
    std::vector<size_t> absent;
    for (const Fault& f : faults) {
        if (!f.active_in(round)) continue;
        const size_t i = f.a - 1;
        switch (f.kind) {
            case FaultKind::MainsFail:
                if (i < s.ac.inputs.size()) {
                    auto& in = s.ac.inputs[i];
                    in.a = in.b = in.c = 0.0f;
                    in.f = 0.0f;
                    if (in.user_alarms.size() > 3) in.user_alarms[3] = kPowerFail;
                }
                break;
            case FaultKind::BreakerTrip:
                if (i < s.ac.inputs.size() && !s.ac.inputs[i].user_alarms.empty())
                    s.ac.inputs[i].user_alarms[0] = kTripped;
                break;
            case FaultKind::Surge:
                if (i < s.ac.inputs.size() && s.ac.inputs[i].user_alarms.size() > 2)
                    s.ac.inputs[i].user_alarms[2] = kTripped;
                break;
            case FaultKind::ModuleFault:
                if (i < s.modules.size()) {
                    s.modules[i].fault = kAlarmSet;
                    if (!s.modules[i].user_alarms.empty()) s.modules[i].user_alarms[0] = kAlarmSet;
                }
                break;
            case FaultKind::Fan:
                if (i < s.modules.size() && s.modules[i].user_alarms.size() > 1)
                    s.modules[i].user_alarms[1] = kAlarmSet;
                break;
            case FaultKind::ModuleOff:
                if (i < s.modules.size()) {
                    s.modules[i].shutdown = 1;
                    s.modules[i].out_i = 0.0f;
                }
                break;
            case FaultKind::Fuse:
                if (i < s.panels.size() && f.b - 1 < s.panels[i].fuses.size())
                    s.panels[i].fuses[f.b - 1] = kAlarmSet;
                break;
            case FaultKind::DcLow:
            case FaultKind::DcHigh:
                s.out_v = f.volts;
                for (auto& p : s.panels) p.v = f.volts;
                break;
            case FaultKind::Load:
                break;  // the plant's step: the load it draws
            case FaultKind::Mute:
                break;  // the traffic's business: no response goes out
            case FaultKind::ModuleAbsent:
                absent.push_back(i);
                break;
        }
    }
    // Last, from the highest number down, so that every fault names the
    // module it meant.
    std::sort(absent.begin(), absent.end());
    absent.erase(std::unique(absent.begin(), absent.end()), absent.end());
    for (auto it = absent.rbegin(); it != absent.rend(); ++it)
        if (*it < s.modules.size()) s.modules.erase(s.modules.begin() + static_cast<long>(*it));
}

void round_conditions(const std::vector<Fault>& faults, unsigned round, RoundConditions& c) {
    bool failed[kAcInputs] = {false, false};
    for (const Fault& f : faults) {
        if (!f.active_in(round)) continue;
        if ((f.kind == FaultKind::MainsFail || f.kind == FaultKind::BreakerTrip) && f.a >= 1 &&
            f.a <= kAcInputs)
            failed[f.a - 1] = true;
        if (f.kind == FaultKind::Load) c.load_a = f.volts;
    }
    c.mains = !(failed[0] && failed[1]);
}

}  // namespace powersim
