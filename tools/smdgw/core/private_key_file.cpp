#include "tools/smdgw/core/private_key_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace smdgw {

bool check_private_key_file(const std::string& option, const std::string& path,
                            std::string& error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error = option + " " + path + ": " + std::strerror(errno);
        return false;
    }
    if ((st.st_mode & S_IROTH) != 0) {
        error = option + " " + path + ": others may read the key (chmod o-r " + path + ")";
        return false;
    }
    return true;
}

}  // namespace smdgw
