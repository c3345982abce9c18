#include "tools/smdgw/notify/notify_service.h"

#include <algorithm>

#include "tools/smdgw/core/log.h"
#include "tools/smdgw/history/history_store.h"
#include "tools/smdgw/notify/notify_router.h"
#include "tools/smdgw/notify/smtp_sender.h"
#include "tools/smdgw/notify/webhook_sender.h"

namespace smdgw::notify {

namespace {

constexpr const char* kChannel = "notify";
// Messages read from the outbox at a time by the sender.
constexpr size_t kReadBatch = 64;
// The grouping thread looks for due bursts this often; the sender looks for
// a stored message this often while the writer has one in hand.
constexpr auto kPoll = std::chrono::milliseconds(50);
constexpr double kPollSeconds = 0.05;

std::chrono::steady_clock::duration seconds(double s) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(s));
}

std::string count_of(uint64_t n, const char* noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

}  // namespace

DeliveryResult deliver(const NotifyTarget& target, const std::string& stored,
                       const std::atomic<bool>* abort) {
    std::string key, body;
    if (!split_payload(stored, key, body)) return {false, "not a notification (damaged row)"};
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
                             std::function<int64_t()> now_ms,
                             std::function<double()> mono_s)
    : options_(o),
      cfg_(std::move(cfg)),
      storage_(std::move(storage)),
      now_ms_(std::move(now_ms)),
      mono_s_(std::move(mono_s)),
      events_(now_ms_),
      grouper_(cfg_.targets.size()),
      targets_(cfg_.targets.size()) {
    counters_.last_sequence = storage_.sequence->last();
    OutboxWriterOptions w;
    w.log_name = "notify: outbox";
    writer_ = std::make_unique<OutboxWriter>(*storage_.outbox, counters_.outbox, std::move(w));
    grouping_ = std::thread([this] { group_loop(); });
    sending_ = std::thread([this] { send_loop(); });
}

NotifyService::~NotifyService() { stop(); }

double NotifyService::real_s() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void NotifyService::group_loop() {
    for (;;) {
        const bool stopping = stop_grouping_.load();
        for (NotifyEvent& e : events_.take(stopping ? std::chrono::milliseconds(0) : kPoll)) {
            const std::vector<size_t> to = route_targets(cfg_, e.device, e.level, e.alarm_id);
            if (to.empty()) continue;
            counters_.events++;
            for (size_t t : to) grouper_.add(t, e, mono_s_());
        }
        for (const Burst& b : stopping ? grouper_.take_all() : grouper_.take_due(mono_s_()))
            make_message(b);
        if (stopping) return;
    }
}

void NotifyService::make_message(const Burst& burst) {
    const NotifyTarget& target = cfg_.targets[burst.target];
    std::string error;
    MessageContext ctx;
    ctx.gateway_id = options_.gateway_id;
    ctx.site = cfg_.site.empty() ? options_.gateway_id : cfg_.site;
    ctx.public_url = options_.public_url;
    // On the disk before the message exists: a number is never given twice.
    ctx.sequence = storage_.sequence->take(1, error);
    counters_.last_sequence = ctx.sequence;
    if (!error.empty()) {
        if (auto held = sequence_log_.allow(real_s()))
            log_warning("notify: " + error + LogLimiter::held_note(*held));
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
    {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
    }
    wake_.notify_all();
}

void NotifyService::send_loop() {
    for (;;) {
        double next_retry_s = 0.0;
        const bool delivered = send_pass(next_retry_s);
        report_drops();
        if (stop_sending_.load() && !delivered && (writer_->idle() || abort_.load())) return;
        if (delivered) continue;
        // A pass reads the whole outbox: while nothing new waits to be
        // stored, the next one is at the earliest retry, or a second on.
        double wait_s = 1.0;
        if (!writer_->idle())
            wait_s = kPollSeconds;
        else if (next_retry_s > 0.0)
            wait_s = std::clamp(next_retry_s - real_s(), kPollSeconds, 1.0);
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_for(lock, seconds(wait_s), [this] { return stop_sending_.load() || woken_; });
        woken_ = false;
    }
}

bool NotifyService::send_pass(double& next_retry_s) {
    std::vector<bool> blocked(cfg_.targets.size(), false);
    std::vector<uint64_t> waiting(cfg_.targets.size(), 0);
    bool delivered = false;
    int64_t after = 0;
    for (;;) {
        const std::vector<StoredMessage> rows =
            storage_.outbox->read_after(after, kReadBatch, std::chrono::milliseconds(200));
        if (rows.empty()) break;
        for (const StoredMessage& row : rows) {
            after = row.id;
            if (writer_->acknowledged(row.id)) continue;
            const size_t t = cfg_.index(row.target);
            if (t >= cfg_.targets.size()) {
                // Stored for a target the configuration no longer has.
                log_warning("notify: a message for target \"" + row.target +
                            "\", which the configuration no longer has, is dropped");
                writer_->acknowledge({row.id});
                continue;
            }
            ++waiting[t];
            TargetState& ts = targets_[t];
            const double now = real_s();
            // Per target, oldest first: one that fails holds back the later ones.
            if (blocked[t] || abort_.load() || (ts.failing && now < ts.retry_at_s)) {
                blocked[t] = true;
                continue;
            }
            const NotifyTarget& target = cfg_.targets[t];
            const DeliveryResult r = deliver(target, row.payload, &abort_);
            TargetCounters& c = counters_.targets[t];
            if (r.ok) {
                writer_->acknowledge({row.id});
                --waiting[t];
                c.sent++;
                delivered = true;
                if (ts.failing)
                    log_info("notify: target \"" + target.name + "\" delivers again (" + r.text +
                             ") after " + std::to_string(static_cast<long>(now - ts.failing_since_s)) +
                             " s");
                ts.failing = false;
                ts.backoff.reset();
                ts.log.reset();
                c.failing = false;
                continue;
            }
            if (r.text == "stopped") {
                blocked[t] = true;
                continue;
            }
            c.failed++;
            c.failing = true;
            if (!ts.failing) ts.failing_since_s = now;
            ts.failing = true;
            ts.retry_at_s = now + ts.backoff.next_delay(now - ts.failing_since_s);
            blocked[t] = true;
            if (auto held = ts.log.allow(now))
                log_warning("notify: target \"" + target.name + "\" failed: " + r.text +
                            "; tried again in " +
                            std::to_string(static_cast<int>(ts.retry_at_s - now + 0.5)) + " s" +
                            LogLimiter::held_note(*held));
        }
    }
    for (size_t t = 0; t < waiting.size(); ++t) {
        counters_.targets[t].waiting = waiting[t];
        if (targets_[t].failing && (next_retry_s == 0.0 || targets_[t].retry_at_s < next_retry_s))
            next_retry_s = targets_[t].retry_at_s;
    }
    return delivered;
}

void NotifyService::report_drops() {
    uint64_t total = 0;
    for (size_t k = 0; k < cfg_.targets.size(); ++k)
        total += dropped_so_far(*storage_.outbox, counters_.outbox, k);
    total += events_.overflowed();
    if (total <= drops_said_) return;
    if (auto held = drop_log_.allow(real_s())) {
        log_warning("notify: " + count_of(total - drops_said_, "notification") +
                    " dropped (the outbox at its bound, or not stored); " +
                    count_of(total, "notification") + " dropped in all" +
                    LogLimiter::held_note(*held));
        drops_said_ = total;
    }
}

void NotifyService::stop() {
    if (stopped_) return;
    stopped_ = true;
    const auto start = std::chrono::steady_clock::now();
    stop_grouping_ = true;
    events_.wake();
    grouping_.join();
    // The sender goes on while receivers take what is left; then every
    // transfer is cut short.
    stop_sending_ = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
    }
    wake_.notify_all();
    std::thread timer([this, start] {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_until(lock, start + seconds(kDrainSeconds), [this] { return abort_.load(); });
        abort_ = true;
    });
    sending_.join();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        abort_ = true;
    }
    wake_.notify_all();
    timer.join();
    const bool written = writer_->stop(std::chrono::steady_clock::now() + seconds(1.0));
    if (!written) {
        log_error("notify: the outbox did not answer in time; notifications waiting in memory "
                  "are lost");
        (void)writer_.release();
        (void)storage_.outbox.release();
        return;
    }
    if (storage_.outbox->messages() > 0)
        log_info("notify: " + count_of(storage_.outbox->messages(), "notification") +
                 " remain in the outbox " + storage_.outbox->path() +
                 "; they go at the next start");
    const uint64_t lost = total_count(writer_->dropped_this_run());
    if (lost > 0)
        log_warning("notify: " + count_of(lost, "notification") +
                    " could not be stored in this run");
}

}  // namespace smdgw::notify
