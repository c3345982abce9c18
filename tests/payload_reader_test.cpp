// The bounded reader every capture decoder uses: success rules, what a failure consumes,
// and capacity handling of the list reads.

#include "plugin/payload_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

std::vector<uint8_t> counting_bytes(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i + 1);
    return v;
}

TEST(PayloadReader, ReadByteAdvancesUntilEmpty) {
    const std::vector<uint8_t> data{0x7F, 0x80};
    PayloadReader r(data.data(), 2);
    uint8_t b = 0;
    ASSERT_TRUE(r.read_byte(b));
    EXPECT_EQ(b, 0x7F);
    ASSERT_TRUE(r.read_byte(b));
    EXPECT_EQ(b, 0x80);
    b = 0x11;
    EXPECT_FALSE(r.read_byte(b));
    EXPECT_EQ(b, 0x11);
    EXPECT_EQ(r.used(2), 2);
}

TEST(PayloadReader, ReadWordCopiesBytesAsTheyStand) {
    const std::vector<uint8_t> data{0x00, 0x00, 0x56, 0x42, 0x99};
    PayloadReader r(data.data(), 5);
    float v = 0.0f;
    ASSERT_TRUE(r.read_word(&v));
    EXPECT_EQ(v, 53.5f);
    EXPECT_EQ(r.used(5), 4);
}

TEST(PayloadReader, ReadWordWithThreeBytesLeftFailsAndConsumesNothing) {
    const std::vector<uint8_t> data = counting_bytes(3);
    PayloadReader r(data.data(), 3);
    uint8_t out[4] = {9, 9, 9, 9};
    EXPECT_FALSE(r.read_word(out));
    EXPECT_EQ(r.used(3), 0);
    EXPECT_EQ(out[0], 9);
    uint8_t b = 0;
    EXPECT_TRUE(r.read_byte(b));
    EXPECT_EQ(b, 1);
}

TEST(PayloadReader, SkipBounds) {
    PayloadReader empty(nullptr, 0);
    EXPECT_TRUE(empty.skip(0));
    EXPECT_FALSE(empty.skip(1));

    const std::vector<uint8_t> data = counting_bytes(4);
    PayloadReader r(data.data(), 4);
    EXPECT_FALSE(r.skip(5));
    EXPECT_EQ(r.used(4), 0);
    EXPECT_FALSE(r.skip(-1));
    EXPECT_EQ(r.used(4), 0);
    EXPECT_TRUE(r.skip(4));
    EXPECT_EQ(r.used(4), 4);
}

TEST(PayloadReader, NegativeLengthReadsNothing) {
    const std::vector<uint8_t> data = counting_bytes(4);
    PayloadReader r(data.data(), -3);
    uint8_t b = 0;
    EXPECT_FALSE(r.read_byte(b));
    EXPECT_FALSE(r.read_word(&b));
    EXPECT_FALSE(r.skip(0));
    EXPECT_EQ(r.used(-3), 0);
}

TEST(PayloadReader, ReadWordsBeyondCapacityAreConsumedAndDropped) {
    const std::vector<uint8_t> data = counting_bytes(21);
    PayloadReader r(data.data(), 21);
    uint32_t dest[3] = {0, 0, 0xDEADBEEF};
    ASSERT_TRUE(r.read_words(5, dest, 2));
    EXPECT_EQ(r.used(21), 20);
    EXPECT_EQ(dest[0], 0x04030201u);
    EXPECT_EQ(dest[1], 0x08070605u);
    EXPECT_EQ(dest[2], 0xDEADBEEFu);
}

TEST(PayloadReader, ReadWordsStopsAtTheFirstMissingWordKeepingEarlierOnes) {
    const std::vector<uint8_t> data = counting_bytes(10);
    PayloadReader r(data.data(), 10);
    uint32_t dest[3] = {0, 0, 0};
    EXPECT_FALSE(r.read_words(3, dest, 3));
    EXPECT_EQ(dest[0], 0x04030201u);
    EXPECT_EQ(dest[1], 0x08070605u);
    EXPECT_EQ(dest[2], 0u);
    EXPECT_EQ(r.used(10), 8);
}

TEST(PayloadReader, ReadWordsWithoutDestinationDropsEverything) {
    const std::vector<uint8_t> data = counting_bytes(8);
    PayloadReader r(data.data(), 8);
    EXPECT_TRUE(r.read_words(2));
    EXPECT_EQ(r.used(8), 8);
    EXPECT_TRUE(r.read_words(0));
}

TEST(PayloadReader, ReadBytesHandlesTheFullEightBitCount) {
    const std::vector<uint8_t> data = counting_bytes(256);
    PayloadReader r(data.data(), 256);
    uint8_t dest[8] = {};
    ASSERT_TRUE(r.read_bytes(255, dest, 8));
    EXPECT_EQ(r.used(256), 255);
    EXPECT_EQ(dest[0], 1);
    EXPECT_EQ(dest[7], 8);
    uint8_t last = 9;
    EXPECT_TRUE(r.read_byte(last));  // the 256th byte was left for the next read
    EXPECT_EQ(last, 0);
}

TEST(PayloadReader, ReadBytesFailsWhenShort) {
    const std::vector<uint8_t> data = counting_bytes(3);
    PayloadReader r(data.data(), 3);
    uint8_t dest[4] = {0, 0, 0, 0x77};
    EXPECT_FALSE(r.read_bytes(4, dest, 4));
    EXPECT_EQ(dest[2], 3);
    EXPECT_EQ(dest[3], 0x77);
    EXPECT_EQ(r.used(3), 3);
}

}  // namespace
