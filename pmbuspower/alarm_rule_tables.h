#pragma once
// The fixed alarm rules of the -48 V power-system family, as tables. Threshold
// mode 1 hands the analog values to the host's limits and decides two boolean
// alarms itself; threshold mode 2 decides every alarm with a fixed message.
// docs/alarms.md is checked against these tables by the unit tests.

#include <cstddef>
#include <cstdint>

namespace pmbus_rules {

// ---- Threshold mode 1: host limits ---------------------------------------------------------

// The record value an AC row reads. Phase rows run only when their phase is
// wired ("has_a", "has_b", "has_c"); frequency rows always run.
enum class AcValue : uint8_t { PhaseA, PhaseB, PhaseC, Frequency };

// One analog check: CheckThreshold(alarm ID) on the value, then an analog
// report of the value under the signal ID, with the template's report
// setting for a signal that has none yet. Index 0 of each pair applies when
// "ac_type" is 0, index 1 when it is non-zero.
struct AcAnalogRule {
    uint8_t input;  // AC input 0 or 1
    AcValue value;
    const char* alarm_id[2];
    const char* template_id[2];
    const char* signal_id[2];
};

// "ac_line" 1 or 2 runs the rows of input 0 on input 0 or 1 (same IDs for
// both); any other "ac_line" runs every row on its own input.
constexpr AcAnalogRule kAcAnalogRules[] = {
    {0,
     AcValue::PhaseA,
     {"419610401001", "419610801001"},
     {"419610401001", "419610801001"},
     {"419110100001", "419110500001"}},
    {0,
     AcValue::PhaseB,
     {"419610401002", "419610801002"},
     {"419610401001", "419610801001"},
     {"419110200001", "419110600001"}},
    {0,
     AcValue::PhaseC,
     {"419610401003", "419610801003"},
     {"419610401001", "419610801001"},
     {"419110300001", "419110700001"}},
    {1,
     AcValue::PhaseA,
     {"419610401004", "419610801004"},
     {"419610401001", "419610801001"},
     {"419110100002", "419110500002"}},
    {1,
     AcValue::PhaseB,
     {"419610401005", "419610801005"},
     {"419610401001", "419610801001"},
     {"419110200002", "419110600002"}},
    {1,
     AcValue::PhaseC,
     {"419610401006", "419610801006"},
     {"419610401001", "419610801001"},
     {"419110300002", "419110700002"}},
    {0,
     AcValue::Frequency,
     {"419613901001", "419613901001"},
     {"419613901001", "419613901001"},
     {"419113900001", "419113900001"}},
    {1,
     AcValue::Frequency,
     {"419613901002", "419613901002"},
     {"419613901001", "419613901001"},
     {"419113900002", "419113900002"}},
};

enum class DcValue : uint8_t { Current, Voltage };

// Panel 2 rows run only when the power system reports more than one panel.
struct DcAnalogRule {
    uint8_t panel;  // 1 or 2
    DcValue value;
    const char* alarm_id;
    const char* template_id;
    const char* signal_id;
};

constexpr DcAnalogRule kDcAnalogRules[] = {
    {1, DcValue::Current, "419620401001", "419620401001", "419120400001"},
    {1, DcValue::Voltage, "419620301001", "419620301001", "419120300001"},
    {2, DcValue::Current, "419620401002", "419620401001", "419120400002"},
    {2, DcValue::Voltage, "419620301002", "419620301001", "419120300002"},
};

// A boolean alarm the driver decides, with a fixed key and message.
struct FixedAlarm {
    const char* key;
    const char* alarm_id;
    int level;
    const char* message;
    unsigned short seq;
    const char* when;
};

// Value text and message are both the message text.
constexpr FixedAlarm kInputPowerAlarm = {
    "PowerOff", "419415001",
    1,          "输入电源中断告警",
    100,        "mode 1, \"has_ac\": no reported AC input has every wired phase above 120 V"};
// A phase counts as powered strictly above this voltage.
constexpr float kPoweredPhaseVolts = 120.0f;

// An alarm repeated per module or fuse. The alarm ID is id_head, the instance
// number (from 1, plus id_offset) in three zero-padded digits, then id_tail;
// the message is message_head, the instance number (from 1) in three digits
// when message_numbered, then message_tail.
struct NumberedAlarm {
    const char* id_head;
    const char* id_tail;
    unsigned id_offset;
    bool message_numbered;
    const char* message_head;
    const char* message_tail;
    const char* when;
};

// Mode 1; key, alarm ID and value text are the same text, level 1, sequence 1.
constexpr NumberedAlarm kRectifierFault = {
    "419430501", "", 0, false, "", "模块故障告警", "mode 1: the module's fault code is non-zero"};
constexpr int kRectifierFaultLevel = 1;

// ---- Threshold mode 2: fixed-text alarms ---------------------------------------------------
// Each rule runs only when the host gives its alarm ID a non-zero level; T is
// the host's threshold value for that alarm ID.

enum class AcCondition : uint8_t {
    OverVoltage,     // a wired phase of either input above 280 V
    UnderVoltage,    // a wired phase of either input above 0.01 V and below 150 V
    PowerFailure,    // all six phase voltages below 150 V, wired or not
    OverFrequency,   // either frequency above T
    UnderFrequency,  // either frequency above 0.01 Hz and below T
};

enum class AcText : uint8_t { Voltages, Frequencies };

struct AcFixedRule {
    const char* alarm_id;
    const char* message;
    AcText text;
    AcCondition condition;
    const char* when;
};

constexpr AcFixedRule kAcFixedRules[] = {
    {"220600120010", "001#48V直流系统交流输入电压过高告警", AcText::Voltages,
     AcCondition::OverVoltage, "mode 2, \"has_ac\": a wired phase of either input above 280 V"},
    {"220600130010", "001#48V直流系统交流输入电压过低告警", AcText::Voltages,
     AcCondition::UnderVoltage,
     "mode 2, \"has_ac\": a wired phase of either input above 0.01 V and below 150 V"},
    {"220600140010", "001#48V直流系统交流输入停电告警", AcText::Voltages, AcCondition::PowerFailure,
     "mode 2, \"has_ac\": all six phase voltages below 150 V, wired or not"},
    {"220600160010", "001#48V直流系统交流输入频率过高告警", AcText::Frequencies,
     AcCondition::OverFrequency, "mode 2, \"has_ac\": either input's frequency above T"},
    {"220600170010", "001#48V直流系统交流输入频率过低告警", AcText::Frequencies,
     AcCondition::UnderFrequency,
     "mode 2, \"has_ac\": either input's frequency above 0.01 Hz and below T"},
};

constexpr float kOverVoltage = 280.0f;
constexpr float kUnderVoltage = 150.0f;
// A reading at or below this (an absent input) is no under-voltage or
// under-frequency; compared in double precision.
constexpr double kPresentReading = 0.01;

// Value text "1"; both rules share the state, each has its own level.
constexpr NumberedAlarm kRectifierRunning[] = {
    {"12060069", "0", 0, true, "", "#48V整流模块运行告警",
     "mode 2: the module's on/off state equals 1 - \"open_41_43\""},
    {"12060002", "0", 0, true, "", "#48V整流模块运行告警",
     "mode 2: the module's on/off state equals 1 - \"open_41_43\""},
};

enum class Compare : uint8_t { Below, Above };

// Value text: the panel voltage as boost::lexical_cast writes it.
struct DcFixedRule {
    const char* alarm_id;
    const char* message;
    Compare compare;
    const char* when;
};

constexpr DcFixedRule kDcPanel1Rules[] = {
    {"210600320010", "48V直流系统直流总电压过低告警", Compare::Below,
     "mode 2, \"has_dc\": panel 1 bus voltage below T"},
    {"210600330010", "48V直流系统直流总电压超低告警", Compare::Below,
     "mode 2, \"has_dc\": panel 1 bus voltage below T"},
    {"210600340010", "直流总电压过高告警", Compare::Above,
     "mode 2, \"has_dc\": panel 1 bus voltage above T"},
};

constexpr DcFixedRule kDcPanel2Rules[] = {
    {"210600320020", "直流屏2 48V直流系统直流总电压过低告警", Compare::Below,
     "mode 2, \"has_dc\", two panels: panel 2 bus voltage below T"},
    {"210600330020", "直流屏2 48V直流系统直流总电压超低告警", Compare::Below,
     "mode 2, \"has_dc\", two panels: panel 2 bus voltage below T"},
    {"210600340020", "直流屏2 直流总电压过高告警", Compare::Above,
     "mode 2, \"has_dc\", two panels: panel 2 bus voltage above T"},
};

// Value text "1". The fuses of panel 2 continue the ID series of panel 1 at 19.
constexpr NumberedAlarm kFusePanel1 = {"12060047",
                                       "0",
                                       0,
                                       true,
                                       "直流屏1",
                                       "负载熔丝故障告警",
                                       "mode 2, \"has_dc\": the fuse's alarm code is non-zero"};
constexpr NumberedAlarm kFusePanel2 = {
    "12060047",
    "0",
    18,
    true,
    "直流屏2",
    "负载熔丝故障告警",
    "mode 2, \"has_dc\", two panels: the fuse's alarm code is non-zero"};

}  // namespace pmbus_rules
