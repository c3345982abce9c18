#pragma once
// What a target receives for a burst of alarm changes: the webhook's JSON and
// the mail (subject, plain-text body in the people's words, headers), with
// the keys that let a receiver drop a repeat: the idempotency key
// "<gateway ID>:<notification sequence>" and the Message-ID made from them.
//
// The outbox keeps each message as "<key>\n<body>" (payload()), ready to go:
// a repeat after a restart is byte for byte the first attempt.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/smdgw/notify/notify_config.h"
#include "tools/smdgw/notify/notify_event.h"

namespace smdgw::notify {

struct MessageContext {
    std::string gateway_id;
    std::string site;        // "notify.site", else the gateway ID
    std::string public_url;  // the status page (--public-url); "" unknown
    uint64_t sequence = 0;   // the gateway's notification sequence number
    int64_t now_ms = 0;      // when the message is made, gateway clock
    // The idempotency key when it is not "<gateway ID>:<sequence>" (a test
    // message takes no number); the header and the body carry the same one.
    std::string key;
    // The names of levels 1, 2, ... ("notify.level_names").
    std::vector<std::string> level_names = default_level_names();
};

// The name of an alarm level: "CRITICAL" for 1 by default, "LEVEL 7" for
// one without a name.
std::string level_name(const std::vector<std::string>& names, int level);

// "gw1:42"
std::string idempotency_key(const std::string& gateway_id, uint64_t sequence);
// "<smdgw.42.gw1@example.net>": the sequence, the gateway ID (letters,
// digits, '.' and '-' kept, others '-'), the sender's domain.
std::string message_id(const std::string& gateway_id, uint64_t sequence, const std::string& from);

//   {"events":[{"alarm_id":"419415001","device":"plant1","english":"Input power interrupted",
//     "event":"alarm","id":"plant1.PowerOff.419415001.100","key":"PowerOff","level":1,...}],
//    "gateway":"gw1","idempotency_key":"gw1:42","sequence":42,"site":"exchange-north",
//    "time":"2026-12-09T15:30:03.000+00:00","url":"https://gw1.example/"}
std::string webhook_body(const MessageContext& ctx, const std::vector<NotifyEvent>& events);

//   [smdgw] exchange-north: CRITICAL RAISED: Input power interrupted (plant1)
//   [smdgw] exchange-north: 10 alarm changes (10 raised, 0 cleared), most urgent MINOR (plant1)
std::string mail_subject(const MessageContext& ctx, const std::vector<NotifyEvent>& events);
// The plain-text body, lines ending in LF.
std::string mail_body(const MessageContext& ctx, const std::vector<NotifyEvent>& events);
// The whole mail: headers (Date, From, To, Subject, Message-ID, MIME) and
// the body, lines ending in CRLF.
std::string mail_message(const MessageContext& ctx, const NotifyTarget& target,
                         const std::vector<NotifyEvent>& events);

// The stored form and back; false for a payload that is not one.
std::string payload(const std::string& key, const std::string& body);
bool split_payload(const std::string& payload, std::string& key, std::string& body);

}  // namespace smdgw::notify
