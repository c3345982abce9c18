#pragma once
// A URL as smdgw may show it: in a message, --check-config or --test-notify.
// The user, password and query (where webhook tokens travel) are replaced by
// "***"; scheme, host, port and path stay, so that the reader still sees
// where it goes.
//   https://ops:pw@hooks.example/in?token=abc  ->  https://***@hooks.example/in?***

#include <string>

namespace smdgw {

std::string url_without_secrets(const std::string& url);

}  // namespace smdgw
