// Every polling decoder fed every truncation of a valid payload, the payload at
// the very end of its own allocation: nothing past the end is read (the
// sanitizer build checks it), the shortfall is reported, and every field that
// is written holds what the whole payload would have put there.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "tests/support/poll_rig.h"

namespace {

using namespace testsupport;
using Decoder = int (Family::*)(const unsigned char*, int);

struct TruncationCase {
    const char* name;
    Decoder decoder;
    std::function<Bytes()> payload;
    std::function<void(PollProbe&)> setup;
    bool logs_overflow;  // parse40_44 logs the shortfall and still returns its count
};

Bytes four(int n) {  // n distinct floats, none of them a no-value marker
    Bytes out;
    for (int k = 0; k < n; ++k) out = cat({out, f32(10.0f + static_cast<float>(k))});
    return out;
}

void no_setup(PollProbe&) {}
void towers(PollProbe& d) { d.has_tower = true; }
void two_modules_with_towers(PollProbe& d) {
    d.has_tower = true;
    d.cData.channel_count = 2;
}

const TruncationCase kCases[] = {
    {"40_41", &Family::parse40_41,
     [] {
         return cat({{0x02}, four(4), {0x01}, four(1), four(4), {0x00}, four(3)});
     },
     no_setup, false},
    {"40_41 towers", &Family::parse40_41,
     [] {
         return cat({{0x01}, four(4), {0x01}, four(1), {0x00}, four(3)});
     },
     towers, false},
    {"40_41 model", &Family::parse40_41,
     [] {
         return cat({{0x01}, four(4), {0x05}, four(1), four(3)});
     },
     [](PollProbe& d) { d.set_device_type("vrq55_h302v20_419"); }, false},
    {"40_42", &Family::parse40_42,
     [] {
         return Bytes{0x02, 0x59, 0xD8, 0x59, 0xD9, 0x59, 0xDA, 0x13, 0x88,
                      0x01, 0x12, 0x34, 0x59, 0xD8, 0x59, 0xD9, 0x59, 0xDA,
                      0x13, 0x88, 0x00, 0x01, 0x2C, 0x01, 0x2D, 0x01, 0x2E};
     },
     no_setup, false},
    {"40_43 towers", &Family::parse40_43, [] { return Bytes{0x00, 0x02, 9, 9, 0x03, 4, 5, 6}; },
     towers, false},
    {"40_44", &Family::parse40_44,
     [] {
         return Bytes{0x02, 1,    2, 3, 4, 0x01, 0xEE, 0x02, 7, 8, 5, 6,    7,    8,
                      0x00, 0x09, 1, 2, 3, 4,    5,    6,    7, 8, 9, 0x0A, 0x0B, 0x0C};
     },
     no_setup, true},
    {"40_44 model towers", &Family::parse40_44,
     [] { return Bytes{0x01, 1, 2, 3, 4, 0x01, 0xA1, 0x01, 0xB1, 0x01, 0xC1, 5, 6, 7, 0xD1}; },
     [](PollProbe& d) {
         d.set_device_type("vrq55_h302v20_419");
         d.has_tower = true;
     },
     true},
    {"41_41", &Family::parse41_41,
     [] {
         return cat({{0x00}, four(1), {0x02}, four(1), {0x01}, four(1), four(1), {0x00}});
     },
     no_setup, false},
    {"41_41 towers skip", &Family::parse41_41,
     [] {
         return cat({{0x00}, four(1), {0x01}, four(1), {0x02}, four(2), {0x01}, four(1), {0xEE}});
     },
     [](PollProbe& d) {
         d.has_tower = true;
         d.skip_41_41 = 1;
     },
     false},
    {"41_42", &Family::parse41_42,
     [] {
         return Bytes{0x00, 0x14, 0xE6, 0x02, 0x03, 0xE8, 0x02,
                      0x00, 0x07, 0x00, 0x08, 0x03, 0xE9, 0x00};
     },
     no_setup, false},
    {"41_43 towers", &Family::parse41_43,
     [] {
         return Bytes{0x00, 0x02, 1,    0,    1, 0x01, 0xAA, 0x02, 5, 6, 0,
                      1,    0,    0x00, 0x07, 1, 2,    3,    4,    5, 6, 7};
     },
     two_modules_with_towers, false},
    {"41_44 towers", &Family::parse41_44,
     [] {
         return Bytes{0x00, 0x02, 3, 0x01, 0xAA, 0x02, 5, 6, 0, 0x00,
                      0x09, 1,    2, 3,    4,    5,    6, 7, 8, 9};
     },
     two_modules_with_towers, false},
    {"42_41", &Family::parse42_41,
     [] {
         return cat({four(2), {0x02}, four(2), {0x01}, four(1), {0x02}, four(2)});
     },
     no_setup, false},
    {"42_41_2", &Family::parse42_41_2,
     [] {
         return cat({four(2), {0x02}, four(2), {0x01}, four(1), {0x02}, four(2)});
     },
     no_setup, false},
    {"42_42", &Family::parse42_42,
     [] {
         return Bytes{0x14, 0xE6, 0x09, 0xC4, 0x01, 0x04, 0xD2, 0x01, 0x00, 0x01, 0x01, 0x00, 0x07};
     },
     no_setup, false},
    {"42_42_2", &Family::parse42_42_2,
     [] {
         return Bytes{0x14, 0xE6, 0x09, 0xC4, 0x01, 0x04, 0xD2, 0x01, 0x00, 0x01, 0x01, 0x00, 0x07};
     },
     no_setup, false},
    {"42_44", &Family::parse42_44,
     [] { return Bytes{0x01, 12, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0x02, 0xE1, 0xE2}; },
     no_setup, false},
    {"42_44_2", &Family::parse42_44_2,
     [] { return Bytes{0x01, 12, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0x02, 0xE1, 0xE2}; },
     no_setup, false},
};

constexpr uint8_t kPoison = 0xA5;

// A driver whose record is all poison bytes, with the case's options.
std::unique_ptr<PollProbe> poisoned(const TruncationCase& c) {
    auto d = std::make_unique<PollProbe>();
    std::memset(&d->cData, kPoison, sizeof d->cData);
    c.setup(*d);
    return d;
}

// Decodes the first n bytes from an allocation of exactly n bytes.
int decode_prefix(PollProbe& d, Decoder decoder, const Bytes& payload, size_t n, std::string& log) {
    std::unique_ptr<unsigned char[]> own(new unsigned char[n]);
    if (n > 0) std::memcpy(own.get(), payload.data(), n);
    testing::internal::CaptureStdout();
    const int r = (d.*decoder)(own.get(), static_cast<int>(n));
    std::fflush(stdout);
    log = testing::internal::GetCapturedStdout();
    return r;
}

TEST(PollDecoderTruncation, EveryPrefixOfAValidPayload) {
    for (const TruncationCase& c : kCases) {
        const Bytes payload = c.payload();
        auto whole = poisoned(c);
        std::string log;
        ASSERT_EQ(static_cast<int>(payload.size()),
                  decode_prefix(*whole, c.decoder, payload, payload.size(), log))
            << c.name;
        const auto* full = reinterpret_cast<const uint8_t*>(&whole->cData);

        for (size_t n = 0; n < payload.size(); ++n) {
            auto d = poisoned(c);
            const int r = decode_prefix(*d, c.decoder, payload, n, log);
            if (c.logs_overflow) {
                EXPECT_GT(r, static_cast<int>(n)) << c.name << " cut at " << n;
                EXPECT_NE(std::string::npos,
                          log.find("PMBusPowerAC:ProcotolError read 40_44 read overflow\n"))
                    << c.name << " cut at " << n;
            } else {
                EXPECT_EQ(-1, r) << c.name << " cut at " << n;
            }
            // A written byte holds what the whole payload writes there; the rest is untouched.
            const auto* got = reinterpret_cast<const uint8_t*>(&d->cData);
            for (size_t k = 0; k < sizeof d->cData; ++k) {
                if (got[k] != kPoison && got[k] != full[k]) {
                    ADD_FAILURE() << c.name << " cut at " << n << ": record byte " << k;
                    break;
                }
            }
        }
    }
}

TEST(PollDecoderTruncation, FieldEndingEarlyIsNotWritten) {
    PollProbe d;
    d.cData.ac.ic = 7.0f;
    const Bytes b = cat({{0x00}, f32(1.0f), f32(2.0f), f32(3.0f)});
    EXPECT_EQ(-1, d.parse40_41(b.data(), static_cast<int>(b.size()) - 1));
    const float ia = d.cData.ac.ia, ib = d.cData.ac.ib, ic = d.cData.ac.ic;
    EXPECT_EQ(1.0f, ia);
    EXPECT_EQ(2.0f, ib);
    EXPECT_EQ(7.0f, ic);
}

TEST(PollDecoderTruncation, NegativeLengthReadsNothing) {
    PollProbe d;
    const Bytes b = {0x01, 0x02, 0x03};
    EXPECT_EQ(-1, d.parse42_44(b.data(), -5));
    EXPECT_EQ(0, d.cData.dc.alert_v);
    EXPECT_EQ(-1, d.parse41_43(nullptr, 10));
}

}  // namespace
