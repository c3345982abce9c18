// Alarm notifications end to end: smdgw follows a simulated plant on a
// pseudo-terminal and notifies a real mail server (Debian's python3-aiosmtpd)
// and the test's own webhook receiver, both on loopback.

#include <gtest/gtest.h>
#include <httplib.h>
#include <json/reader.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/free_port.h"
#include "tests/support/pty_bridge.h"
#include "tests/support/run_process.h"
#include "tests/support/smdgw_run.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::Child;
using testsupport::PtyBridge;
using testsupport::read_text;
using testsupport::run_process;
using testsupport::run_smdgw;
using testsupport::TempDir;

constexpr double kTimeout = 60.0;
const char* const kSecret = "webhook-secret-0123456789";

bool wait_until(const std::function<bool()>& ok, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (ok()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return ok();
}

Json::Value parse(const std::string& text) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errors;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    r->parse(text.data(), text.data() + text.size(), &v, &errors);
    return v;
}

// The test's webhook receiver: keeps every call, answers 503 while down;
// with refuse_first, 400 to every call of the first message it sees.
struct Receiver {
    struct Call {
        std::string key, signature, body;
        int answered = 0;
    };
    httplib::Server server;
    std::thread thread;
    std::mutex mutex;
    std::vector<Call> calls;
    bool down = false;
    bool refuse_first = false;
    int port = 0;

    Receiver() {
        server.Post("/hook", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> lock(mutex);
            const std::string key = req.get_header_value("Idempotency-Key");
            const bool refused = refuse_first && (calls.empty() || calls[0].key == key);
            const int status = refused ? 400 : down ? 503 : 200;
            calls.push_back({key, req.get_header_value("X-Smdgw-Signature"), req.body, status});
            res.status = status;
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~Receiver() {
        server.stop();
        thread.join();
    }
    std::vector<Call> taken() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<Call> out;
        for (const Call& c : calls)
            if (c.answered == 200) out.push_back(c);
        return out;
    }
    std::vector<Call> all() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    void set_down(bool d) {
        std::lock_guard<std::mutex> lock(mutex);
        down = d;
    }
};

// aiosmtpd writing every mail it takes into a maildir.
struct MailServer {
    std::string maildir;
    unsigned short port = testsupport::free_tcp_port();
    std::unique_ptr<Child> child;

    explicit MailServer(const TempDir& dir) : maildir((dir.path() / "maildir").string()) {
        child = std::make_unique<Child>(
            std::vector<std::string>{"/usr/bin/python3", "-m", "aiosmtpd", "-n", "-l",
                                     "127.0.0.1:" + std::to_string(port), "-c",
                                     "aiosmtpd.handlers.Mailbox", maildir},
            (dir.path() / "smtpd.out").string(), (dir.path() / "smtpd.err").string());
        const bool up = wait_until(
            [&] {
                httplib::Client probe("127.0.0.1", port);
                probe.set_connection_timeout(0, 200000);
                return std::filesystem::exists(maildir + "/new") &&
                       run_process({"/usr/bin/python3", "-c",
                                    "import socket; socket.create_connection(('127.0.0.1'," +
                                        std::to_string(port) + "), 1)"})
                               .status == 0;
            },
            20);
        if (!up) ADD_FAILURE() << "aiosmtpd did not start";
    }
    ~MailServer() { child->signal(SIGTERM), child->wait(10); }
    // The mails taken, oldest first.
    std::vector<std::string> mails() const {
        std::vector<std::pair<std::filesystem::file_time_type, std::string>> files;
        if (!std::filesystem::exists(maildir + "/new")) return {};
        for (const auto& f : std::filesystem::directory_iterator(maildir + "/new"))
            files.emplace_back(f.last_write_time(), f.path().string());
        std::sort(files.begin(), files.end());
        std::vector<std::string> out;
        for (const auto& [t, p] : files) out.push_back(read_text(p));
        return out;
    }
};

std::string header(const std::string& mail, const std::string& name) {
    const size_t at = mail.find("\n" + name + ": ");
    if (at == std::string::npos) return {};
    const size_t from = at + name.size() + 3;
    std::string v = mail.substr(from, mail.find('\n', from) - from);
    if (!v.empty() && v.back() == '\r') v.pop_back();
    return v;
}

// The signature recomputed by Python's own hmac over the bytes received.
bool signature_verifies(const TempDir& dir, const Receiver::Call& c) {
    const std::string body = dir.write_s("body.json", c.body);
    const auto r = run_process(
        {"/usr/bin/python3", "-c",
         "import hmac,hashlib,sys; body=open(sys.argv[1],'rb').read(); "
         "print('sha256='+hmac.new(sys.argv[2].encode(),body,hashlib.sha256).hexdigest())",
         body, kSecret});
    return r.status == 0 && r.out == c.signature + "\n";
}

struct NotifyGateway {
    TempDir& dir;
    PtyBridge& line;
    std::string config;
    std::unique_ptr<Child> child;
    int runs = 0;
    int port = 0;
    size_t served_ = 0;

    NotifyGateway(TempDir& d, PtyBridge& l, std::string c) : dir(d), line(l), config(std::move(c)) {}

    static size_t count_of(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }

    void start() {
        ++runs;
        child = std::make_unique<Child>(
            std::vector<std::string>{SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config", config,
                                     "--port", line.end_b(), "--time-scale", "10",
                                     "--notify-outbox", (dir.path() / "notify.db").string(),
                                     "--public-url", "http://gw1.example:9418/", "--http",
                                     "127.0.0.1:0"},
            (dir.path() / ("out" + std::to_string(runs) + ".txt")).string(), err());
        // Serving: the devices exist and the line is open (a sanitizer build
        // among seven other tests may take a while to get there).
        ASSERT_TRUE(wait_until(
            [&] { return read_text(err()).find("serving http://") != std::string::npos; }, 60))
            << read_text(err());
        const std::string e = read_text(err());
        port = std::stoi(e.substr(e.find("serving http://127.0.0.1:") + 25));
    }
    std::string out() const { return (dir.path() / ("out" + std::to_string(runs) + ".txt")).string(); }
    std::string err() const { return (dir.path() / ("err" + std::to_string(runs) + ".txt")).string(); }
    void plant(unsigned rounds, const std::vector<std::string>& faults) {
        std::vector<std::string> argv = {POWERSIM_PATH, "--port", line.end_a(), "--rounds",
                                         std::to_string(rounds), "--seed", "5"};
        for (const auto& f : faults) argv.insert(argv.end(), {"--fault", f});
        const auto sim = run_process(argv);
        ASSERT_EQ(sim.status, 0) << sim.err;
    }
};

// One change: one mail and one signed webhook call. Ten module faults in one
// round: one grouped message per target. The receiver refusing, smdgw killed
// meanwhile: afterwards everything arrives in order, a repeat with the key
// of its first attempt.
TEST(SmdgwNotify, MailAndWebhookPerChangeGroupedBurstsNothingLostAcrossAnOutageAndAKill) {
    TempDir dir;
    const std::string secret = dir.write_s("hook.secret", std::string(kSecret) + "\n");
    ::chmod(secret.c_str(), 0600);
    Receiver hook;
    MailServer smtp(dir);
    const std::string config =
        R"({"devices":[{"name":"plant1","data_id":418,"address":1}],)"
        R"("notify":{"site":"north","targets":{)"
        R"("hook":{"type":"webhook","url":"http://127.0.0.1:)" + std::to_string(hook.port) +
        R"(/hook","secret_file":")" + secret + R"("},)"
        R"("mail":{"type":"email","smtp_url":"smtp://127.0.0.1:)" + std::to_string(smtp.port) +
        R"(","starttls":"optional","from":"smdgw@example.net","to":["oncall@example.net"]}},)"
        R"("routes":[{"targets":["hook","mail"]}]}})";
    PtyBridge line;
    NotifyGateway gw{dir, line, dir.write_s("gw.json", config)};
    gw.start();

    gw.plant(2, {"breaker-trip:1@1-"});
    ASSERT_TRUE(wait_until([&] { return hook.taken().size() == 1 && smtp.mails().size() == 1; },
                           10))
        << read_text(gw.err());
    const Receiver::Call first = hook.taken()[0];
    EXPECT_TRUE(signature_verifies(dir, first)) << first.signature;
    Json::Value body = parse(first.body);
    EXPECT_EQ(first.key, body["idempotency_key"].asString());
    ASSERT_EQ(body["events"].size(), 1u) << first.body;
    EXPECT_EQ(body["events"][0]["english"].asString(), "AC input 1: breaker tripped");
    EXPECT_EQ(body["events"][0]["id"].asString(), "plant1.p40_44_0.419410701.1");
    const std::string mail = smtp.mails()[0];
    EXPECT_EQ(header(mail, "Subject"),
              "[smdgw] north: CRITICAL RAISED: AC input 1: breaker tripped (plant1)");
    EXPECT_NE(mail.find("第1路交流输入-交流输入空开跳"), std::string::npos) << mail;
    EXPECT_NE(mail.find("Status page: http://gw1.example:9418/"), std::string::npos);
    // What explains it, as the API showed it then, and how to acknowledge it.
    const Json::Value facts = body["events"][0]["facts"];
    EXPECT_EQ(facts["level_name"].asString(), "CRITICAL") << first.body;
    EXPECT_EQ(facts["device_state"].asString(), "live");
    ASSERT_GE(facts["ac_inputs"].size(), 1u) << first.body;
    EXPECT_EQ(facts["ac_inputs"][0]["input"].asUInt(), 1u);
    EXPECT_GT(facts["dc_bus"]["v"].asDouble(), 40.0);
    char bus_v[32];
    std::snprintf(bus_v, sizeof bus_v, "%.1f", facts["dc_bus"]["v"].asDouble());
    const std::string bus = std::string("  DC bus:     ") + bus_v + " V";
    EXPECT_NE(mail.find(bus), std::string::npos) << bus << "\n" << mail;
    EXPECT_NE(mail.find("  AC input 1: A "), std::string::npos) << mail;
    EXPECT_NE(mail.find("http://gw1.example:9418/api/v1/devices/plant1/alarms/"
                        "plant1.p40_44_0.419410701.1/ack"),
              std::string::npos)
        << mail;

    // Ten modules fail in one round (and the breaker comes back): one message each.
    std::vector<std::string> faults;
    for (int m = 1; m <= 10; ++m) faults.push_back("module-fault:" + std::to_string(m) + "@1-");
    gw.plant(2, faults);
    ASSERT_TRUE(wait_until([&] { return hook.taken().size() == 2 && smtp.mails().size() == 2; },
                           10));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(hook.taken().size(), 2u);
    EXPECT_GE(parse(hook.taken()[1].body)["events"].size(), 10u);
    const std::string subject = header(smtp.mails()[1], "Subject");
    EXPECT_EQ(subject.rfind("[smdgw] north: ", 0), 0u) << subject;
    EXPECT_NE(subject.find(" alarm changes ("), std::string::npos) << subject;

    // The receiver refuses; the modules recover, the breaker trips again;
    // smdgw is killed with both messages waiting and started again.
    hook.set_down(true);
    gw.plant(2, {});
    ASSERT_TRUE(wait_until([&] { return smtp.mails().size() == 3; }, 10)) << read_text(gw.err());
    // A clear says how long the fault lasted and that nobody acknowledged it.
    const std::string cleared = smtp.mails()[2];
    EXPECT_NE(cleared.find("CRITICAL CLEARED: Module 1: fault alarm"), std::string::npos) << cleared;
    EXPECT_NE(cleared.find("  Lasted:     "), std::string::npos) << cleared;
    EXPECT_NE(cleared.find("  Acknowledged: nobody"), std::string::npos) << cleared;
    EXPECT_NE(cleared.find("  Module 1:   "), std::string::npos) << cleared;
    gw.plant(2, {"breaker-trip:1@1-"});
    ASSERT_TRUE(wait_until([&] { return hook.all().size() >= 3 && smtp.mails().size() == 4; }, 10))
        << read_text(gw.err());
    gw.child->signal(SIGKILL);
    gw.child->wait(kTimeout);
    gw.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    hook.set_down(false);
    ASSERT_TRUE(wait_until([&] { return hook.taken().size() == 4; }, 15)) << read_text(gw.err());
    const auto taken = hook.taken();
    uint64_t last = 0;
    for (const auto& c : taken) {
        const uint64_t seq = parse(c.body)["sequence"].asUInt64();
        EXPECT_GT(seq, last) << "out of order";
        last = seq;
        EXPECT_TRUE(signature_verifies(dir, c));
    }
    // Every refused attempt was for a message that arrived later under the same key.
    size_t refused = 0;
    for (const auto& c : hook.all()) {
        if (c.answered == 200) continue;
        ++refused;
        bool delivered = false;
        for (const auto& t : taken) delivered = delivered || (t.key == c.key && t.body == c.body);
        EXPECT_TRUE(delivered) << c.key;
    }
    EXPECT_GT(refused, 0u);
    // The counters per target on /metrics, as Prometheus reads them.
    httplib::Client web("127.0.0.1", gw.port);
    std::string metrics;
    // A mail sent again after the kill may still be on its way.
    wait_until(
        [&] {
            auto r = web.Get("/metrics");
            metrics = r && r->status == 200 ? r->body : std::string();
            return metrics.find("smdgw_notify_waiting{target=\"mail\"} 0\n") != std::string::npos;
        },
        10);
    // The mails: four, each with a Message-ID of its own. The fourth may come
    // twice: sent before the kill but not yet marked, it is sent again, and
    // the repeat carries the same Message-ID.
    std::vector<std::string> ids;
    std::map<std::string, std::string> subjects;
    for (const std::string& mail : smtp.mails()) {
        const std::string id = header(mail, "Message-ID");
        if (subjects.count(id)) {
            EXPECT_EQ(id, ids.back()) << "only the last mail before the kill may come again";
            EXPECT_EQ(header(mail, "Subject"), subjects[id]) << id;
            continue;
        }
        ids.push_back(id);
        subjects[id] = header(mail, "Subject");
    }
    EXPECT_EQ(ids.size(), 4u);
    ASSERT_FALSE(metrics.empty());
    EXPECT_NE(metrics.find("smdgw_notify_sent_total{target=\"hook\"} 2\n"), std::string::npos)
        << metrics;  // this run's: the two it delivered after the kill
    EXPECT_NE(metrics.find("smdgw_notify_waiting{target=\"mail\"} 0\n"), std::string::npos);
    const auto promtool = run_process({"/bin/sh", "-c",
                                       "/usr/bin/promtool check metrics < " +
                                           dir.write_s("metrics.txt", metrics)});
    EXPECT_EQ(promtool.status, 0) << promtool.out << promtool.err;
    gw.child->signal(SIGTERM);
    EXPECT_EQ(gw.child->wait(kTimeout), 0);
    const std::string stats = read_text(gw.out());
    EXPECT_NE(stats.find("\"service\":\"notify\""), std::string::npos) << stats;
}

// A receiver that answers 400 refuses that message for good: it is dropped
// and counted at once, and the next message to the same receiver goes
// through. A receiver that takes the connection and never answers does not
// hold up a stop beyond its bound.
// --test-notify calls the target once, with the same idempotency key in the
// header and the body; a secret file others may read is refused under the
// target's own key.
TEST(SmdgwNotify, ATestCallHasOneKeyAndASecretFileProblemNamesItsKey) {
    TempDir dir;
    const std::string secret = dir.write_s("hook.secret", std::string(kSecret) + "\n");
    ::chmod(secret.c_str(), 0600);
    Receiver hook;
    const std::string config = dir.write_s(
        "gw.json",
        R"({"devices":[{"name":"plant1","data_id":418,"address":1}],)"
        R"("notify":{"targets":{"hook":{"type":"webhook","url":"http://127.0.0.1:)" +
            std::to_string(hook.port) + R"(/hook","secret_file":")" + secret +
            R"("},"mail":{"type":"email","smtp_url":"smtps://127.0.0.1:1","from":"a@b.c",)"
            R"("to":["c@d.e"],"auth_file":")" + dir.path().string() + R"(/mail.auth"}},)"
            R"("routes":[{"targets":["hook"]}]}})");
    const std::string login = dir.write_s("mail.auth", "user\npassword\n");
    ::chmod(login.c_str(), 0600);
    auto r = run_smdgw({"--config", config, "--gateway-id", "gw1", "--test-notify", "hook"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_EQ(hook.taken().size(), 1u) << r.err;
    const Receiver::Call call = hook.taken()[0];
    EXPECT_EQ(call.key.rfind("gw1:test-", 0), 0u) << call.key;
    EXPECT_EQ(parse(call.body)["idempotency_key"].asString(), call.key) << call.body;
    // Every secret file's problem at once, each under its target's own key.
    ::chmod(secret.c_str(), 0644);
    ::chmod(login.c_str(), 0660);
    r = run_smdgw({"--check-config", "--config", config, "--port", "tcp:127.0.0.1:4001"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("\"notify.targets.hook.secret_file\" " + secret +
                         ": others may read or change it (mode 0644); chmod o-rwx,g-w it"),
              std::string::npos)
        << r.out << r.err;
    EXPECT_NE(r.err.find("\"notify.targets.mail.auth_file\" " + login +
                         ": its group may change it (mode 0660); chmod o-rwx,g-w it"),
              std::string::npos)
        << r.out << r.err;
    EXPECT_EQ((r.out + r.err).find("--http-control-token"), std::string::npos) << r.err;
}

TEST(SmdgwNotify, RefusedForGoodIsDroppedAtOnceAndASilentReceiverDoesNotHoldTheStop) {
    const auto config_for = [](const std::string& name, int port, const std::string& extra) {
        return R"({"devices":[{"name":"plant1","data_id":418,"address":1}],)"
               R"("notify":{"targets":{")" + name + R"(":{"type":"webhook",)" + extra +
               R"("url":"http://127.0.0.1:)" + std::to_string(port) + R"(/hook"}},)"
               R"("routes":[{"targets":[")" + name + R"("]}]}})";
    };
    {
        TempDir dir;
        Receiver hook;
        hook.refuse_first = true;
        PtyBridge line;
        NotifyGateway gw{dir, line, dir.write_s("gw.json", config_for("hook", hook.port, ""))};
        gw.start();
        gw.plant(2, {"breaker-trip:1@1-"});
        ASSERT_TRUE(wait_until([&] { return hook.all().size() == 1; }, 10)) << read_text(gw.err());
        gw.plant(2, {});
        ASSERT_TRUE(wait_until([&] { return hook.taken().size() == 1; }, 10))
            << read_text(gw.err());
        const auto calls = hook.all();
        ASSERT_EQ(calls.size(), 2u) << "the refused message was tried again";
        EXPECT_EQ(calls[0].answered, 400);
        EXPECT_NE(calls[0].key, calls[1].key);
        EXPECT_NE(read_text(gw.err()).find("notify: target \"hook\" refused a notification for "
                                           "good (HTTP 400); it is dropped"),
                  std::string::npos)
            << read_text(gw.err());
        httplib::Client web("127.0.0.1", gw.port);
        const auto metrics = web.Get("/metrics");
        ASSERT_TRUE(metrics && metrics->status == 200);
        EXPECT_NE(metrics->body.find(
                      "smdgw_notify_dropped_total{target=\"hook\",reason=\"refused\"} 1\n"),
                  std::string::npos)
            << metrics->body;
        EXPECT_NE(metrics->body.find("smdgw_notify_waiting{target=\"hook\"} 0\n"),
                  std::string::npos);
        gw.child->signal(SIGTERM);
        EXPECT_EQ(gw.child->wait(kTimeout), 0);
    }
    // Listening, never accepting: the kernel takes the connection, nobody answers.
    TempDir dir;
    const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(silent, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(silent, 16), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::getsockname(silent, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    PtyBridge line;
    NotifyGateway gw{dir, line,
                     dir.write_s("gw.json", config_for("silent", ntohs(addr.sin_port),
                                                       R"("timeout_s":300,)"))};
    gw.start();
    gw.plant(2, {"breaker-trip:1@1-"});
    // The call waits in the listening queue: a transfer of up to 300 s.
    pollfd waiting{silent, POLLIN, 0};
    ASSERT_TRUE(wait_until([&] { return ::poll(&waiting, 1, 0) == 1; }, 10))
        << read_text(gw.err());
    gw.child->signal(SIGTERM);
    EXPECT_EQ(gw.child->wait(30), 0) << read_text(gw.err());
    EXPECT_NE(read_text(gw.err()).find("notify: 1 notification ("), std::string::npos)
        << read_text(gw.err());
    ::close(silent);
}

}  // namespace
