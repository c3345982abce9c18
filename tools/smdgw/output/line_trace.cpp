#include "tools/smdgw/output/line_trace.h"

#include <ctime>

#include "host/frame_codec.h"

namespace smdgw {

namespace {

// Return codes a response carries in place of CID2; commands use 0x40 and up.
constexpr uint8_t kLastReturnCode = 0x06;

}  // namespace

LineTrace::LineTrace(std::FILE* out, int verbosity, std::function<int64_t()> now_ms,
                     std::string prefix)
    : out_(out), verbosity_(verbosity), now_ms_(std::move(now_ms)), prefix_(std::move(prefix)) {}

LineTrace::~LineTrace() = default;

void LineTrace::on_frame(const std::string& device, const smd::FrameVerdict& v) {
    if (v.kind == smd::FrameVerdict::Kind::Rejected) {
        error(device, smd::frame_error_name(v.error));
    } else {
        frame(device, v.frame, v.length, v.kind == smd::FrameVerdict::Kind::Delivered);
    }
}

std::string LineTrace::time_text(int64_t ms) {
    const std::time_t s = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    const int milli = static_cast<int>(ms - static_cast<int64_t>(s) * 1000);
    std::tm tm{};
    localtime_r(&s, &tm);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, milli);
    return buf;
}

const char* LineTrace::direction(uint8_t cid2_rtn) {
    return cid2_rtn <= kLastReturnCode ? "response" : "command";
}

void LineTrace::put(const std::string& line) {
    const std::string text = prefix_ + line + "\n";
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
}

void LineTrace::frame(const std::string& device, const uint8_t* f, size_t n, bool delivered) {
    if (n < smd::kHeaderBytes) return;
    const size_t info = n - smd::kHeaderBytes;
    const bool response = f[3] <= kLastReturnCode;
    char head[96];
    std::snprintf(head, sizeof head, " %-8s ADR=%02X CID1=%02X %s=%02X INFO=%zu ", direction(f[3]),
                  f[1], f[2], response ? "RTN" : "CID2", f[3], info);
    // The wire text without SOI and EOI; the decoder keeps no copy, so the
    // frame is encoded again from its bytes.
    const std::string wire = smd::encode_frame(f[0], f[1], f[2], f[3], f + smd::kHeaderBytes, info);
    std::string line = time_text(now_ms_()) + " " + device + head +
                       wire.substr(1, wire.size() - 2) +
                       (delivered ? " accepted" : " accepted, other address: not delivered");
    put(line);
    if (verbosity_ < 2) return;
    std::string bytes = "    INFO";
    if (info == 0) bytes += " (none)";
    for (size_t k = 0; k < info; ++k) {
        char b[4];
        std::snprintf(b, sizeof b, " %02X", f[smd::kHeaderBytes + k]);
        bytes += b;
    }
    put(bytes);
}

void LineTrace::error(const std::string& device, const char* kind) {
    put(time_text(now_ms_()) + " " + device + " rejected: " + kind);
}

}  // namespace smdgw
