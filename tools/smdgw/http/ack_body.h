#pragma once
// The body of an acknowledgement:
//   {"by": "Ana on call", "comment": "generator on its way"}
// "by" names who handles the alarm (1 to 64 characters); "comment" is
// optional (at most 256). Both UTF-8 text without control characters (C0,
// DEL, C1), bidirectional embeddings, overrides and isolates, zero-width
// characters or U+2028/U+2029: the error names the code point. "by" may not
// hold ": ". Other members are refused, their names quoted in the error.
// An unacknowledgement takes the same body ("comment" then says why).

#include <string>

namespace smdgw::http {

struct AckBody {
    std::string by;
    std::string comment;
};

bool parse_ack_body(const std::string& body, AckBody& out, std::string& error);

}  // namespace smdgw::http
