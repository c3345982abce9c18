#include "tools/smdgw/core/size_text.h"

namespace smdgw {

SizeText read_size_text(const std::string& text, uint64_t& bytes) {
    size_t digits = 0;
    uint64_t v = 0;
    bool too_large = false;
    for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
        const auto d = static_cast<uint64_t>(text[digits] - '0');
        if (v > (UINT64_MAX - d) / 10) too_large = true;
        else v = v * 10 + d;
    }
    if (digits == 0) return SizeText::NotASize;
    const std::string unit = text.substr(digits);
    int shift = 0;
    if (unit.empty() || unit == "B") {
        shift = 0;
    } else if (unit == "k" || unit == "K") {
        shift = 10;
    } else if (unit == "M") {
        shift = 20;
    } else if (unit == "G") {
        shift = 30;
    } else if (unit == "T") {
        shift = 40;
    } else {
        return SizeText::NotASize;
    }
    if (too_large || v > (UINT64_MAX >> shift)) return SizeText::TooLarge;
    if (v == 0) return SizeText::Zero;
    bytes = v << shift;
    return SizeText::Ok;
}

}  // namespace smdgw
