// The frame thread completes rounds while other threads read values, reset the
// communication alarm and send control requests, all on one driver. Run under
// ThreadSanitizer; every value served must be one a round really published.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <iostream>
#include <set>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "plugin/veltra_quelm_k418t_419.h"
#include "tools/common/example_plant.h"

namespace {

// Swallows the driver's log for the duration of the test.
class NullBuffer : public std::streambuf {
   protected:
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

class QuietStdout {
   public:
    QuietStdout() : saved_(std::cout.rdbuf(&null_)) {}
    ~QuietStdout() { std::cout.rdbuf(saved_); }

   private:
    NullBuffer null_;
    std::streambuf* saved_;
};

constexpr unsigned kPasses = 60;  // each pass is the example's three rounds

TEST(LiveRecordStress, ValuesResetsAndControlWhileRoundsComplete) {
    QuietStdout quiet;
    Json::Value entry;
    entry["name"] = "dev";
    entry["data_id"] = 418;
    entry["alarm_levels"]["120600180010"] = 3;
    Veltra_Quelm_K418T_419 drv;
    drv.Init(std::weak_ptr<SMDController>(), 0, entry);
    drv.InitSetting(entry);

    std::set<float> published;
    for (unsigned r = 0; r < veltra_frames::kExampleRounds; ++r)
        published.insert(veltra_frames::example_plant(r).panels.at(0).v);
    const std::string wire = veltra_frames::example_capture();

    std::atomic<bool> done{false};
    std::atomic<unsigned> served{0}, foreign{0}, refused{0};
    std::thread reader([&] {
        while (!done.load()) {
            try {
                const float v = drv.Get_Value(0, "out_v");
                ++served;
                if (!published.count(v)) ++foreign;
                drv.Get_Value(0, "ac");
            } catch (const std::out_of_range&) {
                ++refused;
            }
        }
    });
    std::thread resetter([&] {
        while (!done.load()) drv.Reset();
    });
    std::thread control([&] {
        const std::string set_point = R"({"signal_id":"4196A3101001","SetValue":53.5})";
        unsigned char out[8] = {};
        while (!done.load()) {
            int out_len = 0;
            drv.DeviceIoControl(310, set_point.data(), static_cast<int>(set_point.size()), out,
                                sizeof out, out_len);
            drv.DeviceIoControl(7, nullptr, 0, out, sizeof out, out_len);
            drv.DeviceIoControl(320, "1", 1, out, sizeof out, out_len);
        }
    });

    for (unsigned pass = 0; pass < kPasses; ++pass) {
        std::string copy = wire;
        drv.process(reinterpret_cast<unsigned char*>(&copy[0]), static_cast<unsigned>(copy.size()));
    }
    std::vector<unsigned char> cached(sizeof drv.cData);
    {
        // A cached record handed over while the readers run.
        std::memcpy(cached.data(), &drv.round_data_, cached.size());
        EXPECT_EQ(drv.LoadFromCache(cached.data(), static_cast<int>(cached.size())), 1);
    }
    done = true;
    reader.join();
    resetter.join();
    control.join();

    EXPECT_EQ(drv.RoundsPublished(), kPasses * veltra_frames::kExampleRounds + 1);
    EXPECT_EQ(foreign.load(), 0u) << "a value no round published was served";
    EXPECT_GT(served.load() + refused.load(), 0u);
    const float last = drv.Get_Value(0, "out_v");
    EXPECT_EQ(last, veltra_frames::example_plant(veltra_frames::kExampleRounds - 1).panels.at(0).v);
}

}  // namespace
