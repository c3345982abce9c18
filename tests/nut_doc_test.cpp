// docs/nut.md's variable and bound tables are rendered here from the NUT
// server's own tables, so the page cannot drift from what clients are told.
// To refresh it after a change:
//   SMD_WRITE_NUT_DOC=1 ./build/unit_tests --gtest_filter='NutDoc.*'

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>

#include "tests/support/doc_section.h"
#include "tools/smdgw/nut/nut_limits.h"
#include "tools/smdgw/nut/nut_variables.h"

namespace {

using namespace smdgw::nut;

std::string render_variables() {
    std::ostringstream out;
    out << "\n| Variable | GET DESC | GET TYPE | Value |\n|---|---|---|---|\n";
    for (const NutVariable* v = nut_variables_begin(); v != nut_variables_end(); ++v)
        out << "| `" << v->name << "` | " << v->description << " | `" << type_text(*v) << "` | "
            << v->source << " |\n";
    return out.str();
}

std::string render_limits() {
    std::ostringstream out;
    out << "\n| Bound | Value | Option | Past it |\n|---|---|---|---|\n";
    for (const NutLimit& l : kNutLimits) {
        const double whole = std::floor(l.value);
        out << "| " << l.what << " | ";
        if (whole == l.value)
            out << static_cast<long long>(whole);
        else
            out << l.value;
        out << " " << l.unit << " | " << (l.option ? "`" + std::string(l.option) + "`" : "fixed")
            << " | " << l.past_it << " |\n";
    }
    return out.str();
}

TEST(NutDoc, TablesMatchTheServersTables) {
    const std::string path = std::string(SOURCE_DIR) + "/docs/nut.md";
    testsupport::expect_doc_section(path, "<!-- generated nut variables: begin -->",
                                    "<!-- generated nut variables: end -->", render_variables(),
                                    "SMD_WRITE_NUT_DOC");
    testsupport::expect_doc_section(path, "<!-- generated nut limits: begin -->",
                                    "<!-- generated nut limits: end -->", render_limits(),
                                    "SMD_WRITE_NUT_DOC");
}

}  // namespace
