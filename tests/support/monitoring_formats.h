#pragma once
// Strict readers of the monitoring formats smdgw writes, for tests: Influx
// line protocol and the Prometheus text exposition format. Each throws
// std::runtime_error naming the line and the rule it breaks.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct InfluxField {
    enum Type { Float, Integer, UInteger, String, Boolean } type;
    std::string text;  // the value as written
    double number = 0.0;
};

struct InfluxPoint {
    std::string measurement;
    std::map<std::string, std::string> tags;  // unescaped
    std::map<std::string, InfluxField> fields;
    bool has_time = false;
    int64_t time = 0;
    // measurement and tags: the series this point belongs to.
    std::string series() const;
};

InfluxPoint parse_influx_line(const std::string& line);
// Every non-empty line of a text.
std::vector<InfluxPoint> parse_influx(const std::string& text);

struct PromSample {
    std::string name;
    std::map<std::string, std::string> labels;  // unescaped
    double value = 0.0;
};

struct PromExposition {
    std::map<std::string, std::string> types;  // family name -> counter, gauge, ...
    std::map<std::string, std::string> help;
    std::vector<PromSample> samples;
    // The value of the one sample with this name and these labels; throws when absent.
    double value(const std::string& name, const std::map<std::string, std::string>& labels) const;
    bool has(const std::string& name) const;
};

// Checks names, label syntax and escapes, values, one TYPE and HELP per
// family before its samples, families not interleaved, no series twice, and a
// final line feed.
PromExposition parse_prometheus(const std::string& text);

}  // namespace testsupport
