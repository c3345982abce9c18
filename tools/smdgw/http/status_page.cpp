#include "tools/smdgw/http/status_page.h"

#include <cstring>

#include "status_page_html.h"

namespace smdgw::http {

namespace {
const char* const kMarker = "/*STATE*/null";
}

std::string status_page(const std::string& state_json) {
    std::string page = kStatusPageHtml;
    std::string safe;
    safe.reserve(state_json.size());
    for (char c : state_json) {
        if (c == '<')
            safe += "\\u003c";
        else
            safe.push_back(c);
    }
    const size_t at = page.find(kMarker);
    if (at != std::string::npos) page.replace(at, std::strlen(kMarker), safe);
    return page;
}

}  // namespace smdgw::http
