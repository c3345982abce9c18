#include "tests/support/sql_text.h"

#include <sqlite3.h>

namespace testsupport {

std::string sql_text(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    std::string result;
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK) {
        sqlite3_exec(
            db, sql.c_str(),
            [](void* out, int n, char** values, char**) {
                auto* s = static_cast<std::string*>(out);
                for (int k = 0; k < n; ++k) *s += (values[k] ? values[k] : "NULL");
                return 0;
            },
            &result, nullptr);
    }
    sqlite3_close(db);
    return result;
}

}  // namespace testsupport
