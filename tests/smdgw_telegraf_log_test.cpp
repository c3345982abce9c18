// Under Telegraf, each line smdgw writes to stderr carries a level prefix.

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

#include "tools/smdgw/output/telegraf_log.h"

namespace {

TEST(TelegrafLog, LevelPrefixes) {
    const struct {
        const char* line;
        const char* out;
    } cases[] = {
        {"smdgw: cannot open capture x", "E! smdgw: cannot open capture x"},
        {"smdgw: port /dev/ttyS0 closed; retrying in 2 s",
         "W! smdgw: port /dev/ttyS0 closed; retrying in 2 s"},
        {"smdgw: connected to tcp:a:1", "I! smdgw: connected to tcp:a:1"},
        {"D! already prefixed", "D! already prefixed"},
        {"I! info", "I! info"},
    };
    for (const auto& c : cases) EXPECT_EQ(smdgw::TelegrafLog::prefixed(c.line), c.out);
}

TEST(TelegrafLog, PrefixesEveryLineOnCerrWhileItLives) {
    std::ostringstream sink;
    std::streambuf* original = std::cerr.rdbuf(sink.rdbuf());
    {
        smdgw::TelegrafLog log;
        std::cerr << "smdgw: first" << std::endl << "smdgw: sec";
        std::cerr << "ond\n";
    }
    std::cerr << "plain\n";
    std::cerr.rdbuf(original);
    EXPECT_EQ(sink.str(), "E! smdgw: first\nE! smdgw: second\nplain\n");
}

}  // namespace
