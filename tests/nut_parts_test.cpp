// The NUT server's parts without sockets: the words of a request, the
// --nut-listen address, ups.status from the battery estimate and its alarms,
// and one connection's answers to every command the protocol names, read
// from a table (the same session the server runs, on made-up readings).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/smdgw/core/config.h"
#include "tools/smdgw/core/ups_identity.h"
#include "tools/smdgw/nut/nut_options.h"
#include "tools/smdgw/nut/nut_session.h"
#include "tools/smdgw/nut/nut_variables.h"
#include "tools/smdgw/nut/nut_words.h"
#include "tools/smdgw/nut/ups_status.h"

namespace {

using namespace smdgw;
using namespace smdgw::nut;

TEST(NutParts, RequestWordsAndQuoting) {
    struct Case {
        const char* line;
        Words result;
        std::vector<std::string> words;
    } cases[] = {
        {"LIST UPS", Words::Ok, {"LIST", "UPS"}},
        {"  GET\tVAR  plant1 ups.status ", Words::Ok, {"GET", "VAR", "plant1", "ups.status"}},
        {R"(PASSWORD "two words")", Words::Ok, {"PASSWORD", "two words"}},
        {R"(SET VAR p x "a \"q\" \\ b")", Words::Ok, {"SET", "VAR", "p", "x", R"(a "q" \ b)"}},
        {R"(USERNAME "")", Words::Ok, {"USERNAME", ""}},
        {R"(USERNAME a\ b)", Words::Ok, {"USERNAME", "a b"}},
        {"", Words::Ok, {}},
        {R"(PASSWORD "open)", Words::OpenQuote, {}},
        {"PASSWORD end\\", Words::OpenQuote, {}},
        {"GET\x01VAR", Words::ControlCharacter, {}},
        {"a b c d e f g h i", Words::TooMany, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> words;
        EXPECT_EQ(split_words(c.line, words), c.result) << c.line;
        if (c.result == Words::Ok) {
            EXPECT_EQ(words, c.words) << c.line;
        }
    }
    EXPECT_EQ(quoted_value(R"(Row "3" \ A)"), R"("Row \"3\" \\ A")");
    // What goes out quoted comes back as it was.
    std::vector<std::string> back;
    ASSERT_EQ(split_words("X " + quoted_value(R"(a"b\c d)"), back), Words::Ok);
    EXPECT_EQ(back.at(1), R"(a"b\c d)");
}

TEST(NutParts, UpsObjectOfADeviceIsChecked) {
    const auto device = [](const std::string& name, const std::string& ups) {
        return R"({"name":")" + name + R"(","data_id":418,"ups":)" + ups + "}";
    };
    struct Case {
        std::string text;
        const char* expect;
    } cases[] = {
        {device("p1", "5"), "device \"p1\": \"ups\" must be an object (is 5)"},
        {device("p1", R"({"serail":"x"})"), "unknown key \"serail\" in \"ups\" (did you mean serial?)"},
        {device("p1", R"({"mfr":"a\"b"})"), "\"ups\": \"mfr\" must be a text of 1 to 64"},
        {device("p1", R"({"model":""})"), "\"ups\": \"model\" must be a text of 1 to 64"},
        {device("p1", R"({"serial":7})"), "\"ups\": \"serial\" must be a text"},
        {device("p1", R"({"serial":"S1"})") + "," + device("p2", R"({"serial":"S1"})"),
         "device \"p2\": \"ups\": \"serial\" \"S1\" is given to another device too"},
    };
    for (const Case& c : cases) {
        try {
            smdgw::parse_config(R"({"devices":[)" + c.text + "]}", "cfg.json");
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const smdgw::ConfigError& e) {
            EXPECT_NE(std::string(e.what()).find(c.expect), std::string::npos) << e.what();
        }
    }
    const auto cfg = smdgw::parse_config(
        R"({"devices":[)" + device("p1", R"({"mfr":"Site power","serial":"S1"})") + "," +
            device("p2", "{}") + "]}",
        "cfg.json");
    std::vector<std::string> errors;
    const auto id = UpsIdentity::parse(cfg.devices[1].entry["ups"], errors);
    ASSERT_TRUE(id);
    EXPECT_EQ(id->serial_for("gw1", "p2"), "gw1-p2");
    EXPECT_EQ(UpsIdentity::parse(cfg.devices[0].entry["ups"], errors)->serial_for("gw1", "p1"), "S1");
}

TEST(NutParts, ListenAddress) {
    struct Case {
        const char* text;
        bool ok;
        const char* address;
        int port;
    } cases[] = {
        {"", true, "127.0.0.1", 3493},
        {"0.0.0.0", true, "0.0.0.0", 3493},
        {"192.168.1.5:3494", true, "192.168.1.5", 3494},
        {":0", true, "127.0.0.1", 0},
        {"localhost:3493", true, "127.0.0.1", 3493},
        {"[::1]:3493", true, "::1", 3493},
        {"[::]", true, "::", 3493},
        {"::1", true, "::1", 3493},
        {"127.0.0.1:", false, "", 0},
        {"127.0.0.1:65536", false, "", 0},
        {"127.0.0.1:-1", false, "", 0},
        {"gateway.example:3493", false, "", 0},
        {"[::1", false, "", 0},
        {"[::1]x", false, "", 0},
    };
    for (const Case& c : cases) {
        std::string address, error;
        int port = -1;
        EXPECT_EQ(parse_nut_listen(c.text, address, port, error), c.ok) << c.text << ": " << error;
        if (c.ok) {
            EXPECT_EQ(address, c.address) << c.text;
            EXPECT_EQ(port, c.port) << c.text;
        } else {
            EXPECT_NE(error.find(std::string("\"") + c.text + "\""), std::string::npos) << error;
        }
    }
}

// A plant with 200 Ah of strings, runtime thresholds 30 and 10 minutes.
UpsReading plant(BatteryState state, std::optional<double> runtime_s,
                 std::optional<double> learned_ah = std::nullopt) {
    UpsReading r;
    r.data = UpsData::Current;
    r.has_record = r.ac = r.dc = true;
    r.record.dc.v = -53.5f;
    r.record.dc.i = 42.25f;
    r.record.ac.channel_count = 2;
    r.record.ac_channels[0] = {};
    r.record.ac_channels[0].a = 0.0f;
    r.record.ac_channels[1].a = 231.0f;
    r.record.ac_channels[1].b = 229.5f;
    r.record.ac_channels[1].c = 230.4f;
    r.record.ac_channels[1].f = 50.02f;
    BatteryConfig c;
    c.strings_ah = {200};
    r.battery_config = c;
    BatteryView v;
    v.reading.state = state;
    v.reading.runtime_s = runtime_s;
    v.reading.capacity_ah = 200;
    v.reading.learned_capacity_ah = learned_ah;
    v.reading.current_a = state == BatteryState::Discharging ? -50.0 : 2.5;
    v.reading.charge = 0.82;
    r.battery = v;
    r.serial = "gw1-plant1";
    return r;
}

TEST(NutParts, StatusFollowsTheBatteryAndItsAlarms) {
    struct Case {
        UpsReading reading;
        std::vector<std::string> alarms;
        const char* status;
    } cases[] = {
        {plant(BatteryState::Float, std::nullopt), {}, "OL"},
        {plant(BatteryState::Charging, std::nullopt), {}, "OL CHRG"},
        {plant(BatteryState::Discharging, 3600.0), {"on battery"}, "OB DISCHRG ALARM"},
        // Below "runtime_critical_min" (10 min), not below it.
        {plant(BatteryState::Discharging, 599.0), {"x"}, "OB DISCHRG LB ALARM"},
        {plant(BatteryState::Discharging, 601.0), {"x"}, "OB DISCHRG ALARM"},
        {plant(BatteryState::Disconnected, std::nullopt), {"x"}, "OB LB ALARM"},
        // A learned capacity below 80 % of the nameplate.
        {plant(BatteryState::Float, std::nullopt, 150.0), {"x"}, "OL RB ALARM"},
        {plant(BatteryState::Float, std::nullopt, 170.0), {}, "OL"},
        {plant(BatteryState::Unknown, std::nullopt), {}, "OL"},
    };
    for (Case& c : cases) {
        c.reading.alarms = c.alarms;
        EXPECT_EQ(ups_status(c.reading), c.status);
    }
    UpsReading none = plant(BatteryState::Float, std::nullopt);
    none.battery.reset();
    none.battery_config.reset();
    EXPECT_EQ(ups_status(none), "OL");
    // ups.alarm: the meanings, cut before an answer line gets too long.
    UpsReading many = plant(BatteryState::Float, std::nullopt);
    for (int i = 0; i < 40; ++i) many.alarms.push_back("Rectifier module " + std::to_string(i) + " fault");
    const std::string text = ups_alarm(many);
    EXPECT_LE(text.size(), kMaxAlarmText);
    EXPECT_EQ(text.rfind("Rectifier module 0 fault; Rectifier module 1 fault; ", 0), 0u) << text;
    EXPECT_NE(text.find(" more)"), std::string::npos) << text;
}

class FakeDirectory : public UpsDirectory {
   public:
    FakeDirectory() {
        upses_ = {{"plant1", "Row 3 \"east\""}, {"plant2", "-48 V DC power system"},
                  {"plant3", "-48 V DC power system"}};
        UpsReading live = plant(BatteryState::Discharging, 1800.0);
        live.alarms = {"Mains failure"};
        readings_ = {live, live, live};
        readings_[1].data = UpsData::Stale;
        readings_[2].data = UpsData::NotConnected;
    }
    const std::vector<Ups>& list() const override { return upses_; }
    std::optional<UpsReading> read(const std::string& name) const override {
        for (size_t i = 0; i < upses_.size(); ++i)
            if (upses_[i].name == name) return readings_[i];
        return std::nullopt;
    }

   private:
    std::vector<Ups> upses_;
    std::vector<UpsReading> readings_;
};

struct Exchange {
    const char* request;
    const char* answer;
};

// Runs the requests on one session; each answer must be exact.
void expect_exchanges(NutSession& s, const std::vector<Exchange>& table) {
    for (const Exchange& e : table) {
        std::string out;
        bool close = false;
        s.answer(e.request, out, close);
        EXPECT_EQ(out, e.answer) << e.request;
    }
}

TEST(NutParts, SessionAnswersEveryCommand) {
    FakeDirectory dir;
    LoginBook logins;
    NutCounters counters;
    SessionShared shared{dir, logins, Credentials{"monuser", "pass word"}, counters, "9.9"};
    NutSession s(shared, "192.0.2.7");
    const std::string vars =
        "VAR plant1 battery.capacity \"200.0\"\n"
        "VAR plant1 battery.charge \"82\"\n"
        "VAR plant1 battery.current \"-50.0\"\n"
        "VAR plant1 battery.runtime \"1800\"\n"
        "VAR plant1 battery.runtime.low \"600\"\n"
        "VAR plant1 battery.voltage \"53.50\"\n"
        "VAR plant1 battery.voltage.nominal \"48\"\n"
        "VAR plant1 device.model \"-48 V DC power system\"\n"
        "VAR plant1 device.serial \"gw1-plant1\"\n"
        "VAR plant1 device.type \"psu\"\n"
        "VAR plant1 input.frequency \"50.0\"\n"
        "VAR plant1 input.voltage \"231.0\"\n"
        "VAR plant1 input.L1-N.voltage \"231.0\"\n"
        "VAR plant1 input.L2-N.voltage \"229.5\"\n"
        "VAR plant1 input.L3-N.voltage \"230.4\"\n"
        "VAR plant1 output.current \"42.2\"\n"
        "VAR plant1 output.voltage \"53.50\"\n"
        "VAR plant1 ups.alarm \"Mains failure\"\n"
        "VAR plant1 ups.status \"OB DISCHRG ALARM\"\n";
    const std::string list_var = "BEGIN LIST VAR plant1\n" + vars + "END LIST VAR plant1\n";
    const std::vector<Exchange> table = {
        {"NETVER", "1.3\n"},
        {"PROTVER", "1.3\n"},
        {"VER", "smdgw 9.9 - NUT network server of the plant\n"},
        {"LIST UPS",
         "BEGIN LIST UPS\nUPS plant1 \"Row 3 \\\"east\\\"\"\nUPS plant2 \"-48 V DC power system\"\n"
         "UPS plant3 \"-48 V DC power system\"\nEND LIST UPS\n"},
        {"list ups", "BEGIN LIST UPS\nUPS plant1 \"Row 3 \\\"east\\\"\"\nUPS plant2 \"-48 V DC power "
                     "system\"\nUPS plant3 \"-48 V DC power system\"\nEND LIST UPS\n"},
        {"LIST VAR plant1", list_var.c_str()},
        {"LIST VAR plant2", "ERR DATA-STALE\n"},
        {"LIST VAR plant3", "ERR DRIVER-NOT-CONNECTED\n"},
        {"LIST VAR nosuch", "ERR UNKNOWN-UPS\n"},
        {"LIST VAR", "ERR INVALID-ARGUMENT\n"},
        {"LIST RW plant1", "BEGIN LIST RW plant1\nEND LIST RW plant1\n"},
        {"LIST CMD plant1", "BEGIN LIST CMD plant1\nEND LIST CMD plant1\n"},
        {"LIST CLIENT plant1", "BEGIN LIST CLIENT plant1\nEND LIST CLIENT plant1\n"},
        {"LIST ENUM plant1 ups.status",
         "BEGIN LIST ENUM plant1 ups.status\nEND LIST ENUM plant1 ups.status\n"},
        {"LIST RANGE plant1 battery.charge",
         "BEGIN LIST RANGE plant1 battery.charge\nEND LIST RANGE plant1 battery.charge\n"},
        {"LIST RANGE plant1 ups.nosuch", "ERR VAR-NOT-SUPPORTED\n"},
        {"LIST NOSUCH plant1", "ERR INVALID-ARGUMENT\n"},
        {"GET VAR plant1 ups.status", "VAR plant1 ups.status \"OB DISCHRG ALARM\"\n"},
        {"GET VAR plant1 battery.runtime", "VAR plant1 battery.runtime \"1800\"\n"},
        {"GET VAR plant1 device.mfr", "ERR VAR-NOT-SUPPORTED\n"},
        {"GET VAR plant1 ups.nosuch", "ERR VAR-NOT-SUPPORTED\n"},
        {"GET VAR plant2 ups.status", "ERR DATA-STALE\n"},
        {"GET VAR plant3 ups.status", "ERR DRIVER-NOT-CONNECTED\n"},
        {"GET VAR nosuch ups.status", "ERR UNKNOWN-UPS\n"},
        {"GET VAR plant1", "ERR INVALID-ARGUMENT\n"},
        {"GET TYPE plant1 battery.charge", "TYPE plant1 battery.charge NUMBER\n"},
        {"GET TYPE plant1 ups.status", "TYPE plant1 ups.status STRING:512\n"},
        {"GET TYPE plant1 ups.nosuch", "ERR VAR-NOT-SUPPORTED\n"},
        {"GET DESC plant1 ups.status", "DESC plant1 ups.status \"UPS status\"\n"},
        {"GET DESC plant2 battery.runtime",
         "DESC plant2 battery.runtime \"Battery runtime left (seconds)\"\n"},
        {"GET UPSDESC plant1", "UPSDESC plant1 \"Row 3 \\\"east\\\"\"\n"},
        {"GET UPSDESC nosuch", "ERR UNKNOWN-UPS\n"},
        {"GET CMDDESC plant1 load.off", "ERR CMD-NOT-SUPPORTED\n"},
        {"GET NUMLOGINS plant1", "NUMLOGINS plant1 0\n"},
        {"GET TRACKING", "ERR INVALID-ARGUMENT\n"},
        {"GET NOSUCH plant1 x", "ERR INVALID-ARGUMENT\n"},
        {"SET VAR plant1 ups.id \"x\"", "ERR ACCESS-DENIED\n"},
        {"INSTCMD plant1 load.off", "ERR ACCESS-DENIED\n"},
        {"FSD plant1", "ERR ACCESS-DENIED\n"},
        {"PRIMARY plant1", "ERR ACCESS-DENIED\n"},
        {"STARTTLS", "ERR FEATURE-NOT-CONFIGURED\n"},
        {"FROB plant1", "ERR UNKNOWN-COMMAND\n"},
        {"GET VAR \"plant1", "ERR INVALID-ARGUMENT\n"},
        {"", ""},
        // upsmon's login, the wrong way round and then right.
        {"LOGIN plant1", "ERR USERNAME-REQUIRED\n"},
        {"USERNAME monuser", "OK\n"},
        {"USERNAME other", "ERR ALREADY-SET-USERNAME\n"},
        {"LOGIN plant1", "ERR PASSWORD-REQUIRED\n"},
        {"PASSWORD \"pass word\"", "OK\n"},
        {"PASSWORD again", "ERR ALREADY-SET-PASSWORD\n"},
        {"LOGIN nosuch", "ERR UNKNOWN-UPS\n"},
        {"LOGIN plant1", "OK\n"},
        {"LOGIN plant1", "ERR ALREADY-LOGGED-IN\n"},
        {"GET NUMLOGINS plant1", "NUMLOGINS plant1 1\n"},
        {"LIST CLIENT plant1",
         "BEGIN LIST CLIENT plant1\nCLIENT plant1 192.0.2.7\nEND LIST CLIENT plant1\n"},
        {"GET NUMLOGINS plant2", "NUMLOGINS plant2 0\n"},
    };
    expect_exchanges(s, table);
    std::string out;
    bool close = false;
    s.answer("LOGOUT", out, close);
    EXPECT_EQ(out, "OK Goodbye\n");
    EXPECT_TRUE(close);
    EXPECT_EQ(counters.unknown_commands.load(), 1u);
    EXPECT_EQ(counters.stale_answers.load(), 4u);
    EXPECT_EQ(counters.refused_writes.load(), 4u);
    EXPECT_EQ(counters.logins.load(), 1u);
    EXPECT_EQ(counters.logins_refused.load(), 3u);
    // Every line of every answer ends in LF alone.
    EXPECT_EQ(list_var.find('\r'), std::string::npos);
}

TEST(NutParts, LoginNeedsTheUsersFileAndEndsWithTheConnection) {
    FakeDirectory dir;
    LoginBook logins;
    NutCounters counters;
    SessionShared open{dir, logins, std::nullopt, counters, "9.9"};
    {
        NutSession s(open, "192.0.2.8");
        expect_exchanges(s, {{"USERNAME monuser", "OK\n"},
                             {"PASSWORD x", "OK\n"},
                             {"LOGIN plant1", "ERR ACCESS-DENIED\n"}});
    }
    {
        // upsmon writes a password with blanks unquoted.
        SessionShared spaced{dir, logins, Credentials{"monuser", "mon  pass"}, counters, "9.9"};
        NutSession s(spaced, "192.0.2.11");
        expect_exchanges(s, {{"USERNAME monuser", "OK\n"},
                             {"PASSWORD mon  pass", "OK\n"},
                             {"LOGIN plant1", "OK\n"},
                             {"USERNAME a b", "ERR INVALID-ARGUMENT\n"}});
    }
    SessionShared with_user{dir, logins, Credentials{"monuser", "secret"}, counters, "9.9"};
    with_user.tls = true;
    {
        NutSession s(with_user, "192.0.2.12");
        expect_exchanges(s, {{"STARTTLS now", "ERR INVALID-ARGUMENT\n"},
                             {"STARTTLS", "OK STARTTLS\n"},
                             {"STARTTLS", "ERR ALREADY-SSL-MODE\n"}});
        EXPECT_TRUE(s.take_start_tls());
        EXPECT_FALSE(s.take_start_tls());
    }
    {
        NutSession wrong(with_user, "192.0.2.9");
        expect_exchanges(wrong, {{"USERNAME monuser", "OK\n"},
                                 {"PASSWORD secreT", "OK\n"},
                                 {"LOGIN plant1", "ERR ACCESS-DENIED\n"}});
        NutSession right(with_user, "192.0.2.10");
        expect_exchanges(right, {{"USERNAME monuser", "OK\n"},
                                 {"PASSWORD secret", "OK\n"},
                                 {"LOGIN plant2", "OK\n"},
                                 {"GET NUMLOGINS plant2", "NUMLOGINS plant2 1\n"}});
    }
    EXPECT_TRUE(logins.clients("plant2").empty());
}

TEST(NutParts, EveryVariableHasADescriptionATypeAndANumberForm) {
    const UpsReading r = plant(BatteryState::Discharging, 1234.567);
    size_t n = 0;
    for (const NutVariable* v = nut_variables_begin(); v != nut_variables_end(); ++v, ++n) {
        EXPECT_EQ(find_variable(v->name), v) << v->name << " is listed twice";
        EXPECT_FALSE(std::string(v->description).empty()) << v->name;
        EXPECT_FALSE(std::string(v->source).empty()) << v->name;
        const auto value = v->value(r);
        if (!value || v->type != VarType::Number) continue;
        // Decimal with a dot, never an exponent or a comma.
        EXPECT_EQ(value->find_first_not_of("-0123456789."), std::string::npos)
            << v->name << " = " << *value;
    }
    EXPECT_GE(n, 20u);
    EXPECT_EQ(find_variable("ups.nosuch"), nullptr);
}

}  // namespace
