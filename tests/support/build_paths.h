#pragma once
// Where the programs under test, the plug-in and the source tree are. Only
// build_paths.cpp is compiled with these absolute paths; every test file sees
// them as calls, so it compiles to the same object in every clone and a
// compiler cache shared by clones in other folders serves it. Every test file
// gets this header from the command line (tests/CMakeLists.txt).

namespace testsupport {

const char* source_dir();
const char* test_data_dir();
const char* golden_actual_dir();
const char* smdgw_path();
const char* powersim_path();
const char* smdgw_fleet_path();
const char* fleetsim_path();
const char* plugin_path();
// Debian's NUT client (nut-client).
const char* upsc_path();
// Debian's Modbus master (mbpoll).
const char* mbpoll_path();
const char* openssl_path();

}  // namespace testsupport

#define SOURCE_DIR (::testsupport::source_dir())
#define TEST_DATA_DIR (::testsupport::test_data_dir())
#define GOLDEN_ACTUAL_DIR (::testsupport::golden_actual_dir())
#define SMDGW_PATH (::testsupport::smdgw_path())
#define POWERSIM_PATH (::testsupport::powersim_path())
#define SMDGW_FLEET_PATH (::testsupport::smdgw_fleet_path())
#define FLEETSIM_PATH (::testsupport::fleetsim_path())
#define PLUGIN_PATH (::testsupport::plugin_path())
#define UPSC_PATH (::testsupport::upsc_path())
#define MBPOLL_PATH (::testsupport::mbpoll_path())
#define OPENSSL_PATH (::testsupport::openssl_path())
