// The driver's log as smdgw writes it: in batches, yet byte for byte the log
// the driver writes line by line; every line kept across SIGHUP rotation,
// size rotation and SIGTERM in the middle of a round; not written at all
// without --log.
//
// The reference is the driver run in this process on the same capture, its
// std::cout collected line by line, with the clock set to the round times the
// gateway published (the record's time stamp is the only line that depends
// on the clock).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/reader.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/driver_fixture.h"
#include "tests/support/run_process.h"
#include "tests/support/smdgw_run.h"
#include "tests/support/temp_dir.h"
#include "tests/support/text_diff.h"

namespace {

using testsupport::Child;

// Empty when equal (the logs are long: only the first differing line is shown).
std::string difference(const std::string& got, const std::string& want) {
    return testsupport::first_difference(want, got);
}
using testsupport::events;
using testsupport::json_lines;
using testsupport::read_text;
using testsupport::run_process;
using testsupport::run_smdgw;
using testsupport::TempDir;

constexpr double kTimeout = 120.0;

std::string demo_config() { return std::string(SOURCE_DIR) + "/examples/demo.json"; }

// Rounds with alarms coming and going and 40 rectifier modules.
std::string make_capture(const TempDir& dir, unsigned rounds) {
    const std::string cap = (dir.path() / "plant.cap").string();
    const auto sim = run_process({POWERSIM_PATH, "--out", cap, "--rounds", std::to_string(rounds),
                                  "--modules", "40", "--seed", "9", "--fault",
                                  "module-fault:3@2-3", "--fault", "fuse:2:1@3-", "--fault",
                                  "breaker-trip:1@2"});
    if (sim.status != 0) throw std::runtime_error(sim.err);
    return cap;
}

boost::posix_time::ptime round_time(const Json::Value& record) {
    const Json::Value& t = record["record"]["update_time"];
    return boost::posix_time::ptime(
        boost::gregorian::date(static_cast<unsigned short>(t["year"].asUInt()),
                               static_cast<unsigned short>(t["month"].asUInt()),
                               static_cast<unsigned short>(t["day"].asUInt())),
        boost::posix_time::hours(t["hour"].asInt()) +
            boost::posix_time::minutes(t["minute"].asInt()) +
            boost::posix_time::seconds(t["second"].asInt()));
}

// The driver's log written line by line: the capture fed frame by frame to a
// driver in this process (at most max_frames frames), each round closed at the
// time the gateway gave it.
std::string per_line_log(const std::string& capture, const std::vector<Json::Value>& records,
                         size_t max_frames = SIZE_MAX) {
    const Json::Value entry = [] {
        std::ifstream in(demo_config());
        Json::Value root;
        in >> root;
        return root["devices"][0];
    }();
    std::ostringstream log;
    std::streambuf* saved = std::cout.rdbuf(log.rdbuf());
    {
        testsupport::DriverHarness<> h(entry);
        std::string bytes = read_text(capture);
        size_t start = 0, frames = 0;
        while (start < bytes.size() && frames < max_frames) {
            size_t end = bytes.find('\r', start);
            end = end == std::string::npos ? bytes.size() : end + 1;
            const size_t published = h.sink.published.size();
            if (published < records.size()) h.clock.set(round_time(records[published]));
            h.feed(bytes.substr(start, end - start));
            start = end;
            ++frames;
        }
    }
    std::cout.rdbuf(saved);
    return log.str();
}

std::vector<Json::Value> records_of(const std::string& out) {
    return events(json_lines(out), "record");
}

// Waits (bounded) until the file holds at least n bytes.
bool grows_to(const std::string& path, uintmax_t n) {
    for (int i = 0; i < 600; ++i) {
        std::error_code ec;
        if (std::filesystem::file_size(path, ec) >= n && !ec) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

TEST(DriverLog, BatchedLogIsByteIdenticalToThePerLineLog) {
    TempDir dir;
    const std::string cap = make_capture(dir, 4);
    const std::string log = (dir.path() / "driver.log").string();
    const auto run = run_smdgw({"--config", demo_config(), "--replay", cap, "--log", log});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto records = records_of(run.out);
    ASSERT_EQ(records.size(), 4u);
    const std::string expected = per_line_log(cap, records);
    ASSERT_GT(expected.size(), 100000u);
    EXPECT_EQ(difference(read_text(log), expected), "");
    struct stat st {};
    ASSERT_EQ(::stat(log.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077 & ~0040, 0u) << "0640 at most";

    // The same lines on standard error with --log -.
    const auto to_stderr = run_smdgw({"--config", demo_config(), "--replay", cap, "--log", "-"});
    ASSERT_EQ(to_stderr.status, 0);
    EXPECT_EQ(difference(to_stderr.err, per_line_log(cap, records_of(to_stderr.out))), "");

    // Without --log nothing is written anywhere.
    const auto quiet = run_smdgw({"--config", demo_config(), "--replay", cap});
    ASSERT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err.size(), 0u) << quiet.err.substr(0, 400);
    EXPECT_EQ(records_of(quiet.out).size(), 4u);
    EXPECT_EQ(quiet.out.find("Veltra_Quelm_K418T_419::"), std::string::npos);
}

TEST(DriverLog, RotationBySizeKeepsEveryLineAndTheNewestFiles) {
    TempDir dir;
    const std::string cap = make_capture(dir, 4);
    const std::string log = (dir.path() / "driver.log").string();
    auto run = run_smdgw({"--config", demo_config(), "--replay", cap, "--log", log,
                          "--log-max-size", "64k", "--log-keep", "100"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string expected = per_line_log(cap, records_of(run.out));
    std::string joined;
    unsigned files = 0;
    for (unsigned k = 100; k >= 1; --k) {
        const std::string part = log + "." + std::to_string(k);
        if (!std::filesystem::exists(part)) continue;
        ++files;
        const std::string text = read_text(part);
        EXPECT_LE(text.size(), 64u * 1024) << part;
        EXPECT_EQ(text.back(), '\n') << "whole lines only: " << part;
        joined += text;
    }
    joined += read_text(log);
    EXPECT_GE(files, 2u);
    EXPECT_EQ(difference(joined, expected), "");

    // Only the newest two rotated files are kept.
    std::filesystem::remove_all(dir.path() / "keep");
    std::filesystem::create_directory(dir.path() / "keep");
    const std::string kept = (dir.path() / "keep" / "driver.log").string();
    run = run_smdgw({"--config", demo_config(), "--replay", cap, "--log", kept, "--log-max-size",
                     "64k", "--log-keep", "2"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::filesystem::exists(kept + ".2"));
    EXPECT_FALSE(std::filesystem::exists(kept + ".3"));
    const std::string full = per_line_log(cap, records_of(run.out));
    const std::string tail = read_text(kept + ".2") + read_text(kept + ".1") + read_text(kept);
    ASSERT_LT(tail.size(), full.size());
    EXPECT_EQ(difference(tail, full.substr(full.size() - tail.size())), "");

    // A log that is not a regular file (/dev/null, a pipe) gets every line
    // and is never renamed away: moving /dev/null to /dev/null.1 would take
    // it from every process on the machine.
    const std::string fifo = (dir.path() / "driver.fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string piped;
    std::thread reader([&fifo, &piped] {
        const int fd = ::open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        char buf[65536];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) piped.append(buf, static_cast<size_t>(n));
        ::close(fd);
    });
    run = run_smdgw({"--config", demo_config(), "--replay", cap, "--log", fifo, "--log-max-size",
                     "64k", "--log-keep", "2"});
    // Should smdgw never have opened the pipe, the reader still waits for a writer.
    if (const int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); w >= 0) ::close(w);
    reader.join();
    ASSERT_EQ(run.status, 0) << run.err;
    struct stat st {};
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << fifo << " was replaced";
    EXPECT_FALSE(std::filesystem::exists(fifo + ".1"));
    EXPECT_EQ(difference(piped, per_line_log(cap, records_of(run.out))), "");
    // Nor does a file smdgw replaces whole (--prometheus) take a pipe's place.
    run = run_smdgw({"--config", demo_config(), "--replay", cap, "--prometheus", fifo});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("refusing to replace " + fifo + ": it is not a regular file"),
              std::string::npos)
        << run.err;
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << fifo << " was replaced";

    // A link planted in the log's place is refused: exit 1, naming the file.
    const std::string planted = (dir.path() / "planted.log").string();
    std::filesystem::create_symlink(dir.path() / "elsewhere", planted);
    run = run_smdgw({"--config", demo_config(), "--replay", cap, "--log", planted});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot open " + planted + ": it is a symbolic link"),
              std::string::npos)
        << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "elsewhere"));
}

TEST(DriverLog, SighupRotationKeepsEveryLine) {
    TempDir dir;
    const std::string cap = make_capture(dir, 6);
    const std::string log = (dir.path() / "driver.log").string();
    const std::string out = (dir.path() / "out.txt").string();
    const std::string err = (dir.path() / "err.txt").string();
    // Slow enough that the rotations fall in the middle of the replay.
    Child gw({SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config", demo_config(), "--replay", cap,
              "--replay-speed", "20", "--log", log},
             out, err);
    // logrotate's way: move the file away, then SIGHUP.
    for (unsigned k = 1; k <= 2; ++k) {
        ASSERT_TRUE(grows_to(log, 20000)) << read_text(err);
        std::filesystem::rename(log, log + "." + std::to_string(k));
        gw.signal(SIGHUP);
    }
    ASSERT_EQ(gw.wait(kTimeout), 0) << "SIGHUP does not end the gateway\n" << read_text(err);
    const auto records = records_of(read_text(out));
    EXPECT_EQ(records.size(), 6u);
    EXPECT_EQ(events(json_lines(read_text(out)), "stats").size(), 1u);
    EXPECT_EQ(difference(read_text(log + ".1") + read_text(log + ".2") + read_text(log),
                         per_line_log(cap, records)),
              "");
}

TEST(DriverLog, SigtermMidRoundLosesNoLine) {
    TempDir dir;
    const std::string cap = make_capture(dir, 8);
    const std::string log = (dir.path() / "driver.log").string();
    const std::string out = (dir.path() / "out.txt").string();
    const std::string err = (dir.path() / "err.txt").string();
    Child gw({SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config", demo_config(), "--replay", cap,
              "--replay-speed", "15", "--log", log},
             out, err);
    ASSERT_TRUE(grows_to(log, 150000)) << read_text(err);
    gw.signal(SIGTERM);
    ASSERT_EQ(gw.wait(kTimeout), 0) << read_text(err);
    const auto lines = json_lines(read_text(out));
    const auto stats = events(lines, "stats");
    ASSERT_EQ(stats.size(), 1u) << "the final statistics are written";
    const auto records = events(lines, "record");
    ASSERT_LT(records.size(), 8u) << "ended before the replay's end";
    // Every line of every frame the drivers were handed is in the file.
    const size_t frames = stats[0]["frames_accepted"].asUInt();
    EXPECT_EQ(difference(read_text(log), per_line_log(cap, records, frames)), "");
}

}  // namespace
