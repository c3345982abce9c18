#pragma once
// The English meaning of every alarm message the power-system driver sends.
// The driver's messages are Chinese and fixed by the plant's conventions; the
// host adds the meaning so that people who do not read them still know what
// an alarm says. A message that carries an instance number (an AC input, a
// rectifier module, a fuse) gets a meaning with the same number.

#include <string>

namespace smd {

// A message the driver sends as it stands, for example
//   {"输入电源中断告警", "Input power interrupted"}
struct FixedMeaning {
    const char* message;
    const char* english;
};

// A message with an instance number between head and tail, for example
//   "第2路交流输入-防雷器断" = "第" + "2" + "路交流输入-防雷器断"
//   -> "AC input 2: surge protector broken" ("{n}" takes the number, without
//   leading zeros: "直流屏1003负载熔丝故障告警" -> "DC panel 1: load fuse 3 blown").
struct NumberedMeaning {
    const char* head;
    const char* tail;
    const char* english;  // with "{n}" where the number goes
};

inline constexpr FixedMeaning kFixedMeanings[] = {
    // Threshold mode 1.
    {"输入电源中断告警", "Input power interrupted"},
    // The communication alarm.
    {"设备智能口通信状态告警", "Communication with the power system lost"},
    // Threshold mode 2, AC inputs.
    {"001#48V直流系统交流输入电压过高告警", "48 V DC system 001: AC input over-voltage"},
    {"001#48V直流系统交流输入电压过低告警", "48 V DC system 001: AC input under-voltage"},
    {"001#48V直流系统交流输入停电告警", "48 V DC system 001: AC input power failure"},
    {"001#48V直流系统交流输入频率过高告警", "48 V DC system 001: AC input over-frequency"},
    {"001#48V直流系统交流输入频率过低告警", "48 V DC system 001: AC input under-frequency"},
    // Threshold mode 2, DC panels.
    {"48V直流系统直流总电压过低告警", "48 V DC system: DC bus voltage low"},
    {"48V直流系统直流总电压超低告警", "48 V DC system: DC bus voltage very low"},
    {"直流总电压过高告警", "DC bus voltage high"},
    {"直流屏2 48V直流系统直流总电压过低告警", "DC panel 2: DC bus voltage low"},
    {"直流屏2 48V直流系统直流总电压超低告警", "DC panel 2: DC bus voltage very low"},
    {"直流屏2 直流总电压过高告警", "DC panel 2: DC bus voltage high"},
};

inline constexpr NumberedMeaning kNumberedMeanings[] = {
    // Status bytes of each AC input.
    {"第", "路交流输入-交流输入空开跳", "AC input {n}: breaker tripped"},
    {"第", "路交流输入-防雷器断", "AC input {n}: surge protector broken"},
    {"第", "路交流输入-交流输入1停电", "AC input {n}: supply 1 power failure"},
    {"第", "路交流输入-交流输入2停电", "AC input {n}: supply 2 power failure"},
    {"第", "路交流输入-交流输入3停电", "AC input {n}: supply 3 power failure"},
    {"第", "路交流输入-市电切换失败", "AC input {n}: mains switch-over failed"},
    {"第", "路交流输入-交流屏通讯中断", "AC input {n}: AC panel communication lost"},
    // Alarm bytes of each rectifier module.
    {"模块", "模块故障告警状态", "Module {n}: fault alarm"},
    {"模块", "模块风扇告警", "Module {n}: fan alarm"},
    {"模块", "模块过温告警状态", "Module {n}: over-temperature alarm"},
    {"模块", "整流模块过压关机告警", "Module {n}: over-voltage shutdown"},
    // Threshold mode 2, rectifier running state and load fuses.
    {"", "#48V整流模块运行告警", "Rectifier module {n}: running alarm"},
    {"直流屏1", "负载熔丝故障告警", "DC panel 1: load fuse {n} blown"},
    {"直流屏2", "负载熔丝故障告警", "DC panel 2: load fuse {n} blown"},
};

// Threshold mode 1's module fault: one message for every module, the module
// number in the last three digits of the alarm ID ("419430501012": module 12).
inline constexpr const char* kModuleFaultMessage = "模块故障告警";
inline constexpr const char* kModuleFaultIdHead = "419430501";
inline constexpr const char* kModuleFaultEnglish = "Module {n}: fault alarm";

// Configured thresholds: "当前值" value "高于阈值:" threshold (or "低于阈值:").
inline constexpr const char* kThresholdHead = "当前值";
inline constexpr FixedMeaning kThresholdWords[] = {
    {"高于阈值:", " above threshold "},
    {"低于阈值:", " below threshold "},
};

// The meaning of an alarm's message. Messages the host writes itself (limit
// checks) are English already and come back as they are; an empty message
// has an empty meaning; a message nobody knows gives "" as well.
std::string alarm_english(const std::string& alarm_id, const std::string& message);

}  // namespace smd
