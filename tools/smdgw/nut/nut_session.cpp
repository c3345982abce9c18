#include "tools/smdgw/nut/nut_session.h"

#include <algorithm>
#include <cctype>

#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/steady_time.h"
#include "tools/smdgw/core/utf8_text.h"
#include "tools/smdgw/nut/nut_variables.h"
#include "tools/smdgw/nut/nut_words.h"

namespace smdgw::nut {

namespace {

// The version of the network protocol served (RFC 9271).
constexpr const char* kProtocolVersion = "1.3";

const char* const kHelp =
    "Commands: HELP VER NETVER PROTVER LIST GET USERNAME PASSWORD LOGIN LOGOUT STARTTLS "
    "(SET, INSTCMD, FSD and PRIMARY are refused: this server is read-only)\n";

// Protocol words are taken in any case; names (UPS, variables) as written.
bool is(const std::string& word, const char* keyword) {
    size_t i = 0;
    for (; keyword[i] != '\0'; ++i)
        if (i >= word.size() ||
            std::toupper(static_cast<unsigned char>(word[i])) != static_cast<unsigned char>(keyword[i]))
            return false;
    return i == word.size();
}

// Equal texts in a time that does not tell how much of them matched.
bool same_secret(const std::string& a, const std::string& b) {
    const size_t n = std::max(a.size(), b.size());
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        diff = static_cast<unsigned char>(diff | (x ^ y));
    }
    return diff == 0;
}

// The line after its first word and the blanks that follow it.
std::string rest_after_verb(std::string_view line) {
    size_t at = line.find_first_not_of(" \t");
    at = line.find_first_of(" \t", at);
    at = line.find_first_not_of(" \t", at);
    return at == std::string_view::npos ? std::string() : std::string(line.substr(at));
}

}  // namespace

void LoginBook::add(const std::string& ups, const std::string& peer) { by_ups_[ups].push_back(peer); }

void LoginBook::remove(const std::string& ups, const std::string& peer) {
    auto it = by_ups_.find(ups);
    if (it == by_ups_.end()) return;
    auto& v = it->second;
    const auto at = std::find(v.begin(), v.end(), peer);
    if (at != v.end()) v.erase(at);
}

const std::vector<std::string>& LoginBook::clients(const std::string& ups) const {
    static const std::vector<std::string> kNone;
    const auto it = by_ups_.find(ups);
    return it == by_ups_.end() ? kNone : it->second;
}

NutSession::NutSession(SessionShared& shared, std::string peer)
    : shared_(shared), peer_(std::move(peer)) {}

NutSession::~NutSession() {
    if (!login_ups_.empty()) shared_.logins.remove(login_ups_, peer_);
}

void NutSession::error(const char* name, std::string& out) {
    ++shared_.counters.errors;
    out += "ERR ";
    out += name;
    out += '\n';
}

void NutSession::invalid(std::string& out) {
    ++shared_.counters.invalid_arguments;
    error("INVALID-ARGUMENT", out);
}

const UpsDirectory::Ups* NutSession::known_ups(const std::string& name, std::string& out) {
    for (const UpsDirectory::Ups& u : shared_.ups.list())
        if (u.name == name) return &u;
    error("UNKNOWN-UPS", out);
    return nullptr;
}

std::optional<UpsReading> NutSession::current(const std::string& name, std::string& out) {
    if (!known_ups(name, out)) return std::nullopt;
    std::optional<UpsReading> r = shared_.ups.read(name);
    if (!r) {
        error("UNKNOWN-UPS", out);
        return std::nullopt;
    }
    if (r->data == UpsData::Current) return r;
    ++shared_.counters.stale_answers;
    // The whole UPS: a client must not act on figures the plant no longer confirms.
    error(r->data == UpsData::Stale ? "DATA-STALE" : "DRIVER-NOT-CONNECTED", out);
    return std::nullopt;
}

void NutSession::answer(std::string_view line, std::string& out, bool& close) {
    std::vector<std::string> w;
    const Words split = split_words(line, w);
    if (split == Words::Ok && w.empty()) return;
    ++shared_.counters.commands;
    if (split != Words::Ok) return invalid(out);
    const std::string& verb = w[0];
    const auto args = [&](size_t n) {
        if (w.size() == n) return true;
        invalid(out);
        return false;
    };
    if (is(verb, "VER")) {
        if (args(1)) out += "smdgw " + shared_.version + " - NUT network server of the plant\n";
    } else if (is(verb, "NETVER") || is(verb, "PROTVER")) {
        if (args(1)) out += std::string(kProtocolVersion) + "\n";
    } else if (is(verb, "HELP")) {
        out += kHelp;
    } else if (is(verb, "LIST")) {
        list(w, out);
    } else if (is(verb, "GET")) {
        get(w, out);
    } else if (is(verb, "USERNAME") || is(verb, "PASSWORD")) {
        const bool user = is(verb, "USERNAME");
        std::optional<std::string>& slot = user ? username_ : password_;
        // upsmon sends its password as written in upsmon.conf, unquoted: a
        // password with blanks arrives as several words and is the rest of
        // the line.
        if (!user && w.size() > 2) {
            w[1] = rest_after_verb(line);
            w.resize(2);
        }
        if (!args(2)) return;
        if (slot) return error(user ? "ALREADY-SET-USERNAME" : "ALREADY-SET-PASSWORD", out);
        if (w[1].empty()) return error(user ? "INVALID-USERNAME" : "INVALID-PASSWORD", out);
        slot = w[1];
        out += "OK\n";
    } else if (is(verb, "LOGIN")) {
        login(w, out);
    } else if (is(verb, "LOGOUT")) {
        out += "OK Goodbye\n";
        close = true;
    } else if (is(verb, "STARTTLS")) {
        if (!args(1)) return;
        if (!shared_.tls) return error("FEATURE-NOT-CONFIGURED", out);
        if (tls_) return error("ALREADY-SSL-MODE", out);
        tls_ = start_tls_ = true;
        out += "OK STARTTLS\n";
    } else if (is(verb, "SET") || is(verb, "INSTCMD") || is(verb, "FSD") || is(verb, "PRIMARY") ||
               is(verb, "MASTER")) {
        // The plant is watched here, never driven: its controls go through
        // the HTTP API with a token.
        ++shared_.counters.refused_writes;
        error("ACCESS-DENIED", out);
    } else {
        ++shared_.counters.unknown_commands;
        if (auto held = shared_.unknown_log.allow(steady_seconds()))
            log_warning("nut: " + peer_ + ": unknown command " +
                        quoted(verb.substr(0, 32)) + LogLimiter::held_note(*held));
        error("UNKNOWN-COMMAND", out);
    }
}

void NutSession::list(const std::vector<std::string>& w, std::string& out) {
    if (w.size() < 2) return invalid(out);
    const std::string& what = w[1];
    if (is(what, "UPS")) {
        if (w.size() != 2) return invalid(out);
        out += "BEGIN LIST UPS\n";
        for (const UpsDirectory::Ups& u : shared_.ups.list())
            out += "UPS " + u.name + " " + quoted_value(u.description) + "\n";
        out += "END LIST UPS\n";
        return;
    }
    const bool per_var = is(what, "ENUM") || is(what, "RANGE");
    const bool per_ups = is(what, "VAR") || is(what, "RW") || is(what, "CMD") || is(what, "CLIENT");
    if (!per_var && !per_ups) return invalid(out);
    if (w.size() != (per_var ? 4u : 3u)) return invalid(out);
    const std::string& ups = w[2];
    // The list's own words: "VAR plant1", "ENUM plant1 ups.status".
    std::string head = what;
    std::transform(head.begin(), head.end(), head.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    for (size_t i = 2; i < w.size(); ++i) head += " " + w[i];
    if (is(what, "VAR")) {
        std::optional<UpsReading> r = current(ups, out);
        if (!r) return;
        out += "BEGIN LIST " + head + "\n";
        for (const NutVariable* v = nut_variables_begin(); v != nut_variables_end(); ++v)
            if (const auto value = v->value(*r))
                out += "VAR " + ups + " " + v->name + " " + quoted_value(*value) + "\n";
        out += "END LIST " + head + "\n";
        return;
    }
    if (!known_ups(ups, out)) return;
    if (per_var && !find_variable(w[3])) return error("VAR-NOT-SUPPORTED", out);
    out += "BEGIN LIST " + head + "\n";
    // Nothing is writable and there are no commands: RW, CMD, ENUM and RANGE are empty.
    if (is(what, "CLIENT"))
        for (const std::string& peer : shared_.logins.clients(ups))
            out += "CLIENT " + ups + " " + peer + "\n";
    out += "END LIST " + head + "\n";
}

void NutSession::get(const std::vector<std::string>& w, std::string& out) {
    if (w.size() < 3) return invalid(out);
    const std::string& what = w[1];
    const std::string& ups = w[2];
    if (is(what, "UPSDESC") || is(what, "NUMLOGINS")) {
        if (w.size() != 3) return invalid(out);
        const UpsDirectory::Ups* u = known_ups(ups, out);
        if (!u) return;
        if (is(what, "UPSDESC"))
            out += "UPSDESC " + ups + " " + quoted_value(u->description) + "\n";
        else
            out += "NUMLOGINS " + ups + " " + std::to_string(shared_.logins.clients(ups).size()) +
                   "\n";
        return;
    }
    if (w.size() != 4) return invalid(out);
    const std::string& name = w[3];
    if (is(what, "VAR")) {
        std::optional<UpsReading> r = current(ups, out);
        if (!r) return;
        const NutVariable* v = find_variable(name);
        const std::optional<std::string> value = v ? v->value(*r) : std::nullopt;
        if (!value) return error("VAR-NOT-SUPPORTED", out);
        out += "VAR " + ups + " " + name + " " + quoted_value(*value) + "\n";
    } else if (is(what, "TYPE") || is(what, "DESC")) {
        if (!known_ups(ups, out)) return;
        const NutVariable* v = find_variable(name);
        if (!v) return error("VAR-NOT-SUPPORTED", out);
        if (is(what, "TYPE"))
            out += "TYPE " + ups + " " + name + " " + type_text(*v) + "\n";
        else
            out += "DESC " + ups + " " + name + " " + quoted_value(v->description) + "\n";
    } else if (is(what, "CMDDESC")) {
        if (!known_ups(ups, out)) return;
        error("CMD-NOT-SUPPORTED", out);
    } else {
        invalid(out);
    }
}

void NutSession::login(const std::vector<std::string>& w, std::string& out) {
    if (w.size() != 2) return invalid(out);
    const auto refuse = [&](const char* why, const char* what) {
        ++shared_.counters.logins_refused;
        if (auto held = shared_.login_log.allow(steady_seconds()))
            log_warning("nut: " + peer_ + ": LOGIN refused: " + why + LogLimiter::held_note(*held));
        error(what, out);
    };
    if (!login_ups_.empty()) return refuse("already logged in", "ALREADY-LOGGED-IN");
    if (!known_ups(w[1], out)) return;
    if (!username_) return refuse("no USERNAME", "USERNAME-REQUIRED");
    if (!password_) return refuse("no PASSWORD", "PASSWORD-REQUIRED");
    if (!shared_.user) return refuse("no --nut-users", "ACCESS-DENIED");
    const bool user_ok = same_secret(*username_, shared_.user->username);
    const bool password_ok = same_secret(*password_, shared_.user->password);
    if (!user_ok || !password_ok) return refuse("wrong user or password", "ACCESS-DENIED");
    login_ups_ = w[1];
    shared_.logins.add(login_ups_, peer_);
    ++shared_.counters.logins;
    out += "OK\n";
}

}  // namespace smdgw::nut
