#pragma once
// Sizes on the command line, one reading for every option that takes one
// (--log-max-size, --mqtt-outbox-max, --notify-outbox-max): plain bytes, or
// a number with B, k/K, M, G or T (powers of 1024). A size that does not fit
// in 64 bits is refused, never wrapped.

#include <cstdint>
#include <string>

namespace smdgw {

enum class SizeText { Ok, NotASize, TooLarge, Zero };

// "1048576", "512k", "64M", "1G"; 0 is Zero, which only some options take.
SizeText read_size_text(const std::string& text, uint64_t& bytes);

// read_size_text for an option that needs a size of at least one byte.
inline bool parse_size_text(const std::string& text, uint64_t& bytes) {
    return read_size_text(text, bytes) == SizeText::Ok;
}

}  // namespace smdgw
