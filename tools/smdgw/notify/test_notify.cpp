#include "tools/smdgw/notify/test_notify.h"

#include <iostream>

#include "tools/smdgw/core/exit_status.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/url_secrets.h"
#include "tools/smdgw/notify/notify_message.h"
#include "tools/smdgw/notify/notify_service.h"

namespace smdgw::notify {

int test_notify(const NotifyConfig& cfg, const NotifyOptions& o, int64_t now_ms) {
    const NotifyTarget* target = cfg.find(o.test_target);
    if (!target) {
        std::string names;
        for (const NotifyTarget& t : cfg.targets) names += (names.empty() ? "" : ", ") + t.name;
        log_error("--test-notify \"" + o.test_target + "\": no such target in \"notify.targets\"" +
                  (names.empty() ? " (none configured)" : " (" + names + ")"));
        return kExitUsage;
    }
    NotifyEvent e;
    e.device = "smdgw";
    e.raised = true;
    e.english = "Test message from smdgw";
    e.message = "test";
    e.value = "test";
    e.alarm_id = "smdgw-test";
    e.key = "test";
    e.id = "smdgw.test";
    e.time_ms = e.since_ms = now_ms;
    e.json = "{\"device\":\"smdgw\",\"english\":\"Test message from smdgw\",\"event\":\"test\"}";
    MessageContext ctx;
    ctx.gateway_id = o.gateway_id;
    ctx.site = cfg.site.empty() ? o.gateway_id : cfg.site;
    ctx.public_url = o.public_url;
    ctx.level_names = cfg.level_names;
    ctx.now_ms = now_ms;
    // A test takes no number of the sequence: its key says it is a test.
    const std::string key = o.gateway_id + ":test-" + std::to_string(now_ms);
    ctx.key = key;
    const bool webhook = target->type == NotifyTarget::Type::Webhook;
    const std::string body =
        webhook ? webhook_body(ctx, {e})
                : mail_message(ctx, *target, {e});
    const std::string stored = payload(key, body);
    const DeliveryAnswer r = deliver(*target, stored, nullptr);
    const bool delivered = r.outcome == DeliveryOutcome::Delivered;
    std::cout << "notify: test message to \"" << target->name << "\" ("
              << (webhook ? "webhook " + url_without_secrets(target->url)
                          : "email " + url_without_secrets(target->smtp_url))
              << "): " << (delivered ? "delivered (" + r.text + ")" : "not delivered: " + r.text)
              << "\n";
    std::cout.flush();
    return delivered ? kExitOk : kExitFailure;
}

}  // namespace smdgw::notify
