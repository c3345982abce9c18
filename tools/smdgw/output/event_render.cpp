#include "tools/smdgw/output/event_render.h"

#include "host/alarm_english.h"
#include "record/record_fields.h"
#include "tools/smdgw/output/record_compact.h"

namespace smdgw {

void record_members(JsonObject& obj, const smd::RecordPublished& r, RecordForm form,
                    std::string_view battery) {
    if (!battery.empty()) obj.add("battery") = battery;
    json_int(obj.add("data_id"), r.data_id);
    json_string(obj.add("event"), "record");
    if (form == RecordForm::Compact) {
        record_compact_text(obj.add("compact"), r.data, r.length);
    } else {
        json_uint(obj.add("length"), r.length);
        veltra::record_json_text(obj.add("record"), r.data, r.length);
    }
    json_bool(obj.add("complete"), r.quality.complete());
    if (!r.quality.complete()) {
        std::string& damage = obj.add("damage");
        damage += "{\"frame_errors\":";
        json_uint(damage, r.quality.frame_errors);
        damage += ",\"unanswered_commands\":";
        json_uint(damage, r.quality.unanswered_commands);
        damage += '}';
    }
    json_bool(obj.add("restored"), r.quality.restored);
    section_states(obj.add("sections"), r.quality.sections);
}

void section_states(std::string& out, const smd::SectionStates& states) {
    out += '{';
    for (smd::Section s : smd::kSections) {
        if (s != smd::kSections.front()) out += ',';
        json_string(out, smd::plant_section(s).name);
        out += ':';
        json_string(out, smd::freshness_name(states[static_cast<size_t>(s)]));
    }
    out += '}';
}

void alarm_members(JsonObject& obj, const smd::AlarmChange& a) {
    json_string(obj.add("event"), "alarm");
    json_string(obj.add("state"), a.raised ? "raised" : "cleared");
    json_int(obj.add("level"), a.level);
    json_string(obj.add("key"), a.key);
    json_string(obj.add("alarm_id"), a.alarm_id);
    json_string(obj.add("value"), a.value);
    json_string(obj.add("message"), a.message);
    json_string(obj.add("english"),
                smd::alarm_english(std::string(a.alarm_id), std::string(a.key),
                                   std::string(a.message)));
    json_uint(obj.add("seq"), a.seq);
    if (!a.reason.empty()) json_string(obj.add("reason"), a.reason);
}

}  // namespace smdgw
