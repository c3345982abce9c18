#pragma once
// Table-driven decoder checks: a payload, the expected result, and the round-buffer bytes
// the decoder must write over a buffer filled with a marker byte (every other byte must
// keep the marker).

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/capture_support.h"
#include "tests/support/driver_fixture.h"

namespace testsupport {

constexpr uint8_t kMarker = 0x5A;

struct DecoderCase {
    std::string name;
    std::string info;  // hex
    int result;
    std::vector<Patch> writes;
    long dc_number = -1;  // expected dc_number afterwards; -1: not checked
};

constexpr uint32_t kDcNumberBefore = 7;

using Decoder = int (Veltra_Quelm_K418T_419::*)(const unsigned char*, int);

// Runs every case on a fresh driver; the payload is copied into a buffer of exactly its
// length so that a read past it is caught by the address sanitizer.
inline void run_decoder_cases(Decoder decode, const std::vector<DecoderCase>& cases) {
    for (const DecoderCase& c : cases) {
        SCOPED_TRACE(c.name);
        DriverHarness<ProbeDriver> h;
        std::memset(static_cast<void*>(&h.drv->round_data_), kMarker, sizeof h.drv->round_data_);
        h.drv->dc_number = kDcNumberBefore;
        const Bytes before = record_bytes(h.drv->round_data_);
        const Bytes info = hex(c.info);
        std::unique_ptr<unsigned char[]> exact(new unsigned char[info.size() + 1]);
        std::copy(info.begin(), info.end(), exact.get());
        testing::internal::CaptureStdout();
        const int r = ((*h.drv).*decode)(exact.get(), static_cast<int>(info.size()));
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(r, c.result);
        expect_record(before, c.writes, h.drv->round_data_);
        if (c.dc_number >= 0) {
            EXPECT_EQ(h.drv->dc_number, static_cast<uint32_t>(c.dc_number));
        }
    }
}

}  // namespace testsupport
