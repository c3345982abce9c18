#pragma once
// smdgw -v / --trace-line: one line per frame on standard error, with the time
// in milliseconds, the device, the direction, ADR, CID1, CID2 or RTN, the INFO
// length, the frame as hex and the decoder's verdict. At verbosity 2 a second
// line lists the INFO bytes.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/host_sink.h"

namespace smdgw {

class LineTrace : public HostSink {
   public:
    // now_ms: milliseconds since the epoch. prefix starts every line (a log
    // level for Telegraf, or nothing).
    LineTrace(std::FILE* out, int verbosity, std::function<int64_t()> now_ms,
              std::string prefix = {});
    ~LineTrace() override;

    bool wants_frames() const override { return true; }
    void on_frame(const std::string& device, const smd::FrameVerdict& verdict) override;

    // Local time as "YYYY-MM-DD HH:MM:SS.mmm".
    static std::string time_text(int64_t ms);
    // "command" for a CID2, "response" for a return code (0x00 to 0x06).
    static const char* direction(uint8_t cid2_rtn);

   private:
    void frame(const std::string& device, const uint8_t* f, size_t n, bool delivered);
    void error(const std::string& device, const char* kind);
    void put(const std::string& line);

    std::FILE* out_;
    int verbosity_;
    std::function<int64_t()> now_ms_;
    std::string prefix_;
};

}  // namespace smdgw
