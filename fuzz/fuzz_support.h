#pragma once
// Shared pieces of the fuzz targets: a silenced driver log, a byte cursor over
// the fuzzer's input and exactly-sized copies, so the sanitizer sees any read
// past the bytes a decoder was given.

#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include "host/line_port.h"

namespace fuzzsupport {

// An open line that swallows what the driver sends.
class NullLine : public LinePort {
   public:
    bool is_open() const override { return true; }
    bool write(const unsigned char*, size_t) override { return true; }
    const std::string& name() const override { return name_; }

   private:
    std::string name_ = "null";
};

// The driver logs every frame and round; the fuzzer needs none of it.
class NullBuffer : public std::streambuf {
   protected:
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// Set-up a target may need before its first input (defined by the target).
void prepare_target();

inline void silence_driver_log() {
    // Never destroyed: std::cout is flushed once more after static destructors run.
    static NullBuffer* const null = new NullBuffer;
    std::cout.rdbuf(null);
    if (!std::freopen("/dev/null", "w", stdout)) std::fclose(stdout);
}

// Takes bytes from the front of the input; past the end it yields zeros.
class Input {
   public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
    size_t left() const { return size_ - pos_; }
    // The next n bytes (fewer at the end) as an exactly-sized heap copy.
    std::vector<uint8_t> take(size_t n) {
        if (n > left()) n = left();
        std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }
    std::vector<uint8_t> rest() { return take(left()); }

   private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Hands the bytes on in chunks of 1 to 64 bytes, sizes drawn from the seed:
// a frame may be split anywhere, as reads from a serial port split it.
template <class Fn>
void for_each_chunk(const std::vector<uint8_t>& bytes, uint32_t seed, Fn&& fn) {
    uint32_t state = seed * 2654435761u + 1;
    size_t pos = 0;
    while (pos < bytes.size()) {
        state = state * 1103515245u + 12345u;
        size_t n = 1 + (state >> 16) % 64;
        if (n > bytes.size() - pos) n = bytes.size() - pos;
        fn(std::vector<uint8_t>(bytes.begin() + static_cast<long>(pos),
                                bytes.begin() + static_cast<long>(pos + n)));
        pos += n;
    }
}

// A heap buffer of exactly n bytes (never a null pointer, even for n = 0).
inline std::unique_ptr<uint8_t[]> exact_copy(const std::vector<uint8_t>& bytes) {
    std::unique_ptr<uint8_t[]> p(new uint8_t[bytes.empty() ? 1 : bytes.size()]);
    for (size_t i = 0; i < bytes.size(); ++i) p[i] = bytes[i];
    return p;
}

// A device entry with the threshold mode given and a few alarm levels, limits
// and mode 5 limit sets, so every rule path has something to report.
inline Json::Value device_entry(int b_mode) {
    Json::Value e;
    e["name"] = "fuzz";
    e["data_id"] = 418;
    e["appSetting"]["b_mode"] = b_mode;
    e["appSetting"]["has_ac"] = "1";
    e["appSetting"]["has_dc"] = "1";
    e["appSetting"]["ac_line"] = "0";
    e["alarm_levels"]["120600180010"] = 3;
    e["alarm_levels"]["419610801001"] = 2;
    e["alarm_levels"]["419430501001"] = 2;
    e["limits"]["419610801001"]["upper"] = 260;
    e["limits"]["419610801001"]["lower"] = 180;
    Json::Value& ts = e["thresholdSetting"];
    ts["v"]["ID"] = "419115100001";
    ts["v"]["SignalName"] = "dc.v";
    ts["v"]["UpValue"] = 56.5;
    ts["v"]["UpReconverValue"] = 55;
    ts["v"]["UpAlarmLevel"] = 2;
    ts["v"]["LowValue"] = 42;
    ts["v"]["LowReconverValue"] = 44;
    ts["v"]["LowAlarmLevel"] = 2;
    return e;
}

}  // namespace fuzzsupport
