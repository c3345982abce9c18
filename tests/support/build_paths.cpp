#include "tests/support/build_paths.h"

namespace testsupport {

const char* source_dir() { return SMD_TEST_SOURCE_DIR; }
const char* test_data_dir() { return SMD_TEST_DATA_DIR; }
const char* golden_actual_dir() { return SMD_TEST_GOLDEN_ACTUAL_DIR; }
const char* smdgw_path() { return SMD_TEST_SMDGW_PATH; }
const char* powersim_path() { return SMD_TEST_POWERSIM_PATH; }
const char* smdgw_fleet_path() { return SMD_TEST_SMDGW_FLEET_PATH; }
const char* fleetsim_path() { return SMD_TEST_FLEETSIM_PATH; }
const char* plugin_path() { return SMD_TEST_PLUGIN_PATH; }
const char* upsc_path() { return "/usr/bin/upsc"; }
const char* mbpoll_path() { return "/usr/bin/mbpoll"; }
const char* openssl_path() { return "/usr/bin/openssl"; }

}  // namespace testsupport
