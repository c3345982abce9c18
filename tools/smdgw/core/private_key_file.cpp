#include "tools/smdgw/core/private_key_file.h"

#include "tools/smdgw/core/secret_file.h"

namespace smdgw {

bool check_private_key_file(const std::string& option, const std::string& path,
                            std::string& error) {
    const std::string problem = secret_file_problem(path);
    if (problem.empty()) return true;
    error = option + " " + path + ": " + problem;
    return false;
}

}  // namespace smdgw
