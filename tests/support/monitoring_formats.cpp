#include "tests/support/monitoring_formats.h"

#include <cmath>
#include <cstdlib>
#include <regex>
#include <set>
#include <stdexcept>

namespace testsupport {

namespace {

[[noreturn]] void fail(const std::string& line, const std::string& why) {
    throw std::runtime_error(why + ": " + line);
}

// Reads up to an unescaped stop character; backslash escapes the next one.
std::string take_escaped(const std::string& line, size_t& pos, const std::string& stops) {
    std::string out;
    while (pos < line.size()) {
        const char c = line[pos];
        if (c == '\\' && pos + 1 < line.size()) {
            out.push_back(line[pos + 1]);
            pos += 2;
            continue;
        }
        if (stops.find(c) != std::string::npos) break;
        out.push_back(c);
        ++pos;
    }
    return out;
}

InfluxField field_value(const std::string& line, const std::string& v) {
    static const std::regex kFloat(R"(^[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$)");
    static const std::regex kInt(R"(^[-+]?\d+i$)");
    static const std::regex kUInt(R"(^\d+u$)");
    static const std::regex kBool(R"(^(t|T|true|True|TRUE|f|F|false|False|FALSE)$)");
    InfluxField f{InfluxField::Float, v, 0.0};
    if (std::regex_match(v, kFloat)) {
        f.number = std::strtod(v.c_str(), nullptr);
    } else if (std::regex_match(v, kInt)) {
        f.type = InfluxField::Integer;
    } else if (std::regex_match(v, kUInt)) {
        f.type = InfluxField::UInteger;
    } else if (std::regex_match(v, kBool)) {
        f.type = InfluxField::Boolean;
    } else if (v.size() >= 2 && v.front() == '"' && v.back() == '"') {
        f.type = InfluxField::String;
    } else {
        fail(line, "field value \"" + v + "\" is no line-protocol value");
    }
    return f;
}

}  // namespace

std::string InfluxPoint::series() const {
    std::string s = measurement;
    for (const auto& kv : tags) s += "," + kv.first + "=" + kv.second;
    return s;
}

InfluxPoint parse_influx_line(const std::string& line) {
    InfluxPoint p;
    size_t pos = 0;
    if (line.empty() || line[0] == '#' || line[0] == ' ') fail(line, "line starts badly");
    p.measurement = take_escaped(line, pos, ", ");
    if (p.measurement.empty()) fail(line, "empty measurement");
    while (pos < line.size() && line[pos] == ',') {
        ++pos;
        const std::string key = take_escaped(line, pos, "=, ");
        if (pos >= line.size() || line[pos] != '=') fail(line, "tag without '='");
        ++pos;
        const std::string value = take_escaped(line, pos, ", =");
        if (key.empty() || value.empty()) fail(line, "empty tag key or value");
        if (!p.tags.emplace(key, value).second) fail(line, "tag twice");
    }
    if (pos >= line.size() || line[pos] != ' ') fail(line, "no blank before the fields");
    ++pos;
    for (;;) {
        const std::string key = take_escaped(line, pos, "=, ");
        if (key.empty() || pos >= line.size() || line[pos] != '=') fail(line, "bad field key");
        ++pos;
        std::string value;
        if (pos < line.size() && line[pos] == '"') {
            value.push_back('"');
            ++pos;
            while (pos < line.size() && line[pos] != '"') {
                if (line[pos] == '\\' && pos + 1 < line.size()) ++pos;
                value.push_back(line[pos++]);
            }
            if (pos >= line.size()) fail(line, "unterminated string");
            value.push_back('"');
            ++pos;
        } else {
            while (pos < line.size() && line[pos] != ',' && line[pos] != ' ')
                value.push_back(line[pos++]);
        }
        if (!p.fields.emplace(key, field_value(line, value)).second) fail(line, "field twice");
        if (pos < line.size() && line[pos] == ',') {
            ++pos;
            continue;
        }
        break;
    }
    if (pos < line.size()) {
        if (line[pos] != ' ') fail(line, "junk after the fields");
        const std::string ts = line.substr(pos + 1);
        static const std::regex kTime(R"(^-?\d{1,19}$)");
        if (!std::regex_match(ts, kTime)) fail(line, "bad timestamp");
        p.has_time = true;
        p.time = std::stoll(ts);
    }
    return p;
}

std::vector<InfluxPoint> parse_influx(const std::string& text) {
    std::vector<InfluxPoint> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        if (!line.empty()) out.push_back(parse_influx_line(line));
        start = end + 1;
    }
    return out;
}

double PromExposition::value(const std::string& name,
                             const std::map<std::string, std::string>& labels) const {
    for (const PromSample& s : samples)
        if (s.name == name && s.labels == labels) return s.value;
    throw std::runtime_error("no sample " + name);
}

bool PromExposition::has(const std::string& name) const {
    for (const PromSample& s : samples)
        if (s.name == name) return true;
    return false;
}

PromExposition parse_prometheus(const std::string& text) {
    static const std::regex kName(R"(^[a-zA-Z_:][a-zA-Z0-9_:]*$)");
    static const std::regex kLabelName(R"(^[a-zA-Z_][a-zA-Z0-9_]*$)");
    static const std::regex kValue(R"(^([-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?|NaN|[-+]Inf)$)");
    static const std::set<std::string> kTypes = {"counter", "gauge", "histogram", "summary",
                                                 "untyped"};
    PromExposition e;
    if (!text.empty() && text.back() != '\n') fail(text, "no final line feed");
    std::set<std::string> closed;  // families whose samples are over
    std::set<std::string> series;
    std::string current;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue;
        if (line[0] == '#') {
            const size_t a = line.find(' ', 2);
            const std::string word = line.substr(2, a == std::string::npos ? a : a - 2);
            if (word != "HELP" && word != "TYPE") continue;  // a plain comment
            if (a == std::string::npos) fail(line, "comment without a name");
            const size_t b = line.find(' ', a + 1);
            const std::string name = line.substr(a + 1, b == std::string::npos ? b : b - a - 1);
            const std::string rest = b == std::string::npos ? "" : line.substr(b + 1);
            if (!std::regex_match(name, kName)) fail(line, "bad family name");
            if (closed.count(name) || name == current) fail(line, "comment after samples");
            auto& map = word == "HELP" ? e.help : e.types;
            if (!map.emplace(name, rest).second) fail(line, word + " twice");
            if (word == "TYPE" && !kTypes.count(rest)) fail(line, "unknown type");
            continue;
        }
        PromSample s;
        size_t pos = 0;
        while (pos < line.size() && line[pos] != '{' && line[pos] != ' ') ++pos;
        s.name = line.substr(0, pos);
        if (!std::regex_match(s.name, kName)) fail(line, "bad metric name");
        std::string labels_key;
        if (pos < line.size() && line[pos] == '{') {
            ++pos;
            while (pos < line.size() && line[pos] != '}') {
                const size_t eq = line.find('=', pos);
                if (eq == std::string::npos) fail(line, "label without '='");
                const std::string lname = line.substr(pos, eq - pos);
                if (!std::regex_match(lname, kLabelName)) fail(line, "bad label name");
                pos = eq + 1;
                if (pos >= line.size() || line[pos] != '"') fail(line, "unquoted label value");
                ++pos;
                std::string v;
                for (;;) {
                    if (pos >= line.size()) fail(line, "unterminated label value");
                    const char c = line[pos++];
                    if (c == '"') break;
                    if (c == '\n') fail(line, "raw line feed in a label");
                    if (c == '\\') {
                        if (pos >= line.size()) fail(line, "dangling backslash");
                        const char n = line[pos++];
                        if (n == 'n')
                            v.push_back('\n');
                        else if (n == '\\' || n == '"')
                            v.push_back(n);
                        else
                            fail(line, "bad escape in a label");
                        continue;
                    }
                    v.push_back(c);
                }
                if (!s.labels.emplace(lname, v).second) fail(line, "label twice");
                if (pos < line.size() && line[pos] == ',') ++pos;
            }
            if (pos >= line.size()) fail(line, "unterminated label set");
            ++pos;
        }
        for (const auto& kv : s.labels) labels_key += kv.first + "=" + kv.second + ";";
        if (pos >= line.size() || line[pos] != ' ') fail(line, "no blank before the value");
        std::string value = line.substr(pos + 1);
        const size_t blank = value.find(' ');
        if (blank != std::string::npos) value = value.substr(0, blank);  // a timestamp follows
        if (!std::regex_match(value, kValue)) fail(line, "bad value");
        s.value = value == "NaN"    ? std::nan("")
                  : value == "+Inf" ? HUGE_VAL
                  : value == "-Inf" ? -HUGE_VAL
                                    : std::strtod(value.c_str(), nullptr);
        // The samples of one family stay together.
        if (s.name != current) {
            if (closed.count(s.name)) fail(line, "family interleaved with another");
            if (!current.empty()) closed.insert(current);
            current = s.name;
        }
        if (!series.insert(s.name + "{" + labels_key + "}").second) fail(line, "series twice");
        e.samples.push_back(std::move(s));
    }
    return e;
}

}  // namespace testsupport
