/* The one way text is copied into fixed-width fields: cut at the field's
 * width less one and always terminated. Used by the library and the module. */
#ifndef QZOVX_QZ_TEXT_H
#define QZOVX_QZ_TEXT_H

#include <stddef.h>
#include <string.h>

/* Copies at most cap - 1 characters of src into dst and terminates it.
 * A null src copies nothing. Returns the number of characters copied. */
static inline size_t qz_copy(char *dst, size_t cap, const char *src)
{
    size_t n = 0;
    if (dst == NULL || cap == 0)
        return 0;
    if (src != NULL) {
        while (n + 1 < cap && src[n] != '\0')
            n++;
        memcpy(dst, src, n);
    }
    dst[n] = '\0';
    return n;
}

/* Appends src to the terminated text in dst, which holds cap bytes; stops at
 * the capacity. Returns the new length. */
static inline size_t qz_append(char *dst, size_t cap, const char *src)
{
    size_t used;
    if (dst == NULL || cap == 0)
        return 0;
    used = 0;
    while (used + 1 < cap && dst[used] != '\0')
        used++;
    return used + qz_copy(dst + used, cap - used, src);
}

#endif
