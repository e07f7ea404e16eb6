/* Base-10 conversion of text as the DM and the properties file write numbers. */
#ifndef QZOVX_NUMBER_H
#define QZOVX_NUMBER_H

#include <cstdint>
#include <string_view>

/* Leading white space and one sign are accepted, conversion stops at the
 * first character that is not a digit, text without digits gives 0, and
 * values outside the signed 32-bit range are clamped to it. */
int32_t qz_to_int32(std::string_view text);

#endif
