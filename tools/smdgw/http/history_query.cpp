#include "tools/smdgw/http/history_query.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <optional>
#include <sstream>

#include <json/reader.h>

#include "host/plant_sections.h"

#include "record/veltra_record.h"
#include "tools/smdgw/history/history_battery.h"
#include "tools/smdgw/history/history_columns.h"
#include "tools/smdgw/history/history_store.h"
#include "tools/smdgw/history/history_time.h"
#include "tools/smdgw/output/json_text.h"

namespace smdgw::http {

namespace {

// The section whose responses fill a column ("dc2.v": dc; "out_v": rectifiers).
// The battery estimate moves only with the DC panels' rounds.
std::optional<smd::Section> column_section(const std::string& name) {
    const std::string top = name.substr(0, name.find_first_of(".["));
    if (top == "battery") return smd::Section::Dc;
    return smd::section_of_field(top.c_str());
}

// Rounds read from the history by the API since the start.
std::atomic<uint64_t> rows_read{0};

bool all_digits(const std::string& s) {
    return !s.empty() && s.size() <= 12 &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

namespace {
// --http-query-deadline-s, set once before the server runs.
std::atomic<int> deadline_s{kQueryDeadlineS};
}  // namespace

void set_query_deadline_s(int seconds) { deadline_s = seconds; }

std::chrono::steady_clock::time_point query_deadline(std::chrono::steady_clock::time_point asked) {
    return std::min(asked, std::chrono::steady_clock::now() + std::chrono::seconds(deadline_s.load()));
}

bool parse_api_time(const std::string& text, int64_t& seconds) {
    if (all_digits(text)) {
        seconds = std::stoll(text);
        return true;
    }
    // An offset "+HH:MM" or "-HH:MM" after the seconds: read the rest as UTC.
    if (text.size() > 6) {
        const size_t at = text.size() - 6;
        const char sign = text[at];
        if ((sign == '+' || sign == '-') && text[at + 3] == ':' &&
            all_digits(text.substr(at + 1, 2)) && all_digits(text.substr(at + 4, 2))) {
            const int hours = std::stoi(text.substr(at + 1, 2));
            const int minutes = std::stoi(text.substr(at + 4, 2));
            if (hours > 23 || minutes > 59) return false;
            int64_t utc = 0;
            if (!parse_time_text(text.substr(0, at) + "Z", utc)) return false;
            const int64_t off = hours * 3600 + minutes * 60;
            seconds = sign == '+' ? utc - off : utc + off;
            return true;
        }
    }
    return parse_time_text(text, seconds);
}

bool parse_history_query(const std::string& since, const std::string& until,
                         const std::string& fields, HistoryQuery& q, std::string& error) {
    int64_t t = 0;
    if (!since.empty()) {
        if (!parse_api_time(since, t)) {
            error = "since \"" + since + "\" is neither ISO 8601 nor Unix seconds";
            return false;
        }
        q.since = t;
    }
    if (!until.empty()) {
        if (!parse_api_time(until, t)) {
            error = "until \"" + until + "\" is neither ISO 8601 nor Unix seconds";
            return false;
        }
        q.until = t;
    }
    if (fields.empty()) {
        error = "fields is missing (for example fields=dc.v,dc.i)";
        return false;
    }
    const std::vector<std::string> known = history_column_names();
    size_t start = 0;
    while (start <= fields.size()) {
        const size_t comma = std::min(fields.find(',', start), fields.size());
        const std::string f = fields.substr(start, comma - start);
        start = comma + 1;
        if (f != kCompleteField && std::find(known.begin(), known.end(), f) == known.end()) {
            error = "unknown field \"" + f +
                    "\" (record fields such as dc.v, dc.i, out_v, battery fields such as "
                    "battery.runtime_s, or complete)";
            return false;
        }
        // The fields are a set: a field named again is the same column.
        if (std::find(q.fields.begin(), q.fields.end(), f) != q.fields.end()) continue;
        if (q.fields.size() == kMaxHistoryFields) {
            error = "more than " + std::to_string(kMaxHistoryFields) + " fields";
            return false;
        }
        q.fields.push_back(f);
    }
    return true;
}

bool parse_history_complete(const std::string& complete, HistoryQuery& q, std::string& error) {
    if (complete.empty() || complete == "0" || complete == "false") {
        q.complete_only = false;
        return true;
    }
    if (complete == "1" || complete == "true") {
        q.complete_only = true;
        return true;
    }
    error = "complete \"" + complete + "\" must be 1 (complete rounds only) or 0";
    return false;
}

std::string run_history_text(const std::string& path, const HistoryQuery& q) {
    const std::vector<std::string> names = history_column_names();
    const size_t analog = analog_column_count();
    // Per field: its column (names.size() for "complete") and its section.
    std::vector<size_t> columns;
    std::vector<std::optional<smd::Section>> sections;
    for (const std::string& f : q.fields) {
        columns.push_back(
            static_cast<size_t>(std::find(names.begin(), names.end(), f) - names.begin()));
        sections.push_back(column_section(f));
    }
    HistoryStore store = HistoryStore::open_for_reading(path);
    const auto deadline = query_deadline(q.deadline);
    store.interrupt_at(&deadline);
    HistoryFilter filter;
    filter.device = q.device;
    filter.since = q.since;
    filter.until = q.until;
    // One row more than a page is asked for: when it comes (last, being
    // the oldest), older rows remain and it is left out. The rows come
    // newest first and are joined oldest first.
    std::vector<std::string> texts;
    std::vector<float> values;
    int64_t oldest_read = 0;
    size_t read = 0;
    store.for_each_newest(
        filter, q.complete_only, static_cast<int64_t>(kMaxHistoryRows) + 1,
        [&](const StoredRecord& r) {
            rows_read.fetch_add(1, std::memory_order_relaxed);
            ++read;
            oldest_read = r.time;
            if (read > kMaxHistoryRows || r.bytes.size() != kRecordSize) return;
            // The record's values as numbers; text only for the fields asked.
            analog_values(r.bytes.data(), values);
            const std::vector<double> battery = battery_values(r.battery);
            std::string to = "[";
            json_int(to, r.time);
            for (size_t k = 0; k < columns.size(); ++k) {
                to += ',';
                const size_t c = columns[k];
                if (c == names.size()) {
                    to += r.complete ? '1' : '0';
                    continue;
                }
                // A section this round did not refresh holds no value of it.
                if (sections[k] && !r.fresh[static_cast<size_t>(*sections[k])]) {
                    to += "null";
                    continue;
                }
                if (c >= analog) {
                    const double v = c - analog < battery.size() ? battery[c - analog] : NAN;
                    if (std::isfinite(v)) json_float(to, v);
                    else to += "null";
                    continue;
                }
                const float v = c < values.size() ? values[c] : NAN;
                if (std::isnan(v)) to += "null";
                else json_float(to, std::strtod(float_text(v).c_str(), nullptr));
            }
            to += ']';
            texts.push_back(std::move(to));
        });
    store.interrupt_at(nullptr);
    const bool more = read > kMaxHistoryRows;
    const int64_t first_time = oldest_read;
    std::string rows = "[";
    for (auto t = texts.rbegin(); t != texts.rend(); ++t) {
        if (rows.size() > 1) rows += ',';
        rows += *t;
    }
    rows += ']';
    texts.clear();
    JsonObject out;
    field_names_json(out.add("fields"), q.fields);
    // The older rows: the same query with until=next (the newest round left
    // out; a round of the same second as the oldest shown comes again).
    if (more) json_int(out.add("next"), first_time);
    out.add("rows") = std::move(rows);
    std::string text;
    out.close(text);
    return text;
}

Json::Value run_history_query(const std::string& path, const HistoryQuery& q) {
    Json::Value out;
    std::istringstream in(run_history_text(path, q));
    std::string errors;
    Json::parseFromStream(Json::CharReaderBuilder(), in, &out, &errors);
    return out;
}

void field_names_json(std::string& out, const std::vector<std::string>& fields) {
    out += '[';
    for (size_t k = 0; k < fields.size(); ++k) {
        if (k) out += ',';
        json_string(out, fields[k]);
    }
    out += ']';
}

uint64_t history_rows_read() { return rows_read.load(std::memory_order_relaxed); }

}  // namespace smdgw::http
