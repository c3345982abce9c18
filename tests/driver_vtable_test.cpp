// The driver's virtual table has the slots the host expects, in the host's
// order: a host that calls slot n of a driver built elsewhere must reach the
// same operation. Nothing of the host's own plumbing (the frame decoder's
// callbacks) may add a slot to the chain.
//
// Slots are read from pointers to virtual members (Itanium C++ ABI, used by
// g++ and clang on Linux): the pointer holds 1 + the slot's byte offset in the
// virtual table, and an adjustment of 0 for the primary table.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "plugin/veltra_quelm_k418t_419.h"

namespace {

struct MemberPointer {
    uintptr_t ptr;
    ptrdiff_t adj;
};

struct Slot {
    const char* operation;
    long slot;  // -1: not a virtual operation of the primary table
};

template <class F>
Slot slot_of(const char* operation, F f) {
    static_assert(sizeof(F) == sizeof(MemberPointer), "Itanium member pointer");
    MemberPointer m;
    std::memcpy(&m, &f, sizeof m);
    if ((m.ptr & 1) == 0 || m.adj != 0) return {operation, -1};
    return {operation, static_cast<long>((m.ptr - 1) / sizeof(void*))};
}

// Reaches the protected operations through the concrete driver.
class Chain : public Veltra_Quelm_K418T_419 {
   public:
    using D = Veltra_Quelm_K418T_419;

    // Every operation of the table, in slot order; "~" stands for the
    // virtual destructor (two slots: complete and deleting).
    static std::vector<Slot> slots() {
        return {
            slot_of("Get_Value", &D::Get_Value),
            slot_of("LoadFromCache(string)",
                    static_cast<int (D::*)(const std::string&)>(&D::LoadFromCache)),
            slot_of("LoadFromCache(bytes)",
                    static_cast<int (D::*)(const unsigned char*, int)>(&D::LoadFromCache)),
            slot_of("DataId", &D::DataId),
            slot_of("DeviceType", &D::DeviceType),
            slot_of("DeviceIoControl", &D::DeviceIoControl),
            slot_of("RoundDone", &D::RoundDone),
            slot_of("UseControllerDb", &D::UseControllerDb),
            {"~", -2},
            slot_of("Reset", &D::Reset),
            slot_of("InitV", &D::InitV),
            slot_of("Init", &D::Init),
            slot_of("InitSetting", &D::InitSetting),
            slot_of("IsSupportDevice", &D::IsSupportDevice),
            slot_of("GetChildVDevice", &D::GetChildVDevice),
            slot_of("GetAllChildVDevices", &D::GetAllChildVDevices),
            slot_of("SendSP", &D::SendSP),
            slot_of("SendDelayData", &D::SendDelayData),
            slot_of("SendDoData", &D::SendDoData),
            slot_of("ReadDi", &D::ReadDi),
            slot_of("ReadAi", &D::ReadAi),
            slot_of("Get_SP_Value", &D::Get_SP_Value),
            slot_of("RefreshStatus", &D::RefreshStatus),
            slot_of("process", &D::process),
            slot_of("IsProcessing", &D::IsProcessing),
            slot_of("IsStalled", &D::IsStalled),
            slot_of("SendData", &D::SendData),
            slot_of("SendParityData", &D::SendParityData),
            slot_of("OpenPort", &D::OpenPort),
            slot_of("ClosePort", &D::ClosePort),
            slot_of("process_payload", &Chain::process_payload),
            slot_of("process_error", &Chain::process_error),
            slot_of("RunCheckThreshold", &Chain::RunCheckThreshold),
            slot_of("GenJsonData", &Chain::GenJsonData),
            slot_of("parse42_41", &Chain::parse42_41),
            slot_of("parse42_41_2", &Chain::parse42_41_2),
            slot_of("parse42_42", &Chain::parse42_42),
            slot_of("parse42_42_2", &Chain::parse42_42_2),
            slot_of("parse42_44", &Chain::parse42_44),
            slot_of("parse42_44_2", &Chain::parse42_44_2),
            slot_of("parse41_41", &Chain::parse41_41),
            slot_of("parse41_42", &Chain::parse41_42),
            slot_of("parse41_43", &Chain::parse41_43),
            slot_of("parse41_44", &Chain::parse41_44),
            slot_of("parse40_44", &Chain::parse40_44),
            slot_of("parse40_43", &Chain::parse40_43),
            slot_of("parse40_41", &Chain::parse40_41),
            slot_of("parse40_42", &Chain::parse40_42),
        };
    }
};

TEST(DriverVtable, EveryOperationInItsSlotWithNothingBetween) {
    long expected = 0;
    for (const Slot& s : Chain::slots()) {
        if (s.slot == -2) {  // the destructor's two slots
            expected += 2;
            continue;
        }
        EXPECT_EQ(s.slot, expected) << s.operation;
        ++expected;
    }
    // Eight operations, the destructor's two slots, 39 operations after it.
    EXPECT_EQ(expected, 49);
}

TEST(DriverVtable, TheFrameDecoderCallbacksAreNotABaseOfTheDriver) {
    // Even a private base would bring a second table pointer and slots of
    // its overriders into the driver's table.
    EXPECT_FALSE((std::is_base_of<smd::FrameSink, Veltra_Quelm_K418T_419>::value));
}

}  // namespace
