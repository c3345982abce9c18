#include "tools/smdgw/snmp/snmp_service.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <csignal>

#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/steady_time.h"
#include "tools/smdgw/history/history_schema.h"
#include "tools/smdgw/outbox/stop_report.h"
#include "tools/smdgw/snmp/agentx_session.h"
#include "tools/smdgw/snmp/mib_module.h"

namespace smdgw::snmp {

namespace {

// The view is built again after a change, and at least this often (the
// sensors' time stamps move with the uptime).
constexpr double kViewMaxAge = 5.0;
// The outbox's one target: every notification goes to snmpd, in order.
constexpr const char* kTarget = "snmpd";
// The longest wait of the agent thread's loop.
constexpr int kLoopMs = 1000;

const Oid kEntPhysicalTable = {1, 3, 6, 1, 2, 1, 47, 1, 1, 1};
const Oid kEntPhySensorTable = {1, 3, 6, 1, 2, 1, 99, 1, 1};

}  // namespace

std::unique_ptr<NotificationSequence> SnmpService::open_sequence(const SnmpOptions& o) {
    if (o.history_path.empty()) return NotificationSequence::in_file(o.sequence_file);
    std::vector<std::unique_ptr<NotificationSequence>> stores;
    stores.push_back(NotificationSequence::in_file(o.sequence_file));
    stores.push_back(NotificationSequence::in_database(o.history_path, kChannel));
    return NotificationSequence::highest_of(std::move(stores));
}

std::unique_ptr<OutboxStore> SnmpService::open_outbox(const SnmpOptions& o) {
    OutboxSpec spec;
    spec.path = o.outbox_path;
    spec.name = "snmp";
    spec.max_bytes = kOutboxMaxBytes;
    spec.kinds = {"notification"};
    spec.host_application_id = kHistoryApplicationId;
    return std::make_unique<OutboxStore>(std::move(spec));
}

SnmpService::SnmpService(const SnmpOptions& options, std::unique_ptr<NotificationSequence> sequence,
                         std::unique_ptr<OutboxStore> outbox, const GatewayConfig& cfg,
                         const DeviceStates& states, std::string version,
                         std::function<std::time_t()> now, const BatteryMonitor& battery)
    : options_(options),
      sequence_(std::move(sequence)),
      states_(states),
      battery_(battery),
      version_(std::move(version)),
      now_(now),
      events_(now),
      outbox_(std::move(outbox)),
      handoff_([this] { events_.wake(); }) {
    OutboxWriterOptions w;
    w.log_name = "snmp: outbox";
    writer_ = std::make_unique<OutboxWriter>(*outbox_, outbox_counters_, std::move(w));
    DeliveryLoopOptions d;
    d.log_name = "snmp";
    d.noun = "notification";
    d.targets = {kTarget};
    d.counters = [this](size_t) -> DeliveryCounters& { return counters_.delivery; };
    d.lost_before = [this] { return counters_.dropped.load(); };
    delivery_ = std::make_unique<DeliveryLoop>(*outbox_, *writer_, outbox_counters_, handoff_,
                                               std::move(d));
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

bool SnmpService::start() {
    if (thread_.joinable() || stopped_) return true;
    thread_ = std::thread([this] { run(); });
    return true;
}

void SnmpService::stop() {
    if (stopped_) return;
    stopped_ = true;
    const auto start = std::chrono::steady_clock::now();
    const auto drain_until = start + steady_duration(kDrainSeconds);
    if (thread_.joinable()) {
        // What the events queued is numbered and handed to the writer first.
        flush_ = true;
        events_.wake();
        std::unique_lock<std::mutex> lock(flush_mutex_);
        flushed_cv_.wait_until(lock, drain_until, [this] { return flushed_; });
    }
    // The agent thread serves the sender while it drains.
    const bool delivered = delivery_->stop(drain_until);
    handoff_.close();
    if (thread_.joinable()) {
        stop_ = true;
        events_.wake();
        thread_.join();
    }
    StopReport r;
    r.log_name = "snmp";
    r.noun = "notification";
    r.bound_s = static_cast<int>(kDrainSeconds + kStopMarginSeconds);
    const bool written = stop_writer_and_report(r, *writer_, *outbox_, outbox_counters_, start);
    if (!delivered || !written) {
        // A thread still waits on the disk and uses these for the little
        // time left before the process exits.
        (void)delivery_.release();
        (void)writer_.release();
        (void)outbox_.release();
    }
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
    double next_heartbeat = steady_seconds() + options_.heartbeat_s;
    bool flush_said = false;
    while (true) {
        int wait_ms = kLoopMs;
        if (options_.heartbeat_s > 0)
            wait_ms = std::clamp(static_cast<int>((next_heartbeat - steady_seconds()) * 1000.0),
                                 0, kLoopMs);
        session.run_once(events_.wake_fd(), wait_ms);
        counters_.connected = session.connected();
        counters_.registrations = session.registrations();
        counters_.disconnects = session.disconnects();
        counters_.requests = session.requests();
        const bool stopping = stop_;
        const bool flushing = flush_;
        store_pending();
        if (flushing && !flush_said) {
            flush_said = true;
            std::lock_guard<std::mutex> lock(flush_mutex_);
            flushed_ = true;
            flushed_cv_.notify_all();
        }
        handoff_.serve([&](const StoredTrap& t) { return session.notify(t.trap, t.vars); });
        if (stopping) break;
        if (options_.heartbeat_s > 0 && steady_seconds() >= next_heartbeat) {
            send_heartbeat(session);
            next_heartbeat = steady_seconds() + options_.heartbeat_s;
        }
    }
}

void SnmpService::store_pending() {
    uint64_t dropped = 0;
    std::vector<PendingNotification> items = events_.take(dropped);
    if (items.empty() && dropped == 0) return;
    std::string error;
    // The numbers of what the full queue dropped are skipped: a gap the
    // manager sees.
    if (dropped > 0) {
        sequence_->take(dropped, error);
        counters_.dropped += dropped;
        if (auto held = drop_log_.allow(steady_seconds()))
            log_warning("snmp: " + std::to_string(dropped) +
                        " notifications dropped (more than " +
                        std::to_string(SnmpEvents::kCapacity) + " waited)" +
                        LogLimiter::held_note(*held));
    }
    const uint64_t first = items.empty() ? 0 : sequence_->take(items.size(), error);
    counters_.last_sequence = sequence_->last();
    if (!error.empty()) {
        ++counters_.sequence_errors;
        if (auto held = store_log_.allow(steady_seconds()))
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
            const std::vector<MibVar> a = alarm_vars(root, row, n.device, n.key, alarm, n.reason);
            vars.insert(vars.end(), a.begin(), a.end());
            if (!raised) rows_.release(n.device, n.key);
            trap = object_oid(root, raised ? "smdgwAlarmRaised" : "smdgwAlarmCleared");
        }
        OutgoingMessage m;
        m.stream = kChannel;
        m.target = kTarget;
        m.payload = trap_payload(trap, vars);
        m.created_ms = static_cast<int64_t>(n.time) * 1000;
        writer_->add(std::move(m));
    }
    delivery_->wake();
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
    const double now = steady_seconds();
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

Json::Value SnmpService::stats_line() const {
    return snmp_stats_line(counters_, options_.address,
                           dropped_so_far(*outbox_, outbox_counters_, 0));
}

std::string SnmpService::prometheus_text() const {
    return snmp_prometheus_text(counters_, dropped_so_far(*outbox_, outbox_counters_, 0));
}

OpenedService open_snmp_service(const SnmpOptions& o, const ServiceContext& ctx) {
    OpenedService opened;
    if (!o.enabled()) return opened;
    try {
        std::unique_ptr<NotificationSequence> sequence = SnmpService::open_sequence(o);
        std::unique_ptr<OutboxStore> outbox = SnmpService::open_outbox(o);
        const std::function<int64_t()> now_ms = ctx.now_ms;
        opened.service = std::make_unique<SnmpService>(
            o, std::move(sequence), std::move(outbox), ctx.cfg, ctx.states, ctx.version,
            [now_ms] { return static_cast<std::time_t>(now_ms() / 1000); }, ctx.battery);
    } catch (const SequenceError& e) {
        log_error(std::string("snmp: ") + e.what());
        opened.status = e.file_unavailable() ? kExitFailure : kExitUsage;
    } catch (const OutboxError& e) {
        log_error(std::string("snmp: ") + e.what());
        opened.status = e.file_unavailable() ? kExitFailure : kExitUsage;
    }
    return opened;
}

}  // namespace smdgw::snmp
