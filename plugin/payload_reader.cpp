#include "plugin/payload_reader.h"

#include <cstring>

namespace {
constexpr int kWordBytes = 4;
}

bool PayloadReader::read_byte(uint8_t& out) {
    if (remaining <= 0) return false;
    out = *pos;
    ++pos;
    --remaining;
    return true;
}

bool PayloadReader::read_word(void* out) {
    if (remaining < kWordBytes) return false;
    std::memcpy(out, pos, kWordBytes);
    pos += kWordBytes;
    remaining -= kWordBytes;
    return true;
}

bool PayloadReader::skip(int n) {
    if (n < 0 || n > remaining) return false;
    pos += n;
    remaining -= n;
    return true;
}

bool PayloadReader::read_words(uint8_t n, void* dest, uint32_t capacity) {
    unsigned char* out = static_cast<unsigned char*>(dest);
    for (uint8_t i = 0; i < n; ++i) {
        unsigned char word[kWordBytes];
        if (!read_word(word)) return false;
        if (out != nullptr && i < capacity) {
            std::memcpy(out + static_cast<size_t>(i) * kWordBytes, word, kWordBytes);
        }
    }
    return true;
}

bool PayloadReader::read_bytes(uint8_t n, uint8_t* dest, uint32_t capacity) {
    for (uint8_t i = 0; i < n; ++i) {
        uint8_t b;
        if (!read_byte(b)) return false;
        if (dest != nullptr && i < capacity) dest[i] = b;
    }
    return true;
}
