// docs/alarms.md and the README list every alarm the rule tables can raise.
// The tables between their markers are rendered here from the rule tables
// themselves, so the documents cannot drift from the code. To refresh them after a change:
//   SMD_WRITE_ALARM_DOC=1 ./build/unit_tests --gtest_filter='AlarmDoc.*'

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "host/alarm_english.h"
#include "host/alarm_families.h"
#include "plugin/capture_alarm_tables.h"
#include "pmbuspower/alarm_rule_tables.h"
#include "record/veltra_record.h"
#include "tests/support/doc_section.h"
#include "tools/smdgw/core/battery_alarms.h"

namespace {

using namespace pmbus_rules;

const char* const kBegin = "<!-- generated alarm tables: begin -->";
const char* const kEnd = "<!-- generated alarm tables: end -->";
const char* const kDocPaths[] = {"/docs/alarms.md", "/README.md"};

std::string code(const std::string& s) { return "`" + s + "`"; }

std::string hex_byte(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", v);
    return buf;
}

std::string instances(unsigned last) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "001 to %03u", last);
    return buf;
}

void row(std::ostringstream& out, std::initializer_list<std::string> cells) {
    out << "|";
    for (const std::string& c : cells) out << " " << c << " |";
    out << "\n";
}

std::string numbered_id_pattern(const NumberedAlarm& a) {
    return std::string(a.id_head) + (a.id_offset ? "MMM" : "NNN") + a.id_tail;
}

std::string numbered_message_pattern(const NumberedAlarm& a) {
    return std::string(a.message_head) + (a.message_numbered ? "NNN" : "") + a.message_tail;
}

std::string numbered_when(const NumberedAlarm& a, const char* what, unsigned last) {
    std::string w = std::string(a.when) + "; NNN = " + what + " " + instances(last);
    if (a.id_offset) w += ", MMM = NNN + " + std::to_string(a.id_offset);
    return w;
}

// The English meaning of an alarm's family, N standing for the number.
std::string family_english(const std::string& id, const std::string& key) {
    const smd::AlarmFamily* f = smd::find_alarm_family(id, key);
    if (!f) {
        ADD_FAILURE() << "no family for " << id << " / " << key;
        return "";
    }
    std::string e = f->english;
    const size_t at = e.find("{n}");
    if (at != std::string::npos) e.replace(at, 3, "N");
    return e;
}

// The sections an alarm depends on, as the host changes it only from rounds
// that refreshed them.
std::string sections_cell(const std::string& id, const std::string& key) {
    const smd::SectionMask m = smd::alarm_sections(id, key);
    std::string out;
    for (const smd::PlantSection& p : smd::kPlantSections) {
        if (!(m & smd::section_bit(p.section))) continue;
        out += (out.empty() ? "" : ", ") + std::string(p.name);
    }
    return out.empty() ? "none" : out;
}

// A numbered alarm's first instance.
std::string first_id(const NumberedAlarm& a) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%03u", 1 + a.id_offset);
    return std::string(a.id_head) + digits + a.id_tail;
}

// An ID pair by "ac_type", shown once when both are the same.
std::string pair_cell(const char* const (&ids)[2]) {
    return ids[0] == std::string(ids[1]) ? code(ids[0]) : code(ids[0]) + " / " + code(ids[1]);
}

const char* ac_value_name(AcValue v) {
    switch (v) {
        case AcValue::PhaseA:
            return "phase A voltage";
        case AcValue::PhaseB:
            return "phase B voltage";
        case AcValue::PhaseC:
            return "phase C voltage";
        case AcValue::Frequency:
            break;
    }
    return "frequency";
}

std::string render() {
    std::ostringstream out;
    const unsigned modules = kRcChannels;
    const unsigned fuses = veltra_dc_t::ALERT_M_SIZE();

    out << "### Boolean alarms\n\n";
    row(out, {"Alarm ID", "Key", "Level", "Message", "English", "Value text", "Seq",
              "Sections", "Raised when"});
    row(out, {"---", "---", "---", "---", "---", "---", "---", "---", "---"});
    const FixedAlarm& p = kInputPowerAlarm;
    row(out, {code(p.alarm_id), code(p.key), std::to_string(p.level), p.message,
              family_english(p.alarm_id, p.key), "the message", std::to_string(p.seq),
              sections_cell(p.alarm_id, p.key), p.when});
    const NumberedAlarm& f = kRectifierFault;
    row(out, {code(numbered_id_pattern(f)), "the alarm ID", std::to_string(kRectifierFaultLevel),
              numbered_message_pattern(f), family_english(first_id(f), first_id(f)),
              "the alarm ID", "1", sections_cell(first_id(f), first_id(f)),
              numbered_when(f, "module", modules)});
    for (const AcFixedRule& r : kAcFixedRules)
        row(out, {code(r.alarm_id), "the alarm ID", "configured", r.message,
                  family_english(r.alarm_id, r.alarm_id),
                  r.text == AcText::Voltages ? "voltage text" : "frequency text", "1",
                  sections_cell(r.alarm_id, r.alarm_id), r.when});
    for (const NumberedAlarm& a : kRectifierRunning)
        row(out, {code(numbered_id_pattern(a)), "the alarm ID", "configured",
                  numbered_message_pattern(a), family_english(first_id(a), first_id(a)), "1", "1",
                  sections_cell(first_id(a), first_id(a)), numbered_when(a, "module", modules)});
    const auto panel_rows = [&](const auto& rules, const NumberedAlarm& fuse, const char* text) {
        for (const DcFixedRule& r : rules)
            row(out, {code(r.alarm_id), "the alarm ID", "configured", r.message,
                      family_english(r.alarm_id, r.alarm_id), text, "1",
                      sections_cell(r.alarm_id, r.alarm_id), r.when});
        row(out, {code(numbered_id_pattern(fuse)), "the alarm ID", "configured",
                  numbered_message_pattern(fuse), family_english(first_id(fuse), first_id(fuse)),
                  "1", "1", sections_cell(first_id(fuse), first_id(fuse)),
                  numbered_when(fuse, "fuse", fuses)});
    };
    panel_rows(kDcPanel1Rules, kFusePanel1, "panel 1 voltage");
    panel_rows(kDcPanel2Rules, kFusePanel2, "panel 2 voltage");
    for (const capture_rules::StatusAlarm& a : capture_rules::kAcStatusAlarms)
        row(out,
            {code(a.alarm_id), code(a.key), std::to_string(a.level),
             std::string("第N路交流输入-") + a.message, family_english(a.alarm_id, a.key),
             capture_rules::kAcValueText, "running", sections_cell(a.alarm_id, a.key),
             "every mode: status byte `p40_44[" + std::to_string(a.byte) + "]` of AC input N is " +
                 hex_byte(a.code) + "; N = 1 to " + std::to_string(kAcChannels)});
    for (const capture_rules::StatusAlarm& a : capture_rules::kRectifierAlarms)
        row(out,
            {code(a.alarm_id), code(a.key), std::to_string(a.level),
             std::string("模块N") + a.message, family_english(a.alarm_id, a.key),
             capture_rules::kRectifierValueText, "running", sections_cell(a.alarm_id, a.key),
             "every mode: alarm byte `p41_44[" + std::to_string(a.byte) + "]` of module N is " +
                 hex_byte(a.code) + "; N = 1 to " + std::to_string(modules)});
    // The alarms of the communication and of the sections, decided by the host.
    row(out, {code("120600180010"), "the alarm ID", "configured", "通信异常",
              family_english("120600180010", "120600180010"), "设备智能口通信状态告警", "1",
              sections_cell("120600180010", "120600180010"),
              "the host's reset: no round for 120 s (docs/monitoring.md)"});
    for (const smd::PlantSection& sec : smd::kPlantSections)
        row(out, {code(sec.alarm_id), code("section_missing"), "\"section_alarm_level\" (2)",
                  sec.message, family_english(sec.alarm_id, "section_missing"),
                  "silent (or not refreshed) rounds", "1",
                  sections_cell(sec.alarm_id, "section_missing"),
                  "the host: no response at all to the " + std::string(sec.what) +
                      " for \"section_missing_rounds\" rounds, or the " + sec.what +
                      " not refreshed for \"section_stale_rounds\" rounds"});
    for (const smdgw::BatteryAlarm& b : smdgw::kBatteryAlarms)
        row(out, {code(b.alarm_id), code(b.key), std::to_string(b.level), b.message,
                  family_english(b.alarm_id, b.key), b.value, "1",
                  sections_cell(b.alarm_id, b.key), b.when});

    out << "\n### Analog limit checks (threshold mode 1)\n\n";
    row(out, {"Alarm ID (\"ac_type\" 0 / non-zero)", "Value", "Report signal", "Report template",
              "Sections", "Checked when"});
    row(out, {"---", "---", "---", "---", "---", "---"});
    for (const AcAnalogRule& r : kAcAnalogRules) {
        const std::string id = pair_cell(r.alarm_id);
        const std::string sig = pair_cell(r.signal_id);
        const std::string tpl = pair_cell(r.template_id);
        std::string value =
            std::string(ac_value_name(r.value)) + " of AC input " + std::to_string(r.input + 1);
        if (r.input == 0) value += " (of input 2 when \"ac_line\" is 2)";
        std::string when = "\"has_ac\"";
        if (r.value != AcValue::Frequency) when += ", phase wired";
        if (r.input != 0) when += ", \"ac_line\" neither 1 nor 2";
        row(out, {id, value, sig, tpl, sections_cell(r.alarm_id[0], r.alarm_id[0]), when});
    }
    for (const DcAnalogRule& r : kDcAnalogRules)
        row(out, {code(r.alarm_id),
                  "DC panel " + std::to_string(r.panel) +
                      (r.value == DcValue::Current ? " total current" : " bus voltage"),
                  code(r.signal_id), code(r.template_id), sections_cell(r.alarm_id, r.alarm_id),
                  r.panel == 1 ? "\"has_dc\"" : "\"has_dc\", two panels reported"});
    return out.str();
}

TEST(AlarmDoc, TablesMatchTheRuleTables) {
    const std::string expected = "\n\n" + render() + "\n";
    for (const char* path : kDocPaths)
        testsupport::expect_doc_section(std::string(SOURCE_DIR) + path, kBegin, kEnd, expected, "SMD_WRITE_ALARM_DOC");
}

}  // namespace
