#include "tests/support/text_diff.h"

#include <sstream>

namespace testsupport {

std::string first_difference(const std::string& want, const std::string& got) {
    if (want == got) return {};
    std::istringstream a(want), b(got);
    std::string la, lb;
    for (size_t n = 1;; ++n) {
        const bool more_a = static_cast<bool>(std::getline(a, la));
        const bool more_b = static_cast<bool>(std::getline(b, lb));
        if (!more_a && !more_b) return "they differ only in the final line feed";
        if (!more_a || !more_b || la != lb) {
            return "line " + std::to_string(n) + "\n  want: " + (more_a ? la : "<end>") +
                   "\n  got:  " + (more_b ? lb : "<end>") + "\n  (" + std::to_string(want.size()) +
                   " bytes wanted, " + std::to_string(got.size()) + " got)";
        }
    }
}

}  // namespace testsupport
