// The parts of the alarm notifications that need no receiver: burst
// grouping, routing, the configuration's checks, the message texts, and the
// key tables that docs/alarms.md shows.

#include <gtest/gtest.h>
#include <json/reader.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/doc_section.h"
#include "tools/smdgw/notify/alarm_facts.h"
#include "tools/smdgw/notify/burst_grouper.h"
#include "tools/smdgw/notify/hmac_signature.h"
#include "tools/smdgw/notify/notify_config.h"
#include "tools/smdgw/notify/notify_message.h"
#include "tools/smdgw/notify/notify_router.h"

namespace {

using namespace smdgw::notify;

Json::Value parse(const std::string& text) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errors;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, &errors)) << text;
    return v;
}

NotifyEvent change(const std::string& alarm_id, bool raised = true) {
    NotifyEvent e;
    e.device = "plant1";
    e.raised = raised;
    e.level = 1;
    e.alarm_id = alarm_id;
    e.json = "{\"alarm_id\":\"" + alarm_id + "\"}";
    return e;
}

// Changes at the times given go out as the bursts expected: (when the
// message leaves, how many changes it tells).
TEST(NotifyBurst, ChangesCloserThanTheGapGoTogetherHeldAtMostTheHold) {
    const struct {
        const char* what;
        std::vector<double> at;
        std::vector<std::pair<double, size_t>> messages;
    } cases[] = {
        {"one change", {0.0}, {{1.0, 1}}},
        {"three within the gap", {0.0, 0.3, 0.9}, {{1.9, 3}}},
        {"a gap of a second splits", {0.0, 0.5, 1.6}, {{1.5, 2}, {2.6, 1}}},
        {"a steady trickle is cut at the hold", {0.0, 0.8, 1.6, 2.4, 3.2, 4.0, 4.8, 5.6},
         {{5.0, 7}, {6.6, 1}}},
    };
    for (const auto& c : cases) {
        BurstGrouper g(1);
        std::vector<std::pair<double, size_t>> got;
        size_t next = 0;
        for (double now = 0.0; now < 20.0; now += 0.05) {
            while (next < c.at.size() && c.at[next] <= now + 1e-9) g.add(0, change("1"), now), ++next;
            for (const Burst& b : g.take_due(now + 1e-9)) got.emplace_back(now, b.events.size());
        }
        ASSERT_EQ(got.size(), c.messages.size()) << c.what;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_NEAR(got[i].first, c.messages[i].first, 0.051) << c.what << " #" << i;
            EXPECT_EQ(got[i].second, c.messages[i].second) << c.what << " #" << i;
        }
    }
    // Targets are grouped apart, and a stop takes what is open.
    BurstGrouper g(2);
    g.add(0, change("1"), 0.0);
    g.add(1, change("2"), 0.1);
    g.add(0, change("3"), 0.2);
    EXPECT_TRUE(g.take_due(0.5).empty());
    ASSERT_TRUE(g.next_due().has_value());
    EXPECT_DOUBLE_EQ(*g.next_due(), 1.1);
    const auto all = g.take_all();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].target, 0u);
    EXPECT_EQ(all[0].events.size(), 2u);
    EXPECT_EQ(all[1].events[0].alarm_id, "2");
    // A burst is at most kMaxEvents long.
    for (size_t i = 0; i < BurstGrouper::kMaxEvents + 5; ++i) g.add(0, change("x"), 0.0);
    const auto full = g.take_due(0.0);
    ASSERT_EQ(full.size(), 1u);
    EXPECT_EQ(full[0].events.size(), BurstGrouper::kMaxEvents);
}

NotifyConfig config(const char* json, std::vector<std::string>& errors) {
    return parse_notify_config(parse(json), errors);
}

const char* const kTargets =
    R"("targets":{"pager":{"type":"webhook","url":"https://pager.example.net/hook"},)"
    R"("mail":{"type":"email","smtp_url":"smtp://mail.example.net:587",)"
    R"("from":"smdgw@example.net","to":["oncall@example.net"]},)"
    R"("all":{"type":"webhook","url":"http://127.0.0.1:8080/"}})";

// Which targets a change goes to, by device, level and alarm ID.
TEST(NotifyRoute, EveryMatchingRouteAddsItsTargetsOnce) {
    std::vector<std::string> errors;
    const NotifyConfig cfg = config(
        (std::string("{") + kTargets +
         R"(,"routes":[{"levels":[1],"targets":["mail"]},)"
         R"({"alarm":"419415001","targets":["pager","mail"]},)"
         R"({"device":"north-*","alarm":"4194305??","targets":["all"]}]})")
            .c_str(),
        errors);
    ASSERT_TRUE(errors.empty()) << errors[0];
    const struct {
        const char* device;
        int level;
        const char* alarm_id;
        std::vector<std::string> targets;  // in the configuration's order
    } cases[] = {
        {"plant1", 1, "419410701", {"mail"}},
        {"plant1", 3, "419410701", {}},
        {"plant1", 1, "419415001", {"pager", "mail"}},
        {"plant1", 2, "419415001", {"pager", "mail"}},
        {"north-2", 3, "419430501", {"all"}},
        {"north-2", 3, "4194305011", {}},
        {"south-1", 3, "419430501", {}},
        {"north-2", 1, "419415001", {"pager", "mail"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> got;
        for (size_t i : route_targets(cfg, c.device, c.level, c.alarm_id))
            got.push_back(cfg.targets[i].name);
        std::vector<std::string> want;
        for (const NotifyTarget& t : cfg.targets)
            for (const std::string& n : c.targets)
                if (t.name == n) want.push_back(n);
        EXPECT_EQ(got, want) << c.device << " " << c.level << " " << c.alarm_id;
    }
}

TEST(NotifyConfigKeys, ProblemsNameTheirPlaceAndTheNearestKey) {
    const struct {
        std::string json;
        const char* problem;
    } cases[] = {
        {std::string("{") + kTargets + R"(,"route":[]})",
         "unknown key \"notify.route\" (did you mean routes?)"},
        {R"({"targets":{"p":{"type":"webhook","url":"ftp://x"}},"routes":[{"targets":["p"]}]})",
         "\"notify.targets.p.url\" must start with http:// or https:// (is \"ftp://x\")"},
        {R"({"targets":{"p":{"type":"webhook","url":"http://x","secret_flie":"s"}},"routes":[{"targets":["p"]}]})",
         "unknown key \"notify.targets.p.secret_flie\" (did you mean secret_file?)"},
        {R"({"targets":{"m":{"type":"email","smtp_url":"smtp://x","from":"a@b","to":["nobody"]}},"routes":[{"targets":["m"]}]})",
         "\"notify.targets.m.to[0]\" must be an address like oncall@example.net (is \"nobody\")"},
        {R"({"targets":{"m":{"type":"email","smtp_url":"smtp://x","from":"a@b","to":["c@d"],"starttls":"never"}},"routes":[{"targets":["m"]}]})",
         "\"notify.targets.m.starttls\" must be \"required\" or \"optional\" (is \"never\")"},
        {R"({"targets":{"m":{"type":"email","smtp_url":"smtp://mail.example.net:587","from":"a@b","to":["c@d"],"starttls":"optional"}},"routes":[{"targets":["m"]}]})",
         "\"notify.targets.m.starttls\": \"optional\" only for a mail server on this host (127.0.0.1, [::1] or localhost); use \"required\" or smtps://"},
        {R"({"targets":{"m":{"type":"email","smtp_url":"smtp://u@127.0.0.2.example.net","from":"a@b","to":["c@d"],"starttls":"optional"}},"routes":[{"targets":["m"]}]})",
         "\"notify.targets.m.starttls\": \"optional\" only for a mail server on this host (127.0.0.1, [::1] or localhost); use \"required\" or smtps://"},
        {R"({"targets":{"m":{"type":"email","smtp_url":"smtp://127.0.0.1:2525","from":"a@b","to":["c@d"],"starttls":"optional","auth_file":"/etc/smdgw/mail.auth"}},"routes":[{"targets":["m"]}]})",
         "\"notify.targets.m.auth_file\": a login is sent only over TLS; with \"starttls\": \"optional\" give no \"auth_file\", or use \"required\" or smtps://"},
        {R"({"targets":{"p":{"type":"webhook","url":"ftp://ops:pw@x:21/in?token=t#f"}},"routes":[{"targets":["p"]}]})",
         "\"notify.targets.p.url\" must start with http:// or https:// (is \"ftp://***@x:21/in?***#***\")"},
        {std::string("{") + kTargets + R"(,"routes":[{"targets":["pagr"]}]})",
         "\"notify.routes[0].targets[0]\" names no target (is \"pagr\") (did you mean pager?)"},
        {std::string("{") + kTargets + R"(,"routes":[{"levels":[11],"targets":["all"]}]})",
         "\"notify.routes[0].levels[0]\" must be a level 0 to 9 (is 11)"},
        {R"({"targets":{"p":{"type":"pager"}},"routes":[]})",
         "\"notify.targets.p.type\" must be \"webhook\" or \"email\" (is \"pager\")"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> errors;
        config(c.json.c_str(), errors);
        bool found = false;
        for (const auto& e : errors) found = found || e == c.problem;
        EXPECT_TRUE(found) << c.problem << "\n got: " << (errors.empty() ? "nothing" : errors[0]);
    }
}

// The texts a person and a receiver get, and the keys that make a repeat
// recognisable.
TEST(NotifyMessage, SubjectBodyKeysAndSignature) {
    MessageContext ctx;
    ctx.gateway_id = "gw 1";
    ctx.site = "north";
    ctx.public_url = "https://gw1.example/";
    ctx.sequence = 42;
    ctx.now_ms = 1765293003000;  // 2025-12-09 15:10:03 UTC
    NotifyEvent e = change("419415001");
    e.english = "Input power interrupted";
    e.message = "输入电源中断告警";
    e.since_ms = ctx.now_ms - 30000;
    EXPECT_EQ(mail_subject(ctx, {e}), "[smdgw] north: CRITICAL RAISED: Input power interrupted (plant1)");
    NotifyEvent cleared = change("419430501", false);
    cleared.level = 3;
    EXPECT_EQ(mail_subject(ctx, {e, cleared}),
              "[smdgw] north: 2 alarm changes (1 raised, 1 cleared), most urgent CRITICAL (plant1)");
    // Levels beyond the names, and names of the site's own.
    EXPECT_EQ(level_name(ctx.level_names, 4), "WARNING");
    EXPECT_EQ(level_name(ctx.level_names, 7), "LEVEL 7");
    ctx.level_names = {"P1", "P2"};
    cleared.english = "Module 1: fault alarm";
    EXPECT_EQ(mail_subject(ctx, {cleared}),
              "[smdgw] north: LEVEL 3 CLEARED: Module 1: fault alarm (plant1)");
    ctx.level_names = default_level_names();
    NotifyTarget t;
    t.type = NotifyTarget::Type::Email;
    t.from = "smdgw@example.net";
    t.to = {"a@example.net", "b@example.net"};
    const std::string mail = mail_message(ctx, t, {e});
    EXPECT_NE(mail.find("Message-ID: <smdgw.42.gw-1@example.net>\r\n"), std::string::npos) << mail;
    EXPECT_NE(mail.find("Date: Tue, 09 Dec 2025 15:10:03 +0000\r\n"), std::string::npos) << mail;
    EXPECT_NE(mail.find("To: a@example.net, b@example.net\r\n"), std::string::npos);
    EXPECT_NE(mail.find("  Message:    输入电源中断告警\r\n"), std::string::npos);
    EXPECT_NE(mail.find("Status page: https://gw1.example/\r\n"), std::string::npos);
    EXPECT_EQ(mail.find("\n\n"), std::string::npos) << "every line ends in CRLF";
    // Text from the plant or the configuration never starts a header of its own.
    NotifyEvent odd = e;
    odd.device = "plant1\r\nBcc: everyone@example.net";
    odd.message = "line\nbreak";
    const std::string odd_mail = mail_message(ctx, t, {odd});
    EXPECT_EQ(odd_mail.find("\nBcc:"), std::string::npos) << odd_mail;
    EXPECT_NE(odd_mail.find("  Message:    line break\r\n"), std::string::npos);
    // A subject that is not ASCII is an encoded word.
    ctx.site = "北站";
    EXPECT_NE(mail_message(ctx, t, {e}).find("Subject: =?UTF-8?B?"), std::string::npos);

    const Json::Value body = parse(webhook_body(ctx, {e}));
    EXPECT_EQ(body["idempotency_key"].asString(), "gw 1:42");
    EXPECT_EQ(body["sequence"].asUInt64(), 42u);
    EXPECT_EQ(body["events"][0]["alarm_id"].asString(), "419415001");
    std::string key, rest;
    ASSERT_TRUE(split_payload(payload("gw 1:42", "{}\n"), key, rest));
    EXPECT_EQ(key, "gw 1:42");
    EXPECT_EQ(rest, "{}\n");
    EXPECT_FALSE(split_payload("no key", key, rest));
    // RFC 4231, test case 2.
    EXPECT_EQ(hmac_sha256_hex("Jefe", "what do ya want for nothing?"),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

// The battery in a mail's words, in each of its states.
TEST(NotifyMessage, BatteryInWords) {
    using smdgw::BatteryState;
    smdgw::BatteryView b;
    b.since = 1765293003;  // 15:10 UTC
    b.reading.state = BatteryState::Discharging;
    b.reading.current_a = -52.04;
    b.reading.charge = 0.624;
    b.reading.runtime_s = 37 * 60 + 50;
    b.reading.runtime_low_s = 31 * 60;
    b.reading.runtime_high_s = 44 * 60 + 59;
    EXPECT_EQ(battery_words(b),
              "on battery since 15:10 UTC, 37 min left (31-44), at 52.0 A, charge 62 %");
    b.reading.runtime_s.reset();
    EXPECT_EQ(battery_words(b), "on battery since 15:10 UTC, at 52.0 A, charge 62 %");
    b.reading.state = BatteryState::Disconnected;
    EXPECT_EQ(battery_words(b),
              "disconnected (low-voltage disconnect) since 15:10 UTC, charge 62 %");
    b.reading.state = BatteryState::Charging;
    b.reading.current_a = 12.0;
    EXPECT_EQ(battery_words(b), "charging at 12.0 A, charge 62 %");
    b.reading.state = BatteryState::Float;
    b.reading.charge = 1.0;
    EXPECT_EQ(battery_words(b), "float, charge 100 %");
    b.reading.state = BatteryState::Unknown;
    EXPECT_EQ(battery_words(b), "state not known yet");
}

// docs/alarms.md's tables of the notification keys are these tables.
//   SMD_WRITE_ALARM_DOC=1 ./build/unit_tests --gtest_filter='NotifyConfigKeys.*'
TEST(NotifyConfigKeys, KeyTablesAreTheDocs) {
    std::string table;
    const auto section = [&](const char* title, const NotifyKey* keys, size_t n) {
        table += std::string("\n") + title + "\n\n| Key | Default | Meaning |\n| --- | --- | --- |\n";
        for (size_t i = 0; i < n; ++i)
            table += std::string("| `") + keys[i].name + "` | " +
                     (keys[i].dflt[0] ? keys[i].dflt : "") + " | " + keys[i].meaning + " |\n";
    };
    section("`notify`:", kNotifyKeys, std::size(kNotifyKeys));
    section("A webhook target:", kWebhookKeys, std::size(kWebhookKeys));
    section("An e-mail target:", kEmailKeys, std::size(kEmailKeys));
    section("A route:", kRouteKeys, std::size(kRouteKeys));
    testsupport::expect_doc_section(std::string(SOURCE_DIR) + "/docs/alarms.md",
                                    "<!-- generated notify keys: begin -->",
                                    "<!-- generated notify keys: end -->", table + "\n",
                                    "SMD_WRITE_ALARM_DOC");
}

}  // namespace
