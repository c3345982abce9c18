#include "tools/smdgw/notify/notify_service.h"
#include "tools/smdgw/output/prometheus_render.h"
#include "tools/smdgw/output/record_samples.h"

namespace smdgw::notify {

namespace {

// Labelled families have one sample per target (target="pager").
//   smdgw_notify_sent_total{target="pager"} 12
constexpr MetricFamily kFamilies[] = {
    {"smdgw_notify_queued_total", "counter",
     "Notifications made for a target and handed to the outbox", true},
    {"smdgw_notify_sent_total", "counter", "Notifications a target's receiver took", true},
    {"smdgw_notify_failed_total", "counter",
     "Delivery attempts that failed (each notification is tried again)", true},
    {"smdgw_notify_dropped_total", "counter",
     "Notifications dropped: over the outbox's life at its bound or never stored; with "
     "reason=\"refused\" refused for good by the receiver in this run",
     true},
    {"smdgw_notify_waiting", "gauge", "Notifications in the outbox waiting for a target", true},
    {"smdgw_notify_failing", "gauge", "1 while a target's last attempt failed", true},
    {"smdgw_notify_outbox_errors_total", "counter", "Writes to the notification outbox that failed"},
    {"smdgw_notify_outbox_messages", "gauge", "Notifications stored in the outbox"},
};

}  // namespace

Json::Value NotifyService::stats_line() const {
    Json::Value v;
    v["event"] = "stats";
    v["service"] = "notify";
    Json::Value targets(Json::objectValue);
    for (size_t t = 0; t < cfg_.targets.size(); ++t) {
        const TargetCounters& c = counters_.targets[t];
        Json::Value one;
        one["type"] = cfg_.targets[t].type == NotifyTarget::Type::Webhook ? "webhook" : "email";
        one["queued"] = static_cast<Json::UInt64>(c.queued.load());
        one["sent"] = static_cast<Json::UInt64>(c.sent.load());
        one["failed"] = static_cast<Json::UInt64>(c.failed.load());
        one["refused"] = static_cast<Json::UInt64>(c.refused.load());
        one["dropped"] =
            static_cast<Json::UInt64>(dropped_so_far(*storage_.outbox, counters_.outbox, t));
        one["waiting"] = static_cast<Json::UInt64>(c.waiting.load());
        targets[cfg_.targets[t].name] = one;
    }
    v["targets"] = targets;
    v["events"] = static_cast<Json::UInt64>(counters_.events.load());
    v["events_overflowed"] = static_cast<Json::UInt64>(events_.overflowed());
    v["sequence"] = static_cast<Json::UInt64>(counters_.last_sequence.load());
    v["outbox_errors"] = static_cast<Json::UInt64>(counters_.outbox.errors.load());
    v["outbox_messages"] = static_cast<Json::UInt64>(storage_.outbox->messages());
    return v;
}

std::string NotifyService::prometheus_text() const {
    const double values[] = {
        0.0, 0.0, 0.0, 0.0, 0.0, 0.0,  // by target, below
        static_cast<double>(counters_.outbox.errors.load()),
        static_cast<double>(storage_.outbox->messages()),
    };
    static_assert(sizeof values / sizeof values[0] == sizeof kFamilies / sizeof kFamilies[0],
                  "one value per family");
    return render_families(kFamilies, values, sizeof values / sizeof values[0], [&](size_t i) {
        std::string out;
        for (size_t t = 0; t < cfg_.targets.size(); ++t) {
            const TargetCounters& c = counters_.targets[t];
            double v = 0.0;
            switch (i) {
                case 0: v = static_cast<double>(c.queued.load()); break;
                case 1: v = static_cast<double>(c.sent.load()); break;
                case 2: v = static_cast<double>(c.failed.load()); break;
                case 3:
                    v = static_cast<double>(dropped_so_far(*storage_.outbox, counters_.outbox, t));
                    // What a receiver refused for good, beside the outbox's drops.
                    out += std::string(kFamilies[i].name) + "{target=\"" +
                           prometheus_label(cfg_.targets[t].name) + "\",reason=\"refused\"} " +
                           shortest_text(static_cast<double>(c.refused.load())) + "\n";
                    break;
                case 4: v = static_cast<double>(c.waiting.load()); break;
                default: v = c.failing.load() ? 1.0 : 0.0; break;
            }
            out += std::string(kFamilies[i].name) + "{target=\"" +
                   prometheus_label(cfg_.targets[t].name) + "\"} " + shortest_text(v) + "\n";
        }
        return out;
    });
}

}  // namespace smdgw::notify
