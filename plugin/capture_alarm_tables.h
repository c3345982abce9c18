#pragma once
// Alarms the capture driver raises from the raw status bytes of each round:
// the AC input status bytes (response 40/44) of every AC input and the alarm
// bytes (response 41/44) of every rectifier module. docs/alarms.md is checked
// against these tables by the unit tests.

#include <cstdint>

namespace capture_rules {

// A status byte is active only when it equals the rule's code exactly.
struct StatusAlarm {
    const char* key;
    const char* alarm_id;
    int level;
    const char* message;  // after the instance's prefix
    uint8_t byte;         // index into p40_44 or p41_44
    uint8_t code;
};

// Per AC input; value text "0", message prefix "第" + input number + "路交流输入-".
// p40_44[1] carries no alarm. Rows 3 to 5 share the input-power alarm ID and
// differ by key.
constexpr StatusAlarm kAcStatusAlarms[] = {
    {"p40_44_0", "419410701", 1, "交流输入空开跳", 0, 0x05},
    {"p40_44_2", "419410901", 1, "防雷器断", 2, 0x05},
    {"p40_44_3", "419415001", 1, "交流输入1停电", 3, 0xE1},
    {"p40_44_4", "419415001", 1, "交流输入2停电", 4, 0xE1},
    {"p40_44_5", "419415001", 1, "交流输入3停电", 5, 0xE1},
    {"p40_44_6", "419400101", 1, "市电切换失败", 6, 0xE3},
    {"p40_44_7", "419400201", 1, "交流屏通讯中断", 7, 0xE2},
};

// Per rectifier module; value text "1", message prefix "模块" + module number.
// p41_44[3] to p41_44[6] carry no alarm.
constexpr StatusAlarm kRectifierAlarms[] = {
    {"K418TRC_0", "419430501", 3, "模块故障告警状态", 0, 0x01},
    {"K418TRC_1", "419431C01", 4, "模块风扇告警", 1, 0x01},
    {"K418TRC_2", "419240403", 3, "模块过温告警状态", 2, 0x01},
    {"K418TRC_7", "419430601", 2, "整流模块过压关机告警", 7, 0x01},
};

constexpr const char* kAcValueText = "0";
constexpr const char* kRectifierValueText = "1";

}  // namespace capture_rules
