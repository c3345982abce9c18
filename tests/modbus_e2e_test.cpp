// The Modbus TCP server end to end: powersim plays the plant (with its
// battery) on a pseudo-terminal, smdgw follows it with --modbus-listen and
// --http on free loopback ports. Debian's mbpoll reads the whole map of
// plant1 and every value equals what the HTTP API shows of the same round,
// after scaling; writes are refused, an unknown unit and a plant gone quiet
// answer their exceptions, and not a byte of it reaches the line.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/pty_bridge.h"
#include "tests/support/run_process.h"
#include "tests/support/smdgw_run.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"
#include "tools/smdgw/modbus/register_map.h"

namespace {

using namespace smdgw::modbus;
using testsupport::Child;
using testsupport::parse_json;
using testsupport::read_text;
using testsupport::run_process;
using testsupport::TempDir;
using testsupport::wait_until;

// plant1 answers at address 1, as unit 1 with the low word first; nothing
// answers for plant2 (unit 9).
const char* const kConfig =
    R"({"devices":[{"name":"plant1","data_id":418,"address":1,"stale_after_s":STALE,)"
    R"("modbus_word_order":"ORDER","battery":{"strings_ah":[200],"temperature_value":0}},)"
    R"({"name":"plant2","data_id":419,"address":2,"modbus_unit":9}]})";

class Rig {
   public:
    explicit Rig(const std::string& order = "big", const std::string& stale_after = "120",
                 std::vector<std::string> gw_extra = {}, std::vector<std::string> faults = {}) {
        std::string config = kConfig;
        config.replace(config.find("STALE"), 5, stale_after);
        config.replace(config.find("ORDER"), 5, order);
        err_ = (dir_.path() / "gw.err").string();
        std::vector<std::string> args = {SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config",
                                         dir_.write("gw.json", config).string(), "--port",
                                         line_.end_b(), "--http", "127.0.0.1:0",
                                         "--modbus-listen", "127.0.0.1:0"};
        args.insert(args.end(), gw_extra.begin(), gw_extra.end());
        gw_ = std::make_unique<Child>(args, (dir_.path() / "gw.out").string(), err_);
        std::vector<std::string> sim = {POWERSIM_PATH, "--port", line_.end_a(), "--realtime",
                                        "--rounds", "0", "--battery-ah", "200",
                                        "--battery-strings", "1", "--fault", "load:50@1-"};
        for (const std::string& f : faults) sim.insert(sim.end(), {"--fault", f});
        sim_ = std::make_unique<Child>(sim, (dir_.path() / "sim.out").string(),
                                       (dir_.path() / "sim.err").string());
        ready_ = wait_until(
            [&] {
                const std::string e = read_text(err_);
                modbus_port_ = port_after(e, " on 127.0.0.1:");
                http_port_ = port_after(e, "serving http://127.0.0.1:");
                return modbus_port_ > 0 && http_port_ > 0;
            },
            30);
    }
    ~Rig() {
        stop_sim();
        gw_->signal(SIGTERM);
        gw_->wait(30);
    }
    bool ready() const { return ready_; }
    std::string log() const { return read_text(err_); }
    uint64_t line_bytes() const { return line_.bytes_from_b(); }
    Json::Value api(const std::string& path) const {
        httplib::Client c("127.0.0.1", http_port_);
        c.set_read_timeout(10, 0);
        const auto r = c.Get(path);
        return r && r->status == 200 ? parse_json(r->body) : Json::Value();
    }
    std::string metrics() const {
        httplib::Client c("127.0.0.1", http_port_);
        const auto r = c.Get("/metrics");
        return r ? r->body : "";
    }
    // mbpoll once: -t TYPE from PDU address `from`, count values (0: a
    // write, of the values in extra).
    testsupport::ProcessResult mbpoll(int unit, const std::string& type, int from, int count,
                                      std::vector<std::string> extra = {}) const {
        std::vector<std::string> argv = {MBPOLL_PATH, "-m", "tcp", "-p",
                                         std::to_string(modbus_port_), "-a",
                                         std::to_string(unit), "-0", "-1", "-o", "5", "-t", type,
                                         "-r", std::to_string(from)};
        if (count > 0) argv.insert(argv.end(), {"-c", std::to_string(count)});
        argv.push_back("127.0.0.1");
        argv.insert(argv.end(), extra.begin(), extra.end());
        return run_process(argv);
    }
    void stop_sim() {
        if (!sim_) return;
        sim_->signal(SIGTERM);
        sim_->wait(10);
        sim_.reset();
    }

   private:
    static int port_after(const std::string& text, const std::string& marker) {
        size_t at = text.find("modbus: serving ");
        if (marker != " on 127.0.0.1:") at = 0;
        if (at == std::string::npos) return 0;
        at = text.find(marker, at);
        return at == std::string::npos ? 0 : std::atoi(text.c_str() + at + marker.size());
    }

    TempDir dir_;
    testsupport::PtyBridge line_;
    std::string err_;
    std::unique_ptr<Child> gw_, sim_;
    int modbus_port_ = 0, http_port_ = 0;
    bool ready_ = false;
};

// mbpoll's "[address]: value" lines.
std::map<int, std::string> mbpoll_values(const std::string& text) {
    std::map<int, std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] != '[') continue;
        const size_t close = line.find("]:");
        if (close == std::string::npos) continue;
        std::string v = line.substr(close + 2);
        v.erase(0, v.find_first_not_of(" \t"));
        out[std::atoi(line.c_str() + 1)] = v;
    }
    return out;
}

// Every register of the map, read in blocks of at most 125, as hex.
bool read_registers(const Rig& rig, std::vector<uint16_t>& regs, std::string& why) {
    regs.assign(kRegisterCount, 0);
    for (size_t from = 0; from < kRegisterCount; from += 125) {
        const int count = static_cast<int>(std::min<size_t>(125, kRegisterCount - from));
        const auto r = rig.mbpoll(1, "4:hex", static_cast<int>(from), count);
        const auto v = mbpoll_values(r.out);
        if (r.status != 0 || v.size() != static_cast<size_t>(count)) {
            why = r.out + r.err;
            return false;
        }
        for (const auto& [at, text] : v) regs[static_cast<size_t>(at)] =
            static_cast<uint16_t>(std::stoul(text, nullptr, 16));
    }
    return true;
}

// A member of the API's record by the map's place; null when the API shows
// none (an AC input the plant did not report, an entry past its count).
Json::Value record_value(const Json::Value& rec, const char* section, const char* member,
                         size_t instance, size_t entry) {
    Json::Value v = *section ? rec[section] : rec;
    if (v.isArray()) {
        // The AC inputs the plant reported; the API keeps both.
        if (std::string(section) == "ac_channels" &&
            instance >= rec["ac"]["channel_count"].asUInt())
            return Json::Value();
        v = instance < v.size() ? v[static_cast<Json::ArrayIndex>(instance)] : Json::Value();
    }
    v = v[member];
    if (v.isArray()) v = entry < v.size() ? v[static_cast<Json::ArrayIndex>(entry)] : Json::Value();
    return v;
}

// The API's value of a register row's value, in the row's unit; null when
// the API shows none.
Json::Value api_value(const Json::Value& device, const Json::Value& battery, const MapRow& r,
                      size_t instance, size_t entry) {
    static const std::vector<std::string> states = {"never", "live", "stale", "restored",
                                                    "no-port"};
    static const std::vector<std::string> fresh = {"fresh", "held", "missing", "never"};
    static const std::vector<std::string> battery_states = {"unknown", "float", "charging",
                                                            "discharging", "disconnected"};
    const auto index_of = [](const std::vector<std::string>& names, const std::string& n) {
        const auto it = std::find(names.begin(), names.end(), n);
        return it == names.end() ? Json::Value() : Json::Value(static_cast<int>(it - names.begin()));
    };
    const Json::Value& rec = device["record"];
    const bool on = battery.isObject() && battery["state"].asString() != "unknown";
    switch (r.source) {
        case Source::DataState:
            return index_of(states, device["state"].asString());
        case Source::Freshness:
            return index_of(fresh, device["sections"][r.section]["state"].asString());
        case Source::AlarmsActive:
            return device["alarms_active"];
        case Source::Battery: {
            const std::string m = r.member;
            if (m == "state") return index_of(battery_states, battery["state"].asString());
            if (!on) return Json::Value();
            if (m == "charge")
                return battery["charge"].isNull() ? Json::Value()
                                                  : Json::Value(battery["charge"].asDouble() * 100);
            if (m == "runtime_min")
                return battery["runtime_s"].isNull()
                           ? Json::Value()
                           : Json::Value(std::floor(battery["runtime_s"].asDouble() / 60));
            return battery[m];
        }
        case Source::Record:
            break;
    }
    return record_value(rec, r.section, r.member, instance, entry);
}

// An alarm bit as the API shows its source.
bool api_bit(const Json::Value& device, const Json::Value& battery, const BitRow& b,
             size_t instance, size_t entry) {
    switch (b.source) {
        case BitSource::AnyAlarm:
            return device["alarms_active"].asUInt() > 0;
        case BitSource::OnBattery:
            return battery["state"].asString() == "discharging";
        case BitSource::BatteryDisconnected:
            return battery["state"].asString() == "disconnected";
        case BitSource::Record:
            break;
    }
    const Json::Value code = record_value(device["record"], b.section, b.member, instance, entry);
    return code.isNumeric() && code.asDouble() != 0.0;
}

// What the map says of one value, as the row's number; false when it shows none.
bool register_value(const std::vector<uint16_t>& regs, const MapRow& r, size_t at,
                    bool big_first, double& out) {
    switch (r.type) {
        case RegType::Float32: {
            const uint32_t hi = big_first ? regs[at] : regs[at + 1];
            const uint32_t lo = big_first ? regs[at + 1] : regs[at];
            const uint32_t bits = (hi << 16) | lo;
            float f;
            std::memcpy(&f, &bits, sizeof f);
            out = f;
            return !std::isnan(f);
        }
        case RegType::Int16:
            out = static_cast<int16_t>(regs[at]) / r.scale;
            return regs[at] != 0x8000;
        case RegType::UInt16:
            out = regs[at] / r.scale;
            return regs[at] != 0xFFFF;
    }
    return false;
}

// What the map shows of a device besides its record: its state, its
// sections' freshness and its alarm count. The alarms follow the record a
// little later, so a read between two API reads counts only if these agree.
Json::Value shown_besides_record(const Json::Value& device) {
    Json::Value out;
    out["state"] = device["state"];
    out["alarms_active"] = device["alarms_active"];
    for (const std::string& s : device["sections"].getMemberNames())
        out["sections"][s] = device["sections"][s]["state"];
    return out;
}

// Reads the whole map and the alarm bits with mbpoll between two API reads
// of the same round, and compares every value and bit; the number of
// register values both show.
size_t compare_map(const Rig& rig, bool big_first, std::string& failures) {
    size_t compared = 0;
    const bool same_round = wait_until(
        [&] {
            const Json::Value before = rig.api("/api/v1/devices/plant1");
            const Json::Value battery_before = rig.api("/api/v1/devices/plant1/battery");
            std::vector<uint16_t> regs;
            std::string why;
            if (!read_registers(rig, regs, why)) {
                failures = "mbpoll: " + why;
                return false;
            }
            const auto inputs = rig.mbpoll(1, "1", 0, static_cast<int>(kBitCount));
            const std::map<int, std::string> bits = mbpoll_values(inputs.out);
            if (bits.size() != kBitCount) {
                failures = "mbpoll: " + inputs.out + inputs.err;
                return false;
            }
            const Json::Value after = rig.api("/api/v1/devices/plant1");
            const Json::Value battery_after = rig.api("/api/v1/devices/plant1/battery");
            if (before["record"] != after["record"] || battery_before != battery_after ||
                shown_besides_record(before) != shown_besides_record(after) ||
                before["state"].asString() != "live" || !before["record"].isObject() ||
                battery_before["state"].asString() == "unknown")
                return false;
            failures.clear();
            compared = 0;
            for (const MapRow& r : kRegisterMap)
                for (size_t i = 0; i < r.instances; ++i)
                    for (size_t k = 0; k < r.entries; ++k) {
                        const size_t at = r.address + i * r.stride + k * register_width(r.type);
                        const Json::Value want = api_value(before, battery_before, r, i, k);
                        double got = 0.0;
                        const bool shown = register_value(regs, r, at, big_first, got);
                        const std::string name = value_name(r, i, k);
                        if (!want.isNumeric()) {
                            if (shown)
                                failures +=
                                    name + ": shown " + std::to_string(got) + ", API none\n";
                            continue;
                        }
                        ++compared;
                        // Scaled values are rounded to their last step.
                        const double step =
                            r.type == RegType::Float32 ? 1e-6 * std::fabs(want.asDouble()) + 1e-9
                                                       : 1.0 / r.scale + 1e-9;
                        if (!shown || std::fabs(got - want.asDouble()) > step)
                            failures += name + ": " + (shown ? std::to_string(got) : "none") +
                                        ", API " + want.toStyledString();
                    }
            for (const BitRow& b : kAlarmBits)
                for (size_t i = 0; i < b.instances; ++i)
                    for (size_t k = 0; k < b.entries; ++k) {
                        const int at = static_cast<int>(b.index + i * b.stride + k);
                        const bool want = api_bit(before, battery_before, b, i, k);
                        if (bits.at(at) != (want ? "1" : "0"))
                            failures += bit_name(b, i, k) + ": bit " + bits.at(at) + ", API " +
                                        (want ? "1" : "0") + "\n";
                    }
            return true;
        },
        60);
    if (!same_round) failures += "no round read whole between two API reads\n";
    return compared;
}

TEST(ModbusE2e, MbpollReadsTheWholeMapAsTheHttpApiShowsIt) {
    // A blown fuse on panel 1 and a faulty module 2: alarm bits to see.
    Rig rig("big", "120", {}, {"fuse:1:3@1-", "module-fault:2@1-"});
    ASSERT_TRUE(rig.ready()) << rig.log();
    const uint64_t line_before = rig.line_bytes();
    std::string failures;
    const size_t compared = compare_map(rig, true, failures);
    EXPECT_EQ(failures, "") << rig.log();
    // The plant's 2 AC inputs, its modules, 2 panels and the battery: most of the map.
    EXPECT_GE(compared, 40u);
    // The float and the scaled register of the bus voltage, through mbpoll's own decoding.
    const auto fl = rig.mbpoll(1, "4:float", 224, 1, {"-B"});
    const auto sc = rig.mbpoll(1, "3", 100, 1);
    const auto f = mbpoll_values(fl.out), s = mbpoll_values(sc.out);
    ASSERT_EQ(f.count(224), 1u) << fl.out << fl.err;
    ASSERT_EQ(s.count(100), 1u) << sc.out << sc.err;
    EXPECT_NEAR(std::stod(f.at(224)) * 100.0, std::stod(s.at(100)), 1.0);
    // Coils and discrete inputs are the same alarm bits.
    const auto coils = rig.mbpoll(1, "0", 0, static_cast<int>(kBitCount));
    const auto inputs = rig.mbpoll(1, "1", 0, static_cast<int>(kBitCount));
    EXPECT_EQ(coils.status, 0) << coils.out << coils.err;
    EXPECT_EQ(mbpoll_values(coils.out).size(), kBitCount) << coils.out;
    EXPECT_EQ(mbpoll_values(coils.out), mbpoll_values(inputs.out));
    const auto bits = mbpoll_values(coils.out);
    EXPECT_EQ(bits.count(42) ? bits.at(42) : "", "1") << "dc.alert_m[2]\n" << coils.out;
    EXPECT_EQ(bits.count(65) ? bits.at(65) : "", "1") << "channels[1].fault\n" << coils.out;
    // A write is refused; so are addresses past the map and an unknown unit.
    const auto write = rig.mbpoll(1, "4", 100, 0, {"1234"});
    EXPECT_NE(write.status, 0);
    EXPECT_NE((write.out + write.err).find("Illegal function"), std::string::npos)
        << write.out << write.err;
    const auto past = rig.mbpoll(1, "4", static_cast<int>(kRegisterCount), 1);
    EXPECT_NE((past.out + past.err).find("Illegal data address"), std::string::npos)
        << past.out << past.err;
    const auto unknown = rig.mbpoll(7, "4", 0, 1);
    EXPECT_NE((unknown.out + unknown.err).find("Gateway path unavailable"), std::string::npos)
        << unknown.out << unknown.err;
    // plant2 never answered its line: its unit answers, but has nothing live.
    const auto silent = rig.mbpoll(9, "4", 0, 1);
    EXPECT_NE((silent.out + silent.err).find("Target device failed to respond"),
              std::string::npos)
        << silent.out << silent.err;
    // Nothing of it went down the serial line: a listening gateway sends nothing.
    EXPECT_EQ(rig.line_bytes(), line_before);
    EXPECT_EQ(line_before, 0u);
    const std::string m = rig.metrics();
    EXPECT_NE(m.find("\nsmdgw_modbus_refused_writes_total 1\n"), std::string::npos) << m;
    EXPECT_NE(m.find("\nsmdgw_modbus_unknown_units_total 1\n"), std::string::npos) << m;
}

TEST(ModbusE2e, LittleWordOrderSwapsTheTwoRegistersOfAFloat) {
    Rig rig("little");
    ASSERT_TRUE(rig.ready()) << rig.log();
    std::string failures;
    EXPECT_GE(compare_map(rig, false, failures), 40u);
    EXPECT_EQ(failures, "") << rig.log();
    // mbpoll's default is the low word first.
    const auto fl = rig.mbpoll(1, "4:float", 224, 1);
    const auto sc = rig.mbpoll(1, "4", 100, 1);
    const auto f = mbpoll_values(fl.out), s = mbpoll_values(sc.out);
    ASSERT_EQ(f.count(224), 1u) << fl.out << fl.err;
    ASSERT_EQ(s.count(100), 1u) << sc.out << sc.err;
    EXPECT_NEAR(std::stod(f.at(224)) * 100.0, std::stod(s.at(100)), 1.0);
}

// A client of raw bytes on loopback.
class RawClient {
   public:
    explicit RawClient(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~RawClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool send(const std::vector<uint8_t>& b) {
        return fd_ >= 0 && ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) ==
                               static_cast<ssize_t>(b.size());
    }
    // Reads until n bytes came, the server closed or seconds passed.
    std::vector<uint8_t> receive(size_t n, double seconds) {
        std::vector<uint8_t> got;
        uint8_t buf[4096];
        testsupport::wait_until(
            [&] {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 100) <= 0) return false;
                const ssize_t k = ::recv(fd_, buf, sizeof buf, 0);
                if (k <= 0) {
                    closed_ = true;
                    return true;
                }
                got.insert(got.end(), buf, buf + k);
                return got.size() >= n;
            },
            seconds);
        return got;
    }
    bool closed_within(double seconds) {
        receive(SIZE_MAX, seconds);
        return closed_;
    }

   private:
    int fd_ = -1;
    bool closed_ = false;
};

// Read holding registers, transaction tid: 12 bytes.
std::vector<uint8_t> read_request(uint16_t tid, uint8_t unit, uint16_t address, uint16_t count) {
    return {static_cast<uint8_t>(tid >> 8), static_cast<uint8_t>(tid), 0, 0, 0, 6, unit, 3,
            static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
            static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
}

double metric(const std::string& text, const std::string& name) {
    const size_t at = text.find("\n" + name + " ");
    return at == std::string::npos ? -1.0 : std::atof(text.c_str() + at + name.size() + 2);
}

TEST(ModbusE2e, BoundsCloseBadFramesSilentClientsAndOneClientTooMany) {
    Rig rig("big", "120", {"--modbus-max-per-client", "2", "--modbus-idle-timeout", "2"});
    ASSERT_TRUE(rig.ready()) << rig.log();
    const std::string log = rig.log();
    const int port = std::atoi(log.c_str() + log.find(" on 127.0.0.1:") + 14);
    ASSERT_TRUE(wait_until([&] { return rig.mbpoll(1, "4", 0, 1).status == 0; }, 60)) << rig.log();
    const auto all_closed = [&] {
        return wait_until(
            [&] { return metric(rig.metrics(), "smdgw_modbus_connections") == 0.0; }, 30);
    };
    // Not Modbus TCP: a protocol identifier of 1, a length past the longest
    // frame, a web browser on the wrong port.
    for (const std::vector<uint8_t>& bad :
         {std::vector<uint8_t>{0, 1, 0, 1, 0, 6, 1, 3, 0, 0, 0, 1},
          std::vector<uint8_t>{0, 1, 0, 0, 0, 255, 1, 3},
          std::vector<uint8_t>{'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P'}}) {
        ASSERT_TRUE(all_closed()) << rig.metrics();
        RawClient c(port);
        ASSERT_TRUE(c.send(bad));
        EXPECT_TRUE(c.closed_within(10));
    }
    // Two requests in one write, answered in order with their transactions.
    ASSERT_TRUE(all_closed()) << rig.metrics();
    {
        RawClient c(port);
        std::vector<uint8_t> two = read_request(0x0101, 1, 0, 1);
        const std::vector<uint8_t> second = read_request(0x0202, 1, 100, 2);
        two.insert(two.end(), second.begin(), second.end());
        ASSERT_TRUE(c.send(two));
        const std::vector<uint8_t> a = c.receive(11 + 13, 10);
        ASSERT_EQ(a.size(), 24u);
        EXPECT_EQ(std::vector<uint8_t>(a.begin(), a.begin() + 9),
                  (std::vector<uint8_t>{1, 1, 0, 0, 0, 5, 1, 3, 2}));
        EXPECT_EQ(std::vector<uint8_t>(a.begin() + 11, a.begin() + 20),
                  (std::vector<uint8_t>{2, 2, 0, 0, 0, 7, 1, 3, 4}));
        // A burst past the allowance is answered in full, only later.
        std::vector<uint8_t> burst;
        for (uint16_t t = 0; t < 80; ++t) {
            const auto r = read_request(t, 1, 0, 1);
            burst.insert(burst.end(), r.begin(), r.end());
        }
        ASSERT_TRUE(c.send(burst));
        EXPECT_EQ(c.receive(80 * 11, 20).size(), 80u * 11);
        EXPECT_GE(metric(rig.metrics(), "smdgw_modbus_rate_limited_total"), 1.0);
    }
    // Two connections from one address, not three; silent ones go after the
    // idle timeout, and make room.
    ASSERT_TRUE(all_closed()) << rig.metrics();
    std::vector<std::unique_ptr<RawClient>> held;
    for (int i = 0; i < 2; ++i) {
        held.push_back(std::make_unique<RawClient>(port));
        ASSERT_TRUE(held.back()->send(read_request(1, 1, 0, 1)));
        EXPECT_EQ(held.back()->receive(11, 10).size(), 11u);
    }
    RawClient third(port);
    EXPECT_TRUE(third.closed_within(10));
    for (auto& c : held) EXPECT_TRUE(c->closed_within(20));
    held.clear();
    RawClient again(port);
    ASSERT_TRUE(again.send(read_request(7, 1, 0, 1)));
    EXPECT_EQ(again.receive(11, 10).size(), 11u);
    const std::string m = rig.metrics();
    EXPECT_EQ(metric(m, "smdgw_modbus_bad_protocol_total"), 2.0) << m;
    EXPECT_EQ(metric(m, "smdgw_modbus_bad_length_total"), 1.0) << m;
    EXPECT_GE(metric(m, "smdgw_modbus_connections_over_client_limit_total"), 1.0) << m;
    EXPECT_GE(metric(m, "smdgw_modbus_idle_closed_total"), 2.0) << m;
    EXPECT_NE(rig.log().find("MBAP protocol identifier not 0; connection closed"),
              std::string::npos)
        << rig.log();
    EXPECT_EQ(rig.line_bytes(), 0u);
}

TEST(ModbusE2e, CheckConfigListsTheUnitsAndRefusesTwoOnOne) {
    TempDir dir;
    const auto check = [&](const std::string& config) {
        const std::string path = dir.write("gw.json", config).string();
        return run_process({SMDGW_PATH, "--check-config", "--plugin", PLUGIN_PATH, "--config",
                            path, "--replay", path,
                            "--modbus-listen", ":1502"});
    };
    const auto ok = check(R"({"devices":[{"name":"p1","data_id":418,"address":1},)"
                          R"({"name":"p2","data_id":419,"address":2,"modbus_unit":12}]})");
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_NE(ok.out.find("modbus: Modbus TCP server on 127.0.0.1:1502: p1 unit 1, p2 unit 12;"),
              std::string::npos)
        << ok.out;
    const auto twice = check(R"({"devices":[{"name":"p1","data_id":418,"address":1},)"
                             R"({"name":"p2","data_id":419,"address":2,"modbus_unit":1}]})");
    EXPECT_EQ(twice.status, 2);
    EXPECT_NE(twice.err.find("devices \"p1\" and \"p2\" both answer unit id 1"),
              std::string::npos)
        << twice.err;
    const auto bad_key = check(R"({"devices":[{"name":"p1","data_id":418,"address":1,)"
                               R"("modbus_unit":300}]})");
    EXPECT_EQ(bad_key.status, 2);
    EXPECT_NE(bad_key.err.find("\"modbus_unit\" must be an integer 1 to 247 (is 300)"),
              std::string::npos)
        << bad_key.err;
}

TEST(ModbusE2e, APlantGoneQuietAnswersTargetFailed) {
    Rig rig("big", "3");
    ASSERT_TRUE(rig.ready()) << rig.log();
    ASSERT_TRUE(wait_until([&] { return rig.mbpoll(1, "4", 0, 1).status == 0; }, 60)) << rig.log();
    rig.stop_sim();
    testsupport::ProcessResult stale;
    EXPECT_TRUE(wait_until(
        [&] {
            stale = rig.mbpoll(1, "4", 0, 8);
            return (stale.out + stale.err).find("Target device failed to respond") !=
                   std::string::npos;
        },
        30))
        << stale.out << stale.err << rig.log();
    const std::string m = rig.metrics();
    EXPECT_NE(m.find("\nsmdgw_modbus_stale_answers_total "), std::string::npos) << m;
}

}  // namespace
