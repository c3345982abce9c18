// The fleet's alerting files as shipped (examples/fleet/): vmalert reads the
// rules (expressions and templates), Alertmanager's amtool the routing,
// VictoriaMetrics the scrape configuration; docs/fleet.md shows each file as
// it is. After editing a file, refresh the docs with
//   SMD_WRITE_FLEET_DOC=1 build/unit_tests --gtest_filter='FleetAlerts.*'

#include <gtest/gtest.h>

#include <string>

#include "tests/support/doc_section.h"
#include "tests/support/run_process.h"

namespace {

using testsupport::read_text;
using testsupport::run_process;

const std::string kDir = std::string(SOURCE_DIR) + "/examples/fleet/";

TEST(FleetAlerts, ShippedFilesAreValidAndShownInTheDocs) {
    const auto rules = run_process({"/usr/bin/vmalert", "-dryRun", "-rule=" + kDir + "vmalert-rules.yml",
                                    "-rule.validateExpressions", "-rule.validateTemplates"});
    EXPECT_EQ(rules.status, 0) << rules.out << rules.err;
    const auto routes = run_process({"/usr/bin/amtool", "check-config", kDir + "alertmanager.yml"});
    EXPECT_EQ(routes.status, 0) << routes.out << routes.err;
    const auto scrape = run_process({"/usr/bin/victoria-metrics", "-promscrape.config=" + kDir + "scrape.yml",
                                     "-promscrape.config.dryRun"});
    EXPECT_EQ(scrape.status, 0) << scrape.out << scrape.err;

    for (const char* file : {"vmalert-rules.yml", "alertmanager.yml", "scrape.yml"})
        testsupport::expect_doc_section(
            std::string(SOURCE_DIR) + "/docs/fleet.md",
            std::string("<!-- examples/fleet/") + file + ": begin -->\n",
            std::string("<!-- examples/fleet/") + file + ": end -->",
            "```yaml\n" + read_text(kDir + file) + "```\n", "SMD_WRITE_FLEET_DOC");
}

}  // namespace
