// The durable outbox as any service uses it (tools/smdgw/outbox/): sequence
// numbers given only to what is stored, drop counts that live in the file and
// come back in a notice, a writer whose memory is bounded and that counts
// every message it could not store; and an MQTT outbox of an earlier smdgw
// brought up to date (its rows, pub_seq and drop total kept, the file made
// to shrink).

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/sql_text.h"
#include "tests/support/temp_dir.h"
#include "tools/smdgw/mqtt/mqtt_outbox.h"
#include "tools/smdgw/outbox/outbox_store.h"
#include "tools/smdgw/outbox/outbox_writer.h"

namespace {

using smdgw::DropTally;
using smdgw::KindDrops;
using smdgw::OutboxError;
using smdgw::OutboxStore;
using smdgw::OutgoingMessage;
using testsupport::sql_text;
using testsupport::TempDir;

smdgw::OutboxSpec spec(const std::string& path) {
    smdgw::OutboxSpec s;
    s.path = path;
    s.name = "mail";
    s.kinds = {"report", "alert", "notice"};
    return s;
}

// "{"n":<seq>,"to":...}" with the number filled in where seq_at says.
OutgoingMessage message(const std::string& to, uint8_t kind = 0, int64_t at = 1000) {
    OutgoingMessage m;
    m.stream = "ops";
    m.target = to;
    m.payload = "{\"n\":,\"to\":\"" + to + "\"}";
    m.seq_at = 5;
    m.kind = kind;
    m.created_ms = at;
    return m;
}

void exec(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* err = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
    sqlite3_free(err);
    sqlite3_close(db);
}

TEST(OutboxStore, NumbersGoOnlyToWhatIsStoredAndDropsComeBackInANotice) {
    TempDir dir;
    const std::string path = (dir.path() / "out.db").string();
    {
        OutboxStore store(spec(path));
        // A receiver's address the file refuses makes the whole batch fail.
        exec(path, "CREATE TRIGGER refuse BEFORE INSERT ON mail_outbox WHEN NEW.target = 'x' "
                   "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
        std::vector<OutgoingMessage> batch = {message("a"), message("x")};
        EXPECT_THROW(store.store(batch, {}, {}), OutboxError);
        std::vector<OutgoingMessage> next = {message("b"), message("c", 1)};
        EXPECT_EQ(store.store(next, {}, {}).messages, 2u);
        EXPECT_EQ(sql_text(path, "SELECT group_concat(payload, ' ') FROM mail_outbox"),
                  R"({"n":1,"to":"b"} {"n":2,"to":"c"})");

        // Two reports never stored, from t=500 to t=700; the notice comes
        // with the next store and says so once.
        DropTally lost(3);
        lost[0].add(700);
        lost[0].add(500);
        store.record_drops(lost);
        EXPECT_EQ(store.dropped(0), 2u);
        const auto notice = [](const std::vector<KindDrops>& pending, uint64_t total) {
            OutgoingMessage n;
            n.target = "notice";
            n.kind = 2;
            for (const KindDrops& k : pending)
                n.payload += k.kind + ":" + std::to_string(k.drops.count) + ":" +
                             std::to_string(k.drops.first_ms) + "-" +
                             std::to_string(k.drops.last_ms) + "/" + std::to_string(total);
            return n;
        };
        std::vector<OutgoingMessage> none;
        EXPECT_TRUE(store.store(none, {}, notice).noticed);
        EXPECT_FALSE(store.store(none, {}, notice).noticed);
        EXPECT_EQ(sql_text(path, "SELECT payload FROM mail_outbox WHERE target = 'notice'"),
                  "report:2:500-700/2");
        const auto rows = store.read_after(0, 10, std::chrono::milliseconds(10));
        ASSERT_EQ(rows.size(), 3u);
        store.remove({rows[0].id, rows[1].id});
        EXPECT_EQ(store.messages(), 1u);
    }
    // The counts and the numbers live in the file.
    OutboxStore again(spec(path));
    EXPECT_EQ(again.dropped(0), 2u);
    EXPECT_EQ(again.dropped_total(), 2u);
    std::vector<OutgoingMessage> more = {message("d")};
    again.store(more, {}, {});
    EXPECT_EQ(sql_text(path, "SELECT payload FROM mail_outbox WHERE target = 'd'"),
              R"({"n":3,"to":"d"})");
}

TEST(OutboxWriter, MemoryIsBoundedInBytesAndEveryMessageIsStoredOrCounted) {
    TempDir dir;
    const std::string path = (dir.path() / "out.db").string();
    OutboxStore store(spec(path));
    // The file takes no messages, but counts still fit.
    exec(path, "CREATE TRIGGER refuse BEFORE INSERT ON mail_outbox "
               "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    smdgw::OutboxCounters counters;
    smdgw::OutboxWriterOptions options;
    options.memory_bytes = 64 * 1024;
    options.log_name = "test: outbox";
    uint64_t added = 0;
    {
        smdgw::OutboxWriter writer(store, counters, options);
        for (int i = 0; i < 400; ++i, ++added) {
            OutgoingMessage m = message("r" + std::to_string(i), i % 10 == 0 ? 1 : 0, 1000 + i);
            m.payload += std::string(900, ' ');  // about 1 kB each
            writer.add(std::move(m));
            EXPECT_LE(counters.backlog_bytes.load(), options.memory_bytes);
        }
        EXPECT_TRUE(writer.stop(std::chrono::steady_clock::now() + std::chrono::milliseconds(200)));
        EXPECT_TRUE(writer.drops_recorded());
        const DropTally lost = writer.dropped_this_run();
        EXPECT_EQ(lost[0].count + lost[1].count, added);
        // Alerts are kept longest: the reports went first.
        EXPECT_EQ(lost[1].count, 40u);
    }
    EXPECT_GT(counters.errors.load(), 0u);
    EXPECT_EQ(counters.committed.load(), 0u);
    // Counted in the file, by kind, with the span they were made in.
    EXPECT_EQ(sql_text(path, "SELECT kind || ':' || total || ':' || first_ms || '-' || last_ms "
                             "FROM mail_drops WHERE total > 0 ORDER BY kind"),
              "alert:40:1000-1390report:360:1001-1399");
}

TEST(MqttOutbox, AnOutboxOfAnEarlierSmdgwIsBroughtUpToDate) {
    TempDir dir;
    const std::string path = (dir.path() / "old.db").string();
    exec(path,
         "CREATE TABLE mqtt_outbox (id INTEGER PRIMARY KEY AUTOINCREMENT, drop_class INTEGER NOT "
         "NULL, topic TEXT NOT NULL, payload TEXT NOT NULL, retain INTEGER NOT NULL, created "
         "INTEGER NOT NULL);"
         "CREATE INDEX mqtt_outbox_drop ON mqtt_outbox(drop_class, id);"
         "CREATE TABLE mqtt_seq (device TEXT NOT NULL, kind TEXT NOT NULL, last INTEGER NOT NULL, "
         "PRIMARY KEY (device, kind));"
         "CREATE TABLE mqtt_meta (name TEXT PRIMARY KEY, value INTEGER NOT NULL);"
         "INSERT INTO mqtt_outbox VALUES(7, 0, 'smdgw/g/plant1/record', '{\"pub_seq\":41}', 1, 5);"
         "INSERT INTO mqtt_seq VALUES('plant1', 'record', 41), ('', 'dropped', 2);"
         "INSERT INTO mqtt_meta VALUES('dropped_total', 5);");
    EXPECT_EQ(sql_text(path, "PRAGMA auto_vacuum"), "0");
    smdgw::MqttOutbox outbox(path, 1 << 20);
    EXPECT_TRUE(outbox.shrinks());
    EXPECT_EQ(sql_text(path, "PRAGMA auto_vacuum"), "2");
    EXPECT_EQ(outbox.messages(), 1u);
    EXPECT_EQ(outbox.dropped(0), 5u);
    const auto rows = outbox.read_after(0, 10, std::chrono::milliseconds(10));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].id, 7);
    EXPECT_EQ(rows[0].target, "smdgw/g/plant1/record");
    EXPECT_EQ(rows[0].flags, 1u);
    // pub_seq goes on.
    OutgoingMessage m;
    m.stream = "plant1/record";
    m.target = "smdgw/g/plant1/record";
    m.payload = "{\"pub_seq\":}";
    m.seq_at = 11;
    std::vector<OutgoingMessage> batch = {m};
    outbox.store(batch, {}, {});
    EXPECT_EQ(sql_text(path, "SELECT payload FROM mqtt_outbox WHERE id > 7"), R"({"pub_seq":42})");
    EXPECT_EQ(sql_text(path, "SELECT last FROM mqtt_sequence WHERE stream = 'dropped'"), "2");
    EXPECT_EQ(sql_text(path, "SELECT count(*) FROM sqlite_master WHERE name IN ('mqtt_seq', "
                             "'mqtt_meta')"),
              "0");
}

}  // namespace
