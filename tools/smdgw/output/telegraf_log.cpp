#include "tools/smdgw/output/telegraf_log.h"

#include <iostream>
#include <streambuf>

namespace smdgw {

namespace {

struct LevelRule {
    const char* contains;
    const char* prefix;
};

// The first rule whose text the line contains sets its level.
constexpr LevelRule kLevelRules[] = {
    {"retrying", "W! "},
    {"connected to", "I! "},
};

}  // namespace

// Collects a line and hands it on with its prefix when it ends.
class TelegrafLog::Buffer : public std::streambuf {
   public:
    explicit Buffer(std::streambuf* out) : out_(out) {}
    ~Buffer() override { flush_line(); }

   protected:
    int overflow(int c) override {
        if (c == traits_type::eof()) return 0;
        line_.push_back(static_cast<char>(c));
        if (c == '\n') flush_line();
        return c;
    }
    int sync() override { return out_->pubsync(); }

   private:
    void flush_line() {
        if (line_.empty()) return;
        const std::string text = prefixed(line_);
        out_->sputn(text.data(), static_cast<std::streamsize>(text.size()));
        out_->pubsync();
        line_.clear();
    }
    std::streambuf* out_;
    std::string line_;
};

std::string TelegrafLog::prefixed(const std::string& line) {
    for (const char* p : {"E! ", "W! ", "I! ", "D! "})
        if (line.compare(0, 3, p) == 0) return line;
    for (const LevelRule& r : kLevelRules)
        if (line.find(r.contains) != std::string::npos) return r.prefix + line;
    return "E! " + line;
}

TelegrafLog::TelegrafLog() : buf_(std::make_unique<Buffer>(std::cerr.rdbuf())) {
    saved_ = std::cerr.rdbuf(buf_.get());
}

TelegrafLog::~TelegrafLog() {
    std::cerr.rdbuf(saved_);
    buf_.reset();
}

}  // namespace smdgw
