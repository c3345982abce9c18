// Under Telegraf, each line smdgw writes to stderr carries the prefix of its
// level; without Telegraf the lines are plain.

#include <gtest/gtest.h>

#include <sstream>

#include "tools/smdgw/core/log.h"

namespace {

using smdgw::LogLevel;

// Sends the log to a string while it lives, with the given style.
class CapturedLog {
   public:
    CapturedLog(bool telegraf, bool debug) {
        smdgw::LogSettings s;
        s.telegraf = telegraf;
        s.debug = debug;
        s.to = &text_;
        saved_ = smdgw::set_log(s);
    }
    ~CapturedLog() { smdgw::set_log(saved_); }
    std::string text() const { return text_.str(); }

   private:
    std::ostringstream text_;
    smdgw::LogSettings saved_;
};

TEST(TelegrafLog, LevelPrefixes) {
    CapturedLog log(true, true);
    smdgw::log_error("cannot open capture x");
    smdgw::log_warning("port /dev/ttyS0 closed; retrying in 2 s");
    smdgw::log_info("connected to tcp:a:1");
    smdgw::log_debug("details");
    // The level, not the words, sets the prefix.
    smdgw::log_error("history: disk full; retrying does not help");
    EXPECT_EQ(log.text(),
              "E! smdgw: cannot open capture x\n"
              "W! smdgw: port /dev/ttyS0 closed; retrying in 2 s\n"
              "I! smdgw: connected to tcp:a:1\n"
              "D! smdgw: details\n"
              "E! smdgw: history: disk full; retrying does not help\n");
}

TEST(TelegrafLog, PlainWithoutTelegrafAndDebugOnlyWhenAsked) {
    CapturedLog log(false, false);
    smdgw::log_warning("port x closed; retrying in 1 s");
    smdgw::log_debug("hidden");
    smdgw::log_line(LogLevel::Info, "connected to x");
    EXPECT_EQ(log.text(), "smdgw: port x closed; retrying in 1 s\nsmdgw: connected to x\n");
}

}  // namespace
