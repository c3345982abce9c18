#include "tests/support/doc_section.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace testsupport {

void expect_doc_section(const std::string& path, const std::string& begin, const std::string& end,
                        const std::string& expected, const char* refresh_env) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    std::string doc = s.str();
    const size_t b = doc.find(begin);
    const size_t e = doc.find(end);
    ASSERT_NE(std::string::npos, b) << path << " lacks " << begin;
    ASSERT_NE(std::string::npos, e) << path << " lacks " << end;
    ASSERT_LT(b, e) << path;
    const size_t start = b + begin.size();
    const std::string actual = doc.substr(start, e - start);
    if (actual != expected && std::getenv(refresh_env)) {
        doc.replace(start, e - start, expected);
        std::ofstream(path, std::ios::binary) << doc;
        return;
    }
    EXPECT_EQ(expected, actual) << path << ": refresh with " << refresh_env
                                << "=1 (see the test's header)";
}

}  // namespace testsupport
