// Exporting stored rounds with "smdgw history": CSV columns at the record's
// offsets, JSON lines with the decoded record, filters, and files that are
// not a usable history refused with status 2 and left as they were.

#include <gtest/gtest.h>
#include <json/reader.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "record/veltra_record.h"
#include "tests/support/run_process.h"
#include "tests/support/synthetic_record.h"
#include "tests/support/temp_dir.h"
#include "tools/smdgw/history/history_columns.h"
#include "tools/smdgw/history/history_store.h"
#include "tools/smdgw/history/history_time.h"

namespace {

using testsupport::read_text;
using testsupport::run_process;
using testsupport::stored_record;
using testsupport::TempDir;

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    std::string cur;
    for (char c : s) {
        if (c == sep) {
            parts.push_back(cur);
            cur.clear();
        } else if (c != '\r') {
            cur += c;
        }
    }
    parts.push_back(cur);
    return parts;
}

std::vector<std::string> csv_lines(const std::string& out) {
    auto lines = split(out, '\n');
    if (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
}

// Absolute record offsets of analog columns, as the record layout fixes them.
struct ColumnAt {
    const char* name;
    size_t offset;
};

constexpr ColumnAt kColumnOffsets[] = {
    {"out_v", 96},
    {"ac.ia", 8},
    {"ac.ib", 12},
    {"ac.ic", 16},
    {"ac_channels[0].a", 36},
    {"ac_channels[0].b", 40},
    {"ac_channels[0].c", 44},
    {"ac_channels[0].f", 48},
    {"ac_channels[1].a", 66},
    {"ac_channels[1].f", 78},
    {"channels[0].out_i", 101},
    {"channels[39].out_i", 101 + 53 * 39},
    {"dc.v", 2225},
    {"dc.i", 2229},
    {"dc.dc_i[0]", 2234},
    {"dc.dc_i[1]", 2238},
    {"dc2.v", 2470},
    {"dc2.i", 2474},
    {"dc2.dc_i[1]", 2483},
};

TEST(HistoryColumns, EachColumnReadsItsFieldAndHonoursCounts) {
    const auto names = smdgw::analog_column_names();
    EXPECT_EQ(names.size(), 1u + 3 + 8 + 40 + 2 * 4);
    // The fields of one AC input side by side, then the next input.
    EXPECT_EQ(
        std::vector<std::string>(names.begin() + 4, names.begin() + 13),
        (std::vector<std::string>{"ac_channels[0].a", "ac_channels[0].b", "ac_channels[0].c",
                                  "ac_channels[0].f", "ac_channels[1].a", "ac_channels[1].b",
                                  "ac_channels[1].c", "ac_channels[1].f", "channels[0].out_i"}));
    for (const auto& c : kColumnOffsets) {
        std::vector<unsigned char> rec(kRecordSize, 0);
        rec[100] = 40;       // every rectifier valid
        rec[2221 + 12] = 2;  // dc.m
        rec[2466 + 12] = 2;  // dc2.m
        store_le_f32(&rec[c.offset], 48.25f);
        const auto cells = smdgw::analog_cells(rec.data());
        ASSERT_EQ(cells.size(), names.size());
        for (size_t k = 0; k < names.size(); ++k) {
            EXPECT_EQ(cells[k], names[k] == c.name ? "48.25" : "0") << c.name << " / " << names[k];
        }
    }
    // Entries beyond their count, NaN and infinity are empty cells.
    std::vector<unsigned char> rec(kRecordSize, 0);
    rec[100] = 1;
    store_le_f32(&rec[96], std::numeric_limits<float>::quiet_NaN());
    store_le_f32(&rec[2225], std::numeric_limits<float>::infinity());
    store_le_f32(&rec[2225 + 4], 0.1f);
    const auto cells = smdgw::analog_cells(rec.data());
    auto cell = [&](const std::string& name) {
        for (size_t k = 0; k < names.size(); ++k)
            if (names[k] == name) return cells[k];
        return std::string("missing");
    };
    EXPECT_EQ(cell("out_v"), "");
    EXPECT_EQ(cell("dc.v"), "");
    EXPECT_EQ(cell("dc.i"), "0.1");
    EXPECT_EQ(cell("channels[0].out_i"), "0");
    EXPECT_EQ(cell("channels[1].out_i"), "");
    EXPECT_EQ(cell("dc.dc_i[0]"), "");
}

// The roll-ups read the values through a plan kept while the counts stay the
// same: records whose counts change from one to the next read as the cells do.
TEST(HistoryColumns, ValuesFollowTheCountsOfEachRecord) {
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    std::vector<float> values;
    for (int round = 0; round < 40; ++round) {
        std::vector<unsigned char> rec(kRecordSize);
        for (unsigned char& b : rec) b = static_cast<unsigned char>(next() >> 24);
        // Mostly counts within their arrays, sometimes beyond, sometimes none.
        rec[100] = static_cast<unsigned char>(round % 3 == 0 ? next() % 60 : 40 - round % 7);
        rec[2221 + 12] = static_cast<unsigned char>(round % 5);
        rec[2466 + 12] = static_cast<unsigned char>(round % 2 ? 2 : 0);
        const auto cells = smdgw::analog_cells(rec.data());
        smdgw::analog_values(rec.data(), values);
        ASSERT_EQ(values.size(), cells.size());
        for (size_t k = 0; k < cells.size(); ++k)
            EXPECT_EQ(cells[k], smdgw::float_text(values[k])) << "round " << round << " column " << k;
    }
}

TEST(HistoryTime, TimesAndDurationsAsUsersTypeThem) {
    int64_t t = 0;
    EXPECT_TRUE(smdgw::parse_time_text("@1767225600", t));
    EXPECT_EQ(t, 1767225600);
    EXPECT_TRUE(smdgw::parse_time_text("2026-01-01Z", t));
    EXPECT_EQ(t, 1767225600);
    EXPECT_TRUE(smdgw::parse_time_text("2026-01-01T08:30Z", t));
    EXPECT_EQ(t, 1767225600 + 8 * 3600 + 30 * 60);
    EXPECT_TRUE(smdgw::parse_time_text("2026-01-01 08:30:15Z", t));
    EXPECT_EQ(t, 1767225600 + 8 * 3600 + 30 * 60 + 15);
    EXPECT_TRUE(smdgw::parse_time_text("2026-01-01 08:30", t));
    EXPECT_EQ(smdgw::local_time_text(t), "2026-01-01 08:30:00");
    for (const char* bad :
         {"", "@", "@12x", "2026-1-01", "2026-02-30", "2026-01-01 8:30", "2026-01-01 08:60",
          "2026-01-01 24:00", "yesterday", "2026-01-01 08:30:15 ", "@99999999999999999999"}) {
        EXPECT_FALSE(smdgw::parse_time_text(bad, t)) << bad;
    }
    const std::pair<const char*, int64_t> durations[] = {
        {"0", 0}, {"90", 90}, {"90s", 90}, {"15m", 900}, {"12h", 43200}, {"7d", 604800}};
    for (const auto& d : durations) {
        EXPECT_TRUE(smdgw::parse_duration_text(d.first, t)) << d.first;
        EXPECT_EQ(t, d.second) << d.first;
    }
    for (const char* bad : {"", "m", "-5", "5w", "1.5h", "99999999999999999d"}) {
        EXPECT_FALSE(smdgw::parse_duration_text(bad, t)) << bad;
    }
}

// A history of two devices: plant1 at 1000 and 1010, plant2 at 1005.
std::string two_device_history(const TempDir& dir) {
    const std::string path = dir.path().string() + "/h.db";
    auto store = smdgw::HistoryStore::open_for_writing(path);
    std::vector<smdgw::StoredRecord> rows = {stored_record("plant1", 1000, 1, 53.5f, 418),
                                             stored_record("plant1", 1010, 2, 54.0f, 418),
                                             stored_record("plant2", 1005, 3, 48.0f, 419)};
    rows[1].complete = false;  // a damaged round
    store.insert(rows);
    return path;
}

TEST(HistoryExport, EmptyHistoryGivesOnlyTheHeaderOrNothing) {
    TempDir dir;
    const std::string path = dir.path().string() + "/h.db";
    smdgw::HistoryStore::open_for_writing(path);
    auto r = run_process({SMDGW_PATH, "history", path});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto lines = csv_lines(r.out);
    ASSERT_EQ(lines.size(), 1u);
    const auto header = split(lines[0], ',');
    ASSERT_GE(header.size(), 9u);
    EXPECT_EQ(std::vector<std::string>(header.begin(), header.begin() + 9),
              (std::vector<std::string>{"device", "data_id", "time", "unix_time", "complete",
                                        "ac_fresh", "rectifiers_fresh", "dc_fresh", "out_v"}));
    EXPECT_EQ(header.size(), 8 + smdgw::history_column_names().size());
    r = run_process({SMDGW_PATH, "history", path, "--format", "json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
}

TEST(HistoryExport, OneDeviceCsvHasOneRowPerRoundInTimeOrder) {
    TempDir dir;
    const std::string path = two_device_history(dir);
    const auto r = run_process({SMDGW_PATH, "history", path, "--device", "plant1"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = csv_lines(r.out);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(r.out.find("\r\n"), std::string::npos) << "CSV lines end in CR LF";
    const auto header = split(lines[0], ',');
    auto col = [&](const std::string& name) {
        for (size_t k = 0; k < header.size(); ++k)
            if (header[k] == name) return k;
        ADD_FAILURE() << "no column " << name;
        return size_t{0};
    };
    const auto row1 = split(lines[1], ','), row2 = split(lines[2], ',');
    ASSERT_EQ(row1.size(), header.size());
    EXPECT_EQ(row1[col("device")], "plant1");
    EXPECT_EQ(row1[col("data_id")], "418");
    EXPECT_EQ(row1[col("unix_time")], "1000");
    EXPECT_EQ(row1[col("time")], smdgw::local_time_text(1000));
    EXPECT_EQ(row1[col("dc.v")], "53.5");
    EXPECT_EQ(row2[col("dc.v")], "54");
    EXPECT_EQ(row1[col("complete")], "1");
    EXPECT_EQ(row2[col("complete")], "0");
    EXPECT_EQ(row1[col("channels[0].out_i")], "1.5");
    EXPECT_EQ(row1[col("channels[1].out_i")], "2.5");
    EXPECT_EQ(row1[col("channels[2].out_i")], "");
    EXPECT_EQ(row1[col("dc.dc_i[0]")], "7.25");
    EXPECT_EQ(row1[col("dc.dc_i[1]")], "");
    EXPECT_EQ(row1[col("dc2.dc_i[0]")], "");
}

TEST(HistoryExport, TwoDevicesAsJsonLinesWithFilters) {
    TempDir dir;
    const std::string path = two_device_history(dir);
    auto r = run_process({SMDGW_PATH, "history", path, "--format", "json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = r.out_lines();
    ASSERT_EQ(lines.size(), 3u);
    const std::pair<const char*, double> expect[] = {
        {"plant1", 53.5}, {"plant2", 48.0}, {"plant1", 54.0}};
    for (size_t k = 0; k < lines.size(); ++k) {
        Json::Value v;
        ASSERT_TRUE(Json::Reader().parse(lines[k], v)) << lines[k];
        EXPECT_EQ(v["device"].asString(), expect[k].first);
        EXPECT_DOUBLE_EQ(v["record"]["dc"]["v"].asDouble(), expect[k].second);
        EXPECT_EQ(v["record"]["channel_count"].asUInt(), 2u);
        EXPECT_EQ(v["record"]["channels"].size(), 2u);
    }
    Json::Value first;
    Json::Reader().parse(lines[0], first);
    EXPECT_EQ(first["unix_time"].asInt64(), 1000);
    EXPECT_EQ(first["data_id"].asUInt(), 418u);
    EXPECT_EQ(first["record"]["data_id"].asUInt(), 1u) << "record bytes decoded as stored";

    r = run_process(
        {SMDGW_PATH, "history", path, "--format", "json", "--since", "@1005", "--until", "@1010"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out_lines().size(), 2u);
    r = run_process({SMDGW_PATH, "history", path, "--device", "plant2", "--until", "@1004"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(csv_lines(r.out).size(), 1u);
}

TEST(HistoryExport, UnusableFilesAndOptionsExitWith2AndChangeNothing) {
    TempDir dir;
    const std::string text = dir.write_s("notes.txt", "device,time\nplant1,1\n");
    const std::string empty = dir.write_s("empty.db", "");
    const std::string good = two_device_history(dir);
    struct Case {
        std::vector<std::string> args;
        const char* expect;
    };
    const Case cases[] = {
        {{dir.path().string() + "/missing.db"}, "cannot open"},
        {{text}, "not a SQLite database"},
        {{empty}, "holds no smdgw history"},
        {{good, "--since", "last week"}, "is not a time"},
        {{good, "--format", "xml"}, "xml"},
        {{}, "FILE"},
    };
    for (const auto& c : cases) {
        const std::string before_text = read_text(text), before_empty = read_text(empty);
        std::vector<std::string> argv = {SMDGW_PATH, "history"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = run_process(argv);
        EXPECT_EQ(r.status, 2) << c.expect;
        EXPECT_NE(r.err.find(c.expect), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(read_text(text), before_text);
        EXPECT_EQ(read_text(empty), before_empty);
    }
    EXPECT_EQ(run_process({SMDGW_PATH, "history", "--help"}).status, 0);
}

TEST(HistoryExport, GatewayRefusesAForeignHistoryFileWithStatus2) {
    TempDir dir;
    const std::string cfg =
        dir.write_s("gw.json", R"({"devices":[{"name":"plant1","data_id":418,"address":1}]})");
    const std::string cap = dir.write_s("empty.cap", "");
    const std::string text = dir.write_s("notes.txt", "not a database\n");
    auto r = run_process({SMDGW_PATH, "--config", cfg, "--replay", cap, "--history", text});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("not a SQLite database"), std::string::npos) << r.err;
    EXPECT_EQ(read_text(text), "not a database\n");
    r = run_process({SMDGW_PATH, "--config", cfg, "--replay", cap, "--history",
                     dir.path().string() + "/h.db", "--history-keep", "a week"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--history-keep"), std::string::npos) << r.err;

    // A new file is created; with nothing stored, no device is restored.
    r = run_process(
        {SMDGW_PATH, "--config", cfg, "--replay", cap, "--history", dir.path().string() + "/h.db"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(R"("event":"history")"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(R"("restore":"none")"), std::string::npos) << r.out;
    EXPECT_EQ(run_process({SMDGW_PATH, "history", dir.path().string() + "/h.db"}).status, 0);
}

}  // namespace
