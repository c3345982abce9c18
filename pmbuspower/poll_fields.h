#pragma once
// Field readers shared by the polling decoders: marked values, code lists
// placed into record arrays, and the checked decoder result.

#include <cstddef>
#include <cstdint>

#include "pmbuspower/poll_cursor.h"
#include "pmbuspower/poll_values.h"

namespace pmbus_poll {

// Result of a decoder that checks its length at the end.
inline int checked_result(const PollCursor& c) { return c.overrun() ? -1 : c.used(); }

// Reads one float; the no-value marker gives `no_value_as`.
inline bool read_marked_float(PollCursor& c, float no_value_as, float& out, Raw4& raw) {
    if (!c.take(raw)) return false;
    out = is_no_value(raw) ? no_value_as : wire_float(raw);
    return true;
}

// Reads one fixed-point hundredth; the no-value marker gives `no_value_as`.
inline bool read_marked_hundredths(PollCursor& c, float no_value_as, float& out) {
    Raw2 raw{};
    if (!c.take(raw)) return false;
    out = is_no_value(raw) ? no_value_as : hundredths(raw);
    return true;
}

// Reads n codes and places them from index `at` on; what falls outside the
// array is dropped.
template <size_t N>
bool read_codes(PollCursor& c, unsigned n, uint8_t (&dest)[N], size_t at) {
    for (unsigned k = 0; k < n; ++k) {
        uint8_t code = 0;
        if (!c.byte(code)) return false;
        if (at + k < N) dest[at + k] = code;
    }
    return true;
}

}  // namespace pmbus_poll
