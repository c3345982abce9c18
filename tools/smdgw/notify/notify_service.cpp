#include "tools/smdgw/notify/notify_service.h"

#include "tools/smdgw/core/bounded_join.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/steady_time.h"
#include "tools/smdgw/history/history_store.h"
#include "tools/smdgw/notify/alarm_facts.h"
#include "tools/smdgw/notify/notify_router.h"
#include "tools/smdgw/notify/smtp_sender.h"
#include "tools/smdgw/notify/webhook_sender.h"
#include "tools/smdgw/outbox/stop_report.h"

namespace smdgw::notify {

namespace {

constexpr const char* kChannel = "notify";
// The grouping thread looks for due bursts this often.
constexpr auto kPoll = std::chrono::milliseconds(50);

}  // namespace

DeliveryAnswer deliver(const NotifyTarget& target, const std::string& stored,
                       const std::atomic<bool>* abort) {
    std::string key, body;
    // A damaged row would be damaged at every try.
    if (!split_payload(stored, key, body))
        return {DeliveryOutcome::RefusedForGood, "not a notification (damaged row)"};
    if (target.type == NotifyTarget::Type::Webhook) return post_webhook(target, key, body, abort);
    return send_mail(target, body, abort);
}

NotifyStorage NotifyService::open_storage(const NotifyOptions& o, const NotifyConfig& cfg) {
    OutboxSpec spec;
    spec.path = o.outbox_path;
    spec.name = "notify";
    spec.max_bytes = o.outbox_max_bytes;
    for (const NotifyTarget& t : cfg.targets) spec.kinds.push_back(t.name);
    spec.host_application_id = HistoryStore::kApplicationId;
    NotifyStorage s;
    s.outbox = std::make_unique<OutboxStore>(std::move(spec));
    s.sequence = NotificationSequence::in_database(o.outbox_path, kChannel);
    return s;
}

NotifyService::NotifyService(const NotifyOptions& o, NotifyConfig cfg, NotifyStorage storage,
                             std::function<int64_t()> now_ms, std::function<double()> mono_s,
                             const DeviceStates* states, const BatteryMonitor* battery)
    : options_(o),
      cfg_(std::move(cfg)),
      storage_(std::move(storage)),
      now_ms_(std::move(now_ms)),
      mono_s_(std::move(mono_s)),
      states_(states),
      battery_(battery),
      events_(now_ms_),
      grouper_(cfg_.targets.size()) {
    counters_.last_sequence = storage_.sequence->last();
    OutboxWriterOptions w;
    w.log_name = "notify: outbox";
    writer_ = std::make_unique<OutboxWriter>(*storage_.outbox, counters_.outbox, std::move(w));
    DeliveryLoopOptions d;
    d.log_name = "notify";
    d.noun = "notification";
    for (const NotifyTarget& t : cfg_.targets) d.targets.push_back(t.name);
    d.counters = [this](size_t t) -> DeliveryCounters& { return counters_.targets[t]; };
    d.lost_before = [this] { return events_.overflowed() + counters_.unnumbered.load(); };
    delivery_ = std::make_unique<DeliveryLoop>(*storage_.outbox, *writer_, counters_.outbox,
                                               backend_, std::move(d));
    grouping_ = std::thread([this] { group_loop(); });
}

DeliveryAnswer NotifyService::Backend::deliver(size_t target, const StoredMessage& m,
                                               const std::atomic<bool>& abort) {
    return notify::deliver(cfg_.targets[target], m.payload, &abort);
}

NotifyService::~NotifyService() { stop(); }

void NotifyService::group_loop() {
    for (;;) {
        const bool stopping = stop_grouping_.load();
        for (NotifyEvent& e : events_.take(stopping ? std::chrono::milliseconds(0) : kPoll)) {
            const std::vector<size_t> to = route_targets(cfg_, e.device, e.level, e.alarm_id);
            if (to.empty()) continue;
            counters_.events++;
            add_facts(e);
            for (size_t t : to) grouper_.add(t, e, mono_s_());
        }
        for (const Burst& b : stopping ? grouper_.take_all() : grouper_.take_due(mono_s_()))
            make_message(b);
        if (stopping) break;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    grouped_ = true;
    grouped_cv_.notify_all();
}

void NotifyService::add_facts(NotifyEvent& e) const {
    if (!states_) return;
    // The battery first: its monitor is not read under the states' lock.
    const std::optional<BatteryView> battery =
        battery_ ? battery_->battery(e.device) : std::nullopt;
    const std::string battery_json = battery ? battery_->json(e.device) : std::string();
    states_->read(e.device, [&](const DeviceState& d) {
        AlarmFacts f =
            alarm_facts(d, battery, battery_json, e, level_name(cfg_.level_names, e.level));
        e.fact_lines = std::move(f.lines);
        e.facts_json = std::move(f.json);
    });
}

void NotifyService::make_message(const Burst& burst) {
    const NotifyTarget& target = cfg_.targets[burst.target];
    std::string error;
    MessageContext ctx;
    ctx.gateway_id = options_.gateway_id;
    ctx.site = cfg_.site.empty() ? options_.gateway_id : cfg_.site;
    ctx.public_url = options_.public_url;
    ctx.level_names = cfg_.level_names;
    // On the disk before the message exists: a number whose store failed
    // could come again after a restart, so no message carries it.
    ctx.sequence = storage_.sequence->take(1, error);
    counters_.last_sequence = ctx.sequence;
    if (!error.empty()) {
        counters_.unnumbered++;
        if (auto held = sequence_log_.allow(steady_seconds()))
            log_warning("notify: " + error + "; the notification to \"" + target.name +
                        "\" is dropped" + LogLimiter::held_note(*held));
        return;
    }
    ctx.now_ms = now_ms_();
    OutgoingMessage m;
    m.stream = kChannel;
    m.target = target.name;
    m.kind = static_cast<uint8_t>(burst.target);
    m.created_ms = ctx.now_ms;
    if (target.type == NotifyTarget::Type::Webhook)
        m.payload = payload(idempotency_key(ctx.gateway_id, ctx.sequence),
                            webhook_body(ctx, burst.events));
    else
        m.payload = payload(message_id(ctx.gateway_id, ctx.sequence, target.from),
                            mail_message(ctx, target, burst.events));
    counters_.targets[burst.target].queued++;
    writer_->add(std::move(m));
    delivery_->wake();
}

void NotifyService::stop() {
    if (stopped_) return;
    stopped_ = true;
    const auto start = std::chrono::steady_clock::now();
    const auto drain_until = start + steady_duration(kDrainSeconds);
    stop_grouping_ = true;
    events_.wake();
    bool grouped = false;
    {
        // The last bursts are numbered on the disk: bounded like the rest.
        std::unique_lock<std::mutex> lock(mutex_);
        grouped = join_until(grouping_, lock, grouped_cv_, grouped_, drain_until);
    }
    // The loop goes on while receivers take what is left; then every
    // transfer is cut short.
    const bool delivered = delivery_->stop(drain_until);
    StopReport r;
    r.log_name = "notify";
    r.noun = "notification";
    r.bound_s = static_cast<int>(kDrainSeconds + kStopMarginSeconds);
    const bool written =
        stop_writer_and_report(r, *writer_, *storage_.outbox, counters_.outbox, start);
    if (!grouped || !delivered || !written) {
        // A thread still waits on the disk or a receiver and uses these:
        // they stay for the little time left before the process exits.
        (void)delivery_.release();
        (void)writer_.release();
        (void)storage_.outbox.release();
        (void)storage_.sequence.release();
    }
}

OpenedService open_notify_service(const NotifyOptions& o, NotifyConfig cfg,
                                  const ServiceContext& ctx) {
    OpenedService opened;
    if (!cfg.enabled()) return opened;
    if (o.outbox_path.empty()) {
        log_error(ctx.cfg.path + ": \"notify\" needs --notify-outbox FILE or --history FILE to "
                  "keep notifications until they are delivered");
        opened.status = kExitUsage;
        return opened;
    }
    try {
        NotifyStorage storage = NotifyService::open_storage(o, cfg);
        opened.service = std::make_unique<NotifyService>(o, std::move(cfg), std::move(storage),
                                                         ctx.now_ms, ctx.mono_s, &ctx.states,
                                                         &ctx.battery);
    } catch (const OutboxError& e) {
        log_error(std::string("notify: ") + e.what());
        opened.status = e.file_unavailable() ? kExitFailure : kExitUsage;
    } catch (const SequenceError& e) {
        log_error(std::string("notify: ") + e.what());
        opened.status = e.file_unavailable() ? kExitFailure : kExitUsage;
    }
    return opened;
}

}  // namespace smdgw::notify
