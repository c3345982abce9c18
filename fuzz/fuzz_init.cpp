// The start of every fuzz target: the driver log silenced, then the
// target's own set-up.

#include "fuzz/fuzz_support.h"

__attribute__((weak)) void fuzzsupport::prepare_target() {}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::silence_driver_log();
    fuzzsupport::prepare_target();
    return 0;
}
