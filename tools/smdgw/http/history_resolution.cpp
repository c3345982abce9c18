#include "tools/smdgw/http/history_resolution.h"

#include <algorithm>
#include <cmath>
#include <deque>

#include "tools/smdgw/history/history_columns.h"
#include "tools/smdgw/history/history_export.h"
#include "tools/smdgw/history/history_rollup.h"
#include "tools/smdgw/history/history_store.h"
#include "tools/smdgw/http/api_json.h"
#include "tools/smdgw/output/json_text.h"

namespace smdgw::http {

namespace {

HistoryFilter filter_of(const HistoryQuery& q) {
    HistoryFilter f;
    f.device = q.device;
    f.since = q.since;
    f.until = q.until;
    return f;
}

// One array of rows: [start, value of each field] per point, the value
// taken by `pick` from the field's figures (null when none was counted).
template <typename Pick>
void point_rows(std::string& out, const std::deque<std::pair<int64_t, std::vector<ColumnStats>>>& points,
                Pick pick) {
    out += '[';
    bool first = true;
    for (const auto& p : points) {
        if (!first) out += ',';
        first = false;
        out += '[';
        json_int(out, p.first);
        for (const ColumnStats& s : p.second) {
            out += ',';
            if (s.count > 0) json_float(out, pick(s));
            else out += "null";
        }
        out += ']';
    }
    out += ']';
}

// The roll-ups of a span, group of them merged into one point (1: each its
// own), at most kMaxHistoryRows points, the newest; as JSON text, written
// straight from the figures since a year of hours is some 80,000 numbers.
std::string rollup_rows(HistoryStore& store, size_t span, const HistoryQuery& q, size_t group) {
    const std::vector<std::string> names = history_column_names();
    std::vector<size_t> columns;
    for (const std::string& f : q.fields)
        columns.push_back(
            static_cast<size_t>(std::find(names.begin(), names.end(), f) - names.begin()));
    // Each point keeps only the columns asked for, of the sixty a roll-up has.
    std::deque<std::pair<int64_t, std::vector<ColumnStats>>> points;
    size_t in_group = 0;
    store.for_each_rollup(
        span, filter_of(q), [&](const Rollup& u) {
            if (in_group == 0 || in_group == group) {
                points.emplace_back(u.start, std::vector<ColumnStats>(columns.size()));
                in_group = 0;
                if (points.size() > kMaxHistoryRows) points.pop_front();
            }
            ++in_group;
            std::vector<ColumnStats>& p = points.back().second;
            for (size_t k = 0; k < columns.size(); ++k)
                if (columns[k] < u.columns.size()) p[k].merge(u.columns[columns[k]]);
        },
        &columns);
    JsonObject out;
    field_names_json(out.add("fields"), q.fields);
    json_string(out.add("resolution"), kRollupSpans[span].name);
    if (group > 1) json_uint(out.add("group"), group);
    point_rows(out.add("rows"), points, [](const ColumnStats& s) { return s.mean(); });
    point_rows(out.add("min"), points, [](const ColumnStats& s) { return s.min; });
    point_rows(out.add("max"), points, [](const ColumnStats& s) { return s.max; });
    std::string text;
    out.close(text);
    return text;
}

std::string raw_rows(const std::string& path, const HistoryQuery& q) {
    // The members are in key order: "resolution" goes before "rows".
    std::string text = run_history_text(path, q);
    const size_t rows = text.rfind(",\"rows\":");
    text.insert(rows, ",\"resolution\":\"raw\"");
    return text;
}

}  // namespace

bool parse_history_resolution(const std::string& text, HistoryQuery& q, std::string& error) {
    if (text.empty()) return true;
    if (text != "raw" && text != "auto" && !rollup_span_named(text)) {
        error = "resolution \"" + text + "\" must be raw, 1m, 1h or auto";
        return false;
    }
    q.resolution = text;
    return true;
}

std::string run_history_resolution(const std::string& path, const HistoryQuery& q) {
    if (q.resolution == "raw") return raw_rows(path, q);
    // Declared first: it outlives the store that refers to it.
    const auto deadline = query_deadline(q.deadline);
    HistoryStore store = HistoryStore::open_for_reading(path);
    store.interrupt_at(&deadline);
    if (const auto span = rollup_span_named(q.resolution)) return rollup_rows(store, *span, q, 1);
    // auto: the finest resolution with rows in the range and few enough of
    // them; else the coarsest that has rows, its rows grouped.
    const HistoryFilter f = filter_of(q);
    const int64_t raw = store.count_rounds(f);
    if (raw > 0 && raw <= static_cast<int64_t>(kAutoPoints)) return raw_rows(path, q);
    int64_t counts[kRollupSpanCount] = {};
    for (size_t span = 0; span < kRollupSpanCount; ++span) {
        counts[span] = store.count_rollups(span, f);
        if (counts[span] > 0 && counts[span] <= static_cast<int64_t>(kAutoPoints))
            return rollup_rows(store, span, q, 1);
    }
    for (size_t span = kRollupSpanCount; span-- > 0;) {
        if (counts[span] == 0) continue;
        const size_t group = static_cast<size_t>((counts[span] + kAutoPoints - 1) / kAutoPoints);
        return rollup_rows(store, span, q, group);
    }
    return raw_rows(path, q);
}

Json::Value run_alarm_log_query(const std::string& path, const AlarmLogQuery& q) {
    // Declared first: it outlives the store that refers to it.
    const auto deadline = query_deadline(q.deadline);
    HistoryStore store = HistoryStore::open_for_reading(path);
    store.interrupt_at(&deadline);
    HistoryFilter f;
    f.device = q.device;
    f.since = q.since;
    f.until = q.until;
    Json::Value list(Json::arrayValue);
    store.for_each_alarm_change(
        f, [&](const AlarmLogEntry& e) { list.append(alarm_change_json(e)); },
        static_cast<int64_t>(std::min(q.newest, kMaxHistoryRows)));
    Json::Value out;
    out["changes"] = list;
    return out;
}

}  // namespace smdgw::http
