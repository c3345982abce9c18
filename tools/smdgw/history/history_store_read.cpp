// Reading: the newest round of a device, rounds, roll-ups and alarm changes
// matching a filter, their counts, the devices, the active alarms; and the
// deadline that interrupts a long query. A file of an older version, opened
// without migrating, is read in the columns it has.

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

#include "tools/smdgw/history/history_schema.h"
#include "tools/smdgw/history/history_store.h"
#include "tools/smdgw/history/sqlite_statement.h"

namespace smdgw {

namespace {

using sqlite::Statement;

StoredRecord row_at(const Statement& s) {
    StoredRecord r;
    r.id = s.int_at(0);
    r.device = s.text_at(1);
    r.data_id = static_cast<uint32_t>(s.int_at(2));
    r.time = s.int_at(3);
    r.bytes = s.blob_at(4);
    r.complete = s.int_at(5) != 0;
    for (size_t k = 0; k < r.fresh.size(); ++k) r.fresh[k] = s.int_at(6 + static_cast<int>(k)) != 0;
    if (!s.is_null(9)) {
        BatterySample b;
        b.state = static_cast<int>(s.int_at(9));
        const auto real = [&s](int col) {
            return s.is_null(col) ? std::optional<double>() : s.real_at(col);
        };
        b.charge = real(10);
        b.runtime_s = real(11);
        b.learned_capacity_ah = real(12);
        r.battery = b;
    }
    return r;
}

// A file of an older version, read without migrating, lacks the newer columns.
std::string row_columns(int version) {
    const std::string battery =
        version >= kBatterySince
            ? ", battery_state, battery_charge, battery_runtime_s, battery_learned_capacity_ah "
            : ", NULL, NULL, NULL, NULL ";
    if (version >= 3)
        return "SELECT id, device, data_id, time, record, complete, ac_fresh, rectifiers_fresh, "
               "dc_fresh" + battery + "FROM history ";
    if (version == 2)
        return "SELECT id, device, data_id, time, record, complete, complete, complete, complete" +
               battery + "FROM history ";
    return "SELECT id, device, data_id, time, record, 1, 1, 1, 1" + battery + "FROM history ";
}

// The filter's bounds as parameters 1 to 3 of a statement.
void bind_filter(Statement& s, const HistoryFilter& filter) {
    if (filter.device) s.bind(1, *filter.device);
    if (filter.since) s.bind(2, *filter.since);
    if (filter.until) s.bind(3, *filter.until);
}

// Only the bounds given become conditions, so that SQLite can use the
// (device, time) indexes.
std::string filter_where(const HistoryFilter& filter, const char* time_column) {
    const std::string t = time_column;
    std::string where = " WHERE 1";
    if (filter.device) where += " AND device = ?1";
    if (filter.since) where += " AND " + t + " >= ?2";
    if (filter.until) where += " AND " + t + " <= ?3";
    return where + " ";
}

}  // namespace

std::vector<ActiveAlarm> HistoryStore::active_alarms(const std::string& device) {
    std::vector<ActiveAlarm> out;
    if (version_ < 2) return out;
    const std::string sql =
        std::string("SELECT key, alarm_id, seq, level, message, since") +
        (version_ >= kAcksSince ? ", ack_by, ack_comment, ack_at, flapping" : "") +
        " FROM active_alarms WHERE device = ?1 ORDER BY key, alarm_id, seq";
    Statement& s = cached(sql, "cannot read alarms");
    const sqlite::ResetOnExit done(s);
    s.bind(1, device);
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) {
        ActiveAlarm a;
        a.id.key = s.text_at(0);
        a.id.alarm_id = s.text_at(1);
        a.id.seq = static_cast<unsigned short>(s.int_at(2));
        a.level = static_cast<int>(s.int_at(3));
        a.message = s.text_at(4);
        a.since = static_cast<std::time_t>(s.int_at(5));
        if (version_ >= kAcksSince) {
            a.ack.by = s.text_at(6);
            a.ack.comment = s.text_at(7);
            a.ack.at = static_cast<std::time_t>(s.int_at(8));
            a.flapping = s.int_at(9) != 0;
        }
        out.push_back(std::move(a));
    }
    if (rc != SQLITE_DONE) fail("cannot read alarms");
    return out;
}

std::optional<StoredRecord> HistoryStore::newest(const std::string& device, bool complete_only) {
    Statement& s = cached(row_columns(version_) + "WHERE device = ?1" +
                              (complete_only && version_ >= 2 ? " AND complete = 1" : "") +
                              " ORDER BY time DESC, id DESC LIMIT 1",
                          "cannot read");
    const sqlite::ResetOnExit done(s);
    s.bind(1, device);
    const int rc = s.step();
    if (rc == SQLITE_DONE) return std::nullopt;
    if (rc != SQLITE_ROW) fail("cannot read");
    return row_at(s);
}

void HistoryStore::for_each(const HistoryFilter& filter,
                            const std::function<void(const StoredRecord&)>& fn) {
    Statement& s = cached(row_columns(version_) +
                              "WHERE (?1 IS NULL OR device = ?1) AND (?2 IS NULL OR time >= ?2) "
                              "AND (?3 IS NULL OR time <= ?3) ORDER BY time, id",
                          "cannot read");
    const sqlite::ResetOnExit done(s);
    if (filter.device) s.bind(1, *filter.device);
    if (filter.since) s.bind(2, *filter.since);
    if (filter.until) s.bind(3, *filter.until);
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) fn(row_at(s));
    if (rc != SQLITE_DONE) fail("cannot read");
}

void HistoryStore::for_each_newest(const HistoryFilter& filter, bool complete_only, int64_t limit,
                                   const std::function<void(const StoredRecord&)>& fn) {
    const std::string complete = complete_only && version_ >= 2 ? "AND complete = 1 " : "";
    Statement& s = cached(row_columns(version_) + filter_where(filter, "time").substr(1) +
                              complete + "ORDER BY time DESC, id DESC LIMIT ?4",
                          "cannot read");
    const sqlite::ResetOnExit done(s);
    bind_filter(s, filter);
    s.bind(4, limit);
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) fn(row_at(s));
    if (rc != SQLITE_DONE) fail("cannot read");
}

void HistoryStore::interrupt_at(const std::chrono::steady_clock::time_point* deadline) {
    if (!deadline) {
        sqlite3_progress_handler(db_, 0, nullptr, nullptr);
        return;
    }
    sqlite3_progress_handler(
        db_, 1000,
        [](void* at) {
            return std::chrono::steady_clock::now() >=
                           *static_cast<const std::chrono::steady_clock::time_point*>(at)
                       ? 1
                       : 0;
        },
        const_cast<std::chrono::steady_clock::time_point*>(deadline));
}

void HistoryStore::for_each_rollup(size_t span, const HistoryFilter& filter,
                                   const std::function<void(const Rollup&)>& fn,
                                   const std::vector<size_t>* only) {
    if (version_ < kRollupsSince) return;
    Statement& s = cached("SELECT device, start, rounds, stats FROM " +
                              std::string(kRollupSpans[span].table) +
                              filter_where(filter, "start") + "ORDER BY start, device",
                          "cannot read roll-ups");
    const sqlite::ResetOnExit done(s);
    bind_filter(s, filter);
    int rc;
    Rollup u;
    u.span = span;
    while ((rc = s.step()) == SQLITE_ROW) {
        u.device = s.text_at(0);
        u.start = s.int_at(1);
        u.rounds = static_cast<uint32_t>(s.int_at(2));
        const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(s.get(), 3));
        const size_t size = static_cast<size_t>(sqlite3_column_bytes(s.get(), 3));
        if (!blob || size % kColumnStatsBytes != 0) {
            u.columns.clear();
        } else if (only) {
            // A chart asks for a few columns of sixty.
            u.columns.assign(size / kColumnStatsBytes, ColumnStats());
            for (size_t k : *only)
                if (k < u.columns.size()) decode_column(blob + k * kColumnStatsBytes, u.columns[k]);
        } else {
            decode_columns(blob, size, u.columns);
        }
        fn(u);
    }
    if (rc != SQLITE_DONE) fail("cannot read roll-ups");
}

std::optional<int64_t> HistoryStore::newest_rollup_start(size_t span, const std::string& device) {
    if (version_ < kRollupsSince) return std::nullopt;
    Statement& s = cached("SELECT max(start) FROM " + std::string(kRollupSpans[span].table) +
                              " WHERE device = ?1",
                          "cannot read roll-ups");
    const sqlite::ResetOnExit done(s);
    s.bind(1, device);
    if (s.step() != SQLITE_ROW) fail("cannot read roll-ups");
    if (s.is_null(0)) return std::nullopt;
    return s.int_at(0);
}

int64_t HistoryStore::count_rounds(const HistoryFilter& filter) {
    Statement& s = cached("SELECT count(*) FROM history" + filter_where(filter, "time"),
                          "cannot read");
    const sqlite::ResetOnExit done(s);
    bind_filter(s, filter);
    if (s.step() != SQLITE_ROW) fail("cannot read");
    return s.int_at(0);
}

int64_t HistoryStore::count_rollups(size_t span, const HistoryFilter& filter) {
    if (version_ < kRollupsSince) return 0;
    Statement& s = cached("SELECT count(*) FROM " + std::string(kRollupSpans[span].table) +
                              filter_where(filter, "start"),
                          "cannot read roll-ups");
    const sqlite::ResetOnExit done(s);
    bind_filter(s, filter);
    if (s.step() != SQLITE_ROW) fail("cannot read roll-ups");
    return s.int_at(0);
}

std::vector<std::string> HistoryStore::devices() {
    std::vector<std::string> out;
    Statement& s = cached("SELECT DISTINCT device FROM history ORDER BY device", "cannot read");
    const sqlite::ResetOnExit done(s);
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) out.push_back(s.text_at(0));
    if (rc != SQLITE_DONE) fail("cannot read");
    return out;
}

void HistoryStore::for_each_alarm_change(const HistoryFilter& filter,
                                         const std::function<void(const AlarmLogEntry&)>& fn,
                                         int64_t newest) {
    if (version_ < kRollupsSince) return;
    const std::string select =
        "SELECT id, time, device, change, alarm_id, key, seq, level, value, message, reason "
        "FROM alarm_log" +
        filter_where(filter, "time");
    const std::string sql = newest > 0 ? "SELECT * FROM (" + select +
                                             "ORDER BY time DESC, id DESC LIMIT " +
                                             std::to_string(newest) + ") ORDER BY time, id"
                                       : select + "ORDER BY time, id";
    // Prepared for each call, not kept: the count of the newest is part of
    // the SQL, and a kept statement per count asked would grow without bound.
    Statement s(db_, sql.c_str());
    if (s.prepare_result() != SQLITE_OK) fail("cannot read the alarm log");
    bind_filter(s, filter);
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) {
        AlarmLogEntry e;
        e.id = s.int_at(0);
        e.time = s.int_at(1);
        e.device = s.text_at(2);
        e.change = alarm_change_of(s.text_at(3));
        e.alarm_id = s.text_at(4);
        e.key = s.text_at(5);
        e.seq = static_cast<unsigned>(s.int_at(6));
        e.level = static_cast<int>(s.int_at(7));
        e.value = s.text_at(8);
        e.message = s.text_at(9);
        e.reason = s.text_at(10);
        fn(e);
    }
    if (rc != SQLITE_DONE) fail("cannot read the alarm log");
}

int64_t HistoryStore::count() {
    Statement& s = cached("SELECT count(*) FROM history", "cannot read");
    const sqlite::ResetOnExit done(s);
    if (s.step() != SQLITE_ROW) fail("cannot read");
    return s.int_at(0);
}

}  // namespace smdgw
