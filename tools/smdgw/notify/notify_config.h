#pragma once
// The configuration's "notify" object: named targets (a webhook, an e-mail
// recipient list) and the routes that send alarm changes to them.
//
//   "notify": {
//     "site": "exchange-north",
//     "targets": {
//       "pager": {"type": "webhook", "url": "https://pager.example.net/hook",
//                 "secret_file": "/etc/smdgw/pager.secret"},
//       "oncall": {"type": "email", "smtp_url": "smtp://mail.example.net:587",
//                  "auth_file": "/etc/smdgw/mail.auth", "from": "smdgw@example.net",
//                  "to": ["oncall@example.net"]}
//     },
//     "routes": [
//       {"levels": [1], "targets": ["oncall"]},
//       {"alarm": "419415001", "targets": ["pager"]}
//     ]
//   }
//
// Every key is checked against the tables below, so a typo is an error that
// names the nearest known key, like every other key of the configuration.

#include <json/value.h>

#include <string>
#include <vector>

namespace smdgw::notify {

// One key of a target or a route: its name, what it holds, its default.
struct NotifyKey {
    const char* name;
    const char* dflt;  // "" when required or none
    const char* meaning;
};

inline constexpr NotifyKey kWebhookKeys[] = {
    {"type", "", "`\"webhook\"`"},
    {"url", "", "`http://` or `https://` address the alarm events are POSTed to"},
    {"secret_file", "", "file holding the HMAC-SHA256 key (first line, at least 16 bytes, "
                        "mode 0600, or 0640 with the service's group); without it no signature header"},
    {"ca_file", "", "CA certificates for a private `https://` receiver"},
    {"timeout_s", "10", "seconds one attempt may take (1 to 300)"},
};

inline constexpr NotifyKey kEmailKeys[] = {
    {"type", "", "`\"email\"`"},
    {"smtp_url", "", "`smtp://host[:port]` (STARTTLS) or `smtps://host[:port]` (TLS from the start)"},
    {"starttls", "required", "`required`: never send over plain text; `optional`: STARTTLS when "
                             "the server offers it (only for a server on the same host)"},
    {"ca_file", "", "CA certificates for a private mail server"},
    {"auth_file", "", "two lines, user name and password (as `--mqtt-auth`); without it no login; "
                      "the login is sent only over TLS (not with `\"starttls\": \"optional\"`)"},
    {"from", "", "the sender's address"},
    {"to", "", "the recipients' addresses (a list, at least one)"},
    {"timeout_s", "30", "seconds one attempt may take (1 to 300)"},
};

inline constexpr NotifyKey kRouteKeys[] = {
    {"device", "`*`", "device name pattern (`*` any text, `?` one character)"},
    {"levels", "all", "the alarm levels routed, a list (`[1]`: level 1 only)"},
    {"alarm", "`*`", "alarm ID pattern (`4194305*`)"},
    {"targets", "", "the targets' names (a list, at least one)"},
};

inline constexpr NotifyKey kNotifyKeys[] = {
    {"site", "the gateway ID", "the site's name in subjects and texts"},
    {"level_names", "`[\"CRITICAL\", \"MAJOR\", \"MINOR\", \"WARNING\"]`",
     "the names of alarm levels 1, 2, 3, ... in subjects and texts (a list of 1 to 9 words "
     "of letters, digits, `-` and `_`); a level beyond the list reads `LEVEL n`"},
    {"targets", "", "the named targets (an object), at most 8"},
    {"routes", "", "the routes (a list); a change goes to every target of every route it matches"},
};

// At most this many targets (each one kind of the outbox).
constexpr size_t kMaxTargets = 8;

struct NotifyTarget {
    enum class Type { Webhook, Email } type = Type::Webhook;
    std::string name;
    double timeout_s = 10.0;
    std::string ca_file;
    // Webhook.
    std::string url;
    std::string secret_file;
    // E-mail.
    std::string smtp_url;
    bool starttls_required = true;
    std::string auth_file;
    std::string from;
    std::vector<std::string> to;
    // Read at start (load_secrets), never written anywhere.
    std::string secret;
    std::string user, password;
};

struct NotifyRoute {
    std::string device = "*";
    std::vector<int> levels;  // empty: every level
    std::string alarm = "*";
    std::vector<std::string> targets;
};

// CRITICAL, MAJOR, MINOR, WARNING: levels 1 to 4.
std::vector<std::string> default_level_names();

struct NotifyConfig {
    std::string site;
    std::vector<std::string> level_names = default_level_names();
    std::vector<NotifyTarget> targets;
    std::vector<NotifyRoute> routes;

    bool enabled() const { return !targets.empty(); }
    // The target of that name; null when there is none.
    const NotifyTarget* find(const std::string& name) const;
    size_t index(const std::string& name) const;  // targets.size() when none
};

// Reads the "notify" object (null: no notifications). Each problem goes to
// `errors` naming its place ("notify.targets.pager.url ...").
NotifyConfig parse_notify_config(const Json::Value& v, std::vector<std::string>& errors);

// Reads the secret and credential files of every target; each problem names
// the target and the file.
void load_secrets(NotifyConfig& cfg, std::vector<std::string>& errors);

}  // namespace smdgw::notify
