#pragma once
// A capture driver wired to a recording sink and a manual clock, initialised
// with a device entry, for tests that drive it directly.

#include <json/value.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <memory>

#include "host/host_clock.h"
#include "plugin/veltra_quelm_k418t_419.h"
#include "tests/support/recording_sink.h"

namespace testsupport {

// 2026-12-08 10:00:00 local time.
boost::posix_time::ptime test_epoch();

// A minimal device entry: name "dev", data ID 418.
Json::Value basic_entry();

template <class Driver = Veltra_Quelm_K418T_419>
struct DriverHarness {
    RecordingSink sink;
    ManualClock clock{test_epoch()};
    std::unique_ptr<Driver> drv = std::make_unique<Driver>();

    explicit DriverHarness(const Json::Value& entry = basic_entry(), bool init_setting = true) {
        drv->SetSink(&sink);
        drv->SetClock(&clock);
        drv->Init(std::weak_ptr<SMDController>(), 0, entry);
        if (init_setting) drv->InitSetting(entry);
    }
    // Feeds wire text (frames as they travel on the line) to the driver.
    void feed(const std::string& wire) {
        std::string copy = wire;
        drv->process(reinterpret_cast<unsigned char*>(&copy[0]),
                     static_cast<unsigned>(copy.size()));
    }
};

}  // namespace testsupport
