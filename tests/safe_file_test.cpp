// Files smdgw writes whole (the Prometheus file, the battery state, the SNMP
// notification number): a new or regular file gets the text, a link is
// replaced by the file and its target left alone, and anything else found at
// the path (a device, a pipe, a folder) is refused and left as it was, so
// that a path such as /dev/null never turns into a regular file.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"
#include "tools/smdgw/core/safe_file.h"

namespace {

namespace fs = std::filesystem;
using testsupport::read_text;
using testsupport::TempDir;

struct Case {
    const char* what;
    std::function<void(const fs::path&)> make;  // what is at the path before
    bool replaced;
};

TEST(SafeFile, ReplacesRegularFilesAndLinksAndRefusesEverythingElse) {
    const Case cases[] = {
        {"no file yet", [](const fs::path&) {}, true},
        {"a regular file", [](const fs::path& p) { std::ofstream(p) << "old\n"; }, true},
        {"a link",
         [](const fs::path& p) {
             std::ofstream(p.string() + ".target") << "target\n";
             fs::create_symlink(p.string() + ".target", p);
         },
         true},
        {"a pipe", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, false},
        {"a folder", [](const fs::path& p) { fs::create_directory(p); }, false},
    };
    TempDir dir;
    int n = 0;
    for (const Case& c : cases) {
        const fs::path p = dir.path() / ("f" + std::to_string(n++));
        c.make(p);
        const fs::file_type before = fs::symlink_status(p).type();
        std::string error;
        const bool ok = smdgw::replace_file(p.string(), "new\n", error);
        EXPECT_EQ(ok, c.replaced) << c.what << ": " << error;
        if (c.replaced) {
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(p))) << c.what;
            EXPECT_EQ(read_text(p.string()), "new\n") << c.what;
        } else {
            EXPECT_EQ(error, "refusing to replace " + p.string() + ": it is not a regular file")
                << c.what;
            EXPECT_EQ(fs::symlink_status(p).type(), before) << c.what << " was changed";
        }
    }
    // The link's target is not written through.
    EXPECT_EQ(read_text((dir.path() / "f2.target").string()), "target\n");
    // No temporary file is left beside any of them.
    size_t files = 0;
    for (const auto& e : fs::directory_iterator(dir.path()))
        if (e.path().string().find(".target") == std::string::npos) ++files;
    EXPECT_EQ(files, std::size(cases));
}

}  // namespace
