#include "tests/support/powersim_feed.h"

#include "tests/support/run_process.h"

namespace testsupport {

bool feed_rounds(const PtyBridge& line, const std::string& rounds, const std::string& seed,
                 const std::vector<std::string>& extra, std::string* error) {
    std::vector<std::string> argv = {POWERSIM_PATH, "--port", line.end_a(), "--rounds", rounds,
                                     "--seed", seed};
    argv.insert(argv.end(), extra.begin(), extra.end());
    const auto sim = run_process(argv);
    if (error) *error = sim.err;
    return sim.status == 0;
}

}  // namespace testsupport
