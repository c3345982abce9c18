// The compact record of --mqtt-payload compact, driven by its key table
// (tools/smdgw/output/record_compact.cpp): every value the full record has
// within its counts is under its short key with the same number, nothing
// else is, and docs/fleet.md lists the keys as the table says. To refresh
// the docs after a change:
//   SMD_WRITE_RECORD_DOC=1 ./build/unit_tests --gtest_filter='RecordCompact.*'

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "record/record_fields.h"
#include "tests/support/doc_section.h"
#include "tests/support/synthetic_record.h"
#include "tools/smdgw/output/record_compact.h"

namespace {

using smdgw::CompactKey;
using veltra::FieldType;
using veltra::Group;
using veltra::RecordField;

Json::Value parse(const std::string& text) {
    Json::Value v;
    EXPECT_TRUE(Json::Reader().parse(text, v)) << text;
    return v;
}

// The compact object that holds a field's key, and the full one, for
// element k of its section.
struct Place {
    std::string compact_section;  // "" for the record itself
    std::string full_section;
    bool per_element;
};

Place place_of(const RecordField& f) {
    switch (f.group) {
        case Group::Ac:
            return {"ac", "ac", false};
        case Group::AcInput:
            return {"in", "ac_channels", true};
        case Group::Rectifier:
            return {"m", "channels", true};
        case Group::DcPanel:
            return {"dc", "dc", false};
        default:
            return {"", "", false};
    }
}

// Equal numbers (null for NaN in both), equal arrays.
void expect_same(const Json::Value& full, const Json::Value& compact, const std::string& what) {
    if (full.isArray()) {
        ASSERT_TRUE(compact.isArray()) << what;
        ASSERT_EQ(full.size(), compact.size()) << what;
        for (Json::ArrayIndex i = 0; i < full.size(); ++i)
            expect_same(full[i], compact[i], what + "[" + std::to_string(i) + "]");
        return;
    }
    if (full.isNull()) {
        EXPECT_TRUE(compact.isNull()) << what;
        return;
    }
    EXPECT_EQ(full.asDouble(), compact.asDouble()) << what;
}

void expect_record_matches(const std::vector<unsigned char>& bytes) {
    std::string full_text, compact_text;
    veltra::record_json_text(full_text, bytes.data(), bytes.size());
    smdgw::record_compact_text(compact_text, bytes.data(), bytes.size());
    const Json::Value full = parse(full_text), compact = parse(compact_text);
    const auto& r = *reinterpret_cast<const veltra_record_t*>(bytes.data());
    EXPECT_EQ(compact["m"].size(), veltra::reported_modules(r));
    EXPECT_EQ(compact["in"].size(), veltra::reported_ac_inputs(r));
    EXPECT_EQ(compact.isMember("dc2"), veltra::has_second_panel(r));
    // No padding: whole numbers bare.
    EXPECT_EQ(compact_text.find(".0,"), std::string::npos) << compact_text;
    for (const CompactKey* k = smdgw::compact_keys_begin(); k != smdgw::compact_keys_end(); ++k) {
        const RecordField* f = veltra::find_path(k->path);
        ASSERT_NE(f, nullptr) << k->path;
        if (f->type == FieldType::Struct) continue;
        const Place p = place_of(*f);
        const std::string name = veltra::field_name(*f);
        const auto check = [&](const Json::Value& full_obj, const Json::Value& compact_obj,
                               const std::string& where) {
            const Json::Value& value = full_obj[name];
            // An array the plant reported empty is left out.
            if (value.isArray() && value.empty()) {
                EXPECT_FALSE(compact_obj.isMember(k->key)) << where;
                return;
            }
            ASSERT_TRUE(compact_obj.isMember(k->key)) << where << " " << compact_text;
            expect_same(value, compact_obj[k->key], where);
        };
        if (p.compact_section.empty()) {
            check(full, compact, k->path);
        } else if (!p.per_element) {
            check(full[p.full_section], compact[p.compact_section], k->path);
            if (p.full_section == "dc" && compact.isMember("dc2"))
                check(full["dc2"], compact["dc2"], std::string(k->path) + " of dc2");
        } else {
            for (Json::ArrayIndex e = 0; e < compact[p.compact_section].size(); ++e)
                check(full[p.full_section][e], compact[p.compact_section][e],
                      std::string(k->path) + " #" + std::to_string(e));
        }
    }
}

TEST(RecordCompact, EveryReportedValueIsUnderItsShortKeyWithTheSameNumber) {
    for (uint32_t seq : {1u, 7u, 40u}) expect_record_matches(testsupport::synthetic_record(seq, 53.5f));
    // Forty modules, one AC input, no second panel.
    std::vector<unsigned char> bytes = testsupport::synthetic_record(3, 48.0f);
    auto& r = *reinterpret_cast<veltra_record_t*>(bytes.data());
    r.channel_count = 40;
    r.ac.channel_count = 1;
    std::memset(&r.dc2, 0, sizeof r.dc2);
    expect_record_matches(bytes);
    std::string text;
    smdgw::record_compact_text(text, bytes.data(), bytes.size() - 1);
    EXPECT_EQ(text, "null");
}

// Every field of the record is in the compact form but the counts (an
// array's length says them), the data IDs and the times.
TEST(RecordCompact, TheKeysCoverEveryValueButCountsIdsAndTimes) {
    std::set<std::string> keyed;
    for (const CompactKey* k = smdgw::compact_keys_begin(); k != smdgw::compact_keys_end(); ++k)
        EXPECT_TRUE(keyed.insert(k->path).second) << k->path << " twice";
    std::set<const char*> counts;
    for (const RecordField* f = veltra::record_fields_begin(); f != veltra::record_fields_end(); ++f)
        if (f->count) counts.insert(f->count);
    for (const RecordField* f = veltra::record_fields_begin(); f != veltra::record_fields_end(); ++f) {
        const std::string name = veltra::field_name(*f);
        bool is_count = name == "channel_count" || name == "m" || name == "n";
        for (const char* c : counts) is_count = is_count || name == c;
        const bool left_out = is_count || name == "data_id" || f->type == FieldType::Time;
        if (f->group == Group::DcPanel && std::strncmp(f->path, "dc.", 3) != 0) continue;
        EXPECT_EQ(keyed.count(f->path) == 1, !left_out) << f->path;
    }
}

TEST(RecordCompact, TheDocsListTheKeys) {
    std::string table = "\n\n| Key | In | Field | Meaning |\n|---|---|---|---|\n";
    for (const CompactKey* k = smdgw::compact_keys_begin(); k != smdgw::compact_keys_end(); ++k) {
        const RecordField* f = veltra::find_path(k->path);
        ASSERT_NE(f, nullptr) << k->path;
        const Place p = place_of(*f);
        std::string in = p.compact_section.empty() ? "the record"
                         : p.per_element          ? "`" + p.compact_section + "[]`"
                         : p.compact_section == "dc" ? "`dc`, `dc2`"
                                                     : "`" + p.compact_section + "`";
        std::string meaning = k->note ? k->note : f->what;
        if (*f->unit) meaning += " (" + std::string(f->unit) + ")";
        table += "| `" + std::string(k->key) + "` | " + in + " | `" + k->path + "` | " + meaning +
                 " |\n";
    }
    testsupport::expect_doc_section(std::string(SOURCE_DIR) + "/docs/fleet.md",
                                    "<!-- generated compact keys: begin -->",
                                    "\n<!-- generated compact keys: end -->", table + "\n",
                                    "SMD_WRITE_RECORD_DOC");
}

}  // namespace
