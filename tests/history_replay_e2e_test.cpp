// The history with real rounds: every record a replayed capture stores comes
// back byte for byte, and a gateway killed with SIGKILL in the middle of a
// round, on a FIFO or following the simulator, serves the last stored voltage
// right after it starts again. The capture tests are skipped without the
// example capture.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/reader.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "host/frame_codec.h"
#include "record/veltra_record.h"
#include "tests/support/pty_bridge.h"
#include "tests/support/run_process.h"
#include "tests/support/sql_text.h"
#include "tests/support/temp_dir.h"
#include "tools/smdgw/history/history_store.h"

namespace {

using testsupport::read_text;
using testsupport::run_process;
using testsupport::TempDir;

using Stores = std::map<std::string, std::vector<std::vector<unsigned char>>>;

const std::string kCapture = std::string(SOURCE_DIR) + "/examples/plant.cap";
const std::string kConfig = std::string(SOURCE_DIR) + "/examples/gateway.json";

// The records each device handed to SaveDeviceHistory, from --trace-host lines.
Stores traced_stores(const std::vector<std::string>& lines) {
    Stores out;
    for (const auto& line : lines) {
        Json::Value v;
        if (!Json::Reader().parse(line, v) || v["call"].asString() != "SaveDeviceHistory") continue;
        std::vector<unsigned char> bytes;
        EXPECT_TRUE(smd::from_hex(v["hex"].asString(), bytes));
        out[v["device"].asString()].push_back(bytes);
    }
    return out;
}

Stores stored_rows(const std::string& path) {
    Stores out;
    auto store = smdgw::HistoryStore::open_for_reading(path);
    store.for_each({}, [&](const smdgw::StoredRecord& r) { out[r.device].push_back(r.bytes); });
    return out;
}

TEST(HistoryReplay, EveryStoredRecordComesBackByteForByte) {
    TempDir dir;
    const std::string db = dir.path().string() + "/h.db";
    const auto r = run_process(
        {SMDGW_PATH, "--config", kConfig, "--replay", kCapture, "--history", db, "--trace-host"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto traced = traced_stores(r.out_lines());
    ASSERT_FALSE(traced.empty()) << "the capture stored no record";
    EXPECT_EQ(stored_rows(db), traced);
    EXPECT_EQ(testsupport::sql_text(db, "PRAGMA integrity_check"), "ok");
}

TEST(HistoryReplay, MaxRowsKeepsTheNewestRoundsOfEachDevice) {
    TempDir dir;
    const std::string db = dir.path().string() + "/h.db";
    const std::string cap = dir.path().string() + "/sim.cap";
    ASSERT_EQ(run_process({POWERSIM_PATH, "--out", cap, "--rounds", "30", "--seed", "3"}).status, 0);
    const std::string config =
        dir.write_s("gw.json", R"({"devices":[{"name":"plant1","data_id":418,"address":1}]})");
    const auto r = run_process({SMDGW_PATH, "--config", config, "--replay", cap, "--history", db,
                                "--history-max-rows", "5", "--trace-host"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto traced = traced_stores(r.out_lines());
    ASSERT_EQ(traced.at("plant1").size(), 30u);
    const auto rows = stored_rows(db);
    ASSERT_EQ(rows.at("plant1").size(), 5u);
    EXPECT_EQ(rows.at("plant1"), std::vector<std::vector<unsigned char>>(
                                     traced.at("plant1").end() - 5, traced.at("plant1").end()));
}

// smdgw following a FIFO, its standard output readable line by line.
class RunningGateway {
   public:
    RunningGateway(const std::vector<std::string>& argv) {
        int out[2];
        if (::pipe(out) != 0) return;
        // Made before fork: the child of a threaded process must not allocate.
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            const int devnull = ::open("/dev/null", O_RDWR);
            ::dup2(devnull, STDIN_FILENO);
            ::dup2(devnull, STDERR_FILENO);
            ::close(out[0]);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(out[1]);
        out_ = ::fdopen(out[0], "r");
    }
    ~RunningGateway() {
        kill();
        if (out_) std::fclose(out_);
    }
    // The next line of output; false at its end.
    bool next_line(std::string& line) {
        line.clear();
        if (!out_) return false;
        for (int c; (c = std::fgetc(out_)) != EOF;) {
            if (c == '\n') return true;
            line += static_cast<char>(c);
        }
        return !line.empty();
    }
    int kill() {
        if (pid_ <= 0) return status_;
        ::kill(pid_, SIGKILL);
        int st = 0;
        ::waitpid(pid_, &st, 0);
        pid_ = -1;
        status_ = WIFSIGNALED(st) ? 128 + WTERMSIG(st) : WEXITSTATUS(st);
        return status_;
    }

   private:
    pid_t pid_ = -1;
    FILE* out_ = nullptr;
    int status_ = -1;
};

size_t total(const Stores& s) {
    size_t n = 0;
    for (const auto& kv : s) n += kv.second.size();
    return n;
}

// Reads the gateway's output until it has stored `count` records, then kills
// it with SIGKILL; returns what it stored.
Stores kill_after_stores(RunningGateway& gw, size_t count) {
    std::vector<std::string> lines;
    size_t stores = 0;
    for (std::string l; stores < count && gw.next_line(l);) {
        if (l.find(R"("call":"SaveDeviceHistory")") != std::string::npos) ++stores;
        lines.push_back(l);
    }
    EXPECT_EQ(stores, count);
    EXPECT_EQ(gw.kill(), 128 + SIGKILL);
    return traced_stores(lines);
}

// After a run that ended normally (first) and one killed with SIGKILL
// (second): the database is intact, holds all of the first run and then a
// prefix of the second, and a restart without input serves each device's
// last stored voltage at once without storing the restored round again.
void expect_history_survived(const std::string& db, const std::string& config,
                             const std::string& empty_capture, const Stores& first,
                             const Stores& second) {
    EXPECT_EQ(testsupport::sql_text(db, "PRAGMA integrity_check"), "ok");
    const auto rows = stored_rows(db);
    ASSERT_EQ(rows.size(), first.size());
    for (const auto& kv : rows) {
        const auto& a = first.at(kv.first);
        const auto& b = second.at(kv.first);
        ASSERT_GE(kv.second.size(), a.size());
        ASSERT_LE(kv.second.size(), a.size() + b.size());
        for (size_t k = 0; k < kv.second.size(); ++k) {
            EXPECT_EQ(kv.second[k], k < a.size() ? a[k] : b[k - a.size()]) << kv.first << k;
        }
    }

    const auto r = run_process({SMDGW_PATH, "--config", config, "--replay", empty_capture,
                                "--history", db, "--get", "out_v"});
    ASSERT_EQ(r.status, 0) << r.err;
    size_t served = 0, loaded = 0;
    for (const auto& l : r.out_lines()) {
        Json::Value v;
        if (!Json::Reader().parse(l, v)) continue;
        const std::string device = v["device"].asString();
        if (v["event"].asString() == "history" && v["restore"].asString() == "loaded") ++loaded;
        if (v["event"].asString() != "value") continue;
        const float expect = load_le_f32(rows.at(device).back().data() + 2225);
        ASSERT_TRUE(v.isMember("value")) << l;
        EXPECT_FLOAT_EQ(v["value"].asFloat(), expect) << l;
        ++served;
    }
    EXPECT_EQ(loaded, rows.size()) << r.out;
    EXPECT_EQ(served, rows.size()) << r.out;
    EXPECT_EQ(stored_rows(db), rows);
}

TEST(HistoryRestart, SigkillMidRoundLosesNothingCommittedAndRestartServesAtOnce) {
    TempDir dir;
    const std::string db = dir.path().string() + "/h.db";
    const std::string fifo = dir.path().string() + "/line";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string capture = read_text(kCapture);

    // A first run that ends normally: everything it stored is committed.
    const Stores first = traced_stores(run_process({SMDGW_PATH, "--config", kConfig, "--replay",
                                                    kCapture, "--history", db, "--trace-host"})
                                           .out_lines());
    ASSERT_GT(total(first), 0u);

    // A second run on a line, killed after one more pass and half a round.
    RunningGateway gw({SMDGW_PATH, "--config", kConfig, "--port", fifo, "--history", db,
                       "--history-restore-age", "0", "--trace-host"});
    const int line = ::open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(line, 0);
    const std::string wire = capture + capture.substr(0, capture.size() / 2);
    ASSERT_EQ(::write(line, wire.data(), wire.size()), static_cast<ssize_t>(wire.size()));
    const Stores second = kill_after_stores(gw, total(first));
    ::close(line);
    expect_history_survived(db, kConfig, dir.write_s("empty.cap", ""), first, second);
}

TEST(HistoryRestart, OnTheSimulatorOverAPseudoTerminal) {
    TempDir dir;
    const std::string db = dir.path().string() + "/h.db";
    const std::string config =
        dir.write_s("gw.json", R"({"devices":[{"name":"plant1","data_id":418,"address":1}]})");
    const std::string cap = dir.path().string() + "/sim.cap";
    ASSERT_EQ(run_process({POWERSIM_PATH, "--out", cap, "--rounds", "3", "--seed", "5"}).status, 0);
    const std::string one_round = dir.path().string() + "/one.cap";
    ASSERT_EQ(
        run_process({POWERSIM_PATH, "--out", one_round, "--rounds", "1", "--seed", "8"}).status, 0);

    const Stores first = traced_stores(run_process({SMDGW_PATH, "--config", config, "--replay", cap,
                                                    "--history", db, "--trace-host"})
                                           .out_lines());
    ASSERT_EQ(total(first), 3u);

    // Following the simulator on a line; killed while half a round is in.
    testsupport::PtyBridge line;
    RunningGateway gw({SMDGW_PATH, "--config", config, "--port", line.end_b(), "--history", db,
                       "--history-restore-age", "0", "--trace-host"});
    ASSERT_EQ(
        run_process({POWERSIM_PATH, "--port", line.end_a(), "--rounds", "4", "--seed", "9"}).status,
        0);
    const std::string half = read_text(one_round).substr(0, read_text(one_round).size() / 2);
    const int fd = ::open(line.end_a().c_str(), O_WRONLY | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, half.data(), half.size()), static_cast<ssize_t>(half.size()));
    const Stores second = kill_after_stores(gw, 4);
    ::close(fd);
    expect_history_survived(db, config, dir.write_s("empty.cap", ""), first, second);
}

}  // namespace
