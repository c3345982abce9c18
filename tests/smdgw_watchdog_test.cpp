// smdgw under systemd's watchdog: the test stands in for systemd with a
// notify socket of its own. The gateway says READY=1, feeds the watchdog
// while its line loop runs, stops feeding while the loop is stuck (a test
// hook stalls it), feeds again once it moves, and says STOPPING=1 at SIGTERM.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/pty_bridge.h"
#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::Child;
using testsupport::PtyBridge;
using testsupport::read_text;
using testsupport::TempDir;

class NotifySocket {
   public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path.copy(a.sun_path, sizeof a.sun_path - 1);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("cannot bind " + path);
    }
    ~NotifySocket() {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    // Every message that arrives within the time given.
    std::vector<std::string> collect(std::chrono::milliseconds during) {
        std::vector<std::string> got;
        const auto end = std::chrono::steady_clock::now() + during;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buf[256];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n > 0) got.emplace_back(buf, static_cast<size_t>(n));
        }
        return got;
    }
    // Waits (at most the time given) for one message.
    bool wait_for(const std::string& message, std::chrono::milliseconds at_most) {
        const auto end = std::chrono::steady_clock::now() + at_most;
        while (std::chrono::steady_clock::now() < end)
            for (const auto& m : collect(std::chrono::milliseconds(100)))
                if (m.find(message) != std::string::npos) return true;
        return false;
    }

   private:
    std::string path_;
    int fd_ = -1;
};

size_t count(const std::vector<std::string>& messages, const std::string& what) {
    size_t n = 0;
    for (const auto& m : messages) n += m.find(what) != std::string::npos;
    return n;
}

TEST(ServiceWatchdog, FedOnlyWhileTheLineLoopMoves) {
    TempDir dir;
    PtyBridge line;
    NotifySocket systemd((dir.path() / "notify").string());
    const std::string stall = (dir.path() / "stall").string();
    // Half a second: the gateway feeds every quarter second while it moves.
    ::setenv("NOTIFY_SOCKET", (dir.path() / "notify").c_str(), 1);
    ::setenv("WATCHDOG_USEC", "500000", 1);
    ::setenv("SMDGW_TEST_STALL_FILE", stall.c_str(), 1);
    const std::string cfg =
        dir.write_s("gw.json", R"({"devices":[{"name":"p","data_id":418,"address":1}]})");
    Child gw({SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config", cfg, "--port", line.end_b()},
             (dir.path() / "out").string(), (dir.path() / "err").string());
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ::unsetenv("SMDGW_TEST_STALL_FILE");

    ASSERT_TRUE(systemd.wait_for("READY=1", std::chrono::seconds(20)))
        << read_text((dir.path() / "err").string());
    EXPECT_GE(count(systemd.collect(std::chrono::milliseconds(1500)), "WATCHDOG=1"), 2u);

    // The line loop is stuck: after the feed in flight, no more.
    std::ofstream(stall).put('x');
    systemd.collect(std::chrono::milliseconds(800));
    EXPECT_EQ(count(systemd.collect(std::chrono::milliseconds(1500)), "WATCHDOG=1"), 0u);

    // It moves again, and the feeding goes on.
    ::unlink(stall.c_str());
    EXPECT_TRUE(systemd.wait_for("WATCHDOG=1", std::chrono::seconds(5)));

    gw.signal(SIGTERM);
    EXPECT_TRUE(systemd.wait_for("STOPPING=1", std::chrono::seconds(10)));
    EXPECT_EQ(gw.wait(30.0), 0) << read_text((dir.path() / "err").string());
}

}  // namespace
