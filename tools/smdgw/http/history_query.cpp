#include "tools/smdgw/http/history_query.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <optional>

#include "host/plant_sections.h"

#include "record/veltra_record.h"
#include "tools/smdgw/history/history_columns.h"
#include "tools/smdgw/history/history_store.h"
#include "tools/smdgw/history/history_time.h"

namespace smdgw::http {

namespace {

// The section whose responses fill a column ("dc2.v": dc; "out_v": rectifiers).
std::optional<smd::Section> column_section(const std::string& name) {
    const std::string top = name.substr(0, name.find_first_of(".["));
    return smd::section_of_field(top.c_str());
}

bool all_digits(const std::string& s) {
    return !s.empty() && s.size() <= 12 &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

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
    const std::vector<std::string> known = analog_column_names();
    size_t start = 0;
    while (start <= fields.size()) {
        const size_t comma = std::min(fields.find(',', start), fields.size());
        const std::string f = fields.substr(start, comma - start);
        if (f != kCompleteField && std::find(known.begin(), known.end(), f) == known.end()) {
            error = "unknown field \"" + f +
                    "\" (record fields such as dc.v, dc.i, out_v, or complete)";
            return false;
        }
        q.fields.push_back(f);
        start = comma + 1;
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

Json::Value run_history_query(const std::string& path, const HistoryQuery& q) {
    const std::vector<std::string> names = analog_column_names();
    // Per field: its column (names.size() for "complete") and its section.
    std::vector<size_t> columns;
    std::vector<std::optional<smd::Section>> sections;
    for (const std::string& f : q.fields) {
        columns.push_back(
            static_cast<size_t>(std::find(names.begin(), names.end(), f) - names.begin()));
        sections.push_back(column_section(f));
    }
    HistoryStore store = HistoryStore::open_for_reading(path);
    HistoryFilter filter;
    filter.device = q.device;
    filter.since = q.since;
    filter.until = q.until;
    std::deque<Json::Value> rows;
    store.for_each(filter, [&](const StoredRecord& r) {
        if (r.bytes.size() != kRecordSize) return;
        if (q.complete_only && !r.complete) return;
        const std::vector<std::string> cells = analog_cells(r.bytes.data());
        Json::Value row(Json::arrayValue);
        row.append(static_cast<Json::Int64>(r.time));
        for (size_t k = 0; k < columns.size(); ++k) {
            const size_t c = columns[k];
            if (c == names.size()) {
                row.append(r.complete ? 1 : 0);
                continue;
            }
            // A section this round did not refresh holds no value of it.
            if (sections[k] && !r.fresh[static_cast<size_t>(*sections[k])]) {
                row.append(Json::Value());
                continue;
            }
            const std::string& cell = c < cells.size() ? cells[c] : std::string();
            row.append(cell.empty() ? Json::Value() : Json::Value(std::strtod(cell.c_str(), nullptr)));
        }
        rows.push_back(std::move(row));
        if (rows.size() > kMaxHistoryRows) rows.pop_front();
    });
    Json::Value out;
    Json::Value f(Json::arrayValue);
    for (const std::string& name : q.fields) f.append(name);
    out["fields"] = f;
    Json::Value r(Json::arrayValue);
    for (Json::Value& row : rows) r.append(std::move(row));
    out["rows"] = r;
    return out;
}

}  // namespace smdgw::http
