#include "tools/smdgw/nut/nut_counters.h"
#include "tools/smdgw/output/counter_rows.h"

namespace smdgw::nut {

namespace {

//   smdgw_nut_connections 3
const CounterRow<NutCounters> kRows[] = {
    {"connections", {"smdgw_nut_connections", "gauge", "NUT client connections open"},
     &NutCounters::open},
    {"accepted",
     {"smdgw_nut_connections_accepted_total", "counter", "NUT client connections accepted"},
     &NutCounters::accepted},
    {"refused_total",
     {"smdgw_nut_connections_over_limit_total", "counter",
      "Connections closed at once because --nut-max-connections were open"},
     &NutCounters::refused_total},
    {"refused_per_client",
     {"smdgw_nut_connections_over_client_limit_total", "counter",
      "Connections closed at once because their address had --nut-max-per-client open"},
     &NutCounters::refused_per_client},
    {"commands", {"smdgw_nut_commands_total", "counter", "Request lines answered"},
     &NutCounters::commands},
    {"errors", {"smdgw_nut_errors_total", "counter", "ERR answers of every kind"},
     &NutCounters::errors},
    {"unknown_commands",
     {"smdgw_nut_unknown_commands_total", "counter", "Requests answered ERR UNKNOWN-COMMAND"},
     &NutCounters::unknown_commands},
    {"invalid_arguments",
     {"smdgw_nut_invalid_arguments_total", "counter",
      "Requests answered ERR INVALID-ARGUMENT (wrong words, count or quoting)"},
     &NutCounters::invalid_arguments},
    {"stale_answers",
     {"smdgw_nut_stale_answers_total", "counter",
      "Reads answered ERR DATA-STALE or ERR DRIVER-NOT-CONNECTED"},
     &NutCounters::stale_answers},
    {"refused_writes",
     {"smdgw_nut_refused_writes_total", "counter",
      "SET, INSTCMD, FSD and PRIMARY requests refused (the server is read-only)"},
     &NutCounters::refused_writes},
    {"logins", {"smdgw_nut_logins_total", "counter", "LOGIN requests accepted"},
     &NutCounters::logins},
    {"logins_refused",
     {"smdgw_nut_logins_refused_total", "counter",
      "LOGIN requests refused (no --nut-users, wrong user or password, already logged in)"},
     &NutCounters::logins_refused},
    {"line_too_long",
     {"smdgw_nut_lines_too_long_total", "counter",
      "Connections closed for a request line over the length bound"},
     &NutCounters::line_too_long},
    {"rate_limited",
     {"smdgw_nut_rate_limited_total", "counter",
      "Times a connection sent faster than its allowance and was read no further for a while"},
     &NutCounters::rate_limited},
    {"idle_closed",
     {"smdgw_nut_idle_closed_total", "counter", "Connections closed after the idle timeout"},
     &NutCounters::idle_closed},
    {"output_overflow",
     {"smdgw_nut_output_overflow_total", "counter",
      "Connections dropped because they left too many answers unread"},
     &NutCounters::output_overflow},
    {"tls_started",
     {"smdgw_nut_tls_started_total", "counter", "Connections that switched to TLS after STARTTLS"},
     &NutCounters::tls_started},
    {"tls_failed",
     {"smdgw_nut_tls_failed_total", "counter",
      "Connections closed because their TLS handshake after STARTTLS failed"},
     &NutCounters::tls_failed},
};

}  // namespace

Json::Value nut_stats_line(const NutCounters& c, const std::string& listen) {
    return counter_stats_line(kRows, c, "nut", listen);
}

std::string nut_prometheus_text(const NutCounters& c) { return counter_families(kRows, c); }

}  // namespace smdgw::nut
