// The manual pages name every option the programs' --help names, and carry
// the sections a reader looks for.

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "tests/support/run_process.h"

namespace {

// The page as a reader sees it: font changes dropped, "\-" read as '-'.
std::string man_text(const std::string& page) {
    std::ifstream in(std::string(SOURCE_DIR) + "/docs/man/" + page, std::ios::binary);
    std::ostringstream os;
    os << in.rdbuf();
    std::string t = std::regex_replace(os.str(), std::regex(R"(\\f[BIRP])"), "");
    t = std::regex_replace(t, std::regex(R"(\\-)"), "-");
    return t;
}

// Every option word of a help text: "-v", "--trace-line", ...
std::set<std::string> help_options(const std::string& help) {
    std::set<std::string> out;
    const std::regex option(R"((^|[\s,\[(])(--?[a-zA-Z][a-zA-Z0-9-]*))");
    for (auto it = std::sregex_iterator(help.begin(), help.end(), option);
         it != std::sregex_iterator(); ++it)
        out.insert((*it)[2]);
    return out;
}

bool names(const std::string& text, const std::string& option) {
    const std::regex word("(^|[^a-zA-Z0-9-])" + option + "([^a-zA-Z0-9-]|$)");
    return std::regex_search(text, word);
}

void expect_page_covers_help(const std::string& program, const std::string& page) {
    const auto r = testsupport::run_process({program, "--help"});
    ASSERT_EQ(r.status, 0);
    const std::string text = man_text(page);
    ASSERT_FALSE(text.empty()) << page;
    const std::set<std::string> options = help_options(r.out);
    EXPECT_GE(options.size(), 10u) << r.out;
    for (const std::string& o : options) EXPECT_TRUE(names(text, o)) << page << " lacks " << o;
    for (const char* section : {".SH NAME", ".SH SYNOPSIS", ".SH DESCRIPTION", ".SH OPTIONS",
                                ".SH EXIT STATUS", ".SH EXAMPLES"})
        EXPECT_NE(text.find(section), std::string::npos) << page << " lacks " << section;
}

TEST(ManPage, SmdgwNamesEveryOptionOfItsHelp) {
    expect_page_covers_help(SMDGW_PATH, "smdgw.1");
    const std::string text = man_text("smdgw.1");
    for (const char* section : {".SH CONFIGURATION", ".SH EVENTS", ".SH INFLUX OUTPUT",
                                ".SH PROMETHEUS FILE", ".SH LINE TRACE"})
        EXPECT_NE(text.find(section), std::string::npos) << section;
}

TEST(ManPage, HelpOptionsAreFound) {
    EXPECT_EQ(help_options("  -v,--trace-line  x\n  --config FILE a plug-in, -48 V [--get]"),
              (std::set<std::string>{"-v", "--trace-line", "--config", "--get"}));
    EXPECT_TRUE(names("use --count N", "--count"));
    EXPECT_FALSE(names("use --count-all", "--count"));
}

#ifdef POWERSIM_PATH
TEST(ManPage, PowersimNamesEveryOptionOfItsHelp) {
    expect_page_covers_help(POWERSIM_PATH, "powersim.1");
}
#endif

}  // namespace
