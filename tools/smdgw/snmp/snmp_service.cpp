#include "tools/smdgw/snmp/snmp_service.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <csignal>

#include "tools/smdgw/core/log.h"
#include "tools/smdgw/snmp/agentx_session.h"
#include "tools/smdgw/snmp/mib_module.h"

namespace smdgw::snmp {

namespace {

// The view is built again after a change, and at least this often (the
// sensors' time stamps move with the uptime).
constexpr double kViewMaxAge = 5.0;
// The longest wait of the agent thread's loop.
constexpr int kLoopMs = 1000;

const Oid kEntPhysicalTable = {1, 3, 6, 1, 2, 1, 47, 1, 1, 1};
const Oid kEntPhySensorTable = {1, 3, 6, 1, 2, 1, 99, 1, 1};

double steady_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::unique_ptr<NotificationSequence> SnmpService::open_sequence(const SnmpOptions& o) {
    if (!o.history_path.empty()) return NotificationSequence::in_database(o.history_path, kChannel);
    return NotificationSequence::in_file(o.sequence_file);
}

SnmpService::SnmpService(const SnmpOptions& options, std::unique_ptr<NotificationSequence> sequence,
                         const GatewayConfig& cfg, const DeviceStates& states, std::string version,
                         std::function<std::time_t()> now, const BatteryMonitor& battery)
    : options_(options),
      sequence_(std::move(sequence)),
      states_(states),
      battery_(battery),
      version_(std::move(version)),
      now_(now),
      events_(now) {
    for (const DeviceConfig& d : cfg.devices) {
        DeviceInfo info;
        info.name = d.name;
        // As the HTTP API shows it: the address given, none otherwise.
        if (d.entry["address"].isUInt()) info.address = static_cast<int32_t>(d.entry["address"].asUInt());
        info.role = d.role == DeviceRole::Master ? "master" : "listen";
        if (d.entry["stale_after_s"].isNumeric())
            info.sensor_max_age_s = d.entry["stale_after_s"].asDouble();
        devices_.push_back(info);
    }
    counters_.last_sequence = sequence_->last();
}

SnmpService::~SnmpService() { stop(); }

void SnmpService::start() {
    if (thread_.joinable()) return;
    thread_ = std::thread([this] { run(); });
}

void SnmpService::stop() {
    if (!thread_.joinable()) return;
    stop_ = true;
    events_.wake();
    thread_.join();
}

void SnmpService::run() {
    // net-snmp writes to snmpd's socket without MSG_NOSIGNAL: a vanished
    // snmpd must give EPIPE here, not end the gateway.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    pthread_setname_np(pthread_self(), "smdgw-snmp");

    AgentxSession::Settings settings;
    settings.address = options_.address;
    settings.persistent_dir = options_.persistent_dir;
    settings.ping_s = options_.ping_s;
    settings.subtrees = {kEntPhysicalTable, kEntPhySensorTable, options_.root};
    AgentxSession session(settings, [this](const Oid& name, bool exact, bool inclusive) {
        const MibView& v = view();
        return exact ? v.get(name) : v.next(name, inclusive);
    });
    counters_.connected = session.connected();
    if (!session.connected())
        log_warning("snmp: no AgentX master at " + options_.address +
                    " yet (is snmpd running with \"master agentx\"?); trying again every " +
                    std::to_string(options_.ping_s) + " s");
    double next_heartbeat = steady_s() + options_.heartbeat_s;
    while (true) {
        int wait_ms = kLoopMs;
        if (options_.heartbeat_s > 0)
            wait_ms = std::clamp(static_cast<int>((next_heartbeat - steady_s()) * 1000.0), 0, kLoopMs);
        session.run_once(events_.wake_fd(), wait_ms);
        counters_.connected = session.connected();
        counters_.registrations = session.registrations();
        counters_.disconnects = session.disconnects();
        counters_.requests = session.requests();
        // What was queued before a stop still goes out.
        const bool stopping = stop_;
        send_pending(session);
        if (stopping) break;
        if (options_.heartbeat_s > 0 && steady_s() >= next_heartbeat) {
            send_heartbeat(session);
            next_heartbeat = steady_s() + options_.heartbeat_s;
        }
    }
}

void SnmpService::send_pending(AgentxSession& session) {
    uint64_t dropped = 0;
    std::vector<PendingNotification> items = events_.take(dropped);
    if (items.empty() && dropped == 0) return;
    std::string error;
    // The numbers of what the full queue dropped are skipped: a gap the
    // manager sees.
    if (dropped > 0) {
        sequence_->take(dropped, error);
        counters_.dropped += dropped;
        if (auto held = drop_log_.allow(steady_s()))
            log_warning("snmp: " + std::to_string(dropped) +
                        " notifications dropped (more than " +
                        std::to_string(SnmpEvents::kCapacity) + " waited)" +
                        LogLimiter::held_note(*held));
    }
    const uint64_t first = items.empty() ? 0 : sequence_->take(items.size(), error);
    counters_.last_sequence = sequence_->last();
    if (!error.empty()) {
        ++counters_.sequence_errors;
        if (auto held = store_log_.allow(steady_s()))
            log_error("snmp: " + error + "; the notifications are sent all the same" +
                      LogLimiter::held_note(*held));
    }
    if (items.empty()) return;
    const Oid& root = options_.root;
    const std::vector<DeviceState> snapshot = states_.all();
    for (size_t i = 0; i < items.size(); ++i) {
        const PendingNotification& n = items[i];
        const uint64_t number = first + i;
        const auto it = std::find_if(snapshot.begin(), snapshot.end(),
                                     [&](const DeviceState& d) { return d.name == n.device; });
        if (it == snapshot.end()) continue;
        const uint32_t position = static_cast<uint32_t>(it - snapshot.begin() + 1);
        std::vector<MibVar> vars = {sequence_var(root, number)};
        Oid trap;
        if (n.kind == PendingNotification::Kind::StateChanged) {
            DeviceState d = *it;
            d.data_state = n.state;
            const std::vector<MibVar> dev = device_state_vars(root, position, d);
            vars.insert(vars.end(), dev.begin(), dev.end());
            trap = object_oid(root, "smdgwDeviceStateChanged");
        } else {
            const bool raised = n.kind == PendingNotification::Kind::Raised;
            AlarmState alarm = n.alarm;
            // When the host raised it; the snapshot has it once the host's set followed.
            const auto known = it->alarms.find(n.key);
            alarm.since = known != it->alarms.end() && known->second.since != 0
                              ? known->second.since
                              : n.time;
            const uint32_t row = rows_.row(n.device, n.key);
            const std::vector<MibVar> a = alarm_vars(root, row, n.device, n.key, alarm);
            vars.insert(vars.end(), a.begin(), a.end());
            if (!raised) rows_.release(n.device, n.key);
            trap = object_oid(root, raised ? "smdgwAlarmRaised" : "smdgwAlarmCleared");
        }
        if (session.notify(trap, vars))
            ++counters_.sent;
        else
            ++counters_.unsent;
    }
    // The table and smdgwNotificationSequence changed.
    view_built_ = -1.0;
}

void SnmpService::send_heartbeat(AgentxSession& session) {
    const MibView& v = view();
    const std::vector<MibVar> vars = {sequence_var(options_.root, sequence_->last()),
                                      alarms_active_var(options_.root, v.alarms_active())};
    if (session.notify(object_oid(options_.root, "smdgwHeartbeat"), vars))
        ++counters_.heartbeats;
}

const MibView& SnmpService::view() {
    const double now = steady_s();
    if (events_.take_changed() || view_built_ < 0.0 || now - view_built_ > kViewMaxAge) {
        GatewayFacts facts;
        facts.version = version_;
        facts.last_sequence = sequence_->last();
        facts.heartbeat_s = options_.heartbeat_s;
        facts.now = now_();
        facts.uptime_ticks = AgentxSession::uptime_ticks();
        const std::vector<DeviceState> states = states_.all();
        std::vector<std::optional<BatteryView>> batteries;
        for (const DeviceState& d : states) batteries.push_back(battery_.battery(d.name));
        view_ = MibView(options_.root, devices_, states, rows_, facts, batteries);
        view_built_ = now;
    }
    return view_;
}

Json::Value SnmpService::stats_line() const { return snmp_stats_line(counters_, options_.address); }

std::string SnmpService::prometheus_text() const { return snmp_prometheus_text(counters_); }

OpenedService open_snmp_service(const SnmpOptions& o, const ServiceContext& ctx) {
    OpenedService opened;
    if (!o.enabled()) return opened;
    try {
        std::unique_ptr<NotificationSequence> sequence = SnmpService::open_sequence(o);
        const std::function<int64_t()> now_ms = ctx.now_ms;
        opened.service = std::make_unique<SnmpService>(
            o, std::move(sequence), ctx.cfg, ctx.states, ctx.version,
            [now_ms] { return static_cast<std::time_t>(now_ms() / 1000); }, ctx.battery);
    } catch (const SequenceError& e) {
        log_error(std::string("snmp: ") + e.what());
        opened.status = e.file_unavailable() ? kExitFailure : kExitUsage;
    }
    return opened;
}

}  // namespace smdgw::snmp
