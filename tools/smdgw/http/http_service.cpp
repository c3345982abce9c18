#include "tools/smdgw/http/http_service.h"

#include <json/reader.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <thread>

#include <sqlite3.h>

#include "host/host_port.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/log_limiter.h"
#include "tools/smdgw/core/steady_time.h"
#include "tools/smdgw/core/utf8_text.h"
#include "tools/smdgw/core/value_keys.h"
#include "tools/smdgw/history/history_store.h"
#include "tools/smdgw/http/api_json.h"
#include "tools/smdgw/http/client_limits.h"
#include "tools/smdgw/http/ack_body.h"
#include "tools/smdgw/http/control_body.h"
#include "tools/smdgw/core/control_token.h"
#include "tools/smdgw/http/history_query.h"
#include "tools/smdgw/http/history_resolution.h"
#include "tools/smdgw/http/http_server.h"
#include "tools/smdgw/http/router.h"
#include "tools/smdgw/http/status_page.h"
#include "tools/smdgw/output/prometheus_render.h"

namespace smdgw::http {

namespace {

const char* const kJson = "application/json; charset=utf-8";
const char* const kPrometheus = "text/plain; version=0.0.4; charset=utf-8";

// Alarm changes the page lists per device.
constexpr size_t kPageAlarmChanges = 10;

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

void send_json(Response& res, int status, const Json::Value& v) {
    res.status = status;
    res.set_content(json_text(v) + "\n", kJson);
}

void send_error(Response& res, int status, const std::string& message) {
    send_json(res, status, error_json(message));
}

std::string client_of(const Request& req) {
    return req.remote_addr + ":" + std::to_string(req.remote_port);
}

}  // namespace

bool parse_listen(const std::string& text, std::string& host, int& port, std::string& error) {
    smd::HostPort hp;
    const std::string why = smd::parse_host_port(text, hp, smd::PortZero::Allowed);
    if (!why.empty()) {
        error = "--http \"" + text + "\": " + why + " (ADDR:PORT, for example 127.0.0.1:9418)";
        return false;
    }
    host = hp.host;
    port = static_cast<int>(hp.port);
    return true;
}

struct HttpService::Impl {
    HttpOptions opt;
    DeviceSource& devices;
    EventHub& hub;
    LineQueue& line;
    ValueLookup lookup;
    HttpCounters& counters;
    RefusalLimiter refusals{kRefusalsPerMinute};
    std::unique_ptr<HttpServer> server;

    Impl(HttpOptions o, DeviceSource& d, EventHub& h, LineQueue& l, ValueLookup v,
         HttpCounters& c)
        : opt(std::move(o)), devices(d), hub(h), line(l), lookup(std::move(v)), counters(c) {}

    BodyPlan plan(const Request& req);
    // The device's battery estimate, null without one.
    Json::Value battery_of(const std::string& device) const {
        const std::string text = opt.battery_json ? opt.battery_json(device) : std::string();
        Json::Value v;
        if (text.empty()) return v;
        Json::CharReaderBuilder b;
        std::string errs;
        std::unique_ptr<Json::CharReader> reader(b.newCharReader());
        if (!reader->parse(text.data(), text.data() + text.size(), &v, &errs)) v = Json::Value();
        return v;
    }
    void dispatch(const Request& req, Response& res);
    void metrics(Response& res);
    void healthz(Response& res);
    void value(const Route& r, Response& res);
    void history(const Route& r, const Request& req, Response& res);
    void alarm_log(const Request& req, Response& res);
    bool past_deadline(const Request& req, Response& res);
    void too_late(Response& res);
    void events(const Request& req, Response& res);
    void control(const Route& r, const Request& req, Response& res);
    // 429 (true) when the address spent its allowance of refused attempts.
    bool rate_limited(const Request& req, Response& res,
                      const std::function<void(const std::string&)>& log);
    bool may_acknowledge(const std::string& given) const;
    void alarm_action(const Route& r, const Request& req, Response& res);
    void log_alarm_action(const Request& req, const Route& r, const std::string& by,
                          bool accepted, const std::string& reason);
    void page(Response& res);
    Json::Value trend(const std::string& device);
    Json::Value alarm_changes(const std::string& device);
    void log_control(const Request& req, const std::string& device, const Json::Value& code,
                     bool accepted, const std::string& reason);
    void refuse_control(const Request& req, const std::string& device, const Json::Value& code,
                        const std::string& reason);
};

// A control body is kept whole only for a request that carries the token;
// of others only what the log needs, so that clients without it cannot make
// the gateway hold their bodies. Reads of the history take the query lane,
// requests for the line the line's: neither holds up the others.
BodyPlan HttpService::Impl::plan(const Request& req) {
    const Route r = route(req.method, req.path);
    if (r.status != 0) return {};
    const std::string given = bearer_token(req.get_header_value("Authorization"));
    bool authorised = false;
    switch (r.endpoint) {
        case Endpoint::History:
        case Endpoint::AlarmLog:
            return {0, Lane::Query};
        case Endpoint::Control:
            authorised = !opt.control_secret.empty() && !given.empty() &&
                         same_secret(given, opt.control_secret);
            break;
        case Endpoint::AlarmAck:
        case Endpoint::AlarmUnack:
            authorised = may_acknowledge(given);
            break;
        default:
            return {};
    }
    return {authorised ? kMaxBodyBytes : kRefusedBodyKeptBytes, Lane::Line};
}

void HttpService::Impl::dispatch(const Request& req, Response& res) {
    const Route r = route(req.method, req.path);
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
            for (const DeviceView& d : devices.devices()) {
                Json::Value one = device_json(d);
                const Json::Value battery = battery_of(d.name);
                if (!battery.isNull()) one["battery"] = battery;
                a.append(one);
            }
            send_json(res, 200, a);
            return;
        }
        case Endpoint::Device: {
            const auto d = devices.device(r.device);
            if (!d) return send_error(res, 404, "no device " + quoted(r.device));
            Json::Value detail = device_detail_json(*d);
            const Json::Value battery = battery_of(r.device);
            if (!battery.isNull()) detail["battery"] = battery;
            send_json(res, 200, detail);
            return;
        }
        case Endpoint::Battery: {
            if (!devices.device(r.device))
                return send_error(res, 404, "no device " + quoted(r.device));
            const Json::Value battery = battery_of(r.device);
            if (battery.isNull())
                return send_error(res, 404, "device \"" + r.device + "\" has no \"battery\" configured");
            send_json(res, 200, battery);
            return;
        }
        case Endpoint::Alarms: {
            Json::Value a(Json::arrayValue);
            for (const DeviceView& d : devices.devices()) {
                for (const AlarmView& al : d.alarms) a.append(alarm_json(al));
                for (const AlarmView& al : d.pending) a.append(alarm_json(al));
            }
            send_json(res, 200, a);
            return;
        }
        case Endpoint::AlarmLog:
            alarm_log(req, res);
            return;
        case Endpoint::Value:
            value(r, res);
            return;
        case Endpoint::History:
            history(r, req, res);
            return;
        case Endpoint::Events:
            events(req, res);
            return;
        case Endpoint::AlarmAck:
        case Endpoint::AlarmUnack:
            alarm_action(r, req, res);
            return;
        case Endpoint::Control:
            control(r, req, res);
            return;
    }
}

void HttpService::Impl::metrics(Response& res) {
    res.status = 200;
    std::string text = render_prometheus(devices.prometheus(), opt.version);
    if (opt.service_metrics) text += opt.service_metrics();
    text += "# HELP smdgw_http_history_rows_read_total Stored rounds read to answer history queries.\n"
            "# TYPE smdgw_http_history_rows_read_total counter\n"
            "smdgw_http_history_rows_read_total " +
            std::to_string(history_rows_read()) + "\n";
    res.set_content(text, kPrometheus);
}

void HttpService::Impl::healthz(Response& res) {
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

void HttpService::Impl::value(const Route& r, Response& res) {
    const auto d = devices.device(r.device);
    if (!d) return send_error(res, 404, "no device " + quoted(r.device));
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

void HttpService::Impl::history(const Route& r, const Request& req,
                                Response& res) {
    if (!devices.device(r.device)) return send_error(res, 404, "no device " + quoted(r.device));
    if (opt.history_path.empty())
        return send_error(res, 404, "no history: start smdgw with --history FILE");
    HistoryQuery q;
    q.device = r.device;
    std::string error;
    if (!parse_history_query(req.get_param_value("since"), req.get_param_value("until"),
                             req.get_param_value("fields"), q, error) ||
        !parse_history_complete(req.get_param_value("complete"), q, error) ||
        !parse_history_resolution(req.get_param_value("resolution"), q, error))
        return send_error(res, 400, error);
    q.deadline = req.deadline;
    try {
        if (past_deadline(req, res)) return;
        res.status = 200;
        res.set_content(run_history_resolution(opt.history_path, q) + "\n", kJson);
    } catch (const HistoryError& e) {
        if ((e.sqlite_code() & 0xff) != SQLITE_INTERRUPT)
            return send_error(res, 500, std::string("history: ") + e.what());
        too_late(res);
    } catch (const std::exception& e) {
        send_error(res, 500, std::string("history: ") + e.what());
    }
}

// 503 with Retry-After for a query at its deadline, counted.
void HttpService::Impl::too_late(Response& res) {
    counters.count(Refused::QueryDeadline);
    res.set_header("Retry-After", "10");
    send_error(res, 503,
               "the query took more than " + std::to_string(opt.query_deadline_s) +
                   " s; ask for a shorter span or fewer fields, or try again later");
}

// A query that waited its turn past its deadline is not begun.
bool HttpService::Impl::past_deadline(const Request& req, Response& res) {
    if (std::chrono::steady_clock::now() < req.deadline) return false;
    too_late(res);
    return true;
}

void HttpService::Impl::alarm_log(const Request& req, Response& res) {
    if (opt.history_path.empty())
        return send_error(res, 404, "no alarm log: start smdgw with --history FILE");
    AlarmLogQuery q;
    const std::string device = req.get_param_value("device");
    if (!device.empty()) {
        if (!devices.device(device)) return send_error(res, 404, "no device " + quoted(device));
        q.device = device;
    }
    for (const char* name : {"since", "until"}) {
        const std::string text = req.get_param_value(name);
        if (text.empty()) continue;
        int64_t t = 0;
        if (!parse_api_time(text, t))
            return send_error(res, 400,
                              std::string(name) + " \"" + text +
                                  "\" is neither ISO 8601 nor Unix seconds");
        (name[0] == 's' ? q.since : q.until) = t;
    }
    q.deadline = req.deadline;
    try {
        if (past_deadline(req, res)) return;
        send_json(res, 200, run_alarm_log_query(opt.history_path, q));
    } catch (const HistoryError& e) {
        if ((e.sqlite_code() & 0xff) != SQLITE_INTERRUPT)
            return send_error(res, 500, std::string("alarm log: ") + e.what());
        too_late(res);
    } catch (const std::exception& e) {
        send_error(res, 500, std::string("alarm log: ") + e.what());
    }
}

void HttpService::Impl::events(const Request& req, Response& res) {
    EventHub::Refused why = EventHub::Refused::TooMany;
    auto stream = hub.open(req.remote_addr, &why);
    if (!stream) {
        res.set_header("Retry-After", "10");
        if (why == EventHub::Refused::TooManyFromClient)
            return send_error(res, 503,
                              "too many event streams from " + req.remote_addr + " (at most " +
                                  std::to_string(kStreamsPerClient) + "); try again later");
        return send_error(res, 503,
                          "too many event streams (at most " + std::to_string(opt.max_streams) +
                              "); try again later");
    }
    res.status = 200;
    res.set_header("Cache-Control", "no-cache");
    res.set_header("X-Accel-Buffering", "no");
    res.content_type = "text/event-stream";
    res.stream = stream;
}

void HttpService::Impl::log_control(const Request& req, const std::string& device,
                                    const Json::Value& code, bool accepted,
                                    const std::string& reason) {
    const std::string client = client_of(req);
    const std::string text = "http control request from " + client + " for device " +
                             quoted(device) + " code " + (code.isNull() ? "-" : code.asString()) +
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

void HttpService::Impl::refuse_control(const Request& req, const std::string& device,
                                       const Json::Value& code, const std::string& reason) {
    refusals.refused(req.remote_addr, steady_seconds());
    log_control(req, device, code, false, reason);
}

// Too many refused attempts from the client's address: 429, summarised in
// the log once a minute. Only clients without a valid token come here.
bool HttpService::Impl::rate_limited(const Request& req, Response& res,
                                     const std::function<void(const std::string&)>& log) {
    if (refusals.allowed(req.remote_addr, steady_seconds())) return false;
    counters.count(Refused::ControlRateLimited);
    if (auto held = refusals.limited(req.remote_addr, steady_seconds()))
        log("too many refused attempts" + LogLimiter::held_note(*held));
    res.set_header("Retry-After", "60");
    send_error(res, 429,
               "too many refused requests from " + req.remote_addr + "; try again in a minute");
    return true;
}

void HttpService::Impl::control(const Route& r, const Request& req,
                                Response& res) {
    // The code as far as it can be read, for the log of refused attempts.
    ControlBody body;
    std::string body_error;
    const bool body_ok = parse_control_body(req.body, body, body_error);
    const Json::Value code = body_ok ? Json::Value(body.code) : Json::Value();
    const std::string given = bearer_token(req.get_header_value("Authorization"));
    if (opt.control_secret.empty() || given.empty() || !same_secret(given, opt.control_secret)) {
        // A client that keeps being refused is not judged again for a
        // while: guessing the token costs time, and the log gets a summary,
        // not a flood. A holder of the token never waits for them.
        if (rate_limited(req, res, [&](const std::string& why) {
                log_control(req, r.device, Json::Value(), false, why);
            }))
            return;
        if (opt.control_secret.empty()) {
            refuse_control(req, r.device, code, "control is off");
            return send_error(res, 403,
                              "control is off: start smdgw with --http-control-token FILE");
        }
        const char* why = given.empty() ? "no bearer token" : "wrong token";
        refuse_control(req, r.device, code, why);
        res.set_header("WWW-Authenticate", "Bearer");
        return send_error(res, 401, why);
    }
    // The holder's own mistakes are answered, never counted against the address.
    if (!devices.device(r.device)) {
        log_control(req, r.device, code, false, "no such device");
        return send_error(res, 404, "no device " + quoted(r.device));
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

// The ack token or the control token (which may acknowledge too).
bool HttpService::Impl::may_acknowledge(const std::string& given) const {
    if (given.empty()) return false;
    return (!opt.ack_secret.empty() && same_secret(given, opt.ack_secret)) ||
           (!opt.control_secret.empty() && same_secret(given, opt.control_secret));
}

void HttpService::Impl::log_alarm_action(const Request& req, const Route& r,
                                         const std::string& by, bool accepted,
                                         const std::string& reason) {
    const bool ack = r.endpoint == Endpoint::AlarmAck;
    const std::string client = client_of(req);
    const std::string text = std::string("http alarm ") + (ack ? "ack" : "unack") + " from " +
                             client + " for device " + quoted(r.device) + " alarm " +
                             quoted(r.key) + ": " +
                             (accepted ? "accepted" : "refused (" + reason + ")");
    if (accepted)
        log_info(text);
    else
        log_warning(text);
    Json::Value e;
    e["event"] = ack ? "alarm_ack" : "alarm_unack";
    e["client"] = client;
    e["device"] = r.device;
    e["id"] = r.key;
    e["by"] = by;
    e["accepted"] = accepted;
    e["reason"] = reason;
    line.note("", e);
}

// Like control: the token before anything else, so that a client without it
// learns nothing of the alarms; its refusals count towards the same limit.
// A holder's own mistakes (a bad body, an unknown device) are not counted.
void HttpService::Impl::alarm_action(const Route& r, const Request& req, Response& res) {
    const std::string given = bearer_token(req.get_header_value("Authorization"));
    if (!may_acknowledge(given)) {
        if (rate_limited(req, res, [&](const std::string& why) {
                log_alarm_action(req, r, "", false, why);
            }))
            return;
        refusals.refused(req.remote_addr, steady_seconds());
        const bool off = opt.ack_secret.empty() && opt.control_secret.empty();
        const std::string why = off ? "acknowledgement is off: start smdgw with --http-ack-token "
                                      "FILE or --http-control-token FILE"
                                    : given.empty() ? "no bearer token" : "wrong token";
        log_alarm_action(req, r, "", false, why);
        if (!off) res.set_header("WWW-Authenticate", "Bearer");
        return send_error(res, off ? 403 : 401, why);
    }
    const auto refuse = [&](int status, const std::string& why) {
        log_alarm_action(req, r, "", false, why);
        send_error(res, status, why);
    };
    AckBody body;
    std::string body_error;
    if (!parse_ack_body(req.body, body, body_error)) return refuse(400, body_error);
    if (!devices.device(r.device)) return refuse(404, "no device " + quoted(r.device));
    Json::Value action;
    action["action"] = r.endpoint == Endpoint::AlarmAck ? "ack" : "unack";
    action["id"] = r.key;
    action["by"] = body.by;
    action["comment"] = body.comment;
    auto job = line.submit_action(r.device, action);
    if (!job) {
        log_alarm_action(req, r, body.by, false, "too many requests waiting");
        return send_error(res, 503, "too many requests waiting; try again later");
    }
    Json::Value result;
    if (!line.wait(job, std::chrono::milliseconds(opt.control_timeout_ms), result))
        return send_error(res, 504, "the line did not take the request in time; nothing changed");
    if (result.isMember("error")) {
        log_alarm_action(req, r, body.by, false, result["error"].asString());
        return send_error(res, result.get("status", 500).asInt(), result["error"].asString());
    }
    log_alarm_action(req, r, body.by, true, "");
    // The alarm as the API lists it now.
    if (const auto d = devices.device(r.device))
        for (const AlarmView& a : d->alarms)
            if (a.id == r.key) return send_json(res, 200, alarm_json(a));
    send_json(res, 200, result);
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

// The page's list of the last alarm changes, from the history's alarm log.
Json::Value HttpService::Impl::alarm_changes(const std::string& device) {
    AlarmLogQuery q;
    q.device = device;
    q.newest = kPageAlarmChanges;
    try {
        return run_alarm_log_query(opt.history_path, q)["changes"];
    } catch (const std::exception& e) {
        log_warning(std::string("http: alarm changes from history: ") + e.what());
    }
    return Json::Value(Json::arrayValue);
}

void HttpService::Impl::page(Response& res) {
    Json::Value state;
    state["generated"] = iso_time(devices.now());
    state["now"] = static_cast<Json::Int64>(devices.now());
    state["history"] = !opt.history_path.empty();
    Json::Value list(Json::arrayValue);
    for (const DeviceView& d : devices.devices()) {
        Json::Value v = device_detail_json(d);
        v["trend"] = trend(d.name);
        const Json::Value battery = battery_of(d.name);
        if (!battery.isNull()) v["battery"] = battery;
        if (!opt.history_path.empty()) v["alarm_changes"] = alarm_changes(d.name);
        list.append(v);
    }
    state["devices"] = list;
    res.status = 200;
    res.set_header("Cache-Control", "no-store");
    res.set_content(status_page(json_text(state)), "text/html; charset=utf-8");
}

HttpService::HttpService(HttpOptions options, DeviceSource& devices, EventHub& hub,
                         LineQueue& line, ValueLookup lookup, HttpCounters& counters)
    : impl_(std::make_unique<Impl>(std::move(options), devices, hub, line, std::move(lookup),
                                   counters)) {}

HttpService::~HttpService() { stop(); }

bool HttpService::start(std::string& error) {
    Impl* impl = impl_.get();
    ServerOptions server;
    server.listen = impl->opt.listen;
    if (!parse_listen(server.listen, server.host, server.port, error)) return false;
    server.tls_cert = impl->opt.tls_cert;
    server.tls_key = impl->opt.tls_key;
    server.max_connections = impl->opt.max_connections;
    server.max_per_client = impl->opt.max_per_client;
    server.stream_max_s = impl->opt.stream_max_s;
    server.query_deadline_s = impl->opt.query_deadline_s;
    set_query_deadline_s(impl->opt.query_deadline_s);
    server.host_names = impl->opt.host_names;
    ServerHandlers handlers;
    handlers.plan = [impl](const Request& req) { return impl->plan(req); };
    handlers.handle = [impl](const Request& req, Response& res) { impl->dispatch(req, res); };
    handlers.has_token = [impl](const Request& req) {
        return impl->may_acknowledge(bearer_token(req.get_header_value("Authorization")));
    };
    impl->server = std::make_unique<HttpServer>(server, handlers, impl->hub, impl->counters);
    if (!impl->server->start(error)) {
        impl->server.reset();
        return false;
    }
    host_ = server.host;
    port_ = impl->server->port();
    return true;
}

void HttpService::stop() {
    if (!impl_ || !impl_->server) return;
    impl_->hub.shut();
    impl_->server->stop();
    impl_->server.reset();
}

}  // namespace smdgw::http
