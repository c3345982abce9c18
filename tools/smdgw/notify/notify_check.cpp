#include "tools/smdgw/notify/notify_check.h"

#include "tools/smdgw/core/exit_status.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/url_secrets.h"

namespace smdgw::notify {

bool load_notify(const GatewayConfig& cfg, NotifyConfig& out) {
    std::vector<std::string> errors;
    out = parse_notify_config(cfg.notify, errors);
    if (errors.empty()) load_secrets(out, errors);
    for (const std::string& e : errors) log_error(cfg.path + ": " + e);
    return errors.empty();
}

int check_notify(const std::string& config_path, const NotifyOptions& o, std::FILE* out) {
    GatewayConfig cfg;
    try {
        cfg = load_config(config_path, false);
    } catch (const ConfigError&) {
        return kExitUsage;  // said by the check before
    }
    NotifyConfig n;
    if (!load_notify(cfg, n)) return kExitUsage;
    if (!n.enabled()) return kExitOk;
    if (o.outbox_path.empty()) {
        log_error(config_path + ": \"notify\" needs --notify-outbox FILE or --history FILE to keep "
                  "notifications until they are delivered");
        return kExitUsage;
    }
    for (const NotifyTarget& t : n.targets) {
        std::string what;
        if (t.type == NotifyTarget::Type::Webhook)
            what = "webhook " + url_without_secrets(t.url) +
                   (t.secret.empty() ? ", unsigned" : ", signed");
        else
            what = "email " + url_without_secrets(t.smtp_url) + " to " +
                   std::to_string(t.to.size()) + (t.to.size() == 1 ? " address" : " addresses") +
                   (t.starttls_required ? ", TLS required" : ", STARTTLS optional") +
                   (t.user.empty() ? "" : ", login " + t.user);
        std::fprintf(out, "notify: target \"%s\" %s\n", t.name.c_str(), what.c_str());
    }
    std::fprintf(out, "notify: %zu %s; outbox %s\n", n.routes.size(),
                 n.routes.size() == 1 ? "route" : "routes", o.outbox_path.c_str());
    std::fflush(out);
    return kExitOk;
}

}  // namespace smdgw::notify
