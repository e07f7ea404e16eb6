/* Key lookup in a DM decision response. Library-internal.
 *
 * A key counts only where a field starts: at the start of a line or right
 * after a TAB. So "NOACCESS=true", or "ACCESS=true" inside another field's
 * value, never reads as ACCESS. Lines starting with '#' are skipped, the
 * first match wins, and the value runs to the next TAB, CR, LF or the end. */
#ifndef QZOVX_DECISION_FIELDS_H
#define QZOVX_DECISION_FIELDS_H

#include <stddef.h>

#include <string_view>

/* Longest value taken from one field. */
constexpr size_t kDecisionValueMax = 3072;

/* Looks `key` (including its '=') up in `answer`. When found, copies the value
 * into `value` (cut to cap - 1 characters, terminated) and returns true;
 * otherwise leaves `value` alone and returns false. */
bool find_decision_field(std::string_view answer, std::string_view key, char *value, size_t cap);

#endif
