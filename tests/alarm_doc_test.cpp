// docs/alarms.md and the README list every alarm the rule tables can raise.
// The tables between their markers are rendered here from the rule tables
// themselves, so the documents cannot drift from the code. To refresh them after a change:
//   SMD_WRITE_ALARM_DOC=1 ./build/unit_tests --gtest_filter='AlarmDoc.*'

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "host/alarm_english.h"
#include "plugin/capture_alarm_tables.h"
#include "pmbuspower/alarm_rule_tables.h"
#include "record/veltra_record.h"
#include "tests/support/doc_section.h"

namespace {

using namespace pmbus_rules;

const char* const kBegin = "<!-- generated alarm tables: begin -->";
const char* const kEnd = "<!-- generated alarm tables: end -->";
const char* const kDocPaths[] = {SOURCE_DIR "/docs/alarms.md", SOURCE_DIR "/README.md"};

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

// An English meaning with N standing for the number.
std::string with_n(const char* english) {
    std::string e = english;
    e.replace(e.find("{n}"), 3, "N");
    return e;
}

// The English meaning of a numbered message.
std::string english_pattern(const std::string& head, const std::string& tail) {
    for (const smd::NumberedMeaning& m : smd::kNumberedMeanings)
        if (head == m.head && tail == m.tail) return with_n(m.english);
    ADD_FAILURE() << "no English meaning for " << head << "N" << tail;
    return "";
}

std::string numbered_english(const NumberedAlarm& a) {
    return english_pattern(a.message_head, a.message_tail);
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
              "Raised when"});
    row(out, {"---", "---", "---", "---", "---", "---", "---", "---"});
    const FixedAlarm& p = kInputPowerAlarm;
    row(out, {code(p.alarm_id), code(p.key), std::to_string(p.level), p.message,
              smd::alarm_english(p.alarm_id, p.message), "the message", std::to_string(p.seq),
              p.when});
    const NumberedAlarm& f = kRectifierFault;
    row(out,
        {code(numbered_id_pattern(f)), "the alarm ID", std::to_string(kRectifierFaultLevel),
         numbered_message_pattern(f), with_n(smd::kModuleFaultEnglish), "the alarm ID", "1",
         numbered_when(f, "module", modules)});
    for (const AcFixedRule& r : kAcFixedRules)
        row(out, {code(r.alarm_id), "the alarm ID", "configured", r.message,
                  smd::alarm_english(r.alarm_id, r.message),
                  r.text == AcText::Voltages ? "voltage text" : "frequency text", "1", r.when});
    for (const NumberedAlarm& a : kRectifierRunning)
        row(out, {code(numbered_id_pattern(a)), "the alarm ID", "configured",
                  numbered_message_pattern(a), numbered_english(a), "1", "1",
                  numbered_when(a, "module", modules)});
    const auto panel_rows = [&](const auto& rules, const NumberedAlarm& fuse, const char* text) {
        for (const DcFixedRule& r : rules)
            row(out, {code(r.alarm_id), "the alarm ID", "configured", r.message,
                      smd::alarm_english(r.alarm_id, r.message), text, "1", r.when});
        row(out, {code(numbered_id_pattern(fuse)), "the alarm ID", "configured",
                  numbered_message_pattern(fuse), numbered_english(fuse), "1", "1",
                  numbered_when(fuse, "fuse", fuses)});
    };
    panel_rows(kDcPanel1Rules, kFusePanel1, "panel 1 voltage");
    panel_rows(kDcPanel2Rules, kFusePanel2, "panel 2 voltage");
    for (const capture_rules::StatusAlarm& a : capture_rules::kAcStatusAlarms)
        row(out,
            {code(a.alarm_id), code(a.key), std::to_string(a.level),
             std::string("第N路交流输入-") + a.message,
             english_pattern("第", std::string("路交流输入-") + a.message),
             capture_rules::kAcValueText, "running",
             "every mode: status byte `p40_44[" + std::to_string(a.byte) + "]` of AC input N is " +
                 hex_byte(a.code) + "; N = 1 to " + std::to_string(kAcChannels)});
    for (const capture_rules::StatusAlarm& a : capture_rules::kRectifierAlarms)
        row(out,
            {code(a.alarm_id), code(a.key), std::to_string(a.level),
             std::string("模块N") + a.message, english_pattern("模块", a.message),
             capture_rules::kRectifierValueText, "running",
             "every mode: alarm byte `p41_44[" + std::to_string(a.byte) + "]` of module N is " +
                 hex_byte(a.code) + "; N = 1 to " + std::to_string(modules)});

    out << "\n### Analog limit checks (threshold mode 1)\n\n";
    row(out, {"Alarm ID (\"ac_type\" 0 / non-zero)", "Value", "Report signal", "Report template",
              "Checked when"});
    row(out, {"---", "---", "---", "---", "---"});
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
        row(out, {id, value, sig, tpl, when});
    }
    for (const DcAnalogRule& r : kDcAnalogRules)
        row(out, {code(r.alarm_id),
                  "DC panel " + std::to_string(r.panel) +
                      (r.value == DcValue::Current ? " total current" : " bus voltage"),
                  code(r.signal_id), code(r.template_id),
                  r.panel == 1 ? "\"has_dc\"" : "\"has_dc\", two panels reported"});
    return out.str();
}

TEST(AlarmDoc, TablesMatchTheRuleTables) {
    const std::string expected = "\n\n" + render() + "\n";
    for (const char* path : kDocPaths)
        testsupport::expect_doc_section(path, kBegin, kEnd, expected, "SMD_WRITE_ALARM_DOC");
}

}  // namespace
