#pragma once
// The status page at "/": one self-contained HTML file (style and script
// inline, nothing fetched from elsewhere: sites have no internet) compiled
// into the binary. The state at the moment of the request is embedded as
// JSON, which the page's script renders before the load event and then
// keeps current from the event stream.

#include <string>

namespace smdgw::http {

// The page with the state JSON embedded; "<" in it is escaped so no text
// from a device can end the script element.
std::string status_page(const std::string& state_json);

}  // namespace smdgw::http
