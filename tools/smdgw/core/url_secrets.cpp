#include "tools/smdgw/core/url_secrets.h"

#include <algorithm>

namespace smdgw {

std::string url_without_secrets(const std::string& url) {
    const size_t scheme = url.find("://");
    const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    // The authority ends at the first '/', '?' or '#'; its user part at the last '@'.
    size_t end = url.find_first_of("/?#", start);
    if (end == std::string::npos) end = url.size();
    std::string out = url.substr(0, start);
    const size_t at = url.rfind('@', end == 0 ? 0 : end - 1);
    if (at != std::string::npos && at >= start && at < end)
        out += "***" + url.substr(at, end - at);
    else
        out += url.substr(start, end - start);
    const size_t query = url.find('?', end);
    const size_t fragment = url.find('#', end);
    out += url.substr(end, std::min(query, fragment) - end);
    if (query != std::string::npos && query < fragment) out += "?***";
    if (fragment != std::string::npos) out += "#***";
    return out;
}

}  // namespace smdgw
