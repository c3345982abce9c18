#pragma once
// Bounded cursor over the INFO bytes of one response. Every read checks the
// bytes left first, so a decoder can never read past the payload it was given.

#include <cstdint>

class PayloadReader {
   public:
    PayloadReader(const unsigned char* data, int length) : pos(data), remaining(length) {}

    // Next byte into out; false (nothing read) when the payload is used up.
    bool read_byte(uint8_t& out);
    // Next 4 bytes copied to out as they stand (a wire float arrives bit for bit).
    bool read_word(void* out);
    // Steps over n bytes; false (nothing skipped) when n is negative or too large.
    bool skip(int n);
    // Bytes consumed so far of a payload of total bytes.
    int used(int total) const { return total - remaining; }

    // Reads n words; word i goes to the i-th 4-byte slot of dest while i < capacity and is
    // dropped after that. False at the first word that is missing; words stored stay stored.
    bool read_words(uint8_t n, void* dest = nullptr, uint32_t capacity = 0);
    // As read_words, one byte per value.
    bool read_bytes(uint8_t n, uint8_t* dest = nullptr, uint32_t capacity = 0);

   private:
    const unsigned char* pos;
    int remaining;
};
