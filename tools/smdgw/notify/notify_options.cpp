#include "tools/smdgw/notify/notify_options.h"

#include <CLI/CLI.hpp>

#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/host_name.h"
#include "tools/smdgw/core/size_text.h"
#include "tools/smdgw/outbox/outbox_store.h"

namespace smdgw::notify {

bool NotifyOptions::check(const std::string& history_path, const std::string& gateway_id_option) {
    gateway_id = gateway_id_option.empty() ? host_name() : gateway_id_option;
    if (!parse_size_text(outbox_max, outbox_max_bytes) ||
        outbox_max_bytes < OutboxStore::kMinBytes) {
        log_error("--notify-outbox-max \"" + outbox_max +
                  "\" is not a size of at least 256k (bytes, or with k, M, G: 64M)");
        return false;
    }
    if (!public_url.empty() && public_url.rfind("http://", 0) != 0 &&
        public_url.rfind("https://", 0) != 0) {
        log_error("--public-url \"" + public_url + "\" must start with http:// or https://");
        return false;
    }
    for (unsigned char c : public_url)
        if (c <= 0x20 || c == 0x7f) {
            log_error("--public-url must not hold blanks or control characters");
            return false;
        }
    outbox_path = !outbox_file.empty() ? outbox_file : history_path;
    return true;
}

void add_notify_options(CLI::App& app, NotifyOptions& o) {
    app.add_option("--notify-outbox", o.outbox_file,
                   "Keep alarm notifications (mail, webhooks of the configuration's \"notify\") "
                   "in this SQLite file until delivered (default: the --history database)")
        ->type_name("FILE");
    app.add_option("--notify-outbox-max", o.outbox_max,
                   "Bound of the notification outbox; beyond it the oldest go first")
        ->capture_default_str()
        ->type_name("SIZE");
    app.add_option("--public-url", o.public_url,
                   "The status page's address as people reach it, named in notifications "
                   "(https://gw1.example.net:9443/)")
        ->type_name("URL");
    app.add_option("--test-notify", o.test_target,
                   "Send a test message to this notification target, print the outcome and exit "
                   "(0 delivered, 1 not)")
        ->type_name("TARGET");
}

}  // namespace smdgw::notify
