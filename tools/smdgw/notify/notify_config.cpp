#include "tools/smdgw/notify/notify_config.h"

#include <arpa/inet.h>

#include <set>

#include "tools/smdgw/core/config_keys.h"
#include "tools/smdgw/core/control_token.h"
#include "tools/smdgw/core/credentials_file.h"
#include "tools/smdgw/core/url_secrets.h"

namespace smdgw::notify {

namespace {

// Names and addresses end up in mail headers and URLs: no control bytes.
bool plain_text(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f) return false;
    return true;
}

template <size_t N>
std::vector<std::string> key_names(const NotifyKey (&table)[N]) {
    std::vector<std::string> names;
    for (const NotifyKey& k : table) names.push_back(k.name);
    return names;
}

template <size_t N>
void check_keys(const Json::Value& obj, const NotifyKey (&table)[N], const std::string& at,
                std::vector<std::string>& errors) {
    const std::vector<std::string> known = key_names(table);
    for (const std::string& k : obj.getMemberNames()) {
        bool found = false;
        for (const std::string& n : known) found = found || n == k;
        if (found) continue;
        errors.push_back("unknown key \"" + at + "." + k + "\"" + did_you_mean(k, known));
    }
}

// A non-empty text without control bytes; "" when absent and not required.
std::string text_at(const Json::Value& obj, const char* key, const std::string& at, bool required,
                    std::vector<std::string>& errors) {
    const Json::Value& v = obj[key];
    if (v.isNull()) {
        if (required) errors.push_back("\"" + at + "." + key + "\" is required");
        return {};
    }
    if (!v.isString() || v.asString().empty() || !plain_text(v.asString())) {
        errors.push_back("\"" + at + "." + key + "\" must be a non-empty text without control "
                         "characters (is " + value_text(v) + ")");
        return {};
    }
    return v.asString();
}

double timeout_at(const Json::Value& obj, const std::string& at, double dflt,
                  std::vector<std::string>& errors) {
    const Json::Value& v = obj["timeout_s"];
    if (v.isNull()) return dflt;
    if (!v.isNumeric() || v.asDouble() < 1.0 || v.asDouble() > 300.0) {
        errors.push_back("\"" + at + ".timeout_s\" must be a number of seconds 1 to 300 (is " +
                         value_text(v) + ")");
        return dflt;
    }
    return v.asDouble();
}

bool starts_with(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

// The host of smtp://[user@]host[:port]/... is loopback: "localhost",
// 127.0.0.0/8 or [::1].
bool loopback_server(const std::string& url) {
    const size_t scheme = url.find("://");
    std::string host = url.substr(scheme == std::string::npos ? 0 : scheme + 3);
    host = host.substr(0, host.find_first_of("/?#"));
    const size_t at = host.rfind('@');
    if (at != std::string::npos) host = host.substr(at + 1);
    if (host.rfind("[::1]", 0) == 0) return host.size() == 5 || host[5] == ':';
    host = host.substr(0, host.find(':'));
    in_addr v4{};
    return host == "localhost" ||
           (inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127);
}

// user@host: something before and after one "@", no blanks or brackets that
// would let the text leave its header.
bool plausible_address(const std::string& a) {
    const size_t at = a.find('@');
    if (at == std::string::npos || at == 0 || at + 1 >= a.size()) return false;
    if (a.find('@', at + 1) != std::string::npos) return false;
    for (char c : a)
        if (c == ' ' || c == '<' || c == '>' || c == ',' || c == '"') return false;
    return true;
}

void read_webhook(const Json::Value& t, const std::string& at, NotifyTarget& out,
                  std::vector<std::string>& errors) {
    check_keys(t, kWebhookKeys, at, errors);
    out.type = NotifyTarget::Type::Webhook;
    out.url = text_at(t, "url", at, true, errors);
    if (!out.url.empty() && !starts_with(out.url, "http://") && !starts_with(out.url, "https://"))
        errors.push_back("\"" + at + ".url\" must start with http:// or https:// (is \"" +
                         url_without_secrets(out.url) + "\")");
    out.secret_file = text_at(t, "secret_file", at, false, errors);
    out.ca_file = text_at(t, "ca_file", at, false, errors);
    out.timeout_s = timeout_at(t, at, 10.0, errors);
}

void read_email(const Json::Value& t, const std::string& at, NotifyTarget& out,
                std::vector<std::string>& errors) {
    check_keys(t, kEmailKeys, at, errors);
    out.type = NotifyTarget::Type::Email;
    out.smtp_url = text_at(t, "smtp_url", at, true, errors);
    if (!out.smtp_url.empty() && !starts_with(out.smtp_url, "smtp://") &&
        !starts_with(out.smtp_url, "smtps://"))
        errors.push_back("\"" + at + ".smtp_url\" must start with smtp:// or smtps:// (is \"" +
                         url_without_secrets(out.smtp_url) + "\")");
    const Json::Value& tls = t["starttls"];
    if (!tls.isNull()) {
        if (tls == "required" || tls == "optional")
            out.starttls_required = tls == "required";
        else
            errors.push_back("\"" + at + ".starttls\" must be \"required\" or \"optional\" (is " +
                             value_text(tls) + ")");
    }
    // Plain text is tolerable only where nobody else is on the way.
    if (!out.starttls_required && !out.smtp_url.empty() && starts_with(out.smtp_url, "smtp://") &&
        !loopback_server(out.smtp_url))
        errors.push_back("\"" + at +
                         ".starttls\": \"optional\" only for a mail server on this "
                         "host (127.0.0.1, [::1] or localhost); use \"required\" or smtps://");
    out.ca_file = text_at(t, "ca_file", at, false, errors);
    out.auth_file = text_at(t, "auth_file", at, false, errors);
    // A password goes over TLS or not at all, even to this host.
    if (!out.starttls_required && !out.auth_file.empty() && starts_with(out.smtp_url, "smtp://"))
        errors.push_back("\"" + at +
                         ".auth_file\": a login is sent only over TLS; with \"starttls\": "
                         "\"optional\" give no \"auth_file\", or use \"required\" or smtps://");
    out.from = text_at(t, "from", at, true, errors);
    if (!out.from.empty() && !plausible_address(out.from))
        errors.push_back("\"" + at + ".from\" must be an address like smdgw@example.net (is \"" +
                         out.from + "\")");
    const Json::Value& to = t["to"];
    if (!to.isArray() || to.empty() || to.size() > 50) {
        errors.push_back("\"" + at + ".to\" must be a list of 1 to 50 addresses (is " +
                         value_text(to) + ")");
    } else {
        for (Json::ArrayIndex i = 0; i < to.size(); ++i) {
            if (!to[i].isString() || !plausible_address(to[i].asString()) ||
                !plain_text(to[i].asString()))
                errors.push_back("\"" + at + ".to[" + std::to_string(i) +
                                 "]\" must be an address like oncall@example.net (is " +
                                 value_text(to[i]) + ")");
            else
                out.to.push_back(to[i].asString());
        }
    }
    out.timeout_s = timeout_at(t, at, 30.0, errors);
}

void read_route(const Json::Value& r, const std::string& at, const NotifyConfig& cfg,
                NotifyRoute& out, std::vector<std::string>& errors) {
    if (!r.isObject()) {
        errors.push_back("\"" + at + "\" must be an object (is " + value_text(r) + ")");
        return;
    }
    check_keys(r, kRouteKeys, at, errors);
    if (r.isMember("device")) out.device = text_at(r, "device", at, true, errors);
    if (r.isMember("alarm")) out.alarm = text_at(r, "alarm", at, true, errors);
    const Json::Value& levels = r["levels"];
    if (!levels.isNull()) {
        if (!levels.isArray() || levels.empty()) {
            errors.push_back("\"" + at + ".levels\" must be a list of levels 0 to 9 (is " +
                             value_text(levels) + ")");
        } else {
            for (Json::ArrayIndex i = 0; i < levels.size(); ++i) {
                if (!levels[i].isUInt() || levels[i].asUInt() > 9)
                    errors.push_back("\"" + at + ".levels[" + std::to_string(i) +
                                     "]\" must be a level 0 to 9 (is " + value_text(levels[i]) + ")");
                else
                    out.levels.push_back(static_cast<int>(levels[i].asUInt()));
            }
        }
    }
    const Json::Value& targets = r["targets"];
    if (!targets.isArray() || targets.empty()) {
        errors.push_back("\"" + at + ".targets\" must be a list of target names (is " +
                         value_text(targets) + ")");
        return;
    }
    std::vector<std::string> names;
    for (const NotifyTarget& t : cfg.targets) names.push_back(t.name);
    for (Json::ArrayIndex i = 0; i < targets.size(); ++i) {
        const std::string name = targets[i].isString() ? targets[i].asString() : "";
        if (cfg.find(name)) {
            out.targets.push_back(name);
            continue;
        }
        errors.push_back("\"" + at + ".targets[" + std::to_string(i) + "]\" names no target (is " +
                         value_text(targets[i]) + ")" + did_you_mean(name, names));
    }
}

}  // namespace

std::vector<std::string> default_level_names() { return {"CRITICAL", "MAJOR", "MINOR", "WARNING"}; }

namespace {

// A level's name stands in a subject: a word of letters, digits, '-' and '_'.
void read_level_names(const Json::Value& v, std::vector<std::string>& out,
                      std::vector<std::string>& errors) {
    const char* at = "notify.level_names";
    if (!v.isArray() || v.empty() || v.size() > 9) {
        errors.push_back(std::string("\"") + at + "\" must be a list of 1 to 9 names (is " +
                         value_text(v) + ")");
        return;
    }
    std::vector<std::string> names;
    for (Json::ArrayIndex i = 0; i < v.size(); ++i) {
        const std::string where = std::string(at) + "[" + std::to_string(i) + "]";
        const std::string name = v[i].isString() ? v[i].asString() : std::string();
        bool word = !name.empty() && name.size() <= 16;
        for (char c : name)
            word = word && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                            (c >= '0' && c <= '9') || c == '-' || c == '_');
        if (!word) {
            errors.push_back("\"" + where +
                             "\" must be a word of 1 to 16 letters, digits, - or _ (is " +
                             value_text(v[i]) + ")");
            return;
        }
        names.push_back(name);
    }
    out = std::move(names);
}

}  // namespace

const NotifyTarget* NotifyConfig::find(const std::string& name) const {
    const size_t i = index(name);
    return i < targets.size() ? &targets[i] : nullptr;
}

size_t NotifyConfig::index(const std::string& name) const {
    for (size_t i = 0; i < targets.size(); ++i)
        if (targets[i].name == name) return i;
    return targets.size();
}

NotifyConfig parse_notify_config(const Json::Value& v, std::vector<std::string>& errors) {
    NotifyConfig cfg;
    if (v.isNull()) return cfg;
    if (!v.isObject()) {
        errors.push_back("\"notify\" must be an object (is " + value_text(v) + ")");
        return cfg;
    }
    check_keys(v, kNotifyKeys, "notify", errors);
    if (v.isMember("site")) cfg.site = text_at(v, "site", "notify", true, errors);
    if (v.isMember("level_names")) read_level_names(v["level_names"], cfg.level_names, errors);
    const Json::Value& targets = v["targets"];
    if (!targets.isObject() || targets.empty() || targets.size() > kMaxTargets) {
        errors.push_back("\"notify.targets\" must be an object of 1 to " +
                         std::to_string(kMaxTargets) + " named targets (is " +
                         value_text(targets) + ")");
        return cfg;
    }
    for (const std::string& name : targets.getMemberNames()) {
        const std::string at = "notify.targets." + name;
        const Json::Value& t = targets[name];
        if (name.empty() || name.size() > 64 || !plain_text(name) ||
            name.find_first_of(" /\"") != std::string::npos) {
            errors.push_back("\"" + at + "\": a target's name must be 1 to 64 characters without "
                             "blanks, quotes or \"/\"");
            continue;
        }
        if (!t.isObject()) {
            errors.push_back("\"" + at + "\" must be an object (is " + value_text(t) + ")");
            continue;
        }
        NotifyTarget target;
        target.name = name;
        if (t["type"] == "webhook")
            read_webhook(t, at, target, errors);
        else if (t["type"] == "email")
            read_email(t, at, target, errors);
        else {
            errors.push_back("\"" + at + ".type\" must be \"webhook\" or \"email\" (is " +
                             value_text(t["type"]) + ")");
            continue;
        }
        cfg.targets.push_back(std::move(target));
    }
    const Json::Value& routes = v["routes"];
    if (!routes.isArray() || routes.empty()) {
        errors.push_back("\"notify.routes\" must be a non-empty list of routes (is " +
                         value_text(routes) + ")");
        return cfg;
    }
    for (Json::ArrayIndex i = 0; i < routes.size(); ++i) {
        NotifyRoute route;
        read_route(routes[i], "notify.routes[" + std::to_string(i) + "]", cfg, route, errors);
        cfg.routes.push_back(std::move(route));
    }
    return cfg;
}

void load_secrets(NotifyConfig& cfg, std::vector<std::string>& errors) {
    for (NotifyTarget& t : cfg.targets) {
        std::string error;
        if (!t.secret_file.empty() && !load_control_secret(t.secret_file, t.secret, error))
            errors.push_back("\"notify.targets." + t.name + ".secret_file\" " + error);
        if (!t.auth_file.empty()) {
            Credentials c;
            if (!read_credentials_file(t.auth_file, c, error))
                errors.push_back("\"notify.targets." + t.name + ".auth_file\" " + t.auth_file + ": " + error);
            t.user = c.username;
            t.password = c.password;
        }
    }
}

}  // namespace smdgw::notify
