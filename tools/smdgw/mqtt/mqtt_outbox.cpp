#include "tools/smdgw/mqtt/mqtt_outbox.h"

#include "tools/smdgw/history/history_store.h"
#include "tools/smdgw/history/sqlite_statement.h"
#include "tools/smdgw/mqtt/mqtt_message.h"

namespace smdgw {

namespace {

void run(sqlite3* db, const char* sql) {
    char* msg = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
        const std::string text = msg ? msg : "unknown error";
        sqlite3_free(msg);
        throw OutboxError(std::string(sqlite3_db_filename(db, "main")) +
                          ": cannot bring the outbox up to date: " + text);
    }
}

bool has_column(sqlite3* db, const char* table, const char* column) {
    sqlite::Statement s(db, (std::string("SELECT 1 FROM pragma_table_info('") + table +
                             "') WHERE name = '" + column + "'")
                                .c_str());
    return s.step() == SQLITE_ROW;
}

// The earlier layout: columns topic and retain, pub_seq in mqtt_seq by
// device and kind, the drop total in mqtt_meta. It counted all kinds
// together; a full outbox drops records first, so the total goes there.
void upgrade(sqlite3* db) {
    if (has_column(db, "mqtt_outbox", "topic"))
        run(db, "ALTER TABLE mqtt_outbox RENAME COLUMN topic TO target;"
                "ALTER TABLE mqtt_outbox RENAME COLUMN retain TO flags;");
    if (has_column(db, "mqtt_seq", "device"))
        run(db, "INSERT OR REPLACE INTO mqtt_sequence(stream, last) SELECT CASE device WHEN '' "
                "THEN kind ELSE device || '/' || kind END, last FROM mqtt_seq;"
                "DROP TABLE mqtt_seq;");
    if (has_column(db, "mqtt_meta", "value"))
        run(db, "UPDATE mqtt_drops SET total = total + coalesce((SELECT value FROM mqtt_meta "
                "WHERE name = 'dropped_total'), 0) WHERE kind = 'record';"
                "DROP TABLE mqtt_meta;");
}

OutboxSpec mqtt_spec(const std::string& path, uint64_t max_bytes) {
    OutboxSpec spec;
    spec.path = path;
    spec.name = "mqtt";
    spec.max_bytes = max_bytes;
    spec.kinds = mqtt_kind_names();
    spec.host_application_id = HistoryStore::kApplicationId;
    spec.upgrade = upgrade;
    return spec;
}

}  // namespace

MqttOutbox::MqttOutbox(const std::string& path, uint64_t max_bytes)
    : OutboxStore(mqtt_spec(path, max_bytes)) {}

}  // namespace smdgw
