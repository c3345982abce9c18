#include "tools/smdgw/http/history_resolution.h"

#include <algorithm>
#include <cmath>
#include <deque>

#include "tools/smdgw/history/history_columns.h"
#include "tools/smdgw/history/history_export.h"
#include "tools/smdgw/history/history_rollup.h"
#include "tools/smdgw/history/history_store.h"

namespace smdgw::http {

namespace {

HistoryFilter filter_of(const HistoryQuery& q) {
    HistoryFilter f;
    f.device = q.device;
    f.since = q.since;
    f.until = q.until;
    return f;
}

Json::Value number_or_null(float v) {
    return std::isfinite(v) ? Json::Value(static_cast<double>(v)) : Json::Value();
}

// The roll-ups of a span, group of them merged into one point (1: each its
// own), at most kMaxHistoryRows points, the newest.
Json::Value rollup_rows(HistoryStore& store, size_t span, const HistoryQuery& q, size_t group) {
    const std::vector<std::string> names = analog_column_names();
    std::vector<size_t> columns;
    for (const std::string& f : q.fields)
        columns.push_back(
            static_cast<size_t>(std::find(names.begin(), names.end(), f) - names.begin()));
    std::deque<Rollup> points;
    size_t in_group = 0;
    store.for_each_rollup(
        span, filter_of(q), [&](const Rollup& u) {
        if (in_group == 0 || in_group == group) {
            points.push_back(u);
            in_group = 1;
            if (points.size() > kMaxHistoryRows) points.pop_front();
        } else {
            points.back().merge(u);
            ++in_group;
        }
        },
        &columns);
    Json::Value rows(Json::arrayValue), mins(Json::arrayValue), maxs(Json::arrayValue);
    for (const Rollup& u : points) {
        Json::Value row(Json::arrayValue), lo(Json::arrayValue), hi(Json::arrayValue);
        for (Json::Value* r : {&row, &lo, &hi}) r->append(static_cast<Json::Int64>(u.start));
        for (size_t c : columns) {
            const ColumnStats s = c < u.columns.size() ? u.columns[c] : ColumnStats();
            const bool any = s.count > 0;
            row.append(any ? number_or_null(s.mean()) : Json::Value());
            lo.append(any ? number_or_null(s.min) : Json::Value());
            hi.append(any ? number_or_null(s.max) : Json::Value());
        }
        rows.append(std::move(row));
        mins.append(std::move(lo));
        maxs.append(std::move(hi));
    }
    Json::Value out;
    Json::Value f(Json::arrayValue);
    for (const std::string& name : q.fields) f.append(name);
    out["fields"] = f;
    out["resolution"] = kRollupSpans[span].name;
    if (group > 1) out["group"] = static_cast<Json::UInt64>(group);
    out["rows"] = rows;
    out["min"] = mins;
    out["max"] = maxs;
    return out;
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

Json::Value run_history_resolution(const std::string& path, const HistoryQuery& q) {
    if (q.resolution == "raw") {
        Json::Value out = run_history_query(path, q);
        out["resolution"] = "raw";
        return out;
    }
    HistoryStore store = HistoryStore::open_for_reading(path);
    if (const auto span = rollup_span_named(q.resolution)) return rollup_rows(store, *span, q, 1);
    // auto: the finest resolution with rows in the range and few enough of
    // them; else the coarsest that has rows, its rows grouped.
    const HistoryFilter f = filter_of(q);
    const int64_t raw = store.count_rounds(f);
    if (raw > 0 && raw <= static_cast<int64_t>(kAutoPoints)) {
        HistoryQuery raw_q = q;
        raw_q.resolution = "raw";
        return run_history_resolution(path, raw_q);
    }
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
    HistoryQuery raw_q = q;
    raw_q.resolution = "raw";
    return run_history_resolution(path, raw_q);
}

Json::Value run_alarm_log_query(const std::string& path, const AlarmLogQuery& q) {
    HistoryStore store = HistoryStore::open_for_reading(path);
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
