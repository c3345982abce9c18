// A log line is built in one buffer and written in one piece with its line
// feed and a flush, however long it grows.

#include "host/line_text.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <sstream>
#include <streambuf>
#include <string>

#include "datadevice/driver_log.h"

namespace {

// Records each write and each flush made through it.
class CountingBuffer : public std::streambuf {
   public:
    std::string text;
    int writes = 0;
    int syncs = 0;

   protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        ++writes;
        text.append(s, static_cast<size_t>(n));
        return n;
    }
    int overflow(int c) override {
        ++writes;
        text += static_cast<char>(c);
        return c;
    }
    int sync() override {
        ++syncs;
        return 0;
    }
};

// The same content through a default stream, for comparison.
std::string stream_line(int parts) {
    std::ostringstream os;
    for (int i = 0; i < parts; ++i)
        os << "v" << i << '=' << (i * 0.37f) << ' ' << -i << ' ' << UINT64_MAX << ';';
    os << '\n';
    return os.str();
}

TEST(LineText, GrowsPastItsOwnRoomAndWritesOncePerLine) {
    for (int parts : {0, 1, 20, 200, 2000}) {
        smd::LineText line;
        for (int i = 0; i < parts; ++i) {
            line.put("v");
            line.put_int(i);
            line.put('=');
            line.put_float(i * 0.37f);
            line.put(' ');
            line.put_int(-i);
            line.put(std::string(" "));
            line.put_int(UINT64_MAX);
            line.put(";", 1);
        }
        CountingBuffer buf;
        std::ostream os(&buf);
        line.write_line(os);
        EXPECT_EQ(stream_line(parts), buf.text) << parts;
        EXPECT_EQ(1, buf.writes) << parts;
        EXPECT_EQ(1, buf.syncs) << parts;
    }
}

TEST(LineText, IntegerLimits) {
    smd::LineText line;
    line.put_int(INT64_MIN);
    line.put(' ');
    line.put_int(static_cast<unsigned char>(255));
    line.put(' ');
    line.put_int(static_cast<short>(-32768));
    CountingBuffer buf;
    std::ostream os(&buf);
    line.write_line(os);
    EXPECT_EQ("-9223372036854775808 255 -32768\n", buf.text);
}

TEST(LineText, LongDriverLogLineOnStandardOutput) {
    const std::string long_text(5000, 'x');
    testing::internal::CaptureStdout();
    veltra::LogLine() << "head " << long_text << " " << 1.5f << " tail";
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(out == "head " + long_text + " 1.5 tail\n") << out.size() << " bytes";
}

}  // namespace
