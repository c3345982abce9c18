#pragma once
// One prepared SQLite statement, finalised on every way out; shared by the
// history and the MQTT outbox, which may live in the same database file.

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

namespace smdgw {
namespace sqlite {

class Statement {
   public:
    Statement(sqlite3* db, const char* sql) {
        rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    int prepare_result() const { return rc_; }
    sqlite3_stmt* get() const { return stmt_; }
    void bind(int i, int64_t v) { sqlite3_bind_int64(stmt_, i, v); }
    void bind(int i, const std::string& v) {
        sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    void bind_blob(int i, const std::vector<unsigned char>& v) {
        sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
    }
    void bind_null(int i) { sqlite3_bind_null(stmt_, i); }
    void bind_real(int i, double v) { sqlite3_bind_double(stmt_, i, v); }
    int step() { return sqlite3_step(stmt_); }
    void reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    bool is_null(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
    int64_t int_at(int col) const { return sqlite3_column_int64(stmt_, col); }
    double real_at(int col) const { return sqlite3_column_double(stmt_, col); }
    std::string text_at(int col) const {
        const unsigned char* t = sqlite3_column_text(stmt_, col);
        return t ? std::string(reinterpret_cast<const char*>(t),
                               static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
                 : std::string();
    }
    std::vector<unsigned char> blob_at(int col) const {
        const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(stmt_, col));
        const int n = sqlite3_column_bytes(stmt_, col);
        return p ? std::vector<unsigned char>(p, p + n) : std::vector<unsigned char>();
    }

   private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = SQLITE_OK;
};

// Resets a statement kept for reuse on every way out of its use, so that the
// connection holds no read open (nor, in WAL mode, an old snapshot) between
// calls, and no binding points at a buffer that is gone.
class ResetOnExit {
   public:
    explicit ResetOnExit(Statement& s) : s_(s) {}
    ~ResetOnExit() { s_.reset(); }
    ResetOnExit(const ResetOnExit&) = delete;
    ResetOnExit& operator=(const ResetOnExit&) = delete;

   private:
    Statement& s_;
};

}  // namespace sqlite
}  // namespace smdgw
