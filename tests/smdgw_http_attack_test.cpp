// smdgw --http against a hostile client, on loopback only, while the gateway
// follows a live simulated plant over pseudo-terminals: as many connections
// as the limits allow, each holding a maximal header block or a body at its
// limit; a chunked body past the limit; slow connections from other loopback
// addresses (127.0.0.2 and up, so that the per-address limit is the one
// reached) while 127.0.0.1 asks /healthz. Rounds must keep coming through
// every attack. Then the Host check, UTF-8 names, the rate limit of refused
// control attempts, the headers, an exclusive listener, a history file that
// is a link, and TLS with certificates made by openssl. Every loop is
// bounded in count and time.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/pty_bridge.h"
#include "tests/support/run_process.h"
#include "tests/support/sql_text.h"
#include "tests/support/synthetic_record.h"
#include "tests/support/temp_dir.h"
#include "tools/smdgw/history/history_store.h"
#include "tools/smdgw/http/http_limits.h"

namespace {

using testsupport::Child;
using testsupport::PtyBridge;
using testsupport::read_text;
using testsupport::run_process;
using testsupport::TempDir;
using Clock = std::chrono::steady_clock;
namespace limits = smdgw::http;

// Under a sanitizer the gateway's memory says nothing of the build users run
// (g++ says so with __SANITIZE_*__, clang++ with __has_feature).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SMD_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SMD_TEST_SANITIZED 1
#endif
#endif
#ifdef SMD_TEST_SANITIZED
constexpr long kRssBoundKib = 1L << 40;
#else
constexpr long kRssBoundKib = 10 * 1024;
#endif

const char* const kConfig = R"({"devices":[{"name":"plant1","data_id":418,"address":1}]})";
const char* const kSecret = "correct-horse-battery-staple-42";

double since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

bool wait_until(const std::function<bool()>& ok, double seconds) {
    const auto start = Clock::now();
    while (since(start) < seconds) {
        if (ok()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return ok();
}

// A raw connection from a loopback address of the test's choice.
class Raw {
   public:
    Raw(const std::string& from, int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, from.c_str(), &a.sin_addr);
        bool ok = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        a.sin_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        ok = ok && ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        if (!ok) close();
    }
    ~Raw() { close(); }
    Raw(const Raw&) = delete;
    Raw& operator=(const Raw&) = delete;
    bool ok() const { return fd_ >= 0; }
    bool send(const std::string& text) {
        size_t done = 0;
        while (ok() && done < text.size()) {
            const ssize_t n = ::send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return ok();
    }
    // What arrives within seconds: stops at the end of one whole answer
    // (by its Content-Length) or when the server closes.
    std::string answer(double seconds) {
        return read(seconds, [](const std::string& got) {
            const size_t end = got.find("\r\n\r\n");
            const size_t len = got.find("Content-Length: ");
            return end != std::string::npos && len != std::string::npos && len < end &&
                   got.size() >= end + 4 + std::stoul(got.substr(len + 16));
        });
    }
    // What arrives until marker is in it, the server closes, or seconds pass.
    std::string until(const std::string& marker, double seconds) {
        return read(seconds, [&](const std::string& got) {
            return got.find(marker) != std::string::npos;
        });
    }
    // Whether the server closes the connection within seconds.
    bool closed_by_server(double seconds) {
        read(seconds, [](const std::string&) { return false; });
        return closed_;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

   private:
    // What arrives until done says so, the server closes, or seconds pass.
    std::string read(double seconds, const std::function<bool(const std::string&)>& done) {
        std::string got;
        const auto start = Clock::now();
        while (ok() && !closed_ && since(start) < seconds) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            char buf[4096];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) {
                closed_ = true;
                break;
            }
            got.append(buf, static_cast<size_t>(n));
            if (done(got)) break;
        }
        return got;
    }

    int fd_ = -1;
    bool closed_ = false;  // the server closed its end
};

int status_of(const std::string& answer) {
    return answer.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(answer.c_str() + 9) : 0;
}

std::string get(const std::string& path, const std::string& host) {
    return "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
}

// smdgw_http_refused_total{reason="..."} in a /metrics text; -1 if missing.
long refused_count(const std::string& metrics, const std::string& reason) {
    const std::string key = "smdgw_http_refused_total{reason=\"" + reason + "\"} ";
    const size_t at = metrics.find(key);
    return at == std::string::npos ? -1 : std::atol(metrics.c_str() + at + key.size());
}

// smdgw with --http on a free port, following one end of a pseudo-terminal pair.
struct Gateway {
    TempDir dir;
    PtyBridge line;
    std::unique_ptr<Child> child;
    std::unique_ptr<Child> plant;
    int port = 0;

    explicit Gateway(std::vector<std::string> extra = {}, const std::string& scheme = "http") {
        std::vector<std::string> argv = {SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config",
                                         dir.write_s("gw.json", kConfig), "--log",
                                         (dir.path() / "driver.log").string(), "--port",
                                         line.end_b(), "--http", "127.0.0.1:0", "--time-scale",
                                         "10"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        child = std::make_unique<Child>(argv, out(), err());
        const std::string url = "serving " + scheme + "://127.0.0.1:";
        if (!wait_until(
                [&] {
                    const std::string e = read_text(err());
                    const size_t at = e.find(url);
                    if (at != std::string::npos) port = std::atoi(e.c_str() + at + url.size());
                    return port > 0;
                },
                20))
            ADD_FAILURE() << "no URL on stderr: " << read_text(err());
    }
    ~Gateway() {
        if (plant) plant->signal(SIGTERM);
        child->signal(SIGTERM);
        child->wait(30);
    }
    std::string out() const { return (dir.path() / "out.txt").string(); }
    std::string err() const { return (dir.path() / "err.txt").string(); }
    std::string sent() const { return (dir.path() / "sent.json").string(); }

    // A plant that runs until the test ends, ten times faster than the wire.
    void start_plant() {
        plant = std::make_unique<Child>(
            std::vector<std::string>{POWERSIM_PATH, "--port", line.end_a(), "--realtime",
                                     "--time-scale", "10", "--interval", "0", "--rounds", "0",
                                     "--json", sent()},
            (dir.path() / "sim.out").string(), (dir.path() / "sim.err").string());
    }
    // Rounds the plant finished sending, and rounds the gateway published.
    size_t rounds_sent() const {
        const std::string s = read_text(sent());
        return static_cast<size_t>(std::count(s.begin(), s.end(), '\n'));
    }
    size_t rounds_published() const {
        const std::string o = read_text(out());
        size_t n = 0;
        for (size_t at = 0; (at = o.find("\"event\":\"record\"", at)) != std::string::npos; ++at)
            ++n;
        return n;
    }
    // Every round sent so far is published within a second: the line was
    // followed on time whatever the HTTP side went through.
    bool line_on_time(const char* during) const {
        const size_t sent_now = rounds_sent();
        const bool ok = wait_until([&] { return rounds_published() >= sent_now; }, 1.0);
        EXPECT_TRUE(ok) << during << ": " << rounds_published() << " rounds published of "
                        << sent_now << " sent";
        return ok;
    }
    long rss_kib() const {
        std::ifstream in("/proc/" + std::to_string(child->pid()) + "/status");
        std::string key;
        long value = 0;
        while (in >> key) {
            if (key == "VmRSS:") {
                in >> value;
                return value;
            }
            in.ignore(1 << 20, '\n');
        }
        return 0;
    }
    httplib::Client client() const {
        httplib::Client c("127.0.0.1", port);
        c.set_read_timeout(10, 0);
        return c;
    }
};

// 127.0.0.2, 127.0.0.3, ...: n addresses' worth of the per-client limit.
std::string client_address(size_t i) { return "127.0.0." + std::to_string(2 + i); }

// Every connection the limits allow, each sent `text` (a request that never
// ends), then the server's growth in resident memory.
long hold_everything(Gateway& gw, const std::string& text, std::vector<std::unique_ptr<Raw>>& held) {
    const long before = gw.rss_kib();
    for (size_t i = 0; i < limits::kDefaultMaxConnections; ++i) {
        held.push_back(std::make_unique<Raw>(
            client_address(i / limits::kDefaultMaxPerClient), gw.port));
        EXPECT_TRUE(held.back()->send(text)) << "connection " << i;
    }
    // The server has read what it will read of them.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return gw.rss_kib() - before;
}

TEST(HttpAttack, LimitsHoldWhileTheLineIsFollowed) {
    Gateway gw;
    ASSERT_GT(gw.port, 0);
    gw.start_plant();
    ASSERT_TRUE(wait_until([&] { return gw.rounds_published() >= 2; }, 20)) << read_text(gw.err());

    // Maximal header blocks on every connection allowed; one more is refused.
    std::vector<std::unique_ptr<Raw>> held;
    std::string header = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    while (header.size() + 100 < limits::kMaxHeaderBytes)
        header += "X-Pad-" + std::to_string(header.size()) + ": " + std::string(90, 'h') + "\r\n";
    const long header_growth = hold_everything(gw, header, held);
    EXPECT_LT(header_growth, kRssBoundKib) << "KiB for " << held.size() << " maximal headers";
    std::printf("resident memory grew %ld KiB for %zu maximal header blocks\n", header_growth,
                held.size());
    // One more gets a place held for token holders, and 503 without one.
    Raw beyond("127.0.0.200", gw.port);
    beyond.send(get("/api/v1/devices", "127.0.0.1"));
    const std::string refused = beyond.answer(2);
    EXPECT_EQ(status_of(refused), 503) << refused;
    EXPECT_NE(refused.find("too many connections"), std::string::npos);
    gw.line_on_time("maximal headers");
    held.clear();

    // Bodies at their limit on every connection allowed.
    const std::string body_head = "POST /api/v1/devices/plant1/control HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                  "Content-Length: " +
                                  std::to_string(limits::kMaxBodyBytes) + "\r\n\r\n";
    // The closed connections were given back.
    ASSERT_TRUE(wait_until(
        [&] {
            Raw c("127.0.0.1", gw.port);
            c.send(get("/api/v1/devices", "127.0.0.1"));
            return status_of(c.answer(1)) == 200;
        },
        5));
    const long body_growth =
        hold_everything(gw, body_head + std::string(limits::kMaxBodyBytes - 1, '{'), held);
    EXPECT_LT(body_growth, kRssBoundKib) << "KiB for " << held.size() << " bodies at the limit";
    std::printf("resident memory grew %ld KiB for %zu bodies at the limit\n", body_growth,
                held.size());
    gw.line_on_time("bodies at the limit");
    held.clear();

    // 200 slow connections from other addresses: 127.0.0.1 is still served
    // at once; the per-address limit refuses the 17th of one address.
    const auto slow_start = Clock::now();
    for (size_t i = 0; i < 200; ++i) {
        held.push_back(std::make_unique<Raw>(client_address(i / limits::kDefaultMaxPerClient),
                                             gw.port));
        held.back()->send("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ");
    }
    Raw greedy(client_address(0), gw.port);
    const std::string too_many = greedy.answer(2);
    EXPECT_EQ(status_of(too_many), 503) << too_many;
    EXPECT_NE(too_many.find("from 127.0.0.2"), std::string::npos) << too_many;
    const auto asked = Clock::now();
    auto health = gw.client().Get("/healthz");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 200) << health->body;
    EXPECT_LT(since(asked), 1.0) << "s for /healthz beside 200 slow connections";
    std::printf("/healthz beside 200 slow connections: %.3f s\n", since(asked));
    EXPECT_LT(since(slow_start), limits::kRequestDeadlineS) << "the slow ones were still held";
    gw.line_on_time("slow connections");
    held.clear();

    // A chunked body is refused as soon as its chunks pass the limit.
    Raw chunked("127.0.0.1", gw.port);
    ASSERT_TRUE(chunked.send(
        "POST /api/v1/devices/plant1/control HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Transfer-Encoding: chunked\r\n\r\n"));
    const std::string piece = "1000\r\n" + std::string(4096, 'c') + "\r\n";
    size_t body_sent = 0;
    std::string answer;
    for (int i = 0; i < 64 && answer.empty(); ++i) {
        if (!chunked.send(piece)) break;
        body_sent += 4096;
        answer = chunked.answer(body_sent > limits::kMaxBodyBytes ? 1.0 : 0.02);
    }
    EXPECT_EQ(status_of(answer), 413) << answer;
    EXPECT_LE(body_sent, limits::kMaxBodyBytes + 4096) << "bytes sent before the 413";
    gw.line_on_time("a chunked body");

    // Each refusal is counted by its reason.
    auto metrics = gw.client().Get("/metrics");
    ASSERT_TRUE(metrics);
    for (const char* reason : {"body_too_large", "too_many_connections", "too_many_from_client"})
        EXPECT_GE(refused_count(metrics->body, reason), 1) << reason << "\n" << metrics->body;
}

TEST(HttpAttack, HostNamesUtf8RateLimitAndHeaders) {
    TempDir keys;
    const std::string token = keys.write_s("control.token", std::string(kSecret) + "\n");
    ::chmod(token.c_str(), 0600);
    Gateway gw({"--http-control-token", token, "--http-host", "gw1.site.test"});
    ASSERT_GT(gw.port, 0);
    const auto ask = [&](const std::string& from, const std::string& request) {
        Raw c(from, gw.port);
        c.send(request);
        return c.answer(5);
    };

    // DNS rebinding: only addresses, localhost and the names given.
    for (const char* host : {"127.0.0.1", "localhost:80", "[::1]:9418", "GW1.site.test"})
        EXPECT_EQ(status_of(ask("127.0.0.1", get("/api/v1/devices", host))), 200) << host;
    const std::string rebound = ask("127.0.0.1", get("/api/v1/devices", "rebind.example:9418"));
    EXPECT_EQ(status_of(rebound), 421) << rebound;
    EXPECT_EQ(rebound.find("plant1"), std::string::npos);

    // Names must be UTF-8, and are quoted in the log whatever they hold.
    EXPECT_EQ(status_of(ask("127.0.0.1", get("/api/v1/devices/%ff%fe", "127.0.0.1"))), 400);
    EXPECT_EQ(status_of(ask("127.0.0.1", get("/api/v1/devices/plant1/values/%c0%af", "127.0.0.1"))),
              400);
    EXPECT_EQ(status_of(ask("127.0.0.1", get("/api/v1/devices/a%E2%80%A8b", "127.0.0.1"))), 404);
    const std::string forged =
        "POST /api/v1/devices/x%22%20code%20320:%20accepted%E2%80%A8/control HTTP/1.1\r\n"
        "Host: 127.0.0.1\r\nContent-Length: 2\r\n\r\n{}";
    EXPECT_EQ(status_of(ask("127.0.0.1", forged)), 401);
    ASSERT_TRUE(wait_until(
        [&] { return read_text(gw.err()).find("refused (no bearer token)") != std::string::npos; },
        5));
    std::string err = read_text(gw.err());
    EXPECT_NE(err.find(R"(for device "x\" code 320: accepted\u2028" code -: refused)"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("\xe2\x80\xa8"), std::string::npos) << "no raw line separator in the log";

    // Refused control attempts: 10 a minute from one address, then 429,
    // summarised in the log; other addresses are judged as before.
    const std::string wrong =
        "POST /api/v1/devices/plant1/control HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Authorization: Bearer not-the-secret\r\nContent-Length: 2\r\n\r\n{}";
    for (unsigned i = 1; i < limits::kRefusalsPerMinute; ++i)
        EXPECT_EQ(status_of(ask("127.0.0.3", wrong)), 401) << i;
    for (int i = 0; i < 20; ++i) {
        const std::string limited = ask("127.0.0.3", wrong);
        if (i == 0) {
            EXPECT_EQ(status_of(limited), 401) << "the tenth";
            continue;
        }
        EXPECT_EQ(status_of(limited), 429) << limited;
    }
    ASSERT_TRUE(wait_until(
        [&] { return read_text(gw.err()).find("too many refused attempts") != std::string::npos; },
        5));
    err = read_text(gw.err());
    size_t summaries = 0, refusals = 0;
    for (size_t at = 0; (at = err.find("too many refused attempts", at)) != std::string::npos; ++at)
        ++summaries;
    for (size_t at = 0; (at = err.find("from 127.0.0.3:", at)) != std::string::npos; ++at)
        ++refusals;
    EXPECT_EQ(summaries, 1u) << err;
    EXPECT_EQ(refusals, limits::kRefusalsPerMinute + 1) << "ten refusals and one summary\n" << err;
    // The token is judged whatever the address did before.
    const std::string right = "POST /api/v1/devices/plant1/control HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                              "Authorization: Bearer " +
                              std::string(kSecret) + "\r\nContent-Length: 2\r\n\r\n{}";
    EXPECT_EQ(status_of(ask("127.0.0.3", right)), 400) << "the token holder: judged, bad body";

    // Headers on the page and the API.
    auto cli = gw.client();
    auto page = cli.Get("/");
    ASSERT_TRUE(page);
    const std::string csp = page->get_header_value("Content-Security-Policy");
    EXPECT_NE(csp.find("script-src 'sha256-"), std::string::npos) << csp;
    EXPECT_NE(csp.find("style-src 'sha256-"), std::string::npos) << csp;
    EXPECT_NE(csp.find("connect-src 'self'"), std::string::npos) << csp;
    EXPECT_NE(csp.find("frame-ancestors 'none'"), std::string::npos) << csp;
    EXPECT_EQ(csp.find("unsafe-inline"), std::string::npos) << csp;
    EXPECT_EQ(page->get_header_value("X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(page->get_header_value("Referrer-Policy"), "no-referrer");
    auto api = cli.Get("/api/v1/devices");
    ASSERT_TRUE(api);
    EXPECT_EQ(api->get_header_value("Cache-Control"), "no-store");
    EXPECT_EQ(api->get_header_value("X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(api->get_header_value("Content-Security-Policy"), csp);

    auto metrics = cli.Get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_EQ(refused_count(metrics->body, "host_not_allowed"), 1);
    EXPECT_EQ(refused_count(metrics->body, "control_rate_limited"), 19) << "none for the token";
    EXPECT_EQ(refused_count(metrics->body, "malformed"), 0) << "the router's 400s are answers";
}

// Behind one NAT address, a client without the token floods the control
// endpoint while a token holder controls and acknowledges: the flood gets
// 429, the holder never; the holder's own mistakes (bad bodies, an alarm
// that is not raised) are answered and never counted against the address.
TEST(HttpAttack, ATokenHolderIsNeverThrottledForAnotherClientsRefusals) {
    TempDir keys;
    const std::string token = keys.write_s("control.token", std::string(kSecret) + "\n");
    ::chmod(token.c_str(), 0600);
    Gateway gw({"--http-control-token", token});
    ASSERT_GT(gw.port, 0);
    const auto ask = [&](const std::string& from, const std::string& request) {
        Raw c(from, gw.port);
        c.send(request);
        return status_of(c.answer(5));
    };
    const auto post = [](const std::string& path, const std::string& auth,
                         const std::string& body) {
        return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + auth +
               "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    const std::string bearer = "Authorization: Bearer " + std::string(kSecret) + "\r\n";
    const std::string control = "/api/v1/devices/plant1/control";
    const std::string ack = "/api/v1/devices/plant1/alarms/plant1.x.y.1/ack";

    std::atomic<bool> stop{false};
    std::atomic<int> flooded{0}, limited{0};
    std::thread flooder([&] {
        for (int i = 0; i < 5000 && !stop; ++i) {
            const int status = ask("127.0.0.5", post(control, "", R"({"code":320,"text":"1"})"));
            ++flooded;
            if (status == 429) ++limited;
        }
    });
    // The address has spent its allowance: from now on the flood gets 429.
    ASSERT_TRUE(wait_until([&] { return limited > 0; }, 20));
    std::map<int, int> holder;
    for (int i = 0; i < 30; ++i) {
        const std::string request = i % 3 == 0   ? post(ack, bearer, R"({"by":"ana"})")
                                    : i % 3 == 1 ? post(control, bearer, "{}")
                                                 : post(ack, bearer, R"({"who":"ana"})");
        ++holder[ask("127.0.0.5", request)];
    }
    stop = true;
    flooder.join();
    EXPECT_EQ(holder[429], 0);
    EXPECT_EQ(holder[404], 10) << "an alarm that is not raised, from the line";
    EXPECT_EQ(holder[400], 20) << "bad bodies";
    EXPECT_GT(limited, 0);
    std::printf("flood: %d requests, %d answered 429; token holder beside it: %d requests, "
                "%d answered 429\n",
                flooded.load(), limited.load(), 30, holder[429]);

    // Thirty mistakes of a holder leave the allowance of its address whole.
    for (int i = 0; i < 30; ++i) EXPECT_EQ(ask("127.0.0.6", post(control, bearer, "{}")), 400);
    EXPECT_EQ(ask("127.0.0.6", post(control, "", "{}")), 401) << "judged, not limited";
}

// A gauge of smdgw_http_queries{state="..."} in a /metrics text; -1 if missing.
long queries_now(const std::string& metrics, const std::string& state) {
    const std::string key = "smdgw_http_queries{state=\"" + state + "\"} ";
    const size_t at = metrics.find(key);
    return at == std::string::npos ? -1 : std::atol(metrics.c_str() + at + key.size());
}

// Clients loop full-range history queries over a long history, more of
// them than there are query workers: /metrics, /healthz and the page are
// answered beside them, on workers of their own. The proof is a /metrics
// answer rendered while every query worker was busy and queries waited
// (on shared workers it could never say so); the times are printed.
TEST(HttpAttack, CheapRoutesNeverWaitBehindHistoryQueries) {
    TempDir store;
    const std::string db = (store.path() / "history.db").string();
    constexpr int64_t kRounds = 30000;
    const int64_t start = static_cast<int64_t>(std::time(nullptr)) - 2 * kRounds - 600;
    {
        smdgw::HistoryStore h = smdgw::HistoryStore::open_for_writing(db);
        std::vector<smdgw::StoredRecord> first = {testsupport::stored_record("plant1", start, 1)};
        h.insert(first);
    }
    // The rest copied by SQLite itself: a long history made in a moment.
    testsupport::sql_text(
        db, "WITH RECURSIVE n(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM n WHERE k < " +
                std::to_string(kRounds - 1) +
                ") INSERT INTO history (device, data_id, time, record, complete, ac_fresh, "
                "rectifiers_fresh, dc_fresh) SELECT device, data_id, time + 2 * k, record, "
                "complete, ac_fresh, rectifiers_fresh, dc_fresh FROM history, n");
    ASSERT_EQ(testsupport::sql_text(db, "SELECT count(*) FROM history"), std::to_string(kRounds));

    Gateway gw({"--history", db});
    ASSERT_GT(gw.port, 0);
    gw.start_plant();
    ASSERT_TRUE(wait_until([&] { return gw.rounds_published() >= 2; }, 20)) << read_text(gw.err());

    constexpr int kClients = 12;
    std::atomic<bool> stop{false};
    std::array<std::atomic<int>, 600> statuses{};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i)
        clients.emplace_back([&] {
            auto cli = gw.client();
            for (int k = 0; k < 2000 && !stop; ++k) {
                auto r = cli.Get("/api/v1/devices/plant1/history?since=0&fields=dc.v,dc.i,out_v");
                ++statuses[r ? std::min(r->status, 599) : 0];
            }
        });
    // Every query worker busy and queries waiting, said by an answer of
    // /metrics given meanwhile.
    std::string busy;
    const bool full = wait_until(
        [&] {
            auto m = gw.client().Get("/metrics");
            if (!m || m->status != 200) return false;
            busy = m->body;
            return queries_now(busy, "running") == static_cast<long>(limits::kQueriesAtOnce) &&
                   queries_now(busy, "waiting") >= 1;
        },
        30);
    EXPECT_TRUE(full) << "running " << queries_now(busy, "running") << ", waiting "
                      << queries_now(busy, "waiting");
    std::vector<double> healthz;
    for (int i = 0; i < 50; ++i) {
        const auto asked = Clock::now();
        auto h = gw.client().Get("/healthz");
        ASSERT_TRUE(h) << "probe " << i;
        EXPECT_EQ(h->status, 200) << h->body;
        healthz.push_back(since(asked));
    }
    auto page = gw.client().Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    gw.line_on_time("history queries");
    stop = true;
    for (auto& c : clients) c.join();
    auto after = gw.client().Get("/metrics");
    ASSERT_TRUE(after);
    EXPECT_GT(statuses[200].load(), 0);
    EXPECT_EQ(statuses[0].load(), 0) << "a query client lost its connection";
    std::sort(healthz.begin(), healthz.end());
    std::printf("%d clients looping history queries over %lld rounds: %d answered 200, %d 503 "
                "(%ld beyond those waiting, %ld at their deadline); "
                "/healthz p50 %.1f ms, p99 %.1f ms, max %.1f ms\n",
                kClients, static_cast<long long>(kRounds), statuses[200].load(),
                statuses[503].load(), refused_count(after->body, "too_many_queries"),
                refused_count(after->body, "query_deadline"), 1000 * healthz[healthz.size() / 2],
                1000 * healthz[healthz.size() * 99 / 100], 1000 * healthz.back());
}

// Polite clients that asked once and keep their connections fill the
// table: a newcomer closes the oldest of them. Slow ones that never finish
// their header fill it: /healthz from 127.0.0.1 and a request with the
// token from another address are still answered, in the places held for
// them, every time; a request without the token there gets 503.
TEST(HttpAttack, AFullTableStillServesHealthChecksAndTokenHolders) {
    TempDir keys;
    const std::string token = keys.write_s("control.token", std::string(kSecret) + "\n");
    ::chmod(token.c_str(), 0600);
    constexpr size_t kTable = 32;
    Gateway gw({"--http-control-token", token, "--http-max-connections", std::to_string(kTable),
                "--http-max-per-client", std::to_string(kTable)});
    ASSERT_GT(gw.port, 0);
    gw.start_plant();
    ASSERT_TRUE(wait_until([&] { return gw.rounds_published() >= 2; }, 20)) << read_text(gw.err());
    const std::string with_token =
        "GET /api/v1/devices HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
        std::string(kSecret) + "\r\n\r\n";
    std::vector<double> waits;
    const auto ask = [&](const std::string& from, const std::string& request) {
        const auto asked = Clock::now();
        Raw c(from, gw.port);
        c.send(request);
        const std::string answer = c.answer(5);
        waits.push_back(since(asked));
        return answer;
    };

    // Polite: every place taken by a connection that asked once and waits.
    std::vector<std::unique_ptr<Raw>> held;
    for (size_t i = 0; i < kTable; ++i) {
        held.push_back(std::make_unique<Raw>("127.0.0.2", gw.port));
        held.back()->send(get("/api/v1/devices", "127.0.0.1"));
        ASSERT_EQ(status_of(held.back()->answer(5)), 200) << i;
    }
    EXPECT_EQ(status_of(ask("127.0.0.3", get("/api/v1/devices", "127.0.0.1"))), 200);
    EXPECT_TRUE(held[0]->closed_by_server(2)) << "the oldest idle connection made room";
    EXPECT_FALSE(held[1]->closed_by_server(0.2)) << "and only that one";
    EXPECT_EQ(status_of(ask("127.0.0.1", get("/healthz", "127.0.0.1"))), 200);
    EXPECT_EQ(status_of(ask("127.0.0.4", with_token)), 200);
    held.clear();

    // Slow: every place taken by a header that never ends.
    ASSERT_TRUE(wait_until(
        [&] { return status_of(ask("127.0.0.3", get("/api/v1/devices", "127.0.0.1"))) == 200; },
        5));
    for (size_t i = 0; i < kTable; ++i) {
        held.push_back(std::make_unique<Raw>("127.0.0.2", gw.port));
        held.back()->send("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ");
    }
    waits.clear();
    for (int probe = 0; probe < 10; ++probe) {
        const std::string health = ask("127.0.0.1", get("/healthz", "127.0.0.1"));
        EXPECT_EQ(status_of(health), 200) << probe << ": " << health;
        const std::string holder = ask("127.0.0.4", with_token);
        EXPECT_EQ(status_of(holder), 200) << probe << ": " << holder;
        const std::string other = ask("127.0.0.5", get("/api/v1/devices", "127.0.0.1"));
        EXPECT_EQ(status_of(other), 503) << probe << ": " << other;
        EXPECT_NE(other.find("held for requests with a token"), std::string::npos) << other;
    }
    // The token holders' places taken by slow headers too: the oldest that
    // has not shown a token makes room.
    for (size_t i = 0; i < limits::kHeldForToken; ++i) {
        held.push_back(std::make_unique<Raw>("127.0.0.6", gw.port));
        held.back()->send("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ");
    }
    EXPECT_EQ(status_of(ask("127.0.0.4", with_token)), 200);
    EXPECT_EQ(status_of(ask("127.0.0.1", get("/healthz", "127.0.0.1"))), 200);
    gw.line_on_time("a full table");
    auto metrics = gw.client().Get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_EQ(refused_count(metrics->body, "too_many_connections"), 10) << metrics->body;
    EXPECT_EQ(refused_count(metrics->body, "malformed"), 0) << "a full table is not a bad request";
    EXPECT_GE(refused_count(metrics->body, "closed_for_newcomer"), 2) << "an idle one, an unproven one";
    std::sort(waits.begin(), waits.end());
    std::printf("table of %zu full of slow headers: %zu probes, slowest answer %.1f ms\n", kTable,
                waits.size(), 1000 * waits.back());
}

// Event streams: two from one address, a third from it refused while
// another address is served; a stream ends after --http-stream-max-s with
// its last chunk, and its place is free again.
TEST(HttpAttack, EventStreamsArePerAddressAndEndInTime) {
    Gateway gw({"--http-stream-max-s", "2"});
    ASSERT_GT(gw.port, 0);
    const std::string events = get("/api/v1/events", "127.0.0.1");
    std::vector<std::unique_ptr<Raw>> streams;
    for (int i = 0; i < 2; ++i) {
        streams.push_back(std::make_unique<Raw>("127.0.0.2", gw.port));
        streams.back()->send(events);
        const std::string head = streams.back()->until("retry:", 5);
        ASSERT_EQ(status_of(head), 200) << head;
    }
    const auto opened = Clock::now();
    Raw third("127.0.0.2", gw.port);
    third.send(events);
    const std::string refused = third.answer(5);
    EXPECT_EQ(status_of(refused), 503) << refused;
    EXPECT_NE(refused.find("too many event streams from 127.0.0.2 (at most 2)"),
              std::string::npos)
        << refused;
    Raw other("127.0.0.3", gw.port);
    other.send(events);
    EXPECT_EQ(status_of(other.until("retry:", 5)), 200) << "another address has its own two";

    // Quiet streams end in time, each with its last chunk.
    for (auto& s : streams) {
        const std::string tail = s->until("0\r\n\r\n", 10);
        EXPECT_EQ(tail.size() >= 5 ? tail.substr(tail.size() - 5) : tail, "0\r\n\r\n") << tail;
        EXPECT_TRUE(s->closed_by_server(5));
    }
    const double lived = since(opened);
    EXPECT_GE(lived, 1.0) << "not before their time";
    std::printf("event streams ended after %.2f s (--http-stream-max-s 2)\n", lived);
    Raw again("127.0.0.2", gw.port);
    again.send(events);
    EXPECT_EQ(status_of(again.until("retry:", 5)), 200) << "their places are free";
}

TEST(HttpAttack, OneGatewayPerAddressAndNoDatabaseThroughALink) {
    Gateway first;
    ASSERT_GT(first.port, 0);
    TempDir dir;
    const std::string cfg = dir.write_s("gw.json", kConfig);
    const std::vector<std::string> base = {SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config",
                                           cfg,        "--port",   "/dev/null"};
    auto second = base;
    second.insert(second.end(), {"--http", "127.0.0.1:" + std::to_string(first.port)});
    const auto taken = run_process(second);
    EXPECT_EQ(taken.status, 1) << taken.err;
    EXPECT_NE(taken.err.find("in use"), std::string::npos) << taken.err;
    EXPECT_EQ(taken.err.find("serving http"), std::string::npos) << taken.err;

    // A link planted where the history goes: the gateway refuses it and the
    // file it points to is left as it was.
    const std::string victim = dir.write_s("victim.txt", "not a database\n");
    ::chmod(victim.c_str(), 0644);
    std::filesystem::create_symlink(victim, dir.path() / "history.db");
    auto linked = base;
    linked.insert(linked.end(), {"--history", (dir.path() / "history.db").string()});
    const auto refused = run_process(linked);
    EXPECT_NE(refused.status, 0);
    EXPECT_NE(refused.err.find("symbolic link"), std::string::npos) << refused.err;
    EXPECT_EQ(read_text(victim), "not a database\n");
    struct stat st {};
    ASSERT_EQ(::stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    // The token never crosses the network in clear text unless asked for.
    const std::string token = dir.write_s("control.token", std::string(kSecret) + "\n");
    ::chmod(token.c_str(), 0600);
    auto open = base;
    open.insert(open.end(), {"--http", "0.0.0.0:0", "--http-control-token", token});
    const auto cleartext = run_process(open);
    EXPECT_EQ(cleartext.status, 2) << cleartext.err;
    EXPECT_NE(cleartext.err.find("--http-allow-cleartext-token"), std::string::npos)
        << cleartext.err;
}

TEST(HttpAttack, TlsWithItsCertificateAndAWrongCaRefused) {
    TempDir pki;
    const auto openssl = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "/usr/bin/openssl");
        const auto r = run_process(args, pki.path().string());
        EXPECT_EQ(r.status, 0) << r.err;
    };
    for (const char* ca : {"ca", "other-ca"})
        openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                 "-nodes", "-days", "2", "-subj", std::string("/CN=") + ca, "-keyout",
                 std::string(ca) + ".key", "-out", std::string(ca) + ".pem"});
    openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-subj", "/CN=127.0.0.1", "-keyout", "server.key", "-out", "server.csr"});
    pki.write_s("san.ext", "subjectAltName=IP:127.0.0.1\n");
    openssl({"x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
             "-CAcreateserial", "-days", "2", "-extfile", "san.ext", "-out", "server.pem"});
    const std::string key = (pki.path() / "server.key").string();
    const std::string cert = (pki.path() / "server.pem").string();
    ::chmod(key.c_str(), 0600);

    Gateway gw({"--http-tls-cert", cert, "--http-tls-key", key}, "https");
    ASSERT_GT(gw.port, 0);
    httplib::SSLClient good("127.0.0.1", gw.port);
    good.set_ca_cert_path((pki.path() / "ca.pem").string());
    good.enable_server_certificate_verification(true);
    auto r = good.Get("/api/v1/devices");
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(r->status, 200);
    EXPECT_NE(r->body.find("plant1"), std::string::npos);
    EXPECT_EQ(r->get_header_value("X-Content-Type-Options"), "nosniff");

    httplib::SSLClient wrong_ca("127.0.0.1", gw.port);
    wrong_ca.set_ca_cert_path((pki.path() / "other-ca.pem").string());
    wrong_ca.enable_server_certificate_verification(true);
    auto refused = wrong_ca.Get("/api/v1/devices");
    EXPECT_FALSE(refused) << "a server the client's CA did not sign";
    EXPECT_EQ(refused.error(), httplib::Error::SSLServerVerification);

    // Plain HTTP on the TLS port gets no answer, and the server carries on.
    Raw plain("127.0.0.1", gw.port);
    plain.send(get("/api/v1/devices", "127.0.0.1"));
    EXPECT_EQ(plain.answer(2).find("plant1"), std::string::npos);
    EXPECT_TRUE(good.Get("/healthz"));

    // A key others may read is refused at start.
    ::chmod(key.c_str(), 0644);
    const auto loose = run_process({SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config",
                                    gw.dir.write_s("gw2.json", kConfig), "--port", "/dev/null",
                                    "--http", "127.0.0.1:0", "--http-tls-cert", cert,
                                    "--http-tls-key", key});
    EXPECT_EQ(loose.status, 2) << loose.err;
    EXPECT_NE(loose.err.find("chmod o-rwx,g-w"), std::string::npos) << loose.err;
}

}  // namespace
