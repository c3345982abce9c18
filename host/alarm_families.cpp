#include "host/alarm_families.h"

#include <cstring>

namespace smd {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool id_matches(const AlarmFamily& f, const std::string& id) {
    if (f.instance != Instance::Id) return id == f.alarm_id;
    // head, three digits within first to last, tail
    const size_t head = std::strlen(f.alarm_id);
    const size_t tail = std::strlen(f.id_tail);
    if (id.size() != head + 3 + tail || id.compare(0, head, f.alarm_id) != 0 ||
        id.compare(head + 3, tail, f.id_tail) != 0)
        return false;
    unsigned n = 0;
    for (size_t k = head; k < head + 3; ++k) {
        if (!is_digit(id[k])) return false;
        n = n * 10 + static_cast<unsigned>(id[k] - '0');
    }
    return n >= f.first && n <= f.last;
}

}  // namespace

const AlarmFamily* find_alarm_family(const std::string& alarm_id, const std::string& key) {
    for (const AlarmFamily& f : kAlarmFamilies) {
        if (f.key && key != f.key) continue;
        if (id_matches(f, alarm_id)) return &f;
    }
    return nullptr;
}

SectionMask alarm_sections(const std::string& alarm_id, const std::string& key) {
    if (const AlarmFamily* f = find_alarm_family(alarm_id, key)) return f->sections;
    // A configured threshold of mode 5 is keyed by the record path of its
    // value ("dc.v", "ac_channels[0].a"): the section of that member.
    const std::string top = key.substr(0, key.find_first_of(".["));
    if (const auto s = section_of_field(top.c_str())) return section_bit(*s);
    return kAllSections;
}

}  // namespace smd
