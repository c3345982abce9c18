// The watch that opens a port as soon as it is back: it must fire for the
// name on the way to the port (a by-id folder that the first adapter
// creates), for the port itself, and for nothing else in the folder.

#include "tools/smdgw/core/port_watch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <filesystem>
#include <string>

#include "tests/support/temp_dir.h"

namespace {

using testsupport::TempDir;

// Runs io until the watch fires or the time passes; true when it fired.
bool fires(boost::asio::io_context& io, bool& fired,
           std::chrono::milliseconds within = std::chrono::seconds(2)) {
    io.restart();
    const auto until = std::chrono::steady_clock::now() + within;
    while (!fired && std::chrono::steady_clock::now() < until)
        io.run_for(std::chrono::milliseconds(20));
    return fired;
}

TEST(PortWatch, FiresForEachNameOnTheWayAndForAChangedModeOnly) {
    TempDir dir;
    const std::string port = (dir.path() / "serial/by-id/usb-adapter").string();
    boost::asio::io_context io;
    smdgw::PortWatch watch(io);
    bool fired = false;
    const auto arm = [&](bool missing) {
        fired = false;
        ASSERT_TRUE(watch.arm(port, missing, [&] { fired = true; }));
    };

    arm(true);
    dir.write("unrelated", "");  // another name in the watched folder
    EXPECT_FALSE(fires(io, fired, std::chrono::milliseconds(200)));
    std::filesystem::create_directory(dir.path() / "serial");
    EXPECT_TRUE(fires(io, fired));

    arm(true);
    std::filesystem::create_directory(dir.path() / "serial/by-id");
    EXPECT_TRUE(fires(io, fired));

    arm(true);
    dir.write("serial/by-id/usb-adapter", "");
    EXPECT_TRUE(fires(io, fired));

    // There but refused: a new mode may let us in.
    arm(false);
    EXPECT_FALSE(fires(io, fired, std::chrono::milliseconds(200)));
    ASSERT_EQ(::chmod(port.c_str(), 0666), 0);
    EXPECT_TRUE(fires(io, fired));

    // Came between the failed open and the watch: at once.
    arm(true);
    EXPECT_TRUE(fires(io, fired));
}

}  // namespace
