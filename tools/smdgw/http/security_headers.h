#pragma once
// Headers on every answer that tell a browser what the gateway's pages may
// do: run only the status page's own script and style (by their SHA-256,
// computed from the page compiled in, so an edit of the page needs no edit
// here), connect only to the gateway itself, never be framed, send no
// referrer, and take every type as declared.

#include <string>

#include "tools/smdgw/http/http_message.h"

namespace smdgw::http {

// The Content-Security-Policy for a page: a 'sha256-...' source for each
// inline <script> that runs (not a JSON data block) and each <style>.
//   <style>b{}</style><script>go()</script>  ->
//   default-src 'none'; script-src 'sha256-…'; style-src 'sha256-…'; connect-src 'self';
//   img-src 'self' data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'
std::string content_security_policy(const std::string& page);

// The headers every answer carries (the status page's policy, computed once).
const Headers& security_headers();

}  // namespace smdgw::http
