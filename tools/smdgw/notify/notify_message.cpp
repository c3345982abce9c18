#include "tools/smdgw/notify/notify_message.h"

#include <openssl/evp.h>

#include <algorithm>
#include <ctime>

#include "tools/smdgw/core/iso8601_time.h"
#include "tools/smdgw/output/json_text.h"

namespace smdgw::notify {

namespace {

bool ascii(const std::string& s) {
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
}

// A text from the plant or the configuration as one line of a mail: control
// characters (a line feed would start a header of its own) become blanks.
std::string one_line(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    return out;
}

std::string base64(const std::string& s) {
    std::string out(4 * ((s.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(s.data()),
                                  static_cast<int>(s.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

// A header text as it may stand in a mail: plain ASCII as it is, anything
// else as one UTF-8 encoded word per at most 45 bytes (whole characters).
std::string header_text(const std::string& text) {
    const std::string s = one_line(text);
    if (ascii(s)) return s;
    std::string out;
    size_t at = 0;
    while (at < s.size()) {
        size_t end = at + 45 < s.size() ? at + 45 : s.size();
        while (end < s.size() && end > at && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80)
            --end;
        if (!out.empty()) out += "\r\n ";
        out += "=?UTF-8?B?" + base64(s.substr(at, end - at)) + "?=";
        at = end;
    }
    return out;
}

// What happened, as a word that sorts and reads well in a subject.
std::string change_word(const NotifyEvent& e) {
    if (e.reason == "flapping") return "FLAPPING";
    if (e.reason == "stable") return e.raised ? "STABLE RAISED" : "STABLE CLEARED";
    return e.raised ? "RAISED" : "CLEARED";
}

std::string time_text(int64_t ms) { return ms > 0 ? iso8601_time(ms) : "unknown"; }

// "2 h 5 min", "12 min 30 s", "40 s".
std::string duration_text(int64_t s) {
    if (s >= 3600) return std::to_string(s / 3600) + " h " + std::to_string(s % 3600 / 60) + " min";
    if (s >= 60) return std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s";
    return std::to_string(s) + " s";
}

// A device name as one segment of a URL's path.
std::string path_segment(const std::string& s) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' || c == '~';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0f];
        }
    }
    return out;
}

// The line that acknowledges the alarm, without the token: the person on
// call pastes it with the acknowledgement token in $TOKEN.
std::string ack_command(const MessageContext& ctx, const NotifyEvent& e) {
    std::string base = ctx.public_url;
    while (!base.empty() && base.back() == '/') base.pop_back();
    if (base.empty()) base = "http://GATEWAY:9418";
    return "curl -s -X POST -H \"Authorization: Bearer $TOKEN\" -d '{\"by\": \"YOUR NAME\"}' \\\n"
           "    " + base + "/api/v1/devices/" + path_segment(e.device) + "/alarms/" + e.id +
           "/ack";
}

std::string rfc5322_date(int64_t ms) {
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&t, &tm);
    static const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[tm.tm_wday],
                  tm.tm_mday, kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
    return buf;
}

std::string devices_text(const std::vector<NotifyEvent>& events) {
    std::vector<std::string> seen;
    std::string out;
    for (const NotifyEvent& e : events) {
        if (std::find(seen.begin(), seen.end(), e.device) != seen.end()) continue;
        seen.push_back(e.device);
        if (!out.empty()) out += ", ";
        out += e.device;
    }
    return out;
}

void crlf_lines(const std::string& text, std::string& out) {
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
}

}  // namespace

std::string level_name(const std::vector<std::string>& names, int level) {
    if (level >= 1 && static_cast<size_t>(level) <= names.size()) return names[level - 1];
    return "LEVEL " + std::to_string(level);
}

std::string idempotency_key(const std::string& gateway_id, uint64_t sequence) {
    // It travels in a header: no control characters.
    return one_line(gateway_id) + ":" + std::to_string(sequence);
}

std::string message_id(const std::string& gateway_id, uint64_t sequence, const std::string& from) {
    std::string gw;
    for (char c : gateway_id) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '-';
        gw += keep ? c : '-';
    }
    const size_t at = from.find('@');
    const std::string domain = at == std::string::npos ? "smdgw.invalid" : from.substr(at + 1);
    return "<smdgw." + std::to_string(sequence) + "." + gw + "@" + domain + ">";
}

std::string webhook_body(const MessageContext& ctx, const std::vector<NotifyEvent>& events) {
    JsonObject obj;
    std::string& list = obj.add("events");
    list = "[";
    for (size_t i = 0; i < events.size(); ++i) {
        if (i > 0) list += ',';
        const NotifyEvent& e = events[i];
        // The alarm event as smdgw writes it, with what the mail says beside it.
        if (!e.facts_json.empty() && e.json.size() > 2 && e.json.back() == '}')
            list += e.json.substr(0, e.json.size() - 1) + ",\"facts\":" + e.facts_json + "}";
        else
            list += e.json;
    }
    list += ']';
    json_string(obj.add("gateway"), ctx.gateway_id);
    json_string(obj.add("idempotency_key"),
                ctx.key.empty() ? idempotency_key(ctx.gateway_id, ctx.sequence) : ctx.key);
    json_uint(obj.add("sequence"), ctx.sequence);
    json_string(obj.add("site"), ctx.site);
    json_string(obj.add("time"), iso8601_time(ctx.now_ms));
    if (!ctx.public_url.empty()) json_string(obj.add("url"), ctx.public_url);
    std::string out;
    obj.close(out);
    return out;
}

std::string mail_subject(const MessageContext& ctx, const std::vector<NotifyEvent>& events) {
    const std::string head = "[smdgw] " + ctx.site + ": ";
    if (events.size() == 1) {
        const NotifyEvent& e = events[0];
        return head + level_name(ctx.level_names, e.level) + " " + change_word(e) + ": " +
               e.english + " (" + e.device + ")";
    }
    size_t raised = 0;
    int highest = 0;  // level 1 is the most urgent; 0 none
    for (const NotifyEvent& e : events) {
        if (e.raised) ++raised;
        if (e.level > 0 && (highest == 0 || e.level < highest)) highest = e.level;
    }
    std::string text = head + std::to_string(events.size()) + " alarm changes (" +
                       std::to_string(raised) + " raised, " +
                       std::to_string(events.size() - raised) + " cleared)";
    if (highest > 0) text += ", most urgent " + level_name(ctx.level_names, highest);
    return text + " (" + devices_text(events) + ")";
}

std::string mail_body(const MessageContext& ctx, const std::vector<NotifyEvent>& events) {
    std::string b;
    if (events.size() > 1)
        b += std::to_string(events.size()) + " alarm changes on " + ctx.site + ":\n\n";
    const NotifyEvent* first_raised = nullptr;
    for (const NotifyEvent& e : events) {
        if (e.raised && !first_raised) first_raised = &e;
        b += level_name(ctx.level_names, e.level) + " " + change_word(e) + ": " +
             one_line(e.english) + "\n";
        b += "  Level:      " + std::to_string(e.level) + " (" +
             level_name(ctx.level_names, e.level) + ")\n";
        b += "  Device:     " + one_line(e.device) + "\n";
        b += "  Message:    " + one_line(e.message) + "\n";
        b += "  Value:      " + one_line(e.value) + "\n";
        if (e.raised) b += "  Since:      " + time_text(e.since_ms) + "\n";
        b += "  Changed at: " + time_text(e.time_ms) + "\n";
        if (!e.raised && e.raised_at_ms > 0 && e.time_ms >= e.raised_at_ms)
            b += "  Lasted:     " + duration_text((e.time_ms - e.raised_at_ms) / 1000) +
                 " (raised " + time_text(e.raised_at_ms) + ")\n";
        if (e.ack_at_ms > 0)
            b += "  Acknowledged: by " + one_line(e.ack_by) + " at " + time_text(e.ack_at_ms) +
                 (e.ack_comment.empty() ? "" : ": " + one_line(e.ack_comment)) + "\n";
        else if (!e.raised)
            b += "  Acknowledged: nobody\n";
        if (e.reason == "flapping")
            b += "  Note:       it keeps changing; shown raised until it has been stable\n";
        else if (e.reason == "stable")
            b += "  Note:       it stopped changing; this is its state now\n";
        else if (!e.reason.empty())
            b += "  Note:       " + one_line(e.reason) + "\n";
        for (const auto& fact : e.fact_lines) {
            std::string label = one_line(fact.first) + ":";
            label.resize(std::max<size_t>(label.size() + 1, 12), ' ');
            b += "  " + label + one_line(fact.second) + "\n";
        }
        b += "  Alarm:      " + one_line(e.alarm_id) + " (key " + one_line(e.key) + ", #" +
             std::to_string(e.seq) + ")\n";
        b += "  Alarm id:   " + e.id + "\n\n";
    }
    if (!ctx.public_url.empty()) b += "Status page: " + ctx.public_url + "\n";
    if (first_raised) {
        b += "To acknowledge, with the acknowledgement token in $TOKEN";
        b += events.size() > 1 ? " (another alarm: its Alarm id in place of this one):\n"
                               : ":\n";
        b += "  " + ack_command(ctx, *first_raised) + "\n";
    }
    b += "-- \nsmdgw " + one_line(ctx.gateway_id) + ", notification " + std::to_string(ctx.sequence) + "\n";
    return b;
}

std::string mail_message(const MessageContext& ctx, const NotifyTarget& target,
                         const std::vector<NotifyEvent>& events) {
    std::string to;
    for (const std::string& a : target.to) to += (to.empty() ? "" : ", ") + a;
    std::string m;
    m += "Date: " + rfc5322_date(ctx.now_ms) + "\r\n";
    m += "From: " + target.from + "\r\n";
    m += "To: " + to + "\r\n";
    m += "Subject: " + header_text(mail_subject(ctx, events)) + "\r\n";
    // A test message (sequence 0) gets an ID of its own each time.
    std::string id = message_id(ctx.gateway_id, ctx.sequence, target.from);
    if (ctx.sequence == 0) id.replace(1, 8, "smdgw.test-" + std::to_string(ctx.now_ms) + ".");
    m += "Message-ID: " + id + "\r\n";
    m += "X-Smdgw-Sequence: " + std::to_string(ctx.sequence) + "\r\n";
    m += "MIME-Version: 1.0\r\n";
    m += "Content-Type: text/plain; charset=UTF-8\r\n";
    m += "Content-Transfer-Encoding: 8bit\r\n\r\n";
    crlf_lines(mail_body(ctx, events), m);
    return m;
}

std::string payload(const std::string& key, const std::string& body) { return key + "\n" + body; }

bool split_payload(const std::string& payload, std::string& key, std::string& body) {
    const size_t nl = payload.find('\n');
    if (nl == std::string::npos || nl == 0) return false;
    key = payload.substr(0, nl);
    body = payload.substr(nl + 1);
    return true;
}

}  // namespace smdgw::notify
