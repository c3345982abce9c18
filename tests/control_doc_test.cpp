// docs/control.md lists the set-points and rectifier controls the driver's
// tables know, with the bytes each sends; the tables between the markers are
// rendered here from those tables, so the page cannot drift from the code.
// To refresh it after a change:
//   SMD_WRITE_CONTROL_DOC=1 ./build/unit_tests --gtest_filter='ControlDoc.*'

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "host/frame_codec.h"
#include "pmbuspower/control_commands.h"
#include "tests/support/doc_section.h"

namespace {

using namespace pmbus_control;

// The capture driver's model: none of the listed ones.
const char* const kThisDriver = "veltra_quelm_k418t_419";

std::string hex_bytes(const uint8_t* b, int n) {
    std::string out;
    char buf[4];
    for (int i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%s%02X", i ? " " : "", b[i]);
        out += buf;
    }
    return out;
}

std::string hex_byte(uint8_t b) { return hex_bytes(&b, 1); }

// The whole frame as it goes on the line (version 0x21, address 1).
std::string frame(uint8_t cid1, const CommandInfo& c) {
    return smd::encode_frame(0x21, 0x01, cid1, c.cid2, c.bytes.data(),
                             static_cast<size_t>(c.length));
}

std::string models(const char* const* m, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += (i ? ", " : "") + std::string("`") + m[i] + "`";
    return out;
}

std::string render() {
    std::ostringstream out;
    out << "\n### Set-points (code 310)\n\n"
        << "`\"signal_id\"` names the set-point (either ID of a row); `\"SetValue\"` is read "
           "like `atof` reads its text (a number or a text; text that is no number gives 0). "
           "INFO is the parameter type byte of the device's model, then the value: for `"
        << kFixedPointModel
        << "` in hundredths as a 16-bit integer, high byte first (CID2 0x49); for every other "
           "model as a 32-bit IEEE-754 float, least significant byte first (CID2 0x48). "
           "Other members of the object are ignored.\n\n"
        << "| Signal IDs |";
    for (const char* m : kSetPointModels) out << " `" << m << "` |";
    out << " other |\n|---|";
    for (size_t i = 0; i <= std::size(kSetPointModels); ++i) out << "---|";
    out << "\n";
    for (const SetPoint& sp : kSetPoints) {
        out << "| `" << sp.signal_ids[0] << "`, `" << sp.signal_ids[1] << "` |";
        for (uint8_t t : sp.type) out << " " << hex_byte(t) << " |";
        out << "\n";
    }
    out << "\nWith `\"SetValue\": \"53.5\"`:\n\n"
        << "| Signal ID | Model | INFO | Frame |\n|---|---|---|---|\n";
    for (const SetPoint& sp : kSetPoints)
        for (const char* model : {kFixedPointModel, kThisDriver}) {
            const auto c = set_point_command(model, sp.signal_ids[0], "53.5");
            out << "| `" << sp.signal_ids[0] << "` | `" << model << "` | "
                << hex_bytes(c->bytes.data(), c->length) << " | `" << frame(kDcDistribution, *c)
                << "` |\n";
        }

    out << "\n### Rectifier controls (code 320)\n\n"
        << "The first row that matches the text applies; a text that matches none sends "
           "nothing. Where the first nine characters match, up to three characters after "
           "them are read like `atoi` reads them and sent as the second INFO byte (the "
           "module: `419500201003` gives 3). Listed models: "
        << models(kRectifierControlModels, std::size(kRectifierControlModels)) << ".\n\n"
        << "| Text | INFO, listed models | INFO, other models | Example | Frame (other models) |\n"
        << "|---|---|---|---|---|\n";
    for (const RectifierControl& r : kRectifierControls) {
        const bool prefix = r.match == Match::Prefix;
        const std::string example = prefix ? std::string(r.text) + "003" : r.text;
        const auto listed = rectifier_control_command(kRectifierControlModels[0], example);
        const auto other = rectifier_control_command(kThisDriver, example);
        const std::string second = prefix ? "NNN" : hex_byte(r.second);
        out << "| " << (prefix ? "starts with `" : "`") << r.text << "`" << (prefix ? " + NNN" : "")
            << " | " << hex_byte(r.listed_model) << " " << second << " | "
            << hex_byte(r.other_model) << " " << second << " | `" << example
            << "`: " << hex_bytes(other->bytes.data(), other->length)
            << " (listed: " << hex_bytes(listed->bytes.data(), listed->length) << ") | `"
            << frame(kRectifierGroup, *other) << "` |\n";
    }
    return out.str();
}

TEST(ControlDoc, TablesMatchTheDriversControlTables) {
    testsupport::expect_doc_section(
        std::string(SOURCE_DIR) + "/docs/control.md", "<!-- generated control tables: begin -->",
        "<!-- generated control tables: end -->", render(), "SMD_WRITE_CONTROL_DOC");
}

}  // namespace
