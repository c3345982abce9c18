// The parts of smdgw's HTTP service that decide on their own: the router,
// the control body, the bearer token, the line queue, the event hub and the
// bounds of a query.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "tools/smdgw/http/control_body.h"
#include "tools/smdgw/core/control_token.h"
#include "tools/smdgw/http/event_hub.h"
#include "tests/support/synthetic_record.h"
#include "tests/support/temp_dir.h"
#include "tools/smdgw/history/history_store.h"
#include "tools/smdgw/http/history_query.h"
#include "tools/smdgw/http/history_resolution.h"
#include "tools/smdgw/http/http_counters.h"
#include "tools/smdgw/http/line_queue.h"
#include "tools/smdgw/http/router.h"

namespace {

using namespace smdgw::http;
using smdgw::bearer_token;
using smdgw::load_control_secret;
using smdgw::same_secret;

struct RouteCase {
    const char* method;
    const char* path;
    int status;  // 0: routed
    Endpoint endpoint;
    const char* device;
    const char* key;
    const char* allow;
};

TEST(HttpRouter, RoutesByMethodAndPath) {
    const RouteCase cases[] = {
        {"GET", "/", 0, Endpoint::Page, "", "", ""},
        {"HEAD", "/", 0, Endpoint::Page, "", "", ""},
        {"GET", "/metrics", 0, Endpoint::Metrics, "", "", ""},
        {"GET", "/healthz", 0, Endpoint::Healthz, "", "", ""},
        {"GET", "/api/v1/devices", 0, Endpoint::Devices, "", "", ""},
        {"GET", "/api/v1/alarms", 0, Endpoint::Alarms, "", "", ""},
        {"GET", "/api/v1/alarms/log", 0, Endpoint::AlarmLog, "", "", ""},
        {"GET", "/api/v1/events", 0, Endpoint::Events, "", "", ""},
        {"GET", "/api/v1/devices/plant1", 0, Endpoint::Device, "plant1", "", ""},
        {"GET", "/api/v1/devices/plant%201", 0, Endpoint::Device, "plant 1", "", ""},
        {"GET", "/api/v1/devices/p/values/out_v", 0, Endpoint::Value, "p", "out_v", ""},
        {"GET", "/api/v1/devices/p/history", 0, Endpoint::History, "p", "", ""},
        {"POST", "/api/v1/devices/p/control", 0, Endpoint::Control, "p", "", ""},
        // Known paths, other methods.
        {"POST", "/metrics", 405, Endpoint::Page, "", "", "GET, HEAD"},
        {"DELETE", "/api/v1/devices/p", 405, Endpoint::Page, "", "", "GET, HEAD"},
        {"GET", "/api/v1/devices/p/control", 405, Endpoint::Page, "", "", "POST"},
        {"PUT", "/api/v1/devices/p/control", 405, Endpoint::Page, "", "", "POST"},
        // Unknown paths.
        {"GET", "/metrics/", 404, Endpoint::Page, "", "", ""},
        {"GET", "/api/v2/devices", 404, Endpoint::Page, "", "", ""},
        {"GET", "/api/v1/devices/p/values", 404, Endpoint::Page, "", "", ""},
        {"GET", "/api/v1/devices/p/values/k/x", 404, Endpoint::Page, "", "", ""},
        {"GET", "/api/v1//values/k", 404, Endpoint::Page, "", "", ""},
        {"POST", "/nothing", 404, Endpoint::Page, "", "", ""},
        // Broken names.
        {"GET", "/api/v1/devices/%zz", 400, Endpoint::Page, "", "", ""},
        {"GET", "/api/v1/devices/a%00b", 400, Endpoint::Page, "", "", ""},
        {"GET", "/api/v1/devices/a%2Fb", 400, Endpoint::Page, "", "", ""},
        {"GET", "/api/v1/devices/a%4", 400, Endpoint::Page, "", "", ""},
        {"GET", "/api/v1/devices/p/values/%", 400, Endpoint::Page, "", "", ""},
        {"GET", "relative", 400, Endpoint::Page, "", "", ""},
        {"GET", "/api/v1/devices/a%1Fb", 400, Endpoint::Page, "", "", ""},
        {"GET", "/api/v1/devices/a b", 400, Endpoint::Page, "", "", ""},
    };
    for (const RouteCase& c : cases) {
        const Route r = route(c.method, c.path);
        SCOPED_TRACE(std::string(c.method) + " " + c.path);
        EXPECT_EQ(r.status, c.status) << r.error;
        if (c.status == 0) {
            EXPECT_EQ(r.endpoint, c.endpoint);
            EXPECT_EQ(r.device, c.device);
            EXPECT_EQ(r.key, c.key);
        } else {
            EXPECT_FALSE(r.error.empty());
        }
        EXPECT_EQ(r.allow, c.allow);
    }
    EXPECT_EQ(route("GET", "/" + std::string(3000, 'a')).status, 414);
    EXPECT_EQ(route("GET", std::string("/api/v1/devices/a\0b", 18)).status, 400);
    EXPECT_EQ(route("GET", "/api/v1/devices/" + std::string(300, 'a')).status, 404);
}

TEST(HttpControlBody, AcceptsTextOrHexAndNamesWhatIsWrong) {
    ControlBody b;
    std::string err;
    ASSERT_TRUE(parse_control_body(R"({"code":320,"text":"419500201003"})", b, err)) << err;
    EXPECT_EQ(b.code, 320);
    EXPECT_EQ(std::string(b.request.begin(), b.request.end()), "419500201003");
    ASSERT_TRUE(parse_control_body(R"({"hex":"0102030405060A","code":300})", b, err)) << err;
    EXPECT_EQ(b.code, 300);
    EXPECT_EQ(b.request, (std::vector<unsigned char>{1, 2, 3, 4, 5, 6, 10}));
    ASSERT_TRUE(parse_control_body(R"({"code":-1,"text":""})", b, err)) << err;
    EXPECT_TRUE(b.request.empty());

    const std::pair<const char*, const char*> refused[] = {
        {"", "not JSON"},
        {R"({"code":320,"text":"x")", "not JSON"},
        {R"({"code":320,"text":"x"} trailing)", "not JSON"},
        {R"([320,"x"])", "object"},
        {R"({"text":"x"})", "\"code\" is missing"},
        {R"({"code":"320","text":"x"})", "\"code\""},
        {R"({"code":3.5,"text":"x"})", "\"code\""},
        {R"({"code":4294967296,"text":"x"})", "\"code\""},
        {R"({"code":320})", "exactly one"},
        {R"({"code":320,"text":"x","hex":"01"})", "exactly one"},
        {R"({"code":320,"text":5})", "\"text\" must be a string"},
        {R"({"code":300,"hex":"123"})", "\"hex\""},
        {R"({"code":300,"hex":"zz"})", "\"hex\""},
        {R"({"code":320,"text":"x","force":true})", "unknown member \"force\""},
        {R"({"code":320,"code":321,"text":"x"})", "not JSON"},
        {"[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[{}]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]", "not JSON"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.first);
        err.clear();
        EXPECT_FALSE(parse_control_body(c.first, b, err));
        EXPECT_NE(err.find(c.second), std::string::npos) << err;
    }
    const std::string long_text = R"({"code":320,"text":")" + std::string(1025, 'a') + "\"}";
    EXPECT_FALSE(parse_control_body(long_text, b, err));
    EXPECT_NE(err.find("1024"), std::string::npos);
}

TEST(HttpControlToken, BearerHeaderAndComparison) {
    EXPECT_EQ(bearer_token("Bearer abc"), "abc");
    EXPECT_EQ(bearer_token("bearer  abc "), "abc");
    EXPECT_EQ(bearer_token("Basic abc"), "");
    EXPECT_EQ(bearer_token("Bearer"), "");
    EXPECT_EQ(bearer_token(""), "");
    EXPECT_TRUE(same_secret("0123456789abcdef", "0123456789abcdef"));
    EXPECT_FALSE(same_secret("0123456789abcdef", "0123456789abcdeF"));
    EXPECT_FALSE(same_secret("0123456789abcdef", "0123456789abcde"));
    EXPECT_FALSE(same_secret("", "x"));
    EXPECT_FALSE(same_secret("abc", std::string("abc\0", 4)));
}

TEST(HttpLineQueue, AJobTheLineNeverTookIsWithdrawnAndNeverRuns) {
    LineQueue q(2);
    auto job = q.submit("plant1", 320, {'x'});
    ASSERT_TRUE(job);
    ASSERT_TRUE(q.submit("plant1", 321, {}));
    EXPECT_FALSE(q.submit("plant1", 322, {})) << "the queue is bounded";
    Json::Value result;
    EXPECT_FALSE(q.wait(job, std::chrono::milliseconds(10), result));
    std::vector<int> ran;
    std::vector<std::string> written;
    q.note("", Json::Value("line"));
    q.drain(
        [&](const std::string&, int code, const std::vector<unsigned char>&) {
            ran.push_back(code);
            return Json::Value(code);
        },
        [&](const std::string&, Json::Value v) { written.push_back(v.asString()); });
    EXPECT_EQ(ran, std::vector<int>{321}) << "320 was withdrawn";
    EXPECT_EQ(written, std::vector<std::string>{"line"});
}

TEST(HttpLineQueue, TheHandlerGetsTheResultFromTheLineThread) {
    LineQueue q(4);
    auto job = q.submit("plant1", 320, {});
    std::atomic<bool> answered{false};
    std::thread line([&] {
        while (!answered) {
            q.drain(
                [](const std::string& d, int code, const std::vector<unsigned char>&) {
                    Json::Value v;
                    v["device"] = d;
                    v["code"] = code;
                    return v;
                },
                [](const std::string&, Json::Value) {});
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    Json::Value result;
    EXPECT_TRUE(q.wait(job, std::chrono::seconds(30), result));
    answered = true;
    line.join();
    EXPECT_EQ(result["code"].asInt(), 320);
    EXPECT_EQ(result["device"].asString(), "plant1");
}

TEST(HttpEventHub, StreamsAreCappedAndASlowOneIsDropped) {
    EventHub hub(2, 3);
    auto a = hub.open();
    auto b = hub.open();
    ASSERT_TRUE(a && b);
    EXPECT_FALSE(hub.open()) << "at most two streams";
    for (int i = 0; i < 3; ++i) hub.publish("record", "{\"n\":" + std::to_string(i) + "}");
    std::vector<std::string> got;
    ASSERT_EQ(hub.next(a, 0, got), EventHub::Wait::Events);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], "id: 1\nevent: record\ndata: {\"n\":0}\n\n");
    // b read nothing: the fourth event overflows its queue.
    hub.publish("alarm", "{}");
    EXPECT_EQ(hub.next(b, 0, got), EventHub::Wait::Dropped);
    EXPECT_EQ(hub.dropped(), 1u);
    ASSERT_EQ(hub.next(a, 0, got), EventHub::Wait::Events);
    EXPECT_EQ(got[0].substr(0, 6), "id: 4\n");
    EXPECT_EQ(hub.next(a, 0, got), EventHub::Wait::Idle);
    hub.close(b);
    EXPECT_TRUE(hub.open()) << "a closed stream frees its place";
    hub.shut();
    EXPECT_EQ(hub.next(a, 0, got), EventHub::Wait::Closed);
    EXPECT_EQ(sse_message(9, "x", "{\"a\":\"b\nc\"}"), "id: 9\nevent: x\ndata: {\"a\":\"bc\"}\n\n");
}

TEST(HttpHistoryQuery, TimesAndFields) {
    int64_t t = 0;
    ASSERT_TRUE(parse_api_time("1772355600", t));
    EXPECT_EQ(t, 1772355600);
    ASSERT_TRUE(parse_api_time("2026-03-01T09:00:00Z", t));
    EXPECT_EQ(t, 1772355600);
    ASSERT_TRUE(parse_api_time("2026-03-01T10:30:00+01:30", t));
    EXPECT_EQ(t, 1772355600);
    ASSERT_TRUE(parse_api_time("2026-03-01T05:00:00-04:00", t));
    EXPECT_EQ(t, 1772355600);
    EXPECT_FALSE(parse_api_time("2026-03-01T05:00:00+25:00", t));
    EXPECT_FALSE(parse_api_time("yesterday", t));
    EXPECT_FALSE(parse_api_time("", t));

    HistoryQuery q;
    std::string err;
    ASSERT_TRUE(parse_history_query("1772355600", "", "dc.v,dc.i", q, err)) << err;
    EXPECT_EQ(q.fields, (std::vector<std::string>{"dc.v", "dc.i"}));
    EXPECT_EQ(q.since, 1772355600);
    EXPECT_FALSE(q.until);
    HistoryQuery bad;
    EXPECT_FALSE(parse_history_query("", "", "dc.v,nope", bad, err));
    EXPECT_NE(err.find("\"nope\""), std::string::npos);
    EXPECT_FALSE(parse_history_query("", "", "", bad, err));
    EXPECT_FALSE(parse_history_query("soon", "", "dc.v", bad, err));
    EXPECT_NE(err.find("since"), std::string::npos);
}

// A query past its deadline stops reading: raw rounds, and the count that
// picks a resolution; with time left it is answered.
TEST(HttpHistoryQuery, AQueryPastItsDeadlineIsCancelled) {
    testsupport::TempDir dir;
    const std::string db = (dir.path() / "history.db").string();
    {
        smdgw::HistoryStore h = smdgw::HistoryStore::open_for_writing(db);
        std::vector<smdgw::StoredRecord> rounds;
        for (uint32_t k = 0; k < 3000; ++k)
            rounds.push_back(testsupport::stored_record("plant1", 1772355600 + k, k + 1));
        h.insert(rounds);
    }
    const auto past = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    const auto interrupted = [](const std::function<void()>& run) {
        try {
            run();
        } catch (const smdgw::HistoryError& e) {
            return (e.sqlite_code() & 0xff) == SQLITE_INTERRUPT;
        }
        return false;
    };
    for (const char* resolution : {"raw", "auto"}) {
        HistoryQuery q;
        q.device = "plant1";
        q.fields = {"dc.v"};
        q.resolution = resolution;
        EXPECT_FALSE(interrupted([&] { run_history_resolution(db, q); })) << resolution;
        q.deadline = past;
        EXPECT_TRUE(interrupted([&] { run_history_resolution(db, q); })) << resolution;
    }

    // Queries taken: at most so many, then none until one is done.
    QueryLoad load;
    EXPECT_TRUE(load.admit(2));
    EXPECT_TRUE(load.admit(2));
    EXPECT_FALSE(load.admit(2));
    load.run();
    EXPECT_EQ(load.running(), 1u);
    EXPECT_EQ(load.waiting(), 1u);
    load.done();
    EXPECT_TRUE(load.admit(2));
}

}  // namespace
