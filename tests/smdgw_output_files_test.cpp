// The files smdgw writes: made 0640 (less under a stricter umask), the
// history's and the outbox's SQLite companions (-wal, -shm) too; an output
// file that cannot be opened at start ends the gateway with status 1 and a
// message naming the file and the reason, unlike a file that is not what the
// option needs (status 2). A driver log that cannot be written is told
// through smdgw's own log, once, and its mending says what was lost.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"
#include "tools/smdgw/core/driver_log_capture.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/history/history_store.h"
#include "tools/smdgw/mqtt/mqtt_outbox.h"

namespace {

using testsupport::run_process;
using testsupport::TempDir;

const char* const kConfig = R"({"devices":[{"name":"plant1","data_id":418,"address":1}]})";

// The file's permission bits, or -1 when it is missing.
int mode_of(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return -1;
    return static_cast<int>(st.st_mode & 07777);
}

// Sets the umask for one scope.
class Umask {
   public:
    explicit Umask(mode_t m) : saved_(::umask(m)) {}
    ~Umask() { ::umask(saved_); }
    Umask(const Umask&) = delete;
    Umask& operator=(const Umask&) = delete;

   private:
    mode_t saved_;
};

std::string make_capture(const TempDir& dir) {
    const std::string cap = (dir.path() / "plant.cap").string();
    const auto sim = run_process(
        {POWERSIM_PATH, "--out", cap, "--rounds", "4", "--modules", "40", "--seed", "3"});
    if (sim.status != 0) throw std::runtime_error(sim.err);
    return cap;
}

TEST(SmdgwOutputFiles, CreatedFilesAre0640UnlessTheUmaskIsStricter) {
    TempDir dir;
    const std::string cfg = dir.write("gw.json", kConfig).string();
    const std::string cap = make_capture(dir);
    const std::string base = dir.path().string() + "/";
    {
        Umask mask(022);
        const auto r =
            run_process({SMDGW_PATH, "--config", cfg, "--plugin", PLUGIN_PATH, "--replay", cap,
                         "--log", base + "d.log", "--log-max-size", "8k", "--log-keep", "2",
                         "--prometheus", base + "x.prom", "--history", base + "h.db"});
        ASSERT_EQ(r.status, 0) << r.err;
        for (const char* name : {"d.log", "d.log.1", "d.log.2", "x.prom", "h.db"})
            EXPECT_EQ(mode_of(base + name), 0640) << name;

        // SQLite's companions take the database file's mode; they live only
        // while the database is open.
        smdgw::HistoryStore history = smdgw::HistoryStore::open_for_writing(base + "h2.db");
        history.count();  // a read in WAL mode opens both
        smdgw::MqttOutbox outbox(base + "o.db", 1 << 20);
        for (const char* name : {"h2.db", "h2.db-wal", "h2.db-shm", "o.db", "o.db-mqtt-reserve"})
            EXPECT_EQ(mode_of(base + name), 0640) << name;
        for (const char* name : {"o.db-wal", "o.db-shm"}) {
            const int m = mode_of(base + name);
            if (m != -1) {
                EXPECT_EQ(m, 0640) << name;
            }
        }
    }
    {
        Umask mask(077);
        const auto r =
            run_process({SMDGW_PATH, "--config", cfg, "--plugin", PLUGIN_PATH, "--replay", cap,
                         "--log", base + "strict.log", "--history", base + "strict.db"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(mode_of(base + "strict.log"), 0600);
        EXPECT_EQ(mode_of(base + "strict.db"), 0600);
    }
}

TEST(SmdgwOutputFiles, AnOutputFileThatCannotBeOpenedExitsWith1NamingIt) {
    TempDir dir;
    const std::string cfg = dir.write("gw.json", kConfig).string();
    const std::string cap = dir.write("empty.cap", "").string();
    const std::string missing = dir.path().string() + "/not-mounted/";
    const std::string not_sqlite = dir.write("notes.txt", "not a database\n").string();
    const struct {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {{"--log", missing + "d.log"}, 1, missing + "d.log: No such file or directory"},
        {{"--prometheus", missing + "x.prom"}, 1, missing + "x.prom: No such file or directory"},
        {{"--history", missing + "h.db"}, 1, missing + "h.db: No such file or directory"},
        {{"--history", dir.path().string()}, 1, dir.path().string() + ": Is a directory"},
        {{"--history", not_sqlite}, 2, not_sqlite + ": not a SQLite database"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {SMDGW_PATH,  "--config", cfg, "--plugin",
                                         PLUGIN_PATH, "--replay", cap};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = run_process(argv);
        EXPECT_EQ(r.status, c.status) << c.args[0] << " " << c.args[1] << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
}

// Fails while `failing` is set, with the message a full disk gives.
class FlakyTarget : public smdgw::LogTarget {
   public:
    FlakyTarget(std::atomic<bool>& failing, std::string& written)
        : failing_(failing), written_(written) {}
    bool write(const char* data, size_t n, std::string& error) override {
        if (failing_) {
            error = "cannot write fake.log: No space left on device";
            return false;
        }
        written_.append(data, n);
        return true;
    }

   private:
    std::atomic<bool>& failing_;
    std::string& written_;
};

TEST(SmdgwOutputFiles, DriverLogFailuresAreToldThroughSmdgwsLogOnce) {
    std::ostringstream messages;
    smdgw::LogSettings settings;
    settings.to = &messages;
    settings.telegraf = true;
    const smdgw::LogSettings previous = smdgw::set_log(settings);
    std::atomic<bool> failing{true};
    std::string written;
    {
        // Nothing may print while the capture holds standard output.
        smdgw::DriverLogCapture capture(std::make_unique<FlakyTarget>(failing, written));
        for (int i = 0; i < 3; ++i) {
            capture.append("lost\n", 5);
            capture.flush();
        }
        failing = false;
        capture.append("back\n", 5);
        capture.flush();
    }
    smdgw::set_log(previous);
    EXPECT_EQ(messages.str(),
              "E! smdgw: cannot write fake.log: No space left on device; driver log lines are "
              "lost until it mends\n"
              "W! smdgw: the driver's log is written again; 15 bytes in 3 batches were lost\n");
    EXPECT_EQ(written, "back\n");
}

}  // namespace
