#pragma once
// smdgw --format influx: Influx line protocol on standard output, for a
// Telegraf execd input or a pipe into the database. One line per section of
// each complete live record (a damaged round's lost sections would read as
// zeros; a restored one is old), one "veltra_round" line per live round with
// its quality, one per alarm change, one per device state change, one per
// statistics report.
// Fields are always floats, so that a field keeps its type from round to round.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "host/host_sink.h"
#include "tools/smdgw/core/line_output.h"

namespace smdgw {

class InfluxWriter : public HostSink, public LineOutput {
   public:
    // now_ns: the gateway's clock in nanoseconds since the epoch.
    InfluxWriter(std::FILE* out, std::function<int64_t()> now_ns)
        : out_(out), now_ns_(std::move(now_ns)) {}

    void on_publish(const std::string& device, const smd::RecordPublished& r) override;
    void on_alarm(const std::string& device, const smd::AlarmChange& a) override;
    void on_state(const std::string& device, const smd::StateChanged& s) override;
    // Statistics become an "smdgw_stats" line; other lines of smdgw itself
    // (values, control results) go to standard error as information.
    void write(const std::string& device, Json::Value line) override;

   private:
    void emit(const std::string& text);
    std::FILE* out_;
    std::function<int64_t()> now_ns_;
};

// Line protocol escapes: measurement names escape commas and blanks; tag keys,
// tag values and field keys also escape '='; backslashes are doubled. Line
// breaks cannot be escaped and become (escaped) blanks.
std::string influx_measurement(const std::string& s);
std::string influx_key(const std::string& s);
// A field value as a float literal that never reads as an integer ("3.0", not "3");
// the shortest text that reads back as the same single-precision number.
std::string influx_float(double v);

}  // namespace smdgw
