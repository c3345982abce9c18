// What the HTTP transport decides before any handler runs: the bounded
// request parser at each of its limits, the Host check, the UTF-8 rules and
// the quoting of names in the log, the per-client allowances, the page's
// Content-Security-Policy, and the checks a SQLite file passes before it is
// opened.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/support/doc_section.h"
#include "tests/support/temp_dir.h"
#include "tools/smdgw/core/safe_file.h"
#include "tools/smdgw/core/utf8_text.h"
#include "tools/smdgw/http/client_limits.h"
#include "tools/smdgw/http/http_limits.h"
#include "tools/smdgw/http/request_checks.h"
#include "tools/smdgw/http/request_parser.h"
#include "tools/smdgw/http/security_headers.h"

namespace {

using namespace smdgw::http;
using State = RequestParser::State;

std::string header_of(size_t bytes) {
    // "X-Pad: xxx...\r\n" lines of 1000 bytes up to about `bytes`.
    std::string h;
    for (int i = 0; h.size() + 1000 <= bytes; ++i)
        h += "X-Pad-" + std::to_string(i) + ": " + std::string(990 - std::to_string(i).size(), 'x') + "\r\n";
    return h;
}

std::string chunked(size_t chunks, size_t each) {
    std::string body;
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", each);
    for (size_t i = 0; i < chunks; ++i) body += size + std::string(each, 'b') + "\r\n";
    return body + "0\r\n\r\n";
}

struct ParseCase {
    const char* what;
    std::string bytes;
    size_t keep;  // body bytes the service keeps
    State state;
    int status;   // with Failed
    size_t body;  // with Done: body bytes kept
    bool cut;     // with Done: the body was longer than kept
    // With Failed: the parser stopped before this many bytes were used (a
    // refused body is not read).
    size_t used_below;
};

// Feeds the bytes 7 at a time, as a slow client sends them, keeping what the
// parser did not use, as the transport does.
State parse(RequestParser& p, const std::string& bytes, size_t keep, size_t& used) {
    std::string pending;
    size_t sent = 0;
    used = 0;
    for (;;) {
        const size_t k = p.feed(pending.data(), pending.size());
        pending.erase(0, k);
        used += k;
        if (p.state() == State::HeaderDone) {
            p.keep_body(keep);
            continue;
        }
        if (p.state() != State::NeedMore || sent == bytes.size()) return p.state();
        const size_t n = std::min<size_t>(7, bytes.size() - sent);
        pending.append(bytes, sent, n);
        sent += n;
    }
}

TEST(HttpRequestParser, EveryLimitAnswersItsStatus) {
    const std::string get = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    const std::string post = "POST /api/v1/devices/p/control HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    std::string many_fields;
    const size_t kAll = ~size_t{0};
    for (size_t i = 0; i <= kMaxHeaderFields; ++i) many_fields += "A" + std::to_string(i) + ": 1\r\n";
    const ParseCase cases[] = {
        {"plain GET", get + "\r\n", 0, State::Done, 0, 0, false, 0},
        {"header block at the limit", get + header_of(kMaxHeaderBytes - 1200) + "\r\n", 0,
         State::Done, 0, 0, false, 0},
        {"header block beyond", get + header_of(kMaxHeaderBytes + 2000) + "\r\n", 0,
         State::Failed, 431, 0, false, kMaxHeaderBytes + 1},
        {"one field too many", get + many_fields + "\r\n", 0, State::Failed, 431, 0, false, kAll},
        {"request line beyond",
         "GET /" + std::string(kMaxRequestLineBytes, 'a') + " HTTP/1.1\r\n\r\n", 0, State::Failed,
         414, 0, false, kAll},
        {"HTTP/1.2 request line", "GET / HTTP/1.2\r\n\r\n", 0, State::Failed, 505, 0, false, kAll},
        {"body with a length, kept", post + "Content-Length: 5\r\n\r\nhello", 64, State::Done, 0,
         5, false, 0},
        {"body beyond the service's keep", post + "Content-Length: 5\r\n\r\nhello", 2,
         State::Done, 0, 2, true, 0},
        {"length beyond the limit: refused before the body",
         post + "Content-Length: 65537\r\n\r\n" + std::string(65537, 'x'), 64, State::Failed, 413,
         0, false, post.size() + 30},
        {"chunked at the limit", post + "Transfer-Encoding: chunked\r\n\r\n" + chunked(16, 4096),
         kMaxBodyBytes, State::Done, 0, kMaxBodyBytes, false, 0},
        {"chunked beyond the limit: refused at the chunk that passes it",
         post + "Transfer-Encoding: chunked\r\n\r\n" + chunked(40, 4096), kMaxBodyBytes,
         State::Failed, 413, 0, false, post.size() + 40 + 16 * 4104 + 16},
        {"chunk extension too long",
         post + "Transfer-Encoding: chunked\r\n\r\n5;" + std::string(300, 'e') +
             "\r\nhello\r\n0\r\n\r\n",
         64, State::Failed, 400, 0, false, kAll},
        {"not HTTP", "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 0, State::Failed, 400, 0,
         false, kAll},
    };
    for (const ParseCase& c : cases) {
        RequestParser p;
        size_t used = 0;
        EXPECT_EQ(parse(p, c.bytes, c.keep, used), c.state) << c.what << ": " << p.error();
        if (c.state == State::Failed) {
            EXPECT_EQ(p.status(), c.status) << c.what << ": " << p.error();
            EXPECT_FALSE(p.error().empty()) << c.what;
            EXPECT_LT(used, c.used_below) << c.what;
        } else {
            EXPECT_EQ(p.request().body.size(), c.body) << c.what;
            EXPECT_EQ(p.request().body_cut, c.cut) << c.what;
        }
    }
}

TEST(HttpRequestChecks, HostMustBeAnAddressLocalhostOrANamedHost) {
    struct Case {
        const char* host;
        bool allowed;
    } const cases[] = {
        {"127.0.0.1", true},     {"127.0.0.1:9418", true},   {"10.1.2.3:80", true},
        {"[::1]", true},         {"[::1]:9418", true},       {"[fe80::1]:1", true},
        {"localhost", true},     {"LocalHost:9418", true},   {"gw1.site", true},
        {"GW1.site:443", true},  {"evil.example", false},    {"127.0.0.1.evil.example", false},
        {"localhost.", false},   {"[::1", false},            {"::1", false},
        {"127.0.0.1:x", false},  {"", false},                {"[::1]x", false},
        {"gw1.site.evil", false}, {"127.1", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(host_allowed(c.host, {"gw1.site"}), c.allowed) << c.host;

    Request r;
    r.version = 11;
    r.target = r.path = "/metrics";
    EXPECT_EQ(check_request(r, {}).status, 400) << "HTTP/1.1 without Host";
    r.headers = {{"host", "rebind.example:9418"}};
    EXPECT_EQ(check_request(r, {}).status, 421);
    r.headers = {{"Host", "127.0.0.1:9418"}, {"HOST", "evil.example"}};
    EXPECT_EQ(check_request(r, {}).status, 400) << "two Host headers";
    r.headers = {{"Host", "127.0.0.1:9418"}};
    EXPECT_EQ(check_request(r, {}).status, 0);
    r.query = "fields=%ff";
    EXPECT_EQ(check_request(r, {}).status, 400) << "a query that is not UTF-8";
}

TEST(HttpRequestChecks, Utf8AndQuotedNames) {
    struct Case {
        std::string text;
        bool utf8;
        const char* quoted;  // null: not UTF-8, not quoted here
    } const cases[] = {
        {"plant1", true, R"("plant1")"},
        {"站点1", true, "\"站点1\""},
        {"a\"b\\c", true, R"("a\"b\\c")"},
        {"a\nb\x01", true, R"("a\nb\u0001")"},
        {"x\xe2\x80\xa8y\xe2\x80\xa9\xc2\x85", true, R"("x\u2028y\u2029\u0085")"},
        {"\xff\xfe", false, nullptr},
        {"\xc0\xaf", false, nullptr},          // overlong '/'
        {"\xed\xa0\x80", false, nullptr},      // surrogate
        {"\xf4\x90\x80\x80", false, nullptr},  // beyond U+10FFFF
        {"\xe4\xb8", false, nullptr},          // cut short
    };
    for (const Case& c : cases) {
        EXPECT_EQ(smdgw::is_utf8(c.text), c.utf8) << c.text;
        if (c.quoted) {
            EXPECT_EQ(smdgw::quoted(c.text), c.quoted);
        }
    }
}

TEST(HttpClientLimits, ConnectionsPerAddressAndRefusalsPerMinute) {
    using Place = ConnectionCounts::Place;
    ConnectionCounts counts(3, 2, 1, 1);
    EXPECT_EQ(counts.admit("127.0.0.2", Place::Ordinary), ConnectionCounts::Admit::Yes);
    EXPECT_EQ(counts.admit("127.0.0.2", Place::Ordinary), ConnectionCounts::Admit::Yes);
    EXPECT_EQ(counts.admit("127.0.0.2", Place::Ordinary),
              ConnectionCounts::Admit::TooManyFromClient);
    EXPECT_EQ(counts.admit("127.0.0.2", Place::Token), ConnectionCounts::Admit::TooManyFromClient)
        << "a held place still counts towards the address's share";
    EXPECT_EQ(counts.admit("127.0.0.3", Place::Ordinary), ConnectionCounts::Admit::Yes);
    EXPECT_EQ(counts.admit("127.0.0.4", Place::Ordinary), ConnectionCounts::Admit::Full);
    // The held places, one each, beyond the ordinary ones.
    EXPECT_EQ(counts.admit("127.0.0.1", Place::Loopback), ConnectionCounts::Admit::Yes);
    EXPECT_EQ(counts.admit("::1", Place::Loopback), ConnectionCounts::Admit::Full);
    EXPECT_EQ(counts.admit("127.0.0.4", Place::Token), ConnectionCounts::Admit::Yes);
    EXPECT_EQ(counts.admit("127.0.0.5", Place::Token), ConnectionCounts::Admit::Full);
    EXPECT_EQ(counts.total(), 5u);
    counts.release("127.0.0.2", Place::Ordinary);
    EXPECT_EQ(counts.admit("127.0.0.4", Place::Ordinary), ConnectionCounts::Admit::Yes);
    counts.release("127.0.0.1", Place::Loopback);
    EXPECT_EQ(counts.admit("::1", Place::Loopback), ConnectionCounts::Admit::Yes);
    EXPECT_EQ(counts.total(), 5u);
    for (const char* own : {"127.0.0.1", "::1", "::ffff:127.0.0.1"}) EXPECT_TRUE(is_own_loopback(own));
    for (const char* other : {"127.0.0.2", "10.0.0.1", "::2"}) EXPECT_FALSE(is_own_loopback(other));

    RefusalLimiter limit(kRefusalsPerMinute, 2);
    double t = 100;
    for (unsigned i = 0; i < kRefusalsPerMinute; ++i) {
        ASSERT_TRUE(limit.allowed("a", t)) << i;
        limit.refused("a", t);
    }
    EXPECT_FALSE(limit.allowed("a", t));
    EXPECT_TRUE(limit.allowed("b", t)) << "another address has its own allowance";
    // The first 429 is written, the next ones are held for the summary.
    EXPECT_TRUE(limit.limited("a", t).has_value());
    EXPECT_FALSE(limit.limited("a", t + 1).has_value());
    // A third address pushes out the fullest bucket ("b"), not "a".
    EXPECT_TRUE(limit.allowed("c", t + 2));
    EXPECT_FALSE(limit.allowed("a", t + 2));
    EXPECT_TRUE(limit.allowed("a", t + 6.1)) << "one refusal back every 6 s";
    EXPECT_EQ(limit.limited("a", t + 61).value_or(0), 1u) << "the summary counts the held 429";
}

TEST(HttpSecurityHeaders, PolicyHashesThePagesOwnScriptAndStyle) {
    // Hashes from `printf 'go()' | openssl dgst -sha256 -binary | base64`.
    const std::string page =
        "<style>b{}</style><script id=\"state\" type=\"application/json\">{}</script>"
        "<script>go()</script>";
    const std::string csp = content_security_policy(page);
    EXPECT_NE(csp.find("script-src 'sha256-5KYv+PUboo5h+0+YAtGRPbwv5d/QxzHslP4YGnUaxRw=';"),
              std::string::npos)
        << csp;
    EXPECT_NE(csp.find("style-src 'sha256-7yqHVAesot11p6HczDsgKRipvI5UPgs97z80zNXlans=';"),
              std::string::npos)
        << csp;
    EXPECT_NE(csp.find("connect-src 'self'"), std::string::npos);
    EXPECT_NE(csp.find("frame-ancestors 'none'"), std::string::npos);
    EXPECT_EQ(csp.find("unsafe"), std::string::npos);
    // The compiled-in page: one script and one style.
    const std::string& live = security_headers().front().second;
    EXPECT_EQ(security_headers().front().first, "Content-Security-Policy");
    size_t hashes = 0;
    for (size_t at = 0; (at = live.find("'sha256-", at)) != std::string::npos; ++at) ++hashes;
    EXPECT_EQ(hashes, 2u) << live;
}

// docs/http.md lists the limits from the table the transport enforces;
// SMD_WRITE_HTTP_DOC=1 writes it there.
TEST(HttpLimitsDoc, TheDocsListTheLimitsOfTheCode) {
    std::string table = "| Limit | Value | Beyond it | Option |\n|---|---|---|---|\n";
    for (const HttpLimit& l : kHttpLimits)
        table += std::string("| ") + l.what + " | " + std::to_string(l.value) + " " + l.unit +
                 " | " + l.beyond + " | " + (*l.option ? "`" + std::string(l.option) + " N`" : "") +
                 " |\n";
    testsupport::expect_doc_section(std::string(SOURCE_DIR) + "/docs/http.md", "<!-- generated http limits: begin -->\n",
                                    "<!-- generated http limits: end -->", table,
                                    "SMD_WRITE_HTTP_DOC");
}

TEST(SqliteFilePreparation, RefusesALinkInItsPlaceButFollowsFolderLinks) {
    testsupport::TempDir dir;
    namespace fs = std::filesystem;
    std::string error;
    const std::string fresh = (dir.path() / "new.db").string();
    ASSERT_TRUE(smdgw::prepare_database_file(fresh, error)) << error;
    struct stat st {};
    ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777 & ~0640u, 0u);

    const std::string victim = dir.write_s("victim", "keep me");
    ::chmod(victim.c_str(), 0644);
    const std::string link = (dir.path() / "link.db").string();
    fs::create_symlink(victim, link);
    EXPECT_FALSE(smdgw::prepare_database_file(link, error));
    EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
    ASSERT_EQ(::stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u) << "the target is left alone";

    // An existing file loses what is beyond 0640; a link in a folder above is followed.
    fs::create_directory(dir.path() / "state");
    fs::create_directory_symlink(dir.path() / "state", dir.path() / "state-link");
    const std::string loose = dir.write_s("state/loose.db", "");
    ::chmod(loose.c_str(), 0666);
    ASSERT_TRUE(smdgw::prepare_database_file((dir.path() / "state-link/loose.db").string(), error))
        << error;
    ASSERT_EQ(::stat(loose.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    fs::create_directory(dir.path() / "folder.db");
    EXPECT_FALSE(smdgw::prepare_database_file((dir.path() / "folder.db").string(), error));
    if (::geteuid() == 0) {
        const std::string foreign = dir.write_s("foreign.db", "");
        ASSERT_EQ(::chown(foreign.c_str(), 4242, 4242), 0);
        EXPECT_FALSE(smdgw::prepare_database_file(foreign, error));
        EXPECT_NE(error.find("belongs to user 4242"), std::string::npos) << error;
    }
}

}  // namespace
