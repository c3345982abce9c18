#include "tests/support/file_bytes.h"

#include <fstream>
#include <sstream>

namespace testsupport {

std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream os;
    os << in.rdbuf();
    return os.str();
}

}  // namespace testsupport
