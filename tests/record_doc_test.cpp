// docs/architecture.md lists the record's fields and docs/configuration.md
// the members of the data snapshot; both tables are rendered here from the
// field table (record/record_fields.cpp), so they cannot drift from the code.
// To refresh them after a change:
//   SMD_WRITE_RECORD_DOC=1 ./build/unit_tests --gtest_filter='RecordDoc.*'

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "record/record_fields.h"
#include "tests/support/doc_section.h"

namespace {

using veltra::FieldType;
using veltra::Group;
using veltra::RecordField;

std::string code(const std::string& s) { return "`" + s + "`"; }

const char* type_name(const RecordField& f) {
    switch (f.type) {
        case FieldType::U8:
            return "u8";
        case FieldType::U32:
            return "u32 LE";
        case FieldType::F32:
            return "f32 LE";
        case FieldType::Time:
            return "time";
        case FieldType::Struct:
            break;
    }
    switch (f.element) {
        case Group::Ac:
            return "AC distribution";
        case Group::AcInput:
            return "AC input";
        case Group::Rectifier:
            return "rectifier module";
        case Group::DcPanel:
            return "DC panel";
        case Group::Record:
        case Group::None:
            break;
    }
    return "?";
}

std::string elements(const RecordField& f) {
    if (!veltra::is_array(f)) return "";
    std::string s = std::to_string(f.size);
    if (f.count) s += ", up to " + code(f.count);
    return s;
}

std::string sample(const RecordField& f) {
    if (!f.metric) return "";
    std::string s = code(f.metric->field) + ", " + code("…_" + std::string(f.metric->metric));
    if (f.metric->phase) s += std::string(" phase=\"") + f.metric->phase + "\"";
    return s;
}

std::string field_rows() {
    std::ostringstream out;
    out << "| Field | Offset | Type | Elements | Unit | Meaning | Sample (Influx, Prometheus) |\n"
        << "|---|---|---|---|---|---|---|\n";
    for (const RecordField* f = veltra::record_fields_begin(); f != veltra::record_fields_end();
         ++f)
        out << "| " << code(f->path) << " | " << f->offset << " | " << type_name(*f) << " | "
            << elements(*f) << " | " << f->unit << " | " << f->what << " | " << sample(*f)
            << " |\n";
    return out.str();
}

// One section of the record as the snapshot shows it: the path its members
// start with, when it is there, and whose values they are.
struct SnapshotSection {
    std::string prefix;
    std::string present;
    std::string whose;
};

SnapshotSection section_of(const RecordField& s) {
    const std::string name = s.path;
    const std::string at_most = " (at most " + std::to_string(s.size) + ")";
    if (name == "ac_channels")
        return {"ac_channels[i].", "i < " + code("ac.channel_count") + at_most, ", AC input i+1"};
    if (name == "channels")
        return {"channels[j].", "j < " + code(s.count) + at_most, ", module j+1"};
    if (name == "dc2") return {"dc2.", "only when 2 DC panels are reported", ", panel 2"};
    if (name == "dc") return {"dc.", "always", ", panel 1"};
    return {name + ".", "always", ""};
}

void snapshot_rows(std::ostringstream& out, const SnapshotSection& s, Group g) {
    for (const RecordField* f = veltra::group_begin(g); f != veltra::group_end(g); ++f) {
        if (f->type != FieldType::F32 || f->size == 0) continue;
        std::string member = s.prefix + veltra::field_name(*f);
        std::string present = s.present;
        if (veltra::is_array(*f)) {
            member += "[k]";
            const std::string bound =
                "k < " + code(s.prefix + f->count) + " (at most " + std::to_string(f->size) + ")";
            present = present == "always" ? bound : present + ", " + bound;
        }
        out << "| " << code(member) << " | " << present << " | " << f->what << s.whose << " |\n";
    }
}

std::string snapshot_table() {
    std::ostringstream out;
    out << "| Member | Present | Meaning |\n|---|---|---|\n";
    snapshot_rows(out, {"", "always", ""}, Group::Record);
    for (const RecordField* s = veltra::group_begin(Group::Record);
         s != veltra::group_end(Group::Record); ++s)
        if (s->type == FieldType::Struct) snapshot_rows(out, section_of(*s), s->element);
    return out.str();
}

TEST(RecordDoc, FieldTableInTheArchitecture) {
    testsupport::expect_doc_section(std::string(SOURCE_DIR) + "/docs/architecture.md",
                                    "<!-- generated record fields: begin -->",
                                    "<!-- generated record fields: end -->",
                                    "\n\n" + field_rows() + "\n", "SMD_WRITE_RECORD_DOC");
}

TEST(RecordDoc, SnapshotMembersInTheConfiguration) {
    testsupport::expect_doc_section(std::string(SOURCE_DIR) + "/docs/configuration.md",
                                    "<!-- generated snapshot members: begin -->",
                                    "<!-- generated snapshot members: end -->",
                                    "\n\n" + snapshot_table() + "\n", "SMD_WRITE_RECORD_DOC");
}

}  // namespace
