#include "tools/smdgw/core/host_name.h"

#include <unistd.h>

namespace smdgw {

std::string host_name() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') return "smdgw";
    return buf;
}

}  // namespace smdgw
