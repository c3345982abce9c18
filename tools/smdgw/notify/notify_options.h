#pragma once
// smdgw's options for alarm notifications; the targets and routes themselves
// are in the configuration's "notify" object (notify_config.h).

#include <cstdint>
#include <string>

namespace CLI {
class App;
}

namespace smdgw::notify {

struct NotifyOptions {
    std::string outbox_file;  // --notify-outbox
    std::string outbox_max = "64M";
    std::string public_url;   // --public-url
    std::string test_target;  // --test-notify

    // After check(): the outbox's file ("" when neither --notify-outbox nor
    // --history was given), its bound, the gateway ID.
    std::string outbox_path;
    uint64_t outbox_max_bytes = 0;
    std::string gateway_id;

    // Logs a usage error and returns false for a bad value.
    bool check(const std::string& history_path, const std::string& gateway_id_option);
};

void add_notify_options(CLI::App& app, NotifyOptions& o);

}  // namespace smdgw::notify
