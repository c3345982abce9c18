#pragma once
// Runs SQL on a raw SQLite connection and returns every value of every row
// run together (to make foreign files and to check integrity in tests).

#include <string>

namespace testsupport {

std::string sql_text(const std::string& path, const std::string& sql);

}  // namespace testsupport
