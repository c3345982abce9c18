#include "tools/smdgw/modbus/modbus_answer.h"

#include <algorithm>

#include "tools/smdgw/modbus/register_map.h"

namespace smdgw::modbus {

ModbusAnswerer::ModbusAnswerer(const UnitReader& units, ModbusCounters& counters)
    : units_(units), counters_(counters) {
    // A context only to build and send answers on the sockets we accept:
    // it never connects or listens itself.
    ctx_ = modbus_new_tcp("127.0.0.1", 0);
    mapping_ = modbus_mapping_new(static_cast<int>(kBitCount), static_cast<int>(kBitCount),
                                  static_cast<int>(kRegisterCount),
                                  static_cast<int>(kRegisterCount));
}

ModbusAnswerer::~ModbusAnswerer() {
    if (mapping_) modbus_mapping_free(mapping_);
    if (ctx_) {
        modbus_set_socket(ctx_, -1);
        modbus_free(ctx_);
    }
}

bool ModbusAnswerer::answer(int fd, const uint8_t* frame, const Request& r) {
    ++counters_.requests;
    modbus_set_socket(ctx_, fd);
    const bool bits = r.access == Access::Bits;
    // The unit's path first, then the request itself; only a read within
    // the map looks at the device's state.
    uint8_t exception = 0;
    if (!units_.known(r.unit)) {
        exception = kGatewayPathUnavailable;
        ++counters_.unknown_units;
    } else if (r.exception != 0) {
        exception = r.exception;
        if (r.access == Access::Write)
            ++counters_.refused_writes;
        else if (r.access == Access::Other)
            ++counters_.unknown_functions;
        else if (exception == kIllegalDataAddress)
            ++counters_.bad_addresses;
        else
            ++counters_.bad_values;
    } else if (static_cast<size_t>(r.address) + r.quantity > (bits ? kBitCount : kRegisterCount)) {
        exception = kIllegalDataAddress;
        ++counters_.bad_addresses;
    } else if (!units_.read(r.unit, mapping_->tab_registers, mapping_->tab_bits)) {
        // A SCADA shows "communication lost" rather than values that froze.
        exception = kGatewayTargetFailed;
        ++counters_.stale_answers;
    }
    int sent;
    if (exception != 0) {
        ++counters_.exceptions;
        sent = modbus_reply_exception(ctx_, frame, exception);
    } else {
        // Holding and input registers are one map, coils and discrete inputs another.
        std::copy_n(mapping_->tab_registers, kRegisterCount, mapping_->tab_input_registers);
        std::copy_n(mapping_->tab_bits, kBitCount, mapping_->tab_input_bits);
        sent = modbus_reply(ctx_, frame, static_cast<int>(r.frame_bytes), mapping_);
    }
    if (sent < 0) {
        ++counters_.unsent_answers;
        return false;
    }
    return true;
}

}  // namespace smdgw::modbus
