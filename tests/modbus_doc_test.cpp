// docs/modbus.md's register map, alarm bits and bounds are rendered from
// the server's own tables, so the page cannot drift from what a master reads.
// To refresh it after a change:
//   SMD_WRITE_MODBUS_DOC=1 ./build/unit_tests --gtest_filter='ModbusDoc.*'

#include <gtest/gtest.h>

#include <string>

#include "tests/support/doc_section.h"
#include "tools/smdgw/modbus/register_map_text.h"

namespace {

TEST(ModbusDoc, TablesMatchTheServersTables) {
    const std::string path = std::string(SOURCE_DIR) + "/docs/modbus.md";
    const struct {
        const char* name;
        std::string text;
    } parts[] = {
        {"registers", smdgw::modbus::register_map_markdown()},
        {"alarm bits", smdgw::modbus::alarm_bits_markdown()},
        {"limits", smdgw::modbus::limits_markdown()},
    };
    for (const auto& p : parts)
        testsupport::expect_doc_section(path,
                                        "<!-- generated modbus " + std::string(p.name) +
                                            ": begin -->",
                                        "<!-- generated modbus " + std::string(p.name) +
                                            ": end -->",
                                        p.text, "SMD_WRITE_MODBUS_DOC");
}

}  // namespace
