#pragma once
// Helpers for the capture tests: payloads from hex, float wire text, round-buffer
// byte checks, decoded frames handed straight to process_payload, and log capture.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "host/frame_codec.h"
#include "plugin/veltra_quelm_k418t_419.h"
#include "record/veltra_record.h"

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// Bytes of hex text; blanks are allowed between digits.
inline Bytes hex(const std::string& text) {
    Bytes out;
    EXPECT_TRUE(smd::from_hex(text, out)) << "bad hex in test: " << text;
    return out;
}

// Wire text of a float: IEEE-754 single precision, least significant byte first.
inline std::string f32(float v) {
    uint8_t b[4];
    store_le_f32(b, v);
    return smd::to_hex(b, 4);
}

inline std::string zeros(size_t n) { return std::string(2 * n, '0'); }

inline Bytes record_bytes(const veltra_quelm_k418t_419_Data_t& rec) {
    Bytes out(sizeof rec);
    std::memcpy(out.data(), &rec, sizeof rec);
    return out;
}

// Bytes expected at a record offset, as hex.
struct Patch {
    size_t offset;
    std::string hex;
};

// Expects after == before with the patches applied, and names every differing offset.
inline void expect_record(const Bytes& before, const std::vector<Patch>& patches,
                          const veltra_quelm_k418t_419_Data_t& after) {
    Bytes want = before;
    for (const Patch& p : patches) {
        const Bytes b = hex(p.hex);
        ASSERT_LE(p.offset + b.size(), want.size()) << "patch at " << p.offset;
        std::copy(b.begin(), b.end(), want.begin() + static_cast<long>(p.offset));
    }
    const Bytes got = record_bytes(after);
    std::ostringstream diff;
    int shown = 0;
    for (size_t i = 0; i < want.size() && shown < 12; ++i) {
        if (want[i] != got[i]) {
            diff << " [" << i << "] want " << unsigned(want[i]) << " got " << unsigned(got[i]);
            ++shown;
        }
    }
    EXPECT_EQ(diff.str(), "") << "round buffer bytes differ";
}

// A driver whose protected frame handling the tests reach directly.
struct ProbeDriver : Veltra_Quelm_K418T_419 {
    // Delivers a decoded frame (VER ADR CID1 CID2/RTN LENID-le INFO) as the host would.
    int deliver(uint8_t cid1, uint8_t cid2_or_rtn, const Bytes& info) {
        const unsigned lenid = static_cast<unsigned>(2 * info.size());
        return deliver_raw(cid1, cid2_or_rtn, lenid, info);
    }
    // As deliver, with a LENID that need not agree with the INFO bytes present.
    int deliver_raw(uint8_t cid1, uint8_t cid2_or_rtn, unsigned lenid, const Bytes& info) {
        frame = {0x21,
                 0x01,
                 cid1,
                 cid2_or_rtn,
                 static_cast<uint8_t>(lenid),
                 static_cast<uint8_t>(lenid >> 8)};
        frame.insert(frame.end(), info.begin(), info.end());
        frame_ = frame.data();
        frame_len_ = frame.size();
        return process_payload();
    }
    int frame_error() { return process_error(); }
    int refresh_status() const { return refresh_status_; }
    void set_refresh_status(int v) { refresh_status_ = v; }
    const veltra_quelm_k418t_419_Data_t& live() const { return cData; }

    Bytes frame;
};

inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

}  // namespace testsupport
