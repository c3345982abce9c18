#include "tools/smdgw/modbus/modbus_counters.h"
#include "tools/smdgw/output/counter_rows.h"

namespace smdgw::modbus {

namespace {

//   smdgw_modbus_connections 3
const CounterRow<ModbusCounters> kRows[] = {
    {"connections", {"smdgw_modbus_connections", "gauge", "Modbus TCP connections open"},
     &ModbusCounters::open},
    {"accepted",
     {"smdgw_modbus_connections_accepted_total", "counter", "Modbus TCP connections accepted"},
     &ModbusCounters::accepted},
    {"refused_total",
     {"smdgw_modbus_connections_over_limit_total", "counter",
      "Connections closed at once because --modbus-max-connections were open"},
     &ModbusCounters::refused_total},
    {"refused_per_client",
     {"smdgw_modbus_connections_over_client_limit_total", "counter",
      "Connections closed at once because their address had --modbus-max-per-client open"},
     &ModbusCounters::refused_per_client},
    {"requests", {"smdgw_modbus_requests_total", "counter", "Requests answered"},
     &ModbusCounters::requests},
    {"exceptions",
     {"smdgw_modbus_exceptions_total", "counter", "Requests answered with an exception"},
     &ModbusCounters::exceptions},
    {"refused_writes",
     {"smdgw_modbus_refused_writes_total", "counter",
      "Write requests answered exception 01 (the server is read-only)"},
     &ModbusCounters::refused_writes},
    {"unknown_functions",
     {"smdgw_modbus_unknown_functions_total", "counter",
      "Requests of a function code not served, answered exception 01"},
     &ModbusCounters::unknown_functions},
    {"bad_addresses",
     {"smdgw_modbus_bad_addresses_total", "counter",
      "Reads outside the map, answered exception 02"},
     &ModbusCounters::bad_addresses},
    {"bad_values",
     {"smdgw_modbus_bad_values_total", "counter",
      "Reads of a quantity or length outside the protocol's range, answered exception 03"},
     &ModbusCounters::bad_values},
    {"unknown_units",
     {"smdgw_modbus_unknown_units_total", "counter",
      "Requests to a unit id no device has, answered exception 0A"},
     &ModbusCounters::unknown_units},
    {"stale_answers",
     {"smdgw_modbus_stale_answers_total", "counter",
      "Reads of a device whose data is not live, answered exception 0B"},
     &ModbusCounters::stale_answers},
    {"bad_protocol",
     {"smdgw_modbus_bad_protocol_total", "counter",
      "Connections closed for an MBAP protocol identifier other than 0"},
     &ModbusCounters::bad_protocol},
    {"bad_length",
     {"smdgw_modbus_bad_length_total", "counter",
      "Connections closed for an MBAP length out of range"},
     &ModbusCounters::bad_length},
    {"rate_limited",
     {"smdgw_modbus_rate_limited_total", "counter",
      "Times a connection sent faster than its allowance and was read no further for a while"},
     &ModbusCounters::rate_limited},
    {"idle_closed",
     {"smdgw_modbus_idle_closed_total", "counter", "Connections closed after the idle timeout"},
     &ModbusCounters::idle_closed},
    {"unsent_answers",
     {"smdgw_modbus_unsent_answers_total", "counter",
      "Connections dropped because they left their answers unread"},
     &ModbusCounters::unsent_answers},
};

}  // namespace

Json::Value modbus_stats_line(const ModbusCounters& c, const std::string& listen) {
    return counter_stats_line(kRows, c, "modbus", listen);
}

std::string modbus_prometheus_text(const ModbusCounters& c) { return counter_families(kRows, c); }

}  // namespace smdgw::modbus
