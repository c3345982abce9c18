// The one rule every secret file is held to (control tokens, TLS keys, logins).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "tests/support/temp_dir.h"
#include "tools/smdgw/core/credentials_file.h"
#include "tools/smdgw/core/secret_file.h"

namespace {

TEST(SecretFile, OthersNeverAndTheGroupReadsAtMost) {
    const struct {
        mode_t mode;
        const char* problem;
    } cases[] = {
        {S_IFREG | 0600, ""},
        {S_IFREG | 0400, ""},
        {S_IFREG | 0640, ""},  // root:smdgw, read by the service's user
        {S_IFREG | 0660, "its group may change it (mode 0660); chmod o-rwx,g-w it"},
        {S_IFREG | 0644, "others may read or change it (mode 0644); chmod o-rwx,g-w it"},
        {S_IFREG | 0602, "others may read or change it (mode 0602); chmod o-rwx,g-w it"},
        {S_IFREG | 0601, "others may read or change it (mode 0601); chmod o-rwx,g-w it"},
        {S_IFDIR | 0700, "not a regular file"},
        {S_IFIFO | 0600, "not a regular file"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(smdgw::secret_mode_problem(c.mode), c.problem) << std::oct << c.mode;

    // Every reader of a secret keeps to it: a login the group may change is refused.
    testsupport::TempDir dir;
    const std::string path = dir.write_s("auth", "user\npassword\n");
    ASSERT_EQ(::chmod(path.c_str(), 0660), 0);
    smdgw::Credentials c;
    std::string error;
    EXPECT_FALSE(smdgw::read_credentials_file(path, c, error));
    EXPECT_EQ(error, "its group may change it (mode 0660); chmod o-rwx,g-w it");
    EXPECT_EQ(smdgw::secret_file_problem(dir.path().string() + "/missing"),
              "No such file or directory");
}

}  // namespace
