#pragma once
// The host's control requests as protocol commands: which request codes the
// driver handles, and the INFO bytes of the set-point (DC distribution) and
// rectifier-control commands for each model.

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

namespace pmbus_control {

// Code 300, request 01..07: ~ 21 01 41 4E 200E 01020304050607 FACB CR
constexpr int kRawRectifierCommand = 300;  // 7 request bytes sent as they are
constexpr int kSetPoint = 310;             // JSON {"signal_id", "SetValue"}
constexpr int kRectifierControl = 320;     // a signal ID text

constexpr uint8_t kRectifierGroup = 0x41;
constexpr uint8_t kDcDistribution = 0x42;
constexpr uint8_t kSetClock = 0x4E;
constexpr uint8_t kRemoteControl = 0x45;
constexpr uint8_t kSetFloatParameter = 0x48;
constexpr uint8_t kSetFixedParameter = 0x49;
constexpr int kRawCommandBytes = 7;

// One command's CID2 and INFO bytes; CID1 is fixed per request code.
struct CommandInfo {
    uint8_t cid2 = 0;
    std::array<uint8_t, 5> bytes{};
    int length = 0;
};

// Set-points of code 310, parameter type byte by model: "prn37_419",
// "k418t_419", "w604j_419", any other. Frames for "4196A3101001" = 53.5:
//   prn37_419: ~ 21 01 42 49 A006 85 14E6       FC45 CR  (type, 5350 high byte first)
//   others:    ~ 21 01 42 48 600A DC 00005642   FB7B CR  (type, 53.5f LSB first)
constexpr const char* kSetPointModels[] = {"prn37_419", "k418t_419", "w604j_419"};
constexpr size_t kOtherSetPointModel = 3;

struct SetPoint {
    const char* signal_ids[2];
    uint8_t type[4];
};

constexpr SetPoint kSetPoints[] = {
    {{"4196A3101001", "150600370010"}, {0x85, 0xF2, 0xEC, 0xDC}},
    {{"4196A3201001", "150600410010"}, {0x84, 0xF1, 0xEB, 0xDB}},
};

// The one model that takes set-points in hundredths as a 16-bit integer.
constexpr const char* kFixedPointModel = "prn37_419";

// Rectifier controls of code 320; the first matching row applies.
//   "419500201003", other models: ~ 21 01 41 45 C004 E5 03 FCBA CR  (control, module 3)
constexpr const char* kRectifierControlModels[] = {"prn37_419", "k418t_419", "w604j_419",
                                                   "tcx09b_419"};

enum class Match : uint8_t {
    Prefix,  // the first nine characters; the up to three after them give the module
    Whole,   // the whole text
};

struct RectifierControl {
    Match match;
    const char* text;
    uint8_t listed_model;  // first INFO byte for kRectifierControlModels
    uint8_t other_model;   // first INFO byte for any other model
    uint8_t second;        // second INFO byte of a whole-text row
};

constexpr size_t kPrefixLength = 9;
constexpr size_t kModuleDigits = 3;

constexpr RectifierControl kRectifierControls[] = {
    {Match::Prefix, "419500201", 0x20, 0xE5, 0},
    {Match::Prefix, "419500200", 0x2F, 0xE6, 0},
    {Match::Whole, "419500600001", 0x1F, 0x1F, 0x02},
    {Match::Whole, "419500601001", 0x10, 0x10, 0x02},
    {Match::Whole, "419500602001", 0x11, 0x11, 0x02},
};

// Request bytes as text: exactly the bytes of the request length, never read
// past it; a zero byte inside is one of them, not the end of the text.
inline std::string request_text(const void* request, int length) {
    if (!request || length <= 0) return {};
    return std::string(static_cast<const char*>(request), static_cast<size_t>(length));
}

// Hundredths truncated toward zero, kept as their low 16 bits; a value with
// no integer form (NaN, infinity) gives 0.
inline uint16_t hundredths_16(double value) {
    const double t = std::trunc(value * 100.0);
    if (!std::isfinite(t)) return 0;
    double low = std::fmod(t, 65536.0);
    if (low < 0) low += 65536.0;
    return static_cast<uint16_t>(low);
}

template <size_t N>
bool listed(const std::string& model, const char* const (&models)[N]) {
    for (const char* m : models)
        if (model == m) return true;
    return false;
}

// The set-point command for a signal ID and value text, or nothing when the
// signal ID names no set-point.
inline std::optional<CommandInfo> set_point_command(const std::string& model,
                                                    const std::string& signal_id,
                                                    const std::string& value_text) {
    const SetPoint* row = nullptr;
    for (const SetPoint& sp : kSetPoints)
        if (signal_id == sp.signal_ids[0] || signal_id == sp.signal_ids[1]) row = &sp;
    if (!row) return std::nullopt;
    size_t column = kOtherSetPointModel;
    for (size_t i = 0; i < std::size(kSetPointModels); ++i)
        if (model == kSetPointModels[i]) column = i;

    CommandInfo cmd;
    cmd.bytes[0] = row->type[column];
    const double value = std::atof(value_text.c_str());
    if (model == kFixedPointModel) {
        const uint16_t v = hundredths_16(value);
        cmd.cid2 = kSetFixedParameter;
        cmd.bytes[1] = static_cast<uint8_t>(v >> 8);
        cmd.bytes[2] = static_cast<uint8_t>(v);
        cmd.length = 3;
    } else {
        static_assert(std::numeric_limits<float>::is_iec559, "set-points travel as IEEE-754");
        const float f = static_cast<float>(value);
        uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        cmd.cid2 = kSetFloatParameter;
        for (int i = 0; i < 4; ++i) cmd.bytes[1 + i] = static_cast<uint8_t>(bits >> (8 * i));
        cmd.length = 5;
    }
    return cmd;
}

// The rectifier-control command for a signal ID text, or nothing.
inline std::optional<CommandInfo> rectifier_control_command(const std::string& model,
                                                            const std::string& text) {
    const bool listed_model = listed(model, kRectifierControlModels);
    for (const RectifierControl& r : kRectifierControls) {
        CommandInfo cmd;
        cmd.cid2 = kRemoteControl;
        cmd.length = 2;
        cmd.bytes[0] = listed_model ? r.listed_model : r.other_model;
        if (r.match == Match::Whole) {
            if (text != r.text) continue;
            cmd.bytes[1] = r.second;
            return cmd;
        }
        if (text.compare(0, kPrefixLength, r.text) != 0) continue;
        const std::string digits =
            text.size() > kPrefixLength ? text.substr(kPrefixLength, kModuleDigits) : "";
        cmd.bytes[1] = static_cast<uint8_t>(std::atoi(digits.c_str()));
        return cmd;
    }
    return std::nullopt;
}

}  // namespace pmbus_control
