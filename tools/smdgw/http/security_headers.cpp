#include "tools/smdgw/http/security_headers.h"

#include <openssl/evp.h>
#include <strings.h>

#include <vector>

#include "status_page_html.h"

namespace smdgw::http {

namespace {

std::string sha256_source(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    unsigned char b64[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
    EVP_EncodeBlock(b64, digest, static_cast<int>(length));
    return "'sha256-" + std::string(reinterpret_cast<const char*>(b64)) + "'";
}

// The text of each <tag ...>...</tag> of the page, and its opening tag.
std::vector<std::pair<std::string, std::string>> elements(const std::string& page,
                                                          const std::string& tag) {
    std::vector<std::pair<std::string, std::string>> out;
    const std::string open = "<" + tag, close = "</" + tag + ">";
    for (size_t at = 0; (at = page.find(open, at)) != std::string::npos;) {
        const char after = at + open.size() < page.size() ? page[at + open.size()] : '\0';
        if (after != '>' && after != ' ' && after != '\n' && after != '\t') {
            at += open.size();
            continue;
        }
        const size_t head_end = page.find('>', at);
        if (head_end == std::string::npos) break;
        const size_t end = page.find(close, head_end + 1);
        if (end == std::string::npos) break;
        out.emplace_back(page.substr(at, head_end + 1 - at),
                         page.substr(head_end + 1, end - head_end - 1));
        at = end + close.size();
    }
    return out;
}

// A <script type="..."> that is not JavaScript is data: the browser does not
// run it, and the state the page is given changes with every answer.
bool runs(const std::string& open_tag) {
    const size_t type = open_tag.find("type=");
    if (type == std::string::npos) return true;
    const std::string t = open_tag.substr(type + 5);
    for (const char* js : {"\"text/javascript\"", "\"module\"", "text/javascript"})
        if (strncasecmp(t.c_str(), js, std::char_traits<char>::length(js)) == 0) return true;
    return false;
}

}  // namespace

std::string content_security_policy(const std::string& page) {
    std::string scripts, styles;
    for (const auto& [open_tag, text] : elements(page, "script"))
        if (runs(open_tag)) scripts += " " + sha256_source(text);
    for (const auto& [open_tag, text] : elements(page, "style")) styles += " " + sha256_source(text);
    if (scripts.empty()) scripts = " 'none'";
    if (styles.empty()) styles = " 'none'";
    return "default-src 'none'; script-src" + scripts + "; style-src" + styles +
           "; connect-src 'self'; img-src 'self' data:; base-uri 'none'; form-action 'none'; "
           "frame-ancestors 'none'";
}

const Headers& security_headers() {
    static const Headers headers = {
        {"Content-Security-Policy", content_security_policy(kStatusPageHtml)},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "no-referrer"},
    };
    return headers;
}

}  // namespace smdgw::http
