#include "number.h"

#include <cstdint>
#include <limits>

int32_t qz_to_int32(std::string_view text)
{
    size_t pos = 0;
    while (pos < text.size() &&
           (text[pos] == ' ' || (text[pos] >= '\t' && text[pos] <= '\r')))
        ++pos;

    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }

    // Accumulate as a magnitude; stop growing once past the clamp so a long
    // run of digits cannot overflow.
    constexpr int64_t limit = static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1;
    int64_t magnitude = 0;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        if (magnitude <= limit)
            magnitude = magnitude * 10 + (text[pos] - '0');
    }

    if (negative)
        return magnitude >= limit ? std::numeric_limits<int32_t>::min()
                                  : static_cast<int32_t>(-magnitude);
    return magnitude >= limit - 1 ? std::numeric_limits<int32_t>::max()
                                  : static_cast<int32_t>(magnitude);
}
