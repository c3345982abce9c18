// The battery estimate in the history: a file of the schema before it was
// kept reads as it is and is migrated after a copy; the rounds stored then
// carry the estimate, which the API's history queries return as fields, raw
// and rolled up per minute, null where the round did not refresh the DC
// panels or the device has no battery.

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/smdgw_run.h"
#include "tests/support/sql_text.h"
#include "tests/support/synthetic_record.h"
#include "tests/support/temp_dir.h"
#include "tools/smdgw/history/history_columns.h"
#include "tools/smdgw/history/history_export.h"
#include "tools/smdgw/history/history_store.h"
#include "tools/smdgw/history/history_writer.h"
#include "tools/smdgw/http/history_query.h"
#include "tools/smdgw/http/history_resolution.h"

namespace {

using smdgw::BatterySample;
using smdgw::HistoryStore;
using smdgw::StoredRecord;
using smdgw::http::HistoryQuery;
using testsupport::sql_text;
using testsupport::stored_record;
using testsupport::TempDir;

// A file as smdgw wrote it before rounds kept the battery estimate (schema
// 5): today's less the four columns, with one round of a plant.
std::string version5_file(const TempDir& dir) {
    const std::string path = dir.path().string() + "/v5.db";
    {
        HistoryStore store = HistoryStore::open_for_writing(path);
        std::vector<StoredRecord> old = {stored_record("plant1", 900, 1)};
        store.insert(old);
    }
    sql_text(path,
             "ALTER TABLE history DROP COLUMN battery_state;"
             "ALTER TABLE history DROP COLUMN battery_charge;"
             "ALTER TABLE history DROP COLUMN battery_runtime_s;"
             "ALTER TABLE history DROP COLUMN battery_learned_capacity_ah;"
             "PRAGMA user_version=5;");
    return path;
}

HistoryQuery query(const std::string& fields, const std::string& resolution = "raw") {
    HistoryQuery q;
    std::string error;
    EXPECT_TRUE(smdgw::http::parse_history_query("", "", fields, q, error)) << error;
    q.device = "plant1";
    q.resolution = resolution;
    return q;
}

TEST(HistoryBattery, OldFilesReadAndMigrateAndQueriesReturnTheEstimate) {
    TempDir dir;
    const std::string path = version5_file(dir);
    // Read as it is: the battery's fields are there, with nothing in them.
    Json::Value old = smdgw::http::run_history_query(path, query("dc.v,battery.runtime_s"));
    ASSERT_EQ(old["rows"].size(), 1u) << old.toStyledString();
    EXPECT_EQ(old["rows"][0][1].asDouble(), 53.5);
    EXPECT_TRUE(old["rows"][0][2].isNull());
    EXPECT_EQ(sql_text(path, "PRAGMA user_version"), "5");

    {
        HistoryStore store = HistoryStore::open_for_writing(path);
        EXPECT_EQ(store.migration().from, 5);
        EXPECT_EQ(store.migration().backup, path + ".v5.bak");
        smdgw::Retention all;
        all.max_age_seconds = all.rollup_max_age_seconds[0] = all.rollup_max_age_seconds[1] = 0;
        smdgw::HistoryWriter w(store, all, [] { return int64_t{1200}; });
        // On battery from 960 s, a round every 10 s: the time left falls 10 s
        // a round. The round at 1000 s did not refresh the DC panels (it
        // carries the estimate of the round before, which counts once).
        for (int k = 0; k < 13; ++k) {
            StoredRecord r = stored_record("plant1", 960 + 10 * k, 10 + static_cast<uint32_t>(k));
            BatterySample b;
            b.state = 3;  // discharging
            b.charge = 0.9 - 0.01 * k;
            b.runtime_s = 2000.0 - 10.0 * k;
            r.battery = b;
            if (k == 4) {
                r.fresh = {true, true, false};
                r.battery->runtime_s = 2000.0 - 10.0 * 3;
            }
            w.add(r);
        }
        // A plant without a battery beside it.
        w.add(stored_record("plant2", 1000, 99));
        w.add(stored_record("plant2", 1080, 100));
        w.flush();
    }
    EXPECT_EQ(sql_text(path, "PRAGMA user_version"), std::to_string(HistoryStore::kSchemaVersion));
    EXPECT_EQ(sql_text(path, "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(sql_text(path, "SELECT count(*) FROM history WHERE battery_state IS NULL"), "3");

    // Raw rounds: the old one without, the new ones with the estimate.
    const Json::Value raw = smdgw::http::run_history_query(
        path, query("battery.state,battery.charge,battery.runtime_s,battery.learned_capacity_ah"));
    ASSERT_EQ(raw["rows"].size(), 14u) << raw.toStyledString();
    EXPECT_EQ(raw["fields"][2].asString(), "battery.runtime_s");
    EXPECT_TRUE(raw["rows"][0][1].isNull());
    for (Json::ArrayIndex k = 1; k < 14; ++k) {
        const Json::Value& row = raw["rows"][k];
        EXPECT_EQ(row[0].asInt64(), 960 + 10 * (static_cast<int>(k) - 1));
        if (k == 5) {
            EXPECT_TRUE(row[1].isNull() && row[3].isNull()) << "DC panels not refreshed";
            continue;
        }
        EXPECT_EQ(row[1].asInt(), 3);
        EXPECT_NEAR(row[2].asDouble(), 0.9 - 0.01 * (k - 1), 1e-6);
        EXPECT_EQ(row[3].asDouble(), 2000.0 - 10.0 * (k - 1));
        EXPECT_TRUE(row[4].isNull()) << "no capacity learned";
    }

    // Per minute (the round at 1080 s closes the last): 900-959 the old
    // round alone, 960-1019 five refreshed rounds (the sixth held), 1020-1079 six.
    const HistoryQuery minutes = query("battery.runtime_s,battery.state", "1m");
    const Json::Value rolled =
        testsupport::parse_json(smdgw::http::run_history_resolution(path, minutes));
    ASSERT_EQ(rolled["rows"].size(), 3u) << rolled.toStyledString();
    EXPECT_EQ(rolled["rows"][0][0].asInt64(), 900);
    EXPECT_TRUE(rolled["rows"][0][1].isNull());
    EXPECT_EQ(rolled["rows"][1][0].asInt64(), 960);
    EXPECT_EQ(rolled["min"][1][1].asDouble(), 1950.0);
    EXPECT_EQ(rolled["max"][1][1].asDouble(), 2000.0);
    EXPECT_NEAR(rolled["rows"][1][1].asDouble(), (2000.0 + 1990 + 1980 + 1970 + 1950) / 5, 1e-3);
    EXPECT_EQ(rolled["max"][2][2].asDouble(), 3.0);
    EXPECT_EQ(rolled["min"][2][1].asDouble(), 1890.0);
    // The CSV exports carry the battery's columns after the analog ones,
    // empty for a plant without a battery.
    {
        HistoryStore store = HistoryStore::open_for_reading(path);
        std::ostringstream csv;
        smdgw::export_history(store, {}, smdgw::ExportFormat::Csv, csv);
        const std::string text = csv.str();
        const std::string header = text.substr(0, text.find("\r\n"));
        EXPECT_NE(header.find(",battery.state,battery.charge,battery.runtime_s,"
                              "battery.learned_capacity_ah"),
                  std::string::npos)
            << header;
        EXPECT_NE(text.find(",3,0.89,1990,\r\n"), std::string::npos) << "round at 970 s";
        EXPECT_NE(text.find(",,,,\r\n"), std::string::npos) << "plant2 and the old round";
        std::ostringstream hours;
        smdgw::export_rollups(store, 0, {}, smdgw::ExportFormat::Csv, hours);
        EXPECT_NE(hours.str().find(",battery.runtime_s.min,battery.runtime_s.max,"),
                  std::string::npos);
        EXPECT_NE(hours.str().find(",1950,2000,"), std::string::npos) << hours.str();
    }
    // A plant without a battery: its roll-ups are as long as before.
    EXPECT_EQ(
        sql_text(path, "SELECT DISTINCT length(stats) FROM rollup_1m WHERE device = 'plant2'"),
              std::to_string(smdgw::kColumnStatsBytes * smdgw::analog_column_count()));
}

TEST(HistoryBattery, UnknownFieldsAreNamedWithTheBatteryOnes) {
    HistoryQuery q;
    std::string error;
    EXPECT_FALSE(smdgw::http::parse_history_query("", "", "battery.nosuch", q, error));
    EXPECT_NE(error.find("\"battery.nosuch\""), std::string::npos) << error;
    EXPECT_NE(error.find("battery.runtime_s"), std::string::npos) << error;
}

}  // namespace
