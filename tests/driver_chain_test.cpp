// The driver's class chain as the gateway builds it: constructor defaults of
// every layer and the plug-in entry loaded with dlopen.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "host/provider.h"
#include "plugin/veltra_quelm_k418t_419.h"

namespace {

using Family = pmbuspower_419<veltra_quelm_k418t_419_Data_t, 5535>;

// Exposes the host's line settings, which are protected.
template <class Driver>
struct Probe : Driver {
    int baud() const { return this->baud_rate_; }
    int serial_flag() const { return this->serial_flag_; }
};

bool all_zero(const void* p, size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i] != 0) return false;
    return true;
}

TEST(DriverChain, FamilyDefaults) {
    Probe<Family> d;
    EXPECT_EQ(d.io_result_, -1);
    EXPECT_EQ(d.cg, 1);
    EXPECT_EQ(d.data_flag_, 0);
    EXPECT_TRUE(d.has_ac);
    EXPECT_FALSE(d.has_dc);
    EXPECT_EQ(d.no_dc_number, -1);
    EXPECT_TRUE(d.has_a && d.has_b && d.has_c);
    EXPECT_EQ(d.dc_i_adjust, 1);
    EXPECT_EQ(d.ac_line, 1);
    EXPECT_EQ(d.ac_type, 0);
    EXPECT_TRUE(d.use_float_);
    EXPECT_EQ(d.skip_41_41, 0);
    EXPECT_FALSE(d.has_tower);
    EXPECT_EQ(d.no_40_arg, 0);
    EXPECT_EQ(d.no_42_arg, 0);
    EXPECT_EQ(d.divisor_, 100);
    EXPECT_EQ(d.dc_number, 0u);
    EXPECT_EQ(d.open_41_43, 0);
    EXPECT_EQ(d.baud(), 9600);
    EXPECT_EQ(d.serial_flag(), 1);
    EXPECT_EQ(d.ProtocolVersion(), 0x20);
    EXPECT_EQ(d.DeviceType(), "");
}

TEST(DriverChain, DataDeviceDefaults) {
    Family d;
    EXPECT_TRUE(all_zero(&d.cData, sizeof d.cData));
    EXPECT_EQ(sizeof d.cData, 2704u);
    EXPECT_EQ(d.b_mode_, 1);
    EXPECT_TRUE(d.mobile_map_.empty() && d.signal_name_map_.empty() && d.alarm_map_.empty());
    EXPECT_TRUE(d.up_map_.empty() && d.up2_map_.empty() && d.low_map_.empty() &&
                d.low2_map_.empty());
    EXPECT_TRUE(d.json_data_.isNull());
    EXPECT_TRUE(d.ai_map_.empty());
}

TEST(DriverChain, CaptureDriverDefaults) {
    Probe<Veltra_Quelm_K418T_419> d;
    EXPECT_EQ(d.expected_response_, 0);
    EXPECT_FALSE(d.round_open_);
    EXPECT_TRUE(all_zero(&d.round_data_, sizeof d.round_data_));
    EXPECT_TRUE(all_zero(&d.cData, sizeof d.cData));
    EXPECT_EQ(d.DeviceType(), "veltra_quelm_k418t_419");
    EXPECT_EQ(d.ProtocolVersion(), 0x21);
    EXPECT_EQ(d.baud(), 9600);
    EXPECT_EQ(d.serial_flag(), 1);
    // The capture driver decodes both distribution sections by default.
    EXPECT_TRUE(d.has_ac);
    EXPECT_TRUE(d.has_dc);
    EXPECT_EQ(d.b_mode_, 1);
    EXPECT_EQ(d.io_result_, -1);
}

TEST(DriverChain, ValueLookupRefusesBeforeAnyRound) {
    Veltra_Quelm_K418T_419 d;
    for (const char* key : {"out_v", "ac", "nonsense"}) {
        try {
            d.Get_Value(0, key);
            ADD_FAILURE() << key << " served before any round";
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "数据未就绪");
        }
    }
}

// The gateway's view: load the built plug-in, ask for its providers and let
// the device provider create a driver.
TEST(PluginEntry, LoadsAndCreatesCaptureDrivers) {
    void* handle = ::dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << ::dlerror();
    auto entry = reinterpret_cast<GetProvidersFn>(::dlsym(handle, "get_providers"));
    ASSERT_NE(entry, nullptr);

    ProviderList first = entry();
    ProviderList second = entry();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(first[0].get(), second[0].get()) << "every call makes a new provider";

    const auto* dp = dynamic_cast<const SMDSPDeviceProvider*>(first[0].get());
    ASSERT_NE(dp, nullptr);
    std::unique_ptr<SMDSPDevice> a(dp->create());
    std::unique_ptr<SMDSPDevice> b(dp->create());
    ASSERT_NE(a, nullptr);
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ(a->DeviceType(), "veltra_quelm_k418t_419");
    const auto* proto = dynamic_cast<const PMBusProtocol*>(a.get());
    ASSERT_NE(proto, nullptr);
    EXPECT_EQ(proto->ProtocolVersion(), 0x21);
    // Objects go through the virtual destructor; the library stays loaded.
}

}  // namespace
