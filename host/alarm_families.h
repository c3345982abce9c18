#pragma once
// Every alarm the power-system driver can raise, by alarm ID (and key where
// one ID serves several rules): which sections of the plant determine its
// value or its identity, and its meaning in English.
//
// The sections decide when the host may change the alarm: only from a round
// that refreshed every one of them intact (host/alarm_store.h). Identity
// counts as much as value: the capture driver numbers its status alarms
// across the AC inputs first and then the modules, so a round without its AC
// inputs renumbers every module alarm; those depend on the AC section too.
//
// Two rows, annotated:
//   {"419430501", "K418TRC_0", kAc | kRect, "Module {n}: fault alarm", Instance::Message, "模块"}
//     the capture driver's module fault: one ID for every module, told apart
//     by the number in its message after "模块" ("模块12模块故障告警状态": 12)
//   {"12060047", nullptr, kDc, "DC panel 2: load fuse {n} blown", Instance::Id, nullptr, 19, 36, "0", 18}
//     IDs 120600470190 to 120600470360: the three digits after the head, 18
//     taken off, are the fuse ("120600470200": fuse 2 of panel 2)
//
// The English meaning is found by ID, never by the message: the
// communication alarm, for one, comes with the message "通信异常".

#include <cstdint>
#include <string>

#include "host/plant_sections.h"

namespace smd {

// Where the number that "{n}" stands for is found.
enum class Instance : uint8_t { None, Id, Message };

struct AlarmFamily {
    const char* alarm_id;  // the whole ID, or with Instance::Id its head
    const char* key;       // nullptr: any key
    SectionMask sections;  // what determines its value or identity
    const char* english;
    Instance instance = Instance::None;
    const char* number_after = nullptr;  // Instance::Message: the text before the number
    uint16_t first = 0;                  // Instance::Id: the three digits after the head,
    uint16_t last = 0;                   //   within first to last,
    const char* id_tail = "";            //   followed by this,
    uint16_t offset = 0;                 //   less offset, make the number
};

namespace families {
constexpr SectionMask kAc = section_bit(Section::Ac);
constexpr SectionMask kRect = section_bit(Section::Rectifiers);
constexpr SectionMask kDc = section_bit(Section::Dc);
}  // namespace families

// Looked up in order; the first row that matches decides.
inline constexpr AlarmFamily kAlarmFamilies[] = {
    // The communication alarm: the host's clock alone decides it.
    {"120600180010", nullptr, kNoSection, "Communication with the power system lost"},
    // The host's own alarm of a section that stopped answering.
    {"smdgw-section-ac", nullptr, kNoSection, "No data from the AC distribution"},
    {"smdgw-section-rectifiers", nullptr, kNoSection, "No data from the rectifier modules"},
    {"smdgw-section-dc", nullptr, kNoSection, "No data from the DC panel"},
    // The gateway's own alarms of the battery, judged from its estimate.
    {"smdgw-battery-discharging", nullptr, kNoSection, "Battery discharging: the site is on battery"},
    {"smdgw-battery-runtime", nullptr, kNoSection, "Battery time to the disconnect low"},
    {"smdgw-battery-critical", nullptr, kNoSection, "Battery time to the disconnect critically low"},
    {"smdgw-battery-capacity", nullptr, kNoSection, "Battery capacity below 80 % of the nameplate"},
    // Threshold mode 1: input power, module faults, the host's limits.
    {"419415001", "PowerOff", families::kAc, "Input power interrupted"},
    {"419430501", "K418TRC_0", families::kAc | families::kRect, "Module {n}: fault alarm",
     Instance::Message, "模块"},
    {"419430501", nullptr, families::kRect, "Module {n}: fault alarm", Instance::Id, nullptr, 1,
     40},
    {"419610401001", nullptr, families::kAc, "AC phase A voltage outside its limits"},
    {"419610401002", nullptr, families::kAc, "AC phase B voltage outside its limits"},
    {"419610401003", nullptr, families::kAc, "AC phase C voltage outside its limits"},
    {"419610401004", nullptr, families::kAc, "AC input 2 phase A voltage outside its limits"},
    {"419610401005", nullptr, families::kAc, "AC input 2 phase B voltage outside its limits"},
    {"419610401006", nullptr, families::kAc, "AC input 2 phase C voltage outside its limits"},
    {"419610801001", nullptr, families::kAc, "AC phase A voltage outside its limits"},
    {"419610801002", nullptr, families::kAc, "AC phase B voltage outside its limits"},
    {"419610801003", nullptr, families::kAc, "AC phase C voltage outside its limits"},
    {"419610801004", nullptr, families::kAc, "AC input 2 phase A voltage outside its limits"},
    {"419610801005", nullptr, families::kAc, "AC input 2 phase B voltage outside its limits"},
    {"419610801006", nullptr, families::kAc, "AC input 2 phase C voltage outside its limits"},
    {"419613901001", nullptr, families::kAc, "AC frequency outside its limits"},
    {"419613901002", nullptr, families::kAc, "AC input 2 frequency outside its limits"},
    {"419620401001", nullptr, families::kDc, "DC panel 1 total current outside its limits"},
    {"419620301001", nullptr, families::kDc, "DC panel 1 bus voltage outside its limits"},
    {"419620401002", nullptr, families::kDc, "DC panel 2 total current outside its limits"},
    {"419620301002", nullptr, families::kDc, "DC panel 2 bus voltage outside its limits"},
    // Threshold mode 2: AC inputs, module running state, DC panels, load fuses.
    {"220600120010", nullptr, families::kAc, "48 V DC system 001: AC input over-voltage"},
    {"220600130010", nullptr, families::kAc, "48 V DC system 001: AC input under-voltage"},
    {"220600140010", nullptr, families::kAc, "48 V DC system 001: AC input power failure"},
    {"220600160010", nullptr, families::kAc, "48 V DC system 001: AC input over-frequency"},
    {"220600170010", nullptr, families::kAc, "48 V DC system 001: AC input under-frequency"},
    {"12060069", nullptr, families::kRect, "Rectifier module {n}: running alarm", Instance::Id,
     nullptr, 1, 40, "0"},
    {"12060002", nullptr, families::kRect, "Rectifier module {n}: running alarm", Instance::Id,
     nullptr, 1, 40, "0"},
    {"210600320010", nullptr, families::kDc, "48 V DC system: DC bus voltage low"},
    {"210600330010", nullptr, families::kDc, "48 V DC system: DC bus voltage very low"},
    {"210600340010", nullptr, families::kDc, "DC bus voltage high"},
    {"210600320020", nullptr, families::kDc, "DC panel 2: DC bus voltage low"},
    {"210600330020", nullptr, families::kDc, "DC panel 2: DC bus voltage very low"},
    {"210600340020", nullptr, families::kDc, "DC panel 2: DC bus voltage high"},
    {"12060047", nullptr, families::kDc, "DC panel 1: load fuse {n} blown", Instance::Id, nullptr,
     1, 18, "0"},
    {"12060047", nullptr, families::kDc, "DC panel 2: load fuse {n} blown", Instance::Id, nullptr,
     19, 36, "0", 18},
    // Capture rules, every mode: the status bytes of each AC input ...
    {"419410701", "p40_44_0", families::kAc, "AC input {n}: breaker tripped", Instance::Message,
     "第"},
    {"419410901", "p40_44_2", families::kAc, "AC input {n}: surge protector broken",
     Instance::Message, "第"},
    {"419415001", "p40_44_3", families::kAc, "AC input {n}: supply 1 power failure",
     Instance::Message, "第"},
    {"419415001", "p40_44_4", families::kAc, "AC input {n}: supply 2 power failure",
     Instance::Message, "第"},
    {"419415001", "p40_44_5", families::kAc, "AC input {n}: supply 3 power failure",
     Instance::Message, "第"},
    {"419400101", "p40_44_6", families::kAc, "AC input {n}: mains switch-over failed",
     Instance::Message, "第"},
    {"419400201", "p40_44_7", families::kAc, "AC input {n}: AC panel communication lost",
     Instance::Message, "第"},
    // ... and the alarm bytes of each module, numbered after the AC inputs.
    {"419431C01", "K418TRC_1", families::kAc | families::kRect, "Module {n}: fan alarm",
     Instance::Message, "模块"},
    {"419240403", "K418TRC_2", families::kAc | families::kRect, "Module {n}: over-temperature alarm",
     Instance::Message, "模块"},
    {"419430601", "K418TRC_7", families::kAc | families::kRect, "Module {n}: over-voltage shutdown",
     Instance::Message, "模块"},
};

// The family of an alarm, or nullptr for one the table does not know (a
// configured threshold of mode 5, a limit under an ID of the configuration's
// own).
const AlarmFamily* find_alarm_family(const std::string& alarm_id, const std::string& key);

// The sections that determine the alarm. One the table does not know (a
// configured threshold) depends on the section of the record member its key
// names (threshold mode 5 keys its alarms by record path, "dc.v"), else on
// every section: it changes only with a complete round.
SectionMask alarm_sections(const std::string& alarm_id, const std::string& key);

}  // namespace smd
