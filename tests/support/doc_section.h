#pragma once
// A part of a document rendered from the code: the text between two markers
// must be what the test renders. With the environment variable refresh_env
// set, a differing part is written into the document instead.

#include <string>

namespace testsupport {

void expect_doc_section(const std::string& path, const std::string& begin, const std::string& end,
                        const std::string& expected, const char* refresh_env);

}  // namespace testsupport
