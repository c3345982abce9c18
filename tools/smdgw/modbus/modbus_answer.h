#pragma once
// The answer to one checked request, sent on the client's socket: an
// exception, or the registers or bits read from the unit's device. libmodbus
// builds and sends the answer frame (modbus_reply, modbus_reply_exception)
// from a mapping filled for the unit at that moment; the request has passed
// our own parser first (modbus_request.h), so libmodbus only ever sees
// whole, well-formed reads.

#include <modbus/modbus.h>

#include <cstdint>

#include "tools/smdgw/modbus/modbus_counters.h"
#include "tools/smdgw/modbus/modbus_request.h"

namespace smdgw::modbus {

// The devices as units.
class UnitReader {
   public:
    virtual ~UnitReader() = default;
    // Whether a device answers this unit id.
    virtual bool known(uint8_t unit) const = 0;
    // Whether the unit's data is live; when it is, its registers and bits
    // (kRegisterCount, kBitCount) filled.
    virtual bool read(uint8_t unit, uint16_t* registers, uint8_t* bits) const = 0;
};

class ModbusAnswerer {
   public:
    ModbusAnswerer(const UnitReader& units, ModbusCounters& counters);
    ~ModbusAnswerer();
    ModbusAnswerer(const ModbusAnswerer&) = delete;
    ModbusAnswerer& operator=(const ModbusAnswerer&) = delete;

    bool ready() const { return ctx_ && mapping_; }
    // Answers the request frame on fd; false when the answer could not be
    // sent whole (the client leaves its answers unread).
    bool answer(int fd, const uint8_t* frame, const Request& r);

   private:
    const UnitReader& units_;
    ModbusCounters& counters_;
    modbus_t* ctx_ = nullptr;
    modbus_mapping_t* mapping_ = nullptr;
};

}  // namespace smdgw::modbus
