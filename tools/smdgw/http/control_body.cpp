#include "tools/smdgw/http/control_body.h"

#include <json/reader.h>

#include <limits>
#include <memory>

#include "host/frame_codec.h"
#include "tools/smdgw/core/utf8_text.h"

namespace smdgw::http {

bool read_json_object(const std::string& body, Json::Value& v, std::string& error) {
    Json::CharReaderBuilder b;
    b["collectComments"] = false;
    b["rejectDupKeys"] = true;
    b["stackLimit"] = 20;
    b["failIfExtra"] = true;
    std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    std::string errs;
    bool parsed = false;
    try {
        parsed = reader->parse(body.data(), body.data() + body.size(), &v, &errs);
    } catch (const Json::Exception& e) {
        // The reader throws rather than fail when nesting passes the stack limit.
        errs = e.what();
    }
    if (!parsed) {
        // The reader's text spans lines and quotes member names raw: one
        // line, escaped, since it is logged.
        while (!errs.empty() && (errs.back() == '\n' || errs.back() == ' ')) errs.pop_back();
        for (size_t at = errs.find("\n  "); at != std::string::npos; at = errs.find("\n  ", at))
            errs.replace(at, 3, " ");
        error = "body is not JSON: " + quoted(errs);
        return false;
    }
    if (!v.isObject()) {
        error = "body must be a JSON object";
        return false;
    }
    return true;
}

bool parse_control_body(const std::string& body, ControlBody& out, std::string& error) {
    Json::Value v;
    if (!read_json_object(body, v, error)) return false;
    for (const std::string& name : v.getMemberNames()) {
        if (name != "code" && name != "text" && name != "hex") {
            error =
                "unknown member " + quoted(name) + " (expected \"code\" and \"text\" or \"hex\")";
            return false;
        }
    }
    const Json::Value& code = v["code"];
    if (code.isNull()) {
        error = "\"code\" is missing";
        return false;
    }
    if (!code.isIntegral() || !code.isInt()) {
        error = "\"code\" must be an integer of 32 bits";
        return false;
    }
    const bool has_text = v.isMember("text"), has_hex = v.isMember("hex");
    if (has_text == has_hex) {
        error = "give exactly one of \"text\" and \"hex\"";
        return false;
    }
    const Json::Value& data = has_text ? v["text"] : v["hex"];
    if (!data.isString()) {
        error = has_text ? "\"text\" must be a string" : "\"hex\" must be a string";
        return false;
    }
    const std::string s = data.asString();
    std::vector<unsigned char> bytes;
    if (has_text) {
        bytes.assign(s.begin(), s.end());
    } else if (!smd::from_hex(s, bytes)) {
        error = "\"hex\" must be pairs of hex digits";
        return false;
    }
    if (bytes.size() > kMaxControlRequestBytes) {
        error = "request longer than 1024 bytes";
        return false;
    }
    out.code = code.asInt();
    out.request = std::move(bytes);
    return true;
}

}  // namespace smdgw::http
