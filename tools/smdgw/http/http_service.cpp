#include "tools/smdgw/http/http_service.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/value_keys.h"
#include "tools/smdgw/history/history_store.h"
#include "tools/smdgw/http/api_json.h"
#include "tools/smdgw/http/control_body.h"
#include "tools/smdgw/http/control_token.h"
#include "tools/smdgw/http/history_query.h"
#include "tools/smdgw/http/router.h"
#include "tools/smdgw/http/status_page.h"
#include "tools/smdgw/output/prometheus_render.h"

namespace smdgw::http {

namespace {

const char* const kJson = "application/json; charset=utf-8";
const char* const kPrometheus = "text/plain; version=0.0.4; charset=utf-8";
// Waiting control requests at most; more are refused with 503.
constexpr size_t kMaxControlJobs = 8;
// Events a stream may fall behind before it is dropped.
constexpr size_t kMaxQueuedEvents = 512;
// A comment line this often keeps proxies from closing a quiet stream.
constexpr auto kKeepAlive = std::chrono::seconds(15);
// Workers beyond the event streams, so /metrics and the API always have some.
constexpr size_t kSpareWorkers = 8;
// Accepted connections waiting for a worker; beyond, accepting pauses and
// the kernel's backlog holds (then refuses) new ones.
constexpr size_t kMaxWaitingConnections = 32;

// What Get_Value's refusals mean, by the driver's message.
struct ValueRefusal {
    const char* message;
    int status;
    const char* english;
};
constexpr ValueRefusal kValueRefusals[] = {
    {"数据未就绪", 503, "no data yet"},
    {"数据已超时", 503, "data older than 60 s"},
    {"不支持变量", 404, "key not supported"},
};

// A fixed pool of workers with a bounded queue: the accepting thread waits
// while the queue is full, so the number of connections held is bounded.
class BoundedPool : public httplib::TaskQueue {
   public:
    BoundedPool(size_t workers, size_t max_waiting) : max_waiting_(max_waiting) {
        for (size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
    }
    void enqueue(std::function<void()> fn) override {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [&] { return jobs_.size() < max_waiting_ || shutdown_; });
        jobs_.push_back(std::move(fn));
        ready_.notify_one();
    }
    void shutdown() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            shutdown_ = true;
        }
        ready_.notify_all();
        room_.notify_all();
        for (auto& t : threads_) t.join();
    }

   private:
    void work() {
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [&] { return shutdown_ || !jobs_.empty(); });
                if (jobs_.empty()) return;
                fn = std::move(jobs_.front());
                jobs_.pop_front();
            }
            room_.notify_one();
            fn();
        }
    }
    size_t max_waiting_;
    std::mutex mutex_;
    std::condition_variable ready_, room_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    bool shutdown_ = false;
};

void send_json(httplib::Response& res, int status, const Json::Value& v) {
    res.status = status;
    res.set_content(json_text(v) + "\n", kJson);
}

void send_error(httplib::Response& res, int status, const std::string& message) {
    send_json(res, status, error_json(message));
}

std::string client_of(const httplib::Request& req) {
    return req.remote_addr + ":" + std::to_string(req.remote_port);
}

}  // namespace

bool parse_listen(const std::string& text, std::string& host, int& port, std::string& error) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) {
        error = "--http \"" + text + "\" is not ADDR:PORT (for example 127.0.0.1:9418)";
        return false;
    }
    host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const std::string p = text.substr(colon + 1);
    char* end = nullptr;
    const long v = std::strtol(p.c_str(), &end, 10);
    if (*end != '\0' || v < 0 || v > 65535 || host.empty()) {
        error = "--http \"" + text + "\": port must be 0 to 65535";
        return false;
    }
    port = static_cast<int>(v);
    return true;
}

struct HttpService::Impl {
    HttpOptions opt;
    DeviceSource& devices;
    EventHub& hub;
    LineQueue& line;
    ValueLookup lookup;
    httplib::Server server;
    std::thread thread;
    std::atomic<bool> listener_done{false};

    Impl(HttpOptions o, DeviceSource& d, EventHub& h, LineQueue& l, ValueLookup v)
        : opt(std::move(o)), devices(d), hub(h), line(l), lookup(std::move(v)) {}

    void dispatch(const httplib::Request& req, httplib::Response& res);
    void metrics(httplib::Response& res);
    void healthz(httplib::Response& res);
    void value(const Route& r, httplib::Response& res);
    void history(const Route& r, const httplib::Request& req, httplib::Response& res);
    void events(httplib::Response& res);
    void control(const Route& r, const httplib::Request& req, httplib::Response& res);
    void page(httplib::Response& res);
    Json::Value trend(const std::string& device);
    void log_control(const httplib::Request& req, const std::string& device, const Json::Value& code,
                     bool accepted, const std::string& reason);
};

void HttpService::Impl::dispatch(const httplib::Request& req, httplib::Response& res) {
    const std::string path = req.target.substr(0, req.target.find('?'));
    const Route r = route(req.method, path);
    if (r.status != 0) {
        if (!r.allow.empty()) res.set_header("Allow", r.allow);
        send_error(res, r.status, r.error);
        return;
    }
    switch (r.endpoint) {
        case Endpoint::Page:
            page(res);
            return;
        case Endpoint::Metrics:
            metrics(res);
            return;
        case Endpoint::Healthz:
            healthz(res);
            return;
        case Endpoint::Devices: {
            Json::Value a(Json::arrayValue);
            for (const DeviceView& d : devices.devices()) a.append(device_json(d));
            send_json(res, 200, a);
            return;
        }
        case Endpoint::Device: {
            const auto d = devices.device(r.device);
            if (!d) return send_error(res, 404, "no device \"" + r.device + "\"");
            send_json(res, 200, device_detail_json(*d));
            return;
        }
        case Endpoint::Alarms: {
            Json::Value a(Json::arrayValue);
            for (const DeviceView& d : devices.devices())
                for (const AlarmView& al : d.alarms) a.append(alarm_json(al));
            send_json(res, 200, a);
            return;
        }
        case Endpoint::Value:
            value(r, res);
            return;
        case Endpoint::History:
            history(r, req, res);
            return;
        case Endpoint::Events:
            events(res);
            return;
        case Endpoint::Control:
            control(r, req, res);
            return;
    }
}

void HttpService::Impl::metrics(httplib::Response& res) {
    res.status = 200;
    std::string text = render_prometheus(devices.prometheus(), opt.version);
    if (opt.service_metrics) text += opt.service_metrics();
    res.set_content(text, kPrometheus);
}

void HttpService::Impl::healthz(httplib::Response& res) {
    Json::Value bad(Json::arrayValue);
    for (const DeviceView& d : devices.devices()) {
        if (d.state == kStateLive) continue;
        Json::Value b;
        b["name"] = d.name;
        b["state"] = d.state;
        bad.append(b);
    }
    Json::Value v;
    if (bad.empty()) {
        v["status"] = "ok";
        send_json(res, 200, v);
        return;
    }
    v["status"] = "degraded";
    v["devices"] = bad;
    send_json(res, 503, v);
}

void HttpService::Impl::value(const Route& r, httplib::Response& res) {
    const auto d = devices.device(r.device);
    if (!d) return send_error(res, 404, "no device \"" + r.device + "\"");
    try {
        const float v = lookup(r.device, r.key);
        Json::Value out;
        out["key"] = r.key;
        out["value"] = std::isfinite(v) ? Json::Value(v) : Json::Value();
        out["complete"] = d->complete;
        out["restored"] = d->restored;
        value_section(out, *d, r.key);
        send_json(res, 200, out);
    } catch (const SectionUnavailable& e) {
        Json::Value out = error_json(e.what());
        out["english"] = "no live round has brought this value's section yet";
        value_section(out, *d, r.key);
        send_json(res, 503, out);
    } catch (const std::out_of_range& e) {
        for (const ValueRefusal& refusal : kValueRefusals) {
            if (e.what() != std::string(refusal.message)) continue;
            Json::Value out = error_json(e.what());
            out["english"] = refusal.english;
            send_json(res, refusal.status, out);
            return;
        }
        send_error(res, 500, e.what());
    } catch (const std::exception& e) {
        send_error(res, 500, e.what());
    }
}

void HttpService::Impl::history(const Route& r, const httplib::Request& req,
                                httplib::Response& res) {
    if (!devices.device(r.device)) return send_error(res, 404, "no device \"" + r.device + "\"");
    if (opt.history_path.empty())
        return send_error(res, 404, "no history: start smdgw with --history FILE");
    HistoryQuery q;
    q.device = r.device;
    std::string error;
    if (!parse_history_query(req.get_param_value("since"), req.get_param_value("until"),
                             req.get_param_value("fields"), q, error) ||
        !parse_history_complete(req.get_param_value("complete"), q, error))
        return send_error(res, 400, error);
    try {
        send_json(res, 200, run_history_query(opt.history_path, q));
    } catch (const std::exception& e) {
        send_error(res, 500, std::string("history: ") + e.what());
    }
}

void HttpService::Impl::events(httplib::Response& res) {
    auto stream = hub.open();
    if (!stream)
        return send_error(res, 503,
                          "too many event streams (at most " + std::to_string(opt.max_streams) +
                              "); try again later");
    res.status = 200;
    res.set_header("Cache-Control", "no-cache");
    res.set_header("X-Accel-Buffering", "no");
    auto last_write = std::make_shared<std::chrono::steady_clock::time_point>(
        std::chrono::steady_clock::now());
    EventHub* h = &hub;
    res.set_chunked_content_provider(
        "text/event-stream",
        [h, stream, last_write](size_t offset, httplib::DataSink& sink) {
            if (offset == 0) {
                const std::string hello = ": smdgw events\nretry: 2000\n\n";
                if (!sink.write(hello.data(), hello.size())) return false;
            }
            std::vector<std::string> batch;
            switch (h->next(stream, 1000, batch)) {
                case EventHub::Wait::Closed:
                case EventHub::Wait::Dropped:
                    return false;
                case EventHub::Wait::Idle:
                    if (std::chrono::steady_clock::now() - *last_write < kKeepAlive) return true;
                    batch.push_back(": keep-alive\n\n");
                    break;
                case EventHub::Wait::Events:
                    break;
            }
            for (const std::string& m : batch)
                if (!sink.write(m.data(), m.size())) return false;
            *last_write = std::chrono::steady_clock::now();
            return true;
        },
        [h, stream](bool) { h->close(stream); });
}

void HttpService::Impl::log_control(const httplib::Request& req, const std::string& device,
                                    const Json::Value& code, bool accepted,
                                    const std::string& reason) {
    const std::string client = client_of(req);
    const std::string text = "http control request from " + client + " for device \"" +
                             device + "\" code " + (code.isNull() ? "-" : code.asString()) +
                             ": " + (accepted ? "accepted" : "refused (" + reason + ")");
    if (accepted)
        log_info(text);
    else
        log_warning(text);
    Json::Value e;
    e["event"] = "control_request";
    e["client"] = client;
    e["device"] = device;
    e["code"] = code;
    e["accepted"] = accepted;
    e["reason"] = reason;
    line.note("", e);
}

void HttpService::Impl::control(const Route& r, const httplib::Request& req,
                                httplib::Response& res) {
    // The code as far as it can be read, for the log of refused attempts.
    ControlBody body;
    std::string body_error;
    const bool body_ok = parse_control_body(req.body, body, body_error);
    const Json::Value code = body_ok ? Json::Value(body.code) : Json::Value();
    if (opt.control_secret.empty()) {
        log_control(req, r.device, code, false, "control is off");
        return send_error(res, 403, "control is off: start smdgw with --http-control-token FILE");
    }
    const std::string given = bearer_token(req.get_header_value("Authorization"));
    if (given.empty() || !same_secret(given, opt.control_secret)) {
        const char* why = given.empty() ? "no bearer token" : "wrong token";
        log_control(req, r.device, code, false, why);
        res.set_header("WWW-Authenticate", "Bearer");
        return send_error(res, 401, why);
    }
    if (!devices.device(r.device)) {
        log_control(req, r.device, code, false, "no such device");
        return send_error(res, 404, "no device \"" + r.device + "\"");
    }
    if (!body_ok) {
        log_control(req, r.device, code, false, body_error);
        return send_error(res, 400, body_error);
    }
    auto job = line.submit(r.device, body.code, body.request);
    if (!job) {
        log_control(req, r.device, code, false, "too many requests waiting");
        return send_error(res, 503, "too many control requests waiting; try again later");
    }
    log_control(req, r.device, code, true, "");
    Json::Value result;
    if (!line.wait(job, std::chrono::milliseconds(opt.control_timeout_ms), result))
        return send_error(res, 504, "the line did not take the request in time; it was not run");
    if (result.isMember("error")) return send_error(res, 500, result["error"].asString());
    Json::Value out;
    out["code"] = result["code"];
    out["result"] = result["result"];
    out["output_length"] = result["output_length"];
    out["output"] = result["output"];
    send_json(res, 200, out);
}

// The chart's last hour: from the history when it is kept, else from memory.
Json::Value HttpService::Impl::trend(const std::string& device) {
    if (!opt.history_path.empty()) {
        HistoryQuery q;
        q.device = device;
        q.since = devices.now() - 3600;
        q.fields = {"dc.v", "dc.i"};
        try {
            return run_history_query(opt.history_path, q)["rows"];
        } catch (const std::exception& e) {
            log_warning(std::string("http: chart from history: ") + e.what());
        }
    }
    Json::Value rows(Json::arrayValue);
    for (const TrendPoint& p : devices.trend(device)) {
        Json::Value row(Json::arrayValue);
        row.append(static_cast<Json::Int64>(p.time));
        row.append(p.dc_v);
        row.append(p.dc_i);
        rows.append(row);
    }
    return rows;
}

void HttpService::Impl::page(httplib::Response& res) {
    Json::Value state;
    state["generated"] = iso_time(devices.now());
    state["now"] = static_cast<Json::Int64>(devices.now());
    state["history"] = !opt.history_path.empty();
    Json::Value list(Json::arrayValue);
    for (const DeviceView& d : devices.devices()) {
        Json::Value v = device_detail_json(d);
        v["trend"] = trend(d.name);
        list.append(v);
    }
    state["devices"] = list;
    res.status = 200;
    res.set_header("Cache-Control", "no-store");
    res.set_content(status_page(json_text(state)), "text/html; charset=utf-8");
}

HttpService::HttpService(HttpOptions options, DeviceSource& devices, EventHub& hub,
                         LineQueue& line, ValueLookup lookup)
    : impl_(std::make_unique<Impl>(std::move(options), devices, hub, line, std::move(lookup))) {}

HttpService::~HttpService() { stop(); }

bool HttpService::start(std::string& error) {
    if (!parse_listen(impl_->opt.listen, host_, port_, error)) return false;
    Impl* impl = impl_.get();
    httplib::Server& s = impl->server;
    const size_t workers = impl->opt.max_streams + kSpareWorkers;
    s.new_task_queue = [workers] { return new BoundedPool(workers, kMaxWaitingConnections); };
    s.set_payload_max_length(kMaxBodyBytes);
    s.set_read_timeout(impl->opt.read_timeout_s, 0);
    s.set_write_timeout(impl->opt.write_timeout_s, 0);
    s.set_keep_alive_timeout(5);
    s.set_keep_alive_max_count(100);
    const auto handler = [impl](const httplib::Request& req, httplib::Response& res) {
        impl->dispatch(req, res);
    };
    s.Get(".*", handler);
    s.Post(".*", handler);
    s.Put(".*", handler);
    s.Patch(".*", handler);
    s.Delete(".*", handler);
    s.Options(".*", handler);
    // Errors the library answers itself (a body too large, a bad request
    // line) get a JSON body as well.
    s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return;
        std::string what = "request refused (status " + std::to_string(res.status) + ")";
        if (res.status == 400) what = "malformed request";
        if (res.status == 413) what = "body larger than 65536 bytes";
        if (res.status == 414) what = "request target too long";
        send_error(res, res.status, what);
    });
    s.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
            std::string what = "internal error";
            try {
                std::rethrow_exception(ep);
            } catch (const std::exception& e) {
                what = e.what();
            } catch (...) {
            }
            send_error(res, 500, what);
        });
    if (port_ == 0) {
        port_ = s.bind_to_any_port(host_);
        if (port_ <= 0) {
            error = "--http " + impl->opt.listen + ": cannot listen";
            return false;
        }
    } else if (!s.bind_to_port(host_, port_)) {
        error = "--http " + impl->opt.listen + ": cannot listen (address in use or not local?)";
        return false;
    }
    impl->thread = std::thread([impl] {
        impl->server.listen_after_bind();
        impl->listener_done = true;
    });
    // A short replay may end before the listener runs; stop() keeps asking
    // until the listener is gone, so it never stays behind.
    for (int i = 0; i < 5000 && !impl->server.is_running() && !impl->listener_done; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!impl->server.is_running()) {
        error = "--http " + impl->opt.listen + ": the listener did not start";
        stop();
        return false;
    }
    return true;
}

void HttpService::stop() {
    if (!impl_ || !impl_->thread.joinable()) return;
    impl_->hub.shut();
    while (!impl_->listener_done) {
        impl_->server.stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    impl_->thread.join();
}

}  // namespace smdgw::http
