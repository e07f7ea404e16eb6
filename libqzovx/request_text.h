/* Reading request attributes through the host's callbacks and copying them
 * into the decision record. Library-internal. */
#ifndef QZOVX_REQUEST_TEXT_H
#define QZOVX_REQUEST_TEXT_H

#include <stddef.h>
#include <stdint.h>

#include "ovxModuleAPI.h"
#include "qz_text.h"

/* One attribute value as the host hands it over: at most 254 characters and
 * a NUL. An empty text means the attribute is absent. */
struct AttrText {
    char text[OVX_VALUE_BUFFER];

    bool present() const { return text[0] != '\0'; }
    size_t length() const { return strnlen(text, sizeof text); }
};

/* Clears `out` and asks the host for attribute `id` of the request
 * (OVX_PACKET_REQUEST) or the reply (OVX_PACKET_REPLY) of `radiusPacket`.
 * Returns whether a value came back. Safe to call from several threads. */
bool fetch_attribute(void *radiusPacket, int id, int packet_type, AttrText &out);

/* The same for a vendor attribute named by its dictionary name. */
bool fetch_vendor_attribute(void *radiusPacket, const char *name, int packet_type, AttrText &out);

/* Copies `text` into a record field, cut to the field's width less one and
 * terminated. When the text does not fit and `notice` is given, the notice is
 * traced first. Returns whether the text was cut. */
bool copy_into_field(char *field, size_t width, const char *text, const char *notice = nullptr);

template <size_t N>
inline bool copy_field(char (&field)[N], const char *text, const char *notice = nullptr)
{
    return copy_into_field(field, N, text, notice);
}

/* Callback results that carry a small number hold it in their low 32 bits. */
inline int callback_number(void *result)
{
    return static_cast<int>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(result)));
}

#endif
