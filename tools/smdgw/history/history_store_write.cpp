// Storing: the five tables' write in one transaction (rounds, alarm sets,
// roll-ups, alarm changes, and the retention's deletes), and the pruning
// that keeps the history within its retention.

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <set>
#include <utility>

#include "tools/smdgw/history/history_schema.h"
#include "tools/smdgw/history/history_store.h"
#include "tools/smdgw/history/sqlite_statement.h"

namespace smdgw {

namespace {

using sqlite::Statement;

// Rows deleted per transaction while pruning, so a writer never waits long.
constexpr int kPruneChunk = 1000;

// Alarm changes older than this go; none when the age is unbounded.
int64_t log_cutoff(const Retention& r, int64_t now) {
    return r.alarm_log_max_age() > 0 ? now - r.alarm_log_max_age() : INT64_MIN;
}

}  // namespace

void HistoryStore::insert(std::vector<StoredRecord>& records) { write(records, {}); }

void HistoryStore::write(std::vector<StoredRecord>& records,
                         const std::vector<StoredAlarms>& alarms, const Retention* trim,
                         int64_t now) {
    HistoryBatch batch;
    batch.records.swap(records);
    batch.alarms = alarms;
    try {
        write(batch, trim, now);
    } catch (...) {
        records.swap(batch.records);
        throw;
    }
    records.swap(batch.records);
}

void HistoryStore::store_rollup(const Rollup& u) {
    const std::string table = kRollupSpans[u.span].table;
    {
        // The usual case: a span not stored yet, one statement.
        Statement& s = cached("INSERT INTO " + table +
                              "(device, start, rounds, stats) VALUES(?,?,?,?) "
                              "ON CONFLICT(device, start) DO NOTHING");
        s.bind(1, u.device);
        s.bind(2, u.start);
        s.bind(3, static_cast<int64_t>(u.rounds));
        const std::vector<unsigned char> blob = encode_columns(u.columns);
        s.bind_blob(4, blob);
        const int rc = s.step();
        s.reset();
        if (rc != SQLITE_DONE) fail("cannot store the roll-ups of \"" + u.device + "\"");
        if (sqlite3_changes(db_) == 1) return;
    }
    // One already stored under the same start (the clock went back) is
    // folded in, so no round is lost or counted twice.
    Rollup merged;
    merged.span = u.span;
    {
        Statement& find = cached("SELECT rounds, stats FROM " + table +
                                     " WHERE device = ?1 AND start = ?2",
                                 ("cannot read the roll-ups of \"" + u.device + "\"").c_str());
        const sqlite::ResetOnExit done(find);
        find.bind(1, u.device);
        find.bind(2, u.start);
        if (find.step() != SQLITE_ROW) fail("cannot read the roll-ups of \"" + u.device + "\"");
        merged.rounds = static_cast<uint32_t>(find.int_at(0));
        const std::vector<unsigned char> blob = find.blob_at(1);
        decode_columns(blob.data(), blob.size(), merged.columns);
    }
    merged.merge(u);
    Statement& s = cached(
        "UPDATE " + table + " SET rounds = ?3, stats = ?4 WHERE device = ?1 AND start = ?2",
        ("cannot store the roll-ups of \"" + u.device + "\"").c_str());
    const sqlite::ResetOnExit done(s);
    s.bind(1, u.device);
    s.bind(2, u.start);
    s.bind(3, static_cast<int64_t>(merged.rounds));
    const std::vector<unsigned char> blob = encode_columns(merged.columns);
    s.bind_blob(4, blob);
    if (s.step() != SQLITE_DONE) fail("cannot store the roll-ups of \"" + u.device + "\"");
}

void HistoryStore::write(HistoryBatch& batch, const Retention* trim, int64_t now) {
    if (batch.empty()) return;
    std::vector<StoredRecord>& records = batch.records;
    const std::vector<StoredAlarms>& alarms = batch.alarms;
    exec("BEGIN IMMEDIATE");
    try {
        Statement& s = cached(
            "INSERT INTO history(device, data_id, time, record, complete, ac_fresh, "
            "rectifiers_fresh, dc_fresh, battery_state, battery_charge, battery_runtime_s, "
            "battery_learned_capacity_ah) VALUES(?,?,?,?,?,?,?,?,?,?,?,?)");
        for (StoredRecord& r : records) {
            s.bind(1, r.device);
            s.bind(2, static_cast<int64_t>(r.data_id));
            s.bind(3, r.time);
            s.bind_blob(4, r.bytes);
            s.bind(5, r.complete ? 1 : 0);
            for (size_t k = 0; k < r.fresh.size(); ++k)
                s.bind(6 + static_cast<int>(k), r.fresh[k] ? 1 : 0);
            if (r.battery) {
                s.bind(9, static_cast<int64_t>(r.battery->state));
                const auto real = [&s](int i, const std::optional<double>& v) {
                    if (v && std::isfinite(*v)) s.bind_real(i, *v);
                    else s.bind_null(i);
                };
                real(10, r.battery->charge);
                real(11, r.battery->runtime_s);
                real(12, r.battery->learned_capacity_ah);
            }
            if (s.step() != SQLITE_DONE) fail("cannot store a record of \"" + r.device + "\"");
            r.id = sqlite3_last_insert_rowid(db_);
            s.reset();
            const auto rows = rows_.find(r.device);
            if (rows != rows_.end()) ++rows->second;
        }
        Statement& del = cached("DELETE FROM active_alarms WHERE device = ?1",
                                "cannot store alarms");
        Statement& ins = cached(
            "INSERT OR REPLACE INTO active_alarms(device, key, alarm_id, seq, level, "
            "message, since, ack_by, ack_comment, ack_at, flapping) "
            "VALUES(?,?,?,?,?,?,?,?,?,?,?)",
            "cannot store alarms");
        for (const StoredAlarms& set : alarms) {
            del.bind(1, set.device);
            if (del.step() != SQLITE_DONE)
                fail("cannot store the alarms of \"" + set.device + "\"");
            del.reset();
            for (const ActiveAlarm& a : set.alarms) {
                ins.bind(1, set.device);
                ins.bind(2, a.id.key);
                ins.bind(3, a.id.alarm_id);
                ins.bind(4, static_cast<int64_t>(a.id.seq));
                ins.bind(5, static_cast<int64_t>(a.level));
                ins.bind(6, a.message);
                ins.bind(7, static_cast<int64_t>(a.since));
                ins.bind(8, a.ack.by);
                ins.bind(9, a.ack.comment);
                ins.bind(10, static_cast<int64_t>(a.ack.at));
                ins.bind(11, a.flapping ? 1 : 0);
                if (ins.step() != SQLITE_DONE)
                    fail("cannot store the alarms of \"" + set.device + "\"");
                ins.reset();
            }
        }
        for (const Rollup& u : batch.rollups) store_rollup(u);
        if (!batch.alarm_log.empty()) {
            Statement& log = cached(
                "INSERT INTO alarm_log(time, device, change, alarm_id, key, seq, level, "
                "value, message, reason) VALUES(?,?,?,?,?,?,?,?,?,?)",
                "cannot store alarm changes");
            for (AlarmLogEntry& e : batch.alarm_log) {
                log.bind(1, e.time);
                log.bind(2, e.device);
                log.bind(3, std::string(alarm_change_name(e.change)));
                log.bind(4, e.alarm_id);
                log.bind(5, e.key);
                log.bind(6, static_cast<int64_t>(e.seq));
                log.bind(7, static_cast<int64_t>(e.level));
                log.bind(8, e.value);
                log.bind(9, e.message);
                log.bind(10, e.reason);
                if (log.step() != SQLITE_DONE)
                    fail("cannot store an alarm change of \"" + e.device + "\"");
                e.id = sqlite3_last_insert_rowid(db_);
                log.reset();
            }
        }
        if (trim) {
            // The rows this batch pushes beyond the retention go in the same
            // commit, so a device never holds more than its bound.
            std::set<std::string> written;
            for (const StoredRecord& r : records) written.insert(r.device);
            if (trim->max_age_seconds > 0) delete_older(now - trim->max_age_seconds, kPruneChunk);
            if (trim->max_rows_per_device > 0)
                for (const std::string& device : written)
                    delete_beyond(device, trim->max_rows_per_device, -1);
            // Roll-ups age out when an hour of their device closes: every
            // span's, at most a chunk each.
            for (const Rollup& u : batch.rollups) {
                if (u.span != kRollupSpanCount - 1) continue;
                for (size_t span = 0; span < kRollupSpanCount; ++span) {
                    const int64_t keep = trim->rollup_max_age_seconds[span];
                    if (keep > 0) delete_rollups_older(span, u.device, now - keep, kPruneChunk);
                }
            }
            if (!batch.alarm_log.empty())
                delete_alarm_log(log_cutoff(*trim, now), trim->alarm_log_max_rows, kPruneChunk);
        }
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        rows_.clear();  // counted again from what the file holds
        throw;
    }
}

int64_t HistoryStore::device_rows(const std::string& device) {
    const auto it = rows_.find(device);
    if (it != rows_.end()) return it->second;
    Statement& s = cached("SELECT count(*) FROM history WHERE device = ?1");
    s.bind(1, device);
    if (s.step() != SQLITE_ROW) fail("cannot count the rows of \"" + device + "\"");
    const int64_t n = s.int_at(0);
    s.reset();
    rows_[device] = n;
    return n;
}

int64_t HistoryStore::delete_older(int64_t cutoff, int limit) {
    Statement& s = cached(
        "DELETE FROM history WHERE id IN "
        "(SELECT id FROM history WHERE time < ?1 LIMIT ?2) RETURNING device");
    s.bind(1, cutoff);
    s.bind(2, static_cast<int64_t>(limit));
    int64_t removed = 0;
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) {
        ++removed;
        const auto rows = rows_.find(s.text_at(0));
        if (rows != rows_.end()) --rows->second;
    }
    s.reset();
    if (rc != SQLITE_DONE) {
        rows_.clear();  // the statement's deletes were undone
        fail("cannot prune");
    }
    return removed;
}

int64_t HistoryStore::delete_beyond(const std::string& device, int64_t keep, int limit) {
    // The oldest rows beyond the newest keep go.
    int64_t excess = device_rows(device) - keep;
    if (excess <= 0) return 0;
    if (limit >= 0) excess = std::min<int64_t>(excess, limit);
    Statement& s = cached(
        "DELETE FROM history WHERE id IN (SELECT id FROM history WHERE "
        "device = ?1 ORDER BY time, id LIMIT ?2)");
    s.bind(1, device);
    s.bind(2, excess);
    const int rc = s.step();
    s.reset();
    if (rc != SQLITE_DONE) fail("cannot prune");
    const int64_t removed = sqlite3_changes(db_);
    rows_[device] -= removed;
    return removed;
}

int64_t HistoryStore::prune(const Retention& retention, int64_t now) {
    int64_t removed = 0;
    // Deletes in chunks, each its own short transaction, until one comes
    // back short.
    auto in_chunks = [&](const std::function<int64_t()>& chunk) {
        for (;;) {
            const int64_t n = chunk();
            removed += n;
            if (n < kPruneChunk) break;
        }
    };
    if (retention.max_age_seconds > 0)
        in_chunks([&] { return delete_older(now - retention.max_age_seconds, kPruneChunk); });
    if (retention.max_rows_per_device > 0) {
        std::vector<std::string> devices;
        {
            Statement s(db_, "SELECT DISTINCT device FROM history");
            while (s.step() == SQLITE_ROW) devices.push_back(s.text_at(0));
        }
        for (const std::string& device : devices)
            in_chunks(
                [&] { return delete_beyond(device, retention.max_rows_per_device, kPruneChunk); });
    }
    if (version_ < kRollupsSince) return removed;
    for (size_t span = 0; span < kRollupSpanCount; ++span) {
        const int64_t keep = retention.rollup_max_age_seconds[span];
        if (keep <= 0) continue;
        std::vector<std::string> devices;
        {
            Statement s(db_, ("SELECT DISTINCT device FROM " +
                              std::string(kRollupSpans[span].table))
                                 .c_str());
            while (s.step() == SQLITE_ROW) devices.push_back(s.text_at(0));
        }
        for (const std::string& device : devices)
            in_chunks(
                [&] { return delete_rollups_older(span, device, now - keep, kPruneChunk); });
    }
    in_chunks([&] {
        return delete_alarm_log(log_cutoff(retention, now), retention.alarm_log_max_rows,
                                kPruneChunk);
    });
    return removed;
}

int64_t HistoryStore::delete_rollups_older(size_t span, const std::string& device, int64_t cutoff,
                                           int limit) {
    const std::string table = kRollupSpans[span].table;
    Statement& s = cached("DELETE FROM " + table + " WHERE rowid IN (SELECT rowid FROM " +
                              table + " WHERE device = ?1 AND start < ?2 LIMIT ?3)",
                          "cannot prune roll-ups");
    const sqlite::ResetOnExit done(s);
    s.bind(1, device);
    s.bind(2, cutoff);
    s.bind(3, static_cast<int64_t>(limit));
    if (s.step() != SQLITE_DONE) fail("cannot prune roll-ups");
    return sqlite3_changes(db_);
}

int64_t HistoryStore::delete_alarm_log(int64_t cutoff, int64_t max_rows, int limit) {
    // Ids grow with every change, so the cap keeps the newest max_rows.
    Statement& s = cached(
        "DELETE FROM alarm_log WHERE id IN (SELECT id FROM alarm_log WHERE "
        "time < ?1 OR (?2 > 0 AND id <= (SELECT max(id) FROM alarm_log) - ?2) LIMIT ?3)",
        "cannot prune the alarm log");
    const sqlite::ResetOnExit done(s);
    s.bind(1, cutoff);
    s.bind(2, max_rows);
    s.bind(3, static_cast<int64_t>(limit));
    if (s.step() != SQLITE_DONE) fail("cannot prune the alarm log");
    return sqlite3_changes(db_);
}

}  // namespace smdgw
